// How long the engine's walks take against the in-process simulated
// driver: a first probe, re-probes of drives that stay, and status
// refreshes. Prints one line per measurement; asserts nothing.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "engine/drive_table.h"
#include "engine/probe.h"
#include "fw/app.h"
#include "login/login_thread.h"
#include "sim/sim_driver.h"

namespace {

class BenchApp : public fw::App {};

template <class F>
void Measure(const char* what, int rounds, F&& body) {
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    for (int i = 0; i < rounds; ++i) body();
    ::QueryPerformanceCounter(&end);
    const double micros = 1e6 * static_cast<double>(end.QuadPart - start.QuadPart) /
                          static_cast<double>(frequency.QuadPart) / rounds;
    std::printf("%-40s %10.1f us per call (%d calls)\n", what, micros, rounds);
}

}  // namespace

int wmain() {
    BenchApp app;
    app.AttachToCurrentThread();
    vnk::SetLoginThreadFactory(&vnk::BeginLoginThread);
    auto& sim = vnk::sim::TheSimDriver();
    for (wchar_t letter : {L'D', L'E', L'F', L'G'}) {
        sim.AddDrive(letter);
        sim.InsertPlainDisc(letter);
    }
    Measure("first probe (4 drives)", 1, [] { vnk::VNKDProbeForDrives(0); });
    Measure("re-probe (4 drives, threads renewed)", 50, [] { vnk::VNKDProbeForDrives(1); });
    Measure("status refresh (4 drives)", 2000, [] { vnk::VNKDUpdateDriveStatus(); });
    std::vector<vnk::DriveTable::Node> nodes;
    {
        std::lock_guard lock(vnk::DriveLock);
        nodes = vnk::Drives().ExtractAll();
    }
    Measure("tear-down (4 drives, 8 threads)", 1, [&] { nodes.clear(); });
    return 0;
}
