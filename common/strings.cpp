#include "common/strings.h"

#include "fw/handles.h"
#include "fw/wnd.h"
#include "res/resource.h"

namespace vnk {

namespace {

std::wstring FormatWithArguments(const std::wstring& pattern, const DWORD_PTR* args) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        pattern.c_str(), 0, 0, reinterpret_cast<wchar_t*>(&text), 0,
        reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
    vnk::fw::UniqueLocalText owned(text);
    return length != 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
}

}  // namespace

std::wstring LoadResString(UINT id) {
    const wchar_t* resource = nullptr;
    // Length 0 asks for a read-only pointer into the resource itself.
    const int length = ::LoadStringW(vnk::fw::ResourceInstance(), id, reinterpret_cast<wchar_t*>(&resource), 0);
    if (length <= 0 || resource == nullptr) return {};
    return std::wstring(resource, static_cast<size_t>(length));
}

std::wstring FormatDriveString(UINT id, wchar_t driveLetter) {
    const DWORD_PTR args[] = {static_cast<DWORD_PTR>(driveLetter)};
    return FormatWithArguments(LoadResString(id), args);
}

std::wstring FormatNumberString(UINT id, DWORD number) {
    const DWORD_PTR args[] = {static_cast<DWORD_PTR>(number)};
    return FormatWithArguments(LoadResString(id), args);
}

std::wstring FormatTextString(UINT id, const std::wstring& text) {
    const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
    return FormatWithArguments(LoadResString(id), args);
}

std::wstring FormatDriveErrorString(UINT id, wchar_t driveLetter, DWORD error) {
    std::wstring text = SystemErrorText(error, kUserDefaultLanguage);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    const DWORD_PTR args[] = {static_cast<DWORD_PTR>(driveLetter), static_cast<DWORD_PTR>(error),
                              reinterpret_cast<DWORD_PTR>(text.c_str())};
    return FormatWithArguments(LoadResString(id), args);
}

std::wstring DevicePath(wchar_t driveLetter) { return FormatDriveString(IDS_DEVICE_PATH, driveLetter); }

std::wstring SystemErrorText(DWORD code, DWORD languageId) {
    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                         FORMAT_MESSAGE_FROM_SYSTEM,
                     nullptr, code, languageId, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    vnk::fw::UniqueLocalText owned(text);
    return text != nullptr ? std::wstring(text) : std::wstring();
}

}  // namespace vnk
