// A drive's watcher: waits at once for the drive's driver event, its private
// stop event and its own thread messages; posts one notice per signal of
// the event and ends. It never makes a device call itself (an eject goes to
// a worker), so it answers its stop at once whatever a drive does. It finds
// its record by the record's id each time: a watcher that was let go never
// touches a record that has gone.
#include <cstdint>
#include <mutex>

#include "common/messages.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/lock_pass.h"
#include "fw/thread.h"
#include "fw/wnd.h"

namespace vnk {

namespace {

enum class Wake { Stop, Event, Input };

// Waits for the watcher's private stop event, the record's event or new
// input. A wait that fails at once (no event, or a handle that is gone)
// falls back to waiting for the stop event and input only, so that the
// watcher still serves its messages without spinning.
Wake WaitForEventOrInput(HANDLE stop, HANDLE event) {
    if (event != nullptr) {
        const HANDLE handles[2] = {stop, event};
        const DWORD r = ::MsgWaitForMultipleObjectsEx(2, handles, INFINITE, QS_ALLINPUT, 0);
        if (r == WAIT_OBJECT_0) return Wake::Stop;
        if (r == WAIT_OBJECT_0 + 1) return Wake::Event;
        if (r == WAIT_OBJECT_0 + 2) return Wake::Input;
    }
    return ::MsgWaitForMultipleObjectsEx(1, &stop, INFINITE, QS_ALLINPUT, 0) == WAIT_OBJECT_0 ? Wake::Stop
                                                                                                : Wake::Input;
}

}  // namespace

UINT DriveWatcherProc(LPVOID param) {
    const auto letter = static_cast<wchar_t>(reinterpret_cast<UINT_PTR>(param));

    vnk::fw::Thread* self = vnk::fw::CurrentThread();
    if (self == nullptr) return kWatcherNoRecord;  // only ever run as a framework thread
    const HWND mainWindow =
        self->GetMainWnd() != nullptr ? self->GetMainWnd()->m_hWnd : nullptr;

    // A probe on a worker changes the table: every look-up takes the lock.
    // The record is the one that holds this thread; it is found again by
    // its id, which a later record of the same letter never has.
    std::uint64_t id = 0;
    HANDLE event = nullptr;
    {
        std::lock_guard lock(DriveLock);
        const DriveInfo* info = Drives().Find(letter);
        if (info == nullptr) return kWatcherNoRecord;
        id = info->id;
        // Replaced or closed only after this thread has been stopped.
        event = info->event.get();
    }

    MSG msg;
    ::PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_NOREMOVE);

    // An eject is done only on a request that this process counted; the
    // message alone may come from any program.
    const auto serveEject = [&] {
        if (TakeEjectRequest(id)) {
            EjectOnWorker(letter, id, L"DriveWatcherProc");
        } else {
            Trace(L"DriveWatcherProc: drive %c: an eject message nobody here asked for, ignored\n", letter);
        }
    };

    // Every way out goes through here. Under DriveLock the watcher says that
    // it takes no more requests (a login box then ejects by itself); the
    // requests that came before are still served.
    const auto finish = [&](UINT code, bool fired) {
        // The notice is counted in the record whether or not this watcher is
        // still its current one: a re-probe may have taken it out just before
        // it fired, and the event it reset will not fire again.
        bool counted = false;
        {
            std::lock_guard lock(DriveLock);
            DriveInfo* info = Drives().FindId(id);
            if (info != nullptr && info->watcher.get() == self) {
                info->watcherServes = false;
                if (fired) info->watcherFired = true;
            }
            if (info != nullptr && fired) {
                ++info->noticesPosted;
                counted = true;
            }
        }
        if (fired) {
            bool posted = false;
            if (mainWindow == nullptr) {
                Trace(L"DriveWatcherProc: no main window, event of drive %c: not passed on\n", letter);
            } else if (!::PostMessageW(mainWindow, UWM_VARNOKD_EVENT_TRIGGERED, letter, 0)) {
                Trace(L"DriveWatcherProc: event of drive %c: not passed on (%lu)\n", letter, ::GetLastError());
            } else {
                posted = true;
            }
            if (!posted && counted) {
                // No notice will come: none may be answered in its place.
                std::lock_guard lock(DriveLock);
                DriveInfo* info = Drives().FindId(id);
                if (info != nullptr && info->noticesPosted > 0) --info->noticesPosted;
            }
        }
        while (::PeekMessageW(&msg, nullptr, WM_WATCHER_EJECT, WM_WATCHER_EJECT, PM_REMOVE)) serveEject();
        return code;
    };

    for (;;) {
        // Serve every request of our range that waits in the queue: the
        // wait below wakes only for input that came after the last look at
        // the queue, so a request already there must not be left for it.
        // A stop is the owner's private event; WM_WATCHER_STOP (WM_APP),
        // which any program can post, is taken out of the way and ignored.
        while (::PeekMessageW(&msg, nullptr, WM_WATCHER_STOP, WM_WATCHER_EJECT, PM_REMOVE)) {
            if (msg.message == WM_WATCHER_EJECT) serveEject();
        }
        if (self->StopRequested()) return finish(kWatcherStopped, false);
        if (!WatchersMayRun.load()) return finish(kWatcherDone, false);

        const Wake wake = WaitForEventOrInput(self->StopEvent(), event);
        if (wake == Wake::Stop) return finish(kWatcherStopped, false);
        if (wake == Wake::Event) {
            {
                std::lock_guard lock(DriveLock);
                ::ResetEvent(event);
            }
            return finish(kWatcherDone, true);
        }
    }
}

}  // namespace vnk
