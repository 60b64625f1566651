// The product executable as a process: one instance per session, the hand
// over to a running instance, and the end by Exit.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "res/resource.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

std::wstring ProductPath() { return ProgramPath(L"Varnokd.exe"); }

struct Process {
    PROCESS_INFORMATION info{};
    explicit Process(const std::wstring& path) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        std::wstring command = L"\"" + path + L"\"";
        ok = ::CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &info) != FALSE;
    }
    ~Process() {
        if (!ok) return;
        if (::WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) ::TerminateProcess(info.hProcess, 99);
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
    bool Ended(DWORD timeoutMs = kWatchdogMs) const {
        return PumpUntil([this] { return ::WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0; }, timeoutMs);
    }
    bool ok = false;
};

HWND StatusWindowOf(DWORD processId) {
    for (HWND w = ::FindWindowExW(nullptr, nullptr, nullptr, L"Varnok Status"); w != nullptr;
         w = ::FindWindowExW(nullptr, w, nullptr, L"Varnok Status")) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(w, &pid);
        if (pid == processId) return w;
    }
    return nullptr;
}

TEST(AppProcessTest, SecondInstanceBringsTheFirstUpAndEnds) {
    Process first(ProductPath());
    ASSERT_TRUE(first.ok) << "cannot start Varnokd.exe";
    HWND window = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        window = StatusWindowOf(first.info.dwProcessId);
        // Minimised and hidden: it has gone behind its tray icon.
        return window != nullptr && ::IsIconic(window) && !::IsWindowVisible(window);
    })) << "the status window did not hide behind its tray icon";

    Process second(ProductPath());
    ASSERT_TRUE(second.ok);
    ASSERT_TRUE(second.Ended());
    EXPECT_EQ(StatusWindowOf(second.info.dwProcessId), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return ::IsWindowVisible(window) != FALSE; }));
    EXPECT_FALSE(::IsIconic(window));

    // Exit from the tray menu ends the process promptly.
    ::PostMessageW(window, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
    ASSERT_TRUE(first.Ended());
}

TEST(AppProcessTest, MarkerWithoutAWindowEndsTheNewInstanceSilently) {
    HANDLE marker = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                         L"{DCDF2ADB-AC4B-4b2d-889C-0C84AD8EA74F}");
    ASSERT_NE(marker, nullptr);
    Process started(ProductPath());
    ASSERT_TRUE(started.ok);
    ASSERT_TRUE(started.Ended());
    EXPECT_EQ(StatusWindowOf(started.info.dwProcessId), nullptr);
    ::CloseHandle(marker);
}

}  // namespace
}  // namespace vnk::test
