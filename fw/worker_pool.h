// A small set of the framework's own worker threads (fw::Thread, with the
// process's thread security) that runs short pieces of work and is reused
// from one piece to the next.
//
// A piece starts at once on a thread that waits for work, or on a new one
// while the set has fewer than `keepIdle` threads. Otherwise it queues, and
// the threads take the queue in order as they finish. A thread inside a
// piece that has run `growAfterMs` or longer (a call that hangs, or work
// that waits for other work) does not count: while pieces wait, the set
// grows so that `keepIdle` threads are free of such pieces. So a piece
// that hangs holds its one thread and the others' work goes on beside it,
// while a burst of quick pieces (a refresh of many drives whose calls come
// back at once) runs on the threads kept instead of making a thread a
// drive.
//
// When the work has gone, the threads beyond `keepIdle` end after `idleMs`
// without work; those kept, and the one thread that grows the set, wait
// without a time-out, so an idle process is not woken.
//
// Under Wine a thread that ends leaves its stack and thread block (about
// 1 MB) allocated until the next thread of the process ends, so a thread
// ended soon after a burst of work costs as much as one kept: the extra
// threads stay for a while, and the next burst (the user looking at the
// list again) finds them.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

namespace vnk::fw {

class WorkerPool {
public:
    static constexpr size_t kKeepIdle = 4;
    static constexpr DWORD kIdleMs = 10000;
    static constexpr DWORD kGrowAfterMs = 50;

    explicit WorkerPool(size_t keepIdle = kKeepIdle, DWORD idleMs = kIdleMs, DWORD growAfterMs = kGrowAfterMs);
    // Tells the threads that wait for work to end and waits for none of
    // them: a thread inside a piece of work finishes it (and the queue) and
    // ends then.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Starts `work` on a thread of the set: at once, after the pieces
    // queued before it, or on a new thread (see above). False (and nothing run) when it could not be
    // queued, or no thread could be had for it. An exception that leaves
    // `work` is traced; the thread goes on with the next piece.
    bool Run(std::function<void()> work);

    struct Counts {
        size_t threads = 0;  // running, busy or waiting for work
        size_t idle = 0;     // waiting for work, none handed to them yet
        size_t queued = 0;   // pieces that wait for a thread
    };
    Counts Now() const;
    // Waits until `done` holds for the counts, at most `timeoutMs`; true
    // when it held. For tests and benchmarks: they synchronise on it.
    bool WaitUntil(const std::function<bool(const Counts&)>& done, DWORD timeoutMs) const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

// The process's pool. It is never destroyed: a thread inside a device call
// that does not come back may still hand it work while the process exits,
// after the static objects' destructors have run.
WorkerPool& TheWorkerPool();

}  // namespace vnk::fw
