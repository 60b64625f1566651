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
        // A status that cannot be read is no reason to believe the disc is
        // not logged in: the record then says so, and the lock passes eject.
        info.status = ReadDriveStatus(device).value_or(kStatusUnreadable);
    }
}

void VNKDCleanup() {
    // A login under way now ejects its disc when its outcome arrives.
    ++LockGeneration;
    std::lock_guard lock(DriveLock);
    for (auto& [letter, info] : Drives()) {
        DeviceHandle device = DeviceHandle::Open(letter);
        if (!device.valid()) continue;
        Trace(L"VNKDCleanup: got handle 0x%lx\n", TraceValue(device.get()));
        device.Control(IOCTL_VNK_WITHDRAW);
        info.event.reset();
        if (!MayBeLoggedIn(info.status)) continue;
        if (device.Control(kIoctlStorageEjectMedia)) continue;
        Trace(L"VNKDCleanup: eject of drive %c: failed (%u), trying once more\n", letter, ::GetLastError());
        device.Close();
        EjectLoggedInDisc(letter, L"VNKDCleanup", 1);
    }
}

}  // namespace vnk
