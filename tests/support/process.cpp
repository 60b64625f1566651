#include "tests/support/process.h"

#include "common/strings.h"

namespace vnk::test {

std::wstring ProgramPath(const wchar_t* name) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir + L"" VNK_PROGRAMS_DIR L"\\" + name;
}

std::wstring DescribeError(DWORD error) {
    std::wstring text = SystemErrorText(error, kUserDefaultLanguage);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return L"error " + std::to_wstring(error) + L": " + text;
}

namespace {

// A pipe whose write end a started program inherits.
void MakePipe(vnk::fw::UniqueHandle& read, vnk::fw::UniqueHandle& write) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    ::CreatePipe(&r, &w, &inherit, 64 * 1024);
    read.reset(r);
    write.reset(w);
    ::SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
}

std::string ReadWhatIsThere(HANDLE pipe) {
    std::string text;
    DWORD available = 0;
    while (pipe != nullptr && ::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!::ReadFile(pipe, chunk.data(), available, &read, nullptr) || read == 0) break;
        text.append(chunk, 0, read);
    }
    return text;
}

std::wstring Quoted(const std::wstring& program, const std::wstring& args) {
    return L"\"" + program + L"\"" + (args.empty() ? L"" : L" " + args);
}

}  // namespace

Process::Process(const std::wstring& program, const std::wstring& args, Capture capture,
                 const std::optional<std::string>& input) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    vnk::fw::UniqueHandle outWrite, errWrite, inRead;
    const bool inherit = capture == Capture::Output;
    if (inherit) {
        MakePipe(m_out, outWrite);
        MakePipe(m_err, errWrite);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = outWrite.get();
        startup.hStdError = errWrite.get();
        if (input) {
            // The program's end is the read end; ours is written and closed
            // before the start, so the program meets the end of its input.
            vnk::fw::UniqueHandle inWrite;
            MakePipe(inRead, inWrite);
            ::SetHandleInformation(inRead.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            ::SetHandleInformation(inWrite.get(), HANDLE_FLAG_INHERIT, 0);
            DWORD written = 0;
            ::WriteFile(inWrite.get(), input->data(), static_cast<DWORD>(input->size()), &written, nullptr);
            startup.hStdInput = inRead.get();
        }
    }
    Start(program.c_str(), Quoted(program, args), startup, inherit);
}

Process::Process(const std::wstring& program, const std::wstring& args, HANDLE output) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    Start(program.c_str(), Quoted(program, args), startup, true);
}

Process::Process(const CommandLine& line) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    Start(nullptr, line.text, startup, false);
}

void Process::Start(const wchar_t* program, std::wstring commandLine, STARTUPINFOW& startup, bool inherit) {
    PROCESS_INFORMATION info{};
    // Wine answers ERROR_INTERNAL_ERROR when the new process died in its
    // loader before it reported its start (seen on a loaded machine, never
    // with our program's own code running): such a start is tried again, a
    // few times. Any other error is the caller's answer.
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        if (::CreateProcessW(program, commandLine.data(), nullptr, nullptr, inherit, 0, nullptr, nullptr, &startup,
                             &info))
            break;
        m_startError = ::GetLastError();
        if (m_startError != ERROR_INTERNAL_ERROR || attempt == kAttempts) return;
    }
    m_startError = ERROR_SUCCESS;
    ::CloseHandle(info.hThread);
    m_process.reset(info.hProcess);
    m_id = info.dwProcessId;
}

Process::~Process() {
    Kill();
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        Kill();
        m_process = std::move(other.m_process);
        m_id = std::exchange(other.m_id, 0);
        m_startError = other.m_startError;
        m_out = std::move(other.m_out);
        m_err = std::move(other.m_err);
    }
    return *this;
}

void Process::Kill() {
    if (!Running()) return;
    ::TerminateProcess(m_process.get(), 99);
    ::WaitForSingleObject(m_process.get(), kWatchdogMs);
}

std::wstring Process::Args(const std::vector<std::wstring>& args) {
    std::wstring line;
    for (const auto& arg : args)
        line += (line.empty() ? L"" : L" ") + (arg.find(L' ') == std::wstring::npos ? arg : L"\"" + arg + L"\"");
    return line;
}

bool Process::Running() const {
    return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

bool Process::WaitForExit(DWORD timeoutMs) const {
    return m_process && PumpUntil([this] { return !Running(); }, timeoutMs);
}

DWORD Process::ExitCode() const {
    DWORD code = kNoExitCode;
    if (m_process) ::GetExitCodeProcess(m_process.get(), &code);
    return code;
}

std::string Process::Out() const {
    return ReadWhatIsThere(m_out.get());
}
std::string Process::Err() const {
    return ReadWhatIsThere(m_err.get());
}

}  // namespace vnk::test
