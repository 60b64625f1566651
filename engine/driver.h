// The filter driver's control interface and the standard volume requests,
// spoken over the device seam: one device handle per task, synchronous
// calls, the handle closed right after.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "engine/device_seam.h"
#include "engine/driver_interface.h"

namespace vnk {

// A device handle opened through the seam and closed by its destructor.
class DeviceHandle {
public:
    DeviceHandle() = default;
    // Opens "\\.\X:"; on failure the handle is invalid and error() tells why.
    static DeviceHandle Open(wchar_t driveLetter, DWORD flagsAndAttributes = 0);
    static DeviceHandle OpenPath(const std::wstring& devicePath, DWORD flagsAndAttributes = 0);
    ~DeviceHandle() { Close(); }
    DeviceHandle(DeviceHandle&& other) noexcept;
    DeviceHandle& operator=(DeviceHandle&& other) noexcept;
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_handle; }
    DWORD error() const { return m_error; }

    // Synchronous device control; false with GetLastError() on failure.
    // `returned`, if given, receives the number of bytes written to `out`.
    bool Control(DWORD code, const void* in = nullptr, DWORD inSize = 0, void* out = nullptr,
                 DWORD outSize = 0, DWORD* returned = nullptr) const;
    void Close();

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    DWORD m_error = 0;
};

// The drive's status as the driver answers it (IOCTL_VNK_GET_STATUS); an
// answer that fails or is not exactly 4 bytes long is no status.
std::optional<DWORD> ReadDriveStatus(const DeviceHandle& device);

// Opens the drive and ejects its disc, trying `attempts` times in all;
// every failure is traced with the caller's name. ERROR_SUCCESS once the
// disc went, else the error of the last attempt (of the open or the eject).
DWORD EjectLoggedInDisc(wchar_t driveLetter, const wchar_t* caller, int attempts);

}  // namespace vnk
