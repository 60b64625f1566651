#include "engine/drive_work.h"

#include <process.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>

#include "common/messages.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/driver.h"
#include "fw/security.h"

namespace vnk {

namespace {

// Counts the lock passes; each adds 1 before it looks at any drive. A
// login box shown before the latest pass must not leave its disc logged in.
std::atomic<unsigned> g_lockGeneration{0};

// The lock passes that wait for a login box's answer, by drive. Guarded by
// DriveLock.
struct AwaitingLogin {
    wchar_t letter;
    std::weak_ptr<DriveBatch> pass;
};
std::vector<AwaitingLogin> g_awaitingLogin;

// How long a pass waits before it opens a drive again: a drive that is
// mounting a disc refuses opens for about half a second.
constexpr DWORD kReopenPauseMs = 500;
constexpr int kOpenAttempts = 2;

unsigned __stdcall WorkerEntry(void* param) {
    const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(param));
    try {
        (*work)();
    } catch (...) {
        Trace(L"RunOnWorker: the work ended by an exception\n");
    }
    return 0;
}

unsigned long TraceValue(HANDLE handle) { return static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(handle)); }

void Notify(HWND notify) {
    if (notify != nullptr) ::PostMessageW(notify, WM_DRIVE_RESULTS, 0, 0);
}

// Runs `write` on the record under DriveLock if it is still the one with
// `id`; a result for a record that went or was replaced is dropped.
template <class Write>
bool WriteBack(wchar_t letter, std::uint64_t id, Write write) {
    std::lock_guard lock(DriveLock);
    DriveInfo* info = Drives().Find(letter);
    if (info == nullptr || info->id != id) {
        Trace(L"DriveWork: result for drive %c: dropped, its record has gone\n", letter);
        return false;
    }
    write(*info);
    return true;
}

DeviceHandle OpenTryingAgain(wchar_t letter, const wchar_t* caller) {
    DeviceHandle device;
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        if (attempt > 1) ::Sleep(kReopenPauseMs);
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
    DeviceHandle device = OpenTryingAgain(letter, options.caller);
    if (!device.valid()) {
        // Nothing known says the disc is logged in: nothing to lock.
        return MayBeLoggedIn(task.tableStatus) ? device.error() : ERROR_SUCCESS;
    }
    if (options.withdraw) {
        Trace(L"VNKDCleanup: got handle 0x%lx\n", TraceValue(device.get()));
        if (device.Control(IOCTL_VNK_WITHDRAW))
            WriteBack(letter, task.id, [](DriveInfo& info) { info.announced = false; });
    }
    // The driver's answer now counts as much as the table's: either saying
    // "perhaps logged in" is enough to eject.
    const std::optional<DWORD> status = ReadDriveStatus(device);
    if (!MayBeLoggedIn(task.tableStatus) && status && !MayBeLoggedIn(*status)) return ERROR_SUCCESS;

    DWORD error = ERROR_SUCCESS;
    if (!device.Control(kIoctlStorageEjectMedia)) {
        error = ::GetLastError();
        Trace(L"%s: eject of drive %c: failed (%u), attempt 1\n", options.caller, letter, error);
        device.Close();
        if (options.attempts > 1) error = EjectLoggedInDisc(letter, options.caller, options.attempts - 1);
    }
    WriteBack(letter, task.id, [error](DriveInfo& info) {
        // Still (perhaps) logged in: the next pass tries again.
        info.status = error == ERROR_SUCCESS ? NoDisc : LoggedIn;
    });
    return error;
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
        pass->Complete(task.slot, error);
        Notify(options.notify);
    });
    if (!started) {
        Trace(L"%s: no worker for drive %c: (%lu)\n", options.caller, task.letter, ::GetLastError());
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

// Answers the passes that wait for this drive's login box.
void AnswerWaitingPasses(wchar_t letter, DWORD error) {
    std::vector<std::shared_ptr<DriveBatch>> passes;
    {
        std::lock_guard lock(DriveLock);
        for (auto it = g_awaitingLogin.begin(); it != g_awaitingLogin.end();) {
            auto pass = it->pass.lock();
            if (!pass || it->letter == letter) {
                if (pass) passes.push_back(std::move(pass));
                it = g_awaitingLogin.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& pass : passes) pass->CompleteForLogin(letter, error);
}

}  // namespace

bool RunOnWorker(std::function<void()> work) {
    auto owned = std::make_unique<std::function<void()>>(std::move(work));
    // With the framework's thread security: other programs may not
    // suspend, steer or end a worker (one stalled in a device call, say).
    const uintptr_t thread =
        ::_beginthreadex(vnk::fw::DefaultThreadSecurity(), 0, &WorkerEntry, owned.get(), 0, nullptr);
    if (thread == 0) return false;
    owned.release();  // the thread owns it now
    ::CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

DriveBatch::DriveBatch() : m_done(::CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

bool DriveBatch::Done() const { return ::WaitForSingleObject(m_done, 0) == WAIT_OBJECT_0; }

bool DriveBatch::Wait(DWORD timeoutMs) const {
    if (m_done == nullptr) return Done();
    return vnk::fw::WaitAnsweringSent(m_done, timeoutMs) == WAIT_OBJECT_0;
}

std::vector<DriveBatch::Answer> DriveBatch::Answers() const {
    std::lock_guard lock(m_mutex);
    return m_answers;
}

std::vector<std::pair<wchar_t, DWORD>> DriveBatch::Failures() const {
    std::vector<std::pair<wchar_t, DWORD>> failures;
    for (const Answer& answer : Answers()) {
        if (!answer.answered) {
            failures.emplace_back(answer.letter, kDidNotAnswer);
        } else if (answer.error != ERROR_SUCCESS) {
            failures.emplace_back(answer.letter, answer.error);
        }
    }
    std::sort(failures.begin(), failures.end());
    return failures;
}

size_t DriveBatch::Add(wchar_t letter, bool awaitsLogin) {
    std::lock_guard lock(m_mutex);
    m_answers.push_back({letter, false, ERROR_SUCCESS, awaitsLogin});
    UpdateDoneLocked();
    return m_answers.size() - 1;
}

void DriveBatch::Complete(size_t slot, DWORD error) {
    std::lock_guard lock(m_mutex);
    if (slot >= m_answers.size() || m_answers[slot].answered) return;
    m_answers[slot].answered = true;
    m_answers[slot].error = error;
    UpdateDoneLocked();
}

bool DriveBatch::CompleteForLogin(wchar_t letter, DWORD error) {
    std::lock_guard lock(m_mutex);
    bool found = false;
    for (Answer& answer : m_answers) {
        if (answer.letter != letter || !answer.awaitsLogin || answer.answered) continue;
        answer.answered = true;
        answer.error = error;
        found = true;
    }
    UpdateDoneLocked();
    return found;
}

void DriveBatch::CompleteAll(DWORD error) {
    std::lock_guard lock(m_mutex);
    for (Answer& answer : m_answers) {
        if (answer.answered) continue;
        answer.answered = true;
        answer.error = error;
    }
    UpdateDoneLocked();
}

void DriveBatch::UpdateDoneLocked() {
    if (m_done == nullptr) return;
    const bool done = std::all_of(m_answers.begin(), m_answers.end(), [](const Answer& a) { return a.answered; });
    if (done) {
        ::SetEvent(m_done);
    } else {
        ::ResetEvent(m_done);
    }
}

// The event goes with the last owner; nobody waits on it then.
DriveBatch::~DriveBatch() {
    if (m_done != nullptr) ::CloseHandle(m_done);
}

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
    try {
        std::vector<LockTask> tasks;
        std::vector<wchar_t> letters;
        tasks.reserve(26);
        letters.reserve(26);
        {
            std::lock_guard lock(DriveLock);
            for (auto& [letter, info] : Drives()) {
                letters.push_back(letter);
                if (info.loginInFlight) {
                    // The box holds the volume locked and ejects through its
                    // own handle when the driver answers; it answers for it.
                    pass->Add(letter, true);
                    g_awaitingLogin.push_back({letter, pass});
                    continue;
                }
                tasks.push_back({letter, info.id, info.status, pass->Add(letter)});
            }
        }
        // At exit the boxes end with their threads, without their eject path.
        if (!withdraw) CloseLoginBoxes(letters);
        for (const LockTask& task : tasks) StartLockWork(pass, task, options);
    } catch (...) {
        // Whatever was not reached is reported as not locked.
        Trace(L"%s: the lock pass ended by an exception\n", caller);
        pass->CompleteAll(ERROR_INTERNAL_ERROR);
    }
    return pass;
}

std::shared_ptr<DriveBatch> VNKDUpdateDriveStatus(HWND notify) {
    auto batch = std::make_shared<DriveBatch>();
    struct Task {
        wchar_t letter;
        std::uint64_t id;
        size_t slot;
    };
    std::vector<Task> tasks;
    {
        std::lock_guard lock(DriveLock);
        for (auto& [letter, info] : Drives()) {
            // A drive that has not answered the last read gets no second.
            if (info.statusReadBusy) continue;
            info.statusReadBusy = true;
            tasks.push_back({letter, info.id, batch->Add(letter)});
        }
    }
    for (const Task& task : tasks) {
        const bool started = RunOnWorker([batch, task, notify] {
            const DeviceHandle device = DeviceHandle::Open(task.letter);
            Trace(L"VNKDUpdateDriveStatus: got handle 0x%lx\n", TraceValue(device.get()));
            // A status that cannot be read is no reason to believe the disc
            // is not logged in: the record then says so, and the lock
            // passes eject.
            std::optional<DWORD> status;
            if (device.valid()) status = ReadDriveStatus(device).value_or(kStatusUnreadable);
            WriteBack(task.letter, task.id, [&](DriveInfo& info) {
                info.statusReadBusy = false;
                if (status) info.status = *status;
            });
            batch->Complete(task.slot, device.valid() ? ERROR_SUCCESS : device.error());
            Notify(notify);
        });
        if (!started) {
            WriteBack(task.letter, task.id, [](DriveInfo& info) { info.statusReadBusy = false; });
            batch->Complete(task.slot, ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    return batch;
}

void EjectDiscOnWorker(wchar_t letter) {
    if (!RunOnWorker([letter] { EjectDisc(letter); })) EjectDisc(letter);
}

void RequestEject(wchar_t letter) {
    bool ejectHere = false;
    {
        std::lock_guard lock(DriveLock);
        DriveInfo* info = Drives().Find(letter);
        if (info == nullptr) return;
        // A watcher serves requests only until it fires or ends, and says
        // so under this lock; with none that will (a re-probe has stopped
        // it, or it has fired and is ending), the disc must go all the same.
        // The post waits for nothing under the lock: a watcher just started
        // that has no message queue yet leaves the eject to a worker.
        ejectHere = !AskWatcherToEject(*info);
        info->status = NoDisc;
    }
    if (ejectHere) EjectDiscOnWorker(letter);
}

void SetDriveStatus(wchar_t letter, DWORD status) {
    std::lock_guard lock(DriveLock);
    if (DriveInfo* info = Drives().Find(letter)) info->status = status;
}

void RenewFiredWatcher(wchar_t letter) {
    std::lock_guard lock(DriveLock);
    DriveInfo* info = Drives().Find(letter);
    if (info == nullptr) return;
    if (!info->watcherFired) {
        // The notice came from a watcher that a re-probe has replaced since:
        // the drive's current watcher still waits and stays.
        Trace(L"Varnokd: OnEventTriggered: drive %c: notice of an earlier watcher\n", letter);
        return;
    }
    // The fired watcher has posted its notice and is ending; it is not
    // waited for here, under DriveLock.
    RetireWatcher(*info);
    StartWatcher(letter, *info);
}

void LoginShowing::Begin(wchar_t letter) {
    m_letter = letter;
    m_generation = g_lockGeneration.load();
}

bool LoginShowing::LockPassSince() const { return g_lockGeneration.load() != m_generation; }

void LoginShowing::SetVolumeLocked(bool locked) const {
    std::lock_guard lock(DriveLock);
    if (DriveInfo* info = Drives().Find(m_letter)) info->lockedByLoginBox = locked;
}

bool LoginShowing::BeginLogin() const {
    std::lock_guard lock(DriveLock);
    // Checked under the lock: a pass that begins after this finds the mark.
    if (LockPassSince()) return false;
    if (DriveInfo* info = Drives().Find(m_letter)) info->loginInFlight = true;
    return true;
}

bool LoginShowing::RecordLoggedIn() const {
    std::lock_guard lock(DriveLock);
    // Checked under the lock: a lock pass that begins after this finds the
    // drive LoggedIn and ejects it itself.
    if (LockPassSince()) return false;
    if (DriveInfo* info = Drives().Find(m_letter)) {
        info->status = LoggedIn;
        info->loginInFlight = false;
    }
    return true;
}

void LoginShowing::LoginRefused() const {
    {
        std::lock_guard lock(DriveLock);
        if (DriveInfo* info = Drives().Find(m_letter)) info->loginInFlight = false;
    }
    AnswerWaitingPasses(m_letter, ERROR_SUCCESS);
}

void LoginShowing::EjectedAfterLockPass(DWORD error) const {
    {
        std::lock_guard lock(DriveLock);
        if (DriveInfo* info = Drives().Find(m_letter)) {
            info->loginInFlight = false;
            // A disc that did not go stays LoggedIn, so the next pass tries again.
            info->status = error == ERROR_SUCCESS ? NoDisc : LoggedIn;
        }
    }
    AnswerWaitingPasses(m_letter, error);
}

}  // namespace vnk
