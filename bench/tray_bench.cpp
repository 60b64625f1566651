// The client measured from outside, side by side with bench/reference_tray:
// start to window and to tray icon, driver signal to login box visible, and
// Exit to process gone. Runs alternate (client, reference, client, ...) so
// that the load other programs put on the machine falls on both alike.
// Prints the median and minimum of each and the ratio to the reference;
// asserts nothing.
//
// Usage (from tools/bench, under Wine, with a simulator serving drives D:
// to G: for the scenarios with the simulator build):
//   tray_bench.exe RUNS          every figure, RUNS runs of each program
//   tray_bench.exe set-event NAME
//   tray_bench.exe exit TITLE    posts Exit to the window with that title
//   tray_bench.exe wait-up TITLE  until that window exists and its process
//                                 has its tray icon
//   tray_bench.exe wait-shown TITLE  until a window with that title shows
#include <windows.h>

#include <shellapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/drive_table.h"
#include "fw/system_function.h"
#include "res/resource.h"
#include "sim/pipe_client.h"
#include "tests/support/process.h"
#include "tests/support/simulator_calls.h"
#include "tests/support/window_search.h"

namespace {

// The reference uses the client's tray id and Exit command too.
constexpr UINT kTrayId = IDR_TRAYMENU;
constexpr UINT kExitCommand = ID_APP_EXIT_VARNOK;
constexpr int kPassphraseId = IDC_PASSPHRASE;
constexpr int kLoginId = IDC_LOGIN;
constexpr int kEjectId = IDC_EJECT;
constexpr DWORD kPatienceMs = 20000;   // a run that needs longer has failed
constexpr wchar_t kPassphrase[] = L"bench phrase";
constexpr wchar_t kDriveLetters[] = L"DEFG";
// Each start waits this long first. The exit of the program before it (its
// tray icon's removal) and the simulator's drive broadcasts set Wine's
// explorer.exe and device services working after the calls have returned;
// a start into that work measured it too (the client's start to its window
// took 45 ms longer after the broadcasts of ResetDrives).
constexpr DWORD kSettleMs = 300;

double NowMs() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / frequency;
}

std::wstring ExeDir() {
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

// ---- Windows of another process -------------------------------------------

using vnk::test::TitleOf;
using vnk::test::TopWindowsOf;

HWND WindowTitled(DWORD pid, const std::function<bool(const std::wstring&)>& wanted, bool visible) {
    for (HWND hwnd : TopWindowsOf(pid)) {
        if (visible && !::IsWindowVisible(hwnd)) continue;
        if (wanted(TitleOf(hwnd))) return hwnd;
    }
    return nullptr;
}

// Whether the shell knows an icon of the process.
bool HasTrayIcon(DWORD pid) {
    for (HWND hwnd : TopWindowsOf(pid))
        if (vnk::test::IconInShell(hwnd, kTrayId)) return true;
    return false;
}

// Polls every millisecond until `done` holds; the time it first held, or
// nullopt after the patience ran out or the process ended.
std::optional<double> PollUntil(HANDLE process, const std::function<bool()>& done) {
    const ULONGLONG deadline = ::GetTickCount64() + kPatienceMs;
    while (::GetTickCount64() < deadline) {
        if (done()) return NowMs();
        if (::WaitForSingleObject(process, 1) == WAIT_OBJECT_0) return done() ? std::optional(NowMs()) : std::nullopt;
    }
    return std::nullopt;
}

// ---- Named events, to signal as the driver does ---------------------------

using NtOpenDirectoryObjectFn = NTSTATUS(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
using NtQueryDirectoryObjectFn = NTSTATUS(NTAPI*)(HANDLE, void*, ULONG, BOOLEAN, BOOLEAN, ULONG*, ULONG*);

// The names of the events in this session's object directory that look
// like a drive's announced event (a braced GUID).
std::set<std::wstring> GuidNamedEvents() {
    std::set<std::wstring> names;
    const auto open = vnk::fw::OptionalSystemFunction<NtOpenDirectoryObjectFn>(L"ntdll.dll", "NtOpenDirectoryObject");
    const auto query =
        vnk::fw::OptionalSystemFunction<NtQueryDirectoryObjectFn>(L"ntdll.dll", "NtQueryDirectoryObject");
    if (open == nullptr || query == nullptr) return names;
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    std::wstring path = L"\\Sessions\\" + std::to_wstring(session) + L"\\BaseNamedObjects";
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &name;
    HANDLE directory = nullptr;
    if (open(&directory, 0x0001 /* DIRECTORY_QUERY */, &attributes) < 0) return names;
    alignas(8) BYTE buffer[4096];
    ULONG context = 0;
    ULONG length = 0;
    struct Entry {
        UNICODE_STRING name;
        UNICODE_STRING type;
    };
    for (BOOLEAN restart = TRUE; query(directory, buffer, sizeof buffer, TRUE, restart, &context, &length) >= 0;
         restart = FALSE) {
        const auto* entry = reinterpret_cast<const Entry*>(buffer);
        const std::wstring entryName(entry->name.Buffer, entry->name.Length / 2);
        const std::wstring type(entry->type.Buffer, entry->type.Length / 2);
        if (type == L"Event" && entryName.size() == 38 && entryName.front() == L'{') names.insert(entryName);
    }
    ::CloseHandle(directory);
    return names;
}

bool SetNamedEvent(const std::wstring& name) {
    const HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (event == nullptr) return false;
    const BOOL set = ::SetEvent(event);
    ::CloseHandle(event);
    return set != FALSE;
}

// ---- The simulator ---------------------------------------------------------

bool Simulator(vnk::sim::Op op, wchar_t letter, const std::wstring& text = L"", DWORD code = 0) {
    const auto pipe = vnk::sim::SimulatorPipePath();
    return pipe && vnk::test::SimulatorCall(*pipe, vnk::test::SimulatorRequest(op, letter, text, code));
}

std::optional<vnk::sim::DriveState> DriveOf(wchar_t letter) {
    const auto pipe = vnk::sim::SimulatorPipePath();
    const auto drives = pipe ? vnk::test::SimulatorDrives(*pipe) : std::nullopt;
    if (!drives) return std::nullopt;
    for (const auto& drive : *drives)
        if (drive.letter == letter) return drive;
    return std::nullopt;
}

// Every drive is plugged in afresh and empty: a client that ended with a
// box open leaves its drive's volume locked, and a disc that waits for its
// login would be signalled at the client's start.
void ResetDrives() {
    for (const wchar_t* p = kDriveLetters; *p != L'\0'; ++p) {
        Simulator(vnk::sim::Op::RemoveDrive, *p);
        Simulator(vnk::sim::Op::AddDrive, *p, L"", DRIVE_CDROM);
    }
}

// ---- One program's run -----------------------------------------------------

// A program started for a figure, and when.
class Started {
public:
    explicit Started(const std::wstring& commandLine) : start(NowMs()), m_program(vnk::test::CommandLine{commandLine}) {}

    bool ok() const { return m_program.Started(); }
    HANDLE process() const { return m_program.Handle(); }
    DWORD id() const { return m_program.Id(); }

    const double start;

private:
    vnk::test::Process m_program;
};

struct Program {
    std::wstring name;
    std::function<std::wstring(int run)> commandLine;
    std::wstring mainTitle;
    std::wstring boxTitlePrefix;  // followed by the drive letter
    // The events that signal drives, found once the program is up.
    std::function<std::vector<std::wstring>(int run, const std::set<std::wstring>& before)> events;
    // Makes the box of a k-th drive come, not the first one's.
    std::function<bool(int k, wchar_t first, const std::vector<std::wstring>& events)> bringBox;
    // Closes the open box the way that ejects.
    std::function<void(HWND box)> dismiss;
    // Logs in on the open box; false when that did not happen.
    std::function<bool(HWND box)> logIn;
};

bool WaitUntilGone(HWND window) {
    const ULONGLONG deadline = ::GetTickCount64() + kPatienceMs;
    while (::IsWindow(window) && ::GetTickCount64() < deadline) ::Sleep(5);
    return !::IsWindow(window);
}

using Samples = std::vector<double>;
struct Figures {
    Samples window, icon, exitIdle, cycle, signalToBox, signalSettled, settledMade, exitBusy;
};

bool StartedUp(Started& run, const Program& program, Figures& figures) {
    const auto window = PollUntil(run.process(), [&] {
        return WindowTitled(run.id(), [&](const std::wstring& t) { return t == program.mainTitle; }, false) != nullptr;
    });
    const auto icon = PollUntil(run.process(), [&] { return HasTrayIcon(run.id()); });
    if (!window || !icon) return false;
    figures.window.push_back(*window - run.start);
    figures.icon.push_back(*icon - run.start);
    return true;
}

std::optional<double> ExitToGone(Started& run, const Program& program) {
    const HWND main =
        WindowTitled(run.id(), [&](const std::wstring& t) { return t == program.mainTitle; }, false);
    if (main == nullptr) return std::nullopt;
    const double asked = NowMs();
    ::PostMessageW(main, WM_COMMAND, kExitCommand, 0);
    if (::WaitForSingleObject(run.process(), kPatienceMs) != WAIT_OBJECT_0) return std::nullopt;
    return NowMs() - asked;
}

HWND WaitForBox(Started& run, const Program& program, double* when) {
    HWND box = nullptr;
    const auto shown = PollUntil(run.process(), [&] {
        box = WindowTitled(
            run.id(), [&](const std::wstring& t) { return t.rfind(program.boxTitlePrefix, 0) == 0; }, true);
        return box != nullptr;
    });
    if (!shown) return nullptr;
    if (when != nullptr) *when = *shown;
    return box;
}

// Start, icon, Exit: the figures of a program's idle start-and-exit cycle.
bool IdleCycle(const Program& program, int run, Figures& figures) {
    ::Sleep(kSettleMs);
    Started started(program.commandLine(run));
    if (!started.ok() || !StartedUp(started, program, figures)) return false;
    const auto gone = ExitToGone(started, program);
    if (!gone) return false;
    figures.exitIdle.push_back(*gone);
    figures.cycle.push_back(NowMs() - started.start);
    return true;
}

// Start; a driver signal and its box, which is closed; another drive's box
// and a login; a third drive's box left open; Exit.
bool BusyCycle(const Program& program, int run, Figures& figures) {
    const std::set<std::wstring> before = GuidNamedEvents();
    ::Sleep(kSettleMs);
    Started started(program.commandLine(run));
    if (!started.ok() || !StartedUp(started, program, figures)) return false;
    // The client probes on a worker: its icon may come before it has
    // announced its drives (and made their events).
    std::vector<std::wstring> events = program.events(run, before);
    PollUntil(started.process(), [&] {
        if (events.size() < 3) events = program.events(run, before);
        return events.size() >= 3;
    });
    if (events.size() < 3) {
        std::fprintf(stderr, "tray_bench: %ls: found %zu drive events\n", program.name.c_str(), events.size());
        return false;
    }
    const double signalled = NowMs();
    if (!SetNamedEvent(events[0])) return false;
    double shown = 0;
    const HWND box = WaitForBox(started, program, &shown);
    if (box == nullptr) return false;
    figures.signalToBox.push_back(shown - signalled);
    const wchar_t first = TitleOf(box)[program.boxTitlePrefix.size()];
    program.dismiss(box);
    if (!WaitUntilGone(box)) return false;

    // The same drive again once the start-up's work is over: the first
    // signal comes as soon as the icon is there, while the client may
    // still be starting its drives' threads and reading their statuses.
    ::Sleep(kSettleMs);
    const double signalledAgain = NowMs();
    if (!SetNamedEvent(events[0])) return false;
    // Two stamps: the box's window made (not shown yet), then shown.
    double madeAgain = 0;
    HWND again = nullptr;
    const auto shownAgain = PollUntil(started.process(), [&] {
        again = WindowTitled(
            started.id(), [&](const std::wstring& t) { return t.rfind(program.boxTitlePrefix, 0) == 0; }, false);
        if (again != nullptr && madeAgain == 0) madeAgain = NowMs();
        return again != nullptr && ::IsWindowVisible(again);
    });
    if (!shownAgain) return false;
    figures.signalSettled.push_back(*shownAgain - signalledAgain);
    figures.settledMade.push_back(madeAgain - signalledAgain);
    program.dismiss(again);
    if (!WaitUntilGone(again)) return false;

    HWND second = nullptr;
    if (!program.bringBox(1, first, events) || (second = WaitForBox(started, program, nullptr)) == nullptr ||
        !program.logIn(second)) {
        std::fprintf(stderr, "tray_bench: %ls: the login did not happen\n", program.name.c_str());
        return false;
    }
    if (!program.bringBox(2, first, events) || WaitForBox(started, program, nullptr) == nullptr) return false;
    const auto gone = ExitToGone(started, program);
    if (!gone) return false;
    figures.exitBusy.push_back(*gone);
    return true;
}

// ---- The programs ----------------------------------------------------------

Program Client(const std::wstring& exe) {
    Program p;
    p.name = exe;
    // The programs lie in the build folder, above the benchmarks.
    p.commandLine = [exe](int) { return L"\"" + ExeDir() + L"..\\" + exe + L"\""; };
    p.mainTitle = L"Varnok Status";
    p.boxTitlePrefix = L"Varnok on drive ";
    p.events = [](int, const std::set<std::wstring>& before) {
        std::vector<std::wstring> fresh;
        for (const auto& name : GuidNamedEvents())
            if (before.count(name) == 0) fresh.push_back(name);
        return fresh;
    };
    p.bringBox = [](int k, wchar_t first, const std::vector<std::wstring>&) {
        // A disc that arrives is signalled by the driver itself.
        std::wstring others;
        for (const wchar_t* letter = kDriveLetters; *letter != L'\0'; ++letter)
            if (*letter != first) others += *letter;
        return k > 0 && static_cast<size_t>(k) <= others.size() &&
               Simulator(vnk::sim::Op::InsertEncrypted, others[static_cast<size_t>(k - 1)], kPassphrase);
    };
    p.dismiss = [](HWND box) {
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(kEjectId, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(box, kEjectId)));
    };
    p.logIn = [](HWND box) {
        const wchar_t letter = TitleOf(box)[16];  // "Varnok on drive X: - ..."
        ::SendMessageW(::GetDlgItem(box, kPassphraseId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(kPassphrase));
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(kLoginId, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(box, kLoginId)));
        // The box stays a moment to show the outcome, then goes.
        const bool gone = WaitUntilGone(box);
        const auto drive = DriveOf(letter);
        return gone && drive && drive->status == vnk::LoggedIn;
    };
    return p;
}

// With `boxThreads`, each drive's box is made on a thread of its own, as
// the client's are.
Program Reference(bool boxThreads) {
    Program p;
    p.name = boxThreads ? L"reference_tray.exe box-threads" : L"reference_tray.exe";
    const std::wstring prefix = L"VarnokBenchReference-" + std::to_wstring(::GetCurrentProcessId()) +
                                (boxThreads ? L"-threads-" : L"-");
    const std::wstring options = boxThreads ? L" 4 box-threads" : L" 4";
    p.commandLine = [prefix, options](int run) {
        return L"\"" + ExeDir() + L"reference_tray.exe\" " + prefix + std::to_wstring(run) + L"-" + options;
    };
    p.mainTitle = L"Reference Status";
    p.boxTitlePrefix = L"Reference drive ";
    p.events = [prefix](int run, const std::set<std::wstring>&) {
        const std::wstring base = prefix + std::to_wstring(run) + L"-";
        return std::vector<std::wstring>{base + L"0", base + L"1", base + L"2"};
    };
    p.bringBox = [](int k, wchar_t, const std::vector<std::wstring>& events) {
        return static_cast<size_t>(k) < events.size() && SetNamedEvent(events[static_cast<size_t>(k)]);
    };
    p.dismiss = [](HWND box) { ::PostMessageW(box, WM_COMMAND, IDCANCEL, 0); };
    p.logIn = [](HWND box) {
        ::SendMessageW(::GetDlgItem(box, kPassphraseId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(kPassphrase));
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        return WaitUntilGone(box);
    };
    return p;
}

// ---- Report ------------------------------------------------------------------

double Median(Samples s) {
    if (s.empty()) return 0;
    std::sort(s.begin(), s.end());
    const size_t n = s.size();
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

double Min(const Samples& s) { return s.empty() ? 0 : *std::min_element(s.begin(), s.end()); }

// A figure's goal: the ratio of the medians to the reference at most
// `maxRatio`, and (when given) the client's median below `belowMs`.
struct Goal {
    double maxRatio = 0;  // 0: no goal
    double belowMs = 0;
};

// "goal <= 1.30x: met", or "not met"; empty without a goal.
std::string GoalText(const Goal& goal, double ratio, double clientMs, bool measured) {
    if (goal.maxRatio <= 0) return "";
    char text[80];
    const bool met = measured && ratio <= goal.maxRatio && (goal.belowMs <= 0 || clientMs < goal.belowMs);
    if (goal.belowMs > 0) {
        std::snprintf(text, sizeof text, "goal <= %.2fx, < %.0f ms: %s", goal.maxRatio, goal.belowMs,
                      met ? "met" : "NOT MET");
    } else {
        std::snprintf(text, sizeof text, "goal <= %.2fx: %s", goal.maxRatio, met ? "met" : "NOT MET");
    }
    return text;
}

void PrintRow(const char* what, const Samples& client, const Samples& reference, Goal goal = {}) {
    const double cm = Median(client), rm = Median(reference);
    const double cmin = Min(client), rmin = Min(reference);
    const double ratio = rm > 0 ? cm / rm : 0.0;
    std::printf("%-44s %8.1f %8.1f  %8.1f %8.1f  %5.2fx %5.2fx  (%zu/%zu runs)  %s\n", what, cm, cmin, rm, rmin,
                ratio, rmin > 0 ? cmin / rmin : 0.0, client.size(), reference.size(),
                GoalText(goal, ratio, cm, !client.empty() && !reference.empty()).c_str());
}

void PrintHeader(const char* title) {
    std::printf("\n%s\n", title);
    std::printf("%-44s %8s %8s  %8s %8s  %6s %6s\n", "figure (ms)", "client", "min", "ref", "min", "median",
                "min");
}

int Measure(int runs) {
    const Program product = Client(L"Varnokd.exe");
    const Program simulated = Client(L"VarnokdSim.exe");
    const Program reference = Reference(false);
    const Program referenceBoxThreads = Reference(true);
    Figures productFigures, simFigures, refIdle, refBusy, refThreads;
    int failures = 0;
    {
        // One unmeasured round first: the first start of each program in a
        // fresh prefix also pays for what Wine sets up once.
        Figures ignored;
        IdleCycle(product, runs, ignored);
        IdleCycle(reference, 2 * runs, ignored);
        BusyCycle(reference, 2 * runs + 1, ignored);
        BusyCycle(referenceBoxThreads, runs, ignored);
        ResetDrives();
        BusyCycle(simulated, runs, ignored);
    }
    for (int run = 0; run < runs; ++run) {
        // Alternate which goes first, so that neither always follows the
        // other's exit.
        const std::function<bool()> clientIdle = [&] { return IdleCycle(product, run, productFigures); };
        const std::function<bool()> referenceIdle = [&] { return IdleCycle(reference, 2 * run, refIdle); };
        const std::function<bool()> clientBusy = [&] {
            ResetDrives();
            return BusyCycle(simulated, run, simFigures);
        };
        const std::function<bool()> referenceBusy = [&] { return BusyCycle(reference, 2 * run + 1, refBusy); };
        const std::function<bool()> boxThreadsBusy = [&] {
            return BusyCycle(referenceBoxThreads, run, refThreads);
        };
        const std::vector<std::function<bool()>> cycles =
            run % 2 == 0 ? std::vector{clientIdle, referenceIdle, referenceBusy, boxThreadsBusy, clientBusy}
                         : std::vector{referenceIdle, clientIdle, clientBusy, referenceBusy, boxThreadsBusy};
        for (const auto& cycle : cycles)
            if (!cycle()) ++failures;
        std::fprintf(stderr, "tray_bench: run %d of %d done\n", run + 1, runs);
    }
    std::printf("Client beside the reference tray program, %d interleaved runs each;\n"
                "median and minimum in ms, and the client's ratio to the reference.\n",
                runs);
    PrintHeader("Product build (Varnokd.exe), no filter driver");
    PrintRow("1. start to window", productFigures.window, refIdle.window);
    PrintRow("1. start to tray icon", productFigures.icon, refIdle.icon, {1.3});
    PrintRow("3. Exit to gone (idle)", productFigures.exitIdle, refIdle.exitIdle);
    PrintRow("   start-and-exit cycle", productFigures.cycle, refIdle.cycle);
    PrintHeader("Simulator build (VarnokdSim.exe), 4 drives");
    PrintRow("1. start to window", simFigures.window, refBusy.window);
    PrintRow("1. start to tray icon", simFigures.icon, refBusy.icon, {1.3});
    PrintRow("2. driver signal to login box visible", simFigures.signalToBox, refBusy.signalToBox, {1.5});
    PrintRow("3. Exit to gone (1 logged in, 1 box open)", simFigures.exitBusy, refBusy.exitBusy, {1.5, 200});
    PrintHeader("Simulator build beside the reference with a box thread per drive, as the client has");
    PrintRow("2. driver signal to login box visible", simFigures.signalToBox, refThreads.signalToBox, {1.5});
    PrintRow("   reference alone: box on the main thread", refBusy.signalToBox, refThreads.signalToBox);
    PrintHeader("The same drive signalled again 300 ms after its first box went (the start-up's work over)");
    PrintRow("2. signal to box, against the box on the main thread", simFigures.signalSettled,
             refBusy.signalSettled, {1.5});
    PrintRow("2. signal to box, against a box thread per drive", simFigures.signalSettled,
             refThreads.signalSettled, {1.5});
    PrintRow("   of which to the box's window made", simFigures.settledMade, refThreads.settledMade);
    if (failures != 0) std::printf("(%d runs failed and are left out)\n", failures);
    return failures == 0 ? 0 : 1;
}

// ---- Slow and stalled drives ------------------------------------------------
// The client alone (before and after a change), against a simulator that the
// script started with the drives DEFG: the time to the last eject of a lock
// pass, the main thread's longest silence while a drive stalls, and Exit
// with a stalled drive.

constexpr UINT kEmergencyLockCommand = 32773;  // ID_EMERGENCYLOCK
constexpr UINT kShowCommand = 32771;           // ID_SHOWSTATUS

HWND MainWindowOf(const Started& run) {
    HWND main = nullptr;
    PollUntil(run.process(), [&] {
        main = WindowTitled(run.id(), [](const std::wstring& t) { return t == L"Varnok Status"; }, false);
        return main != nullptr && HasTrayIcon(run.id());
    });
    return main;
}

// Logs in on `letters` through their login boxes; false if one failed.
bool LogInOn(Started& run, const std::wstring& letters) {
    const Program client = Client(L"");
    for (wchar_t letter : letters) {
        if (!Simulator(vnk::sim::Op::InsertEncrypted, letter, kPassphrase)) return false;
        const HWND box = WaitForBox(run, client, nullptr);
        if (box == nullptr || !client.logIn(box)) return false;
    }
    return true;
}

// The ms from `start` until no drive of `letters` holds a disc; nothing
// after kPatienceMs.
std::optional<double> UntilEjected(const std::wstring& letters, double start) {
    const ULONGLONG deadline = ::GetTickCount64() + kPatienceMs;
    while (::GetTickCount64() < deadline) {
        bool all = true;
        for (wchar_t letter : letters) {
            const auto drive = DriveOf(letter);
            all = all && drive && drive->disc == vnk::sim::Disc::None;
        }
        if (all) return NowMs() - start;
        ::Sleep(10);
    }
    return std::nullopt;
}

// Answers any message box of the process as soon as it shows; counts them.
struct BoxAnswerer {
    DWORD pid;
    int answered = 0;
    void Poll() {
        const HWND box = WindowTitled(pid, [](const std::wstring& t) { return t == L"Exit incomplete" ||
                                                                       t == L"Emergency Lock incomplete"; }, true);
        if (box != nullptr && ::PostMessageW(box, WM_COMMAND, IDOK, 0)) ++answered;
    }
};

// A lock pass (lock, session, exit) with the drives `letters` logged in:
// ms to the last eject.
std::optional<double> LockPassMs(const std::wstring& exe, const std::wstring& way, const std::wstring& letters) {
    ResetDrives();
    Started run(L"\"" + exe + L"\"");
    const HWND main = MainWindowOf(run);
    if (main == nullptr || !LogInOn(run, letters)) return std::nullopt;
    ::Sleep(kSettleMs);
    const double start = NowMs();
    if (way == L"lock") ::PostMessageW(main, WM_COMMAND, kEmergencyLockCommand, 0);
    if (way == L"session") ::PostMessageW(main, WM_ENDSESSION, TRUE, 0);
    if (way == L"exit") ::PostMessageW(main, WM_COMMAND, kExitCommand, 0);
    const auto ms = UntilEjected(letters, start);
    ::PostMessageW(main, WM_COMMAND, kExitCommand, 0);
    BoxAnswerer boxes{run.id()};
    for (int i = 0; i < 200 && ::WaitForSingleObject(run.process(), 50) == WAIT_TIMEOUT; ++i) boxes.Poll();
    return ms;
}

struct Ping {
    HWND window;
    double endAt;
    double longest = 0;
};

// Sends WM_NULL every 50 ms until the end; notes the longest wait for an
// answer.
DWORD WINAPI PingEvery50Ms(LPVOID param) {
    auto& p = *static_cast<Ping*>(param);
    while (NowMs() < p.endAt) {
        const double sent = NowMs();
        DWORD_PTR result = 0;
        const DWORD left = static_cast<DWORD>(std::max(1.0, p.endAt - sent));
        ::SendMessageTimeoutW(p.window, WM_NULL, 0, 0, SMTO_NORMAL, left, &result);
        p.longest = std::max(p.longest, NowMs() - sent);
        ::Sleep(50);
    }
    return 0;
}

// D: stalls every open for good while the others are used (the window
// shown and hidden, a disc logged in and locked): the longest a WM_NULL
// ping every 50 ms waited for its answer over `seconds`.
std::optional<double> LongestSilenceMs(const std::wstring& exe, int seconds) {
    ResetDrives();
    Started run(L"\"" + exe + L"\"");
    const HWND main = MainWindowOf(run);
    if (main == nullptr || !LogInOn(run, L"E")) return std::nullopt;
    Simulator(vnk::sim::Op::Stall, L'D', L"", static_cast<DWORD>(vnk::sim::Fault::Open));
    Ping ping{main, NowMs() + seconds * 1000.0};
    const HANDLE pinger = ::CreateThread(nullptr, 0, &PingEvery50Ms, &ping, 0, nullptr);
    // The user meanwhile: the window shown and hidden, Emergency Lock.
    BoxAnswerer boxes{run.id()};
    for (int step = 0; NowMs() < ping.endAt; ++step) {
        ::PostMessageW(main, WM_COMMAND, step % 3 == 2 ? kEmergencyLockCommand : kShowCommand, 0);
        for (int i = 0; i < 40 && NowMs() < ping.endAt; ++i) {
            ::Sleep(50);
            boxes.Poll();
        }
        ::PostMessageW(main, WM_COMMAND, IDOK, 0);
        ::Sleep(500);
    }
    ::WaitForSingleObject(pinger, kPatienceMs + seconds * 1000);
    ::CloseHandle(pinger);
    Simulator(vnk::sim::Op::Release, 0);
    ::PostMessageW(main, WM_COMMAND, kExitCommand, 0);
    for (int i = 0; i < 200 && ::WaitForSingleObject(run.process(), 50) == WAIT_TIMEOUT; ++i) boxes.Poll();
    return ping.longest;
}

// E: logged in, D: stalls every open for good: ms from Exit to the process
// gone, the box naming D: answered at once; nothing after `capMs`.
std::optional<double> ExitWithStallMs(const std::wstring& exe, DWORD capMs, bool* boxShown) {
    ResetDrives();
    Started run(L"\"" + exe + L"\"");
    const HWND main = MainWindowOf(run);
    if (main == nullptr || !LogInOn(run, L"E")) return std::nullopt;
    Simulator(vnk::sim::Op::Stall, L'D', L"", static_cast<DWORD>(vnk::sim::Fault::Open));
    ::Sleep(kSettleMs);
    const double start = NowMs();
    ::PostMessageW(main, WM_COMMAND, kExitCommand, 0);
    BoxAnswerer boxes{run.id()};
    std::optional<double> gone;
    while (NowMs() - start < capMs) {
        if (::WaitForSingleObject(run.process(), 10) == WAIT_OBJECT_0) {
            gone = NowMs() - start;
            break;
        }
        boxes.Poll();
    }
    *boxShown = boxes.answered > 0;
    Simulator(vnk::sim::Op::Release, 0);
    for (int i = 0; i < 200 && ::WaitForSingleObject(run.process(), 50) == WAIT_TIMEOUT; ++i) boxes.Poll();
    return gone;
}

int StallFigures(const std::wstring& figure, const std::wstring& exe, int runs) {
    if (figure == L"lock") {
        for (const wchar_t* way : {L"lock", L"session", L"exit"}) {
            Samples one, four;
            for (int run = 0; run < runs; ++run) {
                if (auto ms = LockPassMs(exe, way, L"D")) one.push_back(*ms);
                if (auto ms = LockPassMs(exe, way, L"DEFG")) four.push_back(*ms);
            }
            const double ratio = Median(one) > 0 ? Median(four) / Median(one) : 0;
            const bool met = !one.empty() && !four.empty() && ratio <= 1.2;
            std::printf("%-10ls one drive %7.0f ms   4 drives %7.0f ms   ratio %4.2fx   (%zu/%zu runs)  "
                        "goal <= 1.20x: %s\n",
                        way, Median(one), Median(four), ratio, one.size(), four.size(), met ? "met" : "NOT MET");
        }
        return 0;
    }
    if (figure == L"ping") {
        Samples longest;
        for (int run = 0; run < runs; ++run)
            if (auto ms = LongestSilenceMs(exe, 30)) longest.push_back(*ms);
        const bool met = !longest.empty() && Median(longest) <= 100;
        std::printf("longest unanswered WM_NULL over 30 s: median %.0f ms, max %.0f ms (%zu runs)  "
                    "goal median <= 100 ms: %s\n",
                    Median(longest), longest.empty() ? 0.0 : *std::max_element(longest.begin(), longest.end()),
                    longest.size(), met ? "met" : "NOT MET");
        return 0;
    }
    if (figure == L"exit") {
        Samples gone;
        int stuck = 0, boxes = 0;
        for (int run = 0; run < runs; ++run) {
            bool box = false;
            if (auto ms = ExitWithStallMs(exe, 30000, &box)) {
                gone.push_back(*ms);
            } else {
                ++stuck;
            }
            boxes += box ? 1 : 0;
        }
        if (gone.empty()) {
            std::printf("exit with D: stalled: process still there after 30 s in %d of %d runs  goal max <= 5500 ms:"
                        " NOT MET\n",
                        stuck, runs);
        } else {
            const double longest = *std::max_element(gone.begin(), gone.end());
            const bool met = stuck == 0 && boxes == runs && longest <= 5500;
            std::printf("exit with D: stalled: process gone after median %.0f ms, max %.0f ms; box shown in %d runs;"
                        " still there after 30 s in %d runs  goal max <= 5500 ms, box every run: %s\n",
                        Median(gone), longest, boxes, stuck, met ? "met" : "NOT MET");
        }
        return 0;
    }
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"set-event" && argc == 3) return SetNamedEvent(argv[2]) ? 0 : 1;
    if (command == L"exit" && argc == 3) {
        const HWND window = ::FindWindowW(nullptr, argv[2]);
        return window != nullptr && ::PostMessageW(window, WM_COMMAND, kExitCommand, 0) ? 0 : 1;
    }
    if ((command == L"wait-up" || command == L"wait-shown") && argc == 3) {
        const std::wstring title = argv[2];
        const ULONGLONG deadline = ::GetTickCount64() + kPatienceMs;
        for (; ::GetTickCount64() < deadline; ::Sleep(10)) {
            const HWND window = ::FindWindowW(nullptr, title.c_str());
            if (window == nullptr) continue;
            DWORD pid = 0;
            ::GetWindowThreadProcessId(window, &pid);
            if (command == L"wait-up" ? HasTrayIcon(pid) : ::IsWindowVisible(window) != FALSE) return 0;
        }
        return 1;
    }
    if (command == L"stall" && argc == 5) return StallFigures(argv[2], argv[3], _wtoi(argv[4]));
    const int runs = argc > 1 ? _wtoi(argv[1]) : 0;
    if (runs < 1) {
        std::fprintf(stderr, "usage: tray_bench RUNS | set-event NAME | exit TITLE\n");
        return 2;
    }
    return Measure(runs);
}
