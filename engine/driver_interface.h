// The filter driver's control interface: codes, signature, records and the
// name of an announcement's event. Shared by the client and by simulated
// drivers.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <cwctype>
#include <string>

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

// The status the filter driver reports for a drive (IOCTL_VNK_GET_STATUS).
enum DriveStatus : DWORD {
    NoDisc = 0,
    DriveInUse = 1,
    NotVarnokDisc = 2,
    NotLoggedIn = 3,
    LoginFailed = 4,
    LoggedIn = 5,
};

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

// A passphrase is at most this many UTF-16 units; the login record adds
// one zero unit, so it is at most 510 bytes.
constexpr size_t kMaxPassphraseUnits = 254;

// The name of the event that goes with an announcement: the braced GUID
// text, 38 characters, in upper case, with no namespace prefix.
inline std::wstring EventNameForGuid(const GUID& guid) {
    wchar_t text[260] = {};
    ::StringFromGUID2(guid, text, 260);
    for (wchar_t* p = text; *p != L'\0'; ++p) *p = static_cast<wchar_t>(std::towupper(*p));
    return text;
}

}  // namespace vnk
