#include "engine/driver.h"

#include <utility>

#include "common/strings.h"
#include "common/trace.h"

namespace vnk {

namespace {
DeviceSeam* g_testSeam = nullptr;
}

DeviceSeam& Device() { return g_testSeam != nullptr ? *g_testSeam : DefaultDevice(); }
void SetDeviceForTesting(DeviceSeam* seam) { g_testSeam = seam; }

DeviceHandle DeviceHandle::Open(wchar_t driveLetter, DWORD flagsAndAttributes) {
    return OpenPath(DevicePath(driveLetter), flagsAndAttributes);
}

DeviceHandle DeviceHandle::OpenPath(const std::wstring& devicePath, DWORD flagsAndAttributes) {
    DeviceHandle device;
    device.m_handle = Device().Open(devicePath.c_str(), flagsAndAttributes);
    device.m_error = device.valid() ? 0 : ::GetLastError();
    return device;
}

DeviceHandle::DeviceHandle(DeviceHandle&& other) noexcept
    : m_handle(std::exchange(other.m_handle, INVALID_HANDLE_VALUE)), m_error(other.m_error) {}

DeviceHandle& DeviceHandle::operator=(DeviceHandle&& other) noexcept {
    if (this != &other) {
        Close();
        m_handle = std::exchange(other.m_handle, INVALID_HANDLE_VALUE);
        m_error = other.m_error;
    }
    return *this;
}

bool DeviceHandle::Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                           DWORD* returned) const {
    DWORD written = 0;
    const bool ok = Device().Control(m_handle, code, in, inSize, out, outSize, &written) != FALSE;
    if (returned != nullptr) *returned = written;
    return ok;
}

void DeviceHandle::Close() {
    if (valid()) Device().Close(std::exchange(m_handle, INVALID_HANDLE_VALUE));
}

std::optional<DWORD> ReadDriveStatus(const DeviceHandle& device) {
    DWORD status = 0;
    DWORD returned = 0;
    if (!device.Control(IOCTL_VNK_GET_STATUS, nullptr, 0, &status, sizeof status, &returned)) return std::nullopt;
    if (returned != sizeof status) {
        Trace(L"ReadDriveStatus: the driver answered %u bytes\n", returned);
        return std::nullopt;
    }
    return status;
}

DWORD EjectLoggedInDisc(wchar_t driveLetter, const wchar_t* caller, int attempts) {
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        const DeviceHandle device = DeviceHandle::Open(driveLetter);
        if (!device.valid()) {
            error = device.error();
            Trace(L"%s: drive %c: does not open (%u), attempt %d\n", caller, driveLetter, error, attempt);
            continue;
        }
        if (device.Control(kIoctlStorageEjectMedia)) return ERROR_SUCCESS;
        error = ::GetLastError();
        Trace(L"%s: eject of drive %c: failed (%u), attempt %d\n", caller, driveLetter, error, attempt);
    }
    return error;
}

}  // namespace vnk
