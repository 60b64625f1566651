// The drive table, the watcher threads, the status refresh and the engine
// shutdown, with real threads, events and thread messages and the
// simulated driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <mutex>

#include "fw/app.h"

#include "common/messages.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/lock_pass.h"
#include "engine/login_session.h"
#include "engine/status_refresh.h"
#include "engine/worker.h"
#include "engine/driver.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

using EngineTest = DriveFixture;

unsigned Ejects(wchar_t letter) { return sim::TheSimDriver().State(letter)->ejects; }

// An eject request as the login box makes it (counted under DriveLock),
// except that the post waits for a watcher just started to have its queue.
void AskEject(DriveInfo& info) {
    {
        std::lock_guard lock(DriveLock);
        ++info.ejectRequests;
    }
    info.watcher->PostThreadMessage(WM_WATCHER_EJECT, 0, 0);
}

// The driver's and the system's device controls, in the order they came.
std::vector<std::pair<wchar_t, DWORD>> ControlCalls() {
    std::vector<std::pair<wchar_t, DWORD>> controls;
    for (const auto& call : sim::TheSimDriver().Calls())
        if (call.kind == sim::CallKind::Control) controls.emplace_back(call.drive, call.code);
    return controls;
}

// A user-interface thread that only runs a message loop, standing in for a
// drive's login thread.
class IdleUiThread : public vnk::fw::Thread {
public:
    BOOL InitInstance() override { return TRUE; }
};

TEST_F(EngineTest, WalksInLetterOrderWhateverTheInsertionOrder) {
    AddRecord(L'F', false);
    AddRecord(L'D', false);
    AddRecord(L'E', false);
    std::wstring order;
    for (const DriveView& drive : DriveSnapshot()) order += drive.letter;
    EXPECT_EQ(order, L"DEF");
}

TEST_F(EngineTest, AnnounceRecordAndEventNameHaveTheDriversLayout) {
    const GUID guid = {0x01234567, 0x89ab, 0xcdef, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}};
    EXPECT_EQ(EventNameForGuid(guid), L"{01234567-89AB-CDEF-0123-456789ABCDEF}");
    AnnounceRecord record{guid, 0x11223344};
    const auto* bytes = reinterpret_cast<const BYTE*>(&record);
    const BYTE expected[20] = {0x67, 0x45, 0x23, 0x01, 0xab, 0x89, 0xef, 0xcd, 0x01, 0x23,
                               0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(std::memcmp(bytes, expected, 20), 0);
}

TEST_F(EngineTest, OneSignalGivesOneNoticeWithTheLetterAndTheWatcherEnds) {
    Sim().AddDrive(L'E');
    DriveInfo& info = AddRecord(L'E', true);
    ::SetEvent(info.event.get());
    ASSERT_TRUE(WaitForThread(info.watcher->Handle()));
    EXPECT_EQ(ExitCodeOf(info.watcher->Handle()), kWatcherDone);
    PumpFor(100);
    const auto notices = m_main.Messages(UWM_VARNOKD_EVENT_TRIGGERED);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].wParam, WPARAM{L'E'});
    EXPECT_EQ(notices[0].lParam, 0);
    EXPECT_TRUE(info.watcherFired);
}

// A watcher that fires while a re-probe has already taken it out of its
// record (before it was told to stop) still passes a notice the status
// window answers: the event reset by it will not fire again, and the disc
// would otherwise never get its box.
TEST_F(EngineTest, ANoticeOfAWatcherJustTakenOutOfItsRecordIsStillAnswered) {
    Sim().AddDrive(L'E');
    DriveInfo& info = AddRecord(L'E', true);
    {
        std::lock_guard lock(DriveLock);
        info.retiredWatchers.push_back(std::move(info.watcher));
    }
    ::SetEvent(info.event.get());
    ASSERT_TRUE(WaitForThread(info.retiredWatchers.back()->Handle()));
    PumpFor(100);
    ASSERT_EQ(m_main.Messages(UWM_VARNOKD_EVENT_TRIGGERED).size(), 1u);
    EXPECT_TRUE(AnswerWatcherNotice(L'E')) << "the notice was taken for another program's";
}

TEST_F(EngineTest, EjectRequestsAreServedEachTimeAndTheWatcherKeepsWaiting) {
    Sim().AddDrive(L'D');
    Sim().InsertPlainDisc(L'D');
    DriveInfo& info = AddRecord(L'D', true);
    // Two requests in a row, before the watcher may even have woken: one
    // eject of the drive is under way at a time (a second request meanwhile
    // is served by it), then each request ejects again.
    const auto settled = [] { return !DriveSnapshot(L'D')->ejectUnderWay; };
    AskEject(info);
    AskEject(info);
    ASSERT_TRUE(PumpUntil([&] { return Ejects(L'D') >= 1 && settled(); }));
    const unsigned first = Ejects(L'D');
    EXPECT_LE(first, 2u);
    AskEject(info);
    ASSERT_TRUE(PumpUntil([&] { return Ejects(L'D') == first + 1 && settled(); }));
    // A message outside the watcher's range does not end it either, nor do
    // a stop and an eject message that nobody here asked for, as any
    // program could post them.
    info.watcher->PostThreadMessage(WM_APP + 7, 0, 0);
    info.watcher->PostThreadMessage(WM_WATCHER_STOP, 0, 0);
    info.watcher->PostThreadMessage(WM_WATCHER_EJECT, 0, 0);
    AskEject(info);
    ASSERT_TRUE(PumpUntil([&] { return Ejects(L'D') == first + 2; }));
    PumpFor(100);
    EXPECT_EQ(Ejects(L'D'), first + 2) << "an eject nobody asked for was done";
    EXPECT_EQ(::WaitForSingleObject(info.watcher->Handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // And it still notices its event.
    ::SetEvent(info.event.get());
    ASSERT_TRUE(WaitForThread(info.watcher->Handle()));
    PumpFor(50);
    EXPECT_EQ(m_main.Count(UWM_VARNOKD_EVENT_TRIGGERED), 1u);
}

TEST_F(EngineTest, EjectForADriveThatDoesNotOpenDoesNothing) {
    Sim().AddDrive(L'D');
    Sim().FailCalls(L'D', sim::Fault::Open, ERROR_ACCESS_DENIED, sim::SimDriver::kForever);
    DriveInfo& info = AddRecord(L'D', true);
    AskEject(info);
    ASSERT_TRUE(PumpUntil([this] {
        for (const auto& call : Sim().Calls())
            if (call.kind == sim::CallKind::Open) return true;
        return false;
    }));
    EXPECT_EQ(Ejects(L'D'), 0u);
    EXPECT_EQ(::WaitForSingleObject(info.watcher->Handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(EngineTest, StopEndsTheWatcherWithZeroAndNoNotice) {
    // Posted right after the start, the stop may be in the queue before the
    // watcher's first look at it; it must still be served.
    for (int round = 0; round < 50; ++round) {
        DriveInfo& info = AddRecord(L'D', true);
        info.watcher->RequestStop();
        ASSERT_TRUE(WaitForThread(info.watcher->Handle(), 5000)) << "round " << round;
        EXPECT_EQ(ExitCodeOf(info.watcher->Handle()), kWatcherStopped);
        ClearTable();
    }
    PumpFor(50);
    EXPECT_EQ(m_main.Count(UWM_VARNOKD_EVENT_TRIGGERED), 0u);
}

TEST_F(EngineTest, WatcherEndsAtOnceWhileWatchersMayNotRun) {
    WatchersMayRun = false;
    DriveInfo& info = AddRecord(L'D', false);
    ::SetEvent(info.event.get());
    StartWatcher(L'D', info);
    ASSERT_TRUE(WaitForThread(info.watcher->Handle()));
    EXPECT_EQ(ExitCodeOf(info.watcher->Handle()), kWatcherDone);
    PumpFor(50);
    EXPECT_EQ(m_main.Count(UWM_VARNOKD_EVENT_TRIGGERED), 0u);
}

TEST_F(EngineTest, WatcherForALetterWithoutRecordEndsAtOnce) {
    auto watcher = vnk::fw::BeginThread(&DriveWatcherProc, reinterpret_cast<LPVOID>(UINT_PTR{L'Q'}));
    ASSERT_TRUE(watcher);
    ASSERT_TRUE(WaitForThread(watcher->Handle()));
    EXPECT_EQ(ExitCodeOf(watcher->Handle()), kWatcherNoRecord);
}

TEST_F(EngineTest, WatcherWithoutAnEventServesMessagesWithoutSpinning) {
    DriveInfo& info = AddRecord(L'D', false);
    info.event.reset();
    Sim().AddDrive(L'D');
    Sim().InsertPlainDisc(L'D');
    StartWatcher(L'D', info);
    PumpFor(300);
    FILETIME created, exited, kernel, user;
    ::GetThreadTimes(info.watcher->Handle(), &created, &exited, &kernel, &user);
    const ULONGLONG cpu100ns = (ULONGLONG{user.dwHighDateTime} << 32 | user.dwLowDateTime) +
                               (ULONGLONG{kernel.dwHighDateTime} << 32 | kernel.dwLowDateTime);
    // A spinning thread would have used nearly all of the 300 ms.
    EXPECT_LT(cpu100ns, 1500000u) << "the watcher burns a core";
    AskEject(info);
    ASSERT_TRUE(PumpUntil([] { return Ejects(L'D') == 1; }));
    info.watcher->RequestStop();
    ASSERT_TRUE(WaitForThread(info.watcher->Handle()));
    EXPECT_EQ(ExitCodeOf(info.watcher->Handle()), kWatcherStopped);
}

// Without a main window a signal reaches no window: the watcher says that
// it fired and no longer serves, and ends.
TEST_F(EngineTest, NoticeWithoutMainWindowGoesNowhereAndTheWatcherEnds) {
    vnk::fw::GetApp()->m_pMainWnd = nullptr;
    DriveInfo& info = AddRecord(L'D', true);
    ::SetEvent(info.event.get());
    ASSERT_TRUE(WaitForThread(info.watcher->Handle()));
    EXPECT_EQ(ExitCodeOf(info.watcher->Handle()), kWatcherDone);
    DrainMessages();
    EXPECT_EQ(m_main.Count(UWM_VARNOKD_EVENT_TRIGGERED), 0u);
    std::lock_guard lock(DriveLock);
    EXPECT_TRUE(info.watcherFired);
    EXPECT_FALSE(info.watcherServes);
}

TEST_F(EngineTest, TearDownStopsBothThreadsAndClosesTheEvent) {
    struct Case {
        const char* name;
        bool afterCleanup;
        bool threads;
    };
    for (const Case c : {Case{"running", false, true}, Case{"after shutdown", true, true},
                         Case{"threads never started", false, false}}) {
        SCOPED_TRACE(c.name);
        Sim().AddDrive(L'D');
        Sim().InsertPlainDisc(L'D');
        DriveInfo& info = AddRecord(L'D', c.threads);
        HANDLE event = info.event.get();
        if (c.threads) {
            info.loginThread = vnk::fw::BeginThread<IdleUiThread>(THREAD_PRIORITY_NORMAL, 0, 0);
            ASSERT_TRUE(info.loginThread);
            // Make sure the watcher has found its record and waits.
            const unsigned before = Ejects(L'D');
            AskEject(info);
            ASSERT_TRUE(PumpUntil([before] { return Ejects(L'D') == before + 1; }));
        }
        if (c.afterCleanup) {
            info.event.reset();
        }
        vnk::fw::UniqueHandle watcher, login;
        if (c.threads) {
            watcher = CopyOfHandle(info.watcher->Handle());
            login = CopyOfHandle(info.loginThread->Handle());
        }
        ClearTable();
        DWORD flags = 0;
        if (!c.afterCleanup) {
            EXPECT_FALSE(::GetHandleInformation(event, &flags)) << "the event is still open";
        }
        if (c.threads) {
            EXPECT_EQ(::WaitForSingleObject(watcher.get(), 0), WAIT_OBJECT_0);
            EXPECT_EQ(ExitCodeOf(watcher.get()), kWatcherStopped);
            EXPECT_EQ(::WaitForSingleObject(login.get(), 0), WAIT_OBJECT_0);
        }
    }
}

TEST_F(EngineTest, RefreshReadsEveryStatusAndKeepsItWhereTheDriveDoesNotOpen) {
    for (wchar_t letter : {L'D', L'E', L'F'}) Sim().AddDrive(letter);
    Sim().InsertEncryptedDisc(L'D', L"pw");
    Sim().InsertPlainDisc(L'E');
    Sim().InsertPlainDisc(L'F');
    AddRecord(L'D', false);
    AddRecord(L'E', false).status = LoggedIn;
    AddRecord(L'F', false).status = LoginFailed;
    Sim().FailCalls(L'E', sim::Fault::Open, ERROR_FILE_NOT_FOUND);
    TraceCapture trace;
    ASSERT_TRUE(VNKDUpdateDriveStatus()->Wait(kWatchdogMs));
    EXPECT_EQ(Status(L'D'), DWORD{NotLoggedIn});
    EXPECT_EQ(Status(L'E'), DWORD{LoggedIn});
    EXPECT_EQ(Status(L'F'), DWORD{NotVarnokDisc});
    EXPECT_EQ(trace.CountContaining(L"VNKDUpdateDriveStatus: got handle 0x"), 3u);
    EXPECT_EQ(trace.CountContaining(L"VNKDUpdateDriveStatus: got handle 0xffffffff"), 1u);
}

// An answer that is not a status is no reason to think the disc is not
// logged in: the record says the status cannot be read.
TEST_F(EngineTest, RefreshTakesOnlyAFourByteAnswerAsAStatus) {
    struct Case {
        const char* name;
        std::function<void()> driver;
        DWORD expected;
    };
    const Case cases[] = {
        {"query fails", [this] { Sim().FailCalls(L'D', sim::Fault::Status, ERROR_GEN_FAILURE); }, kStatusUnreadable},
        {"2 bytes", [this] { Sim().OverrideStatusSize(L'D', 2); }, kStatusUnreadable},
        {"8 bytes", [this] { Sim().OverrideStatusSize(L'D', 8); }, kStatusUnreadable},
        {"0 bytes", [this] { Sim().OverrideStatusSize(L'D', 0); }, kStatusUnreadable},
        {"out of range", [this] { Sim().OverrideStatus(L'D', 9); }, 9},
        {"4 bytes", [] {}, NotVarnokDisc},
    };
    Sim().AddDrive(L'D');
    Sim().InsertPlainDisc(L'D');
    DriveInfo& info = AddRecord(L'D', false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        info.status = NoDisc;
        Sim().OverrideStatusSize(L'D', std::nullopt);
        Sim().OverrideStatus(L'D', std::nullopt);
        c.driver();
        ASSERT_TRUE(VNKDUpdateDriveStatus()->Wait(kWatchdogMs));
        EXPECT_EQ(info.status, c.expected);
        EXPECT_EQ(MayBeLoggedIn(info.status), c.expected != NotVarnokDisc);
    }
}

// The exit's lock pass: every drive's status is read before its
// announcement is withdrawn (a driver may stop answering once it no longer
// knows the client), and every
// disc that may be logged in, by the table or by the driver's answer now,
// is ejected; a drive that does not open, even a second time, and may be
// logged in is named. The threads and events stay until the shutdown.
TEST_F(EngineTest, CleanupWithdrawsAndEjectsEveryDiscThatMayBeLoggedIn) {
    for (wchar_t letter : {L'D', L'E', L'F', L'G'}) {
        Sim().AddDrive(letter);
        Sim().InsertPlainDisc(letter);
    }
    Sim().InsertEncryptedDisc(L'G', L"pw");
    DriveInfo& d = AddRecord(L'D', true);
    DriveInfo& e = AddRecord(L'E', true);
    DriveInfo& f = AddRecord(L'F', true);
    DriveInfo& g = AddRecord(L'G', true);
    d.status = LoggedIn;
    e.status = NotLoggedIn;
    f.status = LoggedIn;
    g.status = NotLoggedIn;
    // The table is behind: the driver says G: is logged in now.
    Sim().OverrideStatus(L'G', LoggedIn);
    Sim().FailCalls(L'F', sim::Fault::Open, ERROR_ACCESS_DENIED, sim::SimDriver::kForever);
    Sim().ClearCalls();

    const auto failures = VNKDCleanup();

    EXPECT_EQ(failures, (std::vector<std::pair<wchar_t, DWORD>>{{L'F', ERROR_ACCESS_DENIED}}));
    EXPECT_EQ(d.status, DWORD{NoDisc});
    EXPECT_EQ(e.status, DWORD{NotLoggedIn});
    EXPECT_EQ(f.status, DWORD{LoggedIn}) << "a drive that was not locked must stay LoggedIn";
    EXPECT_EQ(g.status, DWORD{NoDisc});
    EXPECT_EQ(Ejects(L'D'), 1u);
    EXPECT_EQ(Ejects(L'E'), 0u);
    EXPECT_EQ(Ejects(L'G'), 1u);
    unsigned fOpens = 0;
    for (const auto& call : Sim().Calls())
        if (call.kind == sim::CallKind::Open && call.drive == L'F') ++fOpens;
    EXPECT_EQ(fOpens, 2u) << "a failed open is tried again";
    for (wchar_t letter : {L'D', L'E', L'G'}) {
        std::vector<DWORD> controls;
        for (const auto& [drive, code] : ControlCalls())
            if (drive == letter) controls.push_back(code);
        const std::vector<DWORD> expected = letter == L'E'
            ? std::vector<DWORD>{IOCTL_VNK_GET_STATUS, IOCTL_VNK_WITHDRAW}
            : std::vector<DWORD>{IOCTL_VNK_GET_STATUS, IOCTL_VNK_WITHDRAW, kIoctlStorageEjectMedia};
        EXPECT_EQ(controls, expected) << char(letter);
    }
    Sim().OverrideStatus(L'G', std::nullopt);
    // The threads still run, on their events, until the shutdown.
    EXPECT_TRUE(d.event);
    EXPECT_EQ(::WaitForSingleObject(d.watcher->Handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// The engine's shutdown at exit: the discs are locked first, then every
// drive's threads end, the announcements that the lock pass could not
// withdraw are withdrawn, and nothing is left in the table for the process
// exit.
TEST_F(EngineTest, ShutdownLocksFirstThenStopsEveryThreadWithdrawsAndEmptiesTheTable) {
    std::vector<vnk::fw::UniqueHandle> watchers, logins;
    for (wchar_t letter : {L'D', L'E', L'F'}) {
        Sim().AddDrive(letter);
        Sim().InsertPlainDisc(letter);
        DriveInfo& info = AddRecord(letter, true);
        info.announced = true;
        info.status = letter == L'E' ? NotLoggedIn : LoggedIn;
        info.loginThread = vnk::fw::BeginThread<IdleUiThread>(THREAD_PRIORITY_NORMAL, 0, 0);
        ASSERT_TRUE(info.loginThread);
        watchers.push_back(CopyOfHandle(info.watcher->Handle()));
        logins.push_back(CopyOfHandle(info.loginThread->Handle()));
    }
    // F: is busy for the lock pass (both of its opens), free afterwards.
    Sim().FailCalls(L'F', sim::Fault::Open, ERROR_ACCESS_DENIED, 2);
    Sim().ClearCalls();

    VNKDShutdown();

    EXPECT_TRUE(DriveSnapshot().empty());
    for (const auto& watcher : watchers) EXPECT_EQ(::WaitForSingleObject(watcher.get(), 0), WAIT_OBJECT_0);
    for (const auto& login : logins) EXPECT_EQ(::WaitForSingleObject(login.get(), 0), WAIT_OBJECT_0);
    std::vector<std::pair<wchar_t, DWORD>> calls = ControlCalls();
    std::stable_sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::vector<std::pair<wchar_t, DWORD>> expected = {
        {L'D', IOCTL_VNK_GET_STATUS}, {L'D', IOCTL_VNK_WITHDRAW}, {L'D', kIoctlStorageEjectMedia},
        {L'E', IOCTL_VNK_GET_STATUS}, {L'E', IOCTL_VNK_WITHDRAW}, {L'F', IOCTL_VNK_WITHDRAW}};
    EXPECT_EQ(calls, expected);
    for (wchar_t letter : {L'D', L'E', L'F'}) EXPECT_EQ(Sim().State(letter)->withdrawals, 1u) << char(letter);
}

// At exit a failed eject is tried once more; a status that is not known to
// be "not logged in" is ejected too.
TEST_F(EngineTest, CleanupRetriesAFailedEjectOnceAndEjectsUnknownStatuses) {
    struct Case {
        const char* name;
        DWORD status;
        unsigned failures;  // of the eject
        unsigned ejectCalls;
        bool ejected;
    };
    const Case cases[] = {
        {"eject fails once", LoggedIn, 1, 2, true},
        {"eject fails always", LoggedIn, sim::SimDriver::kForever, 2, false},
        {"status out of range", 9, 0, 1, true},
        {"status unreadable", kStatusUnreadable, 0, 1, true},
        {"not logged in", NotLoggedIn, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sim().Reset();
        Sim().AddDrive(L'D');
        Sim().InsertPlainDisc(L'D');
        ClearTable();
        AddRecord(L'D', false).status = c.status;
        if (c.failures != 0) Sim().FailCalls(L'D', sim::Fault::Eject, ERROR_ACCESS_DENIED, c.failures);
        VNKDCleanup();
        unsigned ejectCalls = 0;
        for (const auto& call : Sim().Calls())
            if (call.kind == sim::CallKind::Control && call.code == kIoctlStorageEjectMedia) ++ejectCalls;
        EXPECT_EQ(ejectCalls, c.ejectCalls);
        EXPECT_EQ(Ejects(L'D'), c.ejected ? 1u : 0u);
        Sim().FailCalls(L'D', sim::Fault::Eject, 0, 0);
    }
}

TEST_F(EngineTest, EmptyTableRefreshAndCleanupTouchNoDevice) {
    EXPECT_TRUE(VNKDUpdateDriveStatus()->Done());
    EXPECT_TRUE(VNKDCleanup().empty());
    EXPECT_TRUE(Sim().Calls().empty());
}

// Records torn down while their events fire and their watchers and login
// threads want DriveLock: the tear-down must never wait for them while
// holding the lock.
TEST_F(EngineTest, TearDownWhileThreadsWantTheLockNeverDeadlocks) {
    Sim().AddDrive(L'D');
    const size_t threadsBefore = ThreadsOfThisProcess();
    for (int round = 0; round < 200; ++round) {
        std::vector<DriveTable::Node> nodes;
        {
            std::lock_guard lock(DriveLock);
            for (wchar_t letter : {L'D', L'E', L'F', L'G'}) {
                DriveInfo& info = Drives().Insert(letter);
                info.event.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
                StartWatcher(letter, info);
                info.loginThread = vnk::fw::BeginThread<IdleUiThread>(THREAD_PRIORITY_NORMAL, 0, 0);
                ::SetEvent(info.event.get());  // the watcher now wants DriveLock
                ++info.ejectRequests;
                info.watcher->PostThreadMessage(WM_WATCHER_EJECT, 0, 0);
            }
            // Tear down under the caller's lock, as the probe does: the
            // nodes leave the table here and are let go after the lock.
            nodes = Drives().ExtractAll();
        }
        nodes.clear();
        DrainMessages();
    }
    EXPECT_TRUE(Drives().empty());
    EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore) << "a drive thread was left behind";
    EXPECT_EQ(Sim().OpenHandleCount(), 0u);
}

// A login box whose drive's record went while it was shown (a re-probe
// took it out) may neither hand its passphrase on nor call the disc logged
// in: no lock pass would know that disc.
TEST_F(EngineTest, ALoginSessionWhoseRecordWentNeitherBeginsNorRecordsALogin) {
    struct Case {
        const char* name;
        bool recordGone;
    };
    for (const Case c : {Case{"record kept", false}, Case{"record gone", true}}) {
        SCOPED_TRACE(c.name);
        AddRecord(L'D', false);
        LoginSession session;
        session.Begin(L'D');
        if (c.recordGone) ClearTable();
        EXPECT_EQ(session.BeginLogin(), !c.recordGone);
        EXPECT_EQ(session.RecordLoggedIn(), !c.recordGone);
        if (!c.recordGone) {
            EXPECT_EQ(Status(L'D'), std::optional<DWORD>{LoggedIn});
        }
        ClearTable();
    }
}

}  // namespace
}  // namespace vnk::test
