#include "app/varnokd_app.h"

#include <objbase.h>
#include <aclapi.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "app/process_hardening.h"
#include "common/trace.h"
#include "app/status_window.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/lock_pass.h"
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

// The user, or the default owner this process's token gives what it makes
// (an administrators group for an elevated start).
bool OwnedByThisUser(PSID owner, const std::vector<BYTE>& user) {
    if (::EqualSid(owner, const_cast<BYTE*>(user.data()))) return true;
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return false;
    const vnk::fw::UniqueHandle token(rawToken);
    alignas(TOKEN_OWNER) BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_OWNER)];
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenOwner, buffer, sizeof buffer, &size)) return false;
    return ::EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner) != FALSE;
}

// Whether the marker that exists was made by an instance of this program:
// owned by this user and carrying exactly the DACL an instance gives it.
// `marker` is the handle the creation gave (null when it was refused); the
// marker is opened for reading its security otherwise.
bool MarkerIsAnInstances(HANDLE marker) {
    vnk::fw::UniqueHandle opened;
    if (marker == nullptr) {
        opened.reset(::OpenFileMappingW(READ_CONTROL, FALSE, CVarnokdApp::kInstanceMarker));
        marker = opened.get();
    }
    if (marker == nullptr) return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (::GetSecurityInfo(marker, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                          nullptr, &dacl, nullptr, &raw) != ERROR_SUCCESS)
        return false;
    const vnk::fw::UniqueLocalMemory descriptor(raw);
    const std::vector<BYTE>& user = vnk::fw::CurrentUserSid();
    const std::wstring userText = vnk::fw::SidText(user);
    if (userText.empty() || owner == nullptr || dacl == nullptr || !OwnedByThisUser(owner, user)) return false;
    const vnk::fw::SecurityDescriptor expected(vnk::MarkerSddl(userText));
    const PACL wanted = expected.Dacl();
    return wanted != nullptr && dacl->AclSize == wanted->AclSize && std::memcmp(dacl, wanted, dacl->AclSize) == 0;
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
        // Judged now: an instance that is ending lets go of its marker soon.
        const bool instances = MarkerIsAnInstances(marker.get());
        if (HandOverToRunningInstance()) return FALSE;
        // An instance's marker whose window does not answer belongs to an
        // instance that is ending (its window gone, its drives still being
        // let go) or hung: two clients must never drive the same drives.
        if (instances) {
            vnk::Trace(L"CVarnokdApp: InitInstance: an instance runs but its window did not answer within %lu ms: "
                       L"ending\n",
                       kAnswerWaitMs);
            return FALSE;
        }
        vnk::Trace(L"CVarnokdApp: InitInstance: the instance marker is another program's and no instance's window "
                   L"answered within %lu ms: starting anyway\n",
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
