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

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vnk {

// Runs `work` on a thread of its own that nobody waits for. False (and
// nothing run) when no thread could be made. An exception that leaves
// `work` is traced and ends only that thread.
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
        bool awaited = false;         // answered by work already under way on the drive
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
    size_t Add(wchar_t letter, bool awaited = false);
    void Complete(size_t slot, DWORD error);
    // The work already under way on a drive (its login box's, or an
    // eject on a worker) answers for it.
    bool CompleteAwaited(wchar_t letter, DWORD error);
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
// again, after a pause, or, when the drive's own login box holds its
// volume, once the box has let it go (never sleeping on our own lock); a
// failed eject is tried `attempts` times in all. A drive whose eject (or
// login) is already under way is not started again: the pass waits for
// that work's answer. A drive becomes NoDisc only once its eject
// succeeded; otherwise it is (or stays) LoggedIn. A drive forgotten since
// the last pass because its device was confirmed gone is named once. With
// `withdraw` (the engine's shutdown), every drive's announcement is
// withdrawn on the way, after its status was read. Each drive's answer is
// written to its record and posted to `notify` (WM_DRIVE_RESULTS), also
// after the caller has stopped waiting. Returns at once; the caller waits
// as long as it may. Never throws: a pass that cannot start a drive's work
// reports that drive as not locked.
std::shared_ptr<DriveBatch> EjectEveryLoggedInDisc(const wchar_t* caller, int attempts, HWND notify = nullptr,
                                                   bool withdraw = false);

// Ejects the disc of the record `id` (at `letter`) on a worker (on the
// calling thread only if no worker can be had) and records the outcome:
// NoDisc once the eject succeeded, else LoggedIn for a disc that may be
// logged in. Nothing is started while an eject of that drive is under way.
void EjectOnWorker(wchar_t letter, std::uint64_t id, const wchar_t* caller);

// A drive that a re-probe forgot although its disc may have been logged
// in, because its device was confirmed gone: the next lock pass names it
// once. The caller holds DriveLock.
void NoteForgottenDrive(wchar_t letter);

namespace detail {
// Forgets the drives a lock pass was to name and the passes that wait for
// drives' work: a test's next engine run starts clean.
void ResetLockPassesForTesting();
}  // namespace detail

// After a watcher's notice (UWM_VARNOKD_EVENT_TRIGGERED with the letter):
// only when the drive's current watcher really fired, its login thread is
// asked to show the box and the drive gets a fresh watcher; a notice no
// watcher of the drive's record sent (another program's, or one of a
// watcher that a re-probe replaced) shows nothing and changes nothing.
// True when the notice was the watcher's. Main thread.
bool AnswerWatcherNotice(wchar_t letter);

// The engine's side of one showing of a drive's login box: the box calls
// it between its steps, and it alone decides, under DriveLock, whether a
// lock pass that began since the box was shown means the disc must go.
// A pass that begins after the box was shown must find the disc ejected or
// ejecting: the box then never records LoggedIn. The session refers to
// the record by its id: a box of a drive that went never writes to a
// later record of the same letter.
class LoginSession {
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
    // The box's own eject request, once it has let the volume go: the
    // drive's watcher ejects if it serves, else a worker does. The status
    // changes only when the eject has answered.
    void RequestEject() const;

private:
    wchar_t m_letter = 0;
    std::uint64_t m_id = 0;
    unsigned m_generation = 0;
};

}  // namespace vnk
