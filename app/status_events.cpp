// The status window's reactions to events from outside the drive engine:
// CD-ROM drives plugged in or removed, Emergency Lock, the session's end.
#include "app/status_window.h"

#include <dbt.h>

#include <cstddef>
#include <cwchar>
#include <mutex>
#include <optional>

#include "common/error_box.h"
#include "common/messages.h"
#include "common/strings.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/lock_pass.h"
#include "engine/worker.h"
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

}  // namespace

BOOL CVNKDStatus::OnDeviceChange(UINT event, DWORD_PTR data) {
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
            if (*type == DBT_DEVTYP_DEVICEINTERFACE) Reprobe();
            break;
        }
        default:
            vnk::Trace(L"Varnokd: OnDeviceChange: got unhandled device change event 0x%x\n", event);
            break;
    }
    // True also grants the system's queries.
    return TRUE;
}

void CVNKDStatus::Reprobe() {
    // On a worker: closing the boxes of drives that are gone looks at the
    // drives, and so does the probe. The probe does not wait for the boxes
    // to close. Anyone can send an arrival or a removal: only the boxes of
    // drives that are really gone close (and eject); a drive that is still
    // there keeps its box, which holds its volume, and the probe keeps it.
    StartProbe(1, vnk::ReprobeBoxes::CloseOnlyGone);
}

void CVNKDStatus::OnEndSession(BOOL ending) {
    vnk::Trace(L"Varnokd: OnEndSession: entered, bEnding = %d\n", ending ? 1 : 0);
    if (!ending) return;
    m_sessionEnding = true;
    // The session ends whatever happens: every drive is ejected at once, a
    // failed eject is tried once more and traced, and there is nobody left
    // to show a box to. The system is told why we need these seconds, and
    // the wait stays inside its patience.
    const std::wstring reason = vnk::LoadResString(IDS_SHUTDOWN_REASON);
    const bool blocking = ::ShutdownBlockReasonCreate(m_hWnd, reason.c_str()) != FALSE;
    const auto pass = vnk::EjectEveryLoggedInDisc(L"Varnokd: OnEndSession", 2);
    if (pass && !pass->Wait(kSessionEndLockMs)) {
        for (const auto& [letter, error] : pass->Failures())
            vnk::Trace(L"Varnokd: OnEndSession: drive %c: not locked (%u)\n", letter, error);
    }
    if (blocking) ::ShutdownBlockReasonDestroy(m_hWnd);
}

LRESULT CVNKDStatus::OnCloseRequest(WPARAM, LPARAM) {
    // The close box and Alt+F4 come as SC_CLOSE and only hide the window:
    // WM_CLOSE itself is another program's request (an installer's), and
    // nobody may be there to answer a box.
    vnk::Trace(L"Varnokd: OnCloseRequest: asked to close, exiting without a box\n");
    m_closedByProgram = true;
    EndDialog(IDCANCEL);
    return 0;
}

void CVNKDStatus::OnEmergencyLock() {
    // One pass at a time: a pass that has ended says so first; a second
    // choice while one still runs waits for that one's box.
    if (m_lockPass && m_lockPass->Done()) FinishEmergencyLock();
    if (m_lockPass) return;
    m_lockPass = vnk::EjectEveryLoggedInDisc(L"Varnokd: OnEmergencyLock", 1, m_hWnd);
    WatchBatch(m_lockPass);
    if (!m_lockPass) {
        ShowLockFailures(IDS_ERR_LOCK_INCOMPLETE, IDS_CAP_LOCK_INCOMPLETE, EveryDriveNotLocked());
        return;
    }
    if (m_lockPass->Done()) {
        FinishEmergencyLock();
        return;
    }
    ::SetTimer(m_hWnd, kLockPassTimerId, kEmergencyLockMs, nullptr);
}

void CVNKDStatus::FinishEmergencyLock() {
    ::KillTimer(m_hWnd, kLockPassTimerId);
    const auto pass = std::move(m_lockPass);
    m_lockPass.reset();
    if (!pass) return;
    RebuildList();
    // Shown after the pass, without DriveLock: a drive named here keeps
    // its LoggedIn, so the next pass tries it again; one that answers
    // later updates the list.
    ShowLockFailures(IDS_ERR_LOCK_INCOMPLETE, IDS_CAP_LOCK_INCOMPLETE, pass->Failures());
}

std::vector<std::pair<wchar_t, DWORD>> CVNKDStatus::EveryDriveNotLocked() {
    std::vector<std::pair<wchar_t, DWORD>> drives;
    for (const vnk::DriveView& drive : vnk::DriveSnapshot()) drives.emplace_back(drive.letter, ERROR_NOT_ENOUGH_MEMORY);
    return drives;
}

namespace {

// The caption of the box that the calling thread's timer is to close.
thread_local std::wstring t_boxToClose;

BOOL CALLBACK CloseBoxTitled(HWND window, LPARAM) {
    wchar_t className[16] = {};
    wchar_t title[128] = {};
    if (::GetClassNameW(window, className, 16) != 0 && std::wcscmp(className, L"#32770") == 0 &&
        ::GetWindowTextW(window, title, 128) > 0 && t_boxToClose == title)
        ::PostMessageW(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

// Runs inside the message box's own loop, on its thread.
void CALLBACK CloseBoxWhenTimeIsUp(HWND, UINT, UINT_PTR, DWORD) {
    vnk::Trace(L"Varnokd: ShowLockFailures: the box was not answered in time, closing it\n");
    ::EnumThreadWindows(::GetCurrentThreadId(), &CloseBoxTitled, 0);
}

}  // namespace

void CVNKDStatus::ShowLockFailures(UINT textId, UINT captionId, const std::vector<std::pair<wchar_t, DWORD>>& failures,
                                   UINT closeAfterMs) {
    if (failures.empty()) return;
    std::wstring drives;
    for (const auto& [letter, error] : failures) {
        drives += error == vnk::kDidNotAnswer ? vnk::FormatDriveString(IDS_LOCK_NO_ANSWER_DRIVE, letter)
                                              : vnk::FormatDriveErrorString(IDS_LOCK_INCOMPLETE_DRIVE, letter, error);
    }
    UINT_PTR timer = 0;
    if (closeAfterMs != 0) {
        t_boxToClose = vnk::LoadResString(captionId);
        timer = ::SetTimer(nullptr, 0, closeAfterMs, &CloseBoxWhenTimeIsUp);
    }
    vnk::ErrorBox(nullptr, textId, captionId, MB_ICONERROR | MB_SETFOREGROUND, drives.c_str());
    if (timer != 0) ::KillTimer(nullptr, timer);
}
