// What a chaos run is asked to do: which seeds, how many steps, the bounds
// of its checks, and where a failing seed leaves its evidence.
#pragma once

#include <windows.h>

#include <cstdint>
#include <set>
#include <string>

namespace vnk::chaos {

struct Options {
    std::uint32_t firstSeed = 0;
    unsigned seeds = 1;
    unsigned steps = 60;
    double minutes = 0;        // 0: no time limit for the whole run
    std::set<unsigned> only;   // steps to run; empty: all
    DWORD nullBoundMs = 250;   // the status window answers WM_NULL within this
    DWORD boxBoundMs = 10000;  // a signalled encrypted disc gets its box within this
    DWORD settleMs = 10000;    // things the client does after a step are done within this
    std::wstring outDir = L"out\\chaos";
    std::string replayPrefix = "tools/chaos";
    bool stalls = true;        // stalled calls among the operations
    bool keepPassing = false;  // keep the folder of a seed that passed
    DWORD seedLimitMs = 0;     // 0: 60 s and 4 s a step
};

}  // namespace vnk::chaos
