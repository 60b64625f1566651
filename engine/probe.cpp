#include "engine/probe.h"

#include <objbase.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/error_box.h"
#include "common/strings.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/driver.h"
#include "fw/security.h"
#include "res/resource.h"

namespace vnk {

namespace {

LoginThreadFactory g_loginThreadFactory = nullptr;

std::wstring RootPath(wchar_t letter) { return {letter, L':', L'\\'}; }

// Takes out the records that are gone: all of them at the first probe, at
// a re-probe those whose drive is really gone. The caller lets the nodes
// go after it has left DriveLock.
std::vector<DriveTable::Node> TakeOutVanishedDrives(int reprobe) {
    std::lock_guard lock(DriveLock);
    if (reprobe == 0) return Drives().ExtractAll();
    std::vector<wchar_t> gone;
    for (auto& [letter, info] : Drives()) {
        if (DriveIsGone(letter, L"VNKDProbeForDrives")) gone.push_back(letter);
    }
    std::vector<DriveTable::Node> nodes;
    for (wchar_t letter : gone) nodes.push_back(Drives().Extract(letter));
    return nodes;
}

enum class Signature { Found, Other, NoAnswer };

// Errors with which a device that has no filter driver on it turns the
// driver's private requests away.
bool IsUnknownRequestError(DWORD error) {
    switch (error) {
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_PARAMETER:
        case ERROR_CALL_NOT_IMPLEMENTED:
            return true;
        default:
            return false;
    }
}

Signature QuerySignature(const DeviceHandle& device) {
    char signature[sizeof kDriverSignature] = {};
    if (!device.Control(IOCTL_VNK_GET_SIGNATURE, nullptr, 0, signature, sizeof signature))
        return IsUnknownRequestError(::GetLastError()) ? Signature::NoAnswer : Signature::Other;
    return std::memcmp(signature, kDriverSignature, sizeof signature) == 0 ? Signature::Found : Signature::Other;
}

DWORD CurrentSessionId() {
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    return session;
}

// Announces the client on one drive that has the driver. Returns the
// record when the driver refused the announcement: it is out of the table
// and is to be torn down once DriveLock is left.
DriveTable::Node Announce(wchar_t letter, const DeviceHandle& device) {
    std::lock_guard lock(DriveLock);
    DriveInfo* info = Drives().Find(letter);
    if (info == nullptr) {
        info = &Drives().Insert(letter);
    } else if (info->event) {
        Trace(L"VNKDProbeForDrives: about to close handle %p\n", info->event.get());
        device.Control(IOCTL_VNK_WITHDRAW);  // always before its event closes
        info->event.reset();
    }

    GUID guid{};
    info->event.reset(NewAnnouncementEvent(guid));
    DWORD error = ERROR_SUCCESS;
    if (!info->event) {
        // Without an event of our own the driver is told no name: whoever
        // held it would hear of this drive's discs.
        error = ::GetLastError();
        Trace(L"Announce: no event for drive %c: (%u)\n", letter, error);
    } else {
        info->guid = guid;
        const AnnounceRecord record{guid, CurrentSessionId()};
        if (device.Control(IOCTL_VNK_ANNOUNCE, &record, sizeof record)) {
            // A status that cannot be read counts as possibly logged in.
            info->status = ReadDriveStatus(device).value_or(kStatusUnreadable);
            return {};
        }
        error = ::GetLastError();
    }
    const std::wstring text = SystemErrorText(error, kSystemDefaultLanguage);
    ErrorBox(nullptr, IDS_ERR_ANNOUNCE_FAILED, IDS_CAP_ANNOUNCE_FAILED, MB_ICONEXCLAMATION, letter, text.c_str());
    return Drives().Extract(letter);
}

// What the probe found at one letter.
enum class Finding { NoCdDrive, CdDrive, CdDriveWithoutDriver };

Finding ExamineLetter(wchar_t letter) {
    if (Device().DriveType(RootPath(letter).c_str()) != DRIVE_CDROM) return Finding::NoCdDrive;

    const std::wstring path = DevicePath(letter);
    DeviceHandle device = DeviceHandle::OpenPath(path);
    if (!device.valid()) {
        const std::wstring text = SystemErrorText(device.error(), kUserDefaultLanguage);
        ErrorBox(nullptr, IDS_ERR_DRIVE_NOT_ACCESSIBLE, IDS_CAP_DRIVE_NOT_ACCESSIBLE, MB_ICONEXCLAMATION,
                 path.c_str(), text.c_str());
        return Finding::CdDrive;
    }
    switch (QuerySignature(device)) {
        case Signature::NoAnswer: return Finding::CdDriveWithoutDriver;
        case Signature::Other: return Finding::CdDrive;
        case Signature::Found: break;
    }

    DriveTable::Node refused = Announce(letter, device);
    device.Close();
    // `refused` goes here, outside DriveLock: its tear-down waits for threads.
    return Finding::CdDrive;
}

void StartThreads(wchar_t letter, DriveInfo& info) {
    std::lock_guard lock(DriveLock);
    Trace(L"StartThreads: starting the threads of drive %c:\n", letter);
    // A watcher stored while the probe ran (a notice handled inside one of
    // its boxes) has ended at once, as watchers do while they may not run:
    // it is replaced like a missing one.
    if (info.watcher && !info.watcherServes) RetireWatcher(info);
    if (!info.watcher) StartWatcher(letter, info);
    // A record keeps its login thread through re-probes; the re-probe's
    // close request has closed its box.
    if (!info.loginThread) {
        auto login = g_loginThreadFactory != nullptr ? g_loginThreadFactory() : nullptr;
        if (!login) {
            Trace(L"StartThreads: no login thread for drive %c:\n", letter);
            return;
        }
        login->m_bAutoDelete = FALSE;
        info.loginThread = std::move(login);
        if (info.loginThread->ResumeThread() == static_cast<DWORD>(-1)) {
            // Never run, it would never end: let it go at once.
            Trace(L"StartThreads: login thread of drive %c: not resumed (%lu)\n", letter, ::GetLastError());
            info.loginThread.reset();
        }
    }
}

}  // namespace

void SetLoginThreadFactory(LoginThreadFactory factory) { g_loginThreadFactory = factory; }

HANDLE NewAnnouncementEvent(GUID& guid, const std::function<HRESULT(GUID*)>& newGuid) {
    vnk::fw::SecurityDescriptor ownerOnly(vnk::fw::OwnerOnlySddl());
    if (!ownerOnly) {
        if (::GetLastError() == ERROR_SUCCESS) ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return nullptr;
    }
    constexpr int kAttempts = 8;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (const HRESULT result = newGuid(&guid); FAILED(result)) {
            ::SetLastError(static_cast<DWORD>(result));
            return nullptr;
        }
        const std::wstring name = EventNameForGuid(guid);
        vnk::fw::UniqueHandle event(::CreateEventW(ownerOnly.Attributes(), FALSE, FALSE, name.c_str()));
        if (!event) return nullptr;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return event.release();
        Trace(L"NewAnnouncementEvent: event name %s is taken, trying another\n", name.c_str());
    }
    ::SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
}

int VNKDProbeForDrives(int Reprobe) {
    Trace(L"VNKDProbeForDrives: entered, Reprobe = %ld\n", static_cast<long>(Reprobe));
    if (ProbeInProgress) return 1;
    ProbeInProgress = true;

    TakeOutVanishedDrives(Reprobe).clear();  // torn down outside DriveLock
    WatchersMayRun = false;
    // Every record gets a fresh watcher at the end of the probe, so the
    // ones that run now end first: none may keep waiting on an event that
    // the re-announcement closes.
    StopAllWatchers();

    int cdDrives = 0;
    int withoutDriver = 0;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const Finding finding = ExamineLetter(letter);
        if (finding != Finding::NoCdDrive) ++cdDrives;
        if (finding == Finding::CdDriveWithoutDriver) ++withoutDriver;
    }

    WatchersMayRun = true;
    // Only this thread changes the table, so the walk itself needs no lock.
    for (auto& [letter, info] : Drives()) StartThreads(letter, info);

    ProbeInProgress = false;
    // At start-up, CD/DVD drives none of which knows the driver's requests
    // mean that the driver is not installed: the status window says so
    // rather than showing an empty list. A machine without CD/DVD drives,
    // or a drive that did not open or answered other bytes, is no such sign.
    if (Reprobe == 0 && cdDrives > 0 && withoutDriver == cdDrives) {
        Trace(L"VNKDProbeForDrives: no CD/DVD drive answers the filter driver's requests\n");
        return 0;
    }
    return 1;
}

bool DriveIsGone(wchar_t letter, const wchar_t* caller) {
    const DeviceHandle device = DeviceHandle::Open(letter, FILE_ATTRIBUTE_NORMAL);
    const DWORD error = device.valid() ? ERROR_SUCCESS : device.error();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (Device().DriveType(RootPath(letter).c_str()) != DRIVE_CDROM) return true;
    // Busy, shared away or locked out: still there, and perhaps logged in.
    if (error != ERROR_SUCCESS) Trace(L"%s: drive %c: does not open (%u), kept\n", caller, letter, error);
    return false;
}

}  // namespace vnk
