#include "tests/support/test_support.h"

#include <aclapi.h>
#include <dbt.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cwchar>

#include "common/strings.h"
#include "common/trace.h"
#include "engine/lock_pass.h"
#include "fw/app.h"
#include "fw/security.h"
#include "fw/thread.h"
#include "login/login_thread.h"
#include "res/resource.h"
#include "tests/support/screen_capture.h"

namespace vnk::test {

std::string Ascii(std::wstring_view text) {
    std::string ascii;
    for (wchar_t c : text) ascii += c < 0x80 ? static_cast<char>(c) : '?';
    return ascii;
}

Process::Result Process::Run(const std::wstring& program, const std::wstring& args, Capture capture,
                             const std::optional<std::string>& input) {
    const Process process(program, args, capture, input);
    Result result;
    if (!process.Started()) {
        ADD_FAILURE() << "cannot start " << Ascii(program) << ": " << Ascii(process.StartError());
        return result;
    }
    if (!process.WaitForExit()) {
        ADD_FAILURE() << Ascii(program) << " did not end";
        return result;
    }
    result.exitCode = process.ExitCode();
    result.out = process.Out();
    result.err = process.Err();
    return result;
}

size_t ThreadsOfThisProcess() {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    size_t count = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
    ::CloseHandle(snapshot);
    return count;
}

DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = 0;
    ::GetExitCodeThread(thread, &code);
    return code;
}

RecorderWindow::RecorderWindow() { CreateEx(0, L"Varnok test recorder", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr); }

RecorderWindow::~RecorderWindow() { DestroyWindow(); }

std::vector<RecordedMessage> RecorderWindow::Messages(UINT message) const {
    std::lock_guard lock(m_mutex);
    std::vector<RecordedMessage> found;
    for (const auto& m : m_messages)
        if (m.message == message) found.push_back(m);
    return found;
}

void RecorderWindow::Clear() {
    std::lock_guard lock(m_mutex);
    m_messages.clear();
    m_deviceChanges.clear();
}

std::vector<RecorderWindow::DeviceChange> RecorderWindow::DeviceChanges() const {
    std::lock_guard lock(m_mutex);
    return m_deviceChanges;
}

LRESULT RecorderWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard lock(m_mutex);
        m_messages.push_back({message, wParam, lParam});
        if (message == WM_DEVICECHANGE && wParam >= DBT_DEVICEARRIVAL && wParam <= DBT_DEVICEREMOVECOMPLETE &&
            lParam != 0) {
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            DeviceChange change{static_cast<UINT>(wParam), header->dbch_devicetype, 0, 0};
            if (header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
                const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lParam);
                change.unitMask = volume->dbcv_unitmask;
                change.flags = volume->dbcv_flags;
            }
            m_deviceChanges.push_back(change);
        }
    }
    if (message == WM_DEVICECHANGE) {
        if (onDeviceChange) onDeviceChange(static_cast<UINT>(wParam));
        if (wParam == DBT_DEVICEQUERYREMOVE && refuseQueryRemove) return BROADCAST_QUERY_DENY;
        if (wParam == DBT_DEVICEARRIVAL && refuseArrival) return BROADCAST_QUERY_DENY;
        return TRUE;
    }
    return vnk::fw::Wnd::WindowProc(message, wParam, lParam);
}

TraceCapture::TraceCapture() {
    SetTraceListenerForTesting([this](const std::wstring& line) {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line);
    });
}

TraceCapture::~TraceCapture() { SetTraceListenerForTesting({}); }

std::vector<std::wstring> TraceCapture::Lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

size_t TraceCapture::CountContaining(const std::wstring& part) const {
    std::lock_guard lock(m_mutex);
    size_t n = 0;
    for (const auto& line : m_lines)
        if (line.find(part) != std::wstring::npos) ++n;
    return n;
}

void DriveFixture::SetUp() {
    Sim().Reset();
    WatchersMayRun = true;
    ProbeInProgress = false;
    detail::SetCleanupDone(false);
    detail::ResetLockPassesForTesting();
    vnk::fw::GetApp()->m_pMainWnd = &m_main;
}

void DriveFixture::TearDown() {
    // Drive work runs on workers: let what is under way finish first.
    PumpUntil([this] { return !ProbeInProgress && Sim().OpenHandleCount() == 0; }, kWatchdogMs);
    ClearTable();
    vnk::fw::GetApp()->m_pMainWnd = nullptr;
    EXPECT_EQ(Sim().OpenHandleCount(), 0u) << "a device handle was left open";
    Sim().Reset();
}

void StatusWindowFixture::TearDown() {
    if (m_status) {
        m_status->DestroyWindow();
        m_status.reset();
    }
    DriveFixture::TearDown();
}

void StatusWindowFixture::Start() {
    m_status = std::make_unique<CVNKDStatus>();
    vnk::fw::GetApp()->m_pMainWnd = m_status.get();
    vnk::fw::GetApp()->m_nCmdShow = SW_SHOWMINNOACTIVE;
    ASSERT_TRUE(m_status->Create());
    ASSERT_TRUE(PumpUntil([this] { return m_status->IsHiddenInTray() && m_status->Tray() != nullptr; }));
    // The probe runs on a worker; the list follows its end.
    ASSERT_TRUE(PumpUntil([] { return !ProbeInProgress; }));
    PumpFor(100);
}

DriveInfo& DriveFixture::AddRecord(wchar_t letter, bool startWatcher) {
    std::lock_guard lock(DriveLock);
    DriveInfo& info = Drives().Insert(letter);
    info.event.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (startWatcher) StartWatcher(letter, info);
    return info;
}

void DriveFixture::ClearTable() {
    std::vector<DriveTable::Node> nodes;
    {
        std::lock_guard lock(DriveLock);
        nodes = Drives().ExtractAll();
    }
    nodes.clear();
}

std::optional<DWORD> DriveFixture::Status(wchar_t letter) {
    const std::optional<DriveView> drive = DriveSnapshot(letter);
    if (!drive) return std::nullopt;
    return drive->status;
}

void DriveFixture::SetStatus(wchar_t letter, DWORD status) {
    const std::optional<DriveView> drive = DriveSnapshot(letter);
    ASSERT_TRUE(drive.has_value()) << "no record of drive " << static_cast<char>(letter);
    // As if the driver had answered it.
    RecordDriveFact(drive->id, DriveFact::StatusRead, status);
}

bool DriveFixture::OwnsItsThreads(wchar_t letter) {
    std::lock_guard lock(DriveLock);
    const DriveInfo* info = Drives().Find(letter);
    return info != nullptr && info->watcher && info->loginThread &&
           dynamic_cast<const CVNKDLogin*>(info->loginThread.get()) != nullptr && !info->watcher->m_bAutoDelete &&
           !info->loginThread->m_bAutoDelete;
}

size_t DriveFixture::Probes() const {
    size_t probes = 0;
    wchar_t next = L'A';
    for (const auto& call : sim::TheSimDriver().Calls()) {
        if (call.kind != sim::CallKind::DriveType || call.drive != next) continue;
        if (next == L'Z') {
            ++probes;
            next = L'A';
        } else {
            ++next;
        }
    }
    return probes;
}

namespace {

bool Matches(HWND hwnd, const std::wstring& title, const wchar_t* className) {
    return TitleOf(hwnd) == title && (className == nullptr || ClassOf(hwnd) == className);
}

}  // namespace

HWND TopWindowOf(DWORD processId, const std::wstring& title, const wchar_t* className) {
    for (HWND hwnd : TopWindowsOf(processId))
        if (Matches(hwnd, title, className)) return hwnd;
    return nullptr;
}

HWND FindWindowByTitle(const wchar_t* title, const wchar_t* className) {
    for (HWND hwnd : TopWindowsOf(::GetCurrentProcessId()))
        if (::IsWindowVisible(hwnd) && Matches(hwnd, title, className)) return hwnd;
    return nullptr;
}

HWND WaitForWindow(const wchar_t* title, const wchar_t* className, DWORD timeoutMs) {
    HWND found = nullptr;
    PumpUntil([&] { return (found = FindWindowByTitle(title, className)) != nullptr; }, timeoutMs);
    return found;
}

std::wstring MessageBoxText(HWND box) {
    // The message is the box's longest static text (the icon is a static too).
    std::wstring longest;
    for (HWND child = ::GetWindow(box, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[64] = {};
        ::GetClassNameW(child, cls, 64);
        if (::lstrcmpiW(cls, L"Static") != 0) continue;
        wchar_t text[4096] = {};
        ::GetWindowTextW(child, text, 4096);
        if (std::wcslen(text) > longest.size()) longest = text;
    }
    return longest;
}

std::wstring SaveWindowImage(HWND window, const std::wstring& name) {
    // The window's thread paints it; give it the time to reach the screen.
    ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    PumpFor(500);
    wchar_t folder[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"VNK_SCREENSHOT_DIR", folder, MAX_PATH) == 0) {
        ::GetModuleFileNameW(nullptr, folder, MAX_PATH);
        *std::wcsrchr(folder, L'\\') = L'\0';
    }
    ::CreateDirectoryW(folder, nullptr);
    const std::wstring path = std::wstring(folder) + L"\\" + name;

    RECT rect{};
    ::GetWindowRect(window, &rect);
    return SaveScreenArea(rect, path) ? path : std::wstring();
}

MessageBoxAnswerer::MessageBoxAnswerer(std::wstring caption, int button)
    : m_caption(std::move(caption)), m_button(button) {
    m_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_thread = ::CreateThread(nullptr, 0, &MessageBoxAnswerer::Run, this, 0, nullptr);
}

MessageBoxAnswerer::~MessageBoxAnswerer() {
    ::SetEvent(m_stop);
    WaitForThread(m_thread);
    ::CloseHandle(m_thread);
    ::CloseHandle(m_stop);
}

DWORD WINAPI MessageBoxAnswerer::Run(LPVOID param) {
    auto* self = static_cast<MessageBoxAnswerer*>(param);
    while (::WaitForSingleObject(self->m_stop, 20) == WAIT_TIMEOUT) {
        HWND box = FindWindowByTitle(self->m_caption.c_str(), L"#32770");
        if (box == nullptr) continue;
        {
            std::lock_guard lock(self->m_mutex);
            self->m_text = MessageBoxText(box);
            self->m_owner = ::GetWindow(box, GW_OWNER);
        }
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(self->m_button, BN_CLICKED), 0);
        // Wait for it to go before saying it was answered.
        while (::IsWindow(box) && ::WaitForSingleObject(self->m_stop, 20) == WAIT_TIMEOUT) {
        }
        std::lock_guard lock(self->m_mutex);
        self->m_answered = true;
        return 0;
    }
    return 0;
}

bool MessageBoxAnswerer::Wait(DWORD timeoutMs) {
    return PumpUntil(
        [this] {
            std::lock_guard lock(m_mutex);
            return m_answered;
        },
        timeoutMs);
}

std::wstring MessageBoxAnswerer::Text() const {
    std::lock_guard lock(m_mutex);
    return m_text;
}

HWND MessageBoxAnswerer::Owner() const {
    std::lock_guard lock(m_mutex);
    return m_owner;
}


vnk::fw::UniqueHandle CopyOfHandle(HANDLE handle) {
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return {};
    return vnk::fw::UniqueHandle(copy);
}

vnk::fw::UniqueHandle OpenThreadById(DWORD threadId) {
    if (threadId == 0) return {};
    return vnk::fw::UniqueHandle(::OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId));
}

namespace {

BOOL CALLBACK TakeLoginBox(HWND hwnd, LPARAM found) {
    if (::GetDlgItem(hwnd, IDC_PASSPHRASE) == nullptr) return TRUE;
    *reinterpret_cast<HWND*>(found) = hwnd;
    return FALSE;
}

}  // namespace

HWND LoginBoxOf(wchar_t letter) {
    const std::optional<DriveView> drive = DriveSnapshot(letter);
    if (!drive || drive->loginThreadId == 0) return nullptr;
    // The login box is the thread's one window with a passphrase field; a
    // message box it shows is another top-level window of the thread.
    HWND box = nullptr;
    ::EnumThreadWindows(drive->loginThreadId, &TakeLoginBox, reinterpret_cast<LPARAM>(&box));
    return box;
}

std::optional<std::vector<std::wstring>> AllowedSidsOf(HANDLE object) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          &raw) != ERROR_SUCCESS)
        return std::nullopt;
    const vnk::fw::UniqueLocalMemory descriptor(raw);
    if (dacl == nullptr) return std::nullopt;
    std::vector<std::wstring> allowed;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace) || static_cast<const ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return std::nullopt;
        auto* sid = reinterpret_cast<BYTE*>(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart);
        allowed.push_back(vnk::fw::SidText(std::vector<BYTE>(sid, sid + ::GetLengthSid(sid))));
    }
    return allowed;
}

}  // namespace vnk::test
