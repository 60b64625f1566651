// Messages between the program's threads.
#pragma once

#include <windows.h>

// Registered window messages, obtained once during static initialisation.
extern const UINT UWM_VARNOKD_EVENT_TRIGGERED;  // watcher -> status window: wParam drive letter
extern const UINT UWM_VARNOKD_UPDATE_STATUS;    // status window -> itself: rebuild the list

// Thread messages of a drive's watcher thread.
constexpr UINT WM_WATCHER_STOP = WM_APP;       // end
constexpr UINT WM_WATCHER_EJECT = WM_APP + 1;  // eject the drive's disc

// Thread messages of a drive's login thread.
constexpr UINT WM_LOGIN_SHOW = WM_APP;       // wParam drive letter: show the login box
constexpr UINT WM_LOGIN_CLOSE = WM_APP + 1;  // close the login box (its cancel path)

// Window message of the status window: a worker has written drive results
// (a status read, a lock pass's eject) into the table; wParam, lParam 0.
// Acted on only when a batch the window started has new answers.
constexpr UINT WM_DRIVE_RESULTS = WM_APP + 0x20;

// Window message of the status window: a probe on a worker has ended;
// wParam, lParam 0. The result is kept in the window's own record of the
// probes it started; a notice that finds none there is another program's.
constexpr UINT WM_PROBE_DONE = WM_APP + 0x21;
