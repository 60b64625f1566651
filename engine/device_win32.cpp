// The product's binding of the device seam: the real Win32 calls.
#include "engine/device_seam.h"

namespace vnk {

namespace {

class Win32Device final : public DeviceSeam {
public:
    UINT DriveType(const wchar_t* rootPath) override { return ::GetDriveTypeW(rootPath); }

    HANDLE Open(const wchar_t* devicePath, DWORD flagsAndAttributes) override {
        return ::CreateFileW(devicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, flagsAndAttributes, nullptr);
    }

    BOOL Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD* returned) override {
        return ::DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, returned,
                                 nullptr);
    }

    void Close(HANDLE device) override { ::CloseHandle(device); }
};

}  // namespace

DeviceSeam& DefaultDevice() {
    static Win32Device device;
    return device;
}

}  // namespace vnk
