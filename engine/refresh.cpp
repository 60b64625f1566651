// The exit's lock pass and what the engine's shutdown withdraws after it.
// The device calls run on workers (engine/drive_work.h), every drive at
// once; the main thread waits for them with a bound.
#include <algorithm>
#include <mutex>
#include <vector>

#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/drive_work.h"
#include "engine/driver.h"
#include "engine/probe.h"

namespace vnk {

namespace {
bool g_cleanupDone = false;  // main thread only
// The drives that did not answer the exit's lock pass: the withdrawal does
// not wait on them a second time.
std::vector<wchar_t> g_unanswered;  // main thread only
}  // namespace

namespace detail {

bool CleanupDone() { return g_cleanupDone; }
void SetCleanupDone(bool done) {
    g_cleanupDone = done;
    if (done) return;
    g_unanswered.clear();
    ReopenProbesForTesting();
}

void WithdrawRemaining(DWORD timeoutMs) {
    auto batch = std::make_shared<DriveBatch>();
    std::vector<std::pair<wchar_t, size_t>> drives;
    {
        std::lock_guard lock(DriveLock);
        for (auto& [letter, info] : Drives()) {
            if (!info.announced) continue;
            if (std::find(g_unanswered.begin(), g_unanswered.end(), letter) != g_unanswered.end()) {
                Trace(L"VNKDShutdown: drive %c: did not answer the lock pass, not asked again\n", letter);
                continue;
            }
            drives.emplace_back(letter, batch->Add(letter));
        }
    }
    for (const auto& [letter, slot] : drives) {
        const bool started = RunOnWorker([batch, letter = letter, slot = slot] {
            const DeviceHandle device = DeviceHandle::Open(letter);
            bool withdrawn = false;
            if (device.valid()) {
                Trace(L"VNKDCleanup: got handle 0x%lx\n",
                      static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(device.get())));
                withdrawn = device.Control(IOCTL_VNK_WITHDRAW) != FALSE;
            }
            batch->Complete(slot, withdrawn ? ERROR_SUCCESS : ::GetLastError());
        });
        if (!started) batch->Complete(slot, ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!batch->Wait(timeoutMs)) Trace(L"VNKDShutdown: withdrawals did not all answer in time\n");
    for (const auto& [letter, error] : batch->Failures())
        Trace(L"VNKDShutdown: announcement of drive %c: not withdrawn (%u)\n", letter, error);
}

}  // namespace detail

// How long the exit waits for a probe that looks at the drives before its
// lock pass: a probe must announce nothing after the withdrawals.
constexpr DWORD kExitProbeWaitMs = 2000;

std::vector<std::pair<wchar_t, DWORD>> VNKDCleanup() {
    g_cleanupDone = true;
    CloseProbes(kExitProbeWaitMs);
    const auto pass = EjectEveryLoggedInDisc(L"VNKDCleanup", 2, nullptr, true);
    if (!pass) return {};
    pass->Wait(kExitLockMs);
    auto failures = pass->Failures();
    for (const auto& [letter, error] : failures)
        Trace(L"VNKDCleanup: drive %c: not locked (%u)\n", letter, error);
    // Those not locked yet because they did not answer keep being ejected
    // on their workers; only the shutdown's wait skips them.
    for (const auto& [letter, error] : pass->Failures())
        if (error == kDidNotAnswer) g_unanswered.push_back(letter);
    return failures;
}

}  // namespace vnk
