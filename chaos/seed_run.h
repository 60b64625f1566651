// One seed of the chaos run: the simulator and the client started afresh,
// a random sequence of operations drawn from the seed (operations.cpp), the
// client's promises checked after every step (checks.cpp), and the evidence
// of a failure kept (seed_run.cpp).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "chaos/options.h"
#include "chaos/pinger.h"
#include "chaos/process_figures.h"
#include "fw/handles.h"
#include "sim/pipe_client.h"
#include "tests/support/other_program_window.h"
#include "tests/support/process.h"
#include "tests/support/trace_listener.h"

namespace vnk::chaos {

constexpr wchar_t kStatusTitle[] = L"Varnok Status";
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kBoxPrefix[] = L"Varnok on drive ";
constexpr wchar_t kLockIncomplete[] = L"Emergency Lock incomplete";
constexpr DWORD kExitBoundMs = 20000;
constexpr DWORD kForever = 0xFFFFFFFF;

// The randomness of one step: drawn whole whatever the step does with it.
struct Draw {
    unsigned op = 0;
    unsigned letter = 0;
    unsigned a = 0, b = 0, c = 0;
};

// Whether the simulator has the drive's disc logged in. The simulator's
// list carries the status the driver would answer, not its login flag, and
// the chaos run sets no status overrides: LoggedIn is the login itself.
inline bool LoggedInNow(const vnk::sim::DriveState& drive) {
    return drive.disc == vnk::sim::Disc::Encrypted && drive.status == vnk::LoggedIn;
}

class SeedRun {
public:
    SeedRun(const Options& options, std::uint32_t seed, vnk::test::TraceListener& trace)
        : m_options(options), m_seed(seed), m_rng(seed), m_trace(trace) {}

    // Empty when every check held; otherwise what broke.
    std::optional<std::string> Run();
    unsigned StepsDone() const { return m_stepsDone; }

private:
    struct Op {
        const char* name;
        unsigned weight;
        void (SeedRun::*run)(const Draw&);
    };
    static const std::vector<Op>& Ops();

    // Setup and the end.
    void StartSimulator(const std::wstring& drives);
    void StartClient();
    void Log(const std::string& line);
    void SaveEvidence();
    void Finish();

    // The simulator.
    bool Sim(vnk::sim::Op op, wchar_t letter, const std::wstring& text = L"", DWORD code = 0, DWORD error = 0,
             DWORD count = 0, std::string* refusal = nullptr);
    std::vector<vnk::sim::DriveState> SimDrives();
    std::optional<vnk::sim::DriveState> SimDrive(wchar_t letter);

    // The client's windows.
    HWND StatusWindow() const;
    HWND TrayWindow() const;
    std::map<wchar_t, HWND> LoginBoxes() const;  // visible ones
    std::vector<HWND> MessageBoxes() const;      // visible client dialogs that are neither
    wchar_t Letter(const Draw& d) const { return m_pool[d.letter % m_pool.size()]; }
    // A CD/DVD drive that is plugged in (the set follows from the steps
    // alone), or the pool's letter when there is none.
    wchar_t PresentLetter(const Draw& d);
    HWND BoxFor(wchar_t letter) const;

    // Checks (checks.cpp).
    void CheckAll(bool heavy);
    void CheckAlive();
    void CheckAnswers();
    void CheckBoxesHaveDiscs();
    void CheckLoggedInListed();
    void CheckResources(bool memory);
    bool Steady(const std::vector<vnk::sim::DriveState>& drives) const;
    std::map<wchar_t, std::wstring> ListRows(HWND status);
    std::string ListDisagrees(const std::map<wchar_t, std::wstring>& rows,
                              const std::vector<vnk::sim::DriveState>& before,
                              const std::vector<vnk::sim::DriveState>& after) const;
    void CheckTrace();
    void CheckMemory();
    void ExpectBox(wchar_t letter);
    // `more`, if given, adds the drives named since (a box that came late).
    void CheckLockedOrNamed(const char* what, std::set<wchar_t> named,
                            const std::function<void(std::set<wchar_t>&)>& more = {});
    void AnswerLockIncomplete(std::set<wchar_t>& named);
    std::set<wchar_t> TracedNotLocked(const char* prefix, size_t from) const;
    bool Clean(wchar_t letter) const;
    void CheckList(HWND status);

    // Operations (operations.cpp).
    void OpAddDrive(const Draw&);
    void OpRemoveDrive(const Draw&);
    void OpInsertEncrypted(const Draw&);
    void OpInsertPlain(const Draw&);
    void OpTakeOut(const Draw&);
    void OpSignal(const Draw&);
    void OpLogin(const Draw&);
    void OpEjectButton(const Draw&);
    void OpCloseBox(const Draw&);
    void OpEmergencyLock(const Draw&);
    void OpShowStatus(const Draw&);
    void OpHideStatus(const Draw&);
    void OpDeviceChange(const Draw&);
    void OpFail(const Draw&);
    void OpForgedNoticeThenEject(const Draw&);
    void OpNotFoundWhileLoggedIn(const Draw&);
    void OpDelay(const Draw&);
    void OpStall(const Draw&);
    void OpRelease(const Draw&);
    void OpClearFaults(const Draw&);
    void OpHold(const Draw&);
    // Forgets the cleared faults once the client has probed with none set.
    void ProbedWithoutFaults();
    void OpSlowWindow(const Draw&);
    void OpAnswerBoxes(const Draw&);
    void OpPause(const Draw&);
    void OpSessionEnd(const Draw&);
    void OpExit(const Draw&);
    void ExitClient();
    void OpSecondInstance(const Draw&);
    void OpRestartSimulator(const Draw&);

    void Type(HWND box, const std::wstring& text, bool paste);
    void Dirty(wchar_t letter) { m_dirty.insert(letter); }

    const Options& m_options;
    const std::uint32_t m_seed;
    std::mt19937 m_rng;
    vnk::test::TraceListener& m_trace;
    std::wstring m_folder;
    std::wstring m_pipeName;
    std::mutex m_logMutex;
    vnk::fw::UniqueHandle m_logFile;
    std::mutex m_processMutex;  // the watchdog ends the programs of a seed that hangs
    std::atomic<bool> m_timedOut{false};
    ULONGLONG m_start = 0;
    unsigned m_step = 0, m_stepsDone = 0;
    std::wstring m_pool;  // the letters this seed plays with
    vnk::test::Process m_sim, m_client;
    vnk::fw::UniqueHandle m_simOutput;
    std::optional<vnk::test::OtherProgramWindow> m_slow;
    std::optional<Pinger> m_pinger;
    size_t m_traceFrom = 0;  // the current client's first line
    std::map<wchar_t, std::wstring> m_discPassphrase;
    unsigned m_passphrases = 0;
    // Secrets typed into a box, with the drive of the box; checked once
    // the box is gone.
    std::vector<std::pair<wchar_t, std::wstring>> m_typed;
    // Pasted ones: the clipboard gives every process that pastes a copy of
    // its own that the process cannot wipe (user32 keeps it), so these are
    // not looked for in memory.
    std::set<std::wstring> m_pasted;
    std::set<wchar_t> m_dirty;  // faults, holds or stalls were set on these
    // Faults set on drives that were unplugged before they could be cleared:
    // the simulator keeps them until the drive is plugged in again.
    std::set<wchar_t> m_faultsOnGone;
    std::set<wchar_t> m_loggedInBeforeStart;  // logged in by an earlier client, not listed by this one yet
    std::set<wchar_t> m_exempt;   // its box may outlive its disc (taken out by hand, simulator restarted)
    bool m_simRestarted = false;  // announcements lost until the next probe
    // Faults that are cleared but that a probe may have met: a drive whose
    // signature failed is rightly left out of the list until the client
    // probes again with no fault set (a device change, a new client).
    std::set<wchar_t> m_unprobed;
    bool m_unprobedAll = false;
    bool m_stalled = false;
    bool m_everyDriveFaults = false;  // delays set for every drive
    std::optional<Resources> m_base;  // taken in the client's first steady state
    size_t m_baseDrives = 0, m_peakDrives = 0;
    std::map<size_t, DWORD> m_handlesAt;  // first handle count per drive count
};

}  // namespace vnk::chaos
