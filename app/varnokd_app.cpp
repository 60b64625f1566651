#include "app/varnokd_app.h"

#include <objbase.h>

#include "app/process_hardening.h"
#include "app/status_window.h"
#include "engine/drive_table.h"
#include "engine/probe.h"
#include "fw/handles.h"
#include "login/login_thread.h"
#include "res/resource.h"

bool CVarnokdApp::HandOverToRunningInstance() {
    vnk::fw::UniqueHandle marker(::OpenFileMappingW(FILE_MAP_READ, TRUE, kInstanceMarker));
    if (!marker) return false;
    marker.reset();
    // Bring the running instance's window up; it may not have made it yet.
    HWND running = ::FindWindowExW(nullptr, nullptr, nullptr, kStatusWindowTitle);
    if (running != nullptr && ::IsWindow(running)) ::SendMessageW(running, WM_SYSCOMMAND, SC_RESTORE, 0);
    return true;
}

BOOL CVarnokdApp::InitInstance() {
    // Before any window, and before the passphrase can be typed.
    vnk::HardenProcess();
    if (HandOverToRunningInstance()) return FALSE;

    // Neither a failure nor a marker another instance made meanwhile stops
    // the start.
    vnk::fw::UniqueHandle marker(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, kInstanceMarker));
    ::CoInitialize(nullptr);
    // The status window's first probe starts the drives' login threads.
    vnk::SetLoginThreadFactory(&vnk::BeginLoginThread);
    // DriveLock is ready from static initialisation on, before any thread.
    {
        CVNKDStatus statusWindow;
        m_pMainWnd = &statusWindow;
        m_nCmdShow = SW_SHOWMINNOACTIVE;
        {
            // Its end, once the window has ended, stops every drive's
            // threads and shuts the engine down, before the window object
            // (the threads' main window) goes.
            const vnk::EngineRun engine;
            statusWindow.DoModal();
            // Exit locks first, every drive at once and for a bounded time,
            // and says what it could not lock; then the engine's end stops
            // the threads, also with a bound.
            CVNKDStatus::ShowLockFailures(IDS_ERR_EXIT_INCOMPLETE, IDS_CAP_EXIT_INCOMPLETE, vnk::VNKDCleanup());
        }
        ::CoUninitialize();
        marker.reset();
        m_pMainWnd = nullptr;
    }
    return FALSE;
}
