// The one narrow door to the drives and the filter driver.
//
// Everything in the program that needs a drive type, a device handle or a
// device-control call goes through Device(). The product binds it to the
// Win32 calls (device_win32.cpp); the simulator build binds it to the
// simulator program; tests bind it to an in-process simulated driver.
// Errors are reported the Win32 way: a failing call returns
// INVALID_HANDLE_VALUE or FALSE and leaves the reason in GetLastError().
#pragma once

#include <windows.h>

namespace vnk {

class DeviceSeam {
public:
    virtual ~DeviceSeam() = default;

    // GetDriveTypeW of a root path such as L"D:\\".
    virtual UINT DriveType(const wchar_t* rootPath) = 0;

    // CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
    // nullptr, OPEN_EXISTING, flagsAndAttributes, nullptr).
    virtual HANDLE Open(const wchar_t* devicePath, DWORD flagsAndAttributes) = 0;

    // Synchronous DeviceIoControl without OVERLAPPED.
    virtual BOOL Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out,
                         DWORD outSize, DWORD* returned) = 0;

    virtual void Close(HANDLE device) = 0;
};

// The binding in force. Each executable links exactly one definition of
// DefaultDevice(); tests may put their own binding in place.
DeviceSeam& Device();
DeviceSeam& DefaultDevice();
void SetDeviceForTesting(DeviceSeam* seam);  // nullptr restores the default

}  // namespace vnk
