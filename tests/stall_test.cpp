// Drives that are slow or never answer, and other programs' windows that
// take their time: the status window keeps answering, every lock pass ends
// within its bound and names what it could not lock, and a late answer
// lands only where it belongs.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/status_window.h"
#include "common/messages.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/lock_pass.h"
#include "engine/worker.h"
#include "engine/driver.h"
#include "res/resource.h"
#include "tests/support/other_program_window.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

using sim::Fault;

// From a thread of its own: once a call of `kind` is in progress on the
// drive (letter 0: any), sends WM_NULL to the window with a time-out and
// notes whether the window's thread answered. A thread that did not answer
// is stuck in the call: the stall is then let go, so that the test ends
// (and fails) rather than hangs.
class MainThreadPing {
public:
    MainThreadPing(HWND window, wchar_t letter, Fault kind) : m_window(window), m_letter(letter), m_kind(kind) {
        m_thread.reset(::CreateThread(nullptr, 0, &Run, this, 0, nullptr));
    }
    ~MainThreadPing() { WaitForThread(m_thread.get()); }

    // Waits (pumping) for the ping's outcome.
    bool Answered() {
        WaitForThread(m_thread.get());
        return m_answered;
    }
    bool CallSeen() {
        WaitForThread(m_thread.get());
        return m_callSeen;
    }

private:
    static DWORD WINAPI Run(LPVOID param) {
        auto* self = static_cast<MainThreadPing*>(param);
        self->m_callSeen = sim::TheSimDriver().WaitForCallInProgress(self->m_letter, self->m_kind, kWatchdogMs);
        DWORD_PTR result = 0;
        self->m_answered =
            ::SendMessageTimeoutW(self->m_window, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result) != 0;
        if (!self->m_answered) sim::TheSimDriver().ReleaseCalls(0);
        return 0;
    }

    HWND m_window;
    wchar_t m_letter;
    Fault m_kind;
    std::atomic<bool> m_answered{false};
    std::atomic<bool> m_callSeen{false};
    vnk::fw::UniqueHandle m_thread;
};

class StallTest : public StatusWindowFixture {
protected:
    void TearDown() override {
        Sim().ReleaseCalls(0);
        StatusWindowFixture::TearDown();
    }
    std::wstring Row(int index) const { return m_status->m_list.GetItemText(index, 1); }
    HWND ShowLoginBox(wchar_t letter) {
        Sim().InsertEncryptedDisc(letter, L"secret");
        return WaitForWindow((std::wstring(L"Varnok on drive ") + letter + L": - Please log in").c_str());
    }
    static void LogIn(HWND box) {
        ::SetDlgItemTextW(box, IDC_PASSPHRASE, L"secret");
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDC_LOGIN, BN_CLICKED), 0);
    }
    // D: and E: hold discs that are logged in, as far as the table and the
    // driver know.
    void TwoLoggedInDrives() {
        for (wchar_t letter : {L'D', L'E'}) {
            Sim().InsertPlainDisc(letter);
            Sim().OverrideStatus(letter, LoggedIn);
            SetStatus(letter, LoggedIn);
        }
    }
};

// Each way the client waits on a drive, with one drive or every drive slow
// or stalled: the status window answers while the call is under way, and
// what the user sees and the driver recorded is what the path promises.
TEST_F(StallTest, TheMainThreadAnswersWhateverADriveDoes) {
    enum class Path { StatusRefresh, Reprobe, EmergencyLock, SessionEnd, Exit };
    struct Case {
        const char* name;
        Path path;
        Fault kind;
        wchar_t letter;  // 0: every drive
        bool stall;      // else a delay of 1.5 s
    };
    const Case cases[] = {
        {"refresh, D: open stalls", Path::StatusRefresh, Fault::Open, L'D', true},
        {"refresh, every status slow", Path::StatusRefresh, Fault::Status, 0, false},
        {"re-probe, D: open stalls", Path::Reprobe, Fault::Open, L'D', true},
        {"re-probe, every status slow", Path::Reprobe, Fault::Status, 0, false},
        {"Emergency Lock, D: eject stalls", Path::EmergencyLock, Fault::Eject, L'D', true},
        {"Emergency Lock, D: status stalls", Path::EmergencyLock, Fault::Status, L'D', true},
        {"Emergency Lock, every eject slow", Path::EmergencyLock, Fault::Eject, 0, false},
        {"session end, D: open stalls", Path::SessionEnd, Fault::Open, L'D', true},
        {"session end, every eject slow", Path::SessionEnd, Fault::Eject, 0, false},
        {"exit, D: eject stalls", Path::Exit, Fault::Eject, L'D', true},
        {"exit, every open slow", Path::Exit, Fault::Open, 0, false},
    };
    Sim().AddDrive(L'D');
    Sim().AddDrive(L'E');
    Start();
    const DEV_BROADCAST_DEVICEINTERFACE_W cdrom = CdRomInterfaceRecord();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool lockPass = c.path == Path::EmergencyLock || c.path == Path::SessionEnd || c.path == Path::Exit;
        const unsigned ejectsOfE = Sim().State(L'E')->ejects;
        if (lockPass) TwoLoggedInDrives();
        Sim().ClearCalls();
        if (c.stall) {
            Sim().StallCalls(c.letter, c.kind);
        } else {
            Sim().DelayCalls(c.letter, c.kind, 1500);
        }
        std::optional<MessageBoxAnswerer> box;
        if (c.path == Path::EmergencyLock && c.stall) box.emplace(L"Emergency Lock incomplete");
        MainThreadPing ping(Window(), c.letter, c.kind);
        std::vector<std::pair<wchar_t, DWORD>> exitFailures;
        switch (c.path) {
            case Path::StatusRefresh: Command(ID_SHOWSTATUS); break;
            case Path::Reprobe:
                ::SendMessageW(Window(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&cdrom));
                break;
            case Path::EmergencyLock: Command(ID_EMERGENCYLOCK); break;
            case Path::SessionEnd: ::SendMessageW(Window(), WM_ENDSESSION, TRUE, 0); break;
            case Path::Exit: exitFailures = VNKDCleanup(); break;
        }
        EXPECT_TRUE(ping.CallSeen());
        EXPECT_TRUE(ping.Answered()) << "the status window did not answer while a drive was busy";

        const wchar_t slow = c.letter == 0 ? L'D' : c.letter;
        switch (c.path) {
            case Path::StatusRefresh:
                // The window is up at once; the list follows each answer.
                EXPECT_TRUE(::IsWindowVisible(Window()));
                EXPECT_EQ(m_status->m_list.GetItemCount(), 2);
                break;
            case Path::Reprobe:
                EXPECT_TRUE(ProbeInProgress || !c.stall);
                break;
            case Path::EmergencyLock:
                if (c.stall) {
                    ASSERT_TRUE(box->Wait());
                    EXPECT_NE(box->Text().find(L"Drive D: The drive did not answer in time."), std::wstring::npos)
                        << Ascii(box->Text());
                    EXPECT_EQ(box->Text().find(L"Drive E:"), std::wstring::npos) << Ascii(box->Text());
                    EXPECT_EQ(Status(L'D'), DWORD{LoggedIn});
                    EXPECT_EQ(Status(L'E'), DWORD{NoDisc});
                } else {
                    EXPECT_TRUE(PumpUntil([&] { return Status(L'D') == NoDisc && Status(L'E') == NoDisc; }));
                    EXPECT_EQ(FindWindowByTitle(L"Emergency Lock incomplete"), nullptr);
                }
                break;
            case Path::SessionEnd:
                // Returned within its bound, with nothing shown.
                EXPECT_EQ(FindWindowByTitle(L"Emergency Lock incomplete"), nullptr);
                EXPECT_EQ(Status(L'E'), DWORD{NoDisc});
                EXPECT_EQ(Status(L'D'), c.stall ? DWORD{LoggedIn} : DWORD{NoDisc});
                break;
            case Path::Exit:
                if (c.stall) {
                    EXPECT_EQ(exitFailures, (std::vector<std::pair<wchar_t, DWORD>>{{L'D', kDidNotAnswer}}));
                    EXPECT_EQ(Sim().State(L'E')->ejects, ejectsOfE + 1);
                } else {
                    EXPECT_TRUE(exitFailures.empty());
                }
                break;
        }

        // Once the drive answers, its answer lands: nothing is left behind.
        Sim().ReleaseCalls(0);
        Sim().DelayCalls(0, c.kind, 0);
        ASSERT_TRUE(PumpUntil([] { return !ProbeInProgress && sim::TheSimDriver().OpenHandleCount() == 0; }));
        if (lockPass) {
            EXPECT_TRUE(PumpUntil([&] { return Status(slow) == NoDisc; })) << "a late eject did not update the list";
            EXPECT_EQ(Sim().State(slow)->disc, sim::Disc::None);
        }
        if (c.path == Path::Reprobe) {
            EXPECT_TRUE(DriveSnapshot(L'D').has_value());
            EXPECT_TRUE(DriveSnapshot(L'E').has_value());
        }
        PumpFor(50);
        for (wchar_t letter : {L'D', L'E'}) {
            Sim().OverrideStatus(letter, std::nullopt);
            Sim().TakeOutDisc(letter);
            SetStatus(letter, NoDisc);
        }
        detail::SetCleanupDone(false);
    }
}

// A login sent when Emergency Lock begins counts: the pass waits for the
// box, whose own eject fails, and names the drive in its one box; the
// other programs hear that the removal they granted did not happen.
TEST_F(StallTest, ALoginInFlightAtEmergencyLockWhoseEjectFailsIsNamed) {
    Sim().AddDrive(L'D');
    Start();
    HWND box = ShowLoginBox(L'D');
    ASSERT_NE(box, nullptr);
    Sim().StallCalls(L'D', Fault::Login);
    Sim().FailCalls(L'D', Fault::Eject, ERROR_ACCESS_DENIED, sim::SimDriver::kForever);
    LogIn(box);
    ASSERT_TRUE(Sim().WaitForCallInProgress(L'D', Fault::Login, kWatchdogMs));
    m_main.Clear();
    MessageBoxAnswerer answer(L"Emergency Lock incomplete");
    Command(ID_EMERGENCYLOCK);
    Sim().ReleaseCalls(L'D');
    ASSERT_TRUE(answer.Wait());
    EXPECT_NE(answer.Text().find(L"Drive D: "), std::wstring::npos) << Ascii(answer.Text());
    EXPECT_NE(answer.Text().find(L"(error 5)"), std::wstring::npos) << Ascii(answer.Text());
    EXPECT_TRUE(PumpUntil([box] { return !::IsWindow(box); }));
    EXPECT_EQ(Status(L'D'), DWORD{LoggedIn}) << "a disc that did not go must stay LoggedIn";
    EXPECT_TRUE(Sim().State(L'D')->loggedIn);
    bool failedNotice = false;
    for (const auto& change : m_main.DeviceChanges()) failedNotice |= change.event == DBT_DEVICEQUERYREMOVEFAILED;
    EXPECT_TRUE(failedNotice) << "the granted query-remove was left open";
    Sim().FailCalls(L'D', Fault::Eject, 0, 0);
}

// A status read that answers after a re-probe replaced the drive's record
// is dropped: the new record keeps its own status, and the handle closes.
TEST_F(StallTest, ALateStatusForAReplacedRecordIsDropped) {
    Sim().AddDrive(L'D');
    Start();
    TraceCapture trace;
    Sim().DelayCalls(L'D', Fault::Status, 5000, 1);
    Command(ID_SHOWSTATUS);
    ASSERT_TRUE(Sim().WaitForCallInProgress(L'D', Fault::Status, kWatchdogMs));
    const std::uint64_t oldId = DriveSnapshot(L'D')->id;

    const DEV_BROADCAST_DEVICEINTERFACE_W cdrom = CdRomInterfaceRecord();
    // The re-probe finds D: gone (its two looks at it) and then back: it
    // drops the record and makes a new one.
    Sim().FailCalls(L'D', Fault::Open, ERROR_FILE_NOT_FOUND, 2);
    ::SendMessageW(Window(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&cdrom));
    ASSERT_TRUE(PumpUntil([] { return !ProbeInProgress; }));
    ASSERT_TRUE(DriveSnapshot(L'D').has_value());
    ASSERT_NE(DriveSnapshot(L'D')->id, oldId);
    ASSERT_EQ(Status(L'D'), DWORD{NoDisc});

    // The late answer would say "login failed".
    Sim().OverrideStatus(L'D', LoginFailed);
    ASSERT_TRUE(PumpUntil([] { return sim::TheSimDriver().OpenHandleCount() == 0; }));
    EXPECT_TRUE(PumpUntil([&] { return trace.CountContaining(L"result for drive D: dropped") >= 1; }));
    EXPECT_EQ(Status(L'D'), DWORD{NoDisc});
    Sim().OverrideStatus(L'D', std::nullopt);
}

// Exit while a login box waits in a broadcast to a window that takes 8 s
// over each device change: the exit's lock pass ejects what it can and
// names the drive whose box still holds its volume, and the engine's end
// does not wait for that box beyond its bound.
TEST_F(StallTest, ExitBehindASlowWindowEndsWithinItsBoundAndSaysWhatItCouldNotLock) {
    Sim().AddDrive(L'D');
    Sim().AddDrive(L'E');
    Start();
    Sim().InsertPlainDisc(L'E');
    SetStatus(L'E', LoggedIn);
    HWND box = ShowLoginBox(L'D');
    ASSERT_NE(box, nullptr);
    OtherProgramWindow slow({.delayMs = 8000, .visible = true});
    LogIn(box);
    // The box is inside its first broadcast, to the slow window.
    ASSERT_TRUE(PumpUntil([&] { return slow.DeviceChanges() >= 1; }));

    const auto failures = VNKDCleanup();
    VNKDShutdown();

    EXPECT_TRUE(DriveSnapshot().empty());
    EXPECT_EQ(Sim().State(L'E')->ejects, 1u);
    // D: was either still waiting for the driver (nothing to lock) or held
    // by its box: then it is named, never passed over in silence.
    if (Sim().State(L'D')->loggedIn) {
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].first, L'D');
    }
}

// A logged-in drive that is busy for a moment at exit is opened again and
// ejected.
TEST_F(StallTest, ADriveBusyOnceAtExitIsStillEjected) {
    Sim().AddDrive(L'D');
    Start();
    Sim().InsertPlainDisc(L'D');
    SetStatus(L'D', LoggedIn);
    Sim().FailCalls(L'D', Fault::Open, ERROR_SHARING_VIOLATION, 1);
    EXPECT_TRUE(VNKDCleanup().empty());
    EXPECT_EQ(Sim().State(L'D')->ejects, 1u);
    EXPECT_EQ(Status(L'D'), DWORD{NoDisc});
}

// Every window hears each of the login box's notices, also one that comes
// after a hung window in the z-order.
TEST_F(StallTest, ABroadcastPassesAHungWindowAndReachesTheNextOne) {
    Sim().AddDrive(L'D');
    Start();
    HWND box = ShowLoginBox(L'D');
    ASSERT_NE(box, nullptr);
    OtherProgramWindow hung({.hung = true, .visible = true});
    m_main.Clear();
    LogIn(box);
    ASSERT_TRUE(PumpUntil([box] { return !::IsWindow(box); }, 60000));
    EXPECT_TRUE(Sim().State(L'D')->loggedIn);
    std::vector<UINT> events;
    for (const auto& change : m_main.DeviceChanges()) events.push_back(change.event);
    const std::vector<UINT> expected = {DBT_DEVICEQUERYREMOVE, DBT_DEVICEREMOVEPENDING, DBT_DEVICEREMOVECOMPLETE,
                                        DBT_DEVICEARRIVAL};
    EXPECT_EQ(events, expected);
}

}  // namespace
}  // namespace vnk::test
