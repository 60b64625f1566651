// The version resource of an executable file, read once at construction.
#pragma once

#include <windows.h>
#include <winver.h>

#include <string>
#include <vector>

namespace vnk {

// A version as the fixed information record holds it: parts 1 and 2 in the
// high and low halves of `ms`, parts 3 and 4 in those of `ls`.
struct VersionWords {
    DWORD ms = 0;
    DWORD ls = 0;
    friend bool operator==(const VersionWords&, const VersionWords&) = default;
};

class FileVersionInfo {
public:
    // Reads the version resource of `path` (the running program's file when
    // empty). Strings come from the string table of the given language and
    // code page only. Throws std::runtime_error when the resource cannot be
    // read.
    FileVersionInfo(const std::wstring& path, DWORD language, DWORD codePage);

    // The key's value in the preferred string table; empty when the table or
    // the key is missing.
    std::wstring GetStringValue(const std::wstring& key) const;

    std::wstring GetCompanyName() const { return GetStringValue(L"CompanyName"); }
    std::wstring GetFileDescription() const { return GetStringValue(L"FileDescription"); }
    std::wstring GetInternalName() const { return GetStringValue(L"InternalName"); }
    std::wstring GetLegalCopyright() const { return GetStringValue(L"LegalCopyright"); }
    std::wstring GetOriginalFilename() const { return GetStringValue(L"OriginalFilename"); }
    std::wstring GetProductName() const { return GetStringValue(L"ProductName"); }

    // "1.2.3": the product version without its fourth part.
    std::wstring GetProductVersionText() const;
    // "1.2.3", or "1.2.3.4" with the fourth part.
    std::wstring GetFileVersionText(bool withPart4) const;

    VersionWords GetProductVersion() const;
    VersionWords GetFileVersion() const;

private:
    // The fixed information record; all zero when the block has none.
    VS_FIXEDFILEINFO FixedInfo() const;
    void ReadTranslations();

    std::vector<BYTE> m_block;
    std::vector<BYTE> m_fixedInfo;
    std::vector<DWORD> m_translations;  // language in the low word, code page in the high word
    DWORD m_preferredLanguage;
    DWORD m_preferredCodePage;
    bool m_preferredFound = false;
    DWORD m_preferredIndex = 0;
};

}  // namespace vnk
