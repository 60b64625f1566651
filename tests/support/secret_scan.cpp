#include "tests/support/secret_scan.h"

#include <algorithm>

#include "fw/secret_buffer.h"

namespace vnk::test {

namespace {

constexpr size_t kPieceBytes = 1 << 20;

bool Readable(const MEMORY_BASIC_INFORMATION& region) {
    if (region.State != MEM_COMMIT) return false;
    if ((region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 || region.Protect == 0) return false;
    return true;
}

// The reading buffer lies in pages of its own, so that the scan can leave
// it out, and is wiped after every piece.
class ScanBuffer {
public:
    ScanBuffer() : m_memory(::VirtualAlloc(nullptr, kPieceBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE)) {}
    ~ScanBuffer() {
        if (m_memory != nullptr) {
            Wipe();
            ::VirtualFree(m_memory, 0, MEM_RELEASE);
        }
    }
    ScanBuffer(const ScanBuffer&) = delete;
    ScanBuffer& operator=(const ScanBuffer&) = delete;
    BYTE* data() const { return static_cast<BYTE*>(m_memory); }
    void Wipe() const { ::SecureZeroMemory(m_memory, kPieceBytes); }

    // Reads through ReadProcessMemory, which fails where a plain read would
    // fault (a page that changed its protection meanwhile); page by page
    // when the whole piece does not read.
    size_t Read(const BYTE* address, size_t bytes) const {
        SIZE_T read = 0;
        if (::ReadProcessMemory(::GetCurrentProcess(), address, data(), bytes, &read) && read == bytes)
            return bytes;
        size_t done = 0;
        constexpr size_t kPage = 4096;
        for (size_t offset = 0; offset < bytes; offset += kPage) {
            const size_t size = std::min(kPage, bytes - offset);
            if (!::ReadProcessMemory(::GetCurrentProcess(), address + offset, data() + offset, size, &read) ||
                read != size)
                ::SecureZeroMemory(data() + offset, size);
            done = offset + size;
        }
        return done;
    }

private:
    void* m_memory;
};

}  // namespace

MaskedSecret::MaskedSecret(size_t length, std::uint32_t seed) : m_positionsOf(128) {
    std::uint32_t state = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        const auto unit = static_cast<wchar_t>(0x21 + (state >> 16) % 94);
        m_masked.push_back(static_cast<wchar_t>(unit ^ kMask));
        m_positionsOf[unit].push_back(static_cast<std::uint16_t>(i));
    }
}

std::wstring MaskedSecret::Clear() const {
    std::wstring text(m_masked.size(), L'\0');
    for (size_t i = 0; i < m_masked.size(); ++i) text[i] = At(i);
    return text;
}

void MaskedSecret::Wipe(std::wstring& text) {
    ::SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
    text.clear();
    // The copies of the clear text went through this thread's vector
    // registers: a copy of the test's own must not be counted as the
    // client's.
    vnk::fw::ClearVectorRegisters();
}

bool MaskedSecret::RunAt(const wchar_t* units, size_t start) const {
    for (size_t t = 1; t < kRun; ++t)
        if (units[t] != At(start + t)) return false;
    return true;
}

size_t MaskedSecret::CountInMemory() const {
    ScanBuffer buffer;
    if (buffer.data() == nullptr || m_masked.size() < kRun) return 0;
    const auto* own = buffer.data();
    // A run may straddle two pieces: each piece repeats the end of the last.
    constexpr size_t kOverlap = (kRun - 1) * sizeof(wchar_t);
    size_t hits = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr;
         ::VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        const auto* base = static_cast<const BYTE*>(region.BaseAddress);
        if (region.RegionSize == 0) break;
        if (!Readable(region) || base == own) continue;
        for (size_t offset = 0; offset < region.RegionSize;) {
            const size_t bytes = std::min<size_t>(kPieceBytes, region.RegionSize - offset);
            const size_t read = buffer.Read(base + offset, bytes);
            const auto* units = reinterpret_cast<const wchar_t*>(buffer.data());
            const size_t count = read / sizeof(wchar_t);
            for (size_t j = 0; j + kRun <= count; ++j) {
                if (units[j] >= 128) continue;
                for (const std::uint16_t k : m_positionsOf[units[j]]) {
                    if (k + kRun <= m_masked.size() && RunAt(units + j, k)) {
                        ++hits;
                        break;
                    }
                }
            }
            buffer.Wipe();
            if (offset + bytes >= region.RegionSize) break;
            offset += bytes - kOverlap;
        }
    }
    return hits;
}

}  // namespace vnk::test
