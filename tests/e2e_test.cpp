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
#include <cstdio>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fw/handles.h"
#include "res/resource.h"
#include "sim/pipe_client.h"
#include "sim/sim_driver.h"
#include "tests/support/client_windows.h"
#include "tests/support/simulator_calls.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

constexpr wchar_t kPassphrase[] = L"open sesame";

DWORD Ctl(const std::wstring& args) { return Process::Run(ProgramPath(L"VarnokSimCtl.exe"), args).exitCode; }

// Another program of the user, doing to the client what any program could.
DWORD Intruder(const std::wstring& args) { return Process::Run(ProgramPath(L"VarnokIntruder.exe"), args).exitCode; }

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM windows) {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(hwnd);
    return TRUE;
}

// Every window of a process, children included, with the object of the
// framework each is bound to (its window property, which any program can
// read).
std::vector<std::pair<HWND, HANDLE>> BoundObjects(DWORD processId) {
    std::vector<HWND> windows;
    for (HWND top : TopWindowsOf(processId)) {
        windows.push_back(top);
        ::EnumChildWindows(top, &CollectChild, reinterpret_cast<LPARAM>(&windows));
    }
    std::vector<std::pair<HWND, HANDLE>> bound;
    for (HWND hwnd : windows) bound.emplace_back(hwnd, ::GetPropW(hwnd, L"fw.Wnd"));
    return bound;
}

// --- The client and its simulator ------------------------------------------

// Each test runs a simulator on a pipe of its own and the client against
// it; both are gone when the test ends, however it ends.
class ClientTest : public ClientProcessTest {
protected:
    void TearDown() override {
        ClientProcessTest::TearDown();
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

    std::vector<sim::DriveState> Drives() const {
        return SimulatorDrives(m_pipePath).value_or(std::vector<sim::DriveState>{});
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

    // Starts the simulator build of the client.
    void StartClient() { ClientProcessTest::StartClient(L"VarnokdSim.exe"); }

    std::wstring m_pipePath;
    std::optional<Process> m_sim;
};

TEST_F(ClientTest, TheRightPassphraseLogsInAndAWrongOneEjects) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());

    ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
    ExpectShownFromTray(Rows{{L"D:", L"Logged in"}, {L"E:", L"No disc or disc error"}});
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
    ExpectShownFromTray(Rows{{L"D:", L"Logged in"}, {L"E:", L"No disc or disc error"}});
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
    ExpectShownFromTray(Rows{{L"D:", L"No disc or disc error"},
                                    {L"E:", L"No disc or disc error"},
                                    {L"F:", L"Not a Varnok CD"}});
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

// Exit that cannot eject a logged-in disc: the box naming it comes only
// once the exit is done (status window gone, announcements withdrawn, the
// instance marker closed, so a new instance could start), and it closes
// by itself; nobody has to answer it for the process to end. An
// installer's close request (WM_CLOSE) ends the same way with no box.
TEST_F(ClientTest, TheExitBoxComesAfterTheExitAndNeverHoldsTheProcess) {
    for (const bool installer : {false, true}) {
        SCOPED_TRACE(installer ? "installer's close" : "Exit");
        ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D"));
        ASSERT_NO_FATAL_FAILURE(StartClient());
        ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
        ASSERT_EQ(Ctl(L"fail D eject 5 forever"), 0u);
        const ULONGLONG asked = ::GetTickCount64();
        if (installer) {
            ::PostMessageW(StatusWindow(), WM_CLOSE, 0, 0);
            ASSERT_TRUE(m_client->WaitForExit()) << "the client stayed after the installer's request";
            EXPECT_EQ(DialogOf(m_client->Id(), L"Exit incomplete"), nullptr);
        } else {
            Command(ID_APP_EXIT_VARNOK);
            HWND box = nullptr;
            ASSERT_TRUE(PumpUntil([&] { return (box = DialogOf(m_client->Id(), L"Exit incomplete")) != nullptr; }))
                << "no box named the drive that kept its disc";
            EXPECT_NE(ControlText(::GetDlgItem(box, 0xFFFF)).find(L"Drive D:"), std::wstring::npos);
            EXPECT_EQ(StatusWindow(), nullptr) << "the box came before the status window went";
            const vnk::fw::UniqueHandle marker(
                ::OpenFileMappingW(FILE_MAP_READ, FALSE, L"{DCDF2ADB-AC4B-4b2d-889C-0C84AD8EA74F}"));
            EXPECT_FALSE(marker) << "the box came before the instance marker was closed";
            EXPECT_FALSE(Drive(L'D')->announced) << "the box came before the withdrawal";
            ASSERT_TRUE(m_client->WaitForExit(kWatchdogMs + 30000)) << "the box held the process";
            EXPECT_GE(::GetTickCount64() - asked, 30000u - 1000u) << "the box closed before its time";
        }
        EXPECT_EQ(Drive(L'D')->status, static_cast<DWORD>(LoggedIn)) << "the disc was ejected after all";
        ASSERT_EQ(Ctl(L"quit"), 0u);
        m_sim->WaitForExit();
        m_sim.reset();
        m_client.reset();
    }
}

// A second instance started while the first is on its way out (its
// window gone, a drive's eject still pending, the marker still held) gets
// no answer from the first's window: it ends, and two clients never drive
// the same drives.
TEST_F(ClientTest, ASecondInstanceEndsWhileTheFirstIsExiting) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
    ASSERT_EQ(Ctl(L"stall D eject"), 0u);
    Command(ID_APP_EXIT_VARNOK);
    ASSERT_TRUE(PumpUntil([&] { return StatusWindow() == nullptr; }));
    ASSERT_TRUE(m_client->Running());

    Process second(ProgramPath(L"VarnokdSim.exe"), L"");
    ASSERT_TRUE(second.Started()) << second.StartError();
    const bool ended = second.WaitForExit();
    EXPECT_TRUE(ended) << "a second instance ran beside the exiting first";
    EXPECT_EQ(DialogOf(second.Id(), L"Varnok Status"), nullptr);
    if (!ended) ::TerminateProcess(second.Handle(), 1);
    ASSERT_EQ(Ctl(L"release D"), 0u);
    // The first's box (the eject did not answer in time) closes by itself.
    EXPECT_TRUE(m_client->WaitForExit(kWatchdogMs + 30000));
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
    // The icon goes once the window shows.
    EXPECT_TRUE(PumpUntil([this] { return TrayWindow() == nullptr; })) << "the icon stayed while the window shows";
    EXPECT_EQ(ListRows(::GetDlgItem(StatusWindow(), IDC_DRIVELIST), m_client->Handle()),
              (Rows{{L"D:", L"No disc or disc error"}, {L"E:", L"No disc or disc error"}}));
    EXPECT_TRUE(m_client->Running());
}

TEST_F(ClientTest, DrivesPluggedInAndOutWhileRunningAreFollowed) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());

    // The command returns once every window has answered the broadcast;
    // the client's re-probe runs on a worker.
    ASSERT_EQ(Ctl(L"add F"), 0u);
    EXPECT_TRUE(PumpUntil([this] { return Drive(L'F')->announced; })) << "the new drive was not announced to";
    ExpectShownFromTray(Rows{{L"D:", L"No disc or disc error"},
                                    {L"E:", L"No disc or disc error"},
                                    {L"F:", L"No disc or disc error"}});
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
    ExpectShownFromTray(Rows{{L"D:", L"No disc or disc error"}, {L"E:", L"No disc or disc error"}});
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
    ExpectShownFromTray(Rows{{L"D:", L"Logged in"}, {L"E:", L"No disc or disc error"}});
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

    ExpectShownFromTray(Rows{{L"D:", L"Logged in"}});
    ASSERT_NO_FATAL_FAILURE(HideWithOk());
    Command(ID_EMERGENCYLOCK);
    EXPECT_TRUE(Ejected(DriveOnceSettled(L'D', Ejected))) << "the kept drive was not locked";
}

// A disc logged in on D: whose eject fails, whose drive stops answering or
// seems to go, or whose announcement is refused, as another program on the
// desktop or the drive itself can bring about: the client never calls it
// locked nor forgets it, and every Emergency Lock names it. A notice that
// no watcher of the client sent shows no login box.
TEST_F(ClientTest, ALoggedInDiscIsNeverCalledLockedNorForgotten) {
    struct Case {
        const char* name;
        std::function<void()> act;
        bool removesE;
    };
    const auto removeE = [this](const wchar_t* box) {
        // The removal's broadcast waits for the client, which may show a box.
        Process remove(ProgramPath(L"VarnokSimCtl.exe"), L"remove E");
        ASSERT_TRUE(remove.Started()) << remove.StartError();
        if (box != nullptr) AnswerMessageBox(box);
        ASSERT_TRUE(remove.WaitForExit());
    };
    const Case cases[] = {
        {"the box's Eject fails, then opens fail",
         [this] {
             ASSERT_EQ(Ctl(L"signal D"), 0u);
             HWND box = WaitForLoginBox(L'D');
             ASSERT_NE(box, nullptr);
             ASSERT_EQ(Ctl(L"fail D eject 1117 1"), 0u);
             ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDC_EJECT, BN_CLICKED), 0);
             ASSERT_TRUE(PumpUntil([box] { return !::IsWindow(box); }));
             ASSERT_EQ(Ctl(L"fail D open 32 forever"), 0u);
         },
         false},
        {"a forged notice, then opens fail",
         [this] {
             ::PostMessageW(StatusWindow(), ::RegisterWindowMessageW(L"UWM_VARNOKD_EVENT_TRIGGERED"), L'D', 0);
             PumpFor(500);
             EXPECT_EQ(DialogOf(m_client->Id(), L"Varnok on drive D: - Please log in"), nullptr)
                 << "a login box came for a notice no watcher sent";
             ASSERT_EQ(Ctl(L"fail D open 32 forever"), 0u);
         },
         false},
        {"opens answer not found, then a removal",
         [this, removeE] {
             ASSERT_EQ(Ctl(L"fail D open 2 forever"), 0u);
             removeE(L"CD/DVD drive not accessible");
         },
         true},
        {"the announcement is refused and its eject fails",
         [this, removeE] {
             ASSERT_EQ(Ctl(L"fail D announce 5 forever"), 0u);
             ASSERT_EQ(Ctl(L"fail D eject 1117 forever"), 0u);
             removeE(L"Warning: Announce failed");
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
        ASSERT_NO_FATAL_FAILURE(StartClient());
        ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
        ASSERT_NO_FATAL_FAILURE(c.act());

        Command(ID_EMERGENCYLOCK);
        const std::wstring text = AnswerMessageBox(L"Emergency Lock incomplete");
        EXPECT_NE(text.find(L"Drive D: "), std::wstring::npos) << ::testing::PrintToString(text);
        EXPECT_EQ(Drive(L'D')->status, static_cast<DWORD>(LoggedIn));
        Rows expected{{L"D:", L"Logged in"}};
        if (!c.removesE) expected.emplace_back(L"E:", L"No disc or disc error");
        ExpectShownFromTray(expected);
        ASSERT_NO_FATAL_FAILURE(HideWithOk());
        TearDown();
    }
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


// Another program sends every window of the client, its controls included
// and a login box among them, the messages of a window's creation with a
// pointer of its own: nothing is bound to it, nothing faults, and the
// client goes on locking and logging in.
TEST_F(ClientTest, CreationMessagesFromAnotherProgramBindNothing) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(Ctl(L"insert D encrypted \"" + std::wstring(kPassphrase) + L"\""), 0u);
    HWND box = WaitForLoginBox(L'D');
    ASSERT_NE(box, nullptr);
    const auto before = BoundObjects(m_client->Id());
    size_t objects = 0;
    for (const auto& [hwnd, object] : before) objects += object != nullptr ? 1 : 0;
    ASSERT_GE(objects, 4u) << "status window, tray window, login box and passphrase field";

    ASSERT_EQ(Intruder(L"windows " + std::to_wstring(m_client->Id())), 0u);
    ASSERT_TRUE(m_client->Running());
    for (const auto& [hwnd, object] : before) {
        SCOPED_TRACE(Ascii(ClassOf(hwnd)) + " " + Ascii(TitleOf(hwnd)));
        EXPECT_EQ(::GetPropW(hwnd, L"fw.Wnd"), object);
    }
    EXPECT_NE(StatusWindow(), nullptr) << "the status window lost its title";
    EXPECT_TRUE(Drive(L'D')->volumeLocked);

    // The system's own controls took the forged creation's text (a label
    // now reads "forged"): the login is judged by what reached the drive.
    HWND edit = ::GetDlgItem(box, IDC_PASSPHRASE);
    for (const wchar_t* unit = kPassphrase; *unit != L'\0'; ++unit) ::PostMessageW(edit, WM_CHAR, *unit, 1);
    ::PostMessageW(::GetDlgItem(box, IDC_LOGIN), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([box] { return !::IsWindow(box); })) << "the login box stayed";
    EXPECT_EQ(Drive(L'D')->status, static_cast<DWORD>(LoggedIn));
    Command(ID_EMERGENCYLOCK);
    const sim::DriveState d = DriveOnceSettled(L'D', Ejected);
    EXPECT_TRUE(Ejected(d)) << "Emergency Lock did not eject after the forged messages";
}

// Another program posts the client's own thread-message numbers, and
// WM_QUIT, to every thread of the client: no thread ends or acts on them.
TEST_F(ClientTest, ThreadMessagesFromAnotherProgramChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(Ctl(L"insert D plain"), 0u);
    const std::wstring pid = std::to_wstring(m_client->Id());
    struct Forged {
        const wchar_t* what;
        UINT message;
        WPARAM wParam;
    };
    for (const Forged& f : {Forged{L"WM_APP (stop, show)", WM_APP, 0},
                            Forged{L"WM_APP + 1 (eject, close)", WM_APP + 1, 0},
                            Forged{L"WM_LOGIN_SHOW for E:", WM_APP, L'E'},
                            Forged{L"WM_LOGIN_SHOW for D:", WM_APP, L'D'},
                            Forged{L"WM_QUIT", WM_QUIT, 0}}) {
        SCOPED_TRACE(Ascii(f.what));
        ASSERT_EQ(Intruder(L"post-threads " + pid + L" " + std::to_wstring(f.message) + L" " +
                           std::to_wstring(f.wParam)),
                  0u);
    }
    // Give the threads the time to act on them, as they would have.
    PumpFor(500);
    ASSERT_TRUE(m_client->Running());
    EXPECT_EQ(VisibleWindowsOf(m_client->Id()), std::vector<HWND>{}) << "a forged request opened a window";
    EXPECT_EQ(Drive(L'D')->disc, sim::Disc::Plain) << "a forged request ejected a disc";
    EXPECT_EQ(Drive(L'D')->ejects, 0u);

    // Every drive is still watched, and its login thread still shows its box.
    ASSERT_EQ(Ctl(L"eject D"), 0u);
    for (wchar_t letter : {L'D', L'E'}) {
        SCOPED_TRACE(static_cast<char>(letter));
        ASSERT_NO_FATAL_FAILURE(LogInTo(letter));
    }
}

// --- Another program's window messages: the intruder table -----------------

// A window message another program can send or post to one of the client's
// windows, and the reaction the client owes it.
enum class Target { StatusWindow, TrayWindow, LoginBox, PassphraseField, ResultLabel };
struct WindowIntrusion {
    const char* what;
    Target target;
    bool post;  // posted (else sent)
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool systemMayRefuse = false;  // Wine does not carry it to another process
};

// An address in no process of ours: a pointer the client must never read.
constexpr LPARAM kForeignPointer = 0x41414141;

std::wstring Hex(UINT_PTR value) {
    wchar_t text[24];
    std::swprintf(text, 24, L"0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Each row, sent or posted from VarnokIntruder.exe while a login box waits
// for its passphrase, must leave everything as it was: the process runs,
// every window keeps its object, nothing new shows, the drive stays locked
// by the box with its disc in, and the status list does not change. Then
// the box still hides and takes what is typed, and logs in; Exit still ends
// the client. Destruction messages that are not the client's own, and a
// pointer another program hands over, are dropped; the private notices are
// requests the window counted itself, and these were never made.
TEST_F(ClientTest, WindowMessagesFromAnotherProgramChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(Ctl(L"insert D encrypted \"" + std::wstring(kPassphrase) + L"\""), 0u);
    HWND box = WaitForLoginBox(L'D');
    ASSERT_NE(box, nullptr);
    const UINT updateStatus = ::RegisterWindowMessageW(L"UWM_VARNOKD_UPDATE_STATUS");
    const WindowIntrusion rows[] = {
        {"WM_NCDESTROY sent to the status window", Target::StatusWindow, false, WM_NCDESTROY, 0, 0},
        {"WM_NCDESTROY posted to the status window", Target::StatusWindow, true, WM_NCDESTROY, 0, 0},
        {"WM_DESTROY sent to the status window", Target::StatusWindow, false, WM_DESTROY, 0, 0},
        {"WM_DPICHANGED sent to the status window", Target::StatusWindow, false, WM_DPICHANGED, MAKEWPARAM(144, 144),
         kForeignPointer},
        {"WM_DPICHANGED posted to the status window", Target::StatusWindow, true, WM_DPICHANGED,
         MAKEWPARAM(144, 144), kForeignPointer},
        {"WM_NOTIFY sent to the status window", Target::StatusWindow, false, WM_NOTIFY, 1008, kForeignPointer, true},
        {"WM_PROBE_DONE 0 posted to the status window", Target::StatusWindow, true, WM_APP + 0x21, 0, 0},
        {"WM_DRIVE_RESULTS posted to the status window", Target::StatusWindow, true, WM_APP + 0x20, 0, 0},
        {"UWM_VARNOKD_UPDATE_STATUS posted to the status window", Target::StatusWindow, true, updateStatus, 0, 0},
        {"WM_NCDESTROY sent to the tray window", Target::TrayWindow, false, WM_NCDESTROY, 0, 0},
        {"WM_NCDESTROY posted to the login box", Target::LoginBox, true, WM_NCDESTROY, 0, 0},
        {"WM_NCDESTROY sent to the login box", Target::LoginBox, false, WM_NCDESTROY, 0, 0},
        {"WM_DESTROY posted to the login box", Target::LoginBox, true, WM_DESTROY, 0, 0},
        {"WM_DPICHANGED sent to the login box", Target::LoginBox, false, WM_DPICHANGED, MAKEWPARAM(144, 144),
         kForeignPointer},
        {"WM_NCDESTROY posted to the passphrase field", Target::PassphraseField, true, WM_NCDESTROY, 0, 0},
        {"WM_NCDESTROY sent to the passphrase field", Target::PassphraseField, false, WM_NCDESTROY, 0, 0},
        {"WM_NCDESTROY sent to the result label", Target::ResultLabel, false, WM_NCDESTROY, 0, 0},
    };
    const auto target = [&](Target t) -> HWND {
        switch (t) {
            case Target::StatusWindow: return StatusWindow();
            case Target::TrayWindow: return TrayWindow();
            case Target::LoginBox: return box;
            case Target::PassphraseField: return ::GetDlgItem(box, IDC_PASSPHRASE);
            case Target::ResultLabel: return ::GetDlgItem(box, IDC_RESULT);
        }
        return nullptr;
    };
    const HWND list = ::GetDlgItem(StatusWindow(), IDC_DRIVELIST);
    const Rows listed = ListRows(list, m_client->Handle());
    const auto bound = BoundObjects(m_client->Id());
    const std::vector<HWND> visible = VisibleWindowsOf(m_client->Id());
    for (const WindowIntrusion& row : rows) {
        SCOPED_TRACE(row.what);
        const HWND window = target(row.target);
        ASSERT_NE(window, nullptr);
        const DWORD delivered =
            Intruder(std::wstring(row.post ? L"post " : L"send ") + Hex(reinterpret_cast<UINT_PTR>(window)) + L" " +
                     std::to_wstring(row.message) + L" " + std::to_wstring(row.wParam) + L" " +
                     Hex(static_cast<UINT_PTR>(row.lParam)));
        if (!row.systemMayRefuse) {
            ASSERT_EQ(delivered, 0u);
        }
        // A posted message is handled by the time a sent one comes back.
        DWORD_PTR ignored = 0;
        ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kWatchdogMs, &ignored);
        ASSERT_TRUE(m_client->Running()) << "the client ended";
        EXPECT_EQ(BoundObjects(m_client->Id()), bound) << "a window lost or changed its object";
        EXPECT_EQ(VisibleWindowsOf(m_client->Id()), visible) << "a window came or went";
        EXPECT_EQ(ListRows(list, m_client->Handle()), listed) << "the status list changed";
        const sim::DriveState d = *Drive(L'D');
        EXPECT_TRUE(d.volumeLocked) << "the login box let go of the volume";
        EXPECT_EQ(d.disc, sim::Disc::Encrypted);
    }

    // The field still keeps what is typed to itself, and the box logs in.
    HWND edit = ::GetDlgItem(box, IDC_PASSPHRASE);
    for (const wchar_t* unit = kPassphrase; *unit != L'\0'; ++unit) ::PostMessageW(edit, WM_CHAR, *unit, 1);
    EXPECT_TRUE(PumpUntil([&] { return ControlText(edit).size() == std::wcslen(kPassphrase); }));
    EXPECT_EQ(ControlText(edit), std::wstring(std::wcslen(kPassphrase), L'*')) << "the field shows what was typed";
    ::PostMessageW(::GetDlgItem(box, IDC_LOGIN), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([box] { return !::IsWindow(box); })) << "the login box stayed";
    EXPECT_EQ(Drive(L'D')->status, static_cast<DWORD>(LoggedIn));
    ExpectShownFromTray(Rows{{L"D:", L"Logged in"}, {L"E:", L"No disc or disc error"}});
}

// While the window shows, the list changes only when the window reads the
// statuses itself: a forged refresh or forged drive results show nothing
// new (a login that happened meanwhile shows at the next showing).
TEST_F(ClientTest, ForgedRefreshNoticesDoNotChangeTheShownList) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    const Rows before{{L"D:", L"No disc or disc error"}};
    ExpectShownFromTray(before);
    ASSERT_NO_FATAL_FAILURE(LogInTo(L'D'));
    const HWND status = StatusWindow();
    const HWND list = ::GetDlgItem(status, IDC_DRIVELIST);
    const UINT updateStatus = ::RegisterWindowMessageW(L"UWM_VARNOKD_UPDATE_STATUS");
    for (UINT message : {updateStatus, UINT{WM_APP + 0x20}}) {
        SCOPED_TRACE(message);
        ASSERT_EQ(Intruder(L"post " + Hex(reinterpret_cast<UINT_PTR>(status)) + L" " + std::to_wstring(message) +
                           L" 0 0"),
                  0u);
        PumpFor(500);  // a status read takes the simulator a moment
        EXPECT_EQ(ListRows(list, m_client->Handle()), before);
    }
}

// A forged "probe done, no driver" while the first probe still runs: the
// client neither says the driver is missing nor ends; its own probe's end
// fills the list.
TEST_F(ClientTest, AForgedProbeEndDuringTheFirstProbeEndsNothing) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D"));
    ASSERT_EQ(Ctl(L"delay * signature 3000 1"), 0u);
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(Intruder(L"post " + Hex(reinterpret_cast<UINT_PTR>(StatusWindow())) + L" " +
                       std::to_wstring(WM_APP + 0x21) + L" 0 0"),
              0u);
    PumpFor(500);
    ASSERT_TRUE(m_client->Running()) << "the client ended on a forged notice";
    EXPECT_EQ(VisibleWindowsOf(m_client->Id()), std::vector<HWND>{}) << "a box came up";
    ExpectShownFromTray(Rows{{L"D:", L"No disc or disc error"}});
}

// The watcher's notice, forged: no login box comes for a drive whose
// watcher did not fire, and the drive's status is left as it was.
TEST_F(ClientTest, AForgedDriveNoticeOpensNoBox) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    const std::wstring status = Hex(reinterpret_cast<UINT_PTR>(StatusWindow()));
    const UINT triggered = ::RegisterWindowMessageW(L"UWM_VARNOKD_EVENT_TRIGGERED");
    ASSERT_EQ(Intruder(L"post " + status + L" " + std::to_wstring(triggered) + L" " + std::to_wstring(L'E') + L" 0"),
              0u);
    PumpFor(500);
    EXPECT_EQ(VisibleWindowsOf(m_client->Id()), std::vector<HWND>{}) << "a forged notice opened a login box";
    ExpectShownFromTray(Rows{{L"D:", L"No disc or disc error"}, {L"E:", L"No disc or disc error"}});
}

// A forged CD-ROM arrival or removal costs a look at the drives and nothing
// more: the box waiting on a drive that is still there stays open, its disc
// stays in, and the login goes on.
TEST_F(ClientTest, AForgedDriveArrivalOrRemovalLeavesAWaitingBoxAlone) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DEF"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    const std::wstring status = Hex(reinterpret_cast<UINT_PTR>(StatusWindow()));
    for (const auto& [notice, letter] : {std::pair{L"cdrom-arrival", L'D'}, std::pair{L"cdrom-removal", L'E'}}) {
        SCOPED_TRACE(std::string(notice, notice + std::wcslen(notice)));
        ASSERT_EQ(Ctl(L"insert " + std::wstring(1, letter) + L" encrypted \"" + std::wstring(kPassphrase) + L"\""), 0u);
        const HWND box = WaitForLoginBox(letter);
        ASSERT_NE(box, nullptr);
        // F: has no box: the re-probe announces the client on it again.
        const unsigned announcements = Drive(L'F')->announcements;
        ASSERT_EQ(Intruder(std::wstring(notice) + L" " + status), 0u);
        ASSERT_TRUE(PumpUntil([&] { return Drive(L'F')->announcements > announcements; })) << "no re-probe";
        EXPECT_EQ(LogIn(box, kPassphrase), L"Login OK!") << "the box went with the notice";
        const sim::DriveState d = *Drive(letter);
        EXPECT_EQ(d.status, static_cast<DWORD>(LoggedIn));
        EXPECT_EQ(d.ejects, 0u);
    }
}

// A password manager's way: the passphrase comes from the clipboard; once
// the login has ended, the clipboard is emptied if it still holds it, and
// left alone if the user copied something else meanwhile.
TEST_F(ClientTest, APastedPassphraseLeavesTheClipboardOnceTheLoginEnds) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    struct Case {
        const char* name;
        const wchar_t* copiedMeanwhile;  // null: nothing
        bool cleared;
    };
    for (const Case& c : {Case{"unchanged", nullptr, true}, Case{"copied over", L"something else", false}}) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Intruder(L"clipboard-set \"" + std::wstring(kPassphrase) + L"\""), 0u);
        ASSERT_EQ(Ctl(L"insert D encrypted \"" + std::wstring(kPassphrase) + L"\""), 0u);
        HWND box = WaitForLoginBox(L'D');
        ASSERT_NE(box, nullptr);
        HWND edit = ::GetDlgItem(box, IDC_PASSPHRASE);
        DWORD_PTR ignored = 0;
        ASSERT_TRUE(::SendMessageTimeoutW(edit, WM_PASTE, 0, 0, SMTO_ABORTIFHUNG, kWatchdogMs, &ignored));
        EXPECT_EQ(ControlText(edit), std::wstring(std::wcslen(kPassphrase), L'*'));
        if (c.copiedMeanwhile != nullptr) {
            ASSERT_EQ(Intruder(L"clipboard-set \"" + std::wstring(c.copiedMeanwhile) + L"\""), 0u);
        }
        ::PostMessageW(::GetDlgItem(box, IDC_LOGIN), BM_CLICK, 0, 0);
        ASSERT_TRUE(PumpUntil([box] { return !::IsWindow(box); })) << "the login box stayed";
        EXPECT_EQ(Drive(L'D')->status, static_cast<DWORD>(LoggedIn));
        if (c.cleared) {
            EXPECT_EQ(Intruder(L"clipboard-has \"" + std::wstring(kPassphrase) + L"\""), 1u)
                << "the passphrase stayed on the clipboard";
        } else {
            EXPECT_EQ(Intruder(L"clipboard-has \"" + std::wstring(c.copiedMeanwhile) + L"\""), 0u)
                << "the user's own copy was taken away";
        }
        ASSERT_EQ(Ctl(L"eject D"), 0u);
    }
}

// The clipboard's text is read, never overwritten: a passphrase pasted
// twice into the same box (the field cleared in between) logs in, and so
// does one pasted into a second drive's box after the first box has logged
// in and gone. Once the last box has gone, the clipboard no longer holds it.
TEST_F(ClientTest, APassphraseCanBePastedTwice) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(Intruder(L"clipboard-set \"" + std::wstring(kPassphrase) + L"\""), 0u);
    const auto paste = [](HWND box) {
        DWORD_PTR ignored = 0;
        return ::SendMessageTimeoutW(::GetDlgItem(box, IDC_PASSPHRASE), WM_PASTE, 0, 0, SMTO_ABORTIFHUNG,
                                     kWatchdogMs, &ignored) != 0;
    };
    const std::wstring stars(std::wcslen(kPassphrase), L'*');
    ASSERT_EQ(Ctl(L"insert D encrypted \"" + std::wstring(kPassphrase) + L"\""), 0u);
    ASSERT_EQ(Ctl(L"insert E encrypted \"" + std::wstring(kPassphrase) + L"\""), 0u);
    HWND d = WaitForLoginBox(L'D');
    HWND e = WaitForLoginBox(L'E');
    ASSERT_NE(d, nullptr);
    ASSERT_NE(e, nullptr);

    HWND field = ::GetDlgItem(d, IDC_PASSPHRASE);
    ASSERT_TRUE(paste(d));
    EXPECT_EQ(ControlText(field), stars);
    DWORD_PTR ignored = 0;
    ASSERT_TRUE(::SendMessageTimeoutW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""), SMTO_ABORTIFHUNG,
                                      kWatchdogMs, &ignored));
    ASSERT_TRUE(paste(d));
    EXPECT_EQ(ControlText(field), stars) << "the second paste in the same box";
    ::PostMessageW(::GetDlgItem(d, IDC_LOGIN), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([d] { return !::IsWindow(d); }));
    EXPECT_EQ(Drive(L'D')->status, static_cast<DWORD>(LoggedIn));
    EXPECT_EQ(Intruder(L"clipboard-has \"" + std::wstring(kPassphrase) + L"\""), 0u)
        << "the clipboard was emptied while another box could still take the paste";

    ASSERT_TRUE(paste(e));
    EXPECT_EQ(ControlText(::GetDlgItem(e, IDC_PASSPHRASE)), stars) << "the paste in the second box";
    ::PostMessageW(::GetDlgItem(e, IDC_LOGIN), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([e] { return !::IsWindow(e); }));
    EXPECT_EQ(Drive(L'E')->status, static_cast<DWORD>(LoggedIn));
    EXPECT_EQ(Intruder(L"clipboard-has \"" + std::wstring(kPassphrase) + L"\""), 1u)
        << "the passphrase stayed on the clipboard after the last box";
}

// A worker that is stalled in a device call (a status read here) is as
// closed to other programs as every other thread of the client: none of
// its threads opens for suspend, context or terminate; and the client's
// token does not open to have its default DACL replaced.
TEST_F(ClientTest, AStalledWorkerAndTheTokenAreClosedToOtherPrograms) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(Ctl(L"stall D status"), 0u);
    Command(ID_SHOWSTATUS);
    ASSERT_TRUE(PumpUntil([] {
        return Process::Run(ProgramPath(L"VarnokSimCtl.exe"), L"list", Process::Capture::Output)
                   .out.find("stalled") != std::string::npos;
    })) << "no status read reached the drive";
    const std::wstring pid = std::to_wstring(m_client->Id());
    EXPECT_EQ(Intruder(L"open-threads " + pid), 0u) << "a thread of the client opened with suspend, context or "
                                                      "terminate rights while a worker was stalled";
    EXPECT_EQ(Intruder(L"open-token " + pid), 0u) << "the client's token opened for TOKEN_ADJUST_DEFAULT";
    ASSERT_EQ(Ctl(L"release D"), 0u);
}

}  // namespace
}  // namespace vnk::test
