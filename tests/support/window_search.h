// Finding the windows of a process, this one or another: for the tests and
// for the benchmark that drives the client from outside. Nothing here needs
// the test framework.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vnk::test {

// The top-level windows of a process (any process), visible or not.
std::vector<HWND> TopWindowsOf(DWORD processId);

std::wstring ClassOf(HWND hwnd);
// A window's caption, which the system keeps for windows of every process.
std::wstring TitleOf(HWND hwnd);

// Whether the shell shows the icon (window, id): the shell modifies only
// an icon it holds, so NIM_MODIFY with nothing to change tells.
bool IconInShell(HWND window, UINT id);

// A control's text (up to 1023 units) asked of the control's own thread:
// GetWindowText on another process's control gives nothing. Nothing when
// that thread did not answer within `timeoutMs`.
std::optional<std::wstring> ReadControlText(HWND control, DWORD timeoutMs);

// The rows of another process's report list view, as the texts of its
// first two columns. Each text is fetched through a buffer in that
// process, since a pointer of ours means nothing there: `process` needs
// the rights to allocate, read and write in it (the client lets no other
// program of the user in, so it is the handle its starter got). Nothing
// when no buffer could be had there.
using ListViewRows = std::vector<std::pair<std::wstring, std::wstring>>;
std::optional<ListViewRows> ReadListView(HWND list, HANDLE process, DWORD timeoutMs);

}  // namespace vnk::test
