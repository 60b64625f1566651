#include "sim/sim_driver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwctype>

#include "engine/driver_interface.h"

namespace vnk::sim {

namespace {

std::optional<Fault> FaultOf(DWORD code) {
    switch (code) {
        case IOCTL_VNK_GET_SIGNATURE: return Fault::Signature;
        case IOCTL_VNK_GET_STATUS: return Fault::Status;
        case IOCTL_VNK_ANNOUNCE: return Fault::Announce;
        case IOCTL_VNK_LOGIN: return Fault::Login;
        case IOCTL_VNK_WITHDRAW: return Fault::Withdraw;
        case kFsctlLockVolume: return Fault::Lock;
        case kFsctlUnlockVolume: return Fault::Unlock;
        case kFsctlDismountVolume: return Fault::Dismount;
        case kIoctlStorageEjectMedia: return Fault::Eject;
        default: return std::nullopt;
    }
}

wchar_t NormalLetter(wchar_t letter) { return static_cast<wchar_t>(std::towupper(letter)); }

// How long the destructor gives released calls to leave the driver.
constexpr auto kLeaveTimeout = std::chrono::seconds(2);

void Add(std::vector<Fault>& kinds, Fault kind) {
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) kinds.push_back(kind);
}

}  // namespace

DriveTiming RealDriveTiming() {
    DriveTiming timing;
    const auto set = [&timing](Fault kind, DWORD ms) { timing.callMs[static_cast<size_t>(kind)] = ms; };
    set(Fault::Open, 5);        // opening the volume of a mounted disc
    set(Fault::Signature, 1);   // the filter driver answers from memory
    set(Fault::Status, 2);      // likewise, after a look at the media state
    set(Fault::Announce, 1);
    set(Fault::Withdraw, 1);
    set(Fault::Login, 250);     // the driver derives the disc key from the passphrase
    set(Fault::Lock, 30);       // the file system flushes and checks for open files
    set(Fault::Unlock, 1);
    set(Fault::Dismount, 80);   // the file system tears the volume down
    set(Fault::Eject, 1500);    // the tray motor, with the disc spinning down first
    timing.mountingOpenMs = 500;     // an open waits for the mount to finish
    timing.mountingWindowMs = 3000;  // spin-up and mount after an insert
    return timing;
}

SimDriver& TheSimDriver() {
    static SimDriver driver;
    return driver;
}

wchar_t LetterOfDevicePath(const wchar_t* path) {
    if (path == nullptr || std::wcslen(path) != 6) return 0;
    if (std::wcsncmp(path, L"\\\\.\\", 4) != 0 || path[5] != L':') return 0;
    const wchar_t letter = NormalLetter(path[4]);
    return letter >= L'A' && letter <= L'Z' ? letter : 0;
}

SimDriver::Drive* SimDriver::FindLocked(wchar_t letter) {
    auto it = m_drives.find(NormalLetter(letter));
    return it == m_drives.end() ? nullptr : &it->second;
}

const SimDriver::Drive* SimDriver::FindLocked(wchar_t letter) const {
    auto it = m_drives.find(NormalLetter(letter));
    return it == m_drives.end() ? nullptr : &it->second;
}

SimDriver::~SimDriver() {
    Lock lock(m_mutex);
    m_noWaits = true;
    ReleaseWaiting(0);
    // The released calls need the lock for a moment to leave. A call whose
    // thread was ended (at process exit) never leaves: the wait is bounded.
    m_changed.wait_for(lock, kLeaveTimeout, [this] { return m_waiting.empty(); });
}

void SimDriver::AddDrive(wchar_t letter, UINT driveType) {
    std::lock_guard lock(m_mutex);
    const auto [it, added] = m_drives.try_emplace(NormalLetter(letter));
    Drive& drive = it->second;
    if (added) {
        drive.state.letter = it->first;
        drive.delays = m_everyDriveDelays;
        drive.stalls = m_everyDriveStalls;
    }
    drive.state.driveType = driveType;
    drive.state.present = true;
}

void SimDriver::Drive::TakeOutDisc() {
    state.disc = Disc::None;
    state.loggedIn = state.loginRefused = false;
    ::SecureZeroMemory(passphrase.data(), passphrase.size() * sizeof(wchar_t));
    passphrase.clear();
}

void SimDriver::Drive::InsertDisc(Disc disc) {
    TakeOutDisc();
    state.disc = disc;
    insertedTick = ::GetTickCount();
    mounting = true;
}

void SimDriver::RemoveDrive(wchar_t letter) {
    std::lock_guard lock(m_mutex);
    if (Drive* drive = FindLocked(letter)) {
        drive->state.present = false;
        drive->TakeOutDisc();
        drive->state.announced = false;
        drive->lockedBy = nullptr;
        // Another program's handle to the volume goes with the device.
        drive->state.heldByOtherProgram = false;
        // As a driver completes a gone device's pending requests: the
        // waiting calls go on and find the drive gone.
        ReleaseWaiting(NormalLetter(letter));
    }
}

void SimDriver::SetSignature(wchar_t letter, std::optional<std::string> bytes) {
    std::lock_guard lock(m_mutex);
    if (Drive* drive = FindLocked(letter)) drive->signature = std::move(bytes);
}

void SimDriver::InsertPlainDisc(wchar_t letter) {
    std::lock_guard lock(m_mutex);
    if (Drive* drive = FindLocked(letter)) drive->InsertDisc(Disc::Plain);
}

void SimDriver::InsertEncryptedDisc(wchar_t letter, const std::wstring& passphrase) {
    std::lock_guard lock(m_mutex);
    if (Drive* drive = FindLocked(letter)) {
        drive->InsertDisc(Disc::Encrypted);
        drive->passphrase = passphrase;
        SignalLocked(*drive);
    }
}

void SimDriver::TakeOutDisc(wchar_t letter) {
    std::lock_guard lock(m_mutex);
    if (Drive* drive = FindLocked(letter)) drive->TakeOutDisc();
}

void SimDriver::HoldVolume(wchar_t letter, bool held) {
    std::lock_guard lock(m_mutex);
    if (Drive* drive = FindLocked(letter)) drive->state.heldByOtherProgram = held;
}

bool SimDriver::SignalDrive(wchar_t letter) {
    std::lock_guard lock(m_mutex);
    const Drive* drive = FindLocked(letter);
    if (drive == nullptr || !drive->state.announced) return false;
    SignalLocked(*drive);
    return true;
}

void SimDriver::SignalLocked(const Drive& drive) const {
    if (!drive.state.announced || !drive.state.present) return;
    // As a driver does: open the announced event by its name and set it.
    HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, drive.state.eventName.c_str());
    if (event == nullptr) return;
    ::SetEvent(event);
    ::CloseHandle(event);
}

void SimDriver::FailCalls(wchar_t letter, Fault fault, DWORD error, unsigned count, unsigned skip) {
    std::lock_guard lock(m_mutex);
    if (Drive* drive = FindLocked(letter)) drive->faults[fault] = FaultPlan{error, count, skip};
}

void SimDriver::OverrideStatus(wchar_t letter, std::optional<DWORD> status) {
    std::lock_guard lock(m_mutex);
    if (Drive* drive = FindLocked(letter)) drive->statusOverride = status;
}

void SimDriver::OverrideStatusSize(wchar_t letter, std::optional<DWORD> bytes) {
    std::lock_guard lock(m_mutex);
    if (Drive* drive = FindLocked(letter)) drive->statusBytes = bytes;
}

void SimDriver::DelayCalls(wchar_t letter, Fault kind, DWORD ms, unsigned count) {
    std::lock_guard lock(m_mutex);
    const auto plan = [ms, count, kind](DelayPlans& plans) {
        if (ms == 0 || count == 0)
            plans.erase(kind);
        else
            plans[kind] = DelayPlan{ms, count};
    };
    if (letter == 0) {
        plan(m_everyDriveDelays);
        for (auto& [driveLetter, drive] : m_drives) plan(drive.delays);
    } else if (Drive* drive = FindLocked(letter)) {
        plan(drive->delays);
    }
}

void SimDriver::StallCalls(wchar_t letter, Fault kind) {
    std::lock_guard lock(m_mutex);
    if (letter == 0) {
        Add(m_everyDriveStalls, kind);
        for (auto& [driveLetter, drive] : m_drives) Add(drive.stalls, kind);
    } else if (Drive* drive = FindLocked(letter)) {
        Add(drive->stalls, kind);
    }
}

void SimDriver::ReleaseCalls(wchar_t letter) {
    std::lock_guard lock(m_mutex);
    if (letter == 0) {
        m_everyDriveStalls.clear();
        for (auto& [driveLetter, drive] : m_drives) drive.stalls.clear();
    } else if (Drive* drive = FindLocked(letter)) {
        drive->stalls.clear();
    }
    ReleaseWaiting(NormalLetter(letter));
}

void SimDriver::ReleaseWaiting(wchar_t letter) {
    for (Waiting& waiting : m_waiting)
        if (letter == 0 || waiting.call.drive == letter) waiting.released = true;
    m_changed.notify_all();
}

bool SimDriver::WaitForCallInProgress(wchar_t letter, Fault kind, DWORD timeoutMs) const {
    Lock lock(m_mutex);
    const wchar_t wanted = NormalLetter(letter);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return std::any_of(m_waiting.begin(), m_waiting.end(), [&](const Waiting& waiting) {
            return !waiting.released && waiting.call.kind == kind && (wanted == 0 || waiting.call.drive == wanted);
        });
    });
}

std::vector<SimDriver::CallInProgress> SimDriver::CallsInProgress() const {
    std::lock_guard lock(m_mutex);
    std::vector<CallInProgress> calls;
    for (const Waiting& waiting : m_waiting)
        if (!waiting.released) calls.push_back(waiting.call);
    return calls;
}

void SimDriver::SetTiming(const DriveTiming& timing) {
    std::lock_guard lock(m_mutex);
    m_timing = timing;
}

void SimDriver::EndWaits() {
    std::lock_guard lock(m_mutex);
    m_noWaits = true;
    ReleaseWaiting(0);
}

bool SimDriver::Stalled(const Drive& drive, Fault kind) const {
    return std::find(drive.stalls.begin(), drive.stalls.end(), kind) != drive.stalls.end();
}

DWORD SimDriver::PlannedDelay(Drive& drive, Fault kind) {
    DWORD ms = m_timing.callMs[static_cast<size_t>(kind)];
    if (kind == Fault::Open && drive.mounting) {
        if (::GetTickCount() - drive.insertedTick < m_timing.mountingWindowMs)
            ms += m_timing.mountingOpenMs;
        else
            drive.mounting = false;
    }
    auto it = drive.delays.find(kind);
    if (it != drive.delays.end()) {
        ms += it->second.ms;
        if (it->second.remaining != kForever && --it->second.remaining == 0) drive.delays.erase(it);
    }
    return ms;
}

void SimDriver::WaitAsPlanned(Lock& lock, wchar_t letter, Fault kind) {
    if (m_noWaits) return;
    Drive* drive = FindLocked(letter);
    if (drive == nullptr || !drive->state.present) return;
    const bool stalled = Stalled(*drive, kind);
    const DWORD ms = PlannedDelay(*drive, kind);
    if (!stalled && ms == 0) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    const auto waiting = m_waiting.insert(m_waiting.end(), Waiting{{NormalLetter(letter), kind, ::GetTickCount(), stalled}});
    m_changed.notify_all();
    // The wait gives up the lock: every other call goes on meanwhile.
    const auto released = [&waiting] { return waiting->released; };
    if (stalled)
        m_changed.wait(lock, released);
    else
        m_changed.wait_until(lock, until, released);
    m_waiting.erase(waiting);
    m_changed.notify_all();
}

void SimDriver::Reset() {
    std::lock_guard lock(m_mutex);
    ReleaseWaiting(0);
    m_drives.clear();
    m_handles.clear();
    m_calls.clear();
    m_everyDriveDelays.clear();
    m_everyDriveStalls.clear();
    m_timing = {};
    m_noWaits = false;
}

std::vector<CallRecord> SimDriver::Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

void SimDriver::ClearCalls() {
    std::lock_guard lock(m_mutex);
    // A recorded login's input is a passphrase: it is wiped, not just freed,
    // so that a search of the process's memory finds no copy of the driver's.
    for (CallRecord& call : m_calls) ::SecureZeroMemory(call.input.data(), call.input.size());
    m_calls.clear();
}

DWORD SimDriver::StatusOf(const Drive& drive) const {
    if (drive.statusOverride) return *drive.statusOverride;
    switch (drive.state.disc) {
        case Disc::None: return NoDisc;
        case Disc::Plain: return NotVarnokDisc;
        case Disc::Encrypted:
            if (drive.state.loggedIn) return LoggedIn;
            if (drive.state.loginRefused) return LoginFailed;
            return drive.state.heldByOtherProgram ? DriveInUse : NotLoggedIn;
    }
    return NoDisc;
}

// The fields that follow from the driver's own are filled in; the rest is
// kept as it is shown.
DriveState SimDriver::Snapshot(const Drive& drive) const {
    DriveState s = drive.state;
    s.status = StatusOf(drive);
    s.volumeLocked = drive.lockedBy != nullptr;
    return s;
}

std::optional<DriveState> SimDriver::State(wchar_t letter) const {
    std::lock_guard lock(m_mutex);
    const Drive* drive = FindLocked(letter);
    if (drive == nullptr) return std::nullopt;
    return Snapshot(*drive);
}

std::vector<DriveState> SimDriver::States() const {
    std::lock_guard lock(m_mutex);
    std::vector<DriveState> states;
    for (const auto& [letter, drive] : m_drives) states.push_back(Snapshot(drive));
    return states;
}

size_t SimDriver::OpenHandleCount() const {
    std::lock_guard lock(m_mutex);
    return m_handles.size();
}

bool SimDriver::TakeFault(Drive& drive, Fault fault, DWORD& error) {
    auto it = drive.faults.find(fault);
    if (it == drive.faults.end() || it->second.remaining == 0) return false;
    if (it->second.skip > 0) {
        --it->second.skip;
        return false;
    }
    error = it->second.error;
    if (it->second.remaining != kForever) --it->second.remaining;
    return true;
}

UINT SimDriver::DriveType(const wchar_t* rootPath) {
    std::lock_guard lock(m_mutex);
    wchar_t letter = 0;
    if (rootPath != nullptr && std::wcslen(rootPath) == 3 && rootPath[1] == L':' && rootPath[2] == L'\\')
        letter = NormalLetter(rootPath[0]);
    const Drive* drive = FindLocked(letter);
    m_calls.push_back({letter, CallKind::DriveType, 0, {}, true});
    if (drive == nullptr || !drive->state.present) return DRIVE_NO_ROOT_DIR;
    return drive->state.driveType;
}

HANDLE SimDriver::Open(const wchar_t* devicePath, DWORD flagsAndAttributes) {
    Lock lock(m_mutex);
    const wchar_t letter = LetterOfDevicePath(devicePath);
    WaitAsPlanned(lock, letter, Fault::Open);
    // Found after the wait: the drive may have gone meanwhile.
    Drive* drive = FindLocked(letter);
    CallRecord record{drive != nullptr ? letter : wchar_t{0}, CallKind::Open, flagsAndAttributes, {}, false};
    DWORD error = ERROR_FILE_NOT_FOUND;
    // A volume locked through one handle refuses every other open, as file
    // systems do.
    const bool lockedAway = drive != nullptr && drive->state.present && drive->lockedBy != nullptr;
    if (lockedAway) error = ERROR_ACCESS_DENIED;
    if (drive != nullptr && drive->state.present && !lockedAway && !TakeFault(*drive, Fault::Open, error)) {
        const auto handle = reinterpret_cast<HANDLE>(m_nextHandle);
        m_nextHandle += 4;
        m_handles[handle] = letter;
        record.succeeded = true;
        m_calls.push_back(std::move(record));
        return handle;
    }
    m_calls.push_back(std::move(record));
    ::SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

void SimDriver::Close(HANDLE device) {
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(device);
    CallRecord record{0, CallKind::Close, 0, {}, it != m_handles.end()};
    if (it != m_handles.end()) {
        record.drive = it->second;
        // Closing the handle ends a volume lock taken through it.
        if (Drive* drive = FindLocked(it->second); drive != nullptr && drive->lockedBy == device)
            drive->lockedBy = nullptr;
        m_handles.erase(it);
    }
    m_calls.push_back(std::move(record));
}

BOOL SimDriver::Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out,
                        DWORD outSize, DWORD* returned) {
    Lock lock(m_mutex);
    if (returned != nullptr) *returned = 0;
    if (const auto kind = FaultOf(code)) {
        if (auto it = m_handles.find(device); it != m_handles.end()) WaitAsPlanned(lock, it->second, *kind);
    }
    // The handle and its drive are looked up after the wait: either may
    // have gone meanwhile (closed, reset, removed).
    std::vector<BYTE> input;
    if (in != nullptr && inSize != 0) {
        const auto* bytes = static_cast<const BYTE*>(in);
        input.assign(bytes, bytes + inSize);
    }
    auto it = m_handles.find(device);
    CallRecord record{it != m_handles.end() ? it->second : wchar_t{0}, CallKind::Control, code, input, false};
    DWORD error = ERROR_INVALID_HANDLE;
    BOOL ok = FALSE;
    if (it != m_handles.end()) {
        Drive* drive = FindLocked(it->second);
        if (drive == nullptr || !drive->state.present) {
            error = ERROR_DEV_NOT_EXIST;
        } else if (auto fault = FaultOf(code); fault && TakeFault(*drive, *fault, error)) {
            ok = FALSE;
        } else {
            ok = Handle(*drive, device, code, input, out, outSize, returned, error);
        }
    }
    record.succeeded = ok != FALSE;
    m_calls.push_back(std::move(record));
    ::SecureZeroMemory(input.data(), input.size());
    if (!ok) ::SetLastError(error);
    return ok;
}

BOOL SimDriver::Handle(Drive& drive, HANDLE device, DWORD code, const std::vector<BYTE>& input,
                       void* out, DWORD outSize, DWORD* returned, DWORD& error) {
    switch (code) {
        case IOCTL_VNK_GET_SIGNATURE:
            if (!drive.signature) { error = ERROR_INVALID_FUNCTION; return FALSE; }
            if (out == nullptr || outSize < sizeof kDriverSignature) { error = ERROR_INSUFFICIENT_BUFFER; return FALSE; }
            std::memset(out, 0, sizeof kDriverSignature);
            std::memcpy(out, drive.signature->data(), std::min(sizeof kDriverSignature, drive.signature->size()));
            if (returned != nullptr) *returned = sizeof kDriverSignature;
            return TRUE;
        case IOCTL_VNK_GET_STATUS: {
            if (!drive.signature) { error = ERROR_INVALID_FUNCTION; return FALSE; }
            if (out == nullptr || outSize < sizeof(DWORD)) { error = ERROR_INSUFFICIENT_BUFFER; return FALSE; }
            const DWORD status = StatusOf(drive);
            const DWORD bytes = drive.statusBytes.value_or(sizeof status);
            std::memcpy(out, &status, std::min<size_t>(bytes, sizeof status));
            if (returned != nullptr) *returned = bytes;
            return TRUE;
        }
        case IOCTL_VNK_ANNOUNCE: {
            if (!drive.signature) { error = ERROR_INVALID_FUNCTION; return FALSE; }
            if (input.size() != sizeof(AnnounceRecord)) { error = ERROR_INVALID_PARAMETER; return FALSE; }
            AnnounceRecord record;
            std::memcpy(&record, input.data(), sizeof record);
            drive.state.announced = true;
            drive.state.guid = record.guid;
            drive.state.sessionId = record.sessionId;
            drive.state.eventName = EventNameForGuid(record.guid);
            ++drive.state.announcements;
            // A disc that waits for its login is announced to the new client at once.
            if (drive.state.disc == Disc::Encrypted && !drive.state.loggedIn) SignalLocked(drive);
            return TRUE;
        }
        case IOCTL_VNK_WITHDRAW:
            drive.state.announced = false;
            ++drive.state.withdrawals;
            return TRUE;
        case IOCTL_VNK_LOGIN: {
            ++drive.state.logins;
            // UTF-16 units and one terminating zero unit, nothing else.
            const size_t units = input.size() / 2;
            const bool wellFormed = input.size() % 2 == 0 && units >= 1 &&
                                    units <= kMaxPassphraseUnits + 1 && input[input.size() - 1] == 0 &&
                                    input[input.size() - 2] == 0;
            std::wstring given;
            if (wellFormed) {
                given.resize(units - 1);
                std::memcpy(given.data(), input.data(), (units - 1) * 2);
            }
            const bool accepted = wellFormed && drive.state.disc == Disc::Encrypted && given == drive.passphrase;
            ::SecureZeroMemory(given.data(), given.size() * sizeof(wchar_t));
            if (accepted) {
                drive.state.loggedIn = true;
                drive.state.loginRefused = false;
                return TRUE;
            }
            if (drive.state.disc == Disc::Encrypted) drive.state.loginRefused = true;
            error = wellFormed ? ERROR_INVALID_PASSWORD : ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        case kFsctlLockVolume:
            if (drive.state.heldByOtherProgram || (drive.lockedBy != nullptr && drive.lockedBy != device)) {
                error = ERROR_ACCESS_DENIED;
                return FALSE;
            }
            drive.lockedBy = device;
            return TRUE;
        case kFsctlUnlockVolume:
            if (drive.lockedBy != device) { error = ERROR_NOT_LOCKED; return FALSE; }
            drive.lockedBy = nullptr;
            return TRUE;
        case kFsctlDismountVolume:
            ++drive.state.dismounts;
            return TRUE;
        case kIoctlStorageEjectMedia:
            if (drive.lockedBy != nullptr && drive.lockedBy != device) {
                error = ERROR_ACCESS_DENIED;
                return FALSE;
            }
            ++drive.state.ejects;
            drive.TakeOutDisc();
            return TRUE;
        default:
            error = ERROR_INVALID_FUNCTION;
            return FALSE;
    }
}

}  // namespace vnk::sim
