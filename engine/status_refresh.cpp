// The status refresh: every drive's status read from the driver again,
// each drive on a worker, the main thread never waiting.
#include "engine/status_refresh.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/driver.h"
#include "engine/worker.h"

namespace vnk {

namespace {
unsigned long TraceValue(HANDLE handle) { return static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(handle)); }
}  // namespace

std::shared_ptr<DriveBatch> VNKDUpdateDriveStatus(HWND notify) {
    auto batch = std::make_shared<DriveBatch>();
    struct Task {
        wchar_t letter;
        std::uint64_t id;
        unsigned version;
        size_t slot;
    };
    std::vector<Task> tasks;
    {
        std::lock_guard lock(DriveLock);
        for (auto& [letter, info] : Drives()) {
            // A drive that has not answered the last read gets no second.
            if (info.statusReadBusy) continue;
            info.statusReadBusy = true;
            tasks.push_back({letter, info.id, info.lockStateVersion, batch->Add(letter)});
        }
    }
    for (const Task& task : tasks) {
        const bool started = RunOnWorker([batch, task, notify] {
            const DeviceHandle device = DeviceHandle::Open(task.letter);
            Trace(L"VNKDUpdateDriveStatus: got handle 0x%lx\n", TraceValue(device.get()));
            // A status that cannot be read is no reason to believe the disc
            // is not logged in: the record then says so, and the lock
            // passes eject.
            std::optional<DWORD> status;
            if (device.valid()) status = ReadDriveStatus(device).value_or(kStatusUnreadable);
            WriteBack(task.letter, task.id, [&](DriveInfo& info) {
                info.statusReadBusy = false;
                if (status) RecordDriveFact(info.id, DriveFact::StatusRead, *status, task.version);
            });
            batch->Complete(task.slot, device.valid() ? ERROR_SUCCESS : device.error());
            PostDriveResults(notify);
        });
        if (!started) {
            WriteBack(task.letter, task.id, [](DriveInfo& info) { info.statusReadBusy = false; });
            batch->Complete(task.slot, ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    return batch;
}
}  // namespace vnk
