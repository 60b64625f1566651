// The test driver's orders, from user mode: one open of its control device
// per order, each call bounded in time. Used by the control program and by
// the tests that run the product against the driver.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <optional>
#include <string>
#include <vector>

extern "C" {
#include "tests/driver/test_driver_protocol.h"
}

namespace vnk::testdrv {

// What the driver saw of one drive, and the requests that reached it.
using DriveState = VtdDriveState;
using Call = VtdCall;

// Each order returns ERROR_SUCCESS or the Win32 error it failed with
// (WAIT_TIMEOUT when the driver did not answer within `kOrderTimeoutMs`,
// ERROR_FILE_NOT_FOUND when no driver runs).
constexpr DWORD kOrderTimeoutMs = 10000;

DWORD Ping();
DWORD AddDrive(wchar_t letter);  // the driver's side only: no broadcast
DWORD RemoveDrive(wchar_t letter);
DWORD SetStatus(wchar_t letter, DWORD status);
DWORD SetSignature(wchar_t letter, const std::string& eightBytes);
DWORD SetPassphrase(wchar_t letter, const std::wstring& passphrase);
// The next `count` requests with this control code (or VTD_FAIL_OPEN,
// VTD_FAIL_EVERY_CODE) fail with `ntstatus`; VTD_FAIL_FOREVER: all of
// them; 0 clears the order.
DWORD Fail(wchar_t letter, DWORD key, DWORD ntstatus, DWORD count);
DWORD Signal(wchar_t letter);
std::optional<DriveState> Query(wchar_t letter);
// The requests since the record was last emptied, oldest first; `empty`
// empties it.
std::optional<std::vector<Call>> ReadRecord(bool empty);

// "IRP_MJ_DEVICE_CONTROL IOCTL_VNK_GET_STATUS" and the like, for people.
std::string DescribeCall(const Call& call);

}  // namespace vnk::testdrv
