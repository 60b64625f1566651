// Error message boxes with texts from the string table.
#pragma once

#include <windows.h>

namespace vnk {

// Loads text and caption from the string table, expands the text's inserts
// (%1, %2, %1!c! ...) from the arguments that follow (the caption is not
// expanded), shows MessageBoxW(owner, text, caption, flags) and returns its
// result. String inserts are passed as const wchar_t*, a drive letter as a
// wchar_t.
int ErrorBox(HWND owner, UINT textId, UINT captionId, UINT flags, ...);

}  // namespace vnk
