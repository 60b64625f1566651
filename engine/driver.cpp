#include "engine/driver.h"

#include <objbase.h>

#include <cwctype>
#include <utility>

#include "common/strings.h"

namespace vnk {

namespace {
DeviceSeam* g_testSeam = nullptr;
}

DeviceSeam& Device() { return g_testSeam != nullptr ? *g_testSeam : DefaultDevice(); }
void SetDeviceForTesting(DeviceSeam* seam) { g_testSeam = seam; }

std::wstring EventNameForGuid(const GUID& guid) {
    wchar_t text[260] = {};
    ::StringFromGUID2(guid, text, 260);
    for (wchar_t* p = text; *p != L'\0'; ++p) *p = static_cast<wchar_t>(std::towupper(*p));
    return text;
}

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
