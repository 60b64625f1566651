// Looking for a secret in this process's memory as a hostile program of the
// same user would: every committed readable region is read and searched
// for any 16-unit run of it. The secret is kept only masked, so that the
// scanner's own copy never counts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vnk::test {

class MaskedSecret {
public:
    // `length` printable ASCII units, different for every seed.
    MaskedSecret(size_t length, std::uint32_t seed);

    size_t size() const { return m_masked.size(); }
    wchar_t At(size_t i) const { return static_cast<wchar_t>(m_masked[i] ^ kMask); }
    // A clear copy, for handing the secret to something that needs it
    // whole; wipe it with Wipe once done.
    std::wstring Clear() const;
    static void Wipe(std::wstring& text);

    // The places in this process's committed readable memory that hold a
    // run of kRun units of the secret.
    size_t CountInMemory() const;

    static constexpr size_t kRun = 16;

private:
    static constexpr wchar_t kMask = 0x5A3C;
    bool RunAt(const wchar_t* units, size_t start) const;

    std::vector<wchar_t> m_masked;
    // For each ASCII unit, where it stands in the secret.
    std::vector<std::vector<std::uint16_t>> m_positionsOf;
};

}  // namespace vnk::test
