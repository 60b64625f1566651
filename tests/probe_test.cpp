// Drive probing and re-probing with the simulated driver: the table, the
// announcements, the boxes a person sees, and the threads of every drive.
#include <windows.h>

#include <gtest/gtest.h>


#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/messages.h"
#include "common/strings.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/driver.h"
#include "engine/probe.h"
#include "fw/app.h"
#include "fw/security.h"
#include "login/login_thread.h"
#include "engine/lock_pass.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

using sim::Fault;

class ProbeTest : public DriveFixture {
protected:
    std::wstring Letters() {
        std::wstring letters;
        for (const DriveView& drive : DriveSnapshot()) letters += drive.letter;
        return letters;
    }
    std::vector<sim::CallRecord> CallsOn(wchar_t letter) {
        std::vector<sim::CallRecord> calls;
        for (const auto& call : Sim().Calls())
            if (call.drive == letter) calls.push_back(call);
        return calls;
    }
    std::vector<DWORD> ControlCodesOn(wchar_t letter) {
        std::vector<DWORD> codes;
        for (const auto& call : CallsOn(letter))
            if (call.kind == sim::CallKind::Control) codes.push_back(call.code);
        return codes;
    }
};

TEST_F(ProbeTest, NoCdDriveLeavesTheTableEmptyAndOpensNothing) {
    Sim().AddDrive(L'C', DRIVE_FIXED);
    TraceCapture trace;
    EXPECT_EQ(VNKDProbeForDrives(0), 1);
    EXPECT_TRUE(DriveSnapshot().empty());
    EXPECT_EQ(trace.CountContaining(L"VNKDProbeForDrives: entered, Reprobe = 0\n"), 1u);
    size_t driveTypeQueries = 0;
    for (const auto& call : Sim().Calls()) {
        EXPECT_NE(call.kind, sim::CallKind::Open) << "a drive that is no CD/DVD drive was opened";
        if (call.kind == sim::CallKind::DriveType) ++driveTypeQueries;
    }
    EXPECT_EQ(driveTypeQueries, 26u);
    EXPECT_TRUE(WatchersMayRun);
    EXPECT_FALSE(ProbeInProgress);
}

TEST_F(ProbeTest, DriveWithoutTheDriverGetsNoRecordAndNoMessage) {
    Sim().AddDrive(L'D');
    Sim().SetSignature(L'D', std::nullopt);
    Sim().AddDrive(L'E');
    Sim().SetSignature(L'E', std::string("PLMRVNK1"));
    EXPECT_EQ(VNKDProbeForDrives(0), 1);
    EXPECT_TRUE(DriveSnapshot().empty());
    PumpFor(200);
    EXPECT_EQ(FindWindowByTitle(L"CD/DVD drive not accessible"), nullptr);
    EXPECT_EQ(Sim().OpenHandleCount(), 0u);
}

TEST_F(ProbeTest, AnnouncesEveryDriveThenStartsTheThreadsInLetterOrder) {
    Sim().AddDrive(L'E');
    Sim().AddDrive(L'D');
    Sim().InsertPlainDisc(L'E');
    // At each trace line, how many driver calls had been made by then.
    std::vector<std::pair<std::wstring, size_t>> timeline;
    std::mutex timelineMutex;
    SetTraceListenerForTesting([&](const std::wstring& line) {
        std::lock_guard lock(timelineMutex);
        timeline.emplace_back(line, Sim().Calls().size());
    });
    EXPECT_EQ(VNKDProbeForDrives(0), 1);
    SetTraceListenerForTesting({});

    ASSERT_EQ(Letters(), L"DE");
    // The drives are looked at side by side: each is announced once.
    std::vector<wchar_t> announced;
    for (const auto& call : Sim().Calls())
        if (call.kind == sim::CallKind::Control && call.code == IOCTL_VNK_ANNOUNCE) announced.push_back(call.drive);
    std::sort(announced.begin(), announced.end());
    EXPECT_EQ(announced, (std::vector<wchar_t>{L'D', L'E'}));
    for (wchar_t letter : {L'D', L'E'}) {
        const std::vector<DWORD> expected = {IOCTL_VNK_GET_SIGNATURE, IOCTL_VNK_ANNOUNCE, IOCTL_VNK_GET_STATUS};
        EXPECT_EQ(ControlCodesOn(letter), expected);
        const std::optional<DriveView> view = DriveSnapshot(letter);
        ASSERT_TRUE(view.has_value());
        EXPECT_NE(view->watcherThreadId, 0u);
        EXPECT_NE(view->loginThreadId, 0u);
        EXPECT_TRUE(OwnsItsThreads(letter));
    }
    EXPECT_EQ(Status(L'D'), DWORD{NoDisc});
    EXPECT_EQ(Status(L'E'), DWORD{NotVarnokDisc});
    // Every letter was examined before the first thread started, and D:'s
    // threads started first.
    const size_t allCalls = Sim().Calls().size();
    EXPECT_EQ(allCalls, 26u + 2 * 5u);  // 26 drive types; open, 3 controls, close for D and E
    std::wstring started;
    for (const auto& [line, calls] : timeline) {
        if (line.find(L"starting the threads of drive") == std::wstring::npos) continue;
        started += line[line.size() - 3];
        EXPECT_EQ(calls, allCalls) << "a thread started before every letter was examined";
    }
    EXPECT_EQ(started, L"DE");
}

// A drive that is slow to answer holds back only itself: the others are
// announced and get their threads, and it follows once it answers.
TEST_F(ProbeTest, ASlowDriveHoldsBackOnlyItself) {
    Sim().AddDrive(L'D');
    Sim().AddDrive(L'E');
    Sim().StallCalls(L'D', Fault::Signature);
    const auto served = [](wchar_t letter) {
        const std::optional<DriveView> view = DriveSnapshot(letter);
        return view && view->announced && view->hasWatcher && view->hasLoginThread;
    };
    EXPECT_EQ(VNKDProbeForDrives(0), 1);
    EXPECT_TRUE(served(L'E'));
    EXPECT_TRUE(Sim().State(L'E')->announced);
    EXPECT_FALSE(Sim().State(L'D')->announced);

    Sim().ReleaseCalls(L'D');
    EXPECT_TRUE(PumpUntil([&] { return served(L'D'); })) << "the slow drive was left without its threads";
    EXPECT_TRUE(Sim().State(L'D')->announced);
}

TEST_F(ProbeTest, AnnouncementCarriesTheGuidAndSessionAndNamesTheEvent) {
    Sim().AddDrive(L'D');
    EXPECT_EQ(VNKDProbeForDrives(0), 1);
    const std::optional<DriveView> info = DriveSnapshot(L'D');
    ASSERT_TRUE(info.has_value());
    std::vector<BYTE> record;
    for (const auto& call : Sim().Calls())
        if (call.kind == sim::CallKind::Control && call.code == IOCTL_VNK_ANNOUNCE) record = call.input;
    ASSERT_EQ(record.size(), 20u);
    EXPECT_EQ(std::memcmp(record.data(), &info->guid, 16), 0);
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    EXPECT_EQ(std::memcmp(record.data() + 16, &session, 4), 0);

    const std::wstring name = Sim().State(L'D')->eventName;
    ASSERT_EQ(name.size(), 38u);
    EXPECT_EQ(name, EventNameForGuid(info->guid));
    for (wchar_t c : name) EXPECT_FALSE(c >= L'a' && c <= L'z');
    // The driver reaches the client's watcher through that name.
    ASSERT_TRUE(Sim().SignalDrive(L'D'));
    ASSERT_TRUE(PumpUntil([this] { return m_main.Count(UWM_VARNOKD_EVENT_TRIGGERED) == 1; }));
}

TEST_F(ProbeTest, ReprobeOfADriveThatFailsItsChecksKeepsItsRecord) {
    struct Case {
        const char* name;
        sim::Fault fault;
        DWORD error;
        unsigned skip;  // the presence test of the re-probe opens first
        const wchar_t* box;
    };
    const Case cases[] = {
        {"announcing open fails", sim::Fault::Open, ERROR_SHARING_VIOLATION, 1, L"CD/DVD drive not accessible"},
        {"signature query fails", sim::Fault::Signature, ERROR_GEN_FAILURE, 0, nullptr},
    };
    Sim().AddDrive(L'D');
    ASSERT_EQ(VNKDProbeForDrives(0), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetStatus(L'D', LoggedIn);
        std::optional<DriveView> info = DriveSnapshot(L'D');
        ASSERT_TRUE(info.has_value());
        const GUID before = info->guid;
        HANDLE eventBefore = info->event;
        Sim().FailCalls(L'D', c.fault, c.error, 1, c.skip);
        std::optional<MessageBoxAnswerer> answer;
        if (c.box != nullptr) answer.emplace(c.box);
        EXPECT_EQ(VNKDProbeForDrives(1), 1);
        if (answer) {
            ASSERT_TRUE(answer->Wait());
            const std::wstring systemText = SystemErrorText(ERROR_SHARING_VIOLATION, kUserDefaultLanguage);
            EXPECT_EQ(answer->Text(), L"Varnok could not access the CD/DVD drive at \\\\.\\D: because of an error: " +
                                          systemText +
                                          L"\r\nMake sure you have sufficient permissions to access this device.");
        } else {
            PumpFor(200);
            EXPECT_EQ(FindWindowByTitle(L"CD/DVD drive not accessible"), nullptr);
        }
        info = DriveSnapshot(L'D');
        ASSERT_TRUE(info.has_value());
        EXPECT_TRUE(std::memcmp(&info->guid, &before, sizeof before) == 0);
        EXPECT_EQ(info->event, eventBefore);
        EXPECT_EQ(info->status, DWORD{LoggedIn});
        const auto watcher = OpenThreadById(info->watcherThreadId);
        ASSERT_TRUE(watcher);
        EXPECT_EQ(::WaitForSingleObject(watcher.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
}

// A status that cannot be read at a re-probe is not taken for the old one:
// the drive may be logged in, and the lock passes must try it.
TEST_F(ProbeTest, FailedStatusQueryAtAReprobeMarksTheStatusUnreadable) {
    Sim().AddDrive(L'D');
    Sim().InsertPlainDisc(L'D');
    ASSERT_EQ(VNKDProbeForDrives(0), 1);
    EXPECT_EQ(Status(L'D'), DWORD{NotVarnokDisc});
    SetStatus(L'D', LoggedIn);
    Sim().FailCalls(L'D', sim::Fault::Status, ERROR_GEN_FAILURE);
    ASSERT_EQ(VNKDProbeForDrives(1), 1);
    EXPECT_EQ(Status(L'D'), kStatusUnreadable);
    EXPECT_EQ(Sim().State(L'D')->announcements, 2u);
}

TEST_F(ProbeTest, ReprobeDropsADriveThatWentAwayBeforeLookingAtLetters) {
    Sim().AddDrive(L'D');
    Sim().AddDrive(L'E');
    ASSERT_EQ(VNKDProbeForDrives(0), 1);
    const std::optional<DriveView> e = DriveSnapshot(L'E');
    ASSERT_TRUE(e.has_value());
    const auto watcherE = OpenThreadById(e->watcherThreadId);
    const auto loginE = OpenThreadById(e->loginThreadId);
    ASSERT_TRUE(watcherE && loginE);
    Sim().RemoveDrive(L'E');
    Sim().ClearCalls();
    ASSERT_EQ(VNKDProbeForDrives(1), 1);
    EXPECT_EQ(Letters(), L"D");
    EXPECT_EQ(::WaitForSingleObject(watcherE.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(loginE.get(), 0), WAIT_OBJECT_0);
    // The presence test comes before any other open and uses
    // FILE_ATTRIBUTE_NORMAL.
    const auto calls = CallsOn(L'E');
    const auto open = std::find_if(calls.begin(), calls.end(), [](const sim::CallRecord& call) {
        return call.kind == sim::CallKind::Open;
    });
    ASSERT_NE(open, calls.end());
    EXPECT_EQ(open->code, DWORD{FILE_ATTRIBUTE_NORMAL});
    EXPECT_EQ(Sim().State(L'E')->announcements, 1u);
}

TEST_F(ProbeTest, ReprobeOfAStayingDriveReannouncesWithOneWatcherAndOneLoginThread) {
    Sim().AddDrive(L'D');
    ASSERT_EQ(VNKDProbeForDrives(0), 1);
    // Settle the threads the first probe started before counting.
    ASSERT_EQ(VNKDProbeForDrives(1), 1);
    const size_t threadsBefore = ThreadsOfThisProcess();
    // Held open for the whole test, the login thread's id names it alone.
    const auto login = OpenThreadById(DriveSnapshot(L'D')->loginThreadId);
    ASSERT_TRUE(login);
    for (int round = 0; round < 25; ++round) {
        std::optional<DriveView> info = DriveSnapshot(L'D');
        ASSERT_TRUE(info.has_value());
        const GUID oldGuid = info->guid;
        HANDLE oldEvent = info->event;
        const auto oldWatcher = OpenThreadById(info->watcherThreadId);
        ASSERT_TRUE(oldWatcher);
        Sim().InsertPlainDisc(L'D');
        SetStatus(L'D', LoggedIn);
        Sim().ClearCalls();

        ASSERT_EQ(VNKDProbeForDrives(1), 1);

        info = DriveSnapshot(L'D');
        ASSERT_TRUE(info.has_value());
        EXPECT_NE(std::memcmp(&info->guid, &oldGuid, sizeof oldGuid), 0);
        DWORD flags = 0;
        EXPECT_FALSE(::GetHandleInformation(oldEvent, &flags) && info->event != oldEvent);
        EXPECT_EQ(info->status, DWORD{NotVarnokDisc});
        EXPECT_EQ(::WaitForSingleObject(oldWatcher.get(), 0), WAIT_OBJECT_0) << "the old watcher still runs";
        EXPECT_EQ(info->loginThreadId, ::GetThreadId(login.get()));
        EXPECT_EQ(::WaitForSingleObject(login.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
        const std::vector<DWORD> expected = {IOCTL_VNK_GET_SIGNATURE, IOCTL_VNK_WITHDRAW, IOCTL_VNK_ANNOUNCE,
                                             IOCTL_VNK_GET_STATUS};
        EXPECT_EQ(ControlCodesOn(L'D'), expected);
        Sim().TakeOutDisc(L'D');
    }
    EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
    // The new watcher serves the new announcement.
    ASSERT_TRUE(Sim().SignalDrive(L'D'));
    ASSERT_TRUE(PumpUntil([this] { return m_main.Count(UWM_VARNOKD_EVENT_TRIGGERED) == 1; }));
}

TEST_F(ProbeTest, RefusedAnnouncementRemovesTheRecordAndItsThreads) {
    Sim().AddDrive(L'D');
    ASSERT_EQ(VNKDProbeForDrives(0), 1);
    const auto login = OpenThreadById(DriveSnapshot(L'D')->loginThreadId);
    ASSERT_TRUE(login);
    Sim().FailCalls(L'D', sim::Fault::Announce, ERROR_NOT_SUPPORTED);
    MessageBoxAnswerer answer(L"Warning: Announce failed");
    ASSERT_EQ(VNKDProbeForDrives(1), 1);
    ASSERT_TRUE(answer.Wait());
    const std::wstring systemText = SystemErrorText(ERROR_NOT_SUPPORTED, kSystemDefaultLanguage);
    EXPECT_NE(answer.Text().find(L"could not use drive D: because of a problem announcing itself"),
              std::wstring::npos);
    EXPECT_NE(answer.Text().find(L"\r\n\r\n" + systemText), std::wstring::npos) << answer.Text();
    EXPECT_TRUE(DriveSnapshot().empty());
    EXPECT_EQ(::WaitForSingleObject(login.get(), 0), WAIT_OBJECT_0);
}

// A warning waits for the user, but the drives that the probe found carry
// on meanwhile: each has its watcher again, so a signalled disc gets its
// login box while the box is up.
TEST_F(ProbeTest, AProbesWarningDoesNotLeaveTheOtherDrivesWithoutAWatcher) {
    Sim().AddDrive(L'D');
    Sim().AddDrive(L'E');
    ASSERT_EQ(VNKDProbeForDrives(0), 1);
    Sim().FailCalls(L'D', sim::Fault::Announce, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(VNKDProbeForDrivesOnWorker(1, nullptr, ReprobeBoxes::Keep));
    ASSERT_TRUE(PumpUntil([] { return FindWindowByTitle(L"Warning: Announce failed") != nullptr; }));
    {
        const std::optional<DriveView> e = DriveSnapshot(L'E');
        ASSERT_TRUE(e.has_value());
        EXPECT_TRUE(e->hasWatcher && e->watcherServes) << "E: waits for the answer to D:'s warning";
    }
    EXPECT_EQ(Sim().State(L'E')->announcements, 2u);
    MessageBoxAnswerer answer(L"Warning: Announce failed");
    ASSERT_TRUE(answer.Wait());
    ASSERT_TRUE(PumpUntil([] { return !ProbeInProgress.load(); }));
    EXPECT_EQ(Letters(), L"E");
}

// A re-probe forgets a drive whose disc may be logged in only once its
// eject was confirmed or its device is confirmed gone (nothing at the
// letter, and its path not found); otherwise the drive stays known, every
// lock pass tries it and names it. A drive forgotten while perhaps logged
// in is named by the next pass, once. A busy, shared-away or locked-out
// drive is not gone at all.
TEST_F(ProbeTest, ReprobeNeverForgetsADiscThatMayBeLoggedIn) {
    struct Case {
        const char* name;
        std::function<void()> drive;
        bool kept;
        bool ejected;       // the driver saw the disc go
        DWORD named;        // how the next lock pass names D: (0: not at all)
        const wchar_t* box;  // the re-probe's warning, if any
    };
    const auto fail = [this](Fault fault, DWORD error) {
        return [this, fault, error] { Sim().FailCalls(L'D', fault, error, sim::SimDriver::kForever); };
    };
    const Case cases[] = {
        {"sharing violation", fail(Fault::Open, ERROR_SHARING_VIOLATION), true, false, ERROR_SHARING_VIOLATION,
         L"CD/DVD drive not accessible"},
        {"busy twice", [this] { Sim().FailCalls(L'D', Fault::Open, ERROR_BUSY, 2); }, true, false, 0,
         L"CD/DVD drive not accessible"},
        {"opens answer not found", fail(Fault::Open, ERROR_FILE_NOT_FOUND), true, false, ERROR_FILE_NOT_FOUND,
         L"CD/DVD drive not accessible"},
        {"opens answer path not found", fail(Fault::Open, ERROR_PATH_NOT_FOUND), true, false, ERROR_PATH_NOT_FOUND,
         L"CD/DVD drive not accessible"},
        {"letter remapped, eject fails",
         [this] {
             Sim().AddDrive(L'D', DRIVE_FIXED);
             Sim().FailCalls(L'D', Fault::Eject, ERROR_IO_DEVICE, sim::SimDriver::kForever);
         },
         true, false, ERROR_IO_DEVICE, nullptr},
        {"letter remapped, eject works", [this] { Sim().AddDrive(L'D', DRIVE_FIXED); }, false, true, 0, nullptr},
        {"announcement refused, eject fails",
         [this] {
             Sim().FailCalls(L'D', Fault::Announce, ERROR_ACCESS_DENIED, sim::SimDriver::kForever);
             Sim().FailCalls(L'D', Fault::Eject, ERROR_IO_DEVICE, sim::SimDriver::kForever);
         },
         true, false, ERROR_IO_DEVICE, L"Warning: Announce failed"},
        {"announcement refused, eject works", fail(Fault::Announce, ERROR_ACCESS_DENIED), false, true, 0,
         L"Warning: Announce failed"},
        {"device removed", [this] { Sim().RemoveDrive(L'D'); }, false, false, ERROR_DEV_NOT_EXIST, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sim().Reset();
        ClearTable();
        detail::ResetLockPassesForTesting();
        Sim().AddDrive(L'D');
        Sim().InsertPlainDisc(L'D');
        Sim().OverrideStatus(L'D', LoggedIn);
        ASSERT_EQ(VNKDProbeForDrives(0), 1);
        ASSERT_EQ(Status(L'D'), DWORD{LoggedIn});
        c.drive();
        {
            std::optional<MessageBoxAnswerer> answer;
            if (c.box != nullptr) answer.emplace(c.box);
            ASSERT_EQ(VNKDProbeForDrives(1), 1);
            if (answer) {
                EXPECT_TRUE(answer->Wait());
            }
        }
        EXPECT_EQ(Letters(), c.kept ? L"D" : L"");
        if (c.kept) {
            EXPECT_EQ(Status(L'D'), DWORD{LoggedIn});
        }
        EXPECT_EQ(Sim().State(L'D')->ejects, c.ejected ? 1u : 0u);

        for (int pass = 0; pass < 2; ++pass) {
            SCOPED_TRACE(pass == 0 ? "first pass" : "second pass");
            const auto locking = EjectEveryLoggedInDisc(L"test", 1);
            ASSERT_TRUE(locking->Wait(kWatchdogMs));
            const auto failures = locking->Failures();
            // A drive kept is named by every pass; a forgotten one once.
            const bool named = c.named != 0 && (c.kept || pass == 0);
            ASSERT_EQ(failures.size(), named ? 1u : 0u);
            if (named) {
                EXPECT_EQ(failures[0], (std::pair<wchar_t, DWORD>{L'D', c.named}));
            }
        }
        Sim().FailCalls(L'D', Fault::Open, 0, 0);
    }
}

// A re-probe is held back only by the drive that hangs: a drive that is
// gone is taken out while another's eject hangs, and the hanging drive,
// whose disc may be logged in, stays known until its eject answers.
TEST_F(ProbeTest, AReprobeIsHeldBackOnlyByTheDriveThatHangs) {
    Sim().AddDrive(L'D');
    Sim().InsertPlainDisc(L'D');
    Sim().AddDrive(L'E');
    Sim().InsertPlainDisc(L'E');
    Sim().OverrideStatus(L'E', LoggedIn);
    ASSERT_EQ(VNKDProbeForDrives(0), 1);
    ASSERT_EQ(Letters(), L"DE");
    Sim().RemoveDrive(L'D');
    Sim().AddDrive(L'E', DRIVE_FIXED);  // E: remapped: its disc goes first
    Sim().StallCalls(L'E', Fault::Eject);
    std::thread probe([] { VNKDProbeForDrives(1); });
    ASSERT_TRUE(Sim().WaitForCallInProgress(L'E', Fault::Eject, kWatchdogMs));
    EXPECT_TRUE(PumpUntil([] { return !DriveSnapshot(L'D').has_value(); })) << "D: waited for E:";
    EXPECT_EQ(Letters(), L"E");
    Sim().ReleaseCalls(L'E');
    probe.join();
    EXPECT_TRUE(PumpUntil([] { return DriveSnapshot().empty(); })) << "E: was kept after its disc went";
    EXPECT_EQ(Sim().State(L'E')->ejects, 1u);
}

// At start-up, CD/DVD drives none of which answers the driver's requests
// mean that the driver is not there; anything else starts as before.
TEST_F(ProbeTest, FirstProbeReportsZeroWhenNoCdDriveAnswersTheDriver) {
    struct Case {
        const char* name;
        std::function<void()> bay;
        int reprobe;
        int result;
    };
    const auto noDriver = [this](wchar_t letter, DWORD error) {
        Sim().AddDrive(letter);
        Sim().FailCalls(letter, sim::Fault::Signature, error, sim::SimDriver::kForever);
    };
    const Case cases[] = {
        {"one drive, invalid function", [&] { noDriver(L'D', ERROR_INVALID_FUNCTION); }, 0, 0},
        {"two drives, not supported / invalid parameter",
         [&] {
             noDriver(L'D', ERROR_NOT_SUPPORTED);
             noDriver(L'E', ERROR_INVALID_PARAMETER);
         },
         0, 0},
        {"one of two drives has the driver",
         [&] {
             noDriver(L'D', ERROR_INVALID_FUNCTION);
             Sim().AddDrive(L'E');
         },
         0, 1},
        {"another signature",
         [this] {
             Sim().AddDrive(L'D');
             Sim().SetSignature(L'D', std::string("PLMRVNK1"));
         },
         0, 1},
        {"signature query fails otherwise", [&] { noDriver(L'D', ERROR_GEN_FAILURE); }, 0, 1},
        {"no CD/DVD drive", [this] { Sim().AddDrive(L'C', DRIVE_FIXED); }, 0, 1},
        {"a re-probe", [&] { noDriver(L'D', ERROR_INVALID_FUNCTION); }, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sim().Reset();
        ClearTable();
        c.bay();
        EXPECT_EQ(VNKDProbeForDrives(c.reprobe), c.result);
        EXPECT_FALSE(ProbeInProgress);
    }
}

// The status read at the announcement must be a 4-byte answer.
TEST_F(ProbeTest, AnnouncedDriveWhoseStatusCannotBeReadCountsAsPossiblyLoggedIn) {
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"query fails", [this] { Sim().FailCalls(L'D', sim::Fault::Status, ERROR_GEN_FAILURE); }},
        {"short answer", [this] { Sim().OverrideStatusSize(L'D', 3); }},
        {"long answer", [this] { Sim().OverrideStatusSize(L'D', 6); }},
    };
    for (const auto& [name, fault] : cases) {
        SCOPED_TRACE(name);
        Sim().Reset();
        ClearTable();
        Sim().AddDrive(L'D');
        fault();
        ASSERT_EQ(VNKDProbeForDrives(0), 1);
        EXPECT_EQ(Status(L'D'), kStatusUnreadable);
    }
}

TEST_F(ProbeTest, RefusedAnnouncementOfANewDriveClosesItsEventAndShowsTheBox) {
    Sim().AddDrive(L'D');
    Sim().FailCalls(L'D', sim::Fault::Announce, ERROR_NOT_SUPPORTED);
    MessageBoxAnswerer answer(L"Warning: Announce failed");
    ASSERT_EQ(VNKDProbeForDrives(0), 1);
    ASSERT_TRUE(answer.Wait());
    EXPECT_TRUE(DriveSnapshot().empty());
    std::vector<BYTE> record;
    for (const auto& call : Sim().Calls())
        if (call.kind == sim::CallKind::Control && call.code == IOCTL_VNK_ANNOUNCE) record = call.input;
    ASSERT_EQ(record.size(), 20u);
    GUID guid{};
    std::memcpy(&guid, record.data(), sizeof guid);
    const vnk::fw::UniqueHandle event(::OpenEventW(SYNCHRONIZE, FALSE, EventNameForGuid(guid).c_str()));
    EXPECT_FALSE(event) << "the event of the refused announcement is still open";
}

// A window of the main thread that calls the probe when a message reaches
// it, as a device-change handler would while a probe waits in a box.
class ReentryWindow : public RecorderWindow {
public:
    static constexpr UINT kProbe = WM_APP + 50;
    int result = -1;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == kProbe) {
            result = VNKDProbeForDrives(1);
            return 0;
        }
        return RecorderWindow::WindowProc(message, wParam, lParam);
    }
};

TEST_F(ProbeTest, ProbeCalledWhileAProbeWaitsInABoxReturnsAtOnce) {
    Sim().AddDrive(L'D');
    Sim().AddDrive(L'E');
    Sim().FailCalls(L'D', sim::Fault::Open, ERROR_ACCESS_DENIED);
    ReentryWindow reentry;
    reentry.PostMessage(ReentryWindow::kProbe);
    TraceCapture trace;
    // The box is answered only after the nested call has run.
    MessageBoxAnswerer answer(L"CD/DVD drive not accessible");
    ASSERT_EQ(VNKDProbeForDrives(0), 1);
    ASSERT_TRUE(answer.Wait());
    EXPECT_EQ(reentry.result, 1);
    EXPECT_EQ(trace.CountContaining(L"VNKDProbeForDrives: entered, Reprobe = 1\n"), 1u);
    EXPECT_EQ(Letters(), L"E");
    EXPECT_EQ(Sim().State(L'E')->announcements, 1u);
}

TEST_F(ProbeTest, AnnouncementEventIsOurOwnAndOpenOnlyToTheUserAndSystem) {
    // Another program holds the event of the first GUID handed out.
    GUID taken{};
    ASSERT_EQ(::CoCreateGuid(&taken), S_OK);
    vnk::fw::UniqueHandle squatter(::CreateEventW(nullptr, TRUE, FALSE, EventNameForGuid(taken).c_str()));
    ASSERT_TRUE(squatter);
    GUID fresh{};
    ASSERT_EQ(::CoCreateGuid(&fresh), S_OK);
    const GUID handedOut[] = {taken, fresh};
    size_t asked = 0;
    GUID guid{};
    vnk::fw::UniqueHandle event(NewAnnouncementEvent(guid, [&](GUID* out) {
        *out = handedOut[std::min<size_t>(asked++, 1)];
        return S_OK;
    }));
    ASSERT_TRUE(event);
    EXPECT_EQ(asked, 2u);
    EXPECT_TRUE(::IsEqualGUID(guid, fresh));
    ::SetEvent(event.get());
    EXPECT_EQ(::WaitForSingleObject(squatter.get(), 0), DWORD{WAIT_TIMEOUT}) << "the other program's event was used";

    const std::vector<std::wstring> expected = {vnk::fw::SidText(vnk::fw::CurrentUserSid()), L"S-1-5-18"};
    EXPECT_EQ(AllowedSidsOf(event.get()), std::optional(expected));

    // No event of our own, no event.
    struct Case {
        const char* name;
        std::function<HRESULT(GUID*)> newGuid;
        DWORD error;
    };
    const Case cases[] = {
        {"every name taken", [&](GUID* out) { *out = taken; return S_OK; }, ERROR_ALREADY_EXISTS},
        {"no GUID", [](GUID*) { return HRESULT{E_OUTOFMEMORY}; }, static_cast<DWORD>(E_OUTOFMEMORY)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NewAnnouncementEvent(guid, c.newGuid), nullptr);
        EXPECT_EQ(::GetLastError(), c.error);
    }
}

}  // namespace
}  // namespace vnk::test
