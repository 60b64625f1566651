// The status window's reactions to events from outside the drive engine:
// CD-ROM drives plugged in or removed, Emergency Lock, the session's end.
#include "app/status_window.h"

#include <dbt.h>

#include <cstddef>
#include <mutex>
#include <optional>

#include "common/error_box.h"
#include "common/messages.h"
#include "common/strings.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/driver.h"
#include "engine/probe.h"
#include "res/resource.h"

namespace {

// The least size of a record of each device type that carries more than
// the header.
DWORD MinimumRecordSize(DWORD deviceType) {
    switch (deviceType) {
        case DBT_DEVTYP_VOLUME: return sizeof(DEV_BROADCAST_VOLUME);
        case DBT_DEVTYP_DEVICEINTERFACE: return offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
        case DBT_DEVTYP_PORT: return offsetof(DEV_BROADCAST_PORT_W, dbcp_name);
        case DBT_DEVTYP_OEM: return sizeof(DEV_BROADCAST_OEM);
        case DBT_DEVTYP_HANDLE: return offsetof(DEV_BROADCAST_HANDLE, dbch_data);
        default: return sizeof(DEV_BROADCAST_HDR);
    }
}

// The device type of an arrival or removal record, or nothing when the
// record is missing or shorter than a record of its type: any program can
// send such a message, and its record is read only as far as it claims.
std::optional<DWORD> RecordType(UINT event, DWORD_PTR data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header == nullptr) {
        vnk::Trace(L"Varnokd: OnDeviceChange: event 0x%x without a device record\n", event);
        return std::nullopt;
    }
    const DWORD size = header->dbch_size;
    if (size < sizeof(DEV_BROADCAST_HDR) || size < MinimumRecordSize(header->dbch_devicetype)) {
        vnk::Trace(L"Varnokd: OnDeviceChange: event 0x%x with a record of %u bytes, too short, ignored\n", event,
                   size);
        return std::nullopt;
    }
    return header->dbch_devicetype;
}

// Tells every drive's login thread to close its box through the eject
// path; with `onlyGone`, only the threads of drives that are really gone.
void CloseLoginBoxes(bool onlyGone) {
    // Only this thread changes the set of drives: the walk needs no lock.
    for (auto& [letter, info] : vnk::Drives()) {
        if (!info.loginThread) continue;
        if (onlyGone && !vnk::DriveIsGone(letter, L"Varnokd: OnDeviceChange")) continue;
        if (!vnk::AskLoginThread(letter, WM_LOGIN_CLOSE))
            vnk::Trace(L"Varnokd: CloseLoginBoxes: login box of drive %c: not told to close (%lu)\n", letter,
                       ::GetLastError());
    }
}

}  // namespace

BOOL CVNKDStatus::OnDeviceChange(UINT event, DWORD_PTR data) {
    switch (event) {
        case DBT_DEVNODES_CHANGED:
            if (m_bRecheckPending) {
                vnk::Trace(L"Varnokd: OnDeviceChange: device nodes changed, doing recheck now\n");
                m_bRecheckPending = false;
                Reprobe(false);
            } else {
                vnk::Trace(L"Varnokd: OnDeviceChange: device nodes changed (and we don't care)\n");
            }
            break;
        case DBT_DEVICEARRIVAL: {
            const std::optional<DWORD> type = RecordType(event, data);
            if (!type) break;
            vnk::Trace(L"Varnokd: OnDeviceChange: new device of type 0x%x arrived\n", *type);
            if (*type == DBT_DEVTYP_DEVICEINTERFACE) {
                // The new drive is usable only once its device node is set
                // up: probe at the next device-node change.
                vnk::Trace(L"Varnokd: Varnokd: CD-ROM device arrival detected, scheduling a recheck\n");
                m_bRecheckPending = true;
            }
            break;
        }
        case DBT_DEVICEREMOVECOMPLETE: {
            const std::optional<DWORD> type = RecordType(event, data);
            if (!type) break;
            vnk::Trace(L"Varnokd: OnDeviceChange: remove device of type 0x%x\n", *type);
            // Anyone can send a removal: only the boxes of drives that are
            // really gone close (and eject).
            if (*type == DBT_DEVTYP_DEVICEINTERFACE) Reprobe(true);
            break;
        }
        default:
            vnk::Trace(L"Varnokd: OnDeviceChange: got unhandled device change event 0x%x\n", event);
            break;
    }
    // True also grants the system's queries.
    return TRUE;
}

void CVNKDStatus::Reprobe(bool onlyGoneDrives) {
    // The probe does not wait for the boxes to close.
    CloseLoginBoxes(onlyGoneDrives);
    vnk::VNKDProbeForDrives(1);
}

void CVNKDStatus::OnEndSession(BOOL ending) {
    vnk::Trace(L"Varnokd: OnEndSession: entered, bEnding = %d\n", ending ? 1 : 0);
    // The session ends whatever happens: a failed eject is tried once more
    // and traced, and there is nobody left to show a box to.
    if (ending) LockEveryDisc(L"Varnokd: OnEndSession", 2);
}

void CVNKDStatus::OnEmergencyLock() {
    const auto failures = LockEveryDisc(L"Varnokd: OnEmergencyLock", 1);
    if (failures.empty()) return;
    // Shown after the pass, without DriveLock: a drive named here keeps
    // its LoggedIn, so the next pass tries it again.
    std::wstring drives;
    for (const auto& [letter, error] : failures)
        drives += vnk::FormatDriveErrorString(IDS_LOCK_INCOMPLETE_DRIVE, letter, error);
    vnk::ErrorBox(nullptr, IDS_ERR_LOCK_INCOMPLETE, IDS_CAP_LOCK_INCOMPLETE, MB_ICONERROR | MB_SETFOREGROUND,
                  drives.c_str());
}

std::vector<std::pair<wchar_t, DWORD>> CVNKDStatus::LockEveryDisc(const wchar_t* caller, int attempts) {
    // First, so that a login box between reading its passphrase and the
    // driver's answer ejects its disc when the answer comes; a waiting box
    // closes through its eject path.
    ++vnk::LockGeneration;
    CloseLoginBoxes(false);

    std::vector<std::pair<wchar_t, DWORD>> failures;
    std::lock_guard lock(vnk::DriveLock);
    for (auto& [letter, info] : vnk::Drives()) {
        if (!vnk::MayBeLoggedIn(info.status)) continue;
        const DWORD error = vnk::EjectLoggedInDisc(letter, caller, attempts);
        if (error == ERROR_SUCCESS) {
            info.status = vnk::NoDisc;
        } else {
            // Still (perhaps) logged in: the next pass, the session's end
            // and the exit try again.
            failures.emplace_back(letter, error);
        }
    }
    return failures;
}
