// The filter driver's control interface and the standard volume requests,
// spoken over the device seam: one device handle per task, synchronous
// calls, the handle closed right after.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "engine/device_seam.h"

namespace vnk {

// Private control codes: device type 0x9000, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr DWORD IOCTL_VNK_GET_SIGNATURE = 0x90002004;  // out: 8 bytes
constexpr DWORD IOCTL_VNK_GET_STATUS = 0x90002008;     // out: DriveStatus, 4 bytes
constexpr DWORD IOCTL_VNK_ANNOUNCE = 0x9000200C;       // in: AnnounceRecord
constexpr DWORD IOCTL_VNK_LOGIN = 0x90002010;          // in: LoginRecord
constexpr DWORD IOCTL_VNK_WITHDRAW = 0x90002018;       // no buffers

// Standard requests on the same handle, all without buffers.
constexpr DWORD kIoctlStorageEjectMedia = 0x002D4808;
constexpr DWORD kFsctlLockVolume = 0x00090018;
constexpr DWORD kFsctlUnlockVolume = 0x0009001C;
constexpr DWORD kFsctlDismountVolume = 0x00090020;

// What IOCTL_VNK_GET_SIGNATURE answers where the driver sits on a drive.
constexpr char kDriverSignature[8] = {'P', 'L', 'M', 'R', 'V', 'N', 'K', '2'};

#pragma pack(push, 1)
struct AnnounceRecord {
    GUID guid;        // standard GUID byte layout
    DWORD sessionId;  // the client's session
};
#pragma pack(pop)
static_assert(sizeof(AnnounceRecord) == 20, "the driver expects 20 bytes");
static_assert(offsetof(AnnounceRecord, sessionId) == 16, "session id follows the GUID");

// The name of the event that goes with an announcement: the braced GUID
// text, 38 characters, in upper case, with no namespace prefix.
std::wstring EventNameForGuid(const GUID& guid);

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
