// The filter driver's control interface and the standard volume requests,
// spoken over the device seam: one device handle per task, synchronous
// calls, the handle closed right after.
#pragma once

#include <windows.h>

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
    bool Control(DWORD code, const void* in = nullptr, DWORD inSize = 0, void* out = nullptr,
                 DWORD outSize = 0) const;
    void Close();

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    DWORD m_error = 0;
};

// Opens the drive and asks for its disc to be ejected; the result is not
// examined. Does nothing when the device does not open.
void EjectDisc(wchar_t driveLetter);

}  // namespace vnk
