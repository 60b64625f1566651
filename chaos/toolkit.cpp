#include "chaos/toolkit.h"

#include <cstdarg>
#include <cstdio>

#include "fw/handles.h"

namespace vnk::chaos {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : (c == L'\n' ? '\n' : '?');
    return out;
}

std::string Format(const char* format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    vnk::fw::UniqueHandle out(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD done = 0;
    return out && ::WriteFile(out.get(), text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
}

void RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") ::DeleteFileW((folder + L"\\" + name).c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(folder.c_str());
}

void MakeFolders(const std::wstring& path) {
    for (size_t i = path.find(L'\\', 3); i != std::wstring::npos; i = path.find(L'\\', i + 1))
        ::CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    ::CreateDirectoryW(path.c_str(), nullptr);
}

}  // namespace vnk::chaos
