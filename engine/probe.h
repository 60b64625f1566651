// Finding the CD/DVD drives and announcing the client to the filter driver
// on each. The probe runs on a worker (VNKDProbeForDrivesOnWorker), one at
// a time; the status window never waits for it.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <functional>
#include <memory>

#include "fw/thread.h"

namespace vnk {

// Makes a drive's login thread, suspended; the probe switches its
// auto-delete off, stores it in the drive's record and resumes it. The
// login layer lives above the engine, so the application hands the probe
// this at start-up; without one, drives get no login thread.
using LoginThreadFactory = std::unique_ptr<vnk::fw::Thread> (*)();
void SetLoginThreadFactory(LoginThreadFactory factory);

// Reprobe 0: the first probe of the process (the table starts empty);
// nonzero: a later probe, which also drops the drives that are gone.
// Each drive is looked at on a worker of its own, side by side; the probe
// waits for them a bounded time, and a drive that answers later finishes
// on its own (its threads, its warnings, the window told). Returns 0 when
// the first probe finds CD/DVD drives and none of them answers the filter
// driver's requests (the driver is not installed); 1 otherwise.
int VNKDProbeForDrives(int Reprobe);

// What a re-probe does with the login boxes before it looks at the drives:
// leaves them, or closes (through their eject path) the boxes of drives
// that are really gone. A box of a drive that is still there stays open
// whatever the notice said: anyone can send one.
enum class ReprobeBoxes { Keep, CloseOnlyGone };

// The probe on a worker, so that the calling (main) thread never waits on
// a drive: the boxes are told to close as `boxes` says, then the probe
// runs, and its result goes to `done`, on the worker, once per probe run.
// The result is handed over in the process, never in a window message's
// parameters, which any program can forge. A re-probe asked for while a
// probe runs (also while its warnings wait for the user) is run by that
// probe's worker once it ends. False when nothing was started now: a probe
// is under way already, probes are closed (the exit has begun) or no
// worker could be had.
using ProbeDone = std::function<void(int result)>;
bool VNKDProbeForDrivesOnWorker(int Reprobe, ProbeDone done, ReprobeBoxes boxes);

// The exit: from now on no probe announces a drive or starts a thread, and
// a probe that looks at the drives is waited for, at most `timeoutMs`.
// False when one still looks (what it announces then, it withdraws itself).
bool CloseProbes(DWORD timeoutMs);
// Lets probes run again after CloseProbes (a test's next engine run).
void ReopenProbesForTesting();

// A new GUID in `guid` and the auto-reset event named after it, open to
// this process's user and SYSTEM only. A name that exists already is
// somebody else's: it is let go and another GUID tried. Null when no GUID
// or no event of our own could be had, with the reason in GetLastError.
HANDLE NewAnnouncementEvent(GUID& guid, const std::function<HRESULT(GUID*)>& newGuid = ::CoCreateGuid);

// Whether a drive of the table is really gone: its device does not open
// because it is not found, or the letter is no longer a CD/DVD drive. A
// drive that is busy, shared away or locked out is not gone (traced with
// the caller's name).
bool DriveIsGone(wchar_t letter, const wchar_t* caller);

}  // namespace vnk
