#include "fw/worker_pool.h"

#include <algorithm>
#include <deque>
#include <utility>
#include <vector>

#include "fw/thread.h"

namespace vnk::fw {

// Guarded by `lock`. A slim lock and condition variables of the system:
// under Wine they wait in the process (a futex) instead of asking the
// server, as events and semaphores do.
struct WorkerPool::State {
    // What a worker is doing, for the grower: lives on the worker's stack.
    struct Busy {
        bool busy = false;
        ULONGLONG since = 0;
    };
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE workCame = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE countsChanged = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE backlogGrew = CONDITION_VARIABLE_INIT;
    // In order; the first `idle` of them are spoken for by the threads
    // that wait for work (woken already), the rest wait for a thread.
    std::deque<std::function<void()>> queue;
    std::vector<Busy*> workers;  // those running; one just made is not here yet
    size_t threads = 0;          // the workers made and not ended, not the grower
    size_t idle = 0;
    bool growerRunning = false;
    bool stopping = false;
    size_t keepIdle = 0;
    DWORD idleMs = 0;
    DWORD growAfterMs = 0;
};

namespace {

using State = WorkerPool::State;

// After a thread could not be made for a piece that waits, the grower
// tries again this much later (the pool's own threads may take it before).
constexpr DWORD kRetryGrowMs = 1000;

class Locked {
public:
    explicit Locked(SRWLOCK& lock) : m_lock(lock) { ::AcquireSRWLockExclusive(&m_lock); }
    ~Locked() { ::ReleaseSRWLockExclusive(&m_lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    SRWLOCK& m_lock;
};

// Leaves the lock for a while (to make a thread) and takes it again.
class Unlocked {
public:
    explicit Unlocked(SRWLOCK& lock) : m_lock(lock) { ::ReleaseSRWLockExclusive(&m_lock); }
    ~Unlocked() { ::AcquireSRWLockExclusive(&m_lock); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    SRWLOCK& m_lock;
};

// Threads to keep free of pieces that have run the grow time, while pieces
// wait: those kept, and at least one.
size_t FreeWanted(const State& s) { return std::max<size_t>(s.keepIdle, 1); }

// Pieces no thread has spoken for.
size_t Waiting(const State& s) { return s.queue.size() > s.idle ? s.queue.size() - s.idle : 0; }

// A thread woken for a queued piece counts as busy already.
WorkerPool::Counts CountsOf(const State& s) {
    return {s.threads, s.idle > s.queue.size() ? s.idle - s.queue.size() : 0, Waiting(s)};
}

// What a new thread is given: the pool and, for a worker, its first piece.
struct Start {
    std::shared_ptr<State> state;
    std::function<void()> first;
};

// Makes a thread of the framework running `proc` with `start`, which it
// owns from then on. False (and `start` left to the caller) when the
// platform refused.
bool StartThread(ThreadProc proc, std::unique_ptr<Start>& start) {
    std::unique_ptr<Thread> thread = BeginThread(proc, start.get(), THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!thread) return false;
    thread->m_bAutoDelete = TRUE;  // read by the thread when it starts
    // Never ran, it owns nothing, and goes with its object here.
    if (thread->ResumeThread() == static_cast<DWORD>(-1)) return false;
    // The thread owns both now; it deletes its object when it ends.
    start.release();
    thread.release();
    return true;
}

void RunPiece(std::function<void()>& work) {
    try {
        work();
    } catch (...) {
        ::OutputDebugStringW(L"fw: WorkerPool: a piece of work ended by an exception\n");
    }
    // Its captures go now, not when the thread next has work.
    work = nullptr;
}

// Under the lock: the next piece, or nothing when the thread is to end (the
// pool is going and nothing is queued, or the thread is one beyond those
// kept and had no work for the idle time).
std::function<void()> NextPiece(State& s) {
    ++s.idle;
    ::WakeAllConditionVariable(&s.countsChanged);
    const ULONGLONG idleSince = ::GetTickCount64();
    while (s.queue.empty() && !s.stopping) {
        if (s.threads <= s.keepIdle) {
            ::SleepConditionVariableSRW(&s.workCame, &s.lock, INFINITE, 0);
            continue;
        }
        const ULONGLONG spent = ::GetTickCount64() - idleSince;
        if (spent >= s.idleMs) break;
        ::SleepConditionVariableSRW(&s.workCame, &s.lock, static_cast<DWORD>(s.idleMs - spent), 0);
    }
    --s.idle;
    std::function<void()> work;
    if (!s.queue.empty()) {
        work = std::move(s.queue.front());
        s.queue.pop_front();
    } else {
        --s.threads;
    }
    ::WakeAllConditionVariable(&s.countsChanged);
    return work;
}

UINT WorkerProc(LPVOID param) {
    const std::unique_ptr<Start> start(static_cast<Start*>(param));
    State& s = *start->state;
    std::function<void()> work = std::move(start->first);
    State::Busy self;
    {
        Locked locked(s.lock);
        self = {true, ::GetTickCount64()};
        s.workers.push_back(&self);
    }
    for (;;) {
        RunPiece(work);
        Locked locked(s.lock);
        self.busy = false;
        work = NextPiece(s);
        if (!work) {
            std::erase(s.workers, &self);
            return 0;
        }
        self = {true, ::GetTickCount64()};
    }
}

// Under the lock: makes a worker for `work`, counted before it runs.
bool StartWorkerLocked(const std::shared_ptr<State>& state, std::function<void()>& work) {
    State& s = *state;
    ++s.threads;
    bool started = false;
    {
        Unlocked unlocked(s.lock);
        try {
            auto start = std::make_unique<Start>(Start{state, std::move(work)});
            started = StartThread(&WorkerProc, start);
            if (!started) work = std::move(start->first);
        } catch (...) {
            // No memory for the thread's start: `work` may have moved with it.
        }
    }
    if (!started) --s.threads;
    ::WakeAllConditionVariable(&s.countsChanged);
    return started;
}

// Under the lock: how many threads are inside a piece that has run the grow
// time or longer, and when the next one will have (0: none is running).
struct Hung {
    size_t count = 0;
    ULONGLONG next = 0;
};
Hung HungNow(const State& s, ULONGLONG now) {
    Hung hung;
    for (const State::Busy* worker : s.workers) {
        if (!worker->busy) continue;
        const ULONGLONG at = worker->since + s.growAfterMs;
        if (at <= now) {
            ++hung.count;
        } else if (hung.next == 0 || at < hung.next) {
            hung.next = at;
        }
    }
    return hung;
}

// The one thread that grows the set. While pieces wait, it keeps `keepIdle`
// threads free of pieces that have run the grow time (a call that hangs,
// or work that waits for other work): each such thread is made up for by a
// new one. With nothing waiting it waits without a time-out.
UINT GrowerProc(LPVOID param) {
    const std::unique_ptr<Start> start(static_cast<Start*>(param));
    const std::shared_ptr<State> state = start->state;
    State& s = *state;
    Locked locked(s.lock);
    while (!s.stopping) {
        if (Waiting(s) == 0) {
            ::SleepConditionVariableSRW(&s.backlogGrew, &s.lock, INFINITE, 0);
            continue;
        }
        const ULONGLONG now = ::GetTickCount64();
        const Hung hung = HungNow(s, now);
        if (s.threads - std::min(hung.count, s.threads) >= FreeWanted(s)) {
            // Enough threads at work: look again when the next piece has run
            // the grow time.
            const DWORD wait = hung.next == 0 ? s.growAfterMs : static_cast<DWORD>(hung.next - now);
            ::SleepConditionVariableSRW(&s.backlogGrew, &s.lock, wait, 0);
            continue;
        }
        // The oldest piece no thread has spoken for.
        const auto oldest = s.queue.begin() + static_cast<std::ptrdiff_t>(s.idle);
        std::function<void()> work = std::move(*oldest);
        s.queue.erase(oldest);
        if (!StartWorkerLocked(state, work) && work) {
            // Back where it was; a thread of the set that finishes takes it.
            s.queue.insert(s.queue.begin() + static_cast<std::ptrdiff_t>(std::min(s.idle, s.queue.size())),
                           std::move(work));
            ::SleepConditionVariableSRW(&s.backlogGrew, &s.lock, kRetryGrowMs, 0);
        }
    }
    s.growerRunning = false;
    return 0;
}

}  // namespace

WorkerPool::WorkerPool(size_t keepIdle, DWORD idleMs, DWORD growAfterMs) : m_state(std::make_shared<State>()) {
    m_state->keepIdle = keepIdle;
    m_state->idleMs = idleMs;
    m_state->growAfterMs = growAfterMs;
}

WorkerPool::~WorkerPool() {
    Locked locked(m_state->lock);
    m_state->stopping = true;
    ::WakeAllConditionVariable(&m_state->workCame);
    ::WakeAllConditionVariable(&m_state->backlogGrew);
}

bool WorkerPool::Run(std::function<void()> work) {
    State& s = *m_state;
    try {
        Locked locked(s.lock);
        // Too few threads yet: one of its own at once (the first pieces
        // after the start, or a pool that shrank).
        if (s.idle <= s.queue.size() && s.threads < FreeWanted(s)) return StartWorkerLocked(m_state, work);
        s.queue.push_back(std::move(work));
        if (s.queue.size() <= s.idle) {
            // A thread that waits for work takes it.
            ::WakeConditionVariable(&s.workCame);
            return true;
        }
        ::WakeAllConditionVariable(&s.countsChanged);
        if (s.growerRunning) {
            ::WakeConditionVariable(&s.backlogGrew);
            return true;
        }
        s.growerRunning = true;
        bool grower = false;
        {
            Unlocked unlocked(s.lock);
            try {
                auto start = std::make_unique<Start>(Start{m_state, nullptr});
                grower = StartThread(&GrowerProc, start);
            } catch (...) {
                // No memory for it: as if the platform refused the thread.
            }
        }
        if (grower) return true;
        s.growerRunning = false;
        // No grower: the piece gets a thread of its own at once, unless a
        // thread of the set took it meanwhile.
        if (Waiting(s) == 0) return true;
        std::function<void()> piece = std::move(s.queue.back());
        s.queue.pop_back();
        return StartWorkerLocked(m_state, piece);
    } catch (...) {
        // No memory for the piece or its thread: nothing was started.
        return false;
    }
}

WorkerPool::Counts WorkerPool::Now() const {
    Locked locked(m_state->lock);
    return CountsOf(*m_state);
}

bool WorkerPool::WaitUntil(const std::function<bool(const Counts&)>& done, DWORD timeoutMs) const {
    State& s = *m_state;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    Locked locked(s.lock);
    for (;;) {
        if (done(CountsOf(s))) return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return false;
        ::SleepConditionVariableSRW(&s.countsChanged, &s.lock, static_cast<DWORD>(deadline - now), 0);
    }
}

WorkerPool& TheWorkerPool() {
    static WorkerPool* const pool = new WorkerPool();
    return *pool;
}

}  // namespace vnk::fw
