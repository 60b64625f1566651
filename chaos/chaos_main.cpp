// The chaos run: the simulator program and the simulator build of the
// client (VarnokdSim.exe) driven from outside with a seeded random sequence
// of operations, the client's promises checked after every step.
//
// Every step draws the same amount of randomness whatever happens, so a
// seed replays step for step (what the client does in between may still
// differ with timing). A failed check stops the seed and leaves, in
// OUT\<seed>\, the step log, the client's trace, the simulator's output and
// a screenshot; the replay command is printed.
//
//   chaos_driver.exe [--seed N | --first-seed N --seeds K] [--steps S]
//                    [--minutes M] [--only I,J,...] [--null-bound MS]
//                    [--box-bound MS] [--out DIR] [--replay-prefix TEXT]
//                    [--no-stalls]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "chaos/options.h"
#include "chaos/seed_run.h"
#include "chaos/toolkit.h"
#include "tests/support/trace_listener.h"

namespace vnk::chaos {

namespace {

std::optional<Options> Parse(int argc, wchar_t** argv) {
    Options o;
    o.firstSeed = static_cast<std::uint32_t>(::GetTickCount64() % 1000000);
    bool seedsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        const auto value = [&] { return std::wstring(argv[++i]); };
        if (arg == L"--seed" && hasValue) {
            o.firstSeed = static_cast<std::uint32_t>(std::wcstoul(value().c_str(), nullptr, 10));
            o.seeds = 1;
            seedsGiven = true;
        } else if (arg == L"--first-seed" && hasValue) {
            o.firstSeed = static_cast<std::uint32_t>(std::wcstoul(value().c_str(), nullptr, 10));
        } else if (arg == L"--seeds" && hasValue) {
            o.seeds = static_cast<unsigned>(std::wcstoul(value().c_str(), nullptr, 10));
            seedsGiven = true;
        } else if (arg == L"--steps" && hasValue) {
            o.steps = static_cast<unsigned>(std::wcstoul(value().c_str(), nullptr, 10));
        } else if (arg == L"--minutes" && hasValue) {
            o.minutes = std::wcstod(value().c_str(), nullptr);
        } else if (arg == L"--only" && hasValue) {
            const std::wstring list = value();
            for (size_t at = 0; at < list.size();) {
                wchar_t* end = nullptr;
                o.only.insert(static_cast<unsigned>(std::wcstoul(list.c_str() + at, &end, 10)));
                at = static_cast<size_t>(end - list.c_str()) + 1;
            }
        } else if (arg == L"--null-bound" && hasValue) {
            o.nullBoundMs = std::wcstoul(value().c_str(), nullptr, 10);
        } else if (arg == L"--box-bound" && hasValue) {
            o.boxBoundMs = std::wcstoul(value().c_str(), nullptr, 10);
        } else if (arg == L"--settle" && hasValue) {
            o.settleMs = std::wcstoul(value().c_str(), nullptr, 10);
        } else if (arg == L"--seed-limit" && hasValue) {
            o.seedLimitMs = 1000 * std::wcstoul(value().c_str(), nullptr, 10);
        } else if (arg == L"--out" && hasValue) {
            o.outDir = value();
        } else if (arg == L"--replay-prefix" && hasValue) {
            o.replayPrefix = Narrow(value());
        } else if (arg == L"--no-stalls") {
            o.stalls = false;
        } else if (arg == L"--keep") {
            o.keepPassing = true;
        } else {
            return std::nullopt;
        }
    }
    if (!seedsGiven) o.seeds = 1;
    if (o.seeds == 0 || o.steps == 0) return std::nullopt;
    return o;
}

}  // namespace

}  // namespace vnk::chaos

int wmain(int argc, wchar_t** argv) {
    const auto options = vnk::chaos::Parse(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: chaos_driver [--seed N | --first-seed N --seeds K] [--steps S] [--minutes M]\n"
                     "                    [--only I,J,...] [--null-bound MS] [--box-bound MS] [--settle MS]\n"
                     "                    [--out DIR] [--replay-prefix TEXT] [--no-stalls] [--keep]\n");
        return 2;
    }
    vnk::test::TraceListener trace;
    if (!trace.Works()) std::fprintf(stderr, "chaos: the debug output cannot be read; trace checks are off\n");
    const ULONGLONG start = ::GetTickCount64();
    unsigned done = 0, failed = 0, steps = 0;
    std::vector<std::string> failures;
    for (unsigned i = 0; i < options->seeds; ++i) {
        if (options->minutes > 0 && static_cast<double>(::GetTickCount64() - start) / 60000.0 >= options->minutes)
            break;
        const std::uint32_t seed = options->firstSeed + i;
        std::printf("chaos: seed %lu ...", static_cast<unsigned long>(seed));
        std::fflush(stdout);
        vnk::chaos::SeedRun run(*options, seed, trace);
        const ULONGLONG seedStart = ::GetTickCount64();
        const auto failure = run.Run();
        ++done;
        steps += run.StepsDone();
        const double seconds = static_cast<double>(::GetTickCount64() - seedStart) / 1000.0;
        if (!failure) {
            std::printf(" passed (%u steps, %.1f s)\n", run.StepsDone(), seconds);
        } else {
            ++failed;
            std::string onlyList;
            for (unsigned step : options->only) onlyList += (onlyList.empty() ? "" : ",") + std::to_string(step);
            const std::string replay = vnk::chaos::Format("%s --seed %lu --steps %u%s%s", options->replayPrefix.c_str(),
                                                          static_cast<unsigned long>(seed), options->steps,
                                                          onlyList.empty() ? "" : " --only ", onlyList.c_str());
            std::printf(" FAILED (%.1f s)\nchaos: seed %lu: %s\nchaos: evidence in %ls\\%lu\nchaos: replay: %s\n",
                        seconds, static_cast<unsigned long>(seed), failure->c_str(), options->outDir.c_str(),
                        static_cast<unsigned long>(seed), replay.c_str());
            failures.push_back(vnk::chaos::Format("seed %lu: ", static_cast<unsigned long>(seed)) + *failure +
                               "  (replay: " + replay + ")");
        }
        std::fflush(stdout);
    }
    const double minutes = static_cast<double>(::GetTickCount64() - start) / 60000.0;
    std::printf("chaos: %u seeds, %u steps, %u failed, %.1f minutes, %.2f seeds per minute\n", done, steps, failed,
                minutes, minutes > 0 ? done / minutes : 0.0);
    for (const auto& line : failures) std::printf("chaos: failure: %s\n", line.c_str());
    return failed == 0 ? 0 : 1;
}
