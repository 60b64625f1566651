// The drive table: one record per CD/DVD drive on which the filter driver
// took the client's announcement (or whose disc may still be logged in),
// its lock, its two process-wide flags, and the one writer of a drive's
// lock state. The drives' threads are in engine/drive_threads.h.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "engine/driver_interface.h"
#include "fw/thread.h"

namespace vnk {

// What a record holds when the driver's status answer could not be read
// (the query failed or answered other than 4 bytes). Like any value above
// LoggedIn it is shown as an unknown status.
constexpr DWORD kStatusUnreadable = 0xFFFFFFFF;

// Whether the disc in a drive of this status may be logged in: the passes
// that lock every disc try to eject it. A value the driver should never
// answer, or none at all, counts as logged in: the client fails closed.
constexpr bool MayBeLoggedIn(DWORD status) { return status >= LoggedIn; }

// One drive. A record stays at one place in memory while it exists; the
// threads that outlive a look-up find it again by its `id`, never by
// keeping a pointer or by its letter alone.
struct DriveInfo {
    DriveInfo() = default;
    DriveInfo(const DriveInfo&) = delete;
    DriveInfo& operator=(const DriveInfo&) = delete;
    // The tear-down: stops and waits for the record's threads, then closes
    // its event. Never runs while the calling thread holds DriveLock.
    ~DriveInfo();

    // --- Fixed when the record is inserted (under DriveLock); read by anyone.
    // The record's identity, never reused in the process: a device call's
    // result is written back only to the record it was made for.
    std::uint64_t id = 0;

    // --- The lock state: written only by RecordDriveFact (under DriveLock),
    // and only from what the driver answered; read by anyone under DriveLock.
    DWORD status = NoDisc;  // a DriveStatus; other values can come from the driver
    // Set just before the drive's login box hands the passphrase to the
    // driver, cleared when the outcome is known: a lock pass then counts
    // the drive as perhaps logged in.
    bool loginInFlight = false;
    // The drive's login box holds the volume locked through its handle:
    // other opens are refused, and a re-probe keeps the drive unopened.
    bool lockedByLoginBox = false;
    // Counts the changes above: a status read that began before a change
    // is not written over it (a login accepted meanwhile stays LoggedIn).
    unsigned lockStateVersion = 0;

    // --- The probe's, under DriveLock: the probe alone sets them (and the
    // engine's shutdown ends them). The watcher reads `event` without the
    // lock: it is replaced or closed only once its watcher has been stopped.
    GUID guid{};                     // the current announcement
    vnk::fw::UniqueHandle event;     // its named auto-reset event; none after the engine's shutdown
    // The driver holds the client's announcement for this drive (set by the
    // probe, cleared by a withdrawal).
    bool announced = false;
    // The drive's threads. The record owns both objects (auto-delete off)
    // and deletes them after their threads have ended.
    std::unique_ptr<vnk::fw::Thread> watcher;
    std::unique_ptr<vnk::fw::Thread> loginThread;  // a CVNKDLogin
    // Replaced watchers that had not ended when they were replaced; kept
    // owned until they are stopped with the others.
    std::vector<std::unique_ptr<vnk::fw::Thread>> retiredWatchers;

    // --- Under DriveLock, written by the stored watcher itself: set when it
    // is stored, cleared by the watcher (only while it is the stored one)
    // when it fires or ends. A watcher that has stopped serving takes no
    // more eject requests.
    bool watcherServes = false;
    // Set by the stored watcher when its event fired and it is about to
    // post its notice; cleared whenever the stored watcher is replaced or
    // taken away. A notice that finds it set gives the drive a new watcher.
    bool watcherFired = false;
    // Notices that a watcher of this record posted (the stored one, or one
    // a re-probe had just taken out) and that the status window has not
    // answered yet; only such a notice shows a login box. Kept when a
    // re-probe replaces the watcher: the disc that fired it still gets it.
    unsigned noticesPosted = 0;

    // --- Under DriveLock, the engine's own bookkeeping.
    // Requests posted to the drive's threads and not yet taken, counted
    // before each post. A thread message carries no sender and any program
    // can post one to any thread, so a thread acts on a message only when
    // it can take a request of its kind here.
    unsigned ejectRequests = 0;       // WM_WATCHER_EJECT
    unsigned loginShowRequests = 0;   // WM_LOGIN_SHOW
    unsigned loginCloseRequests = 0;  // WM_LOGIN_CLOSE
    // A status read of this record is under way on a worker; a refresh
    // starts no second one.
    bool statusReadBusy = false;
    // An eject (or a lock pass's work) of this drive is under way on a
    // worker: a lock pass waits for its answer instead of starting another,
    // so a drive that hangs holds at most one.
    bool ejectOutstanding = false;
};

// What the driver told the engine about a drive, or what the drive's login
// box did with it: the only ways a record's lock state changes.
enum class DriveFact {
    StatusRead,      // the driver answered `status` (kStatusUnreadable: no answer that counts)
    EjectConfirmed,  // the disc went: NoDisc
    EjectFailed,     // the disc did not go: a disc that may be logged in stays LoggedIn
    LoginBegun,      // the passphrase goes to the driver now
    LoginAccepted,   // LoggedIn
    LoginRefused,    // the disc is not logged in
    VolumeLocked,    // the login box holds the volume locked
    VolumeUnlocked,  // ... no longer
};

// The one writer of a drive's lock state (its status and the two marks of
// its login box), for the record with this `id`. Takes DriveLock (the
// caller may hold it). A StatusRead with `readSince` is written only when
// the record's lock state has not changed since that version (the read
// began then). False when nothing was written: no record has that id any
// more, or the read is older than the state.
bool RecordDriveFact(std::uint64_t id, DriveFact fact, DWORD status = 0,
                     std::optional<unsigned> readSince = std::nullopt);

// A copy of one record as it was under DriveLock: for the status window's
// list and for tests, which never reach into the records themselves.
struct DriveView {
    wchar_t letter = 0;
    std::uint64_t id = 0;
    DWORD status = NoDisc;
    bool loginInFlight = false;
    bool lockedByLoginBox = false;
    unsigned lockStateVersion = 0;
    bool ejectUnderWay = false;
    bool announced = false;
    GUID guid{};
    // The record's event as a value to compare, never to use: the record
    // may close it as soon as DriveLock is left.
    HANDLE event = nullptr;
    bool hasWatcher = false;
    bool hasLoginThread = false;
    // The system's ids of the drive's threads, 0 when it has none. An id
    // names the thread only while it runs (or a handle to it is open): the
    // system may give it to another thread once it has ended.
    DWORD watcherThreadId = 0;
    DWORD loginThreadId = 0;
    bool watcherServes = false;
    bool watcherFired = false;
};
// Every record, in letter order.
std::vector<DriveView> DriveSnapshot();
// The record of this letter, if it has one.
std::optional<DriveView> DriveSnapshot(wchar_t letter);

// The lock of the drive table: a critical section, re-entrant for its
// owning thread. `DriveLock` is initialised dynamically, by this constructor,
// with the other globals of drive_table.cpp before wWinMain runs; nothing
// takes it during static initialisation.
class DriveTableLock {
public:
    DriveTableLock() { ::InitializeCriticalSection(&m_section); }
    DriveTableLock(const DriveTableLock&) = delete;
    DriveTableLock& operator=(const DriveTableLock&) = delete;
    // Never deleted: threads may still use it while the process exits.

    void lock();
    void unlock();
    bool HeldByCurrentThread() const;

private:
    CRITICAL_SECTION m_section;
};

extern DriveTableLock DriveLock;

// Set while a probe runs (on the main thread or a worker); a probe asked
// for meanwhile does nothing.
extern std::atomic<bool> ProbeInProgress;
// Written by the main thread, read by watchers without DriveLock.
extern std::atomic<bool> WatchersMayRun;

class DriveTable {
public:
    using Map = std::map<wchar_t, DriveInfo>;
    using Node = Map::node_type;

    DriveTable() = default;
    DriveTable(const DriveTable&) = delete;
    DriveTable& operator=(const DriveTable&) = delete;
    ~DriveTable();  // tears every record down

    DriveInfo* Find(wchar_t letter);
    // The record with this identity; null when it has gone.
    DriveInfo* FindId(std::uint64_t id);
    // Inserts a new record for a letter that has none (or returns the one it has).
    DriveInfo& Insert(wchar_t letter);
    // Takes a record out of the table without moving it. The caller lets
    // the node go (and so tears the record down) only after it has left
    // DriveLock.
    Node Extract(wchar_t letter);
    std::vector<Node> ExtractAll();

    bool empty() const { return m_map.empty(); }
    size_t size() const { return m_map.size(); }
    // Walks in ascending letter order.
    Map::iterator begin() { return m_map.begin(); }
    Map::iterator end() { return m_map.end(); }

private:
    Map m_map;
};

// The process-wide table; exists, empty, from its first use, and is torn
// down at process exit.
DriveTable& Drives();

// Runs `write` on the record under DriveLock if it is still the one with
// `id` at `letter`; a result for a record that went or was replaced is
// dropped (false).
bool WriteBack(wchar_t letter, std::uint64_t id, const std::function<void(DriveInfo&)>& write);

}  // namespace vnk
