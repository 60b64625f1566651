// The framework layer with real threads, windows and dialogs under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fw/app.h"
#include "fw/dialog.h"
#include "fw/thread.h"
#include "res/resource.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

constexpr UINT kPing = WM_APP + 20;
constexpr UINT kShowBox = WM_APP + 21;
constexpr wchar_t kBoxCaption[] = L"Framework test box";
const UINT kRegistered = ::RegisterWindowMessageW(L"Varnok framework test message");

// A user-interface thread whose message map counts pings and whose main
// window is the application's at its start.
class PingThread : public vnk::fw::Thread {
public:
    BOOL InitInstance() override {
        mainAtStart = GetMainWnd();
        return TRUE;
    }
    void OnPing(WPARAM wParam, LPARAM) { received += static_cast<int>(wParam); }
    void OnShowBox(WPARAM, LPARAM) { ::MessageBoxW(nullptr, L"A thread's own message box", kBoxCaption, MB_OK); }
    std::atomic<int> received{0};
    vnk::fw::Wnd* mainAtStart = nullptr;
    FW_DECLARE_MESSAGE_MAP()
};
FW_BEGIN_MESSAGE_MAP(PingThread, vnk::fw::Thread)
    FW_ON_THREAD_MESSAGE(kPing, OnPing)
    FW_ON_THREAD_MESSAGE(kShowBox, OnShowBox)
FW_END_MESSAGE_MAP()

TEST(FrameworkTest, ThreadMessagesPostedRightAfterTheStartArrive) {
    RecorderWindow main;
    vnk::fw::GetApp()->m_pMainWnd = &main;
    for (int round = 0; round < 50; ++round) {
        auto thread = vnk::fw::BeginThread<PingThread>(THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        ASSERT_TRUE(thread);
        EXPECT_EQ(thread->m_bAutoDelete, FALSE);
        thread->ResumeThread();
        // No wait between the start and the posts: the queue may not exist yet.
        ASSERT_TRUE(thread->PostThreadMessage(kPing, 1, 0));
        ASSERT_TRUE(thread->PostThreadMessage(kPing, 2, 0));
        ASSERT_TRUE(thread->RequestStop());
        ASSERT_TRUE(WaitForThread(thread->Handle()));
        EXPECT_EQ(thread->received, 3);
        EXPECT_EQ(thread->mainAtStart, &main);
    }
    vnk::fw::GetApp()->m_pMainWnd = nullptr;
}

// A modal loop on a user-interface thread (here a message box) would drop
// messages that have no window; the thread's map gets them all the same.
TEST(FrameworkTest, ThreadMessagesReachTheMapWhileAMessageBoxRuns) {
    auto thread = vnk::fw::BeginThread<PingThread>();
    ASSERT_TRUE(thread);
    ASSERT_TRUE(thread->PostThreadMessage(kShowBox, 0, 0));
    ASSERT_NE(WaitForWindow(kBoxCaption, L"#32770"), nullptr);
    ASSERT_TRUE(thread->PostThreadMessage(kPing, 5, 0));
    EXPECT_TRUE(PumpUntil([&] { return thread->received == 5; })) << "the message box's loop dropped it";
    MessageBoxAnswerer answer(kBoxCaption);
    ASSERT_TRUE(answer.Wait());
    ASSERT_TRUE(thread->RequestStop());
    ASSERT_TRUE(WaitForThread(thread->Handle()));
    EXPECT_EQ(thread->received, 5);
}

// A thread that never runs has no queue: posting to it gives up instead of
// waiting for ever (the poster may hold DriveLock).
TEST(FrameworkTest, PostingToAThreadThatNeverStartsGivesUp) {
    auto thread = vnk::fw::BeginThread<PingThread>(THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_TRUE(thread);
    std::atomic<bool> posted{true};
    vnk::fw::UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread poster([&] {
        posted = thread->PostThreadMessage(kPing, 1, 0) != FALSE;
        ::SetEvent(done.get());
    });
    const bool returned = ::WaitForSingleObject(done.get(), 60000) == WAIT_OBJECT_0;
    EXPECT_TRUE(returned) << "the post waits for a queue that never comes";
    EXPECT_FALSE(posted);
    thread->ResumeThread();
    poster.join();
    ASSERT_TRUE(thread->RequestStop());
    ASSERT_TRUE(WaitForThread(thread->Handle()));
}

TEST(FrameworkTest, WorkerThreadRunsItsProcedureWithItsParameter) {
    auto worker = vnk::fw::BeginThread([](LPVOID param) -> UINT { return static_cast<UINT>(reinterpret_cast<UINT_PTR>(param)) + 1; },
                                  reinterpret_cast<LPVOID>(UINT_PTR{41}));
    ASSERT_TRUE(worker);
    ASSERT_TRUE(WaitForThread(worker->Handle()));
    EXPECT_EQ(ExitCodeOf(worker->Handle()), 42u);
}

// A window whose map binds a message, a command and a registered message.
class MappedWindow : public vnk::fw::Wnd {
public:
    LRESULT OnPing(WPARAM wParam, LPARAM) { return static_cast<LRESULT>(wParam) * 2; }
    void OnShow() { ++commands; }
    LRESULT OnRegistered(WPARAM, LPARAM lParam) { return lParam + 1; }
    int commands = 0;
    FW_DECLARE_MESSAGE_MAP()
};
FW_BEGIN_MESSAGE_MAP(MappedWindow, vnk::fw::Wnd)
    FW_ON_MESSAGE(kPing, OnPing)
    FW_ON_COMMAND(ID_SHOWSTATUS, OnShow)
    FW_ON_REGISTERED_MESSAGE(kRegistered, OnRegistered)
FW_END_MESSAGE_MAP()

TEST(FrameworkTest, MessageMapsDispatchMessagesCommandsAndRegisteredMessages) {
    MappedWindow window;
    ASSERT_TRUE(window.CreateEx(0, L"mapped", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    EXPECT_EQ(vnk::fw::Wnd::FromHandle(window.m_hWnd), &window);
    EXPECT_EQ(window.SendMessage(kPing, 21), 42);
    window.SendMessage(WM_COMMAND, ID_SHOWSTATUS);
    window.SendMessage(WM_COMMAND, ID_EMERGENCYLOCK);  // not in the map
    EXPECT_EQ(window.commands, 1);
    EXPECT_EQ(window.SendMessage(kRegistered, 0, 6), 7);
    // Unmapped messages get the default handling.
    window.SetWindowText(L"title");
    EXPECT_EQ(window.GetWindowText(), L"title");
    HWND hwnd = window.m_hWnd;
    window.DestroyWindow();
    EXPECT_EQ(window.m_hWnd, nullptr) << "the object was not told of the destruction";
    EXPECT_EQ(vnk::fw::Wnd::FromHandle(hwnd), nullptr);
}

// A modeless dialog on a user-interface thread, closed by its cancel path.
class BoxThread : public vnk::fw::Thread {
public:
    BOOL InitInstance() override {
        box.Create();
        created = box.m_hWnd;
        return TRUE;
    }
    vnk::fw::Dialog box{IDD_VARNOKD_LOGIN};
    std::atomic<HWND> created{nullptr};
};

TEST(FrameworkTest, ModelessDialogLivesInAUserInterfaceThreadAndCloses) {
    auto thread = vnk::fw::BeginThread<BoxThread>();
    ASSERT_TRUE(thread);
    ASSERT_TRUE(PumpUntil([&] { return thread->created.load() != nullptr; }));
    HWND box = thread->created;
    EXPECT_TRUE(::IsWindowVisible(box));
    EXPECT_EQ(::GetWindowThreadProcessId(box, nullptr), thread->m_nThreadID);
    ::PostMessageW(box, WM_CLOSE, 0, 0);  // default dialog handling: IDCANCEL, OnCancel ends it
    // The box's thread marks the end before it hides the window: the two
    // are seen from here one after the other.
    ASSERT_TRUE(PumpUntil([&] { return thread->box.HasEnded() && !::IsWindowVisible(box); }));
    thread->RequestStop();
    ASSERT_TRUE(WaitForThread(thread->Handle()));
}

// Any program can post WM_QUIT to any thread: a framework thread ends only
// when its owner asks.
TEST(FrameworkTest, AWmQuitNobodyAskedForDoesNotEndAThread) {
    auto thread = vnk::fw::BeginThread<PingThread>();
    ASSERT_TRUE(thread);
    ASSERT_TRUE(thread->PostThreadMessage(kPing, 1, 0));
    ASSERT_TRUE(::PostThreadMessageW(thread->m_nThreadID, WM_QUIT, 0, 0));
    ASSERT_TRUE(thread->PostThreadMessage(kPing, 2, 0));
    ASSERT_TRUE(PumpUntil([&] { return thread->received == 3; })) << "the thread ended on a foreign WM_QUIT";
    EXPECT_EQ(::WaitForSingleObject(thread->Handle(), 0), DWORD{WAIT_TIMEOUT});
    ASSERT_TRUE(thread->RequestStop());
    ASSERT_TRUE(WaitForThread(thread->Handle()));
}

// WM_NCCREATE, WM_CREATE and WM_INITDIALOG that come after a window's
// creation, from its own thread or another, carry pointers of the sender's
// choosing: no object is bound to them, and the window keeps its own.
TEST(FrameworkTest, CreationMessagesAfterTheCreationBindNothing) {
    MappedWindow window;
    ASSERT_TRUE(window.CreateEx(0, L"mapped", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    MappedWindow other;
    CREATESTRUCTW create{};
    create.lpCreateParams = &other;
    create.lpszName = L"forged";
    for (UINT message : {UINT{WM_NCCREATE}, UINT{WM_CREATE}}) {
        SCOPED_TRACE(message);
        window.SendMessage(message, 0, reinterpret_cast<LPARAM>(&create));
        EXPECT_EQ(other.m_hWnd, nullptr);
        EXPECT_EQ(vnk::fw::Wnd::FromHandle(window.m_hWnd), &window);
        EXPECT_EQ(window.SendMessage(kPing, 21), 42);
    }

    auto thread = vnk::fw::BeginThread<BoxThread>();
    ASSERT_TRUE(thread);
    ASSERT_TRUE(PumpUntil([&] { return thread->created.load() != nullptr; }));
    HWND box = thread->created;
    vnk::fw::Dialog otherBox{IDD_VARNOKD_LOGIN};
    ::SendMessageW(box, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&otherBox));
    ::SendMessageW(box, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create));
    EXPECT_EQ(otherBox.m_hWnd, nullptr);
    EXPECT_EQ(other.m_hWnd, nullptr);
    EXPECT_EQ(vnk::fw::Wnd::FromHandle(box), &thread->box);
    ::PostMessageW(box, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return thread->box.HasEnded(); }));
    thread->RequestStop();
    ASSERT_TRUE(WaitForThread(thread->Handle()));
}

// A window counts its destruction only from our own DestroyWindow on its
// thread: WM_DESTROY and WM_NCDESTROY sent or posted at any other time
// (any program can) leave it bound and its object untold, and so does a
// pointer message sent from another thread. The real destruction still
// unbinds and tells the object.
class EndCountingWindow : public MappedWindow {
public:
    int ended = 0;

protected:
    void PostNcDestroy() override { ++ended; }
};

TEST(FrameworkTest, OnlyOurOwnDestroyWindowEndsAWindow) {
    EndCountingWindow window;
    ASSERT_TRUE(window.CreateEx(0, L"mapped", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    const HWND hwnd = window.m_hWnd;
    for (UINT message : {UINT{WM_DESTROY}, UINT{WM_NCDESTROY}}) {
        SCOPED_TRACE(message);
        ::SendMessageW(hwnd, message, 0, 0);
        ::PostMessageW(hwnd, message, 0, 0);
        PumpFor(50);
        EXPECT_EQ(vnk::fw::Wnd::FromHandle(hwnd), &window);
        EXPECT_EQ(window.ended, 0);
        EXPECT_EQ(window.SendMessage(kPing, 21), 42);
    }

    auto thread = vnk::fw::BeginThread<BoxThread>();
    ASSERT_TRUE(thread);
    ASSERT_TRUE(PumpUntil([&] { return thread->created.load() != nullptr; }));
    HWND box = thread->created;
    HWND field = ::GetDlgItem(box, IDC_PASSPHRASE);
    for (HWND target : {box, field}) {
        ::SendMessageW(target, WM_NCDESTROY, 0, 0);
        ::SendMessageW(target, WM_DESTROY, 0, 0);
        ::SendMessageW(target, WM_DPICHANGED, MAKEWPARAM(144, 144), 0x41414141);
    }
    EXPECT_EQ(vnk::fw::Wnd::FromHandle(box), &thread->box);
    // The edit control kept its own data: it still holds text.
    ::SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"abc"));
    EXPECT_EQ(::GetWindowTextLengthW(field), 3);
    ::PostMessageW(box, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return thread->box.HasEnded(); }));
    thread->RequestStop();
    ASSERT_TRUE(WaitForThread(thread->Handle()));

    EXPECT_TRUE(window.DestroyWindow());
    EXPECT_EQ(window.ended, 1);
    EXPECT_EQ(window.m_hWnd, nullptr);
    EXPECT_EQ(vnk::fw::Wnd::FromHandle(hwnd), nullptr);
}

// A window that ends itself in a handler of a message that another thread
// sent (a tray callback delivered by the shell, say) ends for real: the
// destruction is this thread's own, whoever sent the message it runs in.
class SelfEndingWindow : public EndCountingWindow {
public:
    LRESULT OnEndYourself(WPARAM, LPARAM) { return DestroyWindow(); }
    FW_DECLARE_MESSAGE_MAP()
};
constexpr UINT kEndYourself = WM_APP + 30;
FW_BEGIN_MESSAGE_MAP(SelfEndingWindow, EndCountingWindow)
    FW_ON_MESSAGE(kEndYourself, OnEndYourself)
FW_END_MESSAGE_MAP()

TEST(FrameworkTest, OurOwnDestroyWindowInsideAnotherThreadsMessageEndsTheWindow) {
    SelfEndingWindow window;
    ASSERT_TRUE(window.CreateEx(0, L"mapped", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    const HWND hwnd = window.m_hWnd;
    std::atomic<bool> sent{false};
    std::thread other([&] {
        ::SendMessageW(hwnd, kEndYourself, 0, 0);
        sent = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return sent.load(); }));
    other.join();
    EXPECT_EQ(window.ended, 1);
    EXPECT_EQ(window.m_hWnd, nullptr);
    EXPECT_EQ(vnk::fw::Wnd::FromHandle(hwnd), nullptr);
    EXPECT_FALSE(::IsWindow(hwnd));
}

}  // namespace
}  // namespace vnk::test
