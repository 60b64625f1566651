// Finding the windows of a process, this one or another: for the tests and
// for the benchmark that drives the client from outside. Nothing here needs
// the test framework.
#pragma once

#include <windows.h>

#include <string>
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

}  // namespace vnk::test
