// Who may say that a disc is locked: a drive's status changes only from
// what the driver answered, a disc that may be logged in is never
// forgotten, a notice no watcher sent shows nothing, every lock pass names
// what it could not lock, and a drive that hangs holds one eject at most.
// Checked on the simulated driver's record and on what the user is shown.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/status_window.h"
#include "common/messages.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/lock_pass.h"
#include "engine/worker.h"
#include "engine/driver.h"
#include "engine/probe.h"
#include "res/resource.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

using sim::Fault;

constexpr wchar_t kBoxD[] = L"Varnok on drive D: - Please log in";

class LockStateTest : public StatusWindowFixture {
protected:
    void TearDown() override {
        Sim().ReleaseCalls(0);
        StatusWindowFixture::TearDown();
    }
    static void LogIn(HWND box) {
        ::SetDlgItemTextW(box, IDC_PASSPHRASE, L"secret");
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDC_LOGIN, BN_CLICKED), 0);
    }
    // D: holds an encrypted disc that its login box logged in.
    void LoggedInD() {
        Sim().AddDrive(L'D');
        Start();
        Sim().InsertEncryptedDisc(L'D', L"secret");
        HWND box = WaitForWindow(kBoxD);
        ASSERT_NE(box, nullptr);
        LogIn(box);
        ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(box); }));
        ASSERT_TRUE(Sim().State(L'D')->loggedIn);
        ASSERT_EQ(Status(L'D'), DWORD{LoggedIn});
    }
    size_t Calls(wchar_t letter, sim::CallKind kind, DWORD code = 0) const {
        size_t n = 0;
        for (const auto& call : sim::TheSimDriver().Calls())
            if (call.drive == letter && call.kind == kind && (kind != sim::CallKind::Control || call.code == code)) ++n;
        return n;
    }
    std::wstring ListText(wchar_t letter) {
        Command(ID_SHOWSTATUS);
        PumpFor(100);
        for (int i = 0; i < m_status->m_list.GetItemCount(); ++i)
            if (m_status->m_list.GetItemText(i, 0) == std::wstring{letter, L':'})
                return m_status->m_list.GetItemText(i, 1);
        return L"(not listed)";
    }
    // Emergency Lock as the user chooses it: the text of its box, or
    // nothing when none came.
    std::wstring EmergencyLockBox() {
        MessageBoxAnswerer answer(L"Emergency Lock incomplete");
        Command(ID_EMERGENCYLOCK);
        if (!answer.Wait(8000)) return L"";
        return answer.Text();
    }
};

// The box's own Eject on a logged-in disc whose eject fails: the disc is
// still logged in, so the table must not say "No disc", and a later pass
// that cannot open the drive names it.
TEST_F(LockStateTest, AFailedEjectLeavesTheDiscLoggedInAndEveryPassNamesIt) {
    struct Case {
        const char* name;
        DWORD openError;  // of every open after the failed eject
    };
    const Case cases[] = {
        {"opens refused", ERROR_SHARING_VIOLATION},
        {"opens answer not found", ERROR_FILE_NOT_FOUND},
    };
    LoggedInD();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The disc signals again: a real box for the logged-in disc.
        ASSERT_TRUE(Sim().SignalDrive(L'D'));
        HWND box = WaitForWindow(kBoxD);
        ASSERT_NE(box, nullptr);
        Sim().ClearCalls();
        Sim().FailCalls(L'D', Fault::Eject, ERROR_IO_DEVICE, 1);
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDC_EJECT, BN_CLICKED), 0);
        ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(box) && Calls(L'D', sim::CallKind::Control, kIoctlStorageEjectMedia) == 1; }));
        PumpUntil([&] { return !DriveSnapshot(L'D') || Sim().OpenHandleCount() == 0; });
        EXPECT_TRUE(Sim().State(L'D')->loggedIn);
        EXPECT_EQ(Status(L'D'), DWORD{LoggedIn}) << "an eject that failed was recorded as done";
        EXPECT_EQ(ListText(L'D'), L"Logged in");

        Sim().FailCalls(L'D', Fault::Open, c.openError, sim::SimDriver::kForever);
        const std::wstring text = EmergencyLockBox();
        EXPECT_NE(text.find(L"Drive D:"), std::wstring::npos) << "Emergency Lock did not name D: " << Ascii(text);
        const auto exitFailures = VNKDCleanup();
        detail::SetCleanupDone(false);
        ASSERT_EQ(exitFailures.size(), 1u);
        EXPECT_EQ(exitFailures[0].first, L'D');
        Sim().FailCalls(L'D', Fault::Open, 0, 0);
        EXPECT_TRUE(Sim().State(L'D')->loggedIn);
    }
}

// A notice that no watcher of the drive sent (any program can post it)
// shows no box and changes nothing: not the drive's status, not its
// watcher, no call to the driver.
TEST_F(LockStateTest, ANoticeNoWatcherSentShowsNothingAndChangesNothing) {
    struct Case {
        const char* name;
        wchar_t letter;
        bool afterARealOne;
    };
    const Case cases[] = {
        {"forged notice for a logged-in drive", L'D', false},
        {"forged notice after the real one was answered", L'D', true},
        {"forged notice for a letter with no drive", L'Q', false},
    };
    LoggedInD();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.afterARealOne) {
            ASSERT_TRUE(Sim().SignalDrive(L'D'));
            HWND box = WaitForWindow(kBoxD);
            ASSERT_NE(box, nullptr);
            ::PostMessageW(box, WM_CLOSE, 0, 0);
            ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(box); }));
            // Its eject fails, so the disc stays logged in.
        }
        PumpUntil([&] { return Sim().OpenHandleCount() == 0; });
        const std::optional<DriveView> before = DriveSnapshot(L'D');
        ASSERT_TRUE(before.has_value());
        const sim::DriveState simBefore = *Sim().State(L'D');
        Sim().ClearCalls();
        ::PostMessageW(Window(), UWM_VARNOKD_EVENT_TRIGGERED, c.letter, 0);
        PumpFor(300);
        EXPECT_EQ(FindWindowByTitle(kBoxD), nullptr) << "a box came for a notice no watcher sent";
        EXPECT_TRUE(Sim().Calls().empty());
        const std::optional<DriveView> after = DriveSnapshot(L'D');
        EXPECT_EQ(after->status, before->status);
        EXPECT_EQ(after->lockStateVersion, before->lockStateVersion);
        EXPECT_EQ(Sim().State(L'D')->ejects, simBefore.ejects);
        EXPECT_FALSE(DriveSnapshot(L'Q').has_value());
    }
    // The drive still reacts to its own signal.
    ASSERT_TRUE(Sim().SignalDrive(L'D'));
    EXPECT_NE(WaitForWindow(kBoxD), nullptr);
}

// The exit's lock pass with D:'s login box holding the volume: no open of
// D: that the box's lock must refuse, so no re-open pause.
TEST_F(LockStateTest, TheExitsLockPassDoesNotOpenADriveItsOwnBoxHolds) {
    struct Case {
        const char* name;
        bool loggedIn;       // the box is for a disc already logged in
        size_t maxOpens;
    };
    const Case cases[] = {
        {"box for a new disc", false, 0},
        // The box's own eject may open the drive on a worker (through its
        // watcher) before the pass opens it once: never an open the box's
        // lock refuses, so never the re-open pause.
        {"box for a logged-in disc", true, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.loggedIn) {
            LoggedInD();
            ASSERT_TRUE(Sim().SignalDrive(L'D'));
        } else {
            Sim().AddDrive(L'D');
            Start();
            Sim().InsertEncryptedDisc(L'D', L"secret");
        }
        HWND box = WaitForWindow(kBoxD);
        ASSERT_NE(box, nullptr);
        ASSERT_TRUE(PumpUntil([] { return DriveSnapshot(L'D')->lockedByLoginBox; }));
        Sim().ClearCalls();
        const auto failures = VNKDCleanup();
        EXPECT_TRUE(failures.empty());
        EXPECT_LE(Calls(L'D', sim::CallKind::Open), c.maxOpens);
        for (const auto& call : Sim().Calls())
            EXPECT_TRUE(call.kind != sim::CallKind::Open || call.succeeded) << "an open the box's lock refused";
        EXPECT_FALSE(Sim().State(L'D')->loggedIn);
        // The next case starts with a fresh window and table.
        m_status->DestroyWindow();
        m_status.reset();
        VNKDShutdown();
        detail::SetCleanupDone(false);  // the engine may run again
        ClearTable();
        Sim().Reset();
    }
}

// Emergency Lock pressed again and again while D:'s eject hangs: one eject
// is under way, not one per press, and each pass hears its answer.
TEST_F(LockStateTest, RepeatedPassesOnAHangingDriveKeepOneEjectUnderWay) {
    LoggedInD();
    Sim().StallCalls(L'D', Fault::Eject);
    std::vector<std::shared_ptr<DriveBatch>> passes;
    passes.push_back(EjectEveryLoggedInDisc(L"test", 1));
    ASSERT_TRUE(Sim().WaitForCallInProgress(L'D', Fault::Eject, kWatchdogMs));
    for (int press = 0; press < 3; ++press) passes.push_back(EjectEveryLoggedInDisc(L"test", 1));
    PumpFor(200);
    size_t ejectsUnderWay = 0;
    for (const auto& call : Sim().CallsInProgress())
        if (call.drive == L'D' && call.kind == Fault::Eject) ++ejectsUnderWay;
    EXPECT_EQ(ejectsUnderWay, 1u);
    for (const auto& pass : passes) EXPECT_FALSE(pass->Done());
    Sim().ReleaseCalls(L'D');
    for (const auto& pass : passes) {
        ASSERT_TRUE(PumpUntil([&] { return pass->Done(); }));
        EXPECT_TRUE(pass->Failures().empty());
    }
    EXPECT_FALSE(Sim().State(L'D')->loggedIn);
    EXPECT_EQ(Status(L'D'), DWORD{NoDisc});
}

// A re-probe asked for while a probe looks at the drives runs once that
// probe ends: a drive added meanwhile is announced.
TEST_F(LockStateTest, AReprobeAskedForDuringAProbeRunsAfterIt) {
    Sim().AddDrive(L'D');
    Start();
    Sim().StallCalls(L'D', Fault::Signature);
    const DEV_BROADCAST_DEVICEINTERFACE_W cdrom = CdRomInterfaceRecord();
    ::SendMessageW(Window(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&cdrom));
    ASSERT_TRUE(Sim().WaitForCallInProgress(L'D', Fault::Signature, kWatchdogMs));
    Sim().AddDrive(L'E');
    ::SendMessageW(Window(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&cdrom));
    Sim().ReleaseCalls(L'D');
    EXPECT_TRUE(PumpUntil([] { return DriveSnapshot(L'E').has_value() && !ProbeInProgress; }))
        << "the re-probe asked for meanwhile was dropped";
    EXPECT_TRUE(Sim().State(L'E')->announced);
}

// A removal while a probe's warning waits for the user: the login box of
// the drive that went closes at once, not once the warning is answered.
TEST_F(LockStateTest, ARemovalClosesTheBoxOfTheDriveThatWentWhileAWarningWaits) {
    Sim().AddDrive(L'D');
    Sim().AddDrive(L'E');
    Start();
    Sim().InsertEncryptedDisc(L'D', L"secret");
    HWND box = WaitForWindow(kBoxD);
    ASSERT_NE(box, nullptr);

    Sim().FailCalls(L'E', Fault::Open, ERROR_SHARING_VIOLATION, sim::SimDriver::kForever);
    const DEV_BROADCAST_DEVICEINTERFACE_W cdrom = CdRomInterfaceRecord();
    ::SendMessageW(Window(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&cdrom));
    HWND warning = WaitForWindow(L"CD/DVD drive not accessible");
    ASSERT_NE(warning, nullptr);
    ASSERT_TRUE(::IsWindow(box)) << "the box of a drive that is still there went";

    Sim().RemoveDrive(L'D');
    ::SendMessageW(Window(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&cdrom));
    EXPECT_TRUE(PumpUntil([&] { return !::IsWindow(box); })) << "the box waited for the warning";
    EXPECT_TRUE(::IsWindow(warning));

    Sim().FailCalls(L'E', Fault::Open, ERROR_SUCCESS, 0);
    ::PostMessageW(warning, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(PumpUntil([] { return !ProbeInProgress; }));
}

// The exit waits for a probe that looks at the drives before its
// withdrawals: nothing is announced after them.
TEST_F(LockStateTest, NothingIsAnnouncedAfterTheExitsWithdrawals) {
    Sim().AddDrive(L'D');
    Start();
    Sim().AddDrive(L'E');
    Sim().StallCalls(L'E', Fault::Announce);
    const DEV_BROADCAST_DEVICEINTERFACE_W cdrom = CdRomInterfaceRecord();
    ::SendMessageW(Window(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&cdrom));
    ASSERT_TRUE(Sim().WaitForCallInProgress(L'E', Fault::Announce, kWatchdogMs));
    // The announcement still hangs when the exit's wait for the probe runs
    // out and when the engine has shut down; it answers afterwards, and the
    // probe takes it back itself and starts nothing.
    VNKDCleanup();
    VNKDShutdown();
    Sim().ReleaseCalls(L'E');
    ASSERT_TRUE(PumpUntil([] { return !ProbeInProgress; }));
    EXPECT_TRUE(DriveSnapshot().empty()) << "the probe made records after the shutdown";
    for (wchar_t letter : {L'D', L'E'}) EXPECT_FALSE(Sim().State(letter)->announced) << static_cast<char>(letter);
}

}  // namespace
}  // namespace vnk::test
