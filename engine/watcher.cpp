// A drive's watcher: waits at once for the drive's driver event and for its
// own thread messages; posts one notice per signal of the event and ends.
// It never makes a device call itself (an eject goes to a worker), so it
// answers its stop message at once whatever a drive does.
#include <mutex>

#include "common/messages.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/drive_work.h"
#include "engine/driver.h"
#include "fw/thread.h"
#include "fw/wnd.h"

namespace vnk {

namespace {

enum class Wake { Event, Input };

// Waits for the record's event or for new input. A wait that fails at once
// (no event, or a handle that is gone) falls back to waiting for input
// only, so that the watcher still serves its messages without spinning.
Wake WaitForEventOrInput(HANDLE event) {
    if (event != nullptr) {
        const DWORD r = ::MsgWaitForMultipleObjectsEx(1, &event, INFINITE, QS_ALLINPUT, 0);
        if (r == WAIT_OBJECT_0) return Wake::Event;
        if (r == WAIT_OBJECT_0 + 1) return Wake::Input;
    }
    ::MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, 0);
    return Wake::Input;
}

}  // namespace

UINT DriveWatcherProc(LPVOID param) {
    const auto letter = static_cast<wchar_t>(reinterpret_cast<UINT_PTR>(param));

    vnk::fw::Thread* self = vnk::fw::CurrentThread();
    const HWND mainWindow =
        self != nullptr && self->GetMainWnd() != nullptr ? self->GetMainWnd()->m_hWnd : nullptr;

    // Only the main thread changes the table; the look-up takes the lock so
    // that it never reads the map while a re-probe rebalances it.
    DriveInfo* info = nullptr;
    {
        std::lock_guard lock(DriveLock);
        info = Drives().Find(letter);
    }
    if (info == nullptr) return kWatcherNoRecord;

    MSG msg;
    ::PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_NOREMOVE);

    // Every way out goes through here. Under DriveLock the watcher says that
    // it takes no more requests (a login box then ejects by itself); the
    // requests that came before are still served.
    const auto finish = [&](UINT code, bool fired) {
        {
            std::lock_guard lock(DriveLock);
            if (info->watcher.get() == self) {
                info->watcherServes = false;
                if (fired) info->watcherFired = true;
            }
        }
        if (fired) {
            if (mainWindow == nullptr) {
                Trace(L"DriveWatcherProc: no main window, event of drive %c: not passed on\n", letter);
            } else if (!::PostMessageW(mainWindow, UWM_VARNOKD_EVENT_TRIGGERED, letter, 0)) {
                Trace(L"DriveWatcherProc: event of drive %c: not passed on (%lu)\n", letter, ::GetLastError());
            }
        }
        while (::PeekMessageW(&msg, nullptr, WM_WATCHER_EJECT, WM_WATCHER_EJECT, PM_REMOVE)) EjectDiscOnWorker(letter);
        return code;
    };

    for (;;) {
        // Serve every request of our range that waits in the queue: the
        // wait below wakes only for input that came after the last look at
        // the queue, so a request already there must not be left for it.
        while (::PeekMessageW(&msg, nullptr, WM_WATCHER_STOP, WM_WATCHER_EJECT, PM_REMOVE)) {
            if (msg.message == WM_WATCHER_STOP) return finish(kWatcherStopped, false);
            if (msg.message == WM_WATCHER_EJECT) EjectDiscOnWorker(letter);
        }
        if (!WatchersMayRun.load()) return finish(kWatcherDone, false);

        // Read for each wait. The event is replaced or closed only after
        // this thread has been stopped, so it stays valid while we wait.
        const HANDLE event = info->event.get();
        if (WaitForEventOrInput(event) == Wake::Event) {
            {
                std::lock_guard lock(DriveLock);
                ::ResetEvent(event);
            }
            return finish(kWatcherDone, true);
        }
    }
}

}  // namespace vnk
