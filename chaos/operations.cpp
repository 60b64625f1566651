// What a step of the chaos run does: the operations a seed draws from, with
// their weights, as a person, another program, the driver or the system
// would do them.
#include <windows.h>

#include <dbt.h>

#include <cstring>
#include <cwchar>
#include <iterator>
#include <thread>

#include "chaos/seed_run.h"
#include "chaos/toolkit.h"
#include "res/resource.h"
#include "tests/support/window_search.h"

namespace vnk::chaos {

using vnk::test::TitleOf;

const std::vector<SeedRun::Op>& SeedRun::Ops() {
    static const std::vector<Op> ops = {
        {"add-drive", 8, &SeedRun::OpAddDrive},
        {"remove-drive", 4, &SeedRun::OpRemoveDrive},
        {"insert-encrypted", 14, &SeedRun::OpInsertEncrypted},
        {"insert-plain", 3, &SeedRun::OpInsertPlain},
        {"take-out", 4, &SeedRun::OpTakeOut},
        {"signal", 5, &SeedRun::OpSignal},
        {"login", 18, &SeedRun::OpLogin},
        {"eject-button", 4, &SeedRun::OpEjectButton},
        {"close-box", 3, &SeedRun::OpCloseBox},
        {"emergency-lock", 6, &SeedRun::OpEmergencyLock},
        {"show-status", 4, &SeedRun::OpShowStatus},
        {"hide-status", 3, &SeedRun::OpHideStatus},
        {"device-change", 4, &SeedRun::OpDeviceChange},
        {"fail", 4, &SeedRun::OpFail},
        {"forged-notice-eject", 2, &SeedRun::OpForgedNoticeThenEject},
        {"not-found-while-logged-in", 2, &SeedRun::OpNotFoundWhileLoggedIn},
        {"delay", 4, &SeedRun::OpDelay},
        {"stall", 2, &SeedRun::OpStall},
        {"release", 3, &SeedRun::OpRelease},
        {"clear-faults", 4, &SeedRun::OpClearFaults},
        {"hold", 1, &SeedRun::OpHold},
        {"slow-window", 2, &SeedRun::OpSlowWindow},
        {"answer-boxes", 4, &SeedRun::OpAnswerBoxes},
        {"pause", 4, &SeedRun::OpPause},
        {"session-end", 1, &SeedRun::OpSessionEnd},
        {"exit", 1, &SeedRun::OpExit},
        {"second-instance", 1, &SeedRun::OpSecondInstance},
        {"restart-simulator", 1, &SeedRun::OpRestartSimulator},
    };
    return ops;
}

void SeedRun::OpAddDrive(const Draw& d) {
    const wchar_t letter = Letter(d);
    const bool cdrom = d.a % 10 != 0;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::AddDrive, letter, L"", cdrom ? DRIVE_CDROM : DRIVE_FIXED, 0, 0, &refusal);
    // A drive plugged in again brings back the faults that could not be
    // cleared while it was gone.
    if (done && m_faultsOnGone.erase(letter) != 0) Dirty(letter);
    if (done) ProbedWithoutFaults();  // the arrival makes the client probe again
    Log(Format("  add %c: %s: %s", static_cast<char>(letter), cdrom ? "cdrom" : "other",
               done ? "done" : refusal.c_str()));
}

void SeedRun::OpRemoveDrive(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::RemoveDrive, letter, L"", 0, 0, 0, &refusal);
    if (done) {
        m_discPassphrase.erase(letter);
        m_exempt.erase(letter);
        ProbedWithoutFaults();  // the removal makes the client probe again
    }
    Log(Format("  remove %c: %s", static_cast<char>(letter), done ? "done" : refusal.c_str()));
}

void SeedRun::OpInsertEncrypted(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    // A passphrase of this seed's own, so that each can be looked for.
    std::mt19937 words(m_seed * 7919u + ++m_passphrases);
    std::wstring passphrase = L"ph";
    for (int i = 0; i < 14; ++i) passphrase += static_cast<wchar_t>(L'a' + words() % 26);
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::InsertEncrypted, letter, passphrase, 0, 0, 0, &refusal);
    if (done) {
        m_discPassphrase[letter] = passphrase;
        m_exempt.erase(letter);
    }
    Log(Format("  insert %c: encrypted: %s", static_cast<char>(letter), done ? "done" : refusal.c_str()));
    if (done) ExpectBox(letter);
}

void SeedRun::OpInsertPlain(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::InsertPlain, letter, L"", 0, 0, 0, &refusal);
    if (done) m_exempt.erase(letter);
    Log(Format("  insert %c: plain: %s", static_cast<char>(letter), done ? "done" : refusal.c_str()));
}

void SeedRun::OpTakeOut(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    const auto before = SimDrive(letter);
    // An encrypted disc not logged in has its box up, or on its way: the
    // driver signalled it, and the box may come after the disc went.
    const bool boxMayCome = before && before->disc == vnk::sim::Disc::Encrypted && !LoggedInNow(*before);
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Eject, letter, L"", 0, 0, 0, &refusal);
    if (done) {
        m_discPassphrase.erase(letter);
        // Nothing tells the client; a box that waits stays until answered.
        if (boxMayCome || LoginBoxes().count(letter)) m_exempt.insert(letter);
    }
    Log(Format("  take out the disc of %c: by hand: %s", static_cast<char>(letter), done ? "done" : refusal.c_str()));
}

void SeedRun::OpSignal(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    // A signal with no encrypted disc in (a driver's mistake, or a disc
    // taken out before its box came) brings a box that stands for no disc.
    if (const auto drive = SimDrive(letter); drive && drive->disc != vnk::sim::Disc::Encrypted) m_exempt.insert(letter);
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Signal, letter, L"", 0, 0, 0, &refusal);
    Log(Format("  signal %c: %s", static_cast<char>(letter), done ? "done" : refusal.c_str()));
    if (done) ExpectBox(letter);
}

void SeedRun::Type(HWND box, const std::wstring& text, bool paste) {
    HWND edit = ::GetDlgItem(box, IDC_PASSPHRASE);
    if (!paste) {
        for (wchar_t unit : text) ::PostMessageW(edit, WM_CHAR, unit, 1);
        return;
    }
    if (!::OpenClipboard(nullptr)) return;
    ::EmptyClipboard();
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        std::memcpy(::GlobalLock(memory), text.c_str(), bytes);
        ::GlobalUnlock(memory);
        if (!::SetClipboardData(CF_UNICODETEXT, memory)) ::GlobalFree(memory);
    }
    ::CloseClipboard();
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(edit, WM_PASTE, 0, 0, SMTO_NORMAL, 5000, &result);
    // A careful person does not leave a passphrase on the clipboard.
    if (::OpenClipboard(nullptr)) {
        ::EmptyClipboard();
        ::CloseClipboard();
    }
}

void SeedRun::OpLogin(const Draw& d) {
    const bool right = d.a % 3 != 0;
    const bool paste = d.b % 4 == 0;
    HWND box = BoxFor(Letter(d));
    if (box == nullptr) {
        Log("  login: no box is up");
        return;
    }
    const wchar_t letter = TitleOf(box)[std::wcslen(kBoxPrefix)];
    std::wstring secret;
    const auto it = m_discPassphrase.find(letter);
    if (right && it != m_discPassphrase.end()) {
        secret = it->second;
    } else {
        std::mt19937 words(m_seed * 104729u + ++m_passphrases);
        secret = L"wr";
        for (int i = 0; i < 14; ++i) secret += static_cast<wchar_t>(L'a' + words() % 26);
    }
    m_typed.emplace_back(letter, secret);
    if (paste) m_pasted.insert(secret);
    Type(box, secret, paste);
    ::PostMessageW(::GetDlgItem(box, IDC_LOGIN), BM_CLICK, 0, 0);
    Log(Format("  login on %c: with the %s passphrase, %s", static_cast<char>(letter),
               secret == (it != m_discPassphrase.end() ? it->second : L"") ? "right" : "wrong",
               paste ? "pasted" : "typed"));
}

void SeedRun::OpEjectButton(const Draw& d) {
    HWND box = BoxFor(Letter(d));
    if (box == nullptr) {
        Log("  eject button: no box is up");
        return;
    }
    ::PostMessageW(::GetDlgItem(box, IDC_EJECT), BM_CLICK, 0, 0);
    Log(Format("  \"Eject disc\" on %c:", static_cast<char>(TitleOf(box)[std::wcslen(kBoxPrefix)])));
}

void SeedRun::OpCloseBox(const Draw& d) {
    HWND box = BoxFor(Letter(d));
    if (box == nullptr) {
        Log("  close box: no box is up");
        return;
    }
    const bool escape = d.a % 2 == 0;
    if (escape) {
        ::PostMessageW(::GetDlgItem(box, IDC_PASSPHRASE), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        ::PostMessageW(::GetDlgItem(box, IDC_PASSPHRASE), WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else {
        ::PostMessageW(box, WM_CLOSE, 0, 0);
    }
    Log(Format("  close the box of %c: with %s", static_cast<char>(TitleOf(box)[std::wcslen(kBoxPrefix)]),
               escape ? "Escape" : "its close button"));
}

void SeedRun::OpEmergencyLock(const Draw&) {
    HWND status = StatusWindow();
    Log("  Emergency Lock");
    std::atomic<bool> done{false};
    std::atomic<bool> answered{false};
    const DWORD boundMs = 120000;
    std::thread sender([&] {
        DWORD_PTR result = 0;
        answered = ::SendMessageTimeoutW(status, WM_COMMAND, ID_EMERGENCYLOCK, 0, SMTO_NORMAL, boundMs, &result) != 0;
        done = true;
    });
    std::set<wchar_t> named;
    const ULONGLONG deadline = ::GetTickCount64() + boundMs + 1000;
    while (!done && ::GetTickCount64() < deadline) {
        AnswerLockIncomplete(named);
        ::Sleep(20);
    }
    sender.join();
    if (!answered) throw Violation(Format("Emergency Lock did not finish within %lu ms", boundMs));
    // The pass runs on the workers after the command has returned: its box
    // may come later, and is read while the drives settle.
    CheckLockedOrNamed("Emergency Lock", named, [this](std::set<wchar_t>& more) { AnswerLockIncomplete(more); });
}

// Reads and answers an "Emergency Lock incomplete" box that is up, adding
// the drives it names.
void SeedRun::AnswerLockIncomplete(std::set<wchar_t>& named) {
    for (HWND box : MessageBoxes()) {
        if (TitleOf(box) != kLockIncomplete) continue;
        const auto text = vnk::test::ReadControlText(::GetDlgItem(box, 0xFFFF), 500);
        if (!text) continue;
        for (size_t at = text->find(L"Drive "); at != std::wstring::npos; at = text->find(L"Drive ", at + 1))
            if (at + 7 < text->size() && (*text)[at + 7] == L':') named.insert((*text)[at + 6]);
        Log("    \"" + Narrow(*text) + "\"");
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
}

void SeedRun::OpShowStatus(const Draw&) {
    static const UINT trayMessage = ::RegisterWindowMessageW(L"Varnok Client tray notification");
    HWND tray = TrayWindow();
    if (tray != nullptr)
        ::PostMessageW(tray, trayMessage, IDR_TRAYMENU, WM_LBUTTONDBLCLK);
    else
        ::PostMessageW(StatusWindow(), WM_COMMAND, ID_SHOWSTATUS, 0);
    const ULONGLONG deadline = ::GetTickCount64() + m_options.settleMs;
    HWND status = nullptr;
    while (::GetTickCount64() < deadline) {
        status = StatusWindow();
        if (status != nullptr && ::IsWindowVisible(status) && !::IsIconic(status)) break;
        status = nullptr;
        ::Sleep(20);
    }
    Log("  show the status window");
    if (status == nullptr) {
        // A message box of the main thread may keep it; nothing more to read.
        if (MessageBoxes().empty()) throw Violation("the status window did not come up");
        return;
    }
    CheckList(status);
}

void SeedRun::OpHideStatus(const Draw&) {
    HWND status = StatusWindow();
    if (status == nullptr || !::IsWindowVisible(status)) {
        Log("  hide the status window: not shown");
        return;
    }
    ::PostMessageW(::GetDlgItem(status, IDOK), BM_CLICK, 0, 0);
    Log("  hide the status window (OK)");
}

// Device-change messages as any program can send them to the window, with
// records right, short, of other types, or none.
void SeedRun::OpDeviceChange(const Draw& d) {
    HWND status = StatusWindow();
    struct {
        DEV_BROADCAST_DEVICEINTERFACE_W header;
        wchar_t rest[64];
    } record{};
    record.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record.header.dbcc_classguid = {0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    std::wcscpy(record.header.dbcc_name, L"\\\\?\\forged");
    const DWORD fullSize = sizeof record;
    WPARAM event = DBT_DEVNODES_CHANGED;
    LPARAM data = 0;
    const char* what = "";
    switch (d.a % 7) {
        case 0:
            what = "device nodes changed";
            break;
        case 1:
            event = DBT_DEVICEARRIVAL, data = reinterpret_cast<LPARAM>(&record), record.header.dbcc_size = fullSize;
            what = "a CD-ROM arrival with no drive behind it";
            break;
        case 2:
            event = DBT_DEVICEREMOVECOMPLETE, data = reinterpret_cast<LPARAM>(&record),
            record.header.dbcc_size = fullSize;
            what = "a CD-ROM removal with no drive gone";
            break;
        case 3:
            event = DBT_DEVICEARRIVAL, data = reinterpret_cast<LPARAM>(&record), record.header.dbcc_size = 8;
            what = "an arrival with a record too short";
            break;
        case 4:
            event = DBT_DEVICEREMOVECOMPLETE, data = reinterpret_cast<LPARAM>(&record),
            record.header.dbcc_size = 12 + d.b % 16;
            what = "a removal with a record too short";
            break;
        case 5: {
            event = DBT_DEVICEREMOVECOMPLETE, data = reinterpret_cast<LPARAM>(&record);
            auto* volume = reinterpret_cast<DEV_BROADCAST_VOLUME*>(&record);
            volume->dbcv_size = sizeof(DEV_BROADCAST_VOLUME);
            volume->dbcv_devicetype = DBT_DEVTYP_VOLUME;
            volume->dbcv_unitmask = 1u << (Letter(d) - L'A');
            volume->dbcv_flags = DBTF_MEDIA;
            what = "a volume's removal";
            break;
        }
        default:
            event = 0x8000 | (d.b % 0x20), data = reinterpret_cast<LPARAM>(&record), record.header.dbcc_size = fullSize;
            what = "an event of another kind";
            break;
    }
    Log(Format("  device change to the status window: %s (0x%lx)", what, static_cast<unsigned long>(event)));
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(status, WM_DEVICECHANGE, event, data, SMTO_NORMAL, 30000, &result);
}

void SeedRun::OpFail(const Draw& d) {
    static const DWORD errors[] = {ERROR_ACCESS_DENIED, ERROR_NOT_READY,      ERROR_SHARING_VIOLATION, ERROR_IO_DEVICE,
                                   ERROR_GEN_FAILURE,   ERROR_FILE_NOT_FOUND, ERROR_INVALID_FUNCTION};
    const wchar_t letter = PresentLetter(d);
    const DWORD kind = d.a % 10;
    const DWORD error = errors[d.b % std::size(errors)];
    const DWORD count = d.c % 4 == 0 ? kForever : 1 + d.c % 3;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Fail, letter, L"", kind, error, count, &refusal);
    if (done) Dirty(letter);
    Log(Format("  fail %c: %ls %lu %s: %s", static_cast<char>(letter), vnk::sim::kFaultNames[kind].data(), error,
               count == kForever ? "forever" : std::to_string(count).c_str(), done ? "done" : refusal.c_str()));
}

// Another program posts the watcher's notice for a drive, then presses
// "Eject disc" on whatever box that drive has: a notice no watcher sent
// must show nothing, and an eject must change the drive's state only once
// the driver has answered.
void SeedRun::OpForgedNoticeThenEject(const Draw& d) {
    static const UINT notice = ::RegisterWindowMessageW(L"UWM_VARNOKD_EVENT_TRIGGERED");
    const wchar_t letter = PresentLetter(d);
    ::PostMessageW(StatusWindow(), notice, letter, 0);
    ::Sleep(100);
    HWND box = BoxFor(letter);
    if (box != nullptr) ::PostMessageW(::GetDlgItem(box, IDC_EJECT), BM_CLICK, 0, 0);
    Log(Format("  forged notice for %c:, then \"Eject disc\": %s", static_cast<char>(letter),
               box != nullptr ? "pressed" : "no box"));
}

// A drive whose disc is logged in stops being found at its letter for a
// while (its opens answer "not found"), and a CD-ROM removal is forged:
// the client must not forget the disc.
void SeedRun::OpNotFoundWhileLoggedIn(const Draw& d) {
    std::vector<wchar_t> loggedIn;
    for (const auto& drive : SimDrives())
        if (drive.present && LoggedInNow(drive)) loggedIn.push_back(drive.letter);
    if (loggedIn.empty()) {
        Log("  not found while logged in: no disc is logged in");
        return;
    }
    const wchar_t letter = loggedIn[d.letter % loggedIn.size()];
    const DWORD count = d.c % 4 == 0 ? kForever : 2 + d.c % 3;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Fail, letter, L"", static_cast<DWORD>(vnk::sim::Fault::Open),
                          ERROR_FILE_NOT_FOUND, count, &refusal);
    if (done) Dirty(letter);
    Log(Format("  not found while logged in: %c: opens answer 2 %s: %s", static_cast<char>(letter),
               count == kForever ? "forever" : std::to_string(count).c_str(), done ? "done" : refusal.c_str()));
    Draw removal = d;
    removal.a = 2;  // a forged CD-ROM removal
    OpDeviceChange(removal);
}

void SeedRun::OpDelay(const Draw& d) {
    static const DWORD delays[] = {50, 200, 600, 1500, 3000};
    // Now and then every drive, present and future.
    const wchar_t letter = d.c % 8 == 0 ? 0 : PresentLetter(d);
    const DWORD kind = d.a % 10;
    const DWORD ms = delays[d.b % std::size(delays)];
    const DWORD count = d.c % 5 == 0 ? kForever : 1 + d.c % 3;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Delay, letter, L"", kind, ms, count, &refusal);
    if (done) {
        if (letter == 0)
            m_everyDriveFaults = true;
        else
            Dirty(letter);
    }
    Log(Format("  delay %c: %ls by %lu ms, %s: %s", letter == 0 ? '*' : static_cast<char>(letter),
               vnk::sim::kFaultNames[kind].data(), ms, count == kForever ? "forever" : std::to_string(count).c_str(),
               done ? "done" : refusal.c_str()));
}

void SeedRun::OpStall(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    const DWORD kind = d.a % 10;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Stall, letter, L"", kind, 0, 0, &refusal);
    if (done) {
        Dirty(letter);
        m_stalled = true;
    }
    Log(Format("  stall %c: %ls: %s", static_cast<char>(letter), vnk::sim::kFaultNames[kind].data(),
               done ? "done" : refusal.c_str()));
}

void SeedRun::OpRelease(const Draw&) {
    Sim(vnk::sim::Op::Release, 0);
    m_stalled = false;
    Log("  release every stalled call");
}

void SeedRun::OpClearFaults(const Draw&) {
    for (DWORD kind = 0; kind < vnk::sim::kFaultNames.size(); ++kind) Sim(vnk::sim::Op::Delay, 0, L"", kind, 0, 0);
    std::set<wchar_t> gone;
    for (wchar_t letter : m_dirty) {
        // The simulator takes no fault orders for a drive that is not
        // plugged in, and a drive plugged in again keeps what was set on
        // it: a refused clear leaves its faults for when it comes back.
        bool cleared = true;
        for (DWORD kind = 0; kind < vnk::sim::kFaultNames.size(); ++kind) {
            cleared = Sim(vnk::sim::Op::Fail, letter, L"", kind, 0, 0) && cleared;
            cleared = Sim(vnk::sim::Op::Delay, letter, L"", kind, 0, 0) && cleared;
        }
        Sim(vnk::sim::Op::Hold, letter, L"", 0);
        if (!cleared) gone.insert(letter);
    }
    Sim(vnk::sim::Op::Release, 0);
    for (wchar_t letter : m_dirty)
        if (!gone.count(letter)) m_faultsOnGone.erase(letter);
    m_faultsOnGone.insert(gone.begin(), gone.end());
    m_unprobed.insert(m_dirty.begin(), m_dirty.end());
    m_unprobedAll = m_unprobedAll || m_everyDriveFaults;
    m_dirty.clear();
    m_everyDriveFaults = false;
    m_stalled = false;
    std::string kept;
    for (wchar_t letter : gone) kept += Format(" %c:", static_cast<char>(letter));
    Log("  clear every fault, hold and stall" + (kept.empty() ? "" : "; kept with the drives that are gone:" + kept));
}

void SeedRun::OpHold(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    const bool on = d.a % 2 == 0;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Hold, letter, L"", on ? 1 : 0, 0, 0, &refusal);
    if (done) Dirty(letter);
    Log(Format("  hold %c: %s: %s", static_cast<char>(letter), on ? "on" : "off", done ? "done" : refusal.c_str()));
}

void SeedRun::OpSlowWindow(const Draw& d) {
    static const DWORD delays[] = {0, 200, 1500, 6000};
    const DWORD ms = delays[d.a % std::size(delays)];
    m_slow->SetDelay(ms);
    Log(Format("  another program's window takes %lu ms over each device change", ms));
}

void SeedRun::OpAnswerBoxes(const Draw&) {
    const auto boxes = MessageBoxes();
    bool clientEnds = false;
    for (HWND box : boxes) {
        const std::wstring title = TitleOf(box);
        const auto text = vnk::test::ReadControlText(::GetDlgItem(box, 0xFFFF), 500);
        Log("  answer \"" + Narrow(title) + "\": \"" + Narrow(text.value_or(L"?")) + "\"");
        // A client that started where no CD/DVD drive answers the driver's
        // requests says so, and ends once the person has read it.
        if (title == L"Filter driver not installed") clientEnds = true;
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    if (boxes.empty()) Log("  answer message boxes: none is up");
    if (!clientEnds) return;
    m_pinger->Watch(nullptr);
    if (!m_client.WaitForExit(kExitBoundMs))
        throw Violation(Format("the client did not end within %lu ms of \"Filter driver not installed\"", kExitBoundMs));
    if (m_client.ExitCode() >= 0xC0000000)
        throw Violation(Format("the client crashed as it ended (0x%lx)", m_client.ExitCode()));
    Log("  the client ended, as it does after that box");
    CheckTrace();
    StartClient();
}

void SeedRun::OpPause(const Draw& d) {
    const DWORD ms = d.a % 1500;
    Log(Format("  pause %lu ms", ms));
    ::Sleep(ms);
}

// The end of the session as the system brings it: the question, the
// notice, then the process is ended.
void SeedRun::OpSessionEnd(const Draw&) {
    HWND status = StatusWindow();
    Log("  the session ends");
    const size_t from = m_traceFrom;
    DWORD_PTR result = 0;
    // The window does the session's lock pass inside WM_ENDSESSION, as it
    // must, and answers nothing else meanwhile.
    CheckAnswers();
    m_pinger->Watch(nullptr);
    ::SendMessageTimeoutW(status, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &result);
    if (!::SendMessageTimeoutW(status, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 60000, &result))
        throw Violation("the status window did not finish with the session's end within 60 s");
    ::Sleep(100);  // the trace lines of the pass reach the listener
    m_client.Kill();
    CheckLockedOrNamed("the session's end", TracedNotLocked("Varnokd: OnEndSession", from));
    CheckTrace();
    StartClient();
}

void SeedRun::OpExit(const Draw&) {
    ExitClient();
    StartClient();
}

void SeedRun::ExitClient() {
    HWND status = StatusWindow();
    Log("  Exit");
    const size_t from = m_traceFrom;
    CheckMemory();
    // The shutdown waits for the drives' threads and ejects: Exit has a
    // bound of its own.
    CheckAnswers();
    m_pinger->Watch(nullptr);
    ::PostMessageW(status, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
    // A message box that is up (a probe's warning, say) holds the main
    // thread until it is answered; the person answers it.
    const ULONGLONG asked = ::GetTickCount64();
    while (!m_client.WaitForExit(200)) {
        if (::GetTickCount64() - asked > kExitBoundMs)
            throw Violation(Format("Exit did not end the client within %lu ms", kExitBoundMs));
        if (::GetTickCount64() - asked < 2000) continue;
        for (HWND box : MessageBoxes()) {
            Log("    answer \"" + Narrow(TitleOf(box)) + "\" so that Exit can go on");
            ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
    }
    if (m_client.ExitCode() >= 0xC0000000)
        throw Violation(Format("the client crashed on Exit (0x%lx)", m_client.ExitCode()));
    ::Sleep(100);
    CheckLockedOrNamed("Exit", TracedNotLocked("VNKDCleanup", from));
    CheckTrace();
}

void SeedRun::OpSecondInstance(const Draw&) {
    Log("  a second instance");
    vnk::test::Process second(vnk::test::ProgramPath(L"VarnokdSim.exe"), L"");
    if (!second.Started()) throw Violation("the second instance does not start");
    if (!second.WaitForExit(kExitBoundMs)) throw Violation("the second instance did not end");
}

void SeedRun::OpRestartSimulator(const Draw&) {
    std::wstring cdroms, others;
    for (const auto& d : SimDrives()) {
        if (!d.present) continue;
        (d.driveType == DRIVE_CDROM ? cdroms : others) += d.letter;
    }
    Log("  the simulator is killed and started again with drives " + Narrow(cdroms));
    StartSimulator(cdroms);
    for (wchar_t letter : others) Sim(vnk::sim::Op::AddDrive, letter, L"", DRIVE_FIXED);
    // Its drives are empty and know no announcement: boxes up now belong to
    // discs that are gone, and nothing tells the client.
    for (const auto& [letter, box] : LoginBoxes()) m_exempt.insert(letter);
    m_discPassphrase.clear();
    m_dirty.clear();
    m_faultsOnGone.clear();
    m_everyDriveFaults = false;
    m_stalled = false;
    m_simRestarted = true;
}

}  // namespace vnk::chaos
