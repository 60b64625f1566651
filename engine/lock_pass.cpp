// The passes that lock every disc (Emergency Lock, the session's end, the
// exit), the ejects of single drives on workers, and what the exit
// withdraws after its pass.
#include "engine/lock_pass.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "common/messages.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/driver.h"
#include "engine/probe.h"

namespace vnk {

namespace {

unsigned long TraceValue(HANDLE handle) { return static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(handle)); }

// Counts the lock passes; each adds 1 before it looks at any drive. A
// login box shown before the latest pass must not leave its disc logged in.
std::atomic<unsigned> g_lockGeneration{0};

// The lock passes that wait for the answer of work already under way on a
// drive (its login box's login, or an eject on a worker), by record.
// Guarded by DriveLock.
struct Awaiting {
    std::uint64_t id;
    wchar_t letter;
    std::weak_ptr<DriveBatch> pass;
};
std::vector<Awaiting> g_awaiting;

// Drives forgotten because their device was confirmed gone while their disc
// may have been logged in; the next pass names them. Guarded by DriveLock.
std::vector<wchar_t> g_forgotten;

// How long a pass waits before it opens a drive again: a drive that is
// mounting a disc refuses opens for about half a second.
constexpr DWORD kReopenPauseMs = 500;
constexpr int kOpenAttempts = 2;
// How long a pass waits for the drive's own login box to let the volume
// go (it ejects through its own path, or its thread ends).
constexpr DWORD kBoxLetGoMs = kExitLockMs;

bool HeldByOwnLoginBox(std::uint64_t id) {
    std::lock_guard lock(DriveLock);
    const DriveInfo* info = Drives().FindId(id);
    return info != nullptr && info->lockedByLoginBox;
}

// Opens the drive, trying once more after a failure. The drive's own login
// box holding the volume is no reason to sleep: the open waits (bounded)
// for the box to let it go instead, and is not tried while it holds it.
DeviceHandle OpenTryingAgain(wchar_t letter, std::uint64_t id, const wchar_t* caller) {
    DeviceHandle device;
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        if (HeldByOwnLoginBox(id)) {
            if (!WaitForBoxToLetGo(id, kBoxLetGoMs))
                Trace(L"%s: drive %c: its login box still holds the volume\n", caller, letter);
        } else if (attempt > 1) {
            ::Sleep(kReopenPauseMs);
        }
        device = DeviceHandle::Open(letter);
        if (device.valid()) break;
        Trace(L"%s: drive %c: does not open (%u), attempt %d\n", caller, letter, device.error(), attempt);
    }
    return device;
}

// What a lock pass knows of one drive when it starts.
struct LockTask {
    wchar_t letter;
    std::uint64_t id;
    DWORD tableStatus;
    size_t slot;
};

struct LockOptions {
    const wchar_t* caller;
    int attempts;
    HWND notify;
    bool withdraw;
};

DWORD LockOneDrive(const LockTask& task, const LockOptions& options) {
    const wchar_t letter = task.letter;
    DeviceHandle device = OpenTryingAgain(letter, task.id, options.caller);
    if (!device.valid()) {
        // Nothing known says the disc is logged in: nothing to lock. A disc
        // whose last eject was not confirmed is still LoggedIn here.
        return MayBeLoggedIn(task.tableStatus) ? device.error() : ERROR_SUCCESS;
    }
    if (options.withdraw) Trace(L"VNKDCleanup: got handle 0x%lx\n", TraceValue(device.get()));
    // The driver's answer now counts as much as the table's: either saying
    // "perhaps logged in" is enough to eject. Read before the withdrawal: a
    // driver may stop answering once it no longer knows the client.
    const std::optional<DWORD> status = ReadDriveStatus(device);
    if (options.withdraw && device.Control(IOCTL_VNK_WITHDRAW))
        WriteBack(letter, task.id, [](DriveInfo& info) { info.announced = false; });
    if (!MayBeLoggedIn(task.tableStatus) && status && !MayBeLoggedIn(*status)) return ERROR_SUCCESS;

    DWORD error = ERROR_SUCCESS;
    if (!device.Control(kIoctlStorageEjectMedia)) {
        error = ::GetLastError();
        Trace(L"%s: eject of drive %c: failed (%u), attempt 1\n", options.caller, letter, error);
        device.Close();
        if (options.attempts > 1) error = EjectLoggedInDisc(letter, options.caller, options.attempts - 1);
    }
    if (error == ERROR_SUCCESS) {
        RecordDriveFact(task.id, DriveFact::EjectConfirmed);
    } else {
        // Still (perhaps) logged in after a failure: the next pass tries
        // again. The driver's own "perhaps logged in" (or no answer) is
        // recorded first, so that the failed eject keeps the disc LoggedIn
        // whatever the table said before.
        if (!status || MayBeLoggedIn(*status))
            RecordDriveFact(task.id, DriveFact::StatusRead, status.value_or(kStatusUnreadable));
        RecordDriveFact(task.id, DriveFact::EjectFailed);
    }
    return error;
}

// Answers the passes that wait for this record's work.
void AnswerWaitingPasses(std::uint64_t id, wchar_t letter, DWORD error) {
    std::vector<std::shared_ptr<DriveBatch>> passes;
    {
        std::lock_guard lock(DriveLock);
        for (auto it = g_awaiting.begin(); it != g_awaiting.end();) {
            auto pass = it->pass.lock();
            if (!pass || it->id == id) {
                if (pass) passes.push_back(std::move(pass));
                it = g_awaiting.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& pass : passes) pass->CompleteAwaited(letter, error);
}

// The end of a drive's eject work (a lock pass's or an eject on a worker):
// the drive may take another, and the passes that waited for this one hear
// whether the disc is now safe.
void FinishDriveWork(std::uint64_t id, wchar_t letter, DWORD error) {
    DWORD answer = error;
    {
        std::lock_guard lock(DriveLock);
        if (DriveInfo* info = Drives().FindId(id)) {
            info->ejectOutstanding = false;
            if (!MayBeLoggedIn(info->status) && !info->loginInFlight) answer = ERROR_SUCCESS;
        }
    }
    AnswerWaitingPasses(id, letter, answer);
}

void StartLockWork(const std::shared_ptr<DriveBatch>& pass, const LockTask& task, const LockOptions& options) {
    const bool started = RunOnWorker([pass, task, options] {
        DWORD error = ERROR_INTERNAL_ERROR;
        try {
            error = LockOneDrive(task, options);
        } catch (...) {
            // The drive counts as not locked; the other drives go on.
            Trace(L"%s: drive %c: the eject ended by an exception\n", options.caller, task.letter);
        }
        FinishDriveWork(task.id, task.letter, error);
        pass->Complete(task.slot, error);
        PostDriveResults(options.notify);
    });
    if (!started) {
        Trace(L"%s: no worker for drive %c: (%lu)\n", options.caller, task.letter, ::GetLastError());
        FinishDriveWork(task.id, task.letter, ERROR_NOT_ENOUGH_MEMORY);
        pass->Complete(task.slot, ERROR_NOT_ENOUGH_MEMORY);
    }
}

// Tells every waiting login box to close through its eject path, without
// waiting for anything.
void CloseLoginBoxes(const std::vector<wchar_t>& letters) {
    for (wchar_t letter : letters) {
        {
            std::lock_guard lock(DriveLock);
            DriveInfo* info = Drives().Find(letter);
            if (info == nullptr || !info->loginThread) continue;
        }
        if (!AskLoginThread(letter, WM_LOGIN_CLOSE))
            Trace(L"CloseLoginBoxes: login box of drive %c: not told to close (%lu)\n", letter, ::GetLastError());
    }
}

}  // namespace

namespace detail {
unsigned LockGeneration() { return g_lockGeneration.load(); }
void AnswerPassesWaitingFor(std::uint64_t id, wchar_t letter, DWORD error) { AnswerWaitingPasses(id, letter, error); }
}  // namespace detail

std::shared_ptr<DriveBatch> EjectEveryLoggedInDisc(const wchar_t* caller, int attempts, HWND notify, bool withdraw) {
    // First, so that a login box between reading its passphrase and the
    // driver's answer ejects its disc when the answer comes.
    ++g_lockGeneration;
    std::shared_ptr<DriveBatch> pass;
    try {
        pass = std::make_shared<DriveBatch>();
    } catch (...) {
        Trace(L"%s: no memory for the lock pass\n", caller);
        return nullptr;
    }
    const LockOptions options{caller, attempts, notify, withdraw};
    std::vector<LockTask> tasks;
    size_t started = 0;
    try {
        std::vector<wchar_t> letters;
        tasks.reserve(26);
        letters.reserve(26);
        {
            std::lock_guard lock(DriveLock);
            for (wchar_t letter : g_forgotten) {
                Trace(L"%s: drive %c: forgotten since the last pass, perhaps logged in\n", caller, letter);
                pass->Complete(pass->Add(letter), ERROR_DEV_NOT_EXIST);
            }
            g_forgotten.clear();
            for (auto& [letter, info] : Drives()) {
                const bool mayBeLoggedIn = MayBeLoggedIn(info.status);
                // At exit the boxes end with their threads, without their
                // eject path, but for one that holds a disc that may be
                // logged in: the pass needs its volume.
                if (!withdraw || (info.lockedByLoginBox && mayBeLoggedIn)) letters.push_back(letter);
                if (info.loginInFlight || info.ejectOutstanding) {
                    // The box holds the volume locked and ejects through its
                    // own handle when the driver answers; an eject under way
                    // answers when it ends. Either answers for the drive:
                    // a drive that hangs gets no second worker.
                    pass->Add(letter, true);
                    g_awaiting.push_back({info.id, letter, pass});
                    continue;
                }
                if (info.lockedByLoginBox && !mayBeLoggedIn) {
                    // The box's lock keeps every other open out, and the box
                    // cannot log in any more: this pass began after it
                    // looked (LoginSession::BeginLogin). Nothing to open.
                    pass->Complete(pass->Add(letter), ERROR_SUCCESS);
                    continue;
                }
                info.ejectOutstanding = true;
                tasks.push_back({letter, info.id, info.status, pass->Add(letter)});
            }
        }
        CloseLoginBoxes(letters);
        for (; started < tasks.size(); ++started) StartLockWork(pass, tasks[started], options);
    } catch (...) {
        // Whatever was not reached is reported as not locked, and may be
        // tried by the next pass.
        Trace(L"%s: the lock pass ended by an exception\n", caller);
        for (size_t i = started; i < tasks.size(); ++i) FinishDriveWork(tasks[i].id, tasks[i].letter, ERROR_INTERNAL_ERROR);
        pass->CompleteAll(ERROR_INTERNAL_ERROR);
    }
    return pass;
}

void EjectOnWorker(wchar_t letter, std::uint64_t id, const wchar_t* caller) {
    {
        std::lock_guard lock(DriveLock);
        DriveInfo* info = Drives().FindId(id);
        if (info == nullptr) {
            Trace(L"%s: drive %c: its record has gone, no eject\n", caller, letter);
            return;
        }
        if (info->ejectOutstanding) {
            Trace(L"%s: drive %c: an eject is under way already\n", caller, letter);
            return;
        }
        info->ejectOutstanding = true;
    }
    const auto eject = [letter, id, caller] {
        const DWORD error = EjectLoggedInDisc(letter, caller, 1);
        RecordDriveFact(id, error == ERROR_SUCCESS ? DriveFact::EjectConfirmed : DriveFact::EjectFailed);
        FinishDriveWork(id, letter, error);
    };
    bool started = false;
    try {
        started = RunOnWorker(eject);
    } catch (...) {
        Trace(L"%s: drive %c: no memory for a worker\n", caller, letter);
    }
    // Never left marked as under way: without a worker, the eject runs here.
    if (!started) eject();
}

void NoteForgottenDrive(wchar_t letter) {
    if (std::find(g_forgotten.begin(), g_forgotten.end(), letter) == g_forgotten.end()) g_forgotten.push_back(letter);
}

namespace detail {
void ResetLockPassesForTesting() {
    std::lock_guard lock(DriveLock);
    g_forgotten.clear();
    g_awaiting.clear();
}
}  // namespace detail
// ---- The exit


namespace {
bool g_cleanupDone = false;  // main thread only
// The drives that did not answer the exit's lock pass: the withdrawal does
// not wait on them a second time.
std::vector<wchar_t> g_unanswered;  // main thread only
}  // namespace

namespace detail {

bool CleanupDone() { return g_cleanupDone; }
void ForgetCleanup() {
    g_cleanupDone = false;
    g_unanswered.clear();
}

void SetCleanupDone(bool done) {
    g_cleanupDone = done;
    if (done) return;
    ForgetCleanup();
    ReopenProbesForTesting();
}

void WithdrawRemaining(DWORD timeoutMs) {
    auto batch = std::make_shared<DriveBatch>();
    std::vector<std::pair<wchar_t, size_t>> drives;
    {
        std::lock_guard lock(DriveLock);
        for (auto& [letter, info] : Drives()) {
            if (!info.announced) continue;
            if (std::find(g_unanswered.begin(), g_unanswered.end(), letter) != g_unanswered.end()) {
                Trace(L"VNKDShutdown: drive %c: did not answer the lock pass, not asked again\n", letter);
                continue;
            }
            drives.emplace_back(letter, batch->Add(letter));
        }
    }
    for (const auto& [letter, slot] : drives) {
        const bool started = RunOnWorker([batch, letter = letter, slot = slot] {
            const DeviceHandle device = DeviceHandle::Open(letter);
            bool withdrawn = false;
            if (device.valid()) {
                Trace(L"VNKDCleanup: got handle 0x%lx\n",
                      static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(device.get())));
                withdrawn = device.Control(IOCTL_VNK_WITHDRAW) != FALSE;
            }
            batch->Complete(slot, withdrawn ? ERROR_SUCCESS : ::GetLastError());
        });
        if (!started) batch->Complete(slot, ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!batch->Wait(timeoutMs)) Trace(L"VNKDShutdown: withdrawals did not all answer in time\n");
    for (const auto& [letter, error] : batch->Failures())
        Trace(L"VNKDShutdown: announcement of drive %c: not withdrawn (%u)\n", letter, error);
}

}  // namespace detail

// How long the exit waits for a probe that looks at the drives before its
// lock pass: a probe must announce nothing after the withdrawals.
constexpr DWORD kExitProbeWaitMs = 2000;

std::vector<std::pair<wchar_t, DWORD>> VNKDCleanup() {
    g_cleanupDone = true;
    CloseProbes(kExitProbeWaitMs);
    const auto pass = EjectEveryLoggedInDisc(L"VNKDCleanup", 2, nullptr, true);
    if (!pass) return {};
    pass->Wait(kExitLockMs);
    auto failures = pass->Failures();
    for (const auto& [letter, error] : failures)
        Trace(L"VNKDCleanup: drive %c: not locked (%u)\n", letter, error);
    // Those not locked yet because they did not answer keep being ejected
    // on their workers; only the shutdown's wait skips them.
    for (const auto& [letter, error] : pass->Failures())
        if (error == kDidNotAnswer) g_unanswered.push_back(letter);
    return failures;
}

}  // namespace vnk
