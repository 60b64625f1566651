// Work on the drives away from the main thread. Device calls run on
// workers that nobody waits for. DriveLock is never held across one: a
// worker takes what it needs under the lock, calls outside it, and writes
// the result back under it only if the record is still the one it started
// from (DriveInfo::id); a late result for a record that was removed or
// replaced is dropped (its handle closed, nothing written).
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "fw/handles.h"

namespace vnk {

// Runs `work` on a worker thread that nobody waits for (one of the
// framework's pool, vnk::fw::TheWorkerPool): at once on a thread that waits
// for work, or within the pool's grow time on a new one. False (and nothing
// run) when no thread could be had. An exception that leaves `work` is
// traced and ends only that piece of work.
bool RunOnWorker(std::function<void()> work);

// Tells the window that drive answers came in (WM_DRIVE_RESULTS); nothing
// for a null window.
void PostDriveResults(HWND notify);

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
    // Manual-reset, set once every drive answered; goes with the last owner.
    vnk::fw::UniqueHandle m_done;
};

}  // namespace vnk
