// A simulated drive bay with the Varnok filter driver on its drives: what
// tests and the simulator program put behind the device seam. It models
// drives, discs, announcements, statuses, logins, ejects, volume locks (a
// locked volume refuses other opens with ERROR_ACCESS_DENIED) and
// dismounts, signals an announced event by name as a driver does, can be
// told to fail, delay or stall calls, and records every call made to it.
// Thread-safe: a delayed or stalled call waits without holding the bay's
// lock, so other calls, on any drive, go on meanwhile.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/device_seam.h"
#include "engine/driver_interface.h"

namespace vnk::sim {

enum class Disc { None, Plain, Encrypted };

// The kinds of call whose failure, delay or stall can be injected.
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
    wchar_t drive = 0;       // the letter a drive-type query names; for other calls the known drive, else 0
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
    DWORD status = NoDisc;            // what IOCTL_VNK_GET_STATUS would answer now (a DriveStatus, or an override)
    bool announced = false;
    GUID guid{};
    DWORD sessionId = 0;
    std::wstring eventName;
    bool volumeLocked = false;        // locked through one of our handles
    bool heldByOtherProgram = false;
    unsigned logins = 0, ejects = 0, dismounts = 0, announcements = 0, withdrawals = 0;
};

// How long each kind of call takes on its own, before any delay asked for:
// a drive that answers at once, or one with a real drive's times.
struct DriveTiming {
    DWORD callMs[10] = {};        // by Fault
    DWORD mountingOpenMs = 0;     // an open while the disc mounts...
    DWORD mountingWindowMs = 0;   // ...that is, this long after an insert
};
// The figures of a real CD/DVD drive (the README's simulator section says why).
DriveTiming RealDriveTiming();

class SimDriver final : public DeviceSeam {
public:
    SimDriver() = default;
    // Ends every delayed and stalled call first (waiting a bounded time for
    // them to leave).
    ~SimDriver() override;
    SimDriver(const SimDriver&) = delete;
    SimDriver& operator=(const SimDriver&) = delete;

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

    // The next `count` calls of that kind on the drive each take `ms` ms
    // longer (count kForever: until cleared with ms 0 or count 0). Letter 0:
    // every drive, present and future. The wait comes before the call's work:
    // a fault plan applies after it, and the call record gets the call when
    // it ends.
    void DelayCalls(wchar_t letter, Fault kind, DWORD ms, unsigned count = kForever);
    // Calls of that kind on the drive (letter 0: every drive, present and
    // future) block, without holding the bay's lock, until ReleaseCalls,
    // Reset(), EndWaits() or the driver's destruction.
    void StallCalls(wchar_t letter, Fault kind);
    // Ends the drive's stalls (letter 0: every drive's) and lets every call
    // on it that waits now, stalled or delayed, go on at once. Delay plans
    // stay.
    void ReleaseCalls(wchar_t letter);
    // For tests to synchronise on instead of sleeping: waits at most
    // timeoutMs until a call of that kind on the drive (letter 0: any
    // drive) is in progress (delayed or stalled); false when none came.
    bool WaitForCallInProgress(wchar_t letter, Fault kind, DWORD timeoutMs) const;
    struct CallInProgress {
        wchar_t drive;
        Fault kind;
        DWORD sinceTick;  // GetTickCount() when the call began to wait
        bool stalled;
    };
    std::vector<CallInProgress> CallsInProgress() const;
    // The times calls take before any delay (default: none).
    void SetTiming(const DriveTiming& timing);
    // For a program that ends: releases every waiting call, and no call
    // waits from now on (until Reset).
    void EndWaits();

    void Reset();  // no drives, no handles, no calls, no delays; waiting calls go on

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
    struct DelayPlan {
        DWORD ms = 0;
        unsigned remaining = 0;
    };
    using DelayPlans = std::map<Fault, DelayPlan>;
    // A drive: what a snapshot shows, kept as it is shown (but for the
    // status and the volume lock, which follow from the fields below), and
    // what only the driver knows.
    struct Drive {
        DriveState state;
        std::optional<std::string> signature = std::string(kDriverSignature, sizeof kDriverSignature);
        std::wstring passphrase;  // wiped whenever it is dropped (TakeOutDisc)
        std::optional<DWORD> statusOverride;
        std::optional<DWORD> statusBytes;
        HANDLE lockedBy = nullptr;
        std::map<Fault, FaultPlan> faults;
        DelayPlans delays;
        std::vector<Fault> stalls;
        DWORD insertedTick = 0;
        bool mounting = false;  // inserted, and the mounting window not yet known to be over

        Drive() = default;
        Drive(const Drive&) = delete;
        Drive& operator=(const Drive&) = delete;
        ~Drive() { TakeOutDisc(); }
        // No disc any more (ejected, taken out, the drive gone, another
        // inserted): its passphrase is wiped and its login forgotten.
        void TakeOutDisc();
        // A disc of this kind goes in (any other comes out first) and
        // mounts from now on.
        void InsertDisc(Disc disc);
    };

    Drive* FindLocked(wchar_t letter);
    const Drive* FindLocked(wchar_t letter) const;
    bool TakeFault(Drive& drive, Fault fault, DWORD& error);
    DWORD StatusOf(const Drive& drive) const;
    DriveState Snapshot(const Drive& drive) const;
    void SignalLocked(const Drive& drive) const;
    BOOL Handle(Drive& drive, HANDLE device, DWORD code, const std::vector<BYTE>& input, void* out,
                DWORD outSize, DWORD* returned, DWORD& error);

    // A call that waits, as CallsInProgress shows it; `released` ends its wait.
    struct Waiting {
        CallInProgress call;
        bool released = false;
    };
    using Lock = std::unique_lock<std::recursive_mutex>;
    // Makes the call wait as its drive's plans and timing say, releasing the
    // lock meanwhile; the caller finds its drive and handle afresh after it.
    void WaitAsPlanned(Lock& lock, wchar_t letter, Fault kind);
    DWORD PlannedDelay(Drive& drive, Fault kind);
    bool Stalled(const Drive& drive, Fault kind) const;
    void ReleaseWaiting(wchar_t letter);

    mutable std::recursive_mutex m_mutex;
    mutable std::condition_variable_any m_changed;  // a call began or ended waiting, or was released
    std::list<Waiting> m_waiting;
    DelayPlans m_everyDriveDelays;        // for drives added later
    std::vector<Fault> m_everyDriveStalls;
    DriveTiming m_timing;
    bool m_noWaits = false;
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
