// The product executable as a process: one instance per session, the hand
// over to a running instance, and the end by Exit.
#include <windows.h>

#include <gtest/gtest.h>

#include <aclapi.h>

#include <cstring>
#include <string>

#include "app/process_hardening.h"
#include "fw/security.h"
#include "fw/wnd.h"
#include "res/resource.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

std::wstring ProductPath() { return ProgramPath(L"Varnokd.exe"); }

HWND StatusWindowOf(DWORD processId) { return TopWindowOf(processId, L"Varnok Status"); }

// The client's status window once its start-up is over: minimised and
// hidden behind its tray icon (the window exists before its start-up has
// closed the threads that the system's libraries started meanwhile). Null
// when it did not get there.
HWND WindowBehindTray(const Process& client) {
    HWND window = nullptr;
    const bool hidden = PumpUntil([&] {
        window = StatusWindowOf(client.Id());
        return window != nullptr && ::IsIconic(window) && !::IsWindowVisible(window);
    });
    return hidden ? window : nullptr;
}

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
    const HWND window = WindowBehindTray(first);
    ASSERT_NE(window, nullptr) << "the status window did not hide behind its tray icon";

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

// Any program can make the marker first. A marker for which no instance's
// window answers keeps nobody from starting (after five seconds of looking
// for one); a real instance still hands over to the one that runs.
TEST(AppProcessTest, AMarkerOfAnotherProgramDoesNotKeepTheClientFromStarting) {
    Process squatter(ProgramPath(L"VarnokIntruder.exe"), L"squat");
    ASSERT_TRUE(squatter.Started()) << squatter.StartError();
    ASSERT_TRUE(PumpUntil([] {
        const vnk::fw::UniqueHandle marker(
            ::OpenFileMappingW(FILE_MAP_READ, FALSE, L"{DCDF2ADB-AC4B-4b2d-889C-0C84AD8EA74F}"));
        return static_cast<bool>(marker);
    })) << "the other program did not make the marker";

    Process first(ProductPath(), L"");
    ASSERT_TRUE(first.Started()) << first.StartError();
    const HWND window = WindowBehindTray(first);
    ASSERT_NE(window, nullptr) << "the client did not start beside the other program's marker";

    Process second(ProductPath(), L"");
    ASSERT_TRUE(second.Started()) << second.StartError();
    ASSERT_TRUE(second.WaitForExit()) << "a second instance ran beside the first";
    EXPECT_EQ(StatusWindowOf(second.Id()), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return ::IsWindowVisible(window) != FALSE; }));

    ::PostMessageW(window, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
    ASSERT_TRUE(first.WaitForExit());
}

// A hostile program of the same user, tried against the running client.
TEST(AppProcessTest, OtherProgramsOfTheUserCannotReadOrChangeTheClient) {
    Process client(ProductPath(), L"");
    ASSERT_TRUE(client.Started());
    const HWND window = WindowBehindTray(client);
    ASSERT_NE(window, nullptr);

    // The DACL the client gave itself, read back as any program can.
    vnk::fw::UniqueHandle readable(::OpenProcess(READ_CONTROL, FALSE, client.Id()));
    ASSERT_TRUE(readable) << ::GetLastError();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_EQ(::GetSecurityInfo(readable.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &dacl, nullptr, &raw),
              DWORD{ERROR_SUCCESS});
    const vnk::fw::UniqueLocalMemory descriptor(raw);
    const vnk::fw::SecurityDescriptor expected(ProcessDaclSddl(vnk::fw::SidText(vnk::fw::CurrentUserSid())));
    ASSERT_NE(expected.Dacl(), nullptr);
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AclSize, expected.Dacl()->AclSize);
    EXPECT_EQ(std::memcmp(dacl, expected.Dacl(), dacl->AclSize), 0);

    // What the user's programs may still do.
    EXPECT_TRUE(vnk::fw::UniqueHandle(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, client.Id())));
    // Wine checks process DACLs on OpenProcess as Windows does.
    for (DWORD right : {DWORD{PROCESS_VM_READ}, DWORD{PROCESS_VM_WRITE}, DWORD{PROCESS_VM_OPERATION},
                        DWORD{PROCESS_CREATE_THREAD}, DWORD{PROCESS_DUP_HANDLE}}) {
        SCOPED_TRACE(right);
        vnk::fw::UniqueHandle opened(::OpenProcess(right, FALSE, client.Id()));
        EXPECT_FALSE(opened);
        EXPECT_EQ(::GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    }

    // Its threads: another program may not freeze, steer or end them
    // (the program that started it is asked, the one whose creation handle
    // reaches everything, so the test plays any other program).
    const std::wstring openThreads = L"open-threads " + std::to_wstring(client.Id());
    EXPECT_EQ(Process::Run(ProgramPath(L"VarnokIntruder.exe"), openThreads).exitCode, 0u)
        << "a thread of the client opened with suspend, context or terminate rights";
    // And the user can still end the program.
    EXPECT_TRUE(vnk::fw::UniqueHandle(::OpenProcess(PROCESS_TERMINATE, FALSE, client.Id())));

    ::PostMessageW(window, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
    ASSERT_TRUE(client.WaitForExit());
}

// A control object that counts the colour queries its parent hands it.
class CountingControl : public vnk::fw::Wnd {
public:
    HBRUSH OnCtlColor(HDC, UINT) {
        ++asked;
        return static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
    }
    int asked = 0;
    FW_DECLARE_MESSAGE_MAP()
};
FW_BEGIN_MESSAGE_MAP(CountingControl, vnk::fw::Wnd)
    FW_ON_WM_CTLCOLOR_REFLECT(OnCtlColor)
FW_END_MESSAGE_MAP()

TEST(AppProcessTest, WindowsOfOtherProgramsAreNeverTakenForObjectsOfOurs) {
    vnk::fw::Wnd parent;
    ASSERT_TRUE(parent.CreateEx(0, L"parent", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr));
    CountingControl child;
    ASSERT_TRUE(child.CreateEx(0, L"child", WS_CHILD, 0, 0, 10, 10, parent.m_hWnd, reinterpret_cast<HMENU>(1)));
    CountingControl stranger;  // ours, but not the parent's child
    ASSERT_TRUE(stranger.CreateEx(0, L"stranger", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr));

    // A window of another program that carries the framework's property,
    // pointing at a live object of ours, as a hostile program could set it.
    Process client(ProductPath(), L"");
    ASSERT_TRUE(client.Started());
    HWND foreign = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (foreign = StatusWindowOf(client.Id())) != nullptr; }));
    ASSERT_TRUE(::SetPropW(foreign, L"fw.Wnd", &stranger));
    EXPECT_EQ(vnk::fw::Wnd::FromHandle(foreign), nullptr);
    EXPECT_EQ(vnk::fw::Wnd::FromHandle(child.m_hWnd), &child);

    HDC dc = ::CreateCompatibleDC(nullptr);
    const auto ask = [&](HWND control) {
        return ::SendMessageW(parent.m_hWnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                              reinterpret_cast<LPARAM>(control));
    };
    ask(foreign);
    ask(stranger.m_hWnd);
    EXPECT_EQ(stranger.asked, 0);
    ask(child.m_hWnd);
    EXPECT_EQ(child.asked, 1);
    ::DeleteDC(dc);

    // The client itself never takes the forged property for its object: it
    // handles a message to that window (Exit) as before, and ends cleanly.
    ::PostMessageW(foreign, WM_COMMAND, ID_APP_EXIT_VARNOK, 0);
    ASSERT_TRUE(client.WaitForExit());
    EXPECT_EQ(client.ExitCode(), 0u);
}

}  // namespace
}  // namespace vnk::test
