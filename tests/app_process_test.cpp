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

HWND StatusWindowOf(DWORD processId) { return TopWindowOf(processId, L"Varnok Status"); }

// A test whose program cannot be started must say why, or a failure that
// comes and goes cannot be told apart from a missing build.
TEST(AppProcessTest, AProgramThatCannotStartSaysWhy) {
    const Process missing(ProgramPath(L"NoSuchProgram.exe"), L"");
    EXPECT_FALSE(missing.Started());
    EXPECT_EQ(missing.StartError().rfind(L"error 2: ", 0), 0u) << missing.StartError();
}

TEST(AppProcessTest, SecondInstanceBringsTheFirstUpAndEnds) {
    Process first(ProductPath(), L"");
    ASSERT_TRUE(first.Started()) << "cannot start Varnokd.exe: " << first.StartError();
    HWND window = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        window = StatusWindowOf(first.Id());
        // Minimised and hidden: it has gone behind its tray icon.
        return window != nullptr && ::IsIconic(window) && !::IsWindowVisible(window);
    })) << "the status window did not hide behind its tray icon";

    Process second(ProductPath(), L"");
    ASSERT_TRUE(second.Started()) << second.StartError();
    ASSERT_TRUE(second.WaitForExit());
    EXPECT_EQ(StatusWindowOf(second.Id()), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return ::IsWindowVisible(window) != FALSE; }));
    EXPECT_FALSE(::IsIconic(window));

    // Exit from the tray menu ends the process promptly.
    ::PostMessageW(window, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
    ASSERT_TRUE(first.WaitForExit());
}

TEST(AppProcessTest, MarkerWithoutAWindowEndsTheNewInstanceSilently) {
    HANDLE marker = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                         L"{DCDF2ADB-AC4B-4b2d-889C-0C84AD8EA74F}");
    ASSERT_NE(marker, nullptr);
    Process started(ProductPath(), L"");
    ASSERT_TRUE(started.Started()) << started.StartError();
    ASSERT_TRUE(started.WaitForExit());
    EXPECT_EQ(StatusWindowOf(started.Id()), nullptr);
    ::CloseHandle(marker);
}

}  // namespace
}  // namespace vnk::test
