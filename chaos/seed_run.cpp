#include "chaos/seed_run.h"

#include <algorithm>
#include <cwchar>
#include <thread>

#include "chaos/toolkit.h"
#include "res/resource.h"
#include "tests/support/screen_capture.h"
#include "tests/support/simulator_calls.h"
#include "tests/support/window_search.h"

namespace vnk::chaos {

using vnk::test::ClassOf;
using vnk::test::TitleOf;
using vnk::test::TopWindowsOf;

void SeedRun::Log(const std::string& line) {
    const std::string stamped =
        Format("%8.3f s  ", static_cast<double>(::GetTickCount64() - m_start) / 1000.0) + line + "\n";
    std::lock_guard lock(m_logMutex);
    // Written at once: a seed that hangs still leaves its steps.
    DWORD done = 0;
    if (m_logFile) ::WriteFile(m_logFile.get(), stamped.data(), static_cast<DWORD>(stamped.size()), &done, nullptr);
}

bool SeedRun::Sim(vnk::sim::Op op, wchar_t letter, const std::wstring& text, DWORD code, DWORD error, DWORD count,
                  std::string* refusal) {
    // The drive broadcasts wait for every window (5 s each at most).
    return vnk::test::SimulatorCall(L"\\\\.\\pipe\\" + m_pipeName,
                                    vnk::test::SimulatorRequest(op, letter, text, code, error, count), refusal,
                                    {5000, 60000});
}

std::vector<vnk::sim::DriveState> SeedRun::SimDrives() {
    const auto drives = vnk::test::SimulatorDrives(L"\\\\.\\pipe\\" + m_pipeName, {5000, 30000});
    if (!drives) throw Violation("the simulator does not answer its pipe, or its drive list does not parse");
    return *drives;
}

std::optional<vnk::sim::DriveState> SeedRun::SimDrive(wchar_t letter) {
    for (auto& drive : SimDrives())
        if (drive.letter == letter) return drive;
    return std::nullopt;
}

HWND SeedRun::StatusWindow() const {
    for (HWND hwnd : TopWindowsOf(m_client.Id()))
        if (ClassOf(hwnd) == kDialogClass && TitleOf(hwnd) == kStatusTitle) return hwnd;
    return nullptr;
}

HWND SeedRun::TrayWindow() const {
    for (HWND hwnd : TopWindowsOf(m_client.Id()))
        if (ClassOf(hwnd) == L"fw.Window" && vnk::test::IconInShell(hwnd, IDR_TRAYMENU)) return hwnd;
    return nullptr;
}

std::map<wchar_t, HWND> SeedRun::LoginBoxes() const {
    std::map<wchar_t, HWND> boxes;
    const size_t prefix = std::wcslen(kBoxPrefix);
    for (HWND hwnd : TopWindowsOf(m_client.Id())) {
        if (!::IsWindowVisible(hwnd)) continue;
        const std::wstring title = TitleOf(hwnd);
        if (title.size() > prefix && title.compare(0, prefix, kBoxPrefix) == 0) boxes[title[prefix]] = hwnd;
    }
    return boxes;
}

std::vector<HWND> SeedRun::MessageBoxes() const {
    std::vector<HWND> boxes;
    for (HWND hwnd : TopWindowsOf(m_client.Id())) {
        if (!::IsWindowVisible(hwnd) || ClassOf(hwnd) != kDialogClass) continue;
        const std::wstring title = TitleOf(hwnd);
        if (title == kStatusTitle || title.rfind(kBoxPrefix, 0) == 0) continue;
        boxes.push_back(hwnd);
    }
    return boxes;
}

wchar_t SeedRun::PresentLetter(const Draw& d) {
    std::wstring present;
    for (const auto& drive : SimDrives())
        if (drive.present && drive.driveType == DRIVE_CDROM) present += drive.letter;
    if (present.empty()) return Letter(d);
    return present[d.letter % present.size()];
}

HWND SeedRun::BoxFor(wchar_t letter) const {
    const auto boxes = LoginBoxes();
    if (boxes.empty()) return nullptr;
    const auto it = boxes.find(letter);
    return it != boxes.end() ? it->second : boxes.begin()->second;
}

// ---- Setup --------------------------------------------------------------------------

void SeedRun::StartSimulator(const std::wstring& drives) {
    m_sim.Kill();
    const std::wstring ready = vnk::sim::ReadyEventName(L"\\\\.\\pipe\\" + m_pipeName);
    vnk::fw::UniqueHandle readyEvent(::CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
    ::ResetEvent(readyEvent.get());
    {
        vnk::test::Process started(vnk::test::ProgramPath(L"VarnokSim.exe"),
                                   drives.empty() ? L"" : L"--drives " + drives, m_simOutput.get());
        std::lock_guard lock(m_processMutex);
        m_sim = std::move(started);
    }
    if (!m_sim.Started()) throw Violation("VarnokSim.exe does not start");
    const HANDLE waits[2] = {readyEvent.get(), m_sim.Handle()};
    if (::WaitForMultipleObjects(2, waits, FALSE, 30000) != WAIT_OBJECT_0)
        throw Violation("the simulator did not come up");
}

void SeedRun::StartClient() {
    {
        vnk::test::Process started(vnk::test::ProgramPath(L"VarnokdSim.exe"), L"");
        std::lock_guard lock(m_processMutex);
        m_client = std::move(started);
    }
    if (!m_client.Started()) throw Violation("VarnokdSim.exe does not start");
    m_traceFrom = m_trace.Count();
    m_loggedInBeforeStart.clear();
    for (const auto& d : SimDrives())
        if (LoggedInNow(d)) m_loggedInBeforeStart.insert(d.letter);
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    for (;;) {
        HWND status = StatusWindow();
        if (status != nullptr && TrayWindow() != nullptr) break;
        // A box of the start-up (a drive that cannot be reached) may hold it.
        if (!m_client.Running())
            throw Violation(Format("the client ended at start (exit code 0x%lx)", m_client.ExitCode()));
        if (::GetTickCount64() > deadline) break;  // the checks say what is wrong
        // The start-up probe's boxes (a drive that cannot be reached) hold
        // it until the person answers them.
        if (::GetTickCount64() + 28000 > deadline)
            for (HWND box : MessageBoxes()) {
                Log("  answer \"" + Narrow(TitleOf(box)) + "\" of the start");
                ::PostMessageW(box, WM_COMMAND, IDOK, 0);
            }
        ::Sleep(20);
    }
    Log(Format("client started, process %lu", m_client.Id()));
    m_pinger->Watch(StatusWindow());
    // The base figures wait for a steady state (CheckResources).
    m_base.reset();
    m_handlesAt.clear();
    m_simRestarted = false;
    ProbedWithoutFaults();
}

void SeedRun::ProbedWithoutFaults() {
    if (!m_dirty.empty() || m_everyDriveFaults) return;
    m_unprobed.clear();
    m_unprobedAll = false;
}

// ---- The run ------------------------------------------------------------------------

void SeedRun::SaveEvidence() {
    MakeFolders(m_folder);
    vnk::test::SaveScreen(m_folder + L"\\screenshot.bmp");
    std::string trace;
    for (const auto& line : m_trace.Lines())
        trace +=
            Format("%8.3f s  %5lu  ", static_cast<double>(line.tick - m_start) / 1000.0, line.pid) + line.text + "\n";
    WriteText(m_folder + L"\\client-trace.txt", trace);
    // The simulator's drives as they stand, with what was done to each (a
    // disc gone by an eject of the client's, or by hand, shows here).
    std::string drives;
    if (const auto list = vnk::test::SimulatorDrives(L"\\\\.\\pipe\\" + m_pipeName, {2000, 5000}))
        for (const auto& d : *list)
            drives += Format("%c: %s %s disc %d, status %lu, %s, %s; logins %u, ejects %u, dismounts %u, "
                             "announcements %u, withdrawals %u\n",
                             static_cast<char>(d.letter), d.present ? "present" : "gone",
                             d.driveType == DRIVE_CDROM ? "cdrom" : "other", static_cast<int>(d.disc), d.status,
                             d.loggedIn ? "logged in" : "not logged in", d.announced ? "announced" : "not announced",
                             d.logins, d.ejects, d.dismounts, d.announcements, d.withdrawals);
    else
        drives = "the simulator did not answer\n";
    WriteText(m_folder + L"\\simulator-drives.txt", drives);
}

void SeedRun::Finish() {
    if (m_client.Running()) {
        if (HWND status = StatusWindow()) ::PostMessageW(status, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
        if (!m_client.WaitForExit(5000)) m_client.Kill();
    }
    m_client.Kill();
    Sim(vnk::sim::Op::Quit, 0);
    if (!m_sim.WaitForExit(5000)) m_sim.Kill();
    m_slow.reset();
}

std::optional<std::string> SeedRun::Run() {
    m_start = ::GetTickCount64();
    m_trace.Clear();
    m_folder = m_options.outDir + L"\\" + std::to_wstring(m_seed);
    RemoveFolder(m_folder);
    MakeFolders(m_folder);
    m_pipeName = L"VarnokChaos-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(m_seed);
    ::SetEnvironmentVariableW(L"VARNOK_SIM_PIPE", m_pipeName.c_str());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    m_logFile = vnk::fw::UniqueHandle(::CreateFileW((m_folder + L"\\steps.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                    nullptr, CREATE_ALWAYS, 0, nullptr));
    m_simOutput =
        vnk::fw::UniqueHandle(::CreateFileW((m_folder + L"\\simulator.log").c_str(), GENERIC_WRITE | FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr));

    // The seed's drives: a pool of letters anywhere from A to Z, a few of
    // them plugged in at the start.
    std::wstring letters = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::shuffle(letters.begin(), letters.end(), m_rng);
    m_pool = letters.substr(0, 3 + m_rng() % 6);
    const std::wstring initial = m_pool.substr(0, 1 + m_rng() % 3);
    std::vector<Draw> draws(m_options.steps);
    const auto& ops = Ops();
    unsigned total = 0;
    for (const auto& op : ops) total += op.weight;
    for (auto& draw : draws) {
        unsigned pick = m_rng() % total;
        draw.op = 0;
        while (pick >= ops[draw.op].weight) pick -= ops[draw.op++].weight;
        draw.letter = m_rng() % 64;
        draw.a = m_rng();
        draw.b = m_rng();
        draw.c = m_rng();
    }

    Log(Format("seed %lu: %u steps, drives %s at the start, letters %s", static_cast<unsigned long>(m_seed),
               m_options.steps, Narrow(initial).c_str(), Narrow(m_pool).c_str()));
    // The seed's time limit: past it, the evidence is saved and the
    // programs are ended, which ends whatever the run waits for.
    vnk::fw::UniqueHandle finished(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const DWORD limitMs = m_options.seedLimitMs != 0 ? m_options.seedLimitMs : 60000 + 4000 * m_options.steps;
    std::thread watchdog([&] {
        if (::WaitForSingleObject(finished.get(), limitMs) != WAIT_TIMEOUT) return;
        m_timedOut = true;
        const std::string why = Format("the seed ran past its time limit of %lu s", limitMs / 1000);
        Log("FAILED: " + why);
        SaveEvidence();
        std::lock_guard lock(m_processMutex);
        if (m_client.Running()) ::TerminateProcess(m_client.Handle(), 98);
        if (m_sim.Running()) ::TerminateProcess(m_sim.Handle(), 98);
    });
    std::optional<std::string> failure;
    try {
        m_slow.emplace(vnk::test::OtherProgramWindow::Behaviour{});
        m_pinger.emplace(m_options.nullBoundMs);
        StartSimulator(initial);
        StartClient();
        CheckAll(false);
        for (m_step = 1; m_step <= m_options.steps; ++m_step) {
            if (!m_options.only.empty() && m_options.only.count(m_step) == 0) continue;
            const Draw& draw = draws[m_step - 1];
            const Op& op = ops[draw.op];
            if (!m_options.stalls && op.run == &SeedRun::OpStall) continue;
            Log(Format("step %u: %s", m_step, op.name));
            (this->*op.run)(draw);
            CheckAll(m_step % 10 == 0);
            ++m_stepsDone;
        }
        Log("end: Emergency Lock, then Exit");
        OpClearFaults({});
        OpEmergencyLock({});
        CheckAll(true);
        ExitClient();
        Log(Format("%zu trace lines", m_trace.Count()));
    } catch (const Violation& violation) {
        failure = Format("step %u: ", m_step) + (m_timedOut ? std::string("the seed ran past its time limit (the "
                                                                          "client or the simulator hung)")
                                                            : std::string(violation.what()));
        Log("FAILED: " + *failure);
    } catch (const std::exception& error) {
        failure = m_timedOut ? Format("step %u: the seed ran past its time limit", m_step)
                             : Format("step %u: the run itself failed: ", m_step) + error.what();
        Log("FAILED: " + *failure);
    }
    if (m_timedOut && !failure) failure = Format("step %u: the seed ran past its time limit", m_step);
    if (failure && !m_timedOut) SaveEvidence();
    ::SetEvent(finished.get());
    watchdog.join();
    Finish();
    m_simOutput.reset();
    m_logFile.reset();
    if (!failure && !m_options.keepPassing) {
        RemoveFolder(m_folder);
    }
    return failure;
}

}  // namespace vnk::chaos
