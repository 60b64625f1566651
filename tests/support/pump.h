// Waiting on the test thread without leaving its windows unanswered: the
// thread's messages are routed while it waits, so that a window of its own
// (or a program that sends to one) is never what holds the wait up.
#pragma once

#include <windows.h>

#include <functional>

namespace vnk::test {

// The longest any test waits for something that should happen at once; a
// test that needs it has failed.
constexpr DWORD kWatchdogMs = 20000;

// Runs the calling thread's message loop (the framework's routing) until
// `done` holds or the watchdog expires; false on expiry.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kWatchdogMs);
// Runs the loop for a while: for letting things that must NOT happen show up.
void PumpFor(DWORD ms);
// Routes every message already queued for the calling thread.
void DrainMessages();
// Waits for a thread handle while pumping; false on the watchdog.
bool WaitForThread(HANDLE thread, DWORD timeoutMs = kWatchdogMs);

}  // namespace vnk::test
