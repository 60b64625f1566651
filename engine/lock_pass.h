// The passes that lock every disc: Emergency Lock, the session's end and
// the exit (VNKDCleanup); and the eject of one drive on a worker.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/worker.h"

namespace vnk {

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
// For the login session: the count of lock passes begun so far, and the
// answer of a drive's work to the passes that wait for it.
unsigned LockGeneration();
void AnswerPassesWaitingFor(std::uint64_t id, wchar_t letter, DWORD error);
}  // namespace detail

// How long the exit's lock pass waits for the drives.
constexpr DWORD kExitLockMs = 4000;

// The exit's lock pass: withdraws every announcement and ejects every disc
// that may be logged in, every drive at once, waiting at most kExitLockMs
// (a failed open or eject is tried once more). Returns the drives that
// could not be locked (with why, or kDidNotAnswer). Main thread; once per
// run of the engine.
std::vector<std::pair<wchar_t, DWORD>> VNKDCleanup();

namespace detail {
// Whether the exit's lock pass has run in this run of the engine.
bool CleanupDone();
// Done, or not done (the next run of the engine, in tests, which may probe
// again).
void SetCleanupDone(bool done);
// Forgets the exit's lock pass after the shutdown; the probes stay closed.
void ForgetCleanup();
// Withdraws, every drive at once, the announcements that are still out,
// waiting at most `timeoutMs`.
void WithdrawRemaining(DWORD timeoutMs);
}  // namespace detail

}  // namespace vnk
