// VarnokTestDrvCtl: the test driver's control, for people and scripts. One
// command per run; the answer goes to stdout, complaints to stderr.
//   exit 0: done; 1: the driver refused or failed; 2: bad arguments;
//   3: no test driver runs.
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/program/arguments.h"
#include "sim/program/device_broadcast.h"
#include "tests/driver/test_driver_client.h"

namespace {

using namespace vnk::testdrv;

constexpr char kUsage[] =
    "usage: VarnokTestDrvCtl COMMAND\n"
    "  ping                         succeeds while the test driver runs\n"
    "  add X                        a CD/DVD drive X: (broadcasts its arrival)\n"
    "  remove X                     the drive goes (broadcasts its removal)\n"
    "  status X N                   the status the drive answers (0 to 5)\n"
    "  signature X TEXT             the 8 bytes the drive answers as its signature\n"
    "  passphrase X TEXT            the passphrase the drive accepts\n"
    "  fail X KIND NTSTATUS [COUNT] the next COUNT (default 1, 'forever', 0 clears) requests of\n"
    "                               KIND fail with NTSTATUS; KIND is open, signature, status,\n"
    "                               announce, login, withdraw, eject, lock, unlock, dismount,\n"
    "                               any, or a control code\n"
    "  signal X                     signal the drive's announced event\n"
    "  query X                      what the driver knows of the drive\n"
    "  record [clear]               the requests that reached the drives (and empty the record)\n"
    "X is a drive letter (D or D:). Exit codes: 0 done, 1 refused, 2 bad arguments, 3 no driver.";

using vnk::sim::kExitDone;
using vnk::sim::kExitNoAnswer;
using vnk::sim::kExitRefused;
using vnk::sim::kExitUsage;
using vnk::sim::ParseLetter;

// A number, or 'forever' for a failure that does not run out.
std::optional<DWORD> ParseNumber(std::wstring_view text) {
    if (text == L"forever") return VTD_FAIL_FOREVER;
    return vnk::sim::ParseNumber(text);
}

std::optional<DWORD> ParseKind(std::wstring_view kind) {
    struct Named {
        std::wstring_view name;
        DWORD key;
    };
    static constexpr Named kKinds[] = {
        {L"open", VTD_FAIL_OPEN},          {L"any", VTD_FAIL_EVERY_CODE}, {L"signature", 0x90002004},
        {L"status", 0x90002008},           {L"announce", 0x9000200C},     {L"login", 0x90002010},
        {L"withdraw", 0x90002018},         {L"eject", 0x002D4808},        {L"lock", 0x00090018},
        {L"unlock", 0x0009001C},           {L"dismount", 0x00090020},
    };
    for (const Named& named : kKinds)
        if (named.name == kind) return named.key;
    return ParseNumber(kind);
}

int Usage(const char* why) {
    std::fprintf(stderr, "VarnokTestDrvCtl: %s\n%s\n", why, kUsage);
    return kExitUsage;
}

int Result(DWORD error) {
    if (error == ERROR_SUCCESS) return kExitDone;
    std::fprintf(stderr, "VarnokTestDrvCtl: failed with error %lu\n", error);
    return error == ERROR_FILE_NOT_FOUND ? kExitNoAnswer : kExitRefused;
}

void PrintState(wchar_t letter, const DriveState& state) {
    std::printf("%c: present %lu status %lu announced %lu session %lu event %lu announcements %lu withdrawals %lu "
                "logins %lu ejects %lu signals %lu open %lu\n",
                static_cast<char>(letter), state.present, state.status, state.announced, state.sessionId,
                state.eventOpened, state.announcements, state.withdrawals, state.logins, state.ejects, state.signals,
                state.openHandles);
}

int Run(const std::vector<std::wstring_view>& args) {
    if (args.empty()) return Usage("no command");
    const std::wstring_view command = args[0];
    if (command == L"ping") return Result(Ping());
    if (command == L"record") {
        const bool clear = args.size() == 2 && args[1] == L"clear";
        if (args.size() > 2 || (args.size() == 2 && !clear)) return Usage("record takes only 'clear'");
        const auto calls = ReadRecord(clear);
        if (!calls) return Result(Ping() == ERROR_SUCCESS ? ERROR_GEN_FAILURE : ERROR_FILE_NOT_FOUND);
        for (const Call& call : *calls) std::printf("%s\n", DescribeCall(call).c_str());
        return kExitDone;
    }
    if (args.size() < 2) return Usage("no drive letter");
    const auto letter = ParseLetter(args[1]);
    if (!letter) return Usage("bad drive letter");
    const size_t extra = args.size() - 2;
    if (command == L"add" && extra == 0) {
        const DWORD error = AddDrive(*letter);
        if (error == ERROR_SUCCESS) vnk::sim::BroadcastCdromArrival(*letter);
        return Result(error);
    }
    if (command == L"remove" && extra == 0) {
        const DWORD error = RemoveDrive(*letter);
        if (error == ERROR_SUCCESS) vnk::sim::BroadcastCdromRemoval(*letter);
        return Result(error);
    }
    if (command == L"signal" && extra == 0) return Result(Signal(*letter));
    if (command == L"query" && extra == 0) {
        const auto state = Query(*letter);
        if (!state) return Result(Ping() == ERROR_SUCCESS ? ERROR_GEN_FAILURE : ERROR_FILE_NOT_FOUND);
        PrintState(*letter, *state);
        return kExitDone;
    }
    if (command == L"status" && extra == 1) {
        const auto status = ParseNumber(args[2]);
        return status ? Result(SetStatus(*letter, *status)) : Usage("bad status");
    }
    if (command == L"signature" && extra == 1) {
        std::string bytes;
        for (wchar_t unit : args[2]) bytes += static_cast<char>(unit);
        return Result(SetSignature(*letter, bytes));
    }
    if (command == L"passphrase" && extra == 1) return Result(SetPassphrase(*letter, std::wstring(args[2])));
    if (command == L"fail" && (extra == 2 || extra == 3)) {
        const auto kind = ParseKind(args[2]);
        const auto status = ParseNumber(args[3]);
        const auto count = extra == 3 ? ParseNumber(args[4]) : std::optional<DWORD>(1);
        if (!kind || !status || !count) return Usage("bad fail order");
        return Result(Fail(*letter, *kind, *status, *count));
    }
    return Usage("unknown command or wrong number of arguments");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring_view> args(argv + 1, argv + argc);
    const int code = Run(args);
    std::fflush(stdout);
    return code;
}
