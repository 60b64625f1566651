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

#include <commctrl.h>
#include <dbt.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "res/resource.h"
#include "sim/pipe_client.h"
#include "tests/support/window_search.h"

namespace {

using vnk::test::ClassOf;
using vnk::test::TitleOf;
using vnk::test::TopWindowsOf;

// ---- Options ------------------------------------------------------------------

struct Options {
    std::uint32_t firstSeed = 0;
    unsigned seeds = 1;
    unsigned steps = 60;
    double minutes = 0;                // 0: no time limit for the whole run
    std::set<unsigned> only;           // steps to run; empty: all
    DWORD nullBoundMs = 250;           // the status window answers WM_NULL within this
    DWORD boxBoundMs = 10000;          // a signalled encrypted disc gets its box within this
    DWORD settleMs = 10000;            // things the client does after a step are done within this
    std::wstring outDir = L"out\\chaos";
    std::string replayPrefix = "tools/chaos";
    bool stalls = true;                // stalled calls among the operations
    bool keepPassing = false;          // keep the folder of a seed that passed
    DWORD seedLimitMs = 0;             // 0: 60 s and 4 s a step
};

// ---- Small helpers ----------------------------------------------------------------

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : (c == L'\n' ? '\n' : '?');
    return out;
}

std::string Format(const char* format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// A failed check: the run stops and says which.
struct Violation : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::wstring ExeDir() {
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

// The programs lie in the build folder, above this one.
std::wstring ProgramPath(const wchar_t* name) { return ExeDir() + L"..\\" + name; }

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : m_handle(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void reset() {
        if (m_handle != nullptr) ::CloseHandle(m_handle);
        m_handle = nullptr;
    }
    HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    HANDLE m_handle = nullptr;
};

// A program of the run. Ended by force if it still runs when it goes.
class Program {
public:
    Program() = default;
    Program(const std::wstring& path, const std::wstring& args, HANDLE output = nullptr) {
        std::wstring line = L"\"" + path + L"\" " + args;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (output != nullptr) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = nullptr;
            startup.hStdOutput = output;
            startup.hStdError = output;
        }
        PROCESS_INFORMATION info{};
        // Wine's loader now and then loses a start (ERROR_INTERNAL_ERROR).
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, output != nullptr, 0, nullptr, nullptr,
                                 &startup, &info)) {
                m_process = Handle(info.hProcess);
                ::CloseHandle(info.hThread);
                m_id = info.dwProcessId;
                return;
            }
            if (::GetLastError() != ERROR_INTERNAL_ERROR) break;
        }
    }
    ~Program() { Kill(); }
    Program(Program&&) noexcept = default;
    Program& operator=(Program&& other) noexcept {
        if (this != &other) {
            Kill();
            m_process = std::move(other.m_process);
            m_id = other.m_id;
        }
        return *this;
    }

    bool Started() const { return static_cast<bool>(m_process); }
    bool Running() const { return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT; }
    bool WaitForExit(DWORD ms) const { return !m_process || ::WaitForSingleObject(m_process.get(), ms) == WAIT_OBJECT_0; }
    DWORD ExitCode() const {
        DWORD code = 0;
        if (m_process) ::GetExitCodeProcess(m_process.get(), &code);
        return code;
    }
    HANDLE Get() const { return m_process.get(); }
    DWORD Id() const { return m_id; }
    void Kill() {
        if (Running()) {
            ::TerminateProcess(m_process.get(), 99);
            ::WaitForSingleObject(m_process.get(), 10000);
        }
    }

private:
    Handle m_process;
    DWORD m_id = 0;
};

// ---- The client's trace lines ------------------------------------------------------

// Reads what processes write with OutputDebugString, as a debug-output
// viewer does (the DBWIN_BUFFER protocol), and keeps the lines per process.
class TraceListener {
public:
    TraceListener() {
        m_bufferReady = Handle(::CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY"));
        m_dataReady = Handle(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
        m_mapping = Handle(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER"));
        if (!m_bufferReady || !m_dataReady || !m_mapping) return;
        m_view = ::MapViewOfFile(m_mapping.get(), FILE_MAP_READ, 0, 0, 4096);
        if (m_view == nullptr) return;
        m_thread = std::thread([this] { Run(); });
    }
    ~TraceListener() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_view != nullptr) ::UnmapViewOfFile(m_view);
    }
    TraceListener(const TraceListener&) = delete;
    TraceListener& operator=(const TraceListener&) = delete;

    bool Works() const { return m_thread.joinable(); }

    struct Line {
        DWORD pid;
        ULONGLONG tick;
        std::string text;
    };
    std::vector<Line> Lines(size_t from = 0) const {
        std::lock_guard lock(m_mutex);
        if (from >= m_lines.size()) return {};
        return std::vector<Line>(m_lines.begin() + static_cast<std::ptrdiff_t>(from), m_lines.end());
    }
    size_t Count() const {
        std::lock_guard lock(m_mutex);
        return m_lines.size();
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }

private:
    void Run() {
        while (!m_stop) {
            if (::WaitForSingleObject(m_dataReady.get(), 100) != WAIT_OBJECT_0) continue;
            const auto* bytes = static_cast<const char*>(m_view);
            DWORD pid = 0;
            std::memcpy(&pid, bytes, sizeof pid);
            std::string text(bytes + sizeof pid, strnlen(bytes + sizeof pid, 4096 - sizeof pid));
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            {
                std::lock_guard lock(m_mutex);
                m_lines.push_back({pid, ::GetTickCount64(), std::move(text)});
            }
            ::SetEvent(m_bufferReady.get());
        }
    }

    Handle m_bufferReady, m_dataReady, m_mapping;
    void* m_view = nullptr;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
    std::thread m_thread;
};

// ---- Another program's slow window ---------------------------------------------------

// A top-level window of this program that takes its time over every
// device-change message, as a busy program's window would.
class SlowWindow {
public:
    SlowWindow() {
        m_thread = std::thread([this] { Run(); });
        while (m_window.load() == nullptr && !m_failed.load()) ::Sleep(5);
    }
    ~SlowWindow() {
        if (HWND window = m_window.load()) ::PostMessageW(window, WM_CLOSE, 0, 0);
        if (m_thread.joinable()) m_thread.join();
    }
    SlowWindow(const SlowWindow&) = delete;
    SlowWindow& operator=(const SlowWindow&) = delete;
    void SetDelay(DWORD ms) { s_delayMs = ms; }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_DEVICECHANGE) {
            ::Sleep(s_delayMs.load());
            return TRUE;
        }
        if (message == WM_DESTROY) ::PostQuitMessage(0);
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
    void Run() {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = Proc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"VarnokChaosSlowWindow";
        ::RegisterClassW(&windowClass);
        HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Chaos: a slow program", WS_OVERLAPPED, 0, 0,
                                        10, 10, nullptr, nullptr, windowClass.hInstance, nullptr);
        if (window == nullptr) {
            m_failed = true;
            return;
        }
        m_window = window;
        MSG msg;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }

    static inline std::atomic<DWORD> s_delayMs{0};
    std::atomic<HWND> m_window{nullptr};
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};

// ---- Reading another process ----------------------------------------------------------

// A control's text asked of its own thread; nullopt while that thread does
// not answer.
std::optional<std::wstring> ControlText(HWND control, DWORD timeoutMs = 500) {
    wchar_t text[1024] = {};
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                               timeoutMs, &copied))
        return std::nullopt;
    return std::wstring(text);
}

size_t ThreadsOf(DWORD pid) {
    Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    size_t count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == pid) ++count;
    return count;
}

struct Resources {
    size_t threads = 0;
    DWORD handles = 0;
    size_t privateKiB = 0;
};

using NtQuerySystemInformationFn = LONG(NTAPI*)(ULONG, void*, ULONG, ULONG*);

// The handles a process holds, from the system's handle table (Wine does
// not answer GetProcessHandleCount for another process).
DWORD HandlesOf(DWORD pid) {
    static const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    struct Entry {  // SYSTEM_HANDLE_ENTRY
        ULONG OwnerPid;
        BYTE ObjectType, HandleFlags;
        USHORT HandleValue;
        PVOID ObjectPointer;
        ULONG AccessMask;
    };
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    for (int tries = 0; tries < 4; ++tries) {
        const LONG status = query(16 /* SystemHandleInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == static_cast<LONG>(0xC0000004) /* STATUS_INFO_LENGTH_MISMATCH */) {
            buffer.resize(std::max<size_t>(needed, buffer.size() * 2));
            continue;
        }
        if (status < 0) return 0;
        ULONG count = 0;
        std::memcpy(&count, buffer.data(), sizeof count);
        const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
        DWORD mine = 0;
        for (ULONG i = 0; i < count; ++i)
            if (entries[i].OwnerPid == pid) ++mine;
        return mine;
    }
    return 0;
}

// With `memory`, the committed private memory too, which takes a query
// per region of the process (slow under Wine, so not at every step).
Resources ResourcesOf(const Program& process, bool memory) {
    Resources r;
    r.threads = ThreadsOf(process.Id());
    r.handles = HandlesOf(process.Id());
    if (!memory) return r;
    // Committed private memory, summed over the regions: reading the
    // process (the passphrase search) pages memory in and so moves the
    // resident and page-file figures, but not this one.
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr;
         ::VirtualQueryEx(process.Get(), address, &region, sizeof region) == sizeof region && region.RegionSize != 0;
         address = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize)
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) r.privateKiB += region.RegionSize / 1024;
    return r;
}

// Where, in the writable or private memory of a process, one of `secrets`
// stands (as UTF-16 or as 8-bit text); the index of the first found.
std::optional<size_t> FindSecretIn(HANDLE process, const std::vector<std::wstring>& secrets) {
    if (secrets.empty()) return std::nullopt;
    std::vector<std::string> patterns;
    for (const auto& secret : secrets) {
        patterns.emplace_back(reinterpret_cast<const char*>(secret.data()), secret.size() * sizeof(wchar_t));
        patterns.emplace_back(Narrow(secret));
    }
    constexpr size_t kPiece = 1 << 20;
    std::vector<char> buffer(kPiece);
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr; ::VirtualQueryEx(process, address, &region, sizeof region) == sizeof region;
         address = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.RegionSize == 0) break;
        if (region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 || region.Protect == 0)
            continue;
        const bool writable = (region.Protect & (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE |
                                                 PAGE_EXECUTE_WRITECOPY)) != 0;
        if (region.Type == MEM_IMAGE && !writable) continue;
        const auto* base = static_cast<const BYTE*>(region.BaseAddress);
        for (size_t offset = 0; offset < region.RegionSize;) {
            const size_t bytes = std::min<size_t>(kPiece, region.RegionSize - offset);
            SIZE_T read = 0;
            if (::ReadProcessMemory(process, base + offset, buffer.data(), bytes, &read) && read > 0) {
                const std::string_view piece(buffer.data(), read);
                for (size_t i = 0; i < patterns.size(); ++i)
                    if (piece.find(patterns[i]) != std::string_view::npos) {
                        ::SecureZeroMemory(buffer.data(), buffer.size());
                        return i / 2;
                    }
            }
            if (offset + bytes >= region.RegionSize) break;
            offset += bytes - 512;  // a secret across two pieces
        }
    }
    ::SecureZeroMemory(buffer.data(), buffer.size());
    return std::nullopt;
}

// The whole screen as a 24-bit BMP.
bool SaveScreen(const std::wstring& path) {
    const int width = ::GetSystemMetrics(SM_CXVIRTUALSCREEN), height = ::GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (width <= 0 || height <= 0) return false;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool written = false;
    if (bitmap != nullptr) {
        HGDIOBJ old = ::SelectObject(memory, bitmap);
        ::BitBlt(memory, 0, 0, width, height, screen, ::GetSystemMetrics(SM_XVIRTUALSCREEN),
                 ::GetSystemMetrics(SM_YVIRTUALSCREEN), SRCCOPY);
        ::GdiFlush();
        const DWORD imageSize = ((static_cast<DWORD>(width) * 3 + 3) & ~3u) * static_cast<DWORD>(height);
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof file + sizeof info.bmiHeader;
        file.bfSize = file.bfOffBits + imageSize;
        Handle out(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD done = 0;
        written = out && ::WriteFile(out.get(), &file, sizeof file, &done, nullptr) &&
                  ::WriteFile(out.get(), &info.bmiHeader, sizeof info.bmiHeader, &done, nullptr) &&
                  ::WriteFile(out.get(), bits, imageSize, &done, nullptr);
        ::SelectObject(memory, old);
        ::DeleteObject(bitmap);
    }
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return written;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    Handle out(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD done = 0;
    return out && ::WriteFile(out.get(), text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
}

void RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") ::DeleteFileW((folder + L"\\" + name).c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(folder.c_str());
}

void MakeFolders(const std::wstring& path) {
    for (size_t i = path.find(L'\\', 3); i != std::wstring::npos; i = path.find(L'\\', i + 1))
        ::CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    ::CreateDirectoryW(path.c_str(), nullptr);
}

// ---- The status window's answers ----------------------------------------------------

// Sends WM_NULL to the client's status window every 50 ms for as long as it
// lives, so that a main thread that is held (a device call, a wait) shows
// whenever it happens, not only between steps. Keeps the longest wait seen
// since it was last asked.
class Pinger {
public:
    explicit Pinger(DWORD boundMs) : m_boundMs(boundMs), m_thread([this] { Run(); }) {}
    ~Pinger() {
        m_stop = true;
        m_thread.join();
    }
    Pinger(const Pinger&) = delete;
    Pinger& operator=(const Pinger&) = delete;

    void Watch(HWND window) { m_window = window; }
    // The longest time the window kept a WM_NULL beyond the bound since the
    // last call, and when that began; nullopt when none did.
    std::optional<std::pair<ULONGLONG, ULONGLONG>> TakeWorst() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_worst, std::nullopt);
    }
    // The longest wait since the last call, within the bound or not (the
    // step log keeps it: the figures a bound is chosen from).
    ULONGLONG TakeLongest() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_longest, 0);
    }

private:
    void Run() {
        while (!m_stop) {
            const HWND window = m_window.load();
            if (window != nullptr) {
                DWORD_PTR result = 0;
                const ULONGLONG sent = ::GetTickCount64();
                const bool answered =
                    ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result) != 0;
                const ULONGLONG took = ::GetTickCount64() - sent;
                if (answered && m_window.load() == window) {
                    std::lock_guard lock(m_mutex);
                    m_longest = std::max(m_longest, took);
                }
                // A window that went meanwhile (Exit, the process ended) is
                // no late answer.
                if (took > m_boundMs && (answered || ::IsWindow(window)) && m_window.load() == window) {
                    std::lock_guard lock(m_mutex);
                    if (!m_worst || took > m_worst->first) m_worst = std::make_pair(took, sent);
                }
            }
            ::Sleep(50);
        }
    }

    const DWORD m_boundMs;
    std::atomic<HWND> m_window{nullptr};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::optional<std::pair<ULONGLONG, ULONGLONG>> m_worst;
    ULONGLONG m_longest = 0;
    std::thread m_thread;
};

// ---- One seed -------------------------------------------------------------------

constexpr wchar_t kStatusTitle[] = L"Varnok Status";
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kBoxPrefix[] = L"Varnok on drive ";
constexpr wchar_t kLockIncomplete[] = L"Emergency Lock incomplete";
constexpr DWORD kExitBoundMs = 20000;
constexpr DWORD kForever = 0xFFFFFFFF;

// The randomness of one step: drawn whole whatever the step does with it.
struct Draw {
    unsigned op = 0;
    unsigned letter = 0;
    unsigned a = 0, b = 0, c = 0;
};

class SeedRun {
public:
    SeedRun(const Options& options, std::uint32_t seed, TraceListener& trace)
        : m_options(options), m_seed(seed), m_rng(seed), m_trace(trace) {}

    // Empty when every check held; otherwise what broke.
    std::optional<std::string> Run();
    unsigned StepsDone() const { return m_stepsDone; }

private:
    struct Op {
        const char* name;
        unsigned weight;
        void (SeedRun::*run)(const Draw&);
    };
    static const std::vector<Op>& Ops();

    // Setup and the end.
    void StartSimulator(const std::wstring& drives);
    void StartClient();
    void Log(const std::string& line);
    void SaveEvidence();
    void Finish();

    // The simulator.
    bool Sim(vnk::sim::Op op, wchar_t letter, const std::wstring& text = L"", DWORD code = 0, DWORD error = 0,
             DWORD count = 0, std::string* refusal = nullptr);
    std::vector<vnk::sim::DriveState> SimDrives();
    std::optional<vnk::sim::DriveState> SimDrive(wchar_t letter);

    // The client's windows.
    HWND StatusWindow() const;
    HWND TrayWindow() const;
    std::map<wchar_t, HWND> LoginBoxes() const;  // visible ones
    std::vector<HWND> MessageBoxes() const;      // visible client dialogs that are neither
    wchar_t Letter(const Draw& d) const { return m_pool[d.letter % m_pool.size()]; }
    // A CD/DVD drive that is plugged in (the set follows from the steps
    // alone), or the pool's letter when there is none.
    wchar_t PresentLetter(const Draw& d);
    HWND BoxFor(wchar_t letter) const;
    std::map<wchar_t, std::wstring> ListRows(HWND status);
    std::string ListDisagrees(const std::map<wchar_t, std::wstring>& rows,
                              const std::vector<vnk::sim::DriveState>& before,
                              const std::vector<vnk::sim::DriveState>& after) const;

    // Checks.
    void CheckAll(bool heavy);
    void CheckAlive();
    void CheckAnswers();
    void CheckBoxesHaveDiscs();
    void CheckResources(bool memory);
    bool Steady(const std::vector<vnk::sim::DriveState>& drives) const;
    void CheckTrace();
    void CheckMemory();
    void ExpectBox(wchar_t letter);
    void CheckLockedOrNamed(const char* what, const std::set<wchar_t>& named);
    std::set<wchar_t> TracedNotLocked(const char* prefix, size_t from) const;
    bool Clean(wchar_t letter) const;

    // Operations.
    void OpAddDrive(const Draw&);
    void OpRemoveDrive(const Draw&);
    void OpInsertEncrypted(const Draw&);
    void OpInsertPlain(const Draw&);
    void OpTakeOut(const Draw&);
    void OpSignal(const Draw&);
    void OpLogin(const Draw&);
    void OpEjectButton(const Draw&);
    void OpCloseBox(const Draw&);
    void OpEmergencyLock(const Draw&);
    void OpShowStatus(const Draw&);
    void OpHideStatus(const Draw&);
    void OpDeviceChange(const Draw&);
    void OpFail(const Draw&);
    void OpDelay(const Draw&);
    void OpStall(const Draw&);
    void OpRelease(const Draw&);
    void OpClearFaults(const Draw&);
    void OpHold(const Draw&);
    // Forgets the cleared faults once the client has probed with none set.
    void ProbedWithoutFaults();
    void OpSlowWindow(const Draw&);
    void OpAnswerBoxes(const Draw&);
    void OpPause(const Draw&);
    void OpSessionEnd(const Draw&);
    void OpExit(const Draw&);
    void ExitClient();
    void OpSecondInstance(const Draw&);
    void OpRestartSimulator(const Draw&);

    void Type(HWND box, const std::wstring& text, bool paste);
    void Dirty(wchar_t letter) { m_dirty.insert(letter); }

    const Options& m_options;
    const std::uint32_t m_seed;
    std::mt19937 m_rng;
    TraceListener& m_trace;
    std::wstring m_folder;
    std::wstring m_pipeName;
    std::mutex m_logMutex;
    Handle m_logFile;
    std::mutex m_processMutex;          // the watchdog ends the programs of a seed that hangs
    std::atomic<bool> m_timedOut{false};
    ULONGLONG m_start = 0;
    unsigned m_step = 0, m_stepsDone = 0;
    std::wstring m_pool;                 // the letters this seed plays with
    Program m_sim, m_client;
    Handle m_simOutput;
    std::optional<SlowWindow> m_slow;
    std::optional<Pinger> m_pinger;
    size_t m_traceFrom = 0;              // the current client's first line
    std::map<wchar_t, std::wstring> m_discPassphrase;
    unsigned m_passphrases = 0;
    // Secrets typed into a box, with the drive of the box; checked once
    // the box is gone.
    std::vector<std::pair<wchar_t, std::wstring>> m_typed;
    // Pasted ones: the clipboard gives every process that pastes a copy of
    // its own that the process cannot wipe (user32 keeps it), so these are
    // not looked for in memory.
    std::set<std::wstring> m_pasted;
    std::set<wchar_t> m_dirty;           // faults, holds or stalls were set on these
    std::set<wchar_t> m_exempt;          // its box may outlive its disc (taken out by hand, simulator restarted)
    bool m_simRestarted = false;         // announcements lost until the next probe
    // Faults that are cleared but that a probe may have met: a drive whose
    // signature failed is rightly left out of the list until the client
    // probes again with no fault set (a device change, a new client).
    std::set<wchar_t> m_unprobed;
    bool m_unprobedAll = false;
    bool m_stalled = false;
    bool m_everyDriveFaults = false;     // delays set for every drive
    std::optional<Resources> m_base;    // taken in the client's first steady state
    size_t m_baseDrives = 0, m_peakDrives = 0;
    std::map<size_t, DWORD> m_handlesAt;  // first handle count per drive count
};

const std::vector<SeedRun::Op>& SeedRun::Ops() {
    static const std::vector<Op> ops = {
        {"add-drive", 8, &SeedRun::OpAddDrive},
        {"remove-drive", 4, &SeedRun::OpRemoveDrive},
        {"insert-encrypted", 14, &SeedRun::OpInsertEncrypted},
        {"insert-plain", 3, &SeedRun::OpInsertPlain},
        {"take-out", 4, &SeedRun::OpTakeOut},
        {"signal", 5, &SeedRun::OpSignal},
        {"login", 18, &SeedRun::OpLogin},
        {"eject-button", 4, &SeedRun::OpEjectButton},
        {"close-box", 3, &SeedRun::OpCloseBox},
        {"emergency-lock", 6, &SeedRun::OpEmergencyLock},
        {"show-status", 4, &SeedRun::OpShowStatus},
        {"hide-status", 3, &SeedRun::OpHideStatus},
        {"device-change", 4, &SeedRun::OpDeviceChange},
        {"fail", 4, &SeedRun::OpFail},
        {"delay", 4, &SeedRun::OpDelay},
        {"stall", 2, &SeedRun::OpStall},
        {"release", 3, &SeedRun::OpRelease},
        {"clear-faults", 4, &SeedRun::OpClearFaults},
        {"hold", 1, &SeedRun::OpHold},
        {"slow-window", 2, &SeedRun::OpSlowWindow},
        {"answer-boxes", 4, &SeedRun::OpAnswerBoxes},
        {"pause", 4, &SeedRun::OpPause},
        {"session-end", 1, &SeedRun::OpSessionEnd},
        {"exit", 1, &SeedRun::OpExit},
        {"second-instance", 1, &SeedRun::OpSecondInstance},
        {"restart-simulator", 1, &SeedRun::OpRestartSimulator},
    };
    return ops;
}

void SeedRun::Log(const std::string& line) {
    const std::string stamped =
        Format("%8.3f s  ", static_cast<double>(::GetTickCount64() - m_start) / 1000.0) + line + "\n";
    std::lock_guard lock(m_logMutex);
    // Written at once: a seed that hangs still leaves its steps.
    DWORD done = 0;
    if (m_logFile) ::WriteFile(m_logFile.get(), stamped.data(), static_cast<DWORD>(stamped.size()), &done, nullptr);
}

bool SeedRun::Sim(vnk::sim::Op op, wchar_t letter, const std::wstring& text, DWORD code, DWORD error, DWORD count,
                  std::string* refusal) {
    vnk::sim::Request request;
    request.op = op;
    request.letter = letter;
    request.text = text;
    request.code = code;
    request.error = error;
    request.count = count;
    vnk::sim::Response response;
    // The drive broadcasts wait for every window (5 s each at most).
    const DWORD result = vnk::sim::Exchange(L"\\\\.\\pipe\\" + m_pipeName, request, response, {5000, 60000});
    vnk::sim::WipeRequest(request);
    if (result != ERROR_SUCCESS) {
        if (refusal) *refusal = Format("transport error %lu", result);
        return false;
    }
    if (response.result == 0 && refusal) *refusal = vnk::sim::RefusalText(response);
    return response.result != 0;
}

std::vector<vnk::sim::DriveState> SeedRun::SimDrives() {
    vnk::sim::Request request;
    request.op = vnk::sim::Op::List;
    vnk::sim::Response response;
    if (vnk::sim::Exchange(L"\\\\.\\pipe\\" + m_pipeName, request, response, {5000, 30000}) != ERROR_SUCCESS)
        throw Violation("the simulator does not answer its pipe");
    auto drives = vnk::sim::DecodeDriveList(response.data);
    if (!drives) throw Violation("the simulator's drive list does not parse");
    return *drives;
}

std::optional<vnk::sim::DriveState> SeedRun::SimDrive(wchar_t letter) {
    for (auto& drive : SimDrives())
        if (drive.letter == letter) return drive;
    return std::nullopt;
}

HWND SeedRun::StatusWindow() const {
    for (HWND hwnd : TopWindowsOf(m_client.Id()))
        if (ClassOf(hwnd) == kDialogClass && TitleOf(hwnd) == kStatusTitle) return hwnd;
    return nullptr;
}

HWND SeedRun::TrayWindow() const {
    for (HWND hwnd : TopWindowsOf(m_client.Id()))
        if (ClassOf(hwnd) == L"fw.Window" && vnk::test::IconInShell(hwnd, IDR_TRAYMENU)) return hwnd;
    return nullptr;
}

std::map<wchar_t, HWND> SeedRun::LoginBoxes() const {
    std::map<wchar_t, HWND> boxes;
    const size_t prefix = std::wcslen(kBoxPrefix);
    for (HWND hwnd : TopWindowsOf(m_client.Id())) {
        if (!::IsWindowVisible(hwnd)) continue;
        const std::wstring title = TitleOf(hwnd);
        if (title.size() > prefix && title.compare(0, prefix, kBoxPrefix) == 0) boxes[title[prefix]] = hwnd;
    }
    return boxes;
}

std::vector<HWND> SeedRun::MessageBoxes() const {
    std::vector<HWND> boxes;
    for (HWND hwnd : TopWindowsOf(m_client.Id())) {
        if (!::IsWindowVisible(hwnd) || ClassOf(hwnd) != kDialogClass) continue;
        const std::wstring title = TitleOf(hwnd);
        if (title == kStatusTitle || title.rfind(kBoxPrefix, 0) == 0) continue;
        boxes.push_back(hwnd);
    }
    return boxes;
}

wchar_t SeedRun::PresentLetter(const Draw& d) {
    std::wstring present;
    for (const auto& drive : SimDrives())
        if (drive.present && drive.driveType == DRIVE_CDROM) present += drive.letter;
    if (present.empty()) return Letter(d);
    return present[d.letter % present.size()];
}

HWND SeedRun::BoxFor(wchar_t letter) const {
    const auto boxes = LoginBoxes();
    if (boxes.empty()) return nullptr;
    const auto it = boxes.find(letter);
    return it != boxes.end() ? it->second : boxes.begin()->second;
}

// ---- Setup --------------------------------------------------------------------------

void SeedRun::StartSimulator(const std::wstring& drives) {
    m_sim.Kill();
    const std::wstring ready = vnk::sim::ReadyEventName(L"\\\\.\\pipe\\" + m_pipeName);
    Handle readyEvent(::CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
    ::ResetEvent(readyEvent.get());
    {
        Program started(ProgramPath(L"VarnokSim.exe"), drives.empty() ? L"" : L"--drives " + drives, m_simOutput.get());
        std::lock_guard lock(m_processMutex);
        m_sim = std::move(started);
    }
    if (!m_sim.Started()) throw Violation("VarnokSim.exe does not start");
    const HANDLE waits[2] = {readyEvent.get(), m_sim.Get()};
    if (::WaitForMultipleObjects(2, waits, FALSE, 30000) != WAIT_OBJECT_0)
        throw Violation("the simulator did not come up");
}

void SeedRun::StartClient() {
    {
        Program started(ProgramPath(L"VarnokdSim.exe"), L"");
        std::lock_guard lock(m_processMutex);
        m_client = std::move(started);
    }
    if (!m_client.Started()) throw Violation("VarnokdSim.exe does not start");
    m_traceFrom = m_trace.Count();
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    for (;;) {
        HWND status = StatusWindow();
        if (status != nullptr && TrayWindow() != nullptr) break;
        // A box of the start-up (a drive that cannot be reached) may hold it.
        if (!m_client.Running()) throw Violation(Format("the client ended at start (exit code 0x%lx)", m_client.ExitCode()));
        if (::GetTickCount64() > deadline) break;  // the checks say what is wrong
        // The start-up probe's boxes (a drive that cannot be reached) hold
        // it until the person answers them.
        if (::GetTickCount64() + 28000 > deadline)
            for (HWND box : MessageBoxes()) {
                Log("  answer \"" + Narrow(TitleOf(box)) + "\" of the start");
                ::PostMessageW(box, WM_COMMAND, IDOK, 0);
            }
        ::Sleep(20);
    }
    Log(Format("client started, process %lu", m_client.Id()));
    m_pinger->Watch(StatusWindow());
    // The base figures wait for a steady state (CheckResources).
    m_base.reset();
    m_handlesAt.clear();
    m_simRestarted = false;
    ProbedWithoutFaults();
}

void SeedRun::ProbedWithoutFaults() {
    if (!m_dirty.empty() || m_everyDriveFaults) return;
    m_unprobed.clear();
    m_unprobedAll = false;
}

// ---- Checks ------------------------------------------------------------------------

bool SeedRun::Clean(wchar_t letter) const {
    return m_dirty.count(letter) == 0 && !m_everyDriveFaults && !m_simRestarted;
}

void SeedRun::CheckAlive() {
    if (!m_client.Running())
        throw Violation(Format("the client ended by itself (exit code 0x%lx)", m_client.ExitCode()));
    if (::FindWindowW(nullptr, L"Program Error") != nullptr) throw Violation("a program crashed (winedbg's box is up)");
}

void SeedRun::CheckAnswers() {
    HWND status = StatusWindow();
    if (status == nullptr) throw Violation("the client has no status window");
    Log(Format("    WM_NULL: longest wait %llu ms", m_pinger->TakeLongest()));
    if (const auto worst = m_pinger->TakeWorst())
        throw Violation(Format("the status window kept a WM_NULL for %llu ms from %.3f s on (bound %lu ms)",
                               worst->first, static_cast<double>(worst->second - m_start) / 1000.0,
                               m_options.nullBoundMs));
    DWORD_PTR result = 0;
    const ULONGLONG before = ::GetTickCount64();
    if (!::SendMessageTimeoutW(status, WM_NULL, 0, 0, SMTO_NORMAL, m_options.nullBoundMs, &result)) {
        // How long it really took, for the report.
        ::SendMessageTimeoutW(status, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result);
        throw Violation(Format("the status window did not answer WM_NULL within %lu ms (it took %llu ms)",
                               m_options.nullBoundMs, ::GetTickCount64() - before));
    }
}

// A box that waits for a passphrase stands for a disc that is there. Ones
// whose outcome shows close two seconds later; discs taken out by hand and
// a simulator started afresh are not told to the client, so their boxes
// may stay until the person acts.
void SeedRun::CheckBoxesHaveDiscs() {
    const ULONGLONG deadline = ::GetTickCount64() + m_options.settleMs;
    for (;;) {
        std::string wrong;
        const auto drives = SimDrives();
        for (const auto& [letter, box] : LoginBoxes()) {
            if (m_exempt.count(letter)) continue;
            const auto it = std::find_if(drives.begin(), drives.end(), [&](auto& d) { return d.letter == letter; });
            const bool disc = it != drives.end() && it->present && it->disc != vnk::sim::Disc::None;
            if (disc) continue;
            wrong += Format(" %c:", static_cast<char>(letter));
        }
        if (wrong.empty()) return;
        if (::GetTickCount64() > deadline)
            throw Violation("a login box stays up for a drive whose disc is gone:" + wrong);
        ::Sleep(50);
    }
}

void SeedRun::ExpectBox(wchar_t letter) {
    if (!Clean(letter) || m_stalled) return;
    const auto drive = SimDrive(letter);
    if (!drive || !drive->present || drive->disc != vnk::sim::Disc::Encrypted || drive->loggedIn || !drive->announced)
        return;
    const ULONGLONG deadline = ::GetTickCount64() + m_options.boxBoundMs;
    while (::GetTickCount64() < deadline) {
        if (LoginBoxes().count(letter)) return;
        // Gone meanwhile (a lock pass of a box already up took it): nothing to ask for.
        const auto now = SimDrive(letter);
        if (!now || now->disc != vnk::sim::Disc::Encrypted || now->loggedIn) return;
        ::Sleep(20);
    }
    throw Violation(Format("drive %c: holds an encrypted disc and was signalled, but no login box came within %lu ms",
                           static_cast<char>(letter), m_options.boxBoundMs));
}

// Whether the client's figures stand for its steady state: no stall, fault,
// hold or delay set (a stalled call holds a worker and what it opened), no
// drive left to a later probe, no box of a probe up (the probe lasts until
// it is answered, and the drives get their threads after it), and every
// CD/DVD drive has its threads since the client last probed.
bool SeedRun::Steady(const std::vector<vnk::sim::DriveState>& drives) const {
    if (!m_dirty.empty() || m_everyDriveFaults || m_stalled || m_simRestarted || m_unprobedAll || !m_unprobed.empty())
        return false;
    if (!MessageBoxes().empty()) return false;
    if (!m_trace.Works()) return true;
    static constexpr std::string_view kProbe = "VNKDProbeForDrives: entered";
    static constexpr std::string_view kThreads = "StartThreads: starting the threads of drive ";
    std::set<wchar_t> started;
    for (const auto& line : m_trace.Lines(m_traceFrom)) {
        if (line.pid != m_client.Id()) continue;
        const std::string_view text = line.text;
        if (text.substr(0, kProbe.size()) == kProbe)
            started.clear();
        else if (text.size() > kThreads.size() && text.substr(0, kThreads.size()) == kThreads)
            started.insert(static_cast<wchar_t>(text[kThreads.size()]));
    }
    for (const auto& d : drives)
        if (d.present && d.driveType == DRIVE_CDROM && !started.count(d.letter)) return false;
    return true;
}

void SeedRun::CheckResources(bool memory) {
    const auto simDrives = SimDrives();
    size_t drives = 0;
    for (const auto& d : simDrives)
        if (d.present && d.driveType == DRIVE_CDROM) ++drives;
    const bool steady = Steady(simDrives);
    // The figures the bounds are measured from are taken only in a steady
    // state: a stalled open that holds the start-up probe leaves the drives
    // without their threads, and every figure low.
    if (!m_base && steady) {
        m_base = ResourcesOf(m_client, true);
        m_baseDrives = m_peakDrives = drives;
        Log(Format("    client's base: %zu threads, %lu handles, %zu KiB private, %zu drives", m_base->threads,
                   m_base->handles, m_base->privateKiB, drives));
        return;
    }
    const Resources now = ResourcesOf(m_client, memory);
    Log(Format("    client: %zu threads, %lu handles, %zu KiB private, %zu drives%s", now.threads, now.handles,
               now.privateKiB, drives, steady ? "" : " (not steady)"));
    if (!m_base) return;
    m_peakDrives = std::max(m_peakDrives, drives);
    // The base process, two threads a drive, a few that come and go
    // (retired watchers, a second instance's request, message boxes).
    const size_t baseThreads = m_base->threads - std::min(m_base->threads, 2 * m_baseDrives);
    const size_t threadBound = baseThreads + 2 * std::max(drives, m_baseDrives) + 8;
    if (now.threads > threadBound)
        throw Violation(Format("the client has %zu threads with %zu drives (bound %zu)", now.threads, drives, threadBound));
    const DWORD handleBound = m_base->handles + static_cast<DWORD>(24 * m_peakDrives) + 96;
    if (now.handles > handleBound)
        throw Violation(Format("the client has %lu handles with %zu drives (bound %lu)", now.handles, drives, handleBound));
    // Committed private memory: about 6 MiB a drive under Wine (two
    // threads with their stacks and message queues).
    const size_t memoryBound =
        m_base->privateKiB + 8192 * (m_peakDrives - std::min(m_peakDrives, m_baseDrives)) + 16 * 1024;
    if (memory && now.privateKiB > memoryBound)
        throw Violation(Format("the client has %zu KiB private memory with at most %zu drives (bound %zu KiB)",
                               now.privateKiB, m_peakDrives, memoryBound));
    // No growth: in a steady state with as many drives as before and
    // nothing up, no more handles than then.
    if (steady && LoginBoxes().empty()) {
        auto [it, first] = m_handlesAt.emplace(drives, now.handles);
        if (!first && now.handles > it->second + 48)
            throw Violation(Format("the client's handles grew from %lu to %lu with %zu drives", it->second, now.handles,
                                   drives));
    }
}

void SeedRun::CheckTrace() {
    for (const auto& line : m_trace.Lines(m_traceFrom)) {
        if (line.pid != m_client.Id()) continue;
        std::string lower = line.text;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.find("exception") != std::string::npos)
            throw Violation("the client traced an exception: " + line.text);
        for (const auto& [letter, secret] : m_typed)
            if (line.text.find(Narrow(secret)) != std::string::npos)
                throw Violation(Format("a passphrase typed into the box of drive %c: stands in the client's trace",
                                       static_cast<char>(letter)));
        for (const auto& [letter, secret] : m_discPassphrase)
            if (line.text.find(Narrow(secret)) != std::string::npos)
                throw Violation(Format("the passphrase of the disc in drive %c: stands in the client's trace",
                                       static_cast<char>(letter)));
    }
}

// Passphrases typed into boxes that are gone are nowhere in the client.
void SeedRun::CheckMemory() {
    const auto boxes = LoginBoxes();
    std::vector<std::wstring> secrets;
    std::vector<wchar_t> letters;
    for (const auto& [letter, secret] : m_typed) {
        bool up = false;
        for (HWND hwnd : TopWindowsOf(m_client.Id()))
            if (TitleOf(hwnd).rfind(std::wstring(kBoxPrefix) + letter + L":", 0) == 0) up = true;
        if (up || m_pasted.count(secret)) continue;
        secrets.push_back(secret);
        letters.push_back(letter);
    }
    const ULONGLONG began = ::GetTickCount64();
    const auto found = FindSecretIn(m_client.Get(), secrets);
    Log(Format("  memory searched for %zu passphrases in %llu ms", secrets.size(), ::GetTickCount64() - began));
    if (found)
        throw Violation(Format("a passphrase typed into the box of drive %c: is still in the client's memory after "
                               "the box went",
                               static_cast<char>(letters[*found])));
}

void SeedRun::CheckAll(bool heavy) {
    CheckAlive();
    CheckAnswers();
    CheckBoxesHaveDiscs();
    CheckResources(heavy);
    CheckTrace();
    if (heavy) CheckMemory();
}

std::set<wchar_t> SeedRun::TracedNotLocked(const char* prefix, size_t from) const {
    std::set<wchar_t> traced;
    for (const auto& line : m_trace.Lines(from)) {
        if (line.pid != m_client.Id() || line.text.rfind(prefix, 0) != 0) continue;
        const size_t at = line.text.find("drive ");
        if (at == std::string::npos || at + 7 >= line.text.size() || line.text[at + 7] != ':') continue;
        if (line.text.find("failed") != std::string::npos || line.text.find("does not open") != std::string::npos)
            traced.insert(static_cast<wchar_t>(line.text[at + 6]));
    }
    return traced;
}

// After a lock pass: every drive is out of its login, or was named. A login
// under way ejects its disc when the driver answers: given time to settle.
void SeedRun::CheckLockedOrNamed(const char* what, const std::set<wchar_t>& named) {
    const ULONGLONG deadline = ::GetTickCount64() + m_options.settleMs;
    for (;;) {
        std::string open;
        for (const auto& d : SimDrives())
            if (d.present && d.loggedIn && named.count(d.letter) == 0) open += Format(" %c:", static_cast<char>(d.letter));
        if (open.empty()) return;
        if (::GetTickCount64() > deadline)
            throw Violation(std::string("after ") + what + ", drives stay logged in that were not named as not locked:" +
                            open);
        ::Sleep(50);
    }
}

// ---- Operations ------------------------------------------------------------------------

void SeedRun::OpAddDrive(const Draw& d) {
    const wchar_t letter = Letter(d);
    const bool cdrom = d.a % 10 != 0;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::AddDrive, letter, L"", cdrom ? DRIVE_CDROM : DRIVE_FIXED, 0, 0, &refusal);
    if (done) ProbedWithoutFaults();  // the arrival makes the client probe again
    Log(Format("  add %c: %s: %s", static_cast<char>(letter), cdrom ? "cdrom" : "other", done ? "done" : refusal.c_str()));
}

void SeedRun::OpRemoveDrive(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::RemoveDrive, letter, L"", 0, 0, 0, &refusal);
    if (done) {
        m_discPassphrase.erase(letter);
        m_exempt.erase(letter);
        ProbedWithoutFaults();  // the removal makes the client probe again
    }
    Log(Format("  remove %c: %s", static_cast<char>(letter), done ? "done" : refusal.c_str()));
}

void SeedRun::OpInsertEncrypted(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    // A passphrase of this seed's own, so that each can be looked for.
    std::mt19937 words(m_seed * 7919u + ++m_passphrases);
    std::wstring passphrase = L"ph";
    for (int i = 0; i < 14; ++i) passphrase += static_cast<wchar_t>(L'a' + words() % 26);
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::InsertEncrypted, letter, passphrase, 0, 0, 0, &refusal);
    if (done) {
        m_discPassphrase[letter] = passphrase;
        m_exempt.erase(letter);
    }
    Log(Format("  insert %c: encrypted: %s", static_cast<char>(letter), done ? "done" : refusal.c_str()));
    if (done) ExpectBox(letter);
}

void SeedRun::OpInsertPlain(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::InsertPlain, letter, L"", 0, 0, 0, &refusal);
    if (done) m_exempt.erase(letter);
    Log(Format("  insert %c: plain: %s", static_cast<char>(letter), done ? "done" : refusal.c_str()));
}

void SeedRun::OpTakeOut(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Eject, letter, L"", 0, 0, 0, &refusal);
    if (done) {
        m_discPassphrase.erase(letter);
        // Nothing tells the client; a box that waits stays until answered.
        if (LoginBoxes().count(letter)) m_exempt.insert(letter);
    }
    Log(Format("  take out the disc of %c: by hand: %s", static_cast<char>(letter), done ? "done" : refusal.c_str()));
}

void SeedRun::OpSignal(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    // A signal with no encrypted disc in (a driver's mistake, or a disc
    // taken out before its box came) brings a box that stands for no disc.
    if (const auto drive = SimDrive(letter); drive && drive->disc != vnk::sim::Disc::Encrypted) m_exempt.insert(letter);
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Signal, letter, L"", 0, 0, 0, &refusal);
    Log(Format("  signal %c: %s", static_cast<char>(letter), done ? "done" : refusal.c_str()));
    if (done) ExpectBox(letter);
}

void SeedRun::Type(HWND box, const std::wstring& text, bool paste) {
    HWND edit = ::GetDlgItem(box, IDC_PASSPHRASE);
    if (!paste) {
        for (wchar_t unit : text) ::PostMessageW(edit, WM_CHAR, unit, 1);
        return;
    }
    if (!::OpenClipboard(nullptr)) return;
    ::EmptyClipboard();
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        std::memcpy(::GlobalLock(memory), text.c_str(), bytes);
        ::GlobalUnlock(memory);
        if (!::SetClipboardData(CF_UNICODETEXT, memory)) ::GlobalFree(memory);
    }
    ::CloseClipboard();
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(edit, WM_PASTE, 0, 0, SMTO_NORMAL, 5000, &result);
    // A careful person does not leave a passphrase on the clipboard.
    if (::OpenClipboard(nullptr)) {
        ::EmptyClipboard();
        ::CloseClipboard();
    }
}

void SeedRun::OpLogin(const Draw& d) {
    const bool right = d.a % 3 != 0;
    const bool paste = d.b % 4 == 0;
    HWND box = BoxFor(Letter(d));
    if (box == nullptr) {
        Log("  login: no box is up");
        return;
    }
    const wchar_t letter = TitleOf(box)[std::wcslen(kBoxPrefix)];
    std::wstring secret;
    const auto it = m_discPassphrase.find(letter);
    if (right && it != m_discPassphrase.end()) {
        secret = it->second;
    } else {
        std::mt19937 words(m_seed * 104729u + ++m_passphrases);
        secret = L"wr";
        for (int i = 0; i < 14; ++i) secret += static_cast<wchar_t>(L'a' + words() % 26);
    }
    m_typed.emplace_back(letter, secret);
    if (paste) m_pasted.insert(secret);
    Type(box, secret, paste);
    ::PostMessageW(::GetDlgItem(box, IDC_LOGIN), BM_CLICK, 0, 0);
    Log(Format("  login on %c: with the %s passphrase, %s", static_cast<char>(letter),
               secret == (it != m_discPassphrase.end() ? it->second : L"") ? "right" : "wrong",
               paste ? "pasted" : "typed"));
}

void SeedRun::OpEjectButton(const Draw& d) {
    HWND box = BoxFor(Letter(d));
    if (box == nullptr) {
        Log("  eject button: no box is up");
        return;
    }
    ::PostMessageW(::GetDlgItem(box, IDC_EJECT), BM_CLICK, 0, 0);
    Log(Format("  \"Eject disc\" on %c:", static_cast<char>(TitleOf(box)[std::wcslen(kBoxPrefix)])));
}

void SeedRun::OpCloseBox(const Draw& d) {
    HWND box = BoxFor(Letter(d));
    if (box == nullptr) {
        Log("  close box: no box is up");
        return;
    }
    const bool escape = d.a % 2 == 0;
    if (escape) {
        ::PostMessageW(::GetDlgItem(box, IDC_PASSPHRASE), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        ::PostMessageW(::GetDlgItem(box, IDC_PASSPHRASE), WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else {
        ::PostMessageW(box, WM_CLOSE, 0, 0);
    }
    Log(Format("  close the box of %c: with %s", static_cast<char>(TitleOf(box)[std::wcslen(kBoxPrefix)]),
               escape ? "Escape" : "its close button"));
}

void SeedRun::OpEmergencyLock(const Draw&) {
    HWND status = StatusWindow();
    Log("  Emergency Lock");
    std::atomic<bool> done{false};
    std::atomic<bool> answered{false};
    const DWORD boundMs = 120000;
    std::thread sender([&] {
        DWORD_PTR result = 0;
        answered = ::SendMessageTimeoutW(status, WM_COMMAND, ID_EMERGENCYLOCK, 0, SMTO_NORMAL, boundMs, &result) != 0;
        done = true;
    });
    std::set<wchar_t> named;
    const ULONGLONG deadline = ::GetTickCount64() + boundMs + 1000;
    while (!done && ::GetTickCount64() < deadline) {
        for (HWND box : MessageBoxes()) {
            if (TitleOf(box) != kLockIncomplete) continue;
            const auto text = ControlText(::GetDlgItem(box, 0xFFFF));
            if (!text) continue;
            for (size_t at = text->find(L"Drive "); at != std::wstring::npos; at = text->find(L"Drive ", at + 1))
                if (at + 7 < text->size() && (*text)[at + 7] == L':') named.insert((*text)[at + 6]);
            Log("    \"" + Narrow(*text) + "\"");
            ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
        ::Sleep(20);
    }
    sender.join();
    if (!answered) throw Violation(Format("Emergency Lock did not finish within %lu ms", boundMs));
    CheckLockedOrNamed("Emergency Lock", named);
}

void SeedRun::OpShowStatus(const Draw&) {
    static const UINT trayMessage = ::RegisterWindowMessageW(L"Varnok Client tray notification");
    HWND tray = TrayWindow();
    if (tray != nullptr)
        ::PostMessageW(tray, trayMessage, IDR_TRAYMENU, WM_LBUTTONDBLCLK);
    else
        ::PostMessageW(StatusWindow(), WM_COMMAND, ID_SHOWSTATUS, 0);
    const ULONGLONG deadline = ::GetTickCount64() + m_options.settleMs;
    HWND status = nullptr;
    while (::GetTickCount64() < deadline) {
        status = StatusWindow();
        if (status != nullptr && ::IsWindowVisible(status) && !::IsIconic(status)) break;
        status = nullptr;
        ::Sleep(20);
    }
    Log("  show the status window");
    if (status == nullptr) {
        // A message box of the main thread may keep it; nothing more to read.
        if (MessageBoxes().empty()) throw Violation("the status window did not come up");
        return;
    }
    // Showing the window starts a status read per drive on a thread of its
    // own, and the list is rebuilt as each answers: read it until it agrees
    // with the simulator or the settle bound has passed.
    const ULONGLONG settled = ::GetTickCount64() + m_options.settleMs;
    for (;;) {
        const auto before = SimDrives();
        const auto rows = ListRows(status);
        const auto after = SimDrives();
        const std::string wrong = ListDisagrees(rows, before, after);
        if (wrong.empty() || ::GetTickCount64() > settled) {
            std::string listed;
            for (const auto& [letter, text] : rows) listed += Format(" %c:%s", static_cast<char>(letter), Narrow(text).c_str());
            Log("    list:" + listed);
            if (!wrong.empty()) throw Violation(wrong);
            return;
        }
        ::Sleep(100);
    }
}

// The status window's list: the status text of each drive letter.
std::map<wchar_t, std::wstring> SeedRun::ListRows(HWND status) {
    HWND list = ::GetDlgItem(status, IDC_DRIVELIST);
    const size_t kUnits = 256;
    void* remote = ::VirtualAllocEx(m_client.Get(), nullptr, sizeof(LVITEMW) + kUnits * 2, MEM_COMMIT | MEM_RESERVE,
                                    PAGE_READWRITE);
    if (remote == nullptr) throw Violation("cannot read the client's list (no memory in its process)");
    std::map<wchar_t, std::wstring> rows;
    const auto text = [&](int item, int column) {
        LVITEMW request{};
        request.iSubItem = column;
        request.cchTextMax = static_cast<int>(kUnits);
        request.pszText = reinterpret_cast<wchar_t*>(static_cast<BYTE*>(remote) + sizeof(LVITEMW));
        wchar_t units[kUnits] = {};
        DWORD_PTR copied = 0;
        if (::WriteProcessMemory(m_client.Get(), remote, &request, sizeof request, nullptr) &&
            ::SendMessageTimeoutW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG,
                                  5000, &copied))
            ::ReadProcessMemory(m_client.Get(), static_cast<BYTE*>(remote) + sizeof(LVITEMW), units,
                                sizeof units - sizeof(wchar_t), nullptr);
        return std::wstring(units);
    };
    DWORD_PTR count = 0;
    ::SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count);
    for (int i = 0; i < static_cast<int>(count); ++i) {
        const std::wstring letter = text(i, 0);
        if (letter.size() == 2) rows[letter[0]] = text(i, 1);
    }
    ::VirtualFreeEx(m_client.Get(), remote, 0, MEM_RELEASE);
    return rows;
}

// Empty when the list names exactly the simulator's CD/DVD drives, and each
// drive that nothing was done to (the same status before and after the
// list was read) and that has no box up shows the status the driver
// reports; otherwise what disagrees.
std::string SeedRun::ListDisagrees(const std::map<wchar_t, std::wstring>& rows,
                                   const std::vector<vnk::sim::DriveState>& before,
                                   const std::vector<vnk::sim::DriveState>& after) const {
    if (!m_dirty.empty() || m_everyDriveFaults || m_simRestarted || m_unprobedAll) return {};
    std::set<wchar_t> expected;
    for (const auto& d : after)
        if (d.present && d.driveType == DRIVE_CDROM && !m_unprobed.count(d.letter)) expected.insert(d.letter);
    std::set<wchar_t> shown;
    for (const auto& [letter, unused] : rows)
        if (!m_unprobed.count(letter)) shown.insert(letter);
    if (shown != expected) {
        std::string listed, want;
        for (const auto& [letter, text] : rows) listed += Format(" %c:%s", static_cast<char>(letter), Narrow(text).c_str());
        for (wchar_t letter : expected) want += Format(" %c:", static_cast<char>(letter));
        return "the client lists" + listed + " but the simulator has the drives" + want;
    }
    const auto boxes = LoginBoxes();
    for (const auto& d : after) {
        const auto was = std::find_if(before.begin(), before.end(), [&](auto& b) { return b.letter == d.letter; });
        const auto row = rows.find(d.letter);
        if (row == rows.end() || boxes.count(d.letter) || was == before.end() || was->status != d.status ||
            d.status > 5)
            continue;
        wchar_t expect[128] = {};
        ::LoadStringW(nullptr, IDS_STATUS_NO_DISC + d.status, expect, 128);
        if (row->second != expect)
            return Format("the client shows drive %c: as \"%s\", the driver says \"%s\"", static_cast<char>(d.letter),
                          Narrow(row->second).c_str(), Narrow(expect).c_str());
    }
    return {};
}

void SeedRun::OpHideStatus(const Draw&) {
    HWND status = StatusWindow();
    if (status == nullptr || !::IsWindowVisible(status)) {
        Log("  hide the status window: not shown");
        return;
    }
    ::PostMessageW(::GetDlgItem(status, IDOK), BM_CLICK, 0, 0);
    Log("  hide the status window (OK)");
}

// Device-change messages as any program can send them to the window, with
// records right, short, of other types, or none.
void SeedRun::OpDeviceChange(const Draw& d) {
    HWND status = StatusWindow();
    struct {
        DEV_BROADCAST_DEVICEINTERFACE_W header;
        wchar_t rest[64];
    } record{};
    record.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record.header.dbcc_classguid = {0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    std::wcscpy(record.header.dbcc_name, L"\\\\?\\forged");
    const DWORD fullSize = sizeof record;
    WPARAM event = DBT_DEVNODES_CHANGED;
    LPARAM data = 0;
    const char* what = "";
    switch (d.a % 7) {
        case 0: what = "device nodes changed"; break;
        case 1:
            event = DBT_DEVICEARRIVAL, data = reinterpret_cast<LPARAM>(&record), record.header.dbcc_size = fullSize;
            what = "a CD-ROM arrival with no drive behind it";
            break;
        case 2:
            event = DBT_DEVICEREMOVECOMPLETE, data = reinterpret_cast<LPARAM>(&record), record.header.dbcc_size = fullSize;
            what = "a CD-ROM removal with no drive gone";
            break;
        case 3:
            event = DBT_DEVICEARRIVAL, data = reinterpret_cast<LPARAM>(&record), record.header.dbcc_size = 8;
            what = "an arrival with a record too short";
            break;
        case 4:
            event = DBT_DEVICEREMOVECOMPLETE, data = reinterpret_cast<LPARAM>(&record),
            record.header.dbcc_size = 12 + d.b % 16;
            what = "a removal with a record too short";
            break;
        case 5: {
            event = DBT_DEVICEREMOVECOMPLETE, data = reinterpret_cast<LPARAM>(&record);
            auto* volume = reinterpret_cast<DEV_BROADCAST_VOLUME*>(&record);
            volume->dbcv_size = sizeof(DEV_BROADCAST_VOLUME);
            volume->dbcv_devicetype = DBT_DEVTYP_VOLUME;
            volume->dbcv_unitmask = 1u << (Letter(d) - L'A');
            volume->dbcv_flags = DBTF_MEDIA;
            what = "a volume's removal";
            break;
        }
        default:
            event = 0x8000 | (d.b % 0x20), data = reinterpret_cast<LPARAM>(&record), record.header.dbcc_size = fullSize;
            what = "an event of another kind";
            break;
    }
    Log(Format("  device change to the status window: %s (0x%lx)", what, static_cast<unsigned long>(event)));
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(status, WM_DEVICECHANGE, event, data, SMTO_NORMAL, 30000, &result);
}

void SeedRun::OpFail(const Draw& d) {
    static const DWORD errors[] = {ERROR_ACCESS_DENIED, ERROR_NOT_READY, ERROR_SHARING_VIOLATION, ERROR_IO_DEVICE,
                                   ERROR_GEN_FAILURE, ERROR_FILE_NOT_FOUND, ERROR_INVALID_FUNCTION};
    const wchar_t letter = PresentLetter(d);
    const DWORD kind = d.a % 10;
    const DWORD error = errors[d.b % std::size(errors)];
    const DWORD count = d.c % 4 == 0 ? kForever : 1 + d.c % 3;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Fail, letter, L"", kind, error, count, &refusal);
    if (done) Dirty(letter);
    Log(Format("  fail %c: %ls %lu %s: %s", static_cast<char>(letter), vnk::sim::kFaultNames[kind].data(), error,
               count == kForever ? "forever" : std::to_string(count).c_str(), done ? "done" : refusal.c_str()));
}

void SeedRun::OpDelay(const Draw& d) {
    static const DWORD delays[] = {50, 200, 600, 1500, 3000};
    // Now and then every drive, present and future.
    const wchar_t letter = d.c % 8 == 0 ? 0 : PresentLetter(d);
    const DWORD kind = d.a % 10;
    const DWORD ms = delays[d.b % std::size(delays)];
    const DWORD count = d.c % 5 == 0 ? kForever : 1 + d.c % 3;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Delay, letter, L"", kind, ms, count, &refusal);
    if (done) {
        if (letter == 0) m_everyDriveFaults = true;
        else Dirty(letter);
    }
    Log(Format("  delay %c: %ls by %lu ms, %s: %s", letter == 0 ? '*' : static_cast<char>(letter),
               vnk::sim::kFaultNames[kind].data(), ms, count == kForever ? "forever" : std::to_string(count).c_str(),
               done ? "done" : refusal.c_str()));
}

void SeedRun::OpStall(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    const DWORD kind = d.a % 10;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Stall, letter, L"", kind, 0, 0, &refusal);
    if (done) {
        Dirty(letter);
        m_stalled = true;
    }
    Log(Format("  stall %c: %ls: %s", static_cast<char>(letter), vnk::sim::kFaultNames[kind].data(),
               done ? "done" : refusal.c_str()));
}

void SeedRun::OpRelease(const Draw&) {
    Sim(vnk::sim::Op::Release, 0);
    m_stalled = false;
    Log("  release every stalled call");
}

void SeedRun::OpClearFaults(const Draw&) {
    for (DWORD kind = 0; kind < vnk::sim::kFaultNames.size(); ++kind) Sim(vnk::sim::Op::Delay, 0, L"", kind, 0, 0);
    for (wchar_t letter : m_dirty) {
        for (DWORD kind = 0; kind < vnk::sim::kFaultNames.size(); ++kind) {
            Sim(vnk::sim::Op::Fail, letter, L"", kind, 0, 0);
            Sim(vnk::sim::Op::Delay, letter, L"", kind, 0, 0);
        }
        Sim(vnk::sim::Op::Hold, letter, L"", 0);
    }
    Sim(vnk::sim::Op::Release, 0);
    m_unprobed.insert(m_dirty.begin(), m_dirty.end());
    m_unprobedAll = m_unprobedAll || m_everyDriveFaults;
    m_dirty.clear();
    m_everyDriveFaults = false;
    m_stalled = false;
    Log("  clear every fault, hold and stall");
}

void SeedRun::OpHold(const Draw& d) {
    const wchar_t letter = PresentLetter(d);
    const bool on = d.a % 2 == 0;
    std::string refusal;
    const bool done = Sim(vnk::sim::Op::Hold, letter, L"", on ? 1 : 0, 0, 0, &refusal);
    if (done) Dirty(letter);
    Log(Format("  hold %c: %s: %s", static_cast<char>(letter), on ? "on" : "off", done ? "done" : refusal.c_str()));
}

void SeedRun::OpSlowWindow(const Draw& d) {
    static const DWORD delays[] = {0, 200, 1500, 6000};
    const DWORD ms = delays[d.a % std::size(delays)];
    m_slow->SetDelay(ms);
    Log(Format("  another program's window takes %lu ms over each device change", ms));
}

void SeedRun::OpAnswerBoxes(const Draw&) {
    const auto boxes = MessageBoxes();
    for (HWND box : boxes) {
        const auto text = ControlText(::GetDlgItem(box, 0xFFFF));
        Log("  answer \"" + Narrow(TitleOf(box)) + "\": \"" + Narrow(text.value_or(L"?")) + "\"");
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    if (boxes.empty()) Log("  answer message boxes: none is up");
}

void SeedRun::OpPause(const Draw& d) {
    const DWORD ms = d.a % 1500;
    Log(Format("  pause %lu ms", ms));
    ::Sleep(ms);
}

// The end of the session as the system brings it: the question, the
// notice, then the process is ended.
void SeedRun::OpSessionEnd(const Draw&) {
    HWND status = StatusWindow();
    Log("  the session ends");
    const size_t from = m_traceFrom;
    DWORD_PTR result = 0;
    // The window does the session's lock pass inside WM_ENDSESSION, as it
    // must, and answers nothing else meanwhile.
    CheckAnswers();
    m_pinger->Watch(nullptr);
    ::SendMessageTimeoutW(status, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &result);
    if (!::SendMessageTimeoutW(status, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 60000, &result))
        throw Violation("the status window did not finish with the session's end within 60 s");
    ::Sleep(100);  // the trace lines of the pass reach the listener
    m_client.Kill();
    CheckLockedOrNamed("the session's end", TracedNotLocked("Varnokd: OnEndSession", from));
    CheckTrace();
    StartClient();
}

void SeedRun::OpExit(const Draw&) {
    ExitClient();
    StartClient();
}

void SeedRun::ExitClient() {
    HWND status = StatusWindow();
    Log("  Exit");
    const size_t from = m_traceFrom;
    CheckMemory();
    // The shutdown waits for the drives' threads and ejects: Exit has a
    // bound of its own.
    CheckAnswers();
    m_pinger->Watch(nullptr);
    ::PostMessageW(status, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
    // A message box that is up (a probe's warning, say) holds the main
    // thread until it is answered; the person answers it.
    const ULONGLONG asked = ::GetTickCount64();
    while (!m_client.WaitForExit(200)) {
        if (::GetTickCount64() - asked > kExitBoundMs)
            throw Violation(Format("Exit did not end the client within %lu ms", kExitBoundMs));
        if (::GetTickCount64() - asked < 2000) continue;
        for (HWND box : MessageBoxes()) {
            Log("    answer \"" + Narrow(TitleOf(box)) + "\" so that Exit can go on");
            ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
    }
    if (m_client.ExitCode() >= 0xC0000000) throw Violation(Format("the client crashed on Exit (0x%lx)", m_client.ExitCode()));
    ::Sleep(100);
    CheckLockedOrNamed("Exit", TracedNotLocked("VNKDCleanup", from));
    CheckTrace();
}

void SeedRun::OpSecondInstance(const Draw&) {
    Log("  a second instance");
    Program second(ProgramPath(L"VarnokdSim.exe"), L"");
    if (!second.Started()) throw Violation("the second instance does not start");
    if (!second.WaitForExit(kExitBoundMs)) throw Violation("the second instance did not end");
}

void SeedRun::OpRestartSimulator(const Draw&) {
    std::wstring cdroms, others;
    for (const auto& d : SimDrives()) {
        if (!d.present) continue;
        (d.driveType == DRIVE_CDROM ? cdroms : others) += d.letter;
    }
    Log("  the simulator is killed and started again with drives " + Narrow(cdroms));
    StartSimulator(cdroms);
    for (wchar_t letter : others) Sim(vnk::sim::Op::AddDrive, letter, L"", DRIVE_FIXED);
    // Its drives are empty and know no announcement: boxes up now belong to
    // discs that are gone, and nothing tells the client.
    for (const auto& [letter, box] : LoginBoxes()) m_exempt.insert(letter);
    m_discPassphrase.clear();
    m_dirty.clear();
    m_everyDriveFaults = false;
    m_stalled = false;
    m_simRestarted = true;
}

// ---- The run ------------------------------------------------------------------------

void SeedRun::SaveEvidence() {
    MakeFolders(m_folder);
    SaveScreen(m_folder + L"\\screenshot.bmp");
    std::string trace;
    for (const auto& line : m_trace.Lines())
        trace += Format("%8.3f s  %5lu  ", static_cast<double>(line.tick - m_start) / 1000.0, line.pid) + line.text + "\n";
    WriteText(m_folder + L"\\client-trace.txt", trace);
}

void SeedRun::Finish() {
    if (m_client.Running()) {
        if (HWND status = StatusWindow()) ::PostMessageW(status, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
        if (!m_client.WaitForExit(5000)) m_client.Kill();
    }
    m_client.Kill();
    Sim(vnk::sim::Op::Quit, 0);
    if (!m_sim.WaitForExit(5000)) m_sim.Kill();
    m_slow.reset();
}

std::optional<std::string> SeedRun::Run() {
    m_start = ::GetTickCount64();
    m_trace.Clear();
    m_folder = m_options.outDir + L"\\" + std::to_wstring(m_seed);
    RemoveFolder(m_folder);
    MakeFolders(m_folder);
    m_pipeName = L"VarnokChaos-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(m_seed);
    ::SetEnvironmentVariableW(L"VARNOK_SIM_PIPE", m_pipeName.c_str());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    m_logFile = Handle(::CreateFileW((m_folder + L"\\steps.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     CREATE_ALWAYS, 0, nullptr));
    m_simOutput = Handle(::CreateFileW((m_folder + L"\\simulator.log").c_str(), GENERIC_WRITE | FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr));

    // The seed's drives: a pool of letters anywhere from A to Z, a few of
    // them plugged in at the start.
    std::wstring letters = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::shuffle(letters.begin(), letters.end(), m_rng);
    m_pool = letters.substr(0, 3 + m_rng() % 6);
    const std::wstring initial = m_pool.substr(0, 1 + m_rng() % 3);
    std::vector<Draw> draws(m_options.steps);
    const auto& ops = Ops();
    unsigned total = 0;
    for (const auto& op : ops) total += op.weight;
    for (auto& draw : draws) {
        unsigned pick = m_rng() % total;
        draw.op = 0;
        while (pick >= ops[draw.op].weight) pick -= ops[draw.op++].weight;
        draw.letter = m_rng() % 64;
        draw.a = m_rng();
        draw.b = m_rng();
        draw.c = m_rng();
    }

    Log(Format("seed %lu: %u steps, drives %s at the start, letters %s", static_cast<unsigned long>(m_seed),
               m_options.steps, Narrow(initial).c_str(), Narrow(m_pool).c_str()));
    // The seed's time limit: past it, the evidence is saved and the
    // programs are ended, which ends whatever the run waits for.
    Handle finished(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const DWORD limitMs = m_options.seedLimitMs != 0 ? m_options.seedLimitMs : 60000 + 4000 * m_options.steps;
    std::thread watchdog([&] {
        if (::WaitForSingleObject(finished.get(), limitMs) != WAIT_TIMEOUT) return;
        m_timedOut = true;
        const std::string why = Format("the seed ran past its time limit of %lu s", limitMs / 1000);
        Log("FAILED: " + why);
        SaveEvidence();
        std::lock_guard lock(m_processMutex);
        if (m_client.Running()) ::TerminateProcess(m_client.Get(), 98);
        if (m_sim.Running()) ::TerminateProcess(m_sim.Get(), 98);
    });
    std::optional<std::string> failure;
    try {
        m_slow.emplace();
        m_pinger.emplace(m_options.nullBoundMs);
        StartSimulator(initial);
        StartClient();
        CheckAll(false);
        for (m_step = 1; m_step <= m_options.steps; ++m_step) {
            if (!m_options.only.empty() && m_options.only.count(m_step) == 0) continue;
            const Draw& draw = draws[m_step - 1];
            const Op& op = ops[draw.op];
            if (!m_options.stalls && op.run == &SeedRun::OpStall) continue;
            Log(Format("step %u: %s", m_step, op.name));
            (this->*op.run)(draw);
            CheckAll(m_step % 10 == 0);
            ++m_stepsDone;
        }
        Log("end: Emergency Lock, then Exit");
        OpClearFaults({});
        OpEmergencyLock({});
        CheckAll(true);
        ExitClient();
        Log(Format("%zu trace lines", m_trace.Count()));
    } catch (const Violation& violation) {
        failure = Format("step %u: ", m_step) + (m_timedOut ? std::string("the seed ran past its time limit (the "
                                                                            "client or the simulator hung)")
                                                            : std::string(violation.what()));
        Log("FAILED: " + *failure);
    } catch (const std::exception& error) {
        failure = m_timedOut ? Format("step %u: the seed ran past its time limit", m_step)
                             : Format("step %u: the run itself failed: ", m_step) + error.what();
        Log("FAILED: " + *failure);
    }
    if (m_timedOut && !failure) failure = Format("step %u: the seed ran past its time limit", m_step);
    if (failure && !m_timedOut) SaveEvidence();
    ::SetEvent(finished.get());
    watchdog.join();
    Finish();
    m_simOutput.reset();
    m_logFile.reset();
    if (!failure && !m_options.keepPassing) {
        RemoveFolder(m_folder);
    }
    return failure;
}

// ---- main ---------------------------------------------------------------------------

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

int wmain(int argc, wchar_t** argv) {
    const auto options = Parse(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: chaos_driver [--seed N | --first-seed N --seeds K] [--steps S] [--minutes M]\n"
                     "                    [--only I,J,...] [--null-bound MS] [--box-bound MS] [--settle MS]\n"
                     "                    [--out DIR] [--replay-prefix TEXT] [--no-stalls] [--keep]\n");
        return 2;
    }
    TraceListener trace;
    if (!trace.Works()) std::fprintf(stderr, "chaos: the debug output cannot be read; trace checks are off\n");
    const ULONGLONG start = ::GetTickCount64();
    unsigned done = 0, failed = 0, steps = 0;
    std::vector<std::string> failures;
    for (unsigned i = 0; i < options->seeds; ++i) {
        if (options->minutes > 0 && static_cast<double>(::GetTickCount64() - start) / 60000.0 >= options->minutes) break;
        const std::uint32_t seed = options->firstSeed + i;
        std::printf("chaos: seed %lu ...", static_cast<unsigned long>(seed));
        std::fflush(stdout);
        SeedRun run(*options, seed, trace);
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
            const std::string replay = Format("%s --seed %lu --steps %u%s%s", options->replayPrefix.c_str(),
                                              static_cast<unsigned long>(seed), options->steps,
                                              onlyList.empty() ? "" : " --only ", onlyList.c_str());
            std::printf(" FAILED (%.1f s)\nchaos: seed %lu: %s\nchaos: evidence in %ls\\%lu\nchaos: replay: %s\n",
                        seconds, static_cast<unsigned long>(seed), failure->c_str(), options->outDir.c_str(),
                        static_cast<unsigned long>(seed), replay.c_str());
            failures.push_back(Format("seed %lu: ", static_cast<unsigned long>(seed)) + *failure + "  (replay: " + replay + ")");
        }
        std::fflush(stdout);
    }
    const double minutes = static_cast<double>(::GetTickCount64() - start) / 60000.0;
    std::printf("chaos: %u seeds, %u steps, %u failed, %.1f minutes, %.2f seeds per minute\n", done, steps, failed,
                minutes, minutes > 0 ? done / minutes : 0.0);
    for (const auto& line : failures) std::printf("chaos: failure: %s\n", line.c_str());
    return failed == 0 ? 0 : 1;
}
