// Shared test helpers: pumping the test thread's messages until something
// happens, a top-level window that records what reaches it, and a fixture
// that gives each test a fresh simulated drive bay and an empty drive table.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/drive_table.h"
#include "fw/handles.h"
#include "fw/wnd.h"
#include "sim/sim_driver.h"

namespace vnk::test {

// The longest any test waits for something that should happen at once; a
// test that needs it has failed.
constexpr DWORD kWatchdogMs = 20000;

// Runs the calling thread's message loop (the framework's routing) until
// `done` holds or the watchdog expires; false on expiry.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kWatchdogMs);
// Runs the loop for a while: for letting things that must NOT happen show up.
void PumpFor(DWORD ms);

// The full path of one of the project's programs (Varnokd.exe, the
// simulator and its control program), which lie in the build folder above
// the tests.
std::wstring ProgramPath(const wchar_t* name);

// A started program. One that still runs when its owner goes is ended by
// force, so that a failed test leaves nothing behind.
class Process {
public:
    Process(const std::wstring& program, const std::wstring& args) {
        std::wstring commandLine = L"\"" + program + L"\"" + (args.empty() ? L"" : L" " + args);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &info)) {
            m_process.reset(info.hProcess);
            ::CloseHandle(info.hThread);
            m_id = info.dwProcessId;
        }
    }
    ~Process() {
        if (Running()) {
            ::TerminateProcess(m_process.get(), 99);
            ::WaitForSingleObject(m_process.get(), kWatchdogMs);
        }
    }

    bool Started() const { return static_cast<bool>(m_process); }
    bool Running() const { return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT; }
    DWORD Id() const { return m_id; }
    HANDLE Handle() const { return m_process.get(); }
    bool WaitForExit(DWORD timeoutMs = kWatchdogMs) const {
        return m_process && PumpUntil([this] { return !Running(); }, timeoutMs);
    }
    DWORD ExitCode() const {
        DWORD code = 0xFFFFFFFF;
        if (m_process) ::GetExitCodeProcess(m_process.get(), &code);
        return code;
    }

private:
    fw::UniqueHandle m_process;
    DWORD m_id = 0;
};

// How many threads this process has now.
size_t ThreadsOfThisProcess();

// Waits for a thread handle while pumping; false on the watchdog.
bool WaitForThread(HANDLE thread, DWORD timeoutMs = kWatchdogMs);
DWORD ExitCodeOf(HANDLE thread);

struct RecordedMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// A hidden top-level window that records chosen messages. For
// WM_DEVICECHANGE it copies the volume record and can refuse queries.
class RecorderWindow : public fw::Wnd {
public:
    RecorderWindow();
    ~RecorderWindow() override;

    std::vector<RecordedMessage> Messages(UINT message) const;
    size_t Count(UINT message) const { return Messages(message).size(); }
    void Clear();

    struct DeviceChange {
        UINT event;
        DWORD deviceType;
        DWORD unitMask;
        WORD flags;
    };
    std::vector<DeviceChange> DeviceChanges() const;
    bool refuseQueryRemove = false;
    bool refuseArrival = false;
    // Called with each device-change event before it is answered, as
    // another program's window might react to it.
    std::function<void(UINT event)> onDeviceChange;

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    mutable std::mutex m_mutex;
    std::vector<RecordedMessage> m_messages;
    std::vector<DeviceChange> m_deviceChanges;
};

// Collects trace lines while it lives.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    std::vector<std::wstring> Lines() const;
    size_t CountContaining(const std::wstring& part) const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

// A fresh bay and table for each test; the test thread's main window is a
// recorder. Tears the table down and checks that no device handle is left.
class DriveFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    sim::SimDriver& Sim() { return sim::TheSimDriver(); }
    // Inserts a record as a probe would (with a fresh unnamed event) and,
    // if asked, starts its watcher.
    DriveInfo& AddRecord(wchar_t letter, bool startWatcher);
    // Removes every record (tearing it down) outside DriveLock.
    void ClearTable();

    RecorderWindow m_main;
};

// Finds a visible top-level window of this process by exact title;
// className may be null.
HWND FindWindowByTitle(const wchar_t* title, const wchar_t* className = nullptr);
// Waits (pumping) for such a window to appear.
HWND WaitForWindow(const wchar_t* title, const wchar_t* className = nullptr,
                   DWORD timeoutMs = kWatchdogMs);
// The text of a message box's message (its static control 0xFFFF).
std::wstring MessageBoxText(HWND box);

// Saves what a window shows as a 24-bit BMP named `name` in the folder
// that VNK_SCREENSHOT_DIR names (else beside the test executable).
// Returns the path written, or an empty text.
std::wstring SaveWindowImage(HWND window, const std::wstring& name);

// A thread that answers the message box with this caption as a person
// would: it waits for it, records its text, and presses the button.
class MessageBoxAnswerer {
public:
    MessageBoxAnswerer(std::wstring caption, int button = IDOK);
    ~MessageBoxAnswerer();
    // Waits (pumping) until the box was answered; false on the watchdog.
    bool Wait(DWORD timeoutMs = kWatchdogMs);
    std::wstring Text() const;
    HWND Owner() const;

private:
    static DWORD WINAPI Run(LPVOID self);
    std::wstring m_caption;
    int m_button;
    HANDLE m_thread = nullptr;
    HANDLE m_stop = nullptr;
    mutable std::mutex m_mutex;
    std::wstring m_text;
    HWND m_owner = nullptr;
    bool m_answered = false;
};

}  // namespace vnk::test
