// Calls through the device seam as the client makes them, and the records
// they carry, for the tests of the simulated driver, the simulator and the
// pipe client.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/device_seam.h"
#include "engine/driver_interface.h"

namespace vnk::test {

using Bytes = std::vector<BYTE>;

// A login record: the passphrase in UTF-16, with its terminator unless not.
Bytes LoginRecord(const std::wstring& passphrase, bool terminated = true);
// An announcement record for `guid`, cut or padded to `size` bytes.
Bytes AnnounceBytes(const GUID& guid, size_t size = sizeof(AnnounceRecord));
GUID FreshGuid();
Bytes StatusBytes(DWORD status);

// What a control call gave: whether it succeeded, its error, the bytes
// it returned.
struct Outcome {
    bool ok = false;
    DWORD error = 0;
    Bytes out;
};
Outcome Call(DeviceSeam& device, HANDLE handle, DWORD code, const Bytes& in = {}, DWORD outSize = 0);
// An open of `path`, closed again at once when it succeeded.
Outcome OpenOutcome(DeviceSeam& device, const wchar_t* path);
// The status the drive at `path` answers; nothing when it does not open or answer.
std::optional<DWORD> StatusOf(DeviceSeam& device, const wchar_t* path);

}  // namespace vnk::test
