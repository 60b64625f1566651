// How long the engine's walks take against the in-process simulated
// driver: a first probe, re-probes of drives that stay, status refreshes
// and the tear-down, with as many drives as the argument says (default 4;
// tools/bench runs it from 1 to 26 to show that each walk grows linearly).
// Prints one line per measurement with the cost per drive; asserts nothing.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/status_refresh.h"
#include "engine/worker.h"
#include "engine/probe.h"
#include "fw/app.h"
#include "login/login_thread.h"
#include "sim/sim_driver.h"

namespace {

class BenchApp : public vnk::fw::App {};

int g_drives = 4;

// The goal of a walk, in microseconds per drive (0: none): a status
// refresh near the device calls' own cost, the first probe and the
// tear-down no slower than when the walks ran on the main thread.
template <class F>
void Measure(const char* what, int rounds, double goalPerDriveUs, F&& body) {
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    for (int i = 0; i < rounds; ++i) body();
    ::QueryPerformanceCounter(&end);
    const double micros = 1e6 * static_cast<double>(end.QuadPart - start.QuadPart) /
                          static_cast<double>(frequency.QuadPart) / rounds;
    const double perDrive = micros / g_drives;
    char goal[64] = "";
    if (goalPerDriveUs > 0)
        std::snprintf(goal, sizeof goal, "  goal <= %.0f us per drive: %s", goalPerDriveUs,
                      perDrive <= goalPerDriveUs ? "met" : "NOT MET");
    std::printf("%2d drives  %-28s %10.1f us per call %8.1f us per drive (%d calls)%s\n", g_drives, what, micros,
                perDrive, rounds, goal);
}

// The process's private memory (committed pages of its own).
SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                   sizeof counters))
        return 0;
    return counters.PrivateUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1) g_drives = _wtoi(argv[1]);
    if (g_drives < 1 || g_drives > 26) return 2;
    BenchApp app;
    app.AttachToCurrentThread();
    vnk::SetLoginThreadFactory(&vnk::BeginLoginThread);
    auto& sim = vnk::sim::TheSimDriver();
    for (int i = 0; i < g_drives; ++i) {
        const auto letter = static_cast<wchar_t>(L'A' + i);
        sim.AddDrive(letter);
        sim.InsertPlainDisc(letter);
    }
    Measure("first probe", 1, 1700, [] { vnk::VNKDProbeForDrives(0); });
    Measure("re-probe (threads renewed)", 20, 0, [] { vnk::VNKDProbeForDrives(1); });
    // Every drive's status on a worker of its own, at once; to the last answer.
    // Once first, so that the workers exist; then whatever the refreshes
    // keep of the process's private memory is theirs.
    vnk::VNKDUpdateDriveStatus()->Wait(INFINITE);
    const SIZE_T privateBefore = PrivateBytes();
    Measure("status refresh", 500, 100, [] { vnk::VNKDUpdateDriveStatus()->Wait(INFINITE); });
    const double keptKib = (static_cast<double>(PrivateBytes()) - static_cast<double>(privateBefore)) / 1024;
    std::printf("%2d drives  %-28s %10.0f KiB kept after 500 refreshes  goal <= 64 KiB: %s\n", g_drives,
                "status refresh memory", keptKib, keptKib <= 64 ? "met" : "NOT MET");
    std::vector<vnk::DriveTable::Node> nodes;
    {
        std::lock_guard lock(vnk::DriveLock);
        nodes = vnk::Drives().ExtractAll();
    }
    Measure("tear-down (2 threads a drive)", 1, 1100, [&] { nodes.clear(); });
    return 0;
}
