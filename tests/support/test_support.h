// Shared test helpers: pumping the test thread's messages until something
// happens, a top-level window that records what reaches it, and a fixture
// that gives each test a fresh simulated drive bay and an empty drive table.
#pragma once

#include <windows.h>

#include <dbt.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/status_window.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "fw/handles.h"
#include "fw/wnd.h"
#include "sim/sim_driver.h"
#include "tests/support/process.h"
#include "tests/support/pump.h"
#include "tests/support/window_search.h"

namespace vnk::test {

// The record of a CD-ROM interface's arrival or removal, as the system
// hands it to the status window with WM_DEVICECHANGE.
inline DEV_BROADCAST_DEVICEINTERFACE_W CdRomInterfaceRecord() {
    DEV_BROADCAST_DEVICEINTERFACE_W record{};
    record.dbcc_size = sizeof record;
    record.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    return record;
}

// A text's narrow form for test names and messages: ASCII as it is, any
// other unit as '?'.
std::string Ascii(std::wstring_view text);

// How many threads this process has now.
size_t ThreadsOfThisProcess();

DWORD ExitCodeOf(HANDLE thread);
// A handle of the test's own to an object (a drive's thread) that its owner
// may close meanwhile; null when it cannot be had.
vnk::fw::UniqueHandle CopyOfHandle(HANDLE handle);
// A handle of the test's own to a thread of this process found by its id
// (a drive's thread in DriveSnapshot), to wait on it or ask whether it
// runs; null when no thread has that id. Open it while the thread is known
// to run: once it has ended the system may give its id to another thread.
vnk::fw::UniqueHandle OpenThreadById(DWORD threadId);
// The login box that this drive's login thread shows now (found among the
// thread's windows); null when it shows none or the drive has no login
// thread.
HWND LoginBoxOf(wchar_t letter);

struct RecordedMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// A hidden top-level window that records chosen messages. For
// WM_DEVICECHANGE it copies the volume record and can refuse queries.
class RecorderWindow : public vnk::fw::Wnd {
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
    // A record's status, read under DriveLock; nothing when the drive has no record.
    std::optional<DWORD> Status(wchar_t letter = L'D');
    void SetStatus(wchar_t letter, DWORD status);
    // Whether the drive's record holds a watcher and a login thread of the
    // application's kind as their owner (auto-delete off), which no
    // snapshot shows: the record deletes them once their threads ended.
    bool OwnsItsThreads(wchar_t letter);
    // How many drive probes the simulated driver has seen since its calls
    // were last cleared: a probe asks the type of every letter, A: to Z:.
    size_t Probes() const;

    RecorderWindow m_main;
};


// The accounts that a kernel object's DACL lets in, as SID texts in the
// order of its entries; nothing when the DACL cannot be read or holds
// anything but allow entries.
std::optional<std::vector<std::wstring>> AllowedSidsOf(HANDLE object);
// A process's top-level window with this exact title (and class, unless
// null), visible or not; null if it has none.
HWND TopWindowOf(DWORD processId, const std::wstring& title, const wchar_t* className = nullptr);


// A drive fixture with the program's status window, started as the
// program starts it.
class StatusWindowFixture : public DriveFixture {
protected:
    void TearDown() override;

    // Starts the window and waits until it has probed the drives and
    // hidden itself behind its tray icon (a fatal failure otherwise).
    void Start();
    HWND Window() const { return m_status->m_hWnd; }
    void Command(UINT id) { ::SendMessageW(Window(), WM_COMMAND, id, 0); }

    std::unique_ptr<CVNKDStatus> m_status;
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
