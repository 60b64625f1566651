// Starting and ending the project's programs (the client, the simulator and
// its control, the test driver's control) for the tests, the chaos run and
// the benchmarks.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "fw/handles.h"
#include "tests/support/pump.h"

namespace vnk::test {

// The full path of one of the project's programs (Varnokd.exe, the
// simulator and its control program), which lie in the build folder above
// the tests, the chaos run and the benchmarks.
std::wstring ProgramPath(const wchar_t* name);

// "error N: the system's text" for a failure message.
std::wstring DescribeError(DWORD error);

// What ExitCode() and Process::Run give for a program that did not start or end.
constexpr DWORD kNoExitCode = 0xFFFFFFFF;

// A whole command line, the program's quoted path first, run as it stands.
struct CommandLine {
    std::wstring text;
};

// A program started for a test. One that still runs when its owner goes (or
// when another is moved into its place) is ended by force, so that a failed
// test leaves nothing behind. With Capture::Output its standard output and
// error go into pipes that are read once it has ended, and `input` (if any)
// is what it reads on standard input.
class Process {
public:
    enum class Capture { None, Output };

    Process() = default;
    Process(const std::wstring& program, const std::wstring& args, Capture capture = Capture::None,
            const std::optional<std::string>& input = std::nullopt);
    // Standard output and error go to `output`, an inheritable handle (a
    // log file the program shares with others).
    Process(const std::wstring& program, const std::wstring& args, HANDLE output);
    explicit Process(const CommandLine& line);
    ~Process();
    Process(Process&&) noexcept = default;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // A command line of these arguments, each quoted where it holds a space.
    static std::wstring Args(const std::vector<std::wstring>& args);

    struct Result {
        DWORD exitCode = kNoExitCode;
        std::string out, err;  // with Capture::Output
    };
    // Runs a program to its end, pumping this thread's messages meanwhile;
    // a program that does not start or end fails the test (test_support.cpp:
    // only the test suites link it).
    static Result Run(const std::wstring& program, const std::wstring& args, Capture capture = Capture::None,
                      const std::optional<std::string>& input = std::nullopt);

    bool Started() const { return static_cast<bool>(m_process); }
    // Why it did not start, for a failure message.
    std::wstring StartError() const { return DescribeError(m_startError); }
    bool Running() const;
    DWORD Id() const { return m_id; }
    HANDLE Handle() const { return m_process.get(); }
    // Pumps this thread's messages meanwhile: the program may be sending to
    // this process's windows.
    bool WaitForExit(DWORD timeoutMs = kWatchdogMs) const;
    DWORD ExitCode() const;
    // Ends it by force if it still runs, and waits for it to be gone.
    void Kill();
    // What the ended program wrote; all of it is in the pipe by then, so
    // reading what is there waits on no one.
    std::string Out() const;
    std::string Err() const;

private:
    void Start(const wchar_t* program, std::wstring commandLine, STARTUPINFOW& startup, bool inherit);

    vnk::fw::UniqueHandle m_process;
    DWORD m_id = 0;
    DWORD m_startError = ERROR_SUCCESS;
    vnk::fw::UniqueHandle m_out, m_err;
};

}  // namespace vnk::test
