// The drives' own threads (a watcher and a login thread per record), how
// they are asked for work and how they end, and the engine's shutdown.
#include "engine/drive_threads.h"

#include <cstdint>
#include <mutex>
#include <optional>

#include "common/messages.h"
#include "common/trace.h"
#include "engine/lock_pass.h"
#include "engine/worker.h"

namespace vnk {

namespace {

// How often a stop that could not be posted (a full queue) is tried again.
constexpr DWORD kRepostMs = 100;

DWORD Remaining(ULONGLONG deadline) {
    const ULONGLONG now = ::GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// A thread that did not end in time (a login box inside a device call
// that does not come back) is let go: a worker waits for it and deletes
// its object; nobody else waits for it again.
void LetGo(std::unique_ptr<vnk::fw::Thread>& thread) {
    Trace(L"EndThread: thread %lu did not end in time, let go\n", thread->m_nThreadID);
    std::shared_ptr<vnk::fw::Thread> owned(std::move(thread));
    if (!RunOnWorker([owned] { ::WaitForSingleObject(owned->Handle(), INFINITE); })) {
        // Never deleted under the running thread: kept for good instead.
        // Several threads end threads at exit, so the list has a lock.
        static std::mutex keptMutex;
        static std::vector<std::shared_ptr<vnk::fw::Thread>> kept;
        std::lock_guard lock(keptMutex);
        kept.push_back(owned);
    }
}

// Asks the thread to end through its private stop event (with WM_QUIT for
// a login thread, whose loop takes it only then) and waits for it until
// `deadline`.
void EndThread(std::unique_ptr<vnk::fw::Thread>& thread, ULONGLONG deadline) {
    if (!thread) return;
    // Answer what the thread may be sending us (a login box's broadcast)
    // while it finishes.
    while (!thread->RequestStop() &&
           vnk::fw::WaitAnsweringSent(thread->Handle(), std::min(kRepostMs, Remaining(deadline))) == WAIT_TIMEOUT) {
        if (Remaining(deadline) == 0) break;
        Trace(L"EndThread: WM_QUIT not posted to thread %lu (%lu), trying again\n", thread->m_nThreadID,
              ::GetLastError());
    }
    if (vnk::fw::WaitAnsweringSent(thread->Handle(), Remaining(deadline)) != WAIT_OBJECT_0) {
        LetGo(thread);
        return;
    }
    thread.reset();
}

bool HasEnded(const vnk::fw::Thread& thread) { return ::WaitForSingleObject(thread.Handle(), 0) == WAIT_OBJECT_0; }

// Moves every watcher of the record, current and retired, to `out`.
void TakeWatchers(DriveInfo& info, std::vector<std::unique_ptr<vnk::fw::Thread>>& out) {
    if (info.watcher) out.push_back(std::move(info.watcher));
    for (auto& retired : info.retiredWatchers) out.push_back(std::move(retired));
    info.retiredWatchers.clear();
    info.watcherServes = false;
    info.watcherFired = false;
}

void EndThreads(std::vector<std::unique_ptr<vnk::fw::Thread>>& threads, ULONGLONG deadline) {
    // Every thread is told first, so that they all end at the same time.
    for (auto& thread : threads)
        if (thread && !thread->RequestStop())
            Trace(L"EndThreads: stop not posted to thread %lu yet\n", thread->m_nThreadID);
    for (auto& thread : threads) EndThread(thread, deadline);
    threads.clear();
}

ULONGLONG DeadlineIn(DWORD ms) { return ::GetTickCount64() + ms; }

}  // namespace

DriveInfo::~DriveInfo() {
    if (DriveLock.HeldByCurrentThread())
        Trace(L"DriveInfo: tearing a record down while holding DriveLock\n");
    // The threads end before the event closes (with the record), so that no
    // watcher ever waits on a handle that is closed (and perhaps reused)
    // under it.
    std::vector<std::unique_ptr<vnk::fw::Thread>> threads;
    TakeWatchers(*this, threads);
    EndThreads(threads, DeadlineIn(kShutdownStopMs));
    EndThread(loginThread, DeadlineIn(kShutdownStopMs));
}

bool AskWatcherToEject(DriveInfo& info) {
    // The post waits for nothing under the lock: a watcher just started
    // that has no message queue yet leaves the eject to the caller.
    if (!info.watcher || !info.watcherServes || !info.watcher->PostThreadMessage(WM_WATCHER_EJECT, 0, 0, 0))
        return false;
    ++info.ejectRequests;
    return true;
}

bool TakeEjectRequest(std::uint64_t id) {
    std::lock_guard lock(DriveLock);
    DriveInfo* info = Drives().FindId(id);
    if (info == nullptr || info->ejectRequests == 0) return false;
    --info->ejectRequests;
    return true;
}

namespace {
unsigned* RequestCounter(DriveInfo& info, UINT message) {
    switch (message) {
        case WM_LOGIN_SHOW: return &info.loginShowRequests;
        case WM_LOGIN_CLOSE: return &info.loginCloseRequests;
        default: return nullptr;
    }
}
}  // namespace

bool AskLoginThread(wchar_t letter, UINT message) {
    const WPARAM wParam = message == WM_LOGIN_SHOW ? letter : 0;
    std::uint64_t id = 0;
    DWORD threadId = 0;
    vnk::fw::UniqueHandle thread;
    {
        // Counted under the lock: a probe on a worker may take the record,
        // and its thread, away at any other time. A thread that has its
        // queue takes the post at once; none is waited for under the lock.
        std::lock_guard lock(DriveLock);
        DriveInfo* info = Drives().Find(letter);
        unsigned* counter = info != nullptr ? RequestCounter(*info, message) : nullptr;
        if (counter == nullptr || !info->loginThread) return false;
        ++*counter;
        if (info->loginThread->PostThreadMessage(message, wParam, 0, 0)) return true;
        HANDLE copy = nullptr;
        if (::GetLastError() != ERROR_TIMEOUT ||
            !::DuplicateHandle(::GetCurrentProcess(), info->loginThread->Handle(), ::GetCurrentProcess(), &copy,
                               SYNCHRONIZE, FALSE, 0)) {
            const DWORD error = ::GetLastError();
            --*counter;
            ::SetLastError(error);
            return false;
        }
        // The thread's own handle keeps its id from going to another
        // thread while we wait.
        thread.reset(copy);
        threadId = info->loginThread->m_nThreadID;
        id = info->id;
    }
    // A login thread just started has no queue for a moment: waited for
    // outside the lock, and not for ever.
    const ULONGLONG deadline = ::GetTickCount64() + vnk::fw::Thread::kQueueWaitMs;
    while (::GetTickCount64() < deadline && vnk::fw::WaitAnsweringSent(thread.get(), 10) == WAIT_TIMEOUT) {
        if (::PostThreadMessageW(threadId, message, wParam, 0)) return true;
    }
    std::lock_guard lock(DriveLock);
    if (DriveInfo* info = Drives().FindId(id)) {
        unsigned* counter = RequestCounter(*info, message);
        if (counter != nullptr && *counter > 0) --*counter;
    }
    ::SetLastError(ERROR_TIMEOUT);
    return false;
}

std::optional<wchar_t> TakeLoginRequest(const vnk::fw::Thread& thread, UINT message, wchar_t letter) {
    std::lock_guard lock(DriveLock);
    for (auto& [own, info] : Drives()) {
        if (info.loginThread.get() != &thread) continue;
        unsigned* counter = RequestCounter(info, message);
        if (counter == nullptr || *counter == 0) return std::nullopt;
        if (message == WM_LOGIN_SHOW && letter != own) return std::nullopt;
        --*counter;
        return own;
    }
    return std::nullopt;
}

void StartWatcher(wchar_t letter, DriveInfo& info) {
    info.watcherFired = false;
    info.watcherServes = false;
    info.watcher = vnk::fw::BeginThread(&DriveWatcherProc,
                                   reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(letter)),
                                   THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED, nullptr);
    if (!info.watcher) {
        Trace(L"StartWatcher: no watcher thread for drive %c:\n", letter);
        return;
    }
    info.watcher->m_bAutoDelete = FALSE;
    if (info.watcher->ResumeThread() == static_cast<DWORD>(-1)) {
        // Never run, it would never end: let it go at once.
        Trace(L"StartWatcher: watcher of drive %c: not resumed (%lu)\n", letter, ::GetLastError());
        info.watcher.reset();
        return;
    }
    info.watcherServes = true;
}

void RetireWatcher(DriveInfo& info) {
    std::erase_if(info.retiredWatchers, [](const auto& retired) { return HasEnded(*retired); });
    if (info.watcher && !HasEnded(*info.watcher)) info.retiredWatchers.push_back(std::move(info.watcher));
    info.watcher.reset();
    info.watcherServes = false;
    info.watcherFired = false;
}

void StopAllWatchers() {
    std::vector<std::unique_ptr<vnk::fw::Thread>> watchers;
    {
        std::lock_guard lock(DriveLock);
        for (auto& [letter, info] : Drives()) TakeWatchers(info, watchers);
    }
    EndThreads(watchers, DeadlineIn(kShutdownStopMs));
}

void VNKDShutdown() {
    // Locking comes first: stopping the threads may take its time.
    if (!detail::CleanupDone()) VNKDCleanup();
    const ULONGLONG deadline = DeadlineIn(kShutdownStopMs);
    // A watcher that wakes now ends instead of waiting again.
    WatchersMayRun = false;
    std::vector<std::unique_ptr<vnk::fw::Thread>> threads;
    std::vector<std::unique_ptr<vnk::fw::Thread>> logins;
    {
        std::lock_guard lock(DriveLock);
        for (auto& [letter, info] : Drives()) {
            TakeWatchers(info, threads);
            if (info.loginThread) logins.push_back(std::move(info.loginThread));
        }
    }
    EndThreads(threads, deadline);
    // A box still open goes without its eject path, as at any end of its thread.
    EndThreads(logins, deadline);

    // A drive whose login box held its volume could not be opened by the
    // lock pass; the box has gone now.
    detail::WithdrawRemaining(Remaining(deadline));
    detail::ForgetCleanup();

    std::vector<DriveTable::Node> nodes;
    {
        std::lock_guard lock(DriveLock);
        nodes = Drives().ExtractAll();
    }
    nodes.clear();  // records without threads: this only closes what is left
}

bool AnswerWatcherNotice(wchar_t letter) {
    std::optional<std::uint64_t> renew;
    {
        std::lock_guard lock(DriveLock);
        DriveInfo* info = Drives().Find(letter);
        if (info == nullptr || info->noticesPosted == 0) {
            // No watcher of this record fired: another program's notice. It
            // shows nothing and changes nothing.
            Trace(L"Varnokd: OnEventTriggered: drive %c: no watcher of the drive fired, ignored\n", letter);
            return false;
        }
        --info->noticesPosted;
        if (info->watcherFired) {
            // The fired watcher has posted its notice and is ending; it is
            // not waited for here, under DriveLock.
            RetireWatcher(*info);
            renew = info->id;
        } else {
            // A re-probe has replaced the watcher that fired since: the
            // drive's current watcher still waits and stays.
            Trace(L"Varnokd: OnEventTriggered: drive %c: notice of an earlier watcher\n", letter);
        }
    }
    // Asked after leaving the lock (a login thread just started may make
    // the request wait for its queue), and before the drive's next watcher
    // is made: making a thread takes a while, and the box is what the user
    // waits for. A signal meanwhile stays set on the drive's event for it.
    if (!AskLoginThread(letter, WM_LOGIN_SHOW))
        Trace(L"Varnokd: OnEventTriggered: drive %c: login thread not told (%lu)\n", letter, ::GetLastError());
    if (renew) {
        std::lock_guard lock(DriveLock);
        // Unless the record went, a probe runs (it gives every record a
        // watcher at its end) or gave it one meanwhile, or the engine ends.
        DriveInfo* info = Drives().FindId(*renew);
        if (info != nullptr && !info->watcher && WatchersMayRun.load()) StartWatcher(letter, *info);
    }
    return true;
}
}  // namespace vnk
