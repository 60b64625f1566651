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

namespace vnk::test {

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                return done();
            }
            vnk::fw::PumpMessage(msg);
        }
        if (done()) return true;
        const ULONGLONG spent = ::GetTickCount64() - start;
        if (spent >= timeoutMs) return false;
        // Wake for input, or every 50 ms for conditions that other threads change.
        ::MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

void DrainMessages() {
    PumpUntil([] { return true; });
}

void PumpFor(DWORD ms) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    PumpUntil([end] { return ::GetTickCount64() >= end; }, ms + 1000);
}

std::string Ascii(std::wstring_view text) {
    std::string ascii;
    for (wchar_t c : text) ascii += c < 0x80 ? static_cast<char>(c) : '?';
    return ascii;
}

std::wstring ProgramPath(const wchar_t* name) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir + L"" VNK_PROGRAMS_DIR L"\\" + name;
}

namespace {

// A pipe whose write end a started program inherits.
void MakePipe(vnk::fw::UniqueHandle& read, vnk::fw::UniqueHandle& write) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    ::CreatePipe(&r, &w, &inherit, 64 * 1024);
    read.reset(r);
    write.reset(w);
    ::SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
}

std::string ReadWhatIsThere(HANDLE pipe) {
    std::string text;
    DWORD available = 0;
    while (pipe != nullptr && ::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!::ReadFile(pipe, chunk.data(), available, &read, nullptr) || read == 0) break;
        text.append(chunk, 0, read);
    }
    return text;
}

}  // namespace

Process::Process(const std::wstring& program, const std::wstring& args, Capture capture,
                 const std::optional<std::string>& input) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    vnk::fw::UniqueHandle outWrite, errWrite, inRead;
    const bool inherit = capture == Capture::Output;
    if (inherit) {
        MakePipe(m_out, outWrite);
        MakePipe(m_err, errWrite);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = outWrite.get();
        startup.hStdError = errWrite.get();
        if (input) {
            // The program's end is the read end; ours is written and closed
            // before the start, so the program meets the end of its input.
            vnk::fw::UniqueHandle inWrite;
            MakePipe(inRead, inWrite);
            ::SetHandleInformation(inRead.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            ::SetHandleInformation(inWrite.get(), HANDLE_FLAG_INHERIT, 0);
            DWORD written = 0;
            ::WriteFile(inWrite.get(), input->data(), static_cast<DWORD>(input->size()), &written, nullptr);
            startup.hStdInput = inRead.get();
        }
    }
    std::wstring commandLine = L"\"" + program + L"\"" + (args.empty() ? L"" : L" " + args);
    PROCESS_INFORMATION info{};
    // Wine answers ERROR_INTERNAL_ERROR when the new process died in its
    // loader before it reported its start (seen on a loaded machine, never
    // with our program's own code running): such a start is tried again, a
    // few times. Any other error is the test's answer.
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        if (::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inherit, 0, nullptr, nullptr,
                             &startup, &info))
            break;
        m_startError = ::GetLastError();
        if (m_startError != ERROR_INTERNAL_ERROR || attempt == kAttempts) return;
    }
    m_startError = ERROR_SUCCESS;
    ::CloseHandle(info.hThread);
    m_process.reset(info.hProcess);
    m_id = info.dwProcessId;
}

Process::~Process() {
    if (Running()) {
        ::TerminateProcess(m_process.get(), 99);
        ::WaitForSingleObject(m_process.get(), kWatchdogMs);
    }
}

std::wstring Process::Args(const std::vector<std::wstring>& args) {
    std::wstring line;
    for (const auto& arg : args)
        line += (line.empty() ? L"" : L" ") + (arg.find(L' ') == std::wstring::npos ? arg : L"\"" + arg + L"\"");
    return line;
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

bool Process::Running() const {
    return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

bool Process::WaitForExit(DWORD timeoutMs) const {
    return m_process && PumpUntil([this] { return !Running(); }, timeoutMs);
}

DWORD Process::ExitCode() const {
    DWORD code = kNoExitCode;
    if (m_process) ::GetExitCodeProcess(m_process.get(), &code);
    return code;
}

std::string Process::Out() const { return ReadWhatIsThere(m_out.get()); }
std::string Process::Err() const { return ReadWhatIsThere(m_err.get()); }

std::wstring DescribeError(DWORD error) {
    std::wstring text = SystemErrorText(error, kUserDefaultLanguage);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return L"error " + std::to_wstring(error) + L": " + text;
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

bool WaitForThread(HANDLE thread, DWORD timeoutMs) {
    return PumpUntil([thread] { return ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, timeoutMs);
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
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    ::GdiFlush();
    const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) & ~3u);
    const DWORD imageSize = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + imageSize;
    bool written = false;
    HANDLE out = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        DWORD done = 0;
        written = ::WriteFile(out, &file, sizeof file, &done, nullptr) &&
                  ::WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &done, nullptr) &&
                  ::WriteFile(out, bits, imageSize, &done, nullptr);
        ::CloseHandle(out);
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return written ? path : std::wstring();
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
