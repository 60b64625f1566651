// Work on the drives away from the main thread, and the rules that the
// login and application layers keep through the engine: the watcher
// hand-off of an eject, the mark of a login under way, the lock passes.
//
// Device calls run on worker threads. DriveLock is never held across one:
// a worker takes what it needs under the lock, calls outside it, and
// writes the result back under it only if the record is still the one it
// started from (DriveInfo::id); a late result for a record that was
// removed or replaced is dropped (its handle closed, nothing written).
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vnk {

// Runs `work` at once on a worker thread of its own that nobody waits for
// (one of the framework's pool, vnk::fw::TheWorkerPool). False (and nothing
// run) when no thread could be had. An exception that leaves `work` is
// traced and ends only that piece of work.
bool RunOnWorker(std::function<void()> work);

// The error a drive is reported with when it did not answer in time.
constexpr DWORD kDidNotAnswer = ERROR_TIMEOUT;

// Drive tasks started together (a status refresh, a lock pass); each drive
// answers once. Shared by its starter and its workers, so that a starter
// that stops waiting leaves the workers nothing dangling.
class DriveBatch {
public:
    struct Answer {
        wchar_t letter = 0;
        bool answered = false;
        DWORD error = ERROR_SUCCESS;  // ERROR_SUCCESS: done (locked, read)
        bool awaitsLogin = false;     // answered by the drive's login box
    };

    DriveBatch();
    ~DriveBatch();
    DriveBatch(const DriveBatch&) = delete;
    DriveBatch& operator=(const DriveBatch&) = delete;

    bool Done() const;
    // Waits until every drive has answered, at most `timeoutMs`, answering
    // the messages that other threads send to this thread's windows. True
    // when every drive answered.
    bool Wait(DWORD timeoutMs) const;
    std::vector<Answer> Answers() const;
    // The drives that failed (with why) or have not answered yet (with
    // kDidNotAnswer), in letter order.
    std::vector<std::pair<wchar_t, DWORD>> Failures() const;

    // For the engine's workers.
    size_t Add(wchar_t letter, bool awaitsLogin = false);
    void Complete(size_t slot, DWORD error);
    // The drive's login box answers for a drive whose login was under way.
    bool CompleteForLogin(wchar_t letter, DWORD error);
    // Every drive not answered yet is answered with `error`.
    void CompleteAll(DWORD error);

private:
    void UpdateDoneLocked();

    mutable std::mutex m_mutex;
    std::vector<Answer> m_answers;
    HANDLE m_done;  // manual-reset, set once every drive answered; never closed while shared
};

// Ejects, each on a thread of its own and at the same time, the disc of
// every drive that is or may be logged in: by the table's status, by the
// status the driver answers now (read on the same handle), or because its
// login is under way. A login box that waits for its passphrase is told
// to close through its eject path first. An open that fails is tried
// again; a failed eject is tried `attempts` times in all. A drive becomes
// NoDisc once its eject succeeded; otherwise it is (or stays) LoggedIn.
// With `withdraw` (the engine's shutdown), every drive's announcement is
// withdrawn on the way. Each drive's answer is written to its record and
// posted to `notify` (WM_DRIVE_RESULTS), also after the caller has
// stopped waiting. Returns at once; the caller waits as long as it may.
// Never throws: a pass that cannot start a drive's work reports that
// drive as not locked.
std::shared_ptr<DriveBatch> EjectEveryLoggedInDisc(const wchar_t* caller, int attempts, HWND notify = nullptr,
                                                   bool withdraw = false);

// Ejects a drive's disc on a worker (on the calling thread only if no
// worker can be had); the result is not examined.
void EjectDiscOnWorker(wchar_t letter);

// A login box's eject request: under DriveLock the drive's watcher is
// asked, if it serves; otherwise (none, one that fired or ended, a failed
// post) the disc is ejected on a worker. The status becomes NoDisc.
void RequestEject(wchar_t letter);

// Writes a drive's status, if it has a record.
void SetDriveStatus(wchar_t letter, DWORD status);

// After a watcher's notice: replaces the drive's watcher if it is the one
// that fired; a notice of a watcher that a re-probe replaced meanwhile
// starts nothing. Main thread.
void RenewFiredWatcher(wchar_t letter);

// What a login box holds of the lock passes while it is shown. A pass
// that begins after the box was shown must find the disc ejected or
// ejecting: the box then never records LoggedIn.
class LoginShowing {
public:
    // The box of `letter` is shown now.
    void Begin(wchar_t letter);
    // Whether a lock pass began since the box was shown.
    bool LockPassSince() const;
    // The box holds (or no longer holds) the volume locked.
    void SetVolumeLocked(bool locked) const;
    // Just before the passphrase goes to the driver: marks the login as
    // under way, so that lock passes count the drive. False (nothing
    // marked) when a lock pass began since the box was shown.
    bool BeginLogin() const;
    // The driver accepted: records LoggedIn and ends the mark, unless a
    // lock pass began since the box was shown (then false, nothing
    // recorded; the box ejects and reports with EjectedAfterLockPass).
    bool RecordLoggedIn() const;
    // The driver refused: the disc is not logged in. Ends the mark.
    void LoginRefused() const;
    // The box ejected the disc itself because a lock pass began: NoDisc on
    // success, else LoggedIn; ends the mark and answers the passes that
    // wait for this drive.
    void EjectedAfterLockPass(DWORD error) const;

private:
    wchar_t m_letter = 0;
    unsigned m_generation = 0;
};

}  // namespace vnk
