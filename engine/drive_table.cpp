#include "engine/drive_table.h"

#include <mutex>

#include "common/messages.h"
#include "common/trace.h"

namespace vnk {

namespace {
thread_local int t_driveLockDepth = 0;

void EndThread(std::unique_ptr<fw::Thread>& thread, UINT message) {
    if (!thread) return;
    thread->PostThreadMessage(message, 0, 0);
    // Answer what the thread may be sending us (a login box's broadcast)
    // while it finishes.
    fw::WaitAnsweringSent(thread->m_hThread, INFINITE);
    thread.reset();
}

}  // namespace

DriveLockType DriveLock;
bool ProbeInProgress = false;
std::atomic<bool> WatchersMayRun{false};
std::atomic<unsigned> LockGeneration{0};

void DriveLockType::lock() {
    ::EnterCriticalSection(&m_section);
    ++t_driveLockDepth;
}

void DriveLockType::unlock() {
    --t_driveLockDepth;
    ::LeaveCriticalSection(&m_section);
}

bool DriveLockType::HeldByCurrentThread() const { return t_driveLockDepth > 0; }

void EndWatcher(std::unique_ptr<fw::Thread>& watcher) {
    if (DriveLock.HeldByCurrentThread()) Trace(L"EndWatcher: waiting for a watcher while holding DriveLock\n");
    EndThread(watcher, WM_WATCHER_STOP);
}

DriveInfo::~DriveInfo() {
    if (DriveLock.HeldByCurrentThread())
        Trace(L"DriveInfo: tearing a record down while holding DriveLock\n");
    // The threads end before the event closes, so that no watcher ever
    // waits on a handle that is closed (and perhaps reused) under it.
    EndThread(watcher, WM_WATCHER_STOP);
    for (auto& retired : retiredWatchers) EndThread(retired, WM_WATCHER_STOP);
    EndThread(loginThread, WM_QUIT);
    if (event != nullptr && event != INVALID_HANDLE_VALUE) ::CloseHandle(event);
}

DriveTable::~DriveTable() {
    std::vector<Node> nodes = ExtractAll();
    nodes.clear();
}

DriveInfo* DriveTable::Find(wchar_t letter) {
    auto it = m_map.find(letter);
    return it == m_map.end() ? nullptr : &it->second;
}

DriveInfo& DriveTable::Insert(wchar_t letter) { return m_map.try_emplace(letter).first->second; }

DriveTable::Node DriveTable::Extract(wchar_t letter) { return m_map.extract(letter); }

std::vector<DriveTable::Node> DriveTable::ExtractAll() {
    std::vector<Node> nodes;
    while (!m_map.empty()) nodes.push_back(m_map.extract(m_map.begin()));
    return nodes;
}

DriveTable& Drives() {
    static DriveTable table;
    return table;
}

void StartWatcher(wchar_t letter, DriveInfo& info) {
    info.watcherFired = false;
    info.watcher = fw::BeginThread(&DriveWatcherProc,
                                   reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(letter)),
                                   THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED, nullptr);
    if (!info.watcher) {
        Trace(L"StartWatcher: no watcher thread for drive %c:\n", letter);
        return;
    }
    info.watcher->m_bAutoDelete = FALSE;
    info.watcher->ResumeThread();
}

}  // namespace vnk
