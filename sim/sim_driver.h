// A simulated drive bay with the Varnok filter driver on its drives: what
// tests and the simulator program put behind the device seam. It models
// drives, discs, announcements, statuses, logins, ejects, volume locks (a
// locked volume refuses other opens with ERROR_ACCESS_DENIED) and
// dismounts, signals an announced event by name as a driver does, can be
// told to fail calls, and records every call made to it. Thread-safe.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/device_seam.h"

namespace vnk::sim {

enum class Disc { None, Plain, Encrypted };

// The kinds of call whose failure can be injected.
enum class Fault {
    Open,       // CreateFileW
    Signature,  // IOCTL_VNK_GET_SIGNATURE
    Status,     // IOCTL_VNK_GET_STATUS
    Announce,   // IOCTL_VNK_ANNOUNCE
    Login,      // IOCTL_VNK_LOGIN
    Withdraw,   // IOCTL_VNK_WITHDRAW
    Lock,       // FSCTL_LOCK_VOLUME
    Unlock,     // FSCTL_UNLOCK_VOLUME
    Dismount,   // FSCTL_DISMOUNT_VOLUME
    Eject,      // IOCTL_STORAGE_EJECT_MEDIA
};

enum class CallKind { DriveType, Open, Control, Close };

// A login's input is a passphrase: every copy of a record wipes it when it goes.
struct CallRecord {
    wchar_t drive = 0;       // 0 when the call named no known drive
    CallKind kind = CallKind::Control;
    DWORD code = 0;          // control code; for Open the flags and attributes
    std::vector<BYTE> input; // the input bytes of a control call
    bool succeeded = false;

    CallRecord() = default;
    CallRecord(wchar_t drive, CallKind kind, DWORD code, std::vector<BYTE> input, bool succeeded)
        : drive(drive), kind(kind), code(code), input(std::move(input)), succeeded(succeeded) {}
    CallRecord(const CallRecord&) = default;
    CallRecord(CallRecord&&) noexcept = default;
    CallRecord& operator=(const CallRecord&) = default;
    CallRecord& operator=(CallRecord&&) noexcept = default;
    ~CallRecord() { ::SecureZeroMemory(input.data(), input.size()); }
};

// A snapshot of one drive, as tests and the control program see it.
struct DriveState {
    wchar_t letter = 0;
    UINT driveType = DRIVE_CDROM;
    bool present = true;
    Disc disc = Disc::None;
    bool loggedIn = false;
    bool loginRefused = false;
    DWORD status = 0;                 // what IOCTL_VNK_GET_STATUS would answer now
    bool announced = false;
    GUID guid{};
    DWORD sessionId = 0;
    std::wstring eventName;
    bool volumeLocked = false;        // locked through one of our handles
    bool heldByOtherProgram = false;
    unsigned logins = 0, ejects = 0, dismounts = 0, announcements = 0, withdrawals = 0;
};

class SimDriver final : public DeviceSeam {
public:
    SimDriver() = default;

    // The bay. A drive is a CD/DVD drive with the driver on it unless told
    // otherwise.
    void AddDrive(wchar_t letter, UINT driveType = DRIVE_CDROM);
    void RemoveDrive(wchar_t letter);  // gone: no root, opens fail with 2
    // The 8 bytes the signature query answers; nullopt: the query fails
    // (no driver on the drive).
    void SetSignature(wchar_t letter, std::optional<std::string> bytes);
    void InsertPlainDisc(wchar_t letter);
    // Signals the drive's announced event, if it has one.
    void InsertEncryptedDisc(wchar_t letter, const std::wstring& passphrase);
    void TakeOutDisc(wchar_t letter);  // as a person would, without the client
    void HoldVolume(wchar_t letter, bool held);  // another program keeps the volume open
    // Signals the drive's announced event now; false when it has none.
    bool SignalDrive(wchar_t letter);
    // The next `count` calls of that kind on the drive fail with `error`
    // (count kForever: until cleared with count 0), after `skip` calls of
    // that kind have gone through.
    void FailCalls(wchar_t letter, Fault fault, DWORD error, unsigned count = 1, unsigned skip = 0);
    static constexpr unsigned kForever = 0xFFFFFFFF;
    // Makes the status query answer this value (nullopt: the real status).
    void OverrideStatus(wchar_t letter, std::optional<DWORD> status);
    // Makes the status query report this many bytes written (nullopt: 4),
    // as a faulty driver might; it never writes past the caller's buffer.
    void OverrideStatusSize(wchar_t letter, std::optional<DWORD> bytes);

    void Reset();  // no drives, no handles, no calls

    // Inspection.
    std::vector<CallRecord> Calls() const;
    void ClearCalls();
    std::optional<DriveState> State(wchar_t letter) const;
    std::vector<DriveState> States() const;
    size_t OpenHandleCount() const;

    // DeviceSeam.
    UINT DriveType(const wchar_t* rootPath) override;
    HANDLE Open(const wchar_t* devicePath, DWORD flagsAndAttributes) override;
    BOOL Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD* returned) override;
    void Close(HANDLE device) override;

private:
    struct FaultPlan {
        DWORD error = 0;
        unsigned remaining = 0;
        unsigned skip = 0;
    };
    struct Drive {
        UINT driveType = DRIVE_CDROM;
        bool present = true;
        std::optional<std::string> signature = std::string("PLMRVNK2", 8);
        Disc disc = Disc::None;
        std::wstring passphrase;  // wiped whenever it is dropped (DropPassphrase)
        bool loggedIn = false;
        bool loginRefused = false;
        std::optional<DWORD> statusOverride;
        std::optional<DWORD> statusBytes;
        bool announced = false;
        GUID guid{};
        DWORD sessionId = 0;
        std::wstring eventName;
        HANDLE lockedBy = nullptr;
        bool heldByOther = false;
        std::map<Fault, FaultPlan> faults;
        unsigned logins = 0, ejects = 0, dismounts = 0, announcements = 0, withdrawals = 0;

        Drive() = default;
        Drive(const Drive&) = delete;
        Drive& operator=(const Drive&) = delete;
        ~Drive() { DropPassphrase(); }
        void DropPassphrase();
    };

    Drive* FindLocked(wchar_t letter);
    const Drive* FindLocked(wchar_t letter) const;
    bool TakeFault(Drive& drive, Fault fault, DWORD& error);
    DWORD StatusOf(const Drive& drive) const;
    DriveState Snapshot(wchar_t letter, const Drive& drive) const;
    void SignalLocked(const Drive& drive) const;
    BOOL Handle(Drive& drive, HANDLE device, DWORD code, const std::vector<BYTE>& input, void* out,
                DWORD outSize, DWORD* returned, DWORD& error);

    mutable std::recursive_mutex m_mutex;
    std::map<wchar_t, Drive> m_drives;
    std::map<HANDLE, wchar_t> m_handles;
    std::uintptr_t m_nextHandle = 0x5A000;
    std::vector<CallRecord> m_calls;
};

// The simulated driver of this process.
SimDriver& TheSimDriver();

// The drive letter a device path "\\.\X:" names, or 0.
wchar_t LetterOfDevicePath(const wchar_t* devicePath);

}  // namespace vnk::sim
