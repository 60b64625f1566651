// The simulated driver in the test process: delays that hold for their
// count or until cleared, on their drives only; delayed calls that then
// fail as planned; stalled calls that hold nothing else and end as their
// drive now is, and that a driver going lets go.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/driver_interface.h"
#include "sim/sim_driver.h"
#include "tests/support/seam_calls.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

// A call on a thread of its own, so that the test can watch it wait. A
// call still waiting when the test ends is let go first.
class CallOnThread {
public:
    CallOnThread(sim::SimDriver& driver, std::function<Outcome()> call)
        : m_driver(driver), m_thread([this, call = std::move(call)] {
              m_outcome = call();
              m_done = true;
          }) {}
    ~CallOnThread() {
        if (!m_thread.joinable()) return;
        m_driver.ReleaseCalls(0);
        m_thread.join();
    }
    bool Done() const { return m_done; }
    Outcome Result() {
        m_thread.join();
        return m_outcome;
    }

private:
    sim::SimDriver& m_driver;
    Outcome m_outcome;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

const wchar_t* PathOf(wchar_t letter) {
    static const std::wstring paths[] = {L"\\\\.\\D:", L"\\\\.\\E:", L"\\\\.\\F:"};
    return paths[letter - L'D'].c_str();
}

// Whether the call of that kind on the drive waits in the driver: it runs
// on a thread, and one that waits is let go at once.
bool Waits(sim::SimDriver& driver, wchar_t letter, sim::Fault kind) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (kind == sim::Fault::Status) handle = driver.Open(PathOf(letter), 0);
    CallOnThread call(driver, [&] {
        return kind == sim::Fault::Open ? OpenOutcome(driver, PathOf(letter))
                                        : Call(driver, handle, IOCTL_VNK_GET_STATUS, {}, 4);
    });
    bool waits = false;
    const ULONGLONG giveUp = ::GetTickCount64() + kWatchdogMs;
    while (!call.Done() && !waits && ::GetTickCount64() < giveUp) waits = driver.WaitForCallInProgress(letter, kind, 10);
    driver.ReleaseCalls(letter);
    const Outcome outcome = call.Result();
    EXPECT_TRUE(outcome.ok) << "the call failed with " << outcome.error;
    if (handle != INVALID_HANDLE_VALUE) driver.Close(handle);
    return waits;
}

TEST(SimDriverTest, DelaysHoldForTheirCountOrUntilClearedOnTheirDrivesOnly) {
    using sim::Fault;
    using Plan = std::function<void(sim::SimDriver&)>;
    struct Step {
        wchar_t letter;
        Fault kind;
        bool waits;
        Plan before = {};
    };
    struct Case {
        const char* name;
        Plan plan;
        std::vector<Step> steps;
    };
    constexpr DWORD kLong = 60000;  // never waited out: each delayed call is let go
    const std::vector<Case> cases = {
        {"two opens of D",
         [](sim::SimDriver& d) { d.DelayCalls(L'D', Fault::Open, kLong, 2); },
         {{L'D', Fault::Open, true}, {L'E', Fault::Open, false}, {L'D', Fault::Open, true},
          {L'D', Fault::Open, false}}},
        {"D's status forever, until ms 0",
         [](sim::SimDriver& d) { d.DelayCalls(L'd', Fault::Status, kLong, sim::SimDriver::kForever); },
         {{L'D', Fault::Status, true}, {L'D', Fault::Status, true}, {L'D', Fault::Open, false},
          {L'D', Fault::Status, false, [](sim::SimDriver& d) { d.DelayCalls(L'D', Fault::Status, 0); }}}},
        {"every drive, one added later, until count 0",
         [](sim::SimDriver& d) { d.DelayCalls(0, Fault::Status, kLong); },
         {{L'D', Fault::Status, true}, {L'E', Fault::Status, true},
          {L'F', Fault::Status, true, [](sim::SimDriver& d) { d.AddDrive(L'F'); }},
          {L'D', Fault::Status, false, [](sim::SimDriver& d) { d.DelayCalls(0, Fault::Status, kLong, 0); }},
          {L'F', Fault::Status, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimDriver driver;
        driver.AddDrive(L'D');
        driver.AddDrive(L'E');
        c.plan(driver);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Step& step = c.steps[i];
            if (step.before) step.before(driver);
            EXPECT_EQ(Waits(driver, step.letter, step.kind), step.waits);
        }
        EXPECT_TRUE(driver.CallsInProgress().empty());
    }
}

TEST(SimDriverTest, ADelayedCallTakesItsTimeThenFailsAsPlanned) {
    sim::SimDriver driver;
    driver.AddDrive(L'D');
    const HANDLE handle = driver.Open(L"\\\\.\\D:", 0);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    driver.DelayCalls(L'D', sim::Fault::Status, 150, 1);
    driver.FailCalls(L'D', sim::Fault::Status, ERROR_NOT_READY);
    const auto start = std::chrono::steady_clock::now();
    const Outcome status = Call(driver, handle, IOCTL_VNK_GET_STATUS, {}, 4);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.error, static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_TRUE(Call(driver, handle, IOCTL_VNK_GET_STATUS, {}, 4).ok) << "the fault outlived its count";
}

TEST(SimDriverTest, AStalledCallHoldsNothingElseAndEndsAsItsDriveNowIs) {
    using End = std::function<void(sim::SimDriver&, HANDLE)>;
    struct Case {
        const char* name;
        End end;
        bool ok;
        DWORD error;
    };
    const std::vector<Case> cases = {
        {"release of the drive", [](sim::SimDriver& d, HANDLE) { d.ReleaseCalls(L'd'); }, true, 0},
        {"release of every drive", [](sim::SimDriver& d, HANDLE) { d.ReleaseCalls(0); }, true, 0},
        {"the driver ends its waits", [](sim::SimDriver& d, HANDLE) { d.EndWaits(); }, true, 0},
        {"reset", [](sim::SimDriver& d, HANDLE) { d.Reset(); }, false, ERROR_INVALID_HANDLE},
        {"the drive removed", [](sim::SimDriver& d, HANDLE) { d.RemoveDrive(L'D'); }, false, ERROR_DEV_NOT_EXIST},
        {"its handle closed, then released",
         [](sim::SimDriver& d, HANDLE h) {
             d.Close(h);
             d.ReleaseCalls(L'D');
         },
         false, ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimDriver driver;
        for (wchar_t letter : {L'D', L'E'}) {
            driver.AddDrive(letter);
            driver.InsertEncryptedDisc(letter, L"pw");
        }
        driver.StallCalls(L'D', sim::Fault::Eject);
        const HANDLE handle = driver.Open(L"\\\\.\\D:", 0);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(driver.WaitForCallInProgress(L'D', sim::Fault::Eject, 0));
        CallOnThread eject(driver, [&] { return Call(driver, handle, kIoctlStorageEjectMedia); });
        ASSERT_TRUE(driver.WaitForCallInProgress(L'D', sim::Fault::Eject, kWatchdogMs));
        const auto waiting = driver.CallsInProgress();
        ASSERT_EQ(waiting.size(), 1u);
        EXPECT_EQ(waiting[0].drive, L'D');
        EXPECT_EQ(waiting[0].kind, sim::Fault::Eject);
        EXPECT_TRUE(waiting[0].stalled);

        // Meanwhile other drives, and D's other calls, go on; the record
        // gets the stalled call only when it ends.
        const HANDLE other = driver.Open(L"\\\\.\\E:", 0);
        EXPECT_TRUE(Call(driver, other, kIoctlStorageEjectMedia).ok);
        driver.Close(other);
        EXPECT_EQ(StatusOf(driver, L"\\\\.\\D:"), 3u);
        for (const sim::CallRecord& call : driver.Calls())
            EXPECT_FALSE(call.drive == L'D' && call.code == kIoctlStorageEjectMedia) << "recorded before it ended";

        c.end(driver, handle);
        const Outcome outcome = eject.Result();
        EXPECT_EQ(outcome.ok, c.ok);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_TRUE(driver.CallsInProgress().empty());
        if (c.ok) {
            EXPECT_EQ(driver.State(L'D')->ejects, 1u);
            EXPECT_EQ(driver.Calls().back().code, static_cast<DWORD>(kIoctlStorageEjectMedia));
        }
    }
}

TEST(SimDriverTest, ADriverThatGoesReleasesItsStalledCalls) {
    auto driver = std::make_unique<sim::SimDriver>();
    driver->AddDrive(L'D');
    driver->StallCalls(0, sim::Fault::Open);
    sim::SimDriver& d = *driver;
    std::atomic<bool> done{false};
    Outcome open;
    std::thread opener([&d, &open, &done] {
        open = OpenOutcome(d, L"\\\\.\\D:");
        done = true;
    });
    const bool stalled = driver->WaitForCallInProgress(L'D', sim::Fault::Open, kWatchdogMs);
    driver.reset();
    opener.join();
    EXPECT_TRUE(stalled);
    EXPECT_TRUE(done);
}

}  // namespace
}  // namespace vnk::test
