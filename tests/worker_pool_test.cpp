// The framework's worker pool with real threads under Wine: pieces of work
// reuse threads, a piece that hangs holds one thread while the others' work
// goes on, the threads beyond those kept end when idle, and an exception
// in a piece leaves the pool working. Everything synchronises on events
// and on the pool's counts; the waits' bounds only catch a failure.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <stdexcept>
#include <vector>

#include "fw/handles.h"
#include "fw/security.h"
#include "fw/thread.h"
#include "fw/worker_pool.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

using vnk::fw::UniqueHandle;
using vnk::fw::WorkerPool;
using Counts = WorkerPool::Counts;

UniqueHandle NewEvent() {
    return UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

bool Signalled(HANDLE event, DWORD timeoutMs = kWatchdogMs) {
    return ::WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}

// Runs a piece that notes its thread's id and signals; the id, 0 on failure.
DWORD ThreadOfOnePiece(WorkerPool& pool) {
    const UniqueHandle done = NewEvent();
    std::atomic<DWORD> thread{0};
    const HANDLE doneEvent = done.get();
    if (!pool.Run([&thread, doneEvent] {
            thread = ::GetCurrentThreadId();
            ::SetEvent(doneEvent);
        }))
        return 0;
    return Signalled(done.get()) ? thread.load() : 0;
}

bool AllIdle(const WorkerPool& pool, size_t threads) {
    return pool.WaitUntil([threads](const Counts& c) { return c.threads == threads && c.idle == threads; },
                          kWatchdogMs);
}

TEST(WorkerPoolTest, LaterWorkRunsOnTheThreadThatWaitsForIt) {
    WorkerPool pool(1, INFINITE);
    const DWORD first = ThreadOfOnePiece(pool);
    ASSERT_NE(first, 0u);
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(AllIdle(pool, 1));
        EXPECT_EQ(ThreadOfOnePiece(pool), first) << "round " << round;
    }
    EXPECT_EQ(pool.Now().threads, 1u);
}

TEST(WorkerPoolTest, WorkRunsOnAFrameworkThreadWithTheThreadSecurity) {
    const std::wstring user = vnk::fw::SidText(vnk::fw::CurrentUserSid());
    vnk::fw::SecurityDescriptor descriptor(L"D:P(A;;GA;;;SY)(A;;0x00120000;;;" + user + L")");
    ASSERT_TRUE(descriptor);
    vnk::fw::SetDefaultThreadSecurity(descriptor.Attributes());
    std::optional<std::vector<std::wstring>> allowed;
    bool frameworkThread = false;
    bool suspendRefused = false;
    {
        WorkerPool pool;
        const UniqueHandle done = NewEvent();
        ASSERT_TRUE(pool.Run([&, doneEvent = done.get()] {
            frameworkThread = vnk::fw::CurrentThread() != nullptr;
            const UniqueHandle self(::OpenThread(READ_CONTROL, FALSE, ::GetCurrentThreadId()));
            if (self) allowed = AllowedSidsOf(self.get());
            const UniqueHandle suspend(::OpenThread(THREAD_SUSPEND_RESUME, FALSE, ::GetCurrentThreadId()));
            suspendRefused = !suspend;
            ::SetEvent(doneEvent);
        }));
        EXPECT_TRUE(Signalled(done.get()));
    }
    vnk::fw::SetDefaultThreadSecurity(nullptr);
    EXPECT_TRUE(frameworkThread);
    EXPECT_EQ(allowed, std::optional(std::vector<std::wstring>{L"S-1-5-18", user}));
    EXPECT_TRUE(suspendRefused);
}

// Drives that hang each hold one thread; every other piece still gets a
// thread (a new one once it has waited the grow time), and when the hung
// calls come back the threads beyond those kept end.
TEST(WorkerPoolTest, GrowsWhilePiecesHangAndShrinksBackWhenIdle) {
    WorkerPool pool(1, 20);
    const UniqueHandle release = NewEvent();
    constexpr int kHung = 3;
    std::vector<UniqueHandle> started;
    for (int i = 0; i < kHung; ++i) {
        started.push_back(NewEvent());
        ASSERT_TRUE(pool.Run([startedEvent = started.back().get(), releaseEvent = release.get()] {
            ::SetEvent(startedEvent);
            ::WaitForSingleObject(releaseEvent, kWatchdogMs);
        }));
    }
    for (const auto& event : started) ASSERT_TRUE(Signalled(event.get()));
    // The others' work, while those hang: each runs.
    for (int round = 0; round < 5; ++round) {
        EXPECT_NE(ThreadOfOnePiece(pool), 0u) << "round " << round;
        ASSERT_TRUE(pool.WaitUntil([](const Counts& c) { return c.idle >= 1; }, kWatchdogMs));
    }
    const Counts busy = pool.Now();
    EXPECT_EQ(busy.threads, static_cast<size_t>(kHung + 1));
    ::SetEvent(release.get());
    // Back to the one thread kept, which then waits for work without end.
    EXPECT_TRUE(AllIdle(pool, 1));
    EXPECT_NE(ThreadOfOnePiece(pool), 0u);
    EXPECT_TRUE(AllIdle(pool, 1));
}

// A burst of pieces that come back at once (a status refresh of many
// drives) runs on the threads kept: none is made a piece. The grow time is
// long here, so that a slow machine cannot make this pass by chance.
TEST(WorkerPoolTest, ABurstOfQuickPiecesRunsOnTheThreadsKept) {
    WorkerPool pool(2, INFINITE, kWatchdogMs);
    constexpr int kPieces = 26;
    std::atomic<int> ran{0};
    const UniqueHandle all = NewEvent();
    for (int round = 0; round < 3; ++round) {
        ran = 0;
        ::ResetEvent(all.get());
        for (int i = 0; i < kPieces; ++i)
            ASSERT_TRUE(pool.Run([&ran, allEvent = all.get()] {
                if (++ran == kPieces) ::SetEvent(allEvent);
            }));
        EXPECT_TRUE(Signalled(all.get())) << "round " << round;
        EXPECT_TRUE(AllIdle(pool, 2)) << "round " << round;
    }
}

// A lock pass's drives at once: none waits for another's piece to end
// (those beyond the threads kept get threads of their own).
TEST(WorkerPoolTest, PiecesStartedTogetherRunAtTheSameTime) {
    WorkerPool pool(2, 20);
    constexpr int kDrives = 6;
    std::atomic<int> arrived{0};
    const UniqueHandle all = NewEvent();
    std::vector<UniqueHandle> done;
    for (int round = 0; round < 3; ++round) {
        arrived = 0;
        ::ResetEvent(all.get());
        done.clear();
        for (int i = 0; i < kDrives; ++i) {
            done.push_back(NewEvent());
            ASSERT_TRUE(pool.Run([&arrived, allEvent = all.get(), doneEvent = done.back().get()] {
                if (++arrived == kDrives) ::SetEvent(allEvent);
                // Only when every piece runs at once does this come back signalled.
                if (Signalled(allEvent)) ::SetEvent(doneEvent);
            }));
        }
        for (const auto& event : done) EXPECT_TRUE(Signalled(event.get())) << "round " << round;
    }
    EXPECT_TRUE(AllIdle(pool, 2));
}

TEST(WorkerPoolTest, AnExceptionInAPieceLeavesThePoolWorking) {
    WorkerPool pool(1, INFINITE);
    const DWORD before = ThreadOfOnePiece(pool);
    ASSERT_TRUE(AllIdle(pool, 1));
    std::atomic<DWORD> thrower{0};
    ASSERT_TRUE(pool.Run([&thrower]() {
        thrower = ::GetCurrentThreadId();
        throw std::runtime_error("a piece that fails");
    }));
    ASSERT_TRUE(AllIdle(pool, 1));
    EXPECT_EQ(thrower.load(), before);
    EXPECT_EQ(ThreadOfOnePiece(pool), before);
}

// The pool goes while a piece hangs: it waits for nothing, and the piece
// finishes later on a thread that still has what it needs.
TEST(WorkerPoolTest, APoolDestroyedWhileAPieceHangsLetsItFinish) {
    const UniqueHandle started = NewEvent();
    const UniqueHandle release = NewEvent();
    const UniqueHandle finished = NewEvent();
    {
        WorkerPool pool(0, INFINITE);
        ASSERT_TRUE(pool.Run([s = started.get(), r = release.get(), f = finished.get()] {
            ::SetEvent(s);
            ::WaitForSingleObject(r, kWatchdogMs);
            ::SetEvent(f);
        }));
        ASSERT_TRUE(Signalled(started.get()));
    }
    ::SetEvent(release.get());
    EXPECT_TRUE(Signalled(finished.get()));
}

}  // namespace
}  // namespace vnk::test
