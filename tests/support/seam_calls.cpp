#include "tests/support/seam_calls.h"

#include <objbase.h>

#include <cstring>

namespace vnk::test {

Bytes LoginRecord(const std::wstring& passphrase, bool terminated) {
    Bytes record((passphrase.size() + (terminated ? 1 : 0)) * 2, 0);
    std::memcpy(record.data(), passphrase.data(), passphrase.size() * 2);
    return record;
}

Bytes AnnounceBytes(const GUID& guid, size_t size) {
    AnnounceRecord record{guid, 1};
    Bytes bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    bytes.resize(size);
    return bytes;
}

GUID FreshGuid() {
    GUID guid{};
    ::CoCreateGuid(&guid);
    return guid;
}

Bytes StatusBytes(DWORD status) {
    Bytes bytes(4);
    std::memcpy(bytes.data(), &status, 4);
    return bytes;
}

Outcome Call(DeviceSeam& device, HANDLE handle, DWORD code, const Bytes& in, DWORD outSize) {
    Bytes out(outSize);
    DWORD returned = 0;
    const BOOL ok = device.Control(handle, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                                   out.empty() ? nullptr : out.data(), outSize, &returned);
    const DWORD error = ok ? 0 : ::GetLastError();
    out.resize(ok ? returned : 0);
    return {ok != FALSE, error, out};
}

std::optional<DWORD> StatusOf(DeviceSeam& device, const wchar_t* path) {
    const HANDLE handle = device.Open(path, 0);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    const Outcome status = Call(device, handle, IOCTL_VNK_GET_STATUS, {}, 4);
    device.Close(handle);
    if (!status.ok) return std::nullopt;
    DWORD value = 0;
    std::memcpy(&value, status.out.data(), 4);
    return value;
}

Outcome OpenOutcome(DeviceSeam& device, const wchar_t* path) {
    const HANDLE handle = device.Open(path, 0);
    const Outcome outcome{handle != INVALID_HANDLE_VALUE, handle == INVALID_HANDLE_VALUE ? ::GetLastError() : 0, {}};
    if (outcome.ok) device.Close(handle);
    return outcome;
}

}  // namespace vnk::test
