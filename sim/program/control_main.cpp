// VarnokSimCtl: the simulator's control for people and tests. One command
// per run; the answer goes to stdout, complaints to stderr.
//   exit 0: done; 1: the simulator refused the command; 2: bad arguments;
//   3: no simulator answered.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/driver_interface.h"
#include "fw/handles.h"
#include "sim/pipe_client.h"
#include "sim/program/arguments.h"
#include "sim/program/console.h"

namespace {

using namespace vnk::sim;

constexpr std::string_view kUsage =
    "usage: VarnokSimCtl COMMAND\n"
    "  list                          drives and their state, and the calls in progress\n"
    "  add X [cdrom|other]           plug in a drive (broadcasts the arrival)\n"
    "  remove X                      unplug a drive (broadcasts the removal)\n"
    "  insert X plain                insert a disc that is not a Varnok disc\n"
    "  insert X encrypted PASSPHRASE insert an encrypted disc ('-': the first line of standard input)\n"
    "  eject X                       take the disc out by hand\n"
    "  hold X on|off                 another program holds the drive's volume\n"
    "  fail X KIND ERROR [COUNT]     the next COUNT (default 1, 'forever', 0 clears) calls of KIND\n"
    "                                fail with Win32 error ERROR; KIND is one of open, signature,\n"
    "                                status, announce, login, withdraw, lock, unlock, dismount, eject\n"
    "  delay X KIND MS [COUNT]       the next COUNT (default and 'forever': until cleared) calls of\n"
    "                                KIND each take MS ms longer; MS or COUNT 0 clears\n"
    "  stall X KIND                  calls of KIND block until 'release X' (or the simulator quits)\n"
    "  release X                     end the stalls and let every waiting call go on\n"
    "  signal X                      signal the drive's announced event\n"
    "  wait [SECONDS]                wait (default 10 s) until the simulator serves its pipe\n"
    "  quit                          end the simulator\n"
    "X is a drive letter (D or D:); for delay, stall and release also '*', every drive. Exit codes: 0 done, 1 refused, 2 bad arguments, 3 no simulator.";

using Args = std::vector<std::wstring_view>;

struct Command {
    Request request;
    DWORD waitSeconds = 0;  // for wait
    bool isWait = false;
};

// Reports a bad argument; the caller ends with kExitUsage.
std::nullopt_t Bad(std::string_view why) {
    PrintError("VarnokSimCtl: " + std::string(why));
    return std::nullopt;
}

std::optional<Command> ParseDriveCommand(Op op, const Args& args, std::size_t minArgs, std::size_t maxArgs) {
    if (args.size() < minArgs || args.size() > maxArgs)
        return Bad("wrong number of arguments for '" + Narrow(args[0]) + "'");
    const auto letter = ParseLetter(args[1]);
    if (!letter) return Bad("'" + Narrow(args[1]) + "' is not a drive letter A to Z");
    Command command;
    command.request.op = op;
    command.request.letter = *letter;
    return command;
}

// A drive letter, or '*' (letter 0) for every drive.
std::optional<Command> ParseDrivesCommand(Op op, const Args& args, std::size_t minArgs, std::size_t maxArgs) {
    if (args.size() >= 2 && args[1] == L"*") {
        if (args.size() < minArgs || args.size() > maxArgs)
            return Bad("wrong number of arguments for '" + Narrow(args[0]) + "'");
        Command command;
        command.request.op = op;
        return command;
    }
    return ParseDriveCommand(op, args, minArgs, maxArgs);
}

std::optional<DWORD> ParseCount(const Args& args, std::size_t index, DWORD byDefault) {
    if (args.size() <= index) return byDefault;
    if (args[index] == L"forever") return SimDriver::kForever;
    return ParseNumber(args[index]);
}

// What delay and fail take after their drives: a kind of call, a number
// (`numberIs` says what it stands for) and a count.
std::optional<Command> WithFault(std::optional<Command> command, const Args& args, std::string_view numberIs,
                                 DWORD countByDefault) {
    if (!command) return std::nullopt;
    const auto fault = FaultFromName(args[2]);
    if (!fault) return Bad("unknown kind of call '" + Narrow(args[2]) + "'");
    const auto number = ParseNumber(args[3]);
    if (!number) return Bad("'" + Narrow(args[3]) + "' is not " + std::string(numberIs));
    const auto count = ParseCount(args, 4, countByDefault);
    if (!count) return Bad("a count is a number or 'forever'");
    command->request.code = static_cast<DWORD>(*fault);
    command->request.error = *number;
    command->request.count = *count;
    return command;
}

std::optional<Command> ParseDelay(const Args& args) {
    return WithFault(ParseDrivesCommand(Op::Delay, args, 4, 5), args, "a number of milliseconds", SimDriver::kForever);
}

std::optional<Command> ParseStall(const Args& args) {
    auto command = ParseDrivesCommand(Op::Stall, args, 3, 3);
    if (!command) return std::nullopt;
    const auto fault = FaultFromName(args[2]);
    if (!fault) return Bad("unknown kind of call '" + Narrow(args[2]) + "'");
    command->request.code = static_cast<DWORD>(*fault);
    return command;
}

std::optional<Command> ParseAdd(const Args& args) {
    auto command = ParseDriveCommand(Op::AddDrive, args, 2, 3);
    if (!command) return std::nullopt;
    const std::wstring_view kind = args.size() == 3 ? args[2] : L"cdrom";
    if (kind == L"cdrom") command->request.code = DRIVE_CDROM;
    else if (kind == L"other") command->request.code = DRIVE_FIXED;
    else return Bad("a drive is 'cdrom' or 'other', not '" + Narrow(kind) + "'");
    return command;
}

// The first line of standard input (UTF-8, or the console's own text
// without echo) into `text`, so that a passphrase need not stand on a
// command line. False when it cannot be read or is no UTF-8.
bool ReadPassphraseLine(std::wstring& text) {
    // Room for the longest passphrase in UTF-8 and its line break, and one
    // byte more to tell an over-long line.
    constexpr DWORD kMaxBytes = 3 * vnk::kMaxPassphraseUnits + 3;
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    if (::GetConsoleMode(input, &mode)) {
        ::SetConsoleMode(input, (mode | ENABLE_LINE_INPUT) & ~ENABLE_ECHO_INPUT);
        text.assign(vnk::kMaxPassphraseUnits + 3, L'\0');
        DWORD read = 0;
        const BOOL ok = ::ReadConsoleW(input, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
        ::SetConsoleMode(input, mode);
        if (!ok) return false;
        text.resize(std::min<size_t>(read, text.size()));
    } else {
        vnk::sim::WipedVector<char> line;
        line.bytes.resize(kMaxBytes + 1);
        DWORD total = 0;
        for (DWORD read = 0; total < kMaxBytes + 1; total += read) {
            if (!::ReadFile(input, line.bytes.data() + total, kMaxBytes + 1 - total, &read, nullptr) || read == 0)
                break;
            if (std::memchr(line.bytes.data() + total, '\n', read) != nullptr) {
                total += read;
                break;
            }
        }
        const auto end = static_cast<int>(
            std::find(line.bytes.data(), line.bytes.data() + total, '\n') - line.bytes.data());
        text.assign(kMaxBytes + 1, L'\0');
        const int units = end == 0 ? 0
                                   : ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.bytes.data(), end,
                                                           text.data(), static_cast<int>(text.size()));
        if (end != 0 && units == 0) return false;
        text.resize(static_cast<size_t>(units));
    }
    const size_t lineEnd = text.find_first_of(L"\r\n");
    if (lineEnd != std::wstring::npos) {
        ::SecureZeroMemory(text.data() + lineEnd, (text.size() - lineEnd) * sizeof(wchar_t));
        text.resize(lineEnd);
    }
    return true;
}

std::optional<Command> ParseInsert(const Args& args) {
    auto command = ParseDriveCommand(Op::InsertPlain, args, 3, 4);
    if (!command) return std::nullopt;
    if (args[2] == L"plain" && args.size() == 3) return command;
    if (args[2] == L"encrypted" && args.size() == 4) {
        std::wstring& passphrase = command->request.text;
        if (args[3] == L"-") {
            if (!ReadPassphraseLine(passphrase)) {
                WipeRequest(command->request);
                return Bad("no passphrase in UTF-8 could be read from standard input");
            }
        } else {
            passphrase = args[3];
        }
        if (passphrase.empty() || passphrase.size() > vnk::kMaxPassphraseUnits) {
            WipeRequest(command->request);
            return Bad("a passphrase has 1 to 254 characters");
        }
        command->request.op = Op::InsertEncrypted;
        return command;
    }
    return Bad("insert takes 'plain', or 'encrypted' and a passphrase");
}

std::optional<Command> ParseHold(const Args& args) {
    auto command = ParseDriveCommand(Op::Hold, args, 3, 3);
    if (!command) return std::nullopt;
    if (args[2] == L"on") command->request.code = 1;
    else if (args[2] == L"off") command->request.code = 0;
    else return Bad("hold is 'on' or 'off'");
    return command;
}

std::optional<Command> ParseFail(const Args& args) {
    return WithFault(ParseDriveCommand(Op::Fail, args, 4, 5), args, "an error number", 1);
}

std::optional<Command> ParseWait(const Args& args) {
    if (args.size() > 2) return Bad("wait takes at most a number of seconds");
    Command command;
    command.isWait = true;
    command.waitSeconds = 10;
    if (args.size() == 2) {
        const auto seconds = ParseNumber(args[1]);
        if (!seconds || *seconds == 0 || *seconds > 3600) return Bad("wait takes 1 to 3600 seconds");
        command.waitSeconds = *seconds;
    }
    return command;
}

std::optional<Command> ParseBare(Op op, const Args& args) {
    if (args.size() != 1) return Bad("'" + Narrow(args[0]) + "' takes no arguments");
    Command command;
    command.request.op = op;
    return command;
}

std::optional<Command> ParseCommand(const Args& args) {
    const std::wstring_view verb = args[0];
    if (verb == L"list") return ParseBare(Op::List, args);
    if (verb == L"quit") return ParseBare(Op::Quit, args);
    if (verb == L"wait") return ParseWait(args);
    if (verb == L"add") return ParseAdd(args);
    if (verb == L"remove") return ParseDriveCommand(Op::RemoveDrive, args, 2, 2);
    if (verb == L"insert") return ParseInsert(args);
    if (verb == L"eject") return ParseDriveCommand(Op::Eject, args, 2, 2);
    if (verb == L"hold") return ParseHold(args);
    if (verb == L"fail") return ParseFail(args);
    if (verb == L"delay") return ParseDelay(args);
    if (verb == L"stall") return ParseStall(args);
    if (verb == L"release") return ParseDrivesCommand(Op::Release, args, 2, 2);
    if (verb == L"signal") return ParseDriveCommand(Op::Signal, args, 2, 2);
    return Bad("unknown command '" + Narrow(verb) + "'");
}

const char* StatusName(DWORD status) {
    static const char* const names[] = {"NoDisc", "DriveInUse", "NotVarnokDisc", "NotLoggedIn", "LoginFailed",
                                        "LoggedIn"};
    return status < std::size(names) ? names[status] : "(unknown)";
}

const char* DriveTypeName(UINT type) { return type == DRIVE_CDROM ? "cdrom" : "other"; }

const char* DiscName(Disc disc) {
    switch (disc) {
        case Disc::None: return "none";
        case Disc::Plain: return "plain";
        case Disc::Encrypted: return "encrypted";
    }
    return "?";
}

const char* VolumeName(const DriveState& d) {
    if (d.volumeLocked && d.heldByOtherProgram) return "locked+held";
    if (d.volumeLocked) return "locked";
    return d.heldByOtherProgram ? "held" : "free";
}

void PrintDrives(const std::vector<DriveState>& drives) {
    constexpr const char* kRow = "%-6s %-6s %-8s %-10s %-16s %-10s %-12s %-7s %-10s %s";
    char line[256];
    std::snprintf(line, sizeof line, kRow, "Drive", "Type", "Present", "Disc", "Status", "Announced", "Volume",
                  "Logins", "Dismounts", "Ejects");
    PrintOut(line);
    for (const DriveState& d : drives) {
        const std::string letter = std::string(1, static_cast<char>(d.letter)) + ":";
        const std::string status = std::to_string(d.status) + " " + StatusName(d.status);
        std::snprintf(line, sizeof line, kRow, letter.c_str(), DriveTypeName(d.driveType), d.present ? "yes" : "no",
                      DiscName(d.disc), status.c_str(), d.announced ? "yes" : "no", VolumeName(d),
                      std::to_string(d.logins).c_str(), std::to_string(d.dismounts).c_str(),
                      std::to_string(d.ejects).c_str());
        PrintOut(line);
    }
}

void PrintCalls(const std::vector<CallShown>& calls) {
    if (calls.empty()) {
        PrintOut("No calls in progress.");
        return;
    }
    constexpr const char* kRow = "%-6s %-10s %-10s %s";
    char line[128];
    std::snprintf(line, sizeof line, kRow, "Drive", "Call", "Ms", "Waits");
    PrintOut(line);
    for (const CallShown& c : calls) {
        const std::string letter = std::string(1, static_cast<char>(c.drive)) + ":";
        std::snprintf(line, sizeof line, kRow, letter.c_str(), Narrow(kFaultNames[static_cast<size_t>(c.kind)]).c_str(),
                      std::to_string(c.msSoFar).c_str(), c.stalled ? "stalled" : "delayed");
        PrintOut(line);
    }
}

// The calls in progress, after the drive list.
int ListCalls(const std::wstring& pipePath, PipeTimeouts timeouts) {
    Request request;
    request.op = Op::Calls;
    Response response;
    const DWORD error = Exchange(pipePath, request, response, timeouts);
    const auto calls = error == ERROR_SUCCESS && response.result != 0 ? DecodeCallList(response.data) : std::nullopt;
    if (!calls) {
        PrintError("VarnokSimCtl: the simulator did not list its calls in progress");
        return kExitNoAnswer;
    }
    PrintCalls(*calls);
    return kExitDone;
}

int Wait(const std::wstring& pipePath, DWORD seconds) {
    // Opens the simulator's event, or makes it for the simulator to set.
    vnk::fw::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, ReadyEventName(pipePath).c_str()));
    if (ready && ::WaitForSingleObject(ready.get(), seconds * 1000) == WAIT_OBJECT_0) return kExitDone;
    PrintError("VarnokSimCtl: no simulator came up on " + Narrow(pipePath));
    return kExitNoAnswer;
}

int Run(const std::wstring& pipePath, Command& command) {
    if (command.isWait) return Wait(pipePath, command.waitSeconds);
    // Adding and removing drives waits for every window to take the news.
    const PipeTimeouts timeouts{2000, 60000};
    Response response;
    const DWORD error = Exchange(pipePath, command.request, response, timeouts);
    WipeRequest(command.request);
    if (error == ERROR_FILE_NOT_FOUND) {
        PrintError("VarnokSimCtl: the simulator is not running (nothing serves " + Narrow(pipePath) + ")");
        return kExitNoAnswer;
    }
    if (error != ERROR_SUCCESS) {
        PrintError("VarnokSimCtl: no answer from the simulator on " + Narrow(pipePath) + " (error " +
                   std::to_string(error) + ")");
        return kExitNoAnswer;
    }
    if (response.result == 0) {
        const std::string why = RefusalText(response);
        PrintError("VarnokSimCtl: " + (why.empty() ? "refused" : why) + " (error " +
                   std::to_string(response.error) + ")");
        return kExitRefused;
    }
    if (command.request.op == Op::List) {
        const auto drives = DecodeDriveList(response.data);
        if (!drives) {
            PrintError("VarnokSimCtl: the simulator's drive list does not parse");
            return kExitNoAnswer;
        }
        PrintDrives(*drives);
        return ListCalls(pipePath, timeouts);
    }
    return kExitDone;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const Args args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == L"--help" || args[0] == L"-h" || args[0] == L"help")) {
        PrintOut(kUsage);
        return kExitDone;
    }
    if (args.empty()) {
        PrintError(kUsage);
        return kExitUsage;
    }
    auto command = ParseCommand(args);
    if (!command) return kExitUsage;
    const auto pipePath = SimulatorPipePath();
    if (!pipePath) {
        WipeRequest(command->request);
        PrintError("VarnokSimCtl: VARNOK_SIM_PIPE must be a pipe name of 1 to 200 characters without backslashes");
        return kExitUsage;
    }
    try {
        return Run(*pipePath, *command);
    } catch (const std::exception&) {
        WipeRequest(command->request);
        PrintError("VarnokSimCtl: ended by an internal error");
        return kExitNoAnswer;
    }
}
