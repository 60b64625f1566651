#include "engine/probe.h"

#include <objbase.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/error_box.h"
#include "common/messages.h"
#include "common/strings.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/driver.h"
#include "engine/lock_pass.h"
#include "engine/worker.h"
#include "fw/security.h"
#include "res/resource.h"

namespace vnk {

namespace {

LoginThreadFactory g_loginThreadFactory = nullptr;

// Set by the exit's lock pass: no probe announces anything or starts a
// thread from then on.
std::atomic<bool> g_probesClosed{false};
// Set while no probe looks at the drives (its warnings may still wait for
// the user). Manual-reset; never closed.
const HANDLE g_probeIdle = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
// A re-probe asked for while a probe ran: the running probe runs it once it
// ends, with the stronger of the box requests.
std::atomic<bool> g_reprobeAsked{false};
std::atomic<int> g_reprobeBoxes{static_cast<int>(ReprobeBoxes::Keep)};

// How long a probe waits for its looks at the drives before it goes on
// without those that have not answered.
constexpr DWORD kProbeLookMs = 5000;
// Guards what follows: the letters whose look (by this probe or by an
// earlier one that stopped waiting for it) is under way, whether a probe is
// between stopping the watchers and starting the threads again, and how
// many probes and looks run (g_probeIdle is set when none does).
std::mutex g_looksLock;
std::uint32_t g_lettersInLook = 0;
bool g_probeLooking = false;
int g_looksRunning = 0;

// The warnings a probe has for the user, shown once every drive it found
// has its threads again: a box that waits for the user must not keep the
// other drives without a watcher (their login boxes would not come). Null
// outside a probe, where a warning is shown at once.
thread_local std::vector<std::function<void()>>* t_probeWarnings = nullptr;

void Warn(std::function<void()> box) {
    if (t_probeWarnings != nullptr) {
        t_probeWarnings->push_back(std::move(box));
    } else {
        box();
    }
}

std::wstring RootPath(wchar_t letter) { return {letter, L':', L'\\'}; }

// Whether the device at the letter is confirmed gone: nothing is at the
// letter any more (no root) and its device path is not found. One failed
// open alone, a removal notice (anyone can send one) or a drive type that
// changed (the letter remapped to something else) is not enough: a drive
// that answers again at that letter is the same drive until its disc is
// out.
bool ConfirmedGone(wchar_t letter) {
    const UINT type = Device().DriveType(RootPath(letter).c_str());
    if (type != DRIVE_NO_ROOT_DIR && type != DRIVE_UNKNOWN) return false;
    const DeviceHandle device = DeviceHandle::Open(letter, FILE_ATTRIBUTE_NORMAL);
    return !device.valid() && (device.error() == ERROR_FILE_NOT_FOUND || device.error() == ERROR_PATH_NOT_FOUND);
}

// A drive about to be forgotten whose disc may be logged in: the disc goes
// first (the announcement withdrawn before, as at every withdrawal). True
// when the drive may be forgotten now: its eject was confirmed, or its
// device is confirmed gone (then the next lock pass names it once).
bool LetGoOfDisc(wchar_t letter, std::uint64_t id) {
    DWORD error = ERROR_SUCCESS;
    {
        const DeviceHandle device = DeviceHandle::Open(letter);
        if (device.valid()) {
            if (device.Control(IOCTL_VNK_WITHDRAW)) {
                std::lock_guard lock(DriveLock);
                if (DriveInfo* info = Drives().FindId(id)) info->announced = false;
            }
            error = device.Control(kIoctlStorageEjectMedia) ? ERROR_SUCCESS : ::GetLastError();
        } else {
            error = device.error();
        }
    }
    RecordDriveFact(id, error == ERROR_SUCCESS ? DriveFact::EjectConfirmed : DriveFact::EjectFailed);
    if (error == ERROR_SUCCESS) return true;
    if (ConfirmedGone(letter)) {
        Trace(L"VNKDProbeForDrives: drive %c: gone before its disc could be ejected (%u)\n", letter, error);
        std::lock_guard lock(DriveLock);
        NoteForgottenDrive(letter);
        return true;
    }
    Trace(L"VNKDProbeForDrives: drive %c: looks gone, disc perhaps logged in, kept (%u)\n", letter, error);
    return false;
}

// Whether the record may hold a logged-in disc.
bool MayHoldLoggedInDisc(const DriveInfo& info) { return MayBeLoggedIn(info.status) || info.loginInFlight; }

// Takes the letter's record out of the table when its drive is really gone
// (at a re-probe). A drive whose disc may be logged in is never simply
// forgotten (LetGoOfDisc). The drive is looked at without DriveLock, as it
// may take its time to answer; the caller lets the node go outside
// DriveLock.
DriveTable::Node TakeOutIfVanished(wchar_t letter) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(DriveLock);
        const DriveInfo* info = Drives().Find(letter);
        if (info == nullptr) return {};
        id = info->id;
    }
    if (!DriveIsGone(letter, L"VNKDProbeForDrives")) return {};
    bool mayHold = false;
    {
        std::lock_guard lock(DriveLock);
        const DriveInfo* info = Drives().FindId(id);
        if (info == nullptr) return {};
        mayHold = MayHoldLoggedInDisc(*info);
    }
    const bool letGo = mayHold && LetGoOfDisc(letter, id);
    if (mayHold && !letGo) return {};
    std::lock_guard lock(DriveLock);
    const DriveInfo* info = Drives().Find(letter);
    if (info == nullptr || info->id != id) return {};
    // A login may have begun (or been accepted) since the drive was looked
    // at: such a record stays until a later probe lets go of it.
    if (!letGo && MayHoldLoggedInDisc(*info)) {
        Trace(L"VNKDProbeForDrives: drive %c: a login began meanwhile, kept\n", letter);
        return {};
    }
    return Drives().Extract(letter);
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
// and is to be torn down once the refusal's box has been closed. DriveLock
// is taken only to read and write the record, never across a device call
// or the box.
DriveTable::Node Announce(wchar_t letter, const DeviceHandle& device) {
    vnk::fw::UniqueHandle oldEvent;
    std::uint64_t id = 0;
    unsigned version = 0;
    {
        std::lock_guard lock(DriveLock);
        DriveInfo* info = Drives().Find(letter);
        if (info == nullptr) info = &Drives().Insert(letter);
        id = info->id;
        version = info->lockStateVersion;
        // The drive's watchers have been stopped: nobody waits on it.
        oldEvent = std::move(info->event);
        info->announced = false;
    }
    if (oldEvent) {
        Trace(L"VNKDProbeForDrives: about to close handle %p\n", oldEvent.get());
        device.Control(IOCTL_VNK_WITHDRAW);  // always before its event closes
        oldEvent.reset();
    }

    GUID guid{};
    vnk::fw::UniqueHandle event(NewAnnouncementEvent(guid));
    DWORD error = ERROR_SUCCESS;
    std::optional<DWORD> status;
    if (!event) {
        // Without an event of our own the driver is told no name: whoever
        // held it would hear of this drive's discs.
        error = ::GetLastError();
        Trace(L"Announce: no event for drive %c: (%u)\n", letter, error);
    } else {
        const AnnounceRecord record{guid, CurrentSessionId()};
        if (g_probesClosed) {
            // The exit's withdrawals have begun or are about to: nothing is
            // announced after them.
            return {};
        }
        if (device.Control(IOCTL_VNK_ANNOUNCE, &record, sizeof record)) {
            if (g_probesClosed) {
                device.Control(IOCTL_VNK_WITHDRAW);
                return {};
            }
            // A status that cannot be read counts as possibly logged in.
            status = ReadDriveStatus(device).value_or(kStatusUnreadable);
        } else {
            error = ::GetLastError();
        }
    }

    DriveTable::Node refused;
    bool mayHold = false;
    {
        std::lock_guard lock(DriveLock);
        DriveInfo* info = Drives().Find(letter);
        if (info == nullptr || info->id != id) return {};
        info->guid = guid;
        info->event = std::move(event);
        if (status) {
            RecordDriveFact(id, DriveFact::StatusRead, *status, version);
            info->announced = true;
            return {};
        }
        mayHold = MayHoldLoggedInDisc(*info);
        if (!mayHold) refused = Drives().Extract(letter);
    }
    if (mayHold) {
        // The earlier announcement was withdrawn above: the disc goes before
        // the drive is forgotten, and a drive whose disc does not go stays
        // known (without an announcement), so every lock pass tries it.
        const bool ejected = device.Control(kIoctlStorageEjectMedia) != FALSE;
        RecordDriveFact(id, ejected ? DriveFact::EjectConfirmed : DriveFact::EjectFailed);
        std::lock_guard lock(DriveLock);
        DriveInfo* info = Drives().Find(letter);
        if (ejected && info != nullptr && info->id == id) {
            refused = Drives().Extract(letter);
        } else {
            Trace(L"VNKDProbeForDrives: drive %c: announcement refused, disc perhaps logged in, kept\n", letter);
        }
    }
    Warn([letter, text = SystemErrorText(error, kSystemDefaultLanguage)] {
        ErrorBox(nullptr, IDS_ERR_ANNOUNCE_FAILED, IDS_CAP_ANNOUNCE_FAILED, MB_ICONEXCLAMATION, letter, text.c_str());
    });
    return refused;
}

// What the probe found at one letter.
enum class Finding { NoCdDrive, CdDrive, CdDriveWithoutDriver };

// Whether the drive's own login box holds its volume locked: other opens
// are refused then, and the drive is known to be there.
bool LockedByOwnLoginBox(wchar_t letter) {
    std::lock_guard lock(DriveLock);
    const DriveInfo* info = Drives().Find(letter);
    return info != nullptr && info->lockedByLoginBox;
}

Finding ExamineCdDrive(wchar_t letter) {
    if (LockedByOwnLoginBox(letter)) {
        // Kept as it is, announcement and all, without opening it.
        Trace(L"VNKDProbeForDrives: drive %c: locked by its login box, kept\n", letter);
        return Finding::CdDrive;
    }

    const std::wstring path = DevicePath(letter);
    DeviceHandle device = DeviceHandle::OpenPath(path);
    if (!device.valid()) {
        Warn([path, text = SystemErrorText(device.error(), kUserDefaultLanguage)] {
            ErrorBox(nullptr, IDS_ERR_DRIVE_NOT_ACCESSIBLE, IDS_CAP_DRIVE_NOT_ACCESSIBLE, MB_ICONEXCLAMATION,
                     path.c_str(), text.c_str());
        });
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

void StartThreads(wchar_t letter) {
    if (g_probesClosed) return;
    std::lock_guard lock(DriveLock);
    DriveInfo* record = Drives().Find(letter);
    if (record == nullptr) return;
    DriveInfo& info = *record;
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

namespace {

// Marks the drives as looked at (by a probe, or by a look at one drive
// that its probe stopped waiting for) while it lives: g_probeIdle is set
// once nothing looks.
class ProbeExamining {
public:
    ProbeExamining() { LookBegins(); }
    ~ProbeExamining() { LookEnds(); }
    ProbeExamining(const ProbeExamining&) = delete;
    ProbeExamining& operator=(const ProbeExamining&) = delete;

    static void LookBegins() {
        std::lock_guard lock(g_looksLock);
        if (g_looksRunning++ == 0) ::ResetEvent(g_probeIdle);
    }
    static void LookEnds() {
        std::lock_guard lock(g_looksLock);
        if (--g_looksRunning == 0) ::SetEvent(g_probeIdle);
    }
};

std::uint32_t LetterBit(wchar_t letter) { return 1u << (letter - L'A'); }

// What the look at one letter found, for the probe that waits for it.
struct LetterLook {
    wchar_t letter = 0;
    bool ended = false;
    Finding finding = Finding::CdDrive;
    std::vector<std::function<void()>> warnings;
};

// One probe's looks at its letters, shared by the probe and the workers
// that look, so that a look the probe stopped waiting for finishes on its
// own with nothing left dangling.
struct ProbeLooks {
    std::mutex lock;
    std::vector<LetterLook> letters;  // not resized once the looks started
    bool collected = false;           // the probe took what had ended
    DriveBatch batch;                 // a slot per letter, answered as its look ends
    ProbeDone lateDone;               // told when a late look has ended
};

// Looks at one letter on a worker: a drive that is gone is taken out, a
// CD/DVD drive (`cdDrive`, as the probe found the letter) with the driver
// is announced. A look that ends once its probe has started the threads
// starts its drive's threads itself (a probe under way then does it);
// when the probe had stopped waiting for it, it also tells `lateDone` and
// shows its own warnings.
void LookAtLetter(const std::shared_ptr<ProbeLooks>& looks, size_t slot, wchar_t letter, bool cdDrive,
                  int reprobe) {
    std::vector<std::function<void()>>* const outer = t_probeWarnings;
    std::vector<std::function<void()>> warnings;
    t_probeWarnings = &warnings;
    Finding finding = Finding::CdDrive;
    try {
        if (reprobe != 0) TakeOutIfVanished(letter);  // torn down here, outside DriveLock
        finding = cdDrive ? ExamineCdDrive(letter) : Finding::NoCdDrive;
    } catch (...) {
        Trace(L"VNKDProbeForDrives: drive %c: the look ended by an exception\n", letter);
    }
    t_probeWarnings = outer;

    bool late = false;
    {
        std::lock_guard lock(looks->lock);
        late = looks->collected;
        if (!late) {
            LetterLook& look = looks->letters[slot];
            look.ended = true;
            look.finding = finding;
            look.warnings = std::move(warnings);
        }
    }
    // Before the probe hears of it: a probe that has not started the
    // threads yet finds the letter free and starts them.
    bool startThreads = false;
    {
        std::lock_guard lock(g_looksLock);
        g_lettersInLook &= ~LetterBit(letter);
        startThreads = !g_probeLooking;
    }
    looks->batch.Complete(slot, ERROR_SUCCESS);
    if (startThreads) StartThreads(letter);
    ProbeExamining::LookEnds();
    if (!late) return;
    Trace(L"VNKDProbeForDrives: drive %c: answered after the probe went on\n", letter);
    if (looks->lateDone) looks->lateDone(1);
    for (const auto& warning : warnings) warning();
}

// The probe proper, once ProbeInProgress has been set for it. Each letter
// that holds a CD/DVD drive, or a record, is looked at on a worker of its
// own, so a drive that is slow to answer holds back only itself; the probe
// waits for the looks at most kProbeLookMs and counts one that has not
// ended as a CD/DVD drive (which is no sign of a missing driver).
int ExamineAllDrives(int Reprobe, const ProbeDone& done) {
    const ProbeExamining examining;
    if (Reprobe == 0) {
        std::vector<DriveTable::Node> all;
        {
            std::lock_guard lock(DriveLock);
            all = Drives().ExtractAll();
        }
    }  // torn down here, outside DriveLock
    WatchersMayRun = false;
    {
        std::lock_guard lock(g_looksLock);
        g_probeLooking = true;
    }
    // Every record gets a fresh watcher at the end of the probe, so the
    // ones that run now end first: none may keep waiting on an event that
    // the re-announcement closes.
    StopAllWatchers();

    std::uint32_t known = 0;
    std::uint32_t cdLetters = 0;
    {
        std::lock_guard lock(DriveLock);
        for (auto& [letter, info] : Drives()) known |= LetterBit(letter);
    }
    const auto looks = std::make_shared<ProbeLooks>();
    looks->lateDone = done;
    int cdDrives = 0;
    int withoutDriver = 0;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const bool cdDrive = Device().DriveType(RootPath(letter).c_str()) == DRIVE_CDROM;
        if (cdDrive) cdLetters |= LetterBit(letter);
        if (!cdDrive && (known & LetterBit(letter)) == 0) continue;
        {
            std::lock_guard lock(g_looksLock);
            if ((g_lettersInLook & LetterBit(letter)) != 0) {
                // An earlier probe's look is still under way: it finishes
                // this drive.
                Trace(L"VNKDProbeForDrives: drive %c: still looked at\n", letter);
                ++cdDrives;
                continue;
            }
            g_lettersInLook |= LetterBit(letter);
        }
        looks->letters.emplace_back().letter = letter;
        looks->batch.Add(letter);
    }
    for (size_t slot = 0; slot < looks->letters.size(); ++slot) {
        const wchar_t letter = looks->letters[slot].letter;
        const bool cdDrive = (cdLetters & LetterBit(letter)) != 0;
        ProbeExamining::LookBegins();
        const auto look = [looks, slot, letter, cdDrive, Reprobe] {
            LookAtLetter(looks, slot, letter, cdDrive, Reprobe);
        };
        if (!RunOnWorker(look)) {
            Trace(L"VNKDProbeForDrives: drive %c: no worker, looked at here (%lu)\n", letter, ::GetLastError());
            LookAtLetter(looks, slot, letter, cdDrive, Reprobe);
        }
    }
    if (!looks->batch.Wait(kProbeLookMs))
        Trace(L"VNKDProbeForDrives: drives that did not answer in time finish on their own\n");

    std::vector<std::function<void()>> warnings;
    {
        std::lock_guard lock(looks->lock);
        looks->collected = true;
        for (LetterLook& look : looks->letters) {
            if (look.finding != Finding::NoCdDrive) ++cdDrives;
            if (look.ended && look.finding == Finding::CdDriveWithoutDriver) ++withoutDriver;
            for (auto& warning : look.warnings) warnings.push_back(std::move(warning));
        }
    }
    for (auto& warning : warnings) Warn(std::move(warning));

    WatchersMayRun = true;
    std::uint32_t stillLooked = 0;
    {
        std::lock_guard lock(g_looksLock);
        g_probeLooking = false;
        stillLooked = g_lettersInLook;
    }
    std::vector<wchar_t> letters;
    {
        std::lock_guard lock(DriveLock);
        for (auto& [letter, info] : Drives())
            if ((stillLooked & LetterBit(letter)) == 0) letters.push_back(letter);
    }
    for (wchar_t letter : letters) StartThreads(letter);

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

// The probe, then its warnings in the order it met them; the probe counts
// as running (the caller clears ProbeInProgress) until the user has seen
// them.
int RunProbe(int Reprobe, const ProbeDone& done) {
    std::vector<std::function<void()>> warnings;
    t_probeWarnings = &warnings;
    int result = 1;
    try {
        result = ExamineAllDrives(Reprobe, done);
    } catch (...) {
        t_probeWarnings = nullptr;
        throw;
    }
    t_probeWarnings = nullptr;
    for (const auto& warning : warnings) warning();
    return result;
}

// Tells the login threads of drives that are really gone to close their
// boxes through the eject path.
void CloseBoxesOfGoneDrives() {
    std::vector<wchar_t> letters;
    {
        std::lock_guard lock(DriveLock);
        for (auto& [letter, info] : Drives())
            if (info.loginThread) letters.push_back(letter);
    }
    for (wchar_t letter : letters) {
        if (!DriveIsGone(letter, L"Varnokd: OnDeviceChange")) continue;
        {
            std::lock_guard lock(DriveLock);
            DriveInfo* info = Drives().Find(letter);
            if (info == nullptr || !info->loginThread) continue;
        }
        if (!AskLoginThread(letter, WM_LOGIN_CLOSE))
            Trace(L"Varnokd: CloseLoginBoxes: login box of drive %c: not told to close (%lu)\n", letter,
                  ::GetLastError());
    }
}

}  // namespace

int VNKDProbeForDrives(int Reprobe) {
    Trace(L"VNKDProbeForDrives: entered, Reprobe = %ld\n", static_cast<long>(Reprobe));
    if (ProbeInProgress.exchange(true)) return 1;
    int result = 1;
    try {
        result = RunProbe(Reprobe, nullptr);
    } catch (...) {
        ProbeInProgress = false;
        throw;
    }
    ProbeInProgress = false;
    return result;
}

namespace {
// A re-probe asked for while a probe runs is noted, with the stronger of
// the box requests; the running probe's worker runs it once it ends.
void NoteReprobe(ReprobeBoxes boxes) {
    int seen = g_reprobeBoxes.load();
    while (static_cast<int>(boxes) > seen && !g_reprobeBoxes.compare_exchange_weak(seen, static_cast<int>(boxes))) {
    }
    g_reprobeAsked = true;
}

// Takes the re-probe that was asked for meanwhile, if any. When none was,
// the probe ends (ProbeInProgress cleared), unless one is asked for right
// then: it is taken instead of being lost.
std::optional<ReprobeBoxes> TakeNextReprobe() {
    for (;;) {
        if (g_reprobeAsked.exchange(false))
            return static_cast<ReprobeBoxes>(g_reprobeBoxes.exchange(static_cast<int>(ReprobeBoxes::Keep)));
        ProbeInProgress = false;
        if (!g_reprobeAsked.load() || ProbeInProgress.exchange(true)) return std::nullopt;
    }
}
}  // namespace

bool VNKDProbeForDrivesOnWorker(int Reprobe, ProbeDone done, ReprobeBoxes boxes) {
    Trace(L"VNKDProbeForDrives: entered, Reprobe = %ld\n", static_cast<long>(Reprobe));
    if (g_probesClosed) return false;
    if (ProbeInProgress.exchange(true)) {
        // Run once the running probe ends: a drive added meanwhile is not
        // left unannounced until the next device change. The boxes of
        // drives that are gone close now, not once the running probe's
        // warnings have been answered.
        if (Reprobe != 0) NoteReprobe(boxes);
        if (Reprobe != 0 && boxes == ReprobeBoxes::CloseOnlyGone && !RunOnWorker(&CloseBoxesOfGoneDrives))
            Trace(L"VNKDProbeForDrives: no worker to close the boxes of drives that are gone (%lu)\n",
                  ::GetLastError());
        return false;
    }
    const bool started = RunOnWorker([Reprobe, done = std::move(done), boxes] {
        int reprobe = Reprobe;
        std::optional<ReprobeBoxes> next = boxes;
        while (next) {
            int result = 1;
            try {
                // The posts are not waited for; the probe starts while the
                // login threads may still be closing their boxes.
                if (*next == ReprobeBoxes::CloseOnlyGone) CloseBoxesOfGoneDrives();
                result = RunProbe(reprobe, done);
            } catch (...) {
                Trace(L"VNKDProbeForDrives: ended by an exception\n");
                t_probeWarnings = nullptr;
            }
            if (done) done(result);
            reprobe = 1;
            if (g_probesClosed) {
                ProbeInProgress = false;
                break;
            }
            next = TakeNextReprobe();
        }
    });
    if (!started) {
        Trace(L"VNKDProbeForDrives: no worker for the probe (%lu)\n", ::GetLastError());
        ProbeInProgress = false;
    }
    return started;
}

bool CloseProbes(DWORD timeoutMs) {
    g_probesClosed = true;
    if (vnk::fw::WaitAnsweringSent(g_probeIdle, timeoutMs) == WAIT_OBJECT_0) return true;
    Trace(L"VNKDCleanup: a probe still looks at the drives, nothing more is announced\n");
    return false;
}

void ReopenProbesForTesting() { g_probesClosed = false; }

bool DriveIsGone(wchar_t letter, const wchar_t* caller) {
    if (LockedByOwnLoginBox(letter)) return Device().DriveType(RootPath(letter).c_str()) != DRIVE_CDROM;
    const DeviceHandle device = DeviceHandle::Open(letter, FILE_ATTRIBUTE_NORMAL);
    const DWORD error = device.valid() ? ERROR_SUCCESS : device.error();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (Device().DriveType(RootPath(letter).c_str()) != DRIVE_CDROM) return true;
    // Busy, shared away or locked out: still there, and perhaps logged in.
    if (error != ERROR_SUCCESS) Trace(L"%s: drive %c: does not open (%u), kept\n", caller, letter, error);
    return false;
}

}  // namespace vnk
