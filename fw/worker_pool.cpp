#include "fw/worker_pool.h"

#include <deque>
#include <utility>

#include "fw/thread.h"

namespace vnk::fw {

// Guarded by `lock`. A slim lock and condition variables of the system:
// under Wine they wait in the process (a futex) instead of asking the
// server, as events and semaphores do.
struct WorkerPool::State {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE workCame = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE countsChanged = CONDITION_VARIABLE_INIT;
    std::deque<std::function<void()>> queue;  // never longer than `idle`
    size_t threads = 0;
    size_t idle = 0;
    bool stopping = false;
    size_t keepIdle = 0;
    DWORD idleMs = 0;
};

namespace {

class Locked {
public:
    explicit Locked(SRWLOCK& lock) : m_lock(lock) { ::AcquireSRWLockExclusive(&m_lock); }
    ~Locked() { ::ReleaseSRWLockExclusive(&m_lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    SRWLOCK& m_lock;
};

// A thread woken for a queued piece counts as busy already.
WorkerPool::Counts CountsOf(const WorkerPool::State& s) {
    return {s.threads, s.idle - s.queue.size()};
}

// What a new thread is given: the pool and its first piece of work.
struct Start {
    std::shared_ptr<WorkerPool::State> state;
    std::function<void()> first;
};

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
// pool is going, or the thread is one beyond those kept and had no work
// for the idle time).
std::function<void()> NextPiece(WorkerPool::State& s) {
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

UINT PoolThreadProc(LPVOID param) {
    const std::unique_ptr<Start> start(static_cast<Start*>(param));
    WorkerPool::State& s = *start->state;
    std::function<void()> work = std::move(start->first);
    for (;;) {
        RunPiece(work);
        Locked locked(s.lock);
        work = NextPiece(s);
        if (!work) return 0;
    }
}

}  // namespace

WorkerPool::WorkerPool(size_t keepIdle, DWORD idleMs) : m_state(std::make_shared<State>()) {
    m_state->keepIdle = keepIdle;
    m_state->idleMs = idleMs;
}

WorkerPool::~WorkerPool() {
    Locked locked(m_state->lock);
    m_state->stopping = true;
    ::WakeAllConditionVariable(&m_state->workCame);
}

bool WorkerPool::Run(std::function<void()> work) {
    State& s = *m_state;
    try {
        {
            Locked locked(s.lock);
            // A thread that waits for work takes it; each piece queued has
            // one of its own, so nothing queued waits behind a busy thread.
            if (s.queue.size() < s.idle) {
                s.queue.push_back(std::move(work));
                ::WakeConditionVariable(&s.workCame);
                return true;
            }
        }
        auto start = std::make_unique<Start>(Start{m_state, std::move(work)});
        std::unique_ptr<Thread> thread =
            BeginThread(&PoolThreadProc, start.get(), THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        if (!thread) return false;
        thread->m_bAutoDelete = TRUE;  // read by the thread when it starts
        {
            Locked locked(s.lock);
            ++s.threads;
            ::WakeAllConditionVariable(&s.countsChanged);
        }
        if (thread->ResumeThread() == static_cast<DWORD>(-1)) {
            // Never ran: it owns nothing, and goes with its object here.
            Locked locked(s.lock);
            --s.threads;
            ::WakeAllConditionVariable(&s.countsChanged);
            return false;
        }
        // The thread owns both now; it deletes its object when it ends.
        start.release();
        thread.release();
        return true;
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
