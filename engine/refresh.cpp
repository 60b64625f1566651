// The exit's lock pass and what the engine's shutdown withdraws after it.
// The device calls run on workers (engine/drive_work.h), every drive at
// once; the main thread waits for them with a bound.
#include <mutex>

#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/drive_work.h"
#include "engine/driver.h"

namespace vnk {

namespace {
bool g_cleanupDone = false;  // main thread only
}  // namespace

namespace detail {

bool CleanupDone() { return g_cleanupDone; }
void SetCleanupDone(bool done) { g_cleanupDone = done; }

void WithdrawRemaining(DWORD timeoutMs) {
    auto batch = std::make_shared<DriveBatch>();
    std::vector<std::pair<wchar_t, size_t>> drives;
    {
        std::lock_guard lock(DriveLock);
        for (auto& [letter, info] : Drives())
            if (info.announced) drives.emplace_back(letter, batch->Add(letter));
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

std::vector<std::pair<wchar_t, DWORD>> VNKDCleanup() {
    g_cleanupDone = true;
    const auto pass = EjectEveryLoggedInDisc(L"VNKDCleanup", 2, nullptr, true);
    if (!pass) return {};
    pass->Wait(kExitLockMs);
    auto failures = pass->Failures();
    for (const auto& [letter, error] : failures)
        Trace(L"VNKDCleanup: drive %c: not locked (%u)\n", letter, error);
    return failures;
}

}  // namespace vnk
