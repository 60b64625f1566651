#include "engine/driver.h"

#include <utility>

#include "common/strings.h"

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

bool DeviceHandle::Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) const {
    DWORD returned = 0;
    return Device().Control(m_handle, code, in, inSize, out, outSize, &returned) != FALSE;
}

void DeviceHandle::Close() {
    if (valid()) Device().Close(std::exchange(m_handle, INVALID_HANDLE_VALUE));
}

void EjectDisc(wchar_t driveLetter) {
    const DeviceHandle device = DeviceHandle::Open(driveLetter);
    if (device.valid()) device.Control(kIoctlStorageEjectMedia);
}

}  // namespace vnk
