#include "engine/drive_table.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/trace.h"
#include "engine/device_seam.h"

namespace vnk {

namespace {
thread_local int t_driveLockDepth = 0;

std::atomic<std::uint64_t> g_nextRecordId{1};

// Counts the changes of a login box's hold on a volume, for the lock passes
// that wait for a box to let its volume go. Taken after DriveLock, never
// the other way round.
std::mutex g_holdMutex;
std::condition_variable g_holdChanged;
std::uint64_t g_holdChanges = 0;

void NoteHoldChanged() {
    {
        std::lock_guard lock(g_holdMutex);
        ++g_holdChanges;
    }
    g_holdChanged.notify_all();
}

DWORD ThreadIdOf(const std::unique_ptr<vnk::fw::Thread>& thread) {
    return thread ? thread->m_nThreadID : 0;
}

DriveView ViewOf(wchar_t letter, const DriveInfo& info) {
    return {letter,
            info.id,
            info.status,
            info.loginInFlight,
            info.lockedByLoginBox,
            info.lockStateVersion,
            info.ejectOutstanding,
            info.announced,
            info.guid,
            info.event.get(),
            static_cast<bool>(info.watcher),
            static_cast<bool>(info.loginThread),
            ThreadIdOf(info.watcher),
            ThreadIdOf(info.loginThread),
            info.watcherServes,
            info.watcherFired};
}

}  // namespace

bool RecordDriveFact(std::uint64_t id, DriveFact fact, DWORD status, std::optional<unsigned> readSince) {
    std::lock_guard lock(DriveLock);
    DriveInfo* info = Drives().FindId(id);
    if (info == nullptr) {
        Trace(L"RecordDriveFact: record %llu has gone, nothing written\n", static_cast<unsigned long long>(id));
        return false;
    }
    if (readSince && *readSince != info->lockStateVersion) return false;
    ++info->lockStateVersion;
    switch (fact) {
        case DriveFact::StatusRead: info->status = status; break;
        case DriveFact::EjectConfirmed: info->status = NoDisc; break;
        case DriveFact::EjectFailed:
            // A disc that the driver did not call logged in is not logged in
            // because it stayed; one that may be stays so, and the next lock
            // pass tries it again.
            if (MayBeLoggedIn(info->status) || info->loginInFlight) info->status = LoggedIn;
            info->loginInFlight = false;
            break;
        case DriveFact::LoginBegun: info->loginInFlight = true; break;
        case DriveFact::LoginAccepted:
            info->status = LoggedIn;
            info->loginInFlight = false;
            break;
        case DriveFact::LoginRefused: info->loginInFlight = false; break;
        case DriveFact::VolumeLocked:
        case DriveFact::VolumeUnlocked:
            info->lockedByLoginBox = fact == DriveFact::VolumeLocked;
            NoteHoldChanged();
            break;
    }
    return true;
}

std::vector<DriveView> DriveSnapshot() {
    std::vector<DriveView> views;
    std::lock_guard lock(DriveLock);
    for (const auto& [letter, info] : Drives()) views.push_back(ViewOf(letter, info));
    return views;
}

std::optional<DriveView> DriveSnapshot(wchar_t letter) {
    std::lock_guard lock(DriveLock);
    const DriveInfo* info = Drives().Find(letter);
    if (info == nullptr) return std::nullopt;
    return ViewOf(letter, *info);
}

bool WaitForBoxToLetGo(std::uint64_t id, DWORD timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::uint64_t seen = 0;
        {
            std::lock_guard lock(g_holdMutex);
            seen = g_holdChanges;
        }
        {
            std::lock_guard lock(DriveLock);
            const DriveInfo* info = Drives().FindId(id);
            if (info == nullptr || !info->lockedByLoginBox) return true;
        }
        std::unique_lock lock(g_holdMutex);
        if (!g_holdChanged.wait_until(lock, deadline, [&] { return g_holdChanges != seen; })) return false;
    }
}

DriveTableLock DriveLock;
std::atomic<bool> ProbeInProgress{false};
std::atomic<bool> WatchersMayRun{false};

void DriveTableLock::lock() {
    ::EnterCriticalSection(&m_section);
    ++t_driveLockDepth;
}

void DriveTableLock::unlock() {
    --t_driveLockDepth;
    ::LeaveCriticalSection(&m_section);
}

bool DriveTableLock::HeldByCurrentThread() const { return t_driveLockDepth > 0; }

DriveTable::~DriveTable() {
    std::vector<Node> nodes = ExtractAll();
    nodes.clear();
}

DriveInfo* DriveTable::Find(wchar_t letter) {
    auto it = m_map.find(letter);
    return it == m_map.end() ? nullptr : &it->second;
}

DriveInfo* DriveTable::FindId(std::uint64_t id) {
    for (auto& [letter, info] : m_map)
        if (info.id == id) return &info;
    return nullptr;
}

DriveInfo& DriveTable::Insert(wchar_t letter) {
    auto [it, inserted] = m_map.try_emplace(letter);
    if (inserted) it->second.id = g_nextRecordId++;
    return it->second;
}

DriveTable::Node DriveTable::Extract(wchar_t letter) { return m_map.extract(letter); }

std::vector<DriveTable::Node> DriveTable::ExtractAll() {
    std::vector<Node> nodes;
    while (!m_map.empty()) nodes.push_back(m_map.extract(m_map.begin()));
    return nodes;
}

DriveTable& Drives() {
    // The device binding is made before the table, so that it outlives it:
    // a record's tear-down may still close a device through it.
    [[maybe_unused]] static DeviceSeam& device = DefaultDevice();
    static DriveTable table;
    return table;
}

bool WriteBack(wchar_t letter, std::uint64_t id, const std::function<void(DriveInfo&)>& write) {
    std::lock_guard lock(DriveLock);
    DriveInfo* info = Drives().Find(letter);
    if (info == nullptr || info->id != id) {
        Trace(L"DriveWork: result for drive %c: dropped, its record has gone\n", letter);
        return false;
    }
    write(*info);
    return true;
}

}  // namespace vnk
