// The drives' own threads and the engine's shutdown. Each record has a
// watcher (DriveWatcherProc, engine/watcher.cpp: waits on the drive's
// event, its stop event and its queue; owned by the record, stopped and
// waited for with a bound, never under DriveLock) and a login thread (a
// CVNKDLogin made by the application's factory; owned by the record, ended
// by its stop event). Neither makes a device call: drive work goes to
// workers (engine/worker.h).
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "engine/drive_table.h"
#include "fw/thread.h"

namespace vnk {

// The watcher thread procedure; the parameter carries the drive letter.
UINT DriveWatcherProc(LPVOID param);

// Exit codes of DriveWatcherProc.
constexpr UINT kWatcherStopped = 0;
constexpr UINT kWatcherDone = 1;
constexpr UINT kWatcherNoRecord = 0xFFFFFFFF;

// Asks the record's watcher to eject the disc: counts the request and
// posts WM_WATCHER_EJECT without waiting. False (nothing counted) when no
// stored watcher serves requests or the post failed: the caller ejects.
// The caller holds DriveLock.
bool AskWatcherToEject(DriveInfo& info);
// On a watcher, for each WM_WATCHER_EJECT it removed: whether it was one
// of ours (a counted request of the record with `id` is taken). Takes
// DriveLock.
bool TakeEjectRequest(std::uint64_t id);

// Waits until the record's login box no longer holds its volume (or the
// record has gone), at most `timeoutMs`; false when it still holds it.
// Never call it while holding DriveLock.
bool WaitForBoxToLetGo(std::uint64_t id, DWORD timeoutMs);

// Asks a drive's login thread to show its box (WM_LOGIN_SHOW with the
// letter) or to close it (WM_LOGIN_CLOSE): the request is counted in the
// drive's record under DriveLock and posted. A thread just started that has
// no queue yet is waited for after leaving the lock, at most
// Thread::kQueueWaitMs; never call it while holding DriveLock. False when
// the drive has no login thread or the post failed (the count is taken
// back).
bool AskLoginThread(wchar_t letter, UINT message);
// On a login thread, for a WM_LOGIN_SHOW or WM_LOGIN_CLOSE it got: the
// letter of the record whose login thread it is, if the message was one of
// ours (a counted request is taken; for WM_LOGIN_SHOW only when
// `letter` is that record's letter). Takes DriveLock.
std::optional<wchar_t> TakeLoginRequest(const vnk::fw::Thread& thread, UINT message, wchar_t letter);

// Starts a record's watcher: created suspended, stored, resumed.
// The caller holds DriveLock.
void StartWatcher(wchar_t letter, DriveInfo& info);

// Takes a record's watcher out of the record without waiting for it: it
// has fired (and posted its notice) or ended, so it needs nothing more
// from anyone. One whose thread still runs is kept in retiredWatchers.
// The caller holds DriveLock.
void RetireWatcher(DriveInfo& info);

// Stops every watcher of the table, current and retired, and waits for
// them. Takes DriveLock only to take them out of the records, so never
// call it while holding it.
void StopAllWatchers();

// After a watcher's notice (UWM_VARNOKD_EVENT_TRIGGERED with the letter):
// only when a watcher of the drive's record really fired, its login thread
// is asked to show the box and, if the fired watcher is still the stored
// one, the drive gets a fresh watcher; a notice no watcher sent (another
// program's) shows nothing and changes nothing. True when the notice was
// a watcher's. Main thread.
bool AnswerWatcherNotice(wchar_t letter);

// How long the engine's shutdown waits for its threads and withdrawals in all.
constexpr DWORD kShutdownStopMs = 5000;

// The engine's shutdown: the exit's lock pass (engine/lock_pass.h) if it
// has not run yet; then stops every drive's watcher and login thread (outside DriveLock), waiting
// at most kShutdownStopMs in all (a thread that does not end by then is
// let go, never waited for again); withdraws what the lock pass could not;
// empties the table, closing the events. Main thread only.
void VNKDShutdown();

// Owns the running engine on behalf of the application: its end is the
// engine's shutdown.
class EngineRun {
public:
    EngineRun() = default;
    EngineRun(const EngineRun&) = delete;
    EngineRun& operator=(const EngineRun&) = delete;
    ~EngineRun() { VNKDShutdown(); }
};

}  // namespace vnk
