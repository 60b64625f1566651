#include "tests/support/pump.h"

#include "fw/thread.h"

namespace vnk::test {

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                return done();
            }
            vnk::fw::PumpMessage(msg);
        }
        if (done()) return true;
        const ULONGLONG spent = ::GetTickCount64() - start;
        if (spent >= timeoutMs) return false;
        // Wake for input, or every 50 ms for conditions that other threads change.
        ::MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

void DrainMessages() {
    PumpUntil([] { return true; });
}

void PumpFor(DWORD ms) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    PumpUntil([end] { return ::GetTickCount64() >= end; }, ms + 1000);
}

bool WaitForThread(HANDLE thread, DWORD timeoutMs) {
    return PumpUntil([thread] { return ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, timeoutMs);
}

}  // namespace vnk::test
