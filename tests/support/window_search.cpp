#include "tests/support/window_search.h"

#include <shellapi.h>

namespace vnk::test {

namespace {

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindowOf(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    if (pid == search->processId) search->found.push_back(hwnd);
    return TRUE;
}

}  // namespace

std::vector<HWND> TopWindowsOf(DWORD processId) {
    WindowSearch search{processId, {}};
    ::EnumWindows(CollectWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[256] = {};
    ::GetClassNameW(hwnd, name, 256);
    return name;
}

std::wstring TitleOf(HWND hwnd) {
    wchar_t title[512] = {};
    ::GetWindowTextW(hwnd, title, 512);
    return title;
}

bool IconInShell(HWND window, UINT id) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = id;
    return ::Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

}  // namespace vnk::test
