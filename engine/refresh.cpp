// Status refresh and engine shutdown: two walks over the whole table, on
// the main thread, with DriveLock held from the first record to the last.
#include <mutex>

#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/driver.h"

namespace vnk {

namespace {

unsigned long TraceValue(HANDLE handle) {
    return static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(handle));
}

}  // namespace

void VNKDUpdateDriveStatus() {
    std::lock_guard lock(DriveLock);
    for (auto& [letter, info] : Drives()) {
        const DeviceHandle device = DeviceHandle::Open(letter);
        Trace(L"VNKDUpdateDriveStatus: got handle 0x%lx\n", TraceValue(device.get()));
        if (!device.valid()) continue;
        DWORD status = info.status;
        if (device.Control(IOCTL_VNK_GET_STATUS, nullptr, 0, &status, sizeof status))
            info.status = status;
    }
}

void VNKDCleanup() {
    std::lock_guard lock(DriveLock);
    for (auto& [letter, info] : Drives()) {
        const DeviceHandle device = DeviceHandle::Open(letter);
        if (!device.valid()) continue;
        Trace(L"VNKDCleanup: got handle 0x%lx\n", TraceValue(device.get()));
        device.Control(IOCTL_VNK_WITHDRAW);
        info.event.reset();
        if (info.status == LoggedIn) device.Control(kIoctlStorageEjectMedia);
    }
}

}  // namespace vnk
