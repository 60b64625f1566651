#include "app/varnokd_app.h"

#include <objbase.h>

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "app/process_hardening.h"
#include "common/trace.h"
#include "app/status_window.h"
#include "engine/drive_table.h"
#include "engine/probe.h"
#include "fw/handles.h"
#include "fw/security.h"
#include "login/login_thread.h"
#include "res/resource.h"

// Only the framework's help command, to its default handling: the program
// supplies no help file.
FW_BEGIN_MESSAGE_MAP(CVarnokdApp, vnk::fw::App)
FW_ON_COMMAND(vnk::fw::ID_HELP, OnHelp)
FW_END_MESSAGE_MAP()

namespace {

// How long a new instance looks for a running instance's window when the
// marker exists: the running one may still be making its window.
constexpr DWORD kAnswerWaitMs = 5000;
constexpr DWORD kLookAgainMs = 100;

// A status window of another process that answers the restore command
// within the time left; the hand-over is done by that answer.
bool RestoreAnswered(ULONGLONG deadline) {
    for (HWND window = nullptr;
         (window = ::FindWindowExW(nullptr, window, nullptr, CVarnokdApp::kStatusWindowTitle)) != nullptr;) {
        DWORD process = 0;
        if (::GetWindowThreadProcessId(window, &process) == 0 || process == ::GetCurrentProcessId()) continue;
        wchar_t className[16] = {};
        if (::GetClassNameW(window, className, 16) == 0 || std::wcscmp(className, L"#32770") != 0) continue;
        const ULONGLONG now = ::GetTickCount64();
        const auto left = static_cast<UINT>(deadline > now ? deadline - now : 1);
        DWORD_PTR result = 0;
        if (::SendMessageTimeoutW(window, WM_SYSCOMMAND, SC_RESTORE, 0, SMTO_ABORTIFHUNG, left, &result))
            return true;
    }
    return false;
}

}  // namespace

vnk::fw::UniqueHandle CVarnokdApp::CreateInstanceMarker(bool& existed) {
    // Other instances of the user may see it, and nothing more.
    const std::wstring user = vnk::fw::SidText(vnk::fw::CurrentUserSid());
    vnk::fw::SecurityDescriptor descriptor(user.empty() ? std::wstring() : vnk::MarkerSddl(user));
    vnk::fw::UniqueHandle marker(::CreateFileMappingW(INVALID_HANDLE_VALUE, descriptor.Attributes(), PAGE_READWRITE,
                                                      0, 4096, kInstanceMarker));
    // A mapping of that name that we may not open is somebody's all the same.
    existed = marker ? ::GetLastError() == ERROR_ALREADY_EXISTS : ::GetLastError() == ERROR_ACCESS_DENIED;
    return marker;
}

bool CVarnokdApp::HandOverToRunningInstance() {
    // The marker's name is open to every program of the user, so a marker
    // alone proves nothing: only a running instance's window that answers
    // does. It may still be on its way.
    const ULONGLONG deadline = ::GetTickCount64() + kAnswerWaitMs;
    for (;;) {
        if (RestoreAnswered(deadline)) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(kLookAgainMs);
    }
}

BOOL CVarnokdApp::InitInstance() {
    // Before any window and any other thread, and before the passphrase
    // can be typed.
    vnk::HardenProcess();

    // Made first, in one step, so that of two instances started together
    // exactly one finds the marker new. The other, or any instance that
    // finds a marker some other program made, hands over to the window of
    // the instance that runs; when none answers, the marker is not an
    // instance's and the start goes on.
    bool existed = false;
    vnk::fw::UniqueHandle marker = CreateInstanceMarker(existed);
    if (existed) {
        if (HandOverToRunningInstance()) return FALSE;
        vnk::Trace(L"CVarnokdApp: InitInstance: the instance marker exists but no instance's window answered "
                   L"within %lu ms: starting anyway\n",
                   kAnswerWaitMs);
    } else if (!marker) {
        vnk::Trace(L"CVarnokdApp: InitInstance: no instance marker (%lu): starting anyway\n", ::GetLastError());
    }
    ::CoInitialize(nullptr);
    // The status window's first probe starts the drives' login threads.
    vnk::SetLoginThreadFactory(&vnk::BeginLoginThread);
    // DriveLock was initialised with the other globals, before any thread.
    std::vector<std::pair<wchar_t, DWORD>> notLocked;
    bool tellUser = false;
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
            // Exit locks first, every drive at once and for a bounded time;
            // then the engine's end stops the threads, also with a bound.
            notLocked = vnk::VNKDCleanup();
        }
        tellUser = statusWindow.ExitTellsTheUser();
        ::CoUninitialize();
        m_pMainWnd = nullptr;
    }
    marker.reset();
    // The exit is done: threads stopped, announcements withdrawn, the
    // marker gone, so a new instance or an installer can go on. Only now
    // is the person told what could not be locked, by a box that closes
    // itself; a program's close request or the session's end shows none.
    if (tellUser)
        CVNKDStatus::ShowLockFailures(IDS_ERR_EXIT_INCOMPLETE, IDS_CAP_EXIT_INCOMPLETE, notLocked,
                                      CVNKDStatus::kExitBoxMs);
    else if (!notLocked.empty())
        vnk::Trace(L"CVarnokdApp: InitInstance: %u drives not locked at the exit, nobody to tell\n",
                   static_cast<unsigned>(notLocked.size()));
    return FALSE;
}
