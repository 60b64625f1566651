// The least Win32 tray program that does the client's job, as the yardstick
// for tools/bench: a hidden window with a report list view, a tray icon, one
// worker per drive waiting on a named auto-reset event that posts to the
// main thread, a small modeless box with an edit and two buttons, and an
// Exit command. Built with the same compiler, flags and runtime as the
// client, and nothing of the client's code.
//
// Usage: reference_tray.exe EVENT-PREFIX [DRIVES [box-threads]]
// The workers wait on EVENT-PREFIX0, EVENT-PREFIX1, ...; drive i is shown
// as the letter 'D' + i. With "box-threads", each drive also has a thread
// of its own, started with the workers, that makes and runs its box (as
// the client's login threads do); otherwise the main thread makes it.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "res/resource.h"

namespace {

// The client's ids, so that the benchmark drives both programs the same way.
constexpr UINT kTrayId = IDR_TRAYMENU;
constexpr UINT kExitCommand = ID_APP_EXIT_VARNOK;
constexpr UINT kSignalled = WM_APP + 1;
constexpr UINT kTrayMessage = WM_APP + 2;
constexpr UINT kShowBox = WM_APP + 3;
constexpr int kEditId = IDC_PASSPHRASE;

struct Worker {
    HANDLE event = nullptr;
    HANDLE thread = nullptr;
    HANDLE boxThread = nullptr;
    DWORD boxThreadId = 0;
    wchar_t letter = 0;
};

HWND g_main = nullptr;
thread_local HWND g_box = nullptr;  // the box of the thread that made it
HANDLE g_stop = nullptr;
std::vector<Worker> g_workers;

DWORD WINAPI WorkerProc(void* param) {
    const auto* worker = static_cast<const Worker*>(param);
    const HANDLE handles[] = {g_stop, worker->event};
    while (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
        ::PostMessageW(g_main, kSignalled, worker->letter, 0);
    return 0;
}

LRESULT CALLBACK BoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        ::DestroyWindow(hwnd);
        return 0;
    }
    if (message == WM_DESTROY && hwnd == g_box) g_box = nullptr;
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

void ShowBox(wchar_t letter) {
    if (g_box != nullptr) return;
    wchar_t title[64];
    std::swprintf(title, 64, L"Reference drive %c: - Please log in", letter);
    g_box = ::CreateWindowExW(WS_EX_DLGMODALFRAME, L"ReferenceBox", title, WS_POPUP | WS_CAPTION | WS_SYSMENU,
                              CW_USEDEFAULT, CW_USEDEFAULT, 480, 120, nullptr, nullptr, nullptr, nullptr);
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    ::CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_PASSWORD, 10, 10, 440,
                      24, g_box, reinterpret_cast<HMENU>(INT_PTR{kEditId}), instance, nullptr);
    ::CreateWindowExW(0, L"BUTTON", L"&Log in", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 10, 44, 90, 24,
                      g_box, reinterpret_cast<HMENU>(INT_PTR{IDOK}), instance, nullptr);
    ::CreateWindowExW(0, L"BUTTON", L"&Eject", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 110, 44, 90, 24, g_box,
                      reinterpret_cast<HMENU>(INT_PTR{IDCANCEL}), instance, nullptr);
    ::ShowWindow(g_box, SW_SHOW);
    ::SetForegroundWindow(g_box);
}

// Runs messages until WM_QUIT, its box's keys through the dialog manager.
void RunMessages() {
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == nullptr && msg.message == kShowBox) ShowBox(static_cast<wchar_t>(msg.wParam));
        if (g_box != nullptr && ::IsDialogMessageW(g_box, &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    if (g_box != nullptr) ::DestroyWindow(g_box);
}

DWORD WINAPI BoxThreadProc(void* ready) {
    MSG msg;
    ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the queue
    ::SetEvent(static_cast<HANDLE>(ready));
    RunMessages();
    return 0;
}

LRESULT CALLBACK MainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kSignalled:
            for (const Worker& worker : g_workers) {
                if (worker.letter != static_cast<wchar_t>(wParam)) continue;
                if (worker.boxThread != nullptr)
                    ::PostThreadMessageW(worker.boxThreadId, kShowBox, wParam, 0);
                else
                    ShowBox(static_cast<wchar_t>(wParam));
            }
            return 0;
        case kTrayMessage:
            if (LOWORD(lParam) == WM_RBUTTONUP) ::PostMessageW(hwnd, WM_COMMAND, kExitCommand, 0);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == kExitCommand) ::DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

HWND CreateMainWindow(HINSTANCE instance) {
    const HWND main = ::CreateWindowExW(0, L"ReferenceMain", L"Reference Status", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                        CW_USEDEFAULT, 400, 300, nullptr, nullptr, instance, nullptr);
    const HWND list =
        ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT, 0, 0, 380, 260, main, nullptr,
                          instance, nullptr);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.cx = 60;
    column.pszText = const_cast<wchar_t*>(L"Drive");
    ::SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
    column.cx = 200;
    column.pszText = const_cast<wchar_t*>(L"Status");
    ::SendMessageW(list, LVM_INSERTCOLUMNW, 1, reinterpret_cast<LPARAM>(&column));
    return main;
}

NOTIFYICONDATAW TrayRecord() {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = g_main;
    data.uID = kTrayId;
    return data;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 2) return 2;
    const std::wstring prefix = argv[1];
    const int drives = argc > 2 ? _wtoi(argv[2]) : 1;
    if (drives < 1 || drives > 26) return 2;
    const bool boxThreads = argc > 3 && std::wcscmp(argv[3], L"box-threads") == 0;

    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&controls);
    WNDCLASSW mainClass{};
    mainClass.lpfnWndProc = MainProc;
    mainClass.hInstance = instance;
    mainClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    mainClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    mainClass.lpszClassName = L"ReferenceMain";
    ::RegisterClassW(&mainClass);
    WNDCLASSW boxClass = mainClass;
    boxClass.lpfnWndProc = BoxProc;
    boxClass.lpszClassName = L"ReferenceBox";
    ::RegisterClassW(&boxClass);

    // The window exists before the workers start: they post to it. The
    // events exist before the icon, as the client's do.
    g_main = CreateMainWindow(instance);
    g_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<Worker>& workers = g_workers;
    workers.resize(static_cast<size_t>(drives));
    for (size_t i = 0; i < workers.size(); ++i) {
        workers[i].letter = static_cast<wchar_t>(L'D' + i);
        workers[i].event = ::CreateEventW(nullptr, FALSE, FALSE, (prefix + std::to_wstring(i)).c_str());
        if (boxThreads) {
            // Started with its message queue, so that no request is lost.
            const HANDLE ready = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
            workers[i].boxThread = ::CreateThread(nullptr, 0, BoxThreadProc, ready, 0, &workers[i].boxThreadId);
            if (workers[i].boxThread != nullptr) ::WaitForSingleObject(ready, INFINITE);
            ::CloseHandle(ready);
        }
        workers[i].thread = ::CreateThread(nullptr, 0, WorkerProc, &workers[i], 0, nullptr);
    }

    NOTIFYICONDATAW tray = TrayRecord();
    tray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    tray.uCallbackMessage = kTrayMessage;
    tray.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    std::wcscpy(tray.szTip, L"Reference");
    ::Shell_NotifyIconW(NIM_ADD, &tray);

    RunMessages();

    NOTIFYICONDATAW remove = TrayRecord();
    ::Shell_NotifyIconW(NIM_DELETE, &remove);
    ::SetEvent(g_stop);
    for (const Worker& worker : workers) {
        if (worker.boxThread != nullptr) {
            ::PostThreadMessageW(worker.boxThreadId, WM_QUIT, 0, 0);
            ::WaitForSingleObject(worker.boxThread, INFINITE);
            ::CloseHandle(worker.boxThread);
        }
        ::WaitForSingleObject(worker.thread, INFINITE);
        ::CloseHandle(worker.thread);
        ::CloseHandle(worker.event);
    }
    ::CloseHandle(g_stop);
    ::LocalFree(argv);
    return 0;
}
