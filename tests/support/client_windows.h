// The client's windows as another program sees them: for tests that start
// the client as a process and drive it from outside, as a person would.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/window_search.h"

namespace vnk::test {

// The status list's rows: drive, status text.
using Rows = ListViewRows;

// A control's text asked of its own thread: GetWindowText on another
// process's control gives nothing. Empty while that thread is busy.
std::wstring ControlText(HWND control);

// The process's dialog (class #32770) with this exact title.
HWND DialogOf(DWORD processId, const std::wstring& title);

std::vector<HWND> VisibleWindowsOf(DWORD processId);

// The hidden window behind the process's tray icon, if the icon is there.
HWND TrayWindowOf(DWORD processId);

// The rows of another process's list view: each item's text is fetched
// through a buffer in that process, since a pointer of ours means nothing
// there. The client lets no other program of the user into its memory:
// `process` is the handle its starter got at its creation.
Rows ListRows(HWND list, HANDLE process);

// A test that starts a build of the client as a process and drives it from
// outside: through its windows, its tray icon and its message boxes. The
// client is ended by Exit when the test ends, however it ends.
class ClientProcessTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Starts the program (Varnokd.exe, VarnokdSim.exe) and waits until it
    // has gone behind its tray icon with no window showing.
    void StartClient(const wchar_t* program);

    HWND StatusWindow() const;
    HWND TrayWindow() const { return TrayWindowOf(m_client->Id()); }
    bool StatusShown() const;

    // What the menu items do: the tray sends their commands to the window.
    void Command(UINT id) { ::PostMessageW(StatusWindow(), WM_COMMAND, id, 0); }

    // A double click on the icon, as the shell reports it; the window comes
    // up and reads every status afresh: the list is returned once it shows
    // `expected` (or the watchdog ran out).
    Rows ShowFromTray(const Rows& expected);
    void ExpectShownFromTray(const Rows& expected) { EXPECT_EQ(ShowFromTray(expected), expected); }
    // OK hides the window behind a fresh tray icon.
    void HideWithOk();

    // The drive's login box once it shows; null if it does not.
    HWND WaitForLoginBox(wchar_t letter);
    // Types the passphrase into the box, presses "Log in..." and returns
    // what the box then says, once it has closed.
    std::wstring LogIn(HWND box, const std::wstring& passphrase);

    // Waits for the client's message box with this caption, reads its text
    // and presses OK, as the person would.
    std::wstring AnswerMessageBox(const std::wstring& caption);

    std::optional<Process> m_client;
};

}  // namespace vnk::test
