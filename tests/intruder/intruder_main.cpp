// VarnokIntruder: another program of the same user on the desktop, for the
// tests. It does to a running client what any program could: messages to
// its windows and threads, handles to its threads, the single-instance
// marker's name, the clipboard. One command per run.
//   exit 0: done (for open-threads: nothing was granted; for clipboard-has:
//   the clipboard holds the text); other codes as each command says.
#include <windows.h>
#include <dbt.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "fw/handles.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitNo = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNothingFound = 3;

constexpr wchar_t kUsage[] =
    L"usage: VarnokIntruder COMMAND\n"
    L"  windows PID                 WM_INITDIALOG, WM_NCCREATE and WM_CREATE with a forged pointer to every\n"
    L"                              window of the process, children included\n"
    L"  post-threads PID MSG WPARAM posts the thread message to every thread of the process\n"
    L"  send HWND MSG WPARAM LPARAM sends the window message (at most 5 s); exit 0 when it was delivered\n"
    L"  post HWND MSG WPARAM LPARAM posts the window message; exit 0 when it was posted\n"
    L"  cdrom-arrival HWND          sends the window a CD-ROM interface's arrival and then a device-node change,\n"
    L"                              as the system announces a drive plugged in\n"
    L"  cdrom-removal HWND          sends the window a CD-ROM interface's removal, as for a drive unplugged\n"
    L"  open-token PID              opens the process's token to replace its default DACL; exit 0 when refused,\n"
    L"                              1 when granted\n"
    L"  open-threads PID            opens every thread with suspend, context and terminate rights; exit 0 when\n"
    L"                              all were refused, 1 when one was granted\n"
    L"  squat                       makes the client's single-instance marker and holds it until ended\n"
    L"  clipboard-set TEXT          puts TEXT on the clipboard\n"
    L"  clipboard-has TEXT          exit 0 when the clipboard holds exactly TEXT, 1 otherwise\n";

// What a forged creation message carries: an address no object of the
// client lives at (on either target), which the client must never take.
constexpr LONG_PTR kForgedPointer = static_cast<LONG_PTR>(0x41414141);

std::vector<DWORD> ThreadsOf(DWORD processId) {
    std::vector<DWORD> threads;
    const vnk::fw::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return threads;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == processId) threads.push_back(entry.th32ThreadID);
    return threads;
}

struct WindowsOf {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM param) {
    reinterpret_cast<WindowsOf*>(param)->windows.push_back(hwnd);
    return TRUE;
}

BOOL CALLBACK CollectTop(HWND hwnd, LPARAM param) {
    auto* found = reinterpret_cast<WindowsOf*>(param);
    DWORD process = 0;
    ::GetWindowThreadProcessId(hwnd, &process);
    if (process != found->processId) return TRUE;
    found->windows.push_back(hwnd);
    ::EnumChildWindows(hwnd, &CollectChild, param);
    return TRUE;
}

int ForgeCreationMessages(DWORD processId) {
    WindowsOf found{processId, {}};
    ::EnumWindows(&CollectTop, reinterpret_cast<LPARAM>(&found));
    if (found.windows.empty()) return kExitNothingFound;
    CREATESTRUCTW create{};
    create.lpCreateParams = reinterpret_cast<void*>(kForgedPointer);
    create.lpszName = L"forged";
    create.lpszClass = L"forged";
    for (HWND hwnd : found.windows) {
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(hwnd, WM_INITDIALOG, 0, kForgedPointer, SMTO_ABORTIFHUNG, 5000, &result);
        ::SendMessageTimeoutW(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create), SMTO_ABORTIFHUNG, 5000, &result);
        ::SendMessageTimeoutW(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create), SMTO_ABORTIFHUNG, 5000, &result);
    }
    std::wprintf(L"%zu windows\n", found.windows.size());
    return kExitDone;
}

int PostToThreads(DWORD processId, UINT message, WPARAM wParam) {
    const std::vector<DWORD> threads = ThreadsOf(processId);
    size_t posted = 0;
    for (DWORD thread : threads)
        if (::PostThreadMessageW(thread, message, wParam, 0)) ++posted;
    std::wprintf(L"posted to %zu of %zu threads\n", posted, threads.size());
    return posted > 0 ? kExitDone : kExitNothingFound;
}

// A window message, as any program of the user can send or post one to
// any window of the desktop. Numbers are read with base 0 (0x.. hex).
int SendToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result)) return kExitNo;
    std::wprintf(L"answered 0x%llx\n", static_cast<unsigned long long>(result));
    return kExitDone;
}

int PostToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageW(window, message, wParam, lParam) ? kExitDone : kExitNo;
}

// A CD-ROM interface's arrival or removal, with the record the system
// sends along.
bool SendCdRomNotice(HWND window, WPARAM event) {
    static constexpr GUID kCdRomInterface = {0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
    DEV_BROADCAST_DEVICEINTERFACE_W record{};
    record.dbcc_size = sizeof record;
    record.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record.dbcc_classguid = kCdRomInterface;
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&record), SMTO_ABORTIFHUNG,
                                 5000, &result) != 0;
}

int CdRomArrival(HWND window) {
    if (!SendCdRomNotice(window, DBT_DEVICEARRIVAL)) return kExitNo;
    return SendToWindow(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
}

int CdRomRemoval(HWND window) { return SendCdRomNotice(window, DBT_DEVICEREMOVECOMPLETE) ? kExitDone : kExitNo; }

// With the token's TOKEN_ADJUST_DEFAULT another program could give every
// object the client makes from then on a DACL of its choosing.
int OpenToken(DWORD processId) {
    const vnk::fw::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return kExitDone;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process.get(), TOKEN_ADJUST_DEFAULT, &token)) return kExitDone;
    ::CloseHandle(token);
    std::wprintf(L"the token opened for TOKEN_ADJUST_DEFAULT\n");
    return kExitNo;
}

int OpenThreads(DWORD processId) {
    const std::vector<DWORD> threads = ThreadsOf(processId);
    if (threads.empty()) return kExitNothingFound;
    const DWORD rights[] = {THREAD_SUSPEND_RESUME, THREAD_GET_CONTEXT, THREAD_SET_CONTEXT, THREAD_TERMINATE};
    int granted = 0;
    for (DWORD thread : threads) {
        for (DWORD right : rights) {
            const vnk::fw::UniqueHandle opened(::OpenThread(right, FALSE, thread));
            if (opened) {
                std::wprintf(L"thread %lu: right 0x%lx granted\n", thread, right);
                ++granted;
            }
        }
    }
    std::wprintf(L"%zu threads, %d rights granted\n", threads.size(), granted);
    return granted == 0 ? kExitDone : kExitNo;
}

int Squat() {
    const vnk::fw::UniqueHandle marker(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                                            L"{DCDF2ADB-AC4B-4b2d-889C-0C84AD8EA74F}"));
    if (!marker) return kExitNo;
    std::wprintf(L"holding the marker\n");
    std::fflush(stdout);
    ::Sleep(INFINITE);  // until the test ends this process
    return kExitDone;
}

bool OpenClipboardSoon() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (::OpenClipboard(nullptr)) return true;
        ::Sleep(20);
    }
    return false;
}

int SetClipboard(const wchar_t* text) {
    if (!OpenClipboardSoon()) return kExitNo;
    ::EmptyClipboard();
    const size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool set = false;
    if (memory != nullptr) {
        std::memcpy(::GlobalLock(memory), text, bytes);
        ::GlobalUnlock(memory);
        set = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
        if (!set) ::GlobalFree(memory);
    }
    ::CloseClipboard();
    return set ? kExitDone : kExitNo;
}

int ClipboardHas(const wchar_t* text) {
    if (!OpenClipboardSoon()) return kExitNothingFound;
    bool equal = false;
    if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* held = static_cast<const wchar_t*>(::GlobalLock(data))) {
            const size_t limit = ::GlobalSize(data) / sizeof(wchar_t);
            equal = ::wcsnlen(held, limit) == std::wcslen(text) && std::wcsncmp(held, text, limit) == 0;
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    return equal ? kExitDone : kExitNo;
}

bool Number(const wchar_t* text, unsigned long& value) {
    wchar_t* end = nullptr;
    value = std::wcstoul(text, &end, 0);
    return end != text && *end == L'\0';
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    unsigned long pid = 0, message = 0, wParam = 0;
    if (command == L"windows" && argc == 3 && Number(argv[2], pid)) return ForgeCreationMessages(pid);
    if (command == L"post-threads" && argc == 5 && Number(argv[2], pid) && Number(argv[3], message) &&
        Number(argv[4], wParam))
        return PostToThreads(pid, message, wParam);
    unsigned long long window = 0, lParam = 0;
    const auto wide = [](const wchar_t* text, unsigned long long& value) {
        wchar_t* end = nullptr;
        value = std::wcstoull(text, &end, 0);
        return end != text && *end == L'\0';
    };
    if ((command == L"send" || command == L"post") && argc == 6 && wide(argv[2], window) &&
        Number(argv[3], message) && Number(argv[4], wParam) && wide(argv[5], lParam)) {
        const auto hwnd = reinterpret_cast<HWND>(static_cast<UINT_PTR>(window));
        const auto l = static_cast<LPARAM>(lParam);
        return command == L"send" ? SendToWindow(hwnd, message, wParam, l) : PostToWindow(hwnd, message, wParam, l);
    }
    if (command == L"cdrom-arrival" && argc == 3 && wide(argv[2], window))
        return CdRomArrival(reinterpret_cast<HWND>(static_cast<UINT_PTR>(window)));
    if (command == L"cdrom-removal" && argc == 3 && wide(argv[2], window))
        return CdRomRemoval(reinterpret_cast<HWND>(static_cast<UINT_PTR>(window)));
    if (command == L"open-token" && argc == 3 && Number(argv[2], pid)) return OpenToken(pid);
    if (command == L"open-threads" && argc == 3 && Number(argv[2], pid)) return OpenThreads(pid);
    if (command == L"squat" && argc == 2) return Squat();
    if (command == L"clipboard-set" && argc == 3) return SetClipboard(argv[2]);
    if (command == L"clipboard-has" && argc == 3) return ClipboardHas(argv[2]);
    std::fputws(kUsage, stderr);
    return kExitUsage;
}
