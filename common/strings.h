// The string table, message-format expansion and system error texts.
#pragma once

#include <windows.h>

#include <string>

namespace vnk {

// Language ids of the system error texts.
constexpr DWORD kUserDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);        // 0x0400
constexpr DWORD kSystemDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT);  // 0x0800

// A string-table entry of the program; empty when there is none.
std::wstring LoadResString(UINT id);

// A string-table entry expanded with the system's message-format syntax and
// the drive letter as its one insert (%1!c!).
std::wstring FormatDriveString(UINT id, wchar_t driveLetter);

// A string-table entry expanded with one unsigned number as %1 (%1!u!).
std::wstring FormatNumberString(UINT id, DWORD number);

// A string-table entry expanded with one text as %1.
std::wstring FormatTextString(UINT id, const std::wstring& text);

// A string-table entry expanded with a drive letter (%1!c!), an error code
// (%2!u!) and that error's system text in the user's language (%3), the
// text without its line break.
std::wstring FormatDriveErrorString(UINT id, wchar_t driveLetter, DWORD error);

// "\\.\X:" for drive letter X (string-table entry 106).
std::wstring DevicePath(wchar_t driveLetter);

// The system's text for an error code in the given language; empty when the
// system has none.
std::wstring SystemErrorText(DWORD code, DWORD languageId);

}  // namespace vnk
