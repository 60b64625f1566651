// The status window's reactions to events from outside the drive engine:
// CD-ROM drives plugged in or removed, Emergency Lock, the session's end.
#include "app/status_window.h"

#include <dbt.h>

#include <mutex>

#include "common/messages.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/driver.h"
#include "engine/probe.h"

BOOL CVNKDStatus::OnDeviceChange(UINT event, DWORD_PTR data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    switch (event) {
        case DBT_DEVNODES_CHANGED:
            if (m_bRecheckPending) {
                vnk::Trace(L"Varnokd: OnDeviceChange: device nodes changed, doing recheck now\n");
                m_bRecheckPending = false;
                Reprobe();
            } else {
                vnk::Trace(L"Varnokd: OnDeviceChange: device nodes changed (and we don't care)\n");
            }
            break;
        case DBT_DEVICEARRIVAL:
            if (header == nullptr) {
                vnk::Trace(L"Varnokd: OnDeviceChange: arrival without a device record\n");
                break;
            }
            vnk::Trace(L"Varnokd: OnDeviceChange: new device of type 0x%x arrived\n", header->dbch_devicetype);
            if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
                // The new drive is usable only once its device node is set
                // up: probe at the next device-node change.
                vnk::Trace(L"Varnokd: Varnokd: CD-ROM device arrival detected, scheduling a recheck\n");
                m_bRecheckPending = true;
            }
            break;
        case DBT_DEVICEREMOVECOMPLETE:
            if (header == nullptr) {
                vnk::Trace(L"Varnokd: OnDeviceChange: removal without a device record\n");
                break;
            }
            vnk::Trace(L"Varnokd: OnDeviceChange: remove device of type 0x%x\n", header->dbch_devicetype);
            if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) Reprobe();
            break;
        default:
            vnk::Trace(L"Varnokd: OnDeviceChange: got unhandled device change event 0x%x\n", event);
            break;
    }
    // True also grants the system's queries.
    return TRUE;
}

void CVNKDStatus::Reprobe() {
    // Every open login box closes through its cancel path first; the probe
    // does not wait for them.
    for (auto& [letter, info] : vnk::Drives()) {
        if (info.loginThread && !info.loginThread->PostThreadMessage(WM_LOGIN_CLOSE, 0, 0))
            vnk::Trace(L"Varnokd: Reprobe: login box of drive %c: not told to close (%lu)\n", letter, ::GetLastError());
    }
    vnk::VNKDProbeForDrives(1);
}

void CVNKDStatus::OnEndSession(BOOL ending) {
    vnk::Trace(L"Varnokd: OnEndSession: entered, bEnding = %d\n", ending ? 1 : 0);
    if (ending) OnEmergencyLock();
}

void CVNKDStatus::OnEmergencyLock() {
    std::lock_guard lock(vnk::DriveLock);
    for (auto& [letter, info] : vnk::Drives()) {
        const vnk::DeviceHandle device = vnk::DeviceHandle::Open(letter);
        if (!device.valid()) continue;
        if (info.status == vnk::LoggedIn) {
            device.Control(vnk::kIoctlStorageEjectMedia);
            info.status = vnk::NoDisc;  // whatever the eject answered
        }
    }
}
