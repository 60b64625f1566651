#include "tests/support/client_windows.h"

#include <commctrl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "res/resource.h"
#include "tests/support/test_support.h"

namespace vnk::test {

namespace {

constexpr wchar_t kDialogClass[] = L"#32770";

}  // namespace

// A control's text asked of its own thread: GetWindowText on another
// process's control gives nothing. Empty while that thread is busy.
std::wstring ControlText(HWND control) {
    return ReadControlText(control, 1000).value_or(L"");
}

HWND DialogOf(DWORD processId, const std::wstring& title) { return TopWindowOf(processId, title, kDialogClass); }

std::vector<HWND> VisibleWindowsOf(DWORD processId) {
    std::vector<HWND> visible;
    for (HWND hwnd : TopWindowsOf(processId))
        if (::IsWindowVisible(hwnd)) visible.push_back(hwnd);
    return visible;
}

// The hidden window behind the process's tray icon, if the icon is there.
HWND TrayWindowOf(DWORD processId) {
    for (HWND hwnd : TopWindowsOf(processId))
        if (ClassOf(hwnd) == L"fw.Window" && IconInShell(hwnd, IDR_TRAYMENU)) return hwnd;
    return nullptr;
}

// The rows of the client's list view (read through the handle its starter
// got: the client lets no other program of the user into its memory).
Rows ListRows(HWND list, HANDLE process) {
    std::optional<Rows> rows = ReadListView(list, process, kWatchdogMs);
    if (!rows) ADD_FAILURE() << "cannot allocate in the client's process";
    return rows.value_or(Rows{});
}

void ClientProcessTest::TearDown() {
    if (m_client && m_client->Running()) {
        if (HWND status = StatusWindow()) ::PostMessageW(status, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
        m_client->WaitForExit();
    }
    m_client.reset();
}

void ClientProcessTest::StartClient(const wchar_t* program) {
    m_client.emplace(ProgramPath(program), L"");
    ASSERT_TRUE(m_client->Started()) << Ascii(program) << " did not start: " << m_client->StartError();
    // The icon comes just before the window hides.
    ASSERT_TRUE(PumpUntil([this] {
        HWND status = StatusWindow();
        return status != nullptr && !::IsWindowVisible(status) && TrayWindow() != nullptr;
    })) << "the window did not go behind a tray icon";
    for (HWND hwnd : VisibleWindowsOf(m_client->Id()))
        ADD_FAILURE() << "a window shows at start: class " << ::testing::PrintToString(ClassOf(hwnd))
                      << ", title " << ::testing::PrintToString(TitleOf(hwnd));
}

HWND ClientProcessTest::StatusWindow() const { return DialogOf(m_client->Id(), L"Varnok Status"); }

bool ClientProcessTest::StatusShown() const {
    HWND status = StatusWindow();
    return status != nullptr && ::IsWindowVisible(status) && !::IsIconic(status);
}

Rows ClientProcessTest::ShowFromTray(const Rows& expected) {
    static const UINT trayMessage = ::RegisterWindowMessageW(L"Varnok Client tray notification");
    HWND tray = TrayWindow();
    if (tray == nullptr) {
        ADD_FAILURE() << "no tray icon to double-click";
        return {};
    }
    ::PostMessageW(tray, trayMessage, IDR_TRAYMENU, WM_LBUTTONDBLCLK);
    if (!PumpUntil([this] { return StatusShown(); })) {
        ADD_FAILURE() << "the status window did not come up";
        return {};
    }
    // The window reads every status afresh on its workers: the list is
    // taken once it shows `expected` (or the watchdog ran out).
    const auto rows = [this] { return ListRows(::GetDlgItem(StatusWindow(), IDC_DRIVELIST), m_client->Handle()); };
    PumpUntil([&] { return rows() == expected; });
    return rows();
}

void ClientProcessTest::HideWithOk() {
    ::PostMessageW(::GetDlgItem(StatusWindow(), IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([this] { return !::IsWindowVisible(StatusWindow()) && TrayWindow() != nullptr; }))
        << "OK did not hide the window behind its tray icon";
}

HWND ClientProcessTest::WaitForLoginBox(wchar_t letter) {
    const std::wstring title = std::wstring(L"Varnok on drive ") + letter + L": - Please log in";
    HWND box = nullptr;
    const bool shown = PumpUntil([&] {
        box = DialogOf(m_client->Id(), title);
        return box != nullptr && ::IsWindowVisible(box);
    });
    return shown ? box : nullptr;
}

std::wstring ClientProcessTest::LogIn(HWND box, const std::wstring& passphrase) {
    HWND edit = ::GetDlgItem(box, IDC_PASSPHRASE);
    for (wchar_t unit : passphrase) ::PostMessageW(edit, WM_CHAR, unit, 1);
    ::PostMessageW(::GetDlgItem(box, IDC_LOGIN), BM_CLICK, 0, 0);
    HWND result = ::GetDlgItem(box, IDC_RESULT);
    std::wstring outcome;
    PumpUntil([&] { return !(outcome = ControlText(result)).empty(); });
    EXPECT_TRUE(PumpUntil([box] { return !::IsWindow(box); })) << "the login box stayed";
    return outcome;
}

std::wstring ClientProcessTest::AnswerMessageBox(const std::wstring& caption) {
    HWND box = nullptr;
    if (!PumpUntil([&] { return (box = DialogOf(m_client->Id(), caption)) != nullptr && ::IsWindowVisible(box); })) {
        ADD_FAILURE() << "no message box " << ::testing::PrintToString(caption);
        return {};
    }
    const std::wstring text = ControlText(::GetDlgItem(box, 0xFFFF));
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(PumpUntil([box] { return !::IsWindow(box); })) << "the message box stayed";
    return text;
}

}  // namespace vnk::test
