// The simulator build of the client as a person meets it: started beside
// the simulator and driven from outside, through its windows, its tray icon
// and what the shell and the system send it, while the simulator tells what
// reached the drives. The status list is read out of the client's own list
// control, as the person would read it on the screen.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fw/handles.h"
#include "res/resource.h"
#include "sim/pipe_protocol.h"
#include "sim/sim_driver.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

constexpr wchar_t kStatusTitle[] = L"Varnok Status";
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kPassphrase[] = L"open sesame";

using Rows = std::vector<std::pair<std::wstring, std::wstring>>;

DWORD Ctl(const std::wstring& args) { return Process::Run(ProgramPath(L"VarnokSimCtl.exe"), args).exitCode; }

// --- Windows of another process -------------------------------------------

// A control's text asked of its own thread: GetWindowText on another
// process's control gives nothing. Empty while that thread is busy.
std::wstring ControlText(HWND control) {
    wchar_t text[256] = {};
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(control, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 1000,
                               &copied))
        return {};
    return text;
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

// Memory in another process, for messages whose parameters point at it.
class RemoteBuffer {
public:
    RemoteBuffer(HANDLE process, size_t bytes)
        : m_process(process),
          m_address(::VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
    ~RemoteBuffer() {
        if (m_address != nullptr) ::VirtualFreeEx(m_process, m_address, 0, MEM_RELEASE);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    BYTE* Address() const { return static_cast<BYTE*>(m_address); }
    bool Write(size_t offset, const void* data, size_t bytes) const {
        return ::WriteProcessMemory(m_process, Address() + offset, data, bytes, nullptr) != FALSE;
    }
    bool Read(size_t offset, void* data, size_t bytes) const {
        return ::ReadProcessMemory(m_process, Address() + offset, data, bytes, nullptr) != FALSE;
    }

private:
    HANDLE m_process;
    void* m_address;
};

// The rows of another process's list view: each item's text is fetched
// through a buffer in that process, since a pointer of ours means nothing
// there. The client lets no other program of the user into its memory:
// `process` is the handle its starter got at its creation.
Rows ListRows(HWND list, HANDLE process) {
    constexpr int kTextUnits = 256;
    const RemoteBuffer buffer(process, sizeof(LVITEMW) + kTextUnits * sizeof(wchar_t));
    if (buffer.Address() == nullptr) {
        ADD_FAILURE() << "cannot allocate in the client's process";
        return {};
    }
    const auto text = [&](int item, int column) {
        LVITEMW request{};
        request.iSubItem = column;
        request.cchTextMax = kTextUnits;
        request.pszText = reinterpret_cast<wchar_t*>(buffer.Address() + sizeof(LVITEMW));
        wchar_t units[kTextUnits] = {};
        DWORD_PTR copied = 0;
        if (buffer.Write(0, &request, sizeof request) &&
            ::SendMessageTimeoutW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(buffer.Address()),
                                  SMTO_ABORTIFHUNG, kWatchdogMs, &copied))
            buffer.Read(sizeof(LVITEMW), units, sizeof units - sizeof(wchar_t));
        return std::wstring(units);
    };
    Rows rows;
    const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) rows.emplace_back(text(i, 0), text(i, 1));
    return rows;
}

// --- The client and its simulator ------------------------------------------

// Each test runs a simulator on a pipe of its own and the client against
// it; both are gone when the test ends, however it ends.
class ClientTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_client && m_client->Running()) {
            if (HWND status = StatusWindow()) ::PostMessageW(status, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
            m_client->WaitForExit();
        }
        m_client.reset();
        if (m_sim && m_sim->Running()) {
            Ctl(L"quit");
            m_sim->WaitForExit();
        }
        m_sim.reset();
    }

    void StartSimulator(const wchar_t* drives) {
        static int run = 0;
        const std::wstring name =
            L"VarnokSimulator-e2e-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++run);
        // Inherited by every program the test starts.
        ASSERT_TRUE(::SetEnvironmentVariableW(L"VARNOK_SIM_PIPE", name.c_str()));
        const auto path = sim::SimulatorPipePath();
        ASSERT_TRUE(path);
        m_pipePath = *path;
        vnk::fw::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, sim::ReadyEventName(m_pipePath).c_str()));
        ASSERT_TRUE(ready);
        m_sim.emplace(ProgramPath(L"VarnokSim.exe"), std::wstring(L"--drives ") + drives);
        ASSERT_TRUE(m_sim->Started()) << "VarnokSim.exe did not start: " << m_sim->StartError();
        const HANDLE waits[2] = {ready.get(), m_sim->Handle()};
        ASSERT_EQ(::WaitForMultipleObjects(2, waits, FALSE, kWatchdogMs), WAIT_OBJECT_0)
            << "the simulator did not come up";
    }

    // Starts the client and waits until it has gone behind its tray icon.
    void StartClient() {
        m_client.emplace(ProgramPath(L"VarnokdSim.exe"), L"");
        ASSERT_TRUE(m_client->Started()) << "VarnokdSim.exe did not start: " << m_client->StartError();
        // The icon comes just before the window hides.
        ASSERT_TRUE(PumpUntil([this] {
            HWND status = StatusWindow();
            return status != nullptr && !::IsWindowVisible(status) && TrayWindow() != nullptr;
        })) << "the window did not go behind a tray icon";
        for (HWND hwnd : VisibleWindowsOf(m_client->Id()))
            ADD_FAILURE() << "a window shows at start: class " << ::testing::PrintToString(ClassOf(hwnd))
                          << ", title " << ::testing::PrintToString(TitleOf(hwnd));
    }

    HWND StatusWindow() const { return DialogOf(m_client->Id(), kStatusTitle); }
    HWND TrayWindow() const { return TrayWindowOf(m_client->Id()); }
    bool StatusShown() const {
        HWND status = StatusWindow();
        return status != nullptr && ::IsWindowVisible(status) && !::IsIconic(status);
    }

    // What the menu items do: the tray sends their commands to the window.
    void Command(UINT id) { ::PostMessageW(StatusWindow(), WM_COMMAND, id, 0); }

    // A double click on the icon, as the shell reports it; the window comes
    // up with a fresh list, which is returned.
    Rows ShowFromTray() {
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
        return ListRows(::GetDlgItem(StatusWindow(), IDC_DRIVELIST), m_client->Handle());
    }

    // OK hides the window behind a fresh tray icon.
    void HideWithOk() {
        ::PostMessageW(::GetDlgItem(StatusWindow(), IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(PumpUntil([this] { return !::IsWindowVisible(StatusWindow()) && TrayWindow() != nullptr; }))
            << "OK did not hide the window behind its tray icon";
    }

    HWND WaitForLoginBox(wchar_t letter) {
        const std::wstring title = std::wstring(L"Varnok on drive ") + letter + L": - Please log in";
        HWND box = nullptr;
        const bool shown = PumpUntil([&] {
            box = DialogOf(m_client->Id(), title);
            return box != nullptr && ::IsWindowVisible(box);
        });
        return shown ? box : nullptr;
    }

    // Types the passphrase into the box, presses "Log in..." and returns
    // what the box then says, once it has closed.
    std::wstring LogIn(HWND box, const std::wstring& passphrase) {
        HWND edit = ::GetDlgItem(box, IDC_PASSPHRASE);
        for (wchar_t unit : passphrase) ::PostMessageW(edit, WM_CHAR, unit, 1);
        ::PostMessageW(::GetDlgItem(box, IDC_LOGIN), BM_CLICK, 0, 0);
        HWND result = ::GetDlgItem(box, IDC_RESULT);
        std::wstring outcome;
        PumpUntil([&] { return !(outcome = ControlText(result)).empty(); });
        EXPECT_TRUE(PumpUntil([box] { return !::IsWindow(box); })) << "the login box stayed";
        return outcome;
    }

    std::vector<sim::DriveState> Drives() const {
        sim::Request request;
        request.op = sim::Op::List;
        sim::Response response;
        if (sim::Exchange(m_pipePath, request, response) != ERROR_SUCCESS) return {};
        return sim::DecodeDriveList(response.data).value_or(std::vector<sim::DriveState>{});
    }

    std::optional<sim::DriveState> Drive(wchar_t letter) const {
        for (const sim::DriveState& drive : Drives())
            if (drive.letter == letter) return drive;
        return std::nullopt;
    }

    // Polls the simulator until the drive satisfies `settled` (a thread of
    // the client may still be on its way); returns the drive as it is then.
    sim::DriveState DriveOnceSettled(wchar_t letter, const std::function<bool(const sim::DriveState&)>& settled) {
        std::optional<sim::DriveState> drive;
        PumpUntil([&] { return (drive = Drive(letter)) && settled(*drive); });
        if (!drive) {
            ADD_FAILURE() << "the simulator has no drive " << static_cast<char>(letter);
            return {};
        }
        return *drive;
    }

    static bool Ejected(const sim::DriveState& drive) { return drive.disc == sim::Disc::None; }

    void LogInTo(wchar_t letter) {
        ASSERT_EQ(Ctl(std::wstring(L"insert ") + letter + L" encrypted \"" + kPassphrase + L"\""), 0u);
        HWND box = WaitForLoginBox(letter);
        ASSERT_NE(box, nullptr) << "no login box for " << static_cast<char>(letter);
        ASSERT_EQ(LogIn(box, kPassphrase), L"Login OK!");
    }

    // Waits for the client's message box with this caption, reads its text
    // and presses OK, as the person would.
    std::wstring AnswerMessageBox(const std::wstring& caption) {
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

    std::wstring m_pipePath;
    std::optional<Process> m_sim;
    std::optional<Process> m_client;
};

TEST_F(ClientTest, TheRightPassphraseLogsInAndAWrongOneEjects) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());

    ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
    EXPECT_EQ(ShowFromTray(), (Rows{{L"D:", L"Logged in"}, {L"E:", L"No disc or disc error"}}));
    EXPECT_EQ(TrayWindow(), nullptr) << "the icon stayed while the window shows";
    const sim::DriveState d = *Drive(L'D');
    EXPECT_EQ(d.status, static_cast<DWORD>(LoggedIn));
    EXPECT_EQ(d.disc, sim::Disc::Encrypted);
    EXPECT_EQ(d.logins, 1u);
    EXPECT_EQ(d.dismounts, 1u);
    EXPECT_FALSE(d.volumeLocked) << "the volume was not unlocked";
    EXPECT_EQ(d.ejects, 0u);
    ASSERT_NO_FATAL_FAILURE(HideWithOk());

    ASSERT_EQ(Ctl(L"insert E encrypted \"" + std::wstring(kPassphrase) + L"\""), 0u);
    HWND box = WaitForLoginBox(L'E');
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(LogIn(box, L"not the passphrase"), L"Login failed!");
    const sim::DriveState e = DriveOnceSettled(L'E', Ejected);
    EXPECT_TRUE(Ejected(e)) << "the disc with the wrong passphrase stayed";
    EXPECT_EQ(e.ejects, 1u);
    EXPECT_EQ(e.dismounts, 0u);
    EXPECT_FALSE(e.volumeLocked);
    EXPECT_EQ(ShowFromTray(), (Rows{{L"D:", L"Logged in"}, {L"E:", L"No disc or disc error"}}));
}

TEST_F(ClientTest, EmergencyLockEjectsEveryLoggedInDiscAndExitWithdrawsEveryAnnouncement) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DEF"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
    ASSERT_NO_FATAL_FAILURE(LogInTo(L'E'));
    ASSERT_EQ(Ctl(L"insert F plain"), 0u);

    Command(ID_EMERGENCYLOCK);
    for (wchar_t letter : {L'D', L'E'}) {
        SCOPED_TRACE(static_cast<char>(letter));
        const sim::DriveState drive = DriveOnceSettled(letter, Ejected);
        EXPECT_TRUE(Ejected(drive));
        EXPECT_EQ(drive.ejects, 1u);
    }
    EXPECT_EQ(Drive(L'F')->disc, sim::Disc::Plain) << "a disc that was not logged in went";
    EXPECT_EQ(ShowFromTray(), (Rows{{L"D:", L"No disc or disc error"},
                                    {L"E:", L"No disc or disc error"},
                                    {L"F:", L"Not a Varnok CD"}}));
    ASSERT_NO_FATAL_FAILURE(HideWithOk());

    ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
    Command(ID_APP_EXIT_VARNOK);
    ASSERT_TRUE(m_client->WaitForExit()) << "the client did not end on Exit";
    for (const sim::DriveState& drive : Drives()) {
        SCOPED_TRACE(static_cast<char>(drive.letter));
        EXPECT_FALSE(drive.announced);
        EXPECT_EQ(drive.withdrawals, 1u);
    }
    const sim::DriveState d = *Drive(L'D');
    EXPECT_TRUE(Ejected(d)) << "Exit left a logged-in disc in";
    EXPECT_EQ(d.ejects, 2u);
    EXPECT_EQ(Drive(L'F')->disc, sim::Disc::Plain);
}

// Exit while a login box waits for its passphrase: the box's thread is
// ended before the program lets go of the drives, so its device handle
// (and with it the volume lock) is closed through a binding that still
// works, and nothing is left to run after the program's own end.
TEST_F(ClientTest, ExitWhileALoginBoxWaitsReleasesTheVolumeAndWithdraws) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(Ctl(L"insert D encrypted x"), 0u);
    ASSERT_NE(WaitForLoginBox(L'D'), nullptr);
    ASSERT_TRUE(Drive(L'D')->volumeLocked);

    Command(ID_APP_EXIT_VARNOK);
    ASSERT_TRUE(m_client->WaitForExit()) << "the client did not end on Exit";
    const sim::DriveState d = *Drive(L'D');
    EXPECT_FALSE(d.volumeLocked) << "the box's lock outlived the client";
    EXPECT_FALSE(d.announced);
    EXPECT_EQ(d.withdrawals, 1u);
    EXPECT_EQ(d.disc, sim::Disc::Encrypted) << "a disc that was not logged in went";
}

// A client that is ended by force (as the system ends it after the
// session's end) leaves a login box's volume lock behind only as long as a
// system would: its handles go with its process, and the next client's box
// can lock the volume again.
TEST_F(ClientTest, AClientEndedByForceLetsGoOfItsVolumeLock) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(Ctl(L"insert D encrypted x"), 0u);
    ASSERT_NE(WaitForLoginBox(L'D'), nullptr);
    ASSERT_TRUE(Drive(L'D')->volumeLocked);

    ASSERT_TRUE(::TerminateProcess(m_client->Handle(), 1));
    ASSERT_TRUE(m_client->WaitForExit());
    EXPECT_TRUE(PumpUntil([this] { return !Drive(L'D')->volumeLocked; })) << "the ended client's lock stayed";

    // The driver signals the waiting disc when the next client announces
    // itself.
    m_client.emplace(ProgramPath(L"VarnokdSim.exe"), L"");
    ASSERT_TRUE(m_client->Started()) << m_client->StartError();
    ASSERT_NE(WaitForLoginBox(L'D'), nullptr) << "the next client's box did not come";
    EXPECT_TRUE(Drive(L'D')->volumeLocked);
}

// Exit chosen while a probe's message box is up (the probe of a drive's
// arrival, inside the simulator's broadcast) ends the client once the box is
// answered, though nothing else comes to it.
TEST_F(ClientTest, ExitChosenWhileAProbesBoxIsUpEndsTheClientOnceTheBoxIsAnswered) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"BQ"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(Ctl(L"fail B open 1 forever"), 0u);

    // The arrival's broadcast waits for the client, which shows its box.
    Process add(ProgramPath(L"VarnokSimCtl.exe"), L"add E");
    ASSERT_TRUE(add.Started()) << add.StartError();
    HWND box = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        return (box = DialogOf(m_client->Id(), L"CD/DVD drive not accessible")) != nullptr && ::IsWindowVisible(box);
    })) << "no box from the probe";
    Command(ID_APP_EXIT_VARNOK);
    // The box is answered late: the broadcast has passed the client over
    // by then (after 5 s) and nothing waits for its answer.
    ASSERT_TRUE(add.WaitForExit());
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_EQ(Ctl(L"fail B open 1 0"), 0u);
    EXPECT_TRUE(m_client->WaitForExit()) << "the client stayed after Exit";
}

TEST_F(ClientTest, ASecondInstanceBringsTheWindowUpAndEnds) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());

    Process second(ProgramPath(L"VarnokdSim.exe"), L"");
    ASSERT_TRUE(second.Started()) << second.StartError();
    ASSERT_TRUE(second.WaitForExit()) << "the second instance stayed";
    ASSERT_TRUE(PumpUntil([this] { return StatusShown(); })) << "the running window did not come up";
    EXPECT_EQ(TrayWindow(), nullptr);
    EXPECT_EQ(ListRows(::GetDlgItem(StatusWindow(), IDC_DRIVELIST), m_client->Handle()),
              (Rows{{L"D:", L"No disc or disc error"}, {L"E:", L"No disc or disc error"}}));
    EXPECT_TRUE(m_client->Running());
}

TEST_F(ClientTest, DrivesPluggedInAndOutWhileRunningAreFollowed) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());

    // The command returns once every window has answered the broadcast,
    // the client's re-probe included.
    ASSERT_EQ(Ctl(L"add F"), 0u);
    EXPECT_TRUE(Drive(L'F')->announced) << "the new drive was not announced to";
    EXPECT_EQ(ShowFromTray(), (Rows{{L"D:", L"No disc or disc error"},
                                    {L"E:", L"No disc or disc error"},
                                    {L"F:", L"No disc or disc error"}}));
    ASSERT_NO_FATAL_FAILURE(HideWithOk());

    // The new drive is watched: its disc brings its login box, whose
    // "Eject disc" takes the disc out.
    ASSERT_EQ(Ctl(L"insert F encrypted x"), 0u);
    HWND box = WaitForLoginBox(L'F');
    ASSERT_NE(box, nullptr) << "no login box for the new drive";
    ::PostMessageW(::GetDlgItem(box, IDC_EJECT), BM_CLICK, 0, 0);
    EXPECT_TRUE(PumpUntil([box] { return !::IsWindow(box); }));
    EXPECT_TRUE(Ejected(DriveOnceSettled(L'F', Ejected)));

    ASSERT_EQ(Ctl(L"remove F"), 0u);
    EXPECT_EQ(ShowFromTray(), (Rows{{L"D:", L"No disc or disc error"}, {L"E:", L"No disc or disc error"}}));
}

// An eject that fails is said, and the drive stays logged in for the next
// Emergency Lock to try again.
TEST_F(ClientTest, EmergencyLockSaysWhichDiscItCouldNotEjectAndTriesItAgain) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
    ASSERT_EQ(Ctl(L"fail D eject 5 forever"), 0u);

    Command(ID_EMERGENCYLOCK);
    const std::wstring text = AnswerMessageBox(L"Emergency Lock incomplete");
    EXPECT_NE(text.find(L"Drive D: "), std::wstring::npos) << ::testing::PrintToString(text);
    EXPECT_EQ(text.find(L"Drive E:"), std::wstring::npos) << ::testing::PrintToString(text);
    EXPECT_EQ(Drive(L'D')->status, static_cast<DWORD>(LoggedIn));
    EXPECT_EQ(ShowFromTray(), (Rows{{L"D:", L"Logged in"}, {L"E:", L"No disc or disc error"}}));
    ASSERT_NO_FATAL_FAILURE(HideWithOk());

    ASSERT_EQ(Ctl(L"fail D eject 5 0"), 0u);
    Command(ID_EMERGENCYLOCK);
    const sim::DriveState d = DriveOnceSettled(L'D', Ejected);
    EXPECT_TRUE(Ejected(d)) << "the second Emergency Lock did not eject";
    EXPECT_EQ(d.ejects, 1u);
}

// A login box that waits for its passphrase when Emergency Lock comes goes
// with its disc; the next disc logs in as usual.
TEST_F(ClientTest, EmergencyLockClosesAWaitingLoginBoxWithItsDisc) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(Ctl(L"insert D encrypted \"" + std::wstring(kPassphrase) + L"\""), 0u);
    HWND box = WaitForLoginBox(L'D');
    ASSERT_NE(box, nullptr);

    Command(ID_EMERGENCYLOCK);
    EXPECT_TRUE(PumpUntil([box] { return !::IsWindow(box); })) << "the login box stayed";
    const sim::DriveState d = DriveOnceSettled(L'D', Ejected);
    EXPECT_TRUE(Ejected(d));
    EXPECT_EQ(d.logins, 0u);

    ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
    EXPECT_EQ(Drive(L'D')->status, static_cast<DWORD>(LoggedIn));
}

// A logged-in drive that is busy while the drives are probed again is not
// forgotten: it stays listed and Emergency Lock still ejects it.
TEST_F(ClientTest, ABusyLoggedInDriveSurvivesAReprobeAndIsStillLocked) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
    ASSERT_EQ(Ctl(L"fail D open 32 forever"), 0u);

    // The removal's broadcast waits for the client, which shows its box.
    Process remove(ProgramPath(L"VarnokSimCtl.exe"), L"remove E");
    ASSERT_TRUE(remove.Started()) << remove.StartError();
    const std::wstring text = AnswerMessageBox(L"CD/DVD drive not accessible");
    EXPECT_NE(text.find(L"\\\\.\\D:"), std::wstring::npos) << ::testing::PrintToString(text);
    ASSERT_TRUE(remove.WaitForExit());
    ASSERT_EQ(Ctl(L"fail D open 32 0"), 0u);

    EXPECT_EQ(ShowFromTray(), (Rows{{L"D:", L"Logged in"}}));
    ASSERT_NO_FATAL_FAILURE(HideWithOk());
    Command(ID_EMERGENCYLOCK);
    EXPECT_TRUE(Ejected(DriveOnceSettled(L'D', Ejected))) << "the kept drive was not locked";
}

// Wine's own end of the session: wineboot asks every program with a window
// whether the session may end and then tells them that it does.
TEST_F(ClientTest, TheEndOfTheSessionEjectsLoggedInDiscs) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
    ASSERT_EQ(Ctl(L"insert E plain"), 0u);

    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_EQ(Process::Run(std::wstring(system) + L"\\wineboot.exe", L"--end-session").exitCode, 0u);

    const sim::DriveState d = DriveOnceSettled(L'D', Ejected);
    EXPECT_TRUE(Ejected(d)) << "the logged-in disc stayed at the session's end";
    EXPECT_EQ(d.ejects, 1u);
    EXPECT_EQ(Drive(L'E')->disc, sim::Disc::Plain);
    // The session is over for the program too.
    EXPECT_TRUE(m_client->WaitForExit());
}

}  // namespace
}  // namespace vnk::test
