#include "ui/file_version_info.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <string>

#include "common/strings.h"

namespace vnk {

namespace {

// The error texts are read in English whatever the user's language, so that
// they read the same in every report.
constexpr DWORD kErrorTextLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);  // 1033

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string narrow(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                          length, nullptr, nullptr);
    return narrow;
}

// Reads GetLastError first: nothing may run between the failed call and here.
[[noreturn]] void ThrowLastError(const char* prefix) {
    const DWORD code = ::GetLastError();
    throw std::runtime_error(prefix + Narrow(SystemErrorText(code, kErrorTextLanguage)));
}

std::wstring ModuleFileName() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, std::min<DWORD>(length, MAX_PATH));
}

std::wstring JoinParts(std::initializer_list<WORD> parts) {
    std::wstring text;
    for (const WORD part : parts) {
        if (!text.empty()) text += L'.';
        text += std::to_wstring(part);
    }
    return text;
}

}  // namespace

FileVersionInfo::FileVersionInfo(const std::wstring& path, DWORD language, DWORD codePage)
    : m_preferredLanguage(language), m_preferredCodePage(codePage) {
    const std::wstring file = path.empty() ? ModuleFileName() : path;

    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), nullptr);
    if (size == 0) ThrowLastError("FileVersionInfo: GetFileVersionInfoSize failed: ");

    m_block.resize(size);
    if (!::GetFileVersionInfoW(file.c_str(), 0, size, m_block.data()))
        ThrowLastError("FileVersionInfo: GetFileVersionInfo failed: ");

    void* root = nullptr;
    UINT rootLength = 0;
    if (::VerQueryValueW(m_block.data(), L"\\", &root, &rootLength) && root != nullptr) {
        const auto* bytes = static_cast<const BYTE*>(root);
        m_fixedInfo.assign(bytes, bytes + rootLength);
    }
    ReadTranslations();
}

void FileVersionInfo::ReadTranslations() {
    void* table = nullptr;
    UINT tableLength = 0;
    if (!::VerQueryValueW(m_block.data(), L"\\VarFileInfo\\Translation", &table, &tableLength) ||
        table == nullptr)
        return;
    const size_t count = tableLength / sizeof(DWORD);
    m_translations.resize(count);
    std::memcpy(m_translations.data(), table, count * sizeof(DWORD));
    // A pair listed twice points at the string table of its last listing.
    for (size_t i = 0; i < count; ++i) {
        if (LOWORD(m_translations[i]) == m_preferredLanguage &&
            HIWORD(m_translations[i]) == m_preferredCodePage) {
            m_preferredFound = true;
            m_preferredIndex = static_cast<DWORD>(i);
        }
    }
}

std::wstring FileVersionInfo::GetStringValue(const std::wstring& key) const {
    // An empty key would name the string table itself, which is no text.
    if (!m_preferredFound || key.empty()) return {};
    const DWORD translation = m_translations[m_preferredIndex];
    wchar_t table[9] = {};
    std::swprintf(table, std::size(table), L"%04x%04x", static_cast<unsigned>(LOWORD(translation)),
                  static_cast<unsigned>(HIWORD(translation)));
    const std::wstring subBlock = std::wstring(L"\\StringFileInfo\\") + table + L"\\" + key;

    void* value = nullptr;
    UINT valueLength = 0;
    if (!::VerQueryValueW(m_block.data(), subBlock.c_str(), &value, &valueLength) ||
        value == nullptr)
        return {};
    return std::wstring(static_cast<const wchar_t*>(value));
}

VS_FIXEDFILEINFO FileVersionInfo::FixedInfo() const {
    VS_FIXEDFILEINFO info{};
    if (!m_fixedInfo.empty())
        std::memcpy(&info, m_fixedInfo.data(), std::min(m_fixedInfo.size(), sizeof info));
    return info;
}

VersionWords FileVersionInfo::GetProductVersion() const {
    const VS_FIXEDFILEINFO info = FixedInfo();
    return {info.dwProductVersionMS, info.dwProductVersionLS};
}

VersionWords FileVersionInfo::GetFileVersion() const {
    const VS_FIXEDFILEINFO info = FixedInfo();
    return {info.dwFileVersionMS, info.dwFileVersionLS};
}

std::wstring FileVersionInfo::GetProductVersionText() const {
    const VersionWords v = GetProductVersion();
    return JoinParts({HIWORD(v.ms), LOWORD(v.ms), HIWORD(v.ls)});
}

std::wstring FileVersionInfo::GetFileVersionText(bool withPart4) const {
    const VersionWords v = GetFileVersion();
    if (withPart4) return JoinParts({HIWORD(v.ms), LOWORD(v.ms), HIWORD(v.ls), LOWORD(v.ls)});
    return JoinParts({HIWORD(v.ms), LOWORD(v.ms), HIWORD(v.ls)});
}

}  // namespace vnk
