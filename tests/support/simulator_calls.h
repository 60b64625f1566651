// Commands to the simulator program over its pipe, as its control program
// sends them, for the end-to-end tests, the chaos run and the benchmarks.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/pipe_client.h"

namespace vnk::test {

// A request of these fields.
vnk::sim::Request SimulatorRequest(vnk::sim::Op op, wchar_t letter, std::wstring text = {}, DWORD code = 0,
                                   DWORD error = 0, DWORD count = 0);

// One command to the simulator that serves `pipe`; true when it was done.
// Otherwise `refusal` (if given) says why: the simulator's refusal or the
// transport's error. A passphrase in the request is wiped after.
bool SimulatorCall(const std::wstring& pipe, vnk::sim::Request request, std::string* refusal = nullptr,
                   const vnk::sim::PipeTimeouts& timeouts = {});

// The simulator's drives; nothing when it does not answer or its list
// does not parse.
std::optional<std::vector<vnk::sim::DriveState>> SimulatorDrives(const std::wstring& pipe,
                                                                 const vnk::sim::PipeTimeouts& timeouts = {});

}  // namespace vnk::test
