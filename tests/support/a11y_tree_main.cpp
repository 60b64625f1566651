// VarnokA11y: what a screen reader meets of the client's windows, for
// tools/run --a11y.
//   VarnokA11y tree "<window title>"   prints the window's accessible tree
//   VarnokA11y contrast                 sets a high-contrast black scheme
//                                        for the session (Wine cannot switch
//                                        high contrast itself)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/support/accessibility_probe.h"

namespace {

int PrintTree(const wchar_t* title) {
    const HWND window = ::FindWindowW(nullptr, title);
    if (window == nullptr) {
        std::fwprintf(stderr, L"VarnokA11y: no window \"%ls\"\n", title);
        return 2;
    }
    const std::wstring tree = vnk::test::DescribeAccessibleTree(window);
    std::fputws(tree.c_str(), stdout);
    return 0;
}

int HighContrastScheme() {
    // The colours of Windows' "High Contrast Black".
    const INT elements[] = {COLOR_BTNFACE,     COLOR_BTNTEXT,       COLOR_WINDOW,   COLOR_WINDOWTEXT,
                            COLOR_HIGHLIGHT,   COLOR_HIGHLIGHTTEXT, COLOR_GRAYTEXT, COLOR_ACTIVECAPTION,
                            COLOR_CAPTIONTEXT, COLOR_3DHILIGHT,     COLOR_3DSHADOW, COLOR_3DDKSHADOW,
                            COLOR_3DLIGHT,     COLOR_HOTLIGHT,      COLOR_MENU,     COLOR_MENUTEXT};
    const COLORREF colors[] = {RGB(0, 0, 0),       RGB(255, 255, 255), RGB(0, 0, 0),       RGB(255, 255, 255),
                               RGB(26, 235, 255),  RGB(0, 0, 0),       RGB(63, 242, 63),   RGB(128, 0, 128),
                               RGB(255, 255, 255), RGB(255, 255, 255), RGB(128, 128, 128), RGB(255, 255, 255),
                               RGB(192, 192, 192), RGB(255, 255, 0),   RGB(0, 0, 0),       RGB(255, 255, 255)};
    static_assert(sizeof elements / sizeof elements[0] == sizeof colors / sizeof colors[0]);
    return ::SetSysColors(static_cast<int>(sizeof elements / sizeof elements[0]), elements, colors) ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"tree") == 0) return PrintTree(argv[2]);
    if (argc == 2 && std::wcscmp(argv[1], L"contrast") == 0) return HighContrastScheme();
    std::fputws(L"usage: VarnokA11y tree \"<window title>\" | VarnokA11y contrast\n", stderr);
    return 2;
}
