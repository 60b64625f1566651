// The notification-area icon under Wine's shell: the test plays the shell
// by sending the callback message to the tray's window, stands in for the
// main window with a window of its own, and answers the real popup menu
// from a helper thread as a person would.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fw/app.h"
#include "fw/thread.h"
#include "fw/wnd.h"
#include "res/resource.h"
#include "tests/support/test_support.h"
#include "ui/system_tray.h"

namespace vnk::test {
namespace {

constexpr UINT kIdWithoutMenu = 999;
// A frame period long enough that no real tick arrives while a test drives
// the animation itself.
constexpr UINT kNoRealTicks = 0x7FFFFFFF;

const UINT kCallbackMessage = ::RegisterWindowMessageW(L"Varnok tray test notification");

// Stands in for the status window: the thread's main window, to which the
// tray sends and posts its commands.
class CommandTarget : public vnk::fw::Wnd {
public:
    struct Received {
        UINT message;
        UINT command;
        friend bool operator==(const Received&, const Received&) = default;
    };
    std::vector<Received> received;  // WM_COMMAND and WM_NULL, in order
    std::function<void(UINT)> onCommand;
    HWND foregroundAtCommand = nullptr;

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_COMMAND) {
            received.push_back({message, LOWORD(wParam)});
            foregroundAtCommand = ::GetForegroundWindow();
            if (onCommand) onCommand(LOWORD(wParam));
            return 0;
        }
        if (message == WM_NULL) received.push_back({message, 0});
        return vnk::fw::Wnd::WindowProc(message, wParam, lParam);
    }
};

NOTIFYICONDATAW ShellRecord(HWND hwnd, UINT id) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = hwnd;
    data.uID = id;
    return data;
}

using test::IconInShell;
bool IconInShell(const CSystemTray& tray, UINT id) {
    return IconInShell(tray.GetSafeHwnd(), id);
}

HICON ProgramIcon() {
    return ::LoadIconW(vnk::fw::ResourceInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME));
}
HICON SystemIcon(const wchar_t* name) {
    return ::LoadIconW(nullptr, name);
}

class TrayTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // Wine's explorer brings up the taskbar on its own time.
        PumpUntil([] { return ::FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr; });
        ASSERT_NE(::FindWindowW(L"Shell_TrayWnd", nullptr), nullptr) << "no taskbar";
    }

    void SetUp() override {
        // Hidden, as the status window is while its tray icon exists.
        ASSERT_TRUE(
            target.CreateEx(0, L"tray test target", WS_POPUP, 0, 0, 40, 40, nullptr, nullptr));
        vnk::fw::GetApp()->m_pMainWnd = &target;
    }

    void TearDown() override {
        vnk::fw::GetApp()->m_pMainWnd = nullptr;
        DrainMessages();
    }

    static std::unique_ptr<CSystemTray> MakeTray(UINT id = IDR_TRAYMENU) {
        auto tray = std::make_unique<CSystemTray>();
        EXPECT_TRUE(tray->Create(nullptr, kCallbackMessage, L"Varnok test", ProgramIcon(), id));
        return tray;
    }

    // What the shell does for a mouse event on the icon.
    static LRESULT Click(const CSystemTray& tray, WPARAM id, UINT mouseMessage) {
        return ::SendMessageW(tray.GetSafeHwnd(), kCallbackMessage, id, mouseMessage);
    }

    static void Tick(const CSystemTray& tray) {
        ::SendMessageW(tray.GetSafeHwnd(), WM_TIMER, CSystemTray::AnimationTimerId, 0);
    }

    CommandTarget target;
};

TEST_F(TrayTest, CreateAddsTheIconForItsOwnWindowOrTheParents) {
    const auto own = MakeTray();
    EXPECT_TRUE(IconInShell(*own, IDR_TRAYMENU));
    EXPECT_EQ(own->GetCallbackWindow(), own.get());
    EXPECT_EQ(own->GetTrayIcon(), ProgramIcon());
    EXPECT_EQ(own->GetTrayTooltip(), L"Varnok test");

    CSystemTray parented(&target, kCallbackMessage, L"parented", ProgramIcon(), 77);
    EXPECT_TRUE(IconInShell(target.GetSafeHwnd(), 77));
    EXPECT_EQ(parented.GetCallbackWindow(), &target);
}

TEST_F(TrayTest, DestructionTakesTheIconAway) {
    auto tray = MakeTray();
    const HWND hwnd = tray->GetSafeHwnd();
    tray.reset();
    EXPECT_FALSE(IconInShell(hwnd, IDR_TRAYMENU));
    EXPECT_FALSE(::IsWindow(hwnd));
}

TEST_F(TrayTest, CallbacksThatAreNotCommandsDoNothing) {
    const auto tray = MakeTray();
    struct Case {
        WPARAM id;
        UINT mouse;
        LRESULT result;
    };
    const Case cases[] = {
        // Another icon's id: not ours, whatever the event.
        {IDR_TRAYMENU + 1, WM_RBUTTONUP, 0},
        {IDR_TRAYMENU + 1, WM_LBUTTONDBLCLK, 0},
        {IDR_TRAYMENU + 1, WM_MOUSEMOVE, 0},
        // Our icon, but neither a right click nor a double click.
        {IDR_TRAYMENU, WM_LBUTTONUP, 1},
        {IDR_TRAYMENU, WM_LBUTTONDOWN, 1},
        {IDR_TRAYMENU, WM_RBUTTONDOWN, 1},
        {IDR_TRAYMENU, WM_MOUSEMOVE, 1},
        {IDR_TRAYMENU, WM_RBUTTONDBLCLK, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "id " << c.id << ", mouse 0x" << std::hex << c.mouse);
        EXPECT_EQ(Click(*tray, c.id, c.mouse), c.result);
        DrainMessages();
        EXPECT_TRUE(target.received.empty());
    }
    EXPECT_TRUE(IconInShell(*tray, IDR_TRAYMENU));
}

TEST_F(TrayTest, DoubleClickSendsTheDefaultCommandToTheMainWindow) {
    struct Case {
        UINT item;
        BOOL byPosition;
        UINT command;
    };
    const Case cases[] = {
        {0, TRUE, ID_TRAY_TITLE},  // a fresh tray's default: the greyed title
        {2, TRUE, ID_SHOWSTATUS},
        {4, TRUE, ID_APP_EXIT_VARNOK},
        {ID_SHOWSTATUS, FALSE, ID_SHOWSTATUS},
        {ID_EMERGENCYLOCK, FALSE, ID_EMERGENCYLOCK},
    };
    const auto tray = MakeTray();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "item " << c.item << ", by position " << c.byPosition);
        target.received.clear();
        tray->SetDefaultMenuItem(c.item, c.byPosition);
        ::SetForegroundWindow(tray->GetSafeHwnd());
        EXPECT_EQ(Click(*tray, IDR_TRAYMENU, WM_LBUTTONDBLCLK), 1);
        // Sent, not posted: the command has been handled when the click returns.
        ASSERT_EQ(target.received.size(), 1u);
        EXPECT_EQ(target.received[0], (CommandTarget::Received{WM_COMMAND, c.command}));
        EXPECT_EQ(target.foregroundAtCommand, target.GetSafeHwnd());
    }
}

TEST_F(TrayTest, DoubleClickByCommandNeedsNoMenuButByPositionDoes) {
    const auto tray = MakeTray(kIdWithoutMenu);

    EXPECT_EQ(Click(*tray, kIdWithoutMenu, WM_LBUTTONDBLCLK), 0);
    EXPECT_TRUE(target.received.empty());

    tray->SetDefaultMenuItem(ID_EMERGENCYLOCK, FALSE);
    EXPECT_EQ(Click(*tray, kIdWithoutMenu, WM_LBUTTONDBLCLK), 1);
    EXPECT_EQ(target.received,
              (std::vector<CommandTarget::Received>{{WM_COMMAND, ID_EMERGENCYLOCK}}));
}

// Keeps its storage after deletion, filled with a pattern, so that a write
// to the deleted object shows.
class WatchedTray : public CSystemTray {
public:
    static constexpr unsigned char kDeadByte = 0xA5;
    alignas(std::max_align_t) static inline unsigned char storage[4096];

    static void* operator new(std::size_t size) {
        if (size > sizeof storage) throw std::bad_alloc();
        return storage;
    }
    static void operator delete(void* p, std::size_t size) { std::memset(p, kDeadByte, size); }

    static bool UntouchedSinceDeletion() {
        for (std::size_t i = 0; i < sizeof(WatchedTray); ++i)
            if (storage[i] != kDeadByte) return false;
        return true;
    }
};

TEST_F(TrayTest, ADoubleClickWhoseCommandDeletesTheTrayCompletes) {
    std::unique_ptr<WatchedTray> tray = std::make_unique<WatchedTray>();
    ASSERT_TRUE(tray->Create(nullptr, kCallbackMessage, L"deleted", ProgramIcon(), IDR_TRAYMENU));
    tray->SetDefaultMenuItem(ID_SHOWSTATUS, FALSE);
    const HWND hwnd = tray->GetSafeHwnd();
    // The status window shows itself and drops the tray on this command.
    target.onCommand = [&tray](UINT) { tray.reset(); };

    EXPECT_EQ(::SendMessageW(hwnd, kCallbackMessage, IDR_TRAYMENU, WM_LBUTTONDBLCLK), 1);

    EXPECT_EQ(tray, nullptr);
    EXPECT_TRUE(WatchedTray::UntouchedSinceDeletion());
    EXPECT_FALSE(::IsWindow(hwnd));
    EXPECT_FALSE(IconInShell(hwnd, IDR_TRAYMENU));
}

// What the helper thread saw of the popup menu, and how it answered.
struct MenuVisit {
    bool found = false;
    RECT rect{};
    HWND foreground = nullptr;
    UINT defaultByPosition = static_cast<UINT>(-1);
    UINT defaultCommand = static_cast<UINT>(-1);
};

BOOL CALLBACK KeepPopupMenu(HWND hwnd, LPARAM found) {
    wchar_t name[16] = {};
    ::GetClassNameW(hwnd, name, 16);
    if (std::wcscmp(name, L"#32768") != 0 || !::IsWindowVisible(hwnd)) return TRUE;
    *reinterpret_cast<HWND*>(found) = hwnd;
    return FALSE;
}

HWND FindPopupMenu(DWORD threadId) {
    HWND found = nullptr;
    ::EnumThreadWindows(threadId, KeepPopupMenu, reinterpret_cast<LPARAM>(&found));
    return found;
}

// Waits for the menu that `threadId` shows, looks at it and posts it `key`
// (a character to choose an item, or a WM_KEYDOWN of VK_ESCAPE to close it).
MenuVisit AnswerMenu(DWORD threadId, UINT keyMessage, WPARAM key) {
    MenuVisit visit;
    HWND menu = nullptr;
    // Nothing signals that the menu is up: poll for its window.
    const ULONGLONG deadline = ::GetTickCount64() + kWatchdogMs;
    while ((menu = FindPopupMenu(threadId)) == nullptr && ::GetTickCount64() < deadline)
        ::Sleep(20);
    if (menu == nullptr) return visit;
    visit.found = true;
    ::GetWindowRect(menu, &visit.rect);
    visit.foreground = ::GetForegroundWindow();
    const auto items = reinterpret_cast<HMENU>(::SendMessageW(menu, MN_GETHMENU, 0, 0));
    visit.defaultByPosition = ::GetMenuDefaultItem(items, TRUE, GMDI_USEDISABLED);
    visit.defaultCommand = ::GetMenuDefaultItem(items, FALSE, GMDI_USEDISABLED);
    ::PostMessageW(menu, keyMessage, key, 0);
    return visit;
}

TEST_F(TrayTest, RightClickShowsTheMenuAtTheCursorAndPostsTheChoice) {
    struct Case {
        const char* what;
        bool showStatusIsDefault;
        UINT keyMessage;
        WPARAM key;
        std::vector<CommandTarget::Received> expected;
    };
    const Case cases[] = {
        {"fresh default, choose Emergency Lock",
         false,
         WM_CHAR,
         L'l',
         {{WM_COMMAND, ID_EMERGENCYLOCK}, {WM_NULL, 0}}},
        {"Show Status default, choose Exit",
         true,
         WM_CHAR,
         L'x',
         {{WM_COMMAND, ID_APP_EXIT_VARNOK}, {WM_NULL, 0}}},
        {"close without a choice", true, WM_KEYDOWN, VK_ESCAPE, {{WM_NULL, 0}}},
    };
    const POINT cursor{200, 150};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        target.received.clear();
        const auto tray = MakeTray();
        if (c.showStatusIsDefault) tray->SetDefaultMenuItem(ID_SHOWSTATUS, FALSE);
        ::SetForegroundWindow(tray->GetSafeHwnd());
        ::SetCursorPos(cursor.x, cursor.y);

        MenuVisit visit;
        std::thread person([&visit, &c, threadId = ::GetCurrentThreadId()] {
            visit = AnswerMenu(threadId, c.keyMessage, c.key);
        });
        const LRESULT result = Click(*tray, IDR_TRAYMENU, WM_RBUTTONUP);
        person.join();

        EXPECT_EQ(result, 1);
        ASSERT_TRUE(visit.found);
        EXPECT_EQ(visit.rect.left, cursor.x);
        EXPECT_EQ(visit.rect.top, cursor.y);
        EXPECT_EQ(visit.foreground, target.GetSafeHwnd());
        if (c.showStatusIsDefault) {
            EXPECT_EQ(visit.defaultCommand, static_cast<UINT>(ID_SHOWSTATUS));
        } else {
            EXPECT_EQ(visit.defaultByPosition, 0u);
        }
        // The choice is posted by the menu: it arrives once the loop runs.
        const std::size_t count = c.expected.size();
        EXPECT_TRUE(PumpUntil([&] { return target.received.size() >= count; }));
        DrainMessages();
        EXPECT_EQ(target.received, c.expected);
    }
}

TEST_F(TrayTest, SetDefaultMenuItemWithTheStoredValuesSucceedsWithoutTheMenu) {
    // No menu resource answers to this id, so only an unchanged pair succeeds.
    const auto tray = MakeTray(kIdWithoutMenu);
    UINT item = 1;
    BOOL byPosition = FALSE;
    tray->GetDefaultMenuItem(item, byPosition);
    EXPECT_EQ(item, 0u);
    EXPECT_TRUE(byPosition);

    EXPECT_TRUE(tray->SetDefaultMenuItem(0, TRUE));
    EXPECT_FALSE(tray->SetDefaultMenuItem(ID_SHOWSTATUS, FALSE));
    tray->GetDefaultMenuItem(item, byPosition);
    EXPECT_EQ(item, static_cast<UINT>(ID_SHOWSTATUS));  // kept although the menu is missing
    EXPECT_FALSE(byPosition);
    EXPECT_TRUE(tray->SetDefaultMenuItem(ID_SHOWSTATUS, FALSE));
    EXPECT_FALSE(tray->SetDefaultMenuItem(ID_SHOWSTATUS, TRUE));

    const auto withMenu = MakeTray();
    EXPECT_TRUE(withMenu->SetDefaultMenuItem(ID_SHOWSTATUS, FALSE));
}

TEST_F(TrayTest, IconAndTooltipSettersReachTheShellAndTheGetters) {
    const auto tray = MakeTray();

    EXPECT_TRUE(tray->SetTrayIcon(SystemIcon(IDI_QUESTION)));
    EXPECT_EQ(tray->GetTrayIcon(), SystemIcon(IDI_QUESTION));
    EXPECT_TRUE(tray->LoadSystemTrayIcon(IDI_WARNING));
    EXPECT_EQ(tray->GetTrayIcon(), SystemIcon(IDI_WARNING));
    EXPECT_TRUE(tray->LoadSystemTrayIcon(32513u));  // IDI_HAND by number
    EXPECT_EQ(tray->GetTrayIcon(), SystemIcon(IDI_HAND));
    EXPECT_TRUE(tray->LoadTrayIcon(IDR_MAINFRAME));
    EXPECT_EQ(tray->GetTrayIcon(), ProgramIcon());
    EXPECT_TRUE(tray->LoadTrayIcon(MAKEINTRESOURCEW(IDR_MAINFRAME)));
    EXPECT_EQ(tray->GetTrayIcon(), ProgramIcon());

    EXPECT_TRUE(tray->SetTrayTooltip(L"Changed"));
    EXPECT_EQ(tray->GetTrayTooltip(), L"Changed");
    EXPECT_TRUE(tray->SetTrayTooltip(IDS_TRAY_TOOLTIP));
    EXPECT_EQ(tray->GetTrayTooltip(), L"Varnok Client");
    EXPECT_TRUE(tray->SetTrayTooltip(65000u));  // no such string: an empty tip
    EXPECT_EQ(tray->GetTrayTooltip(), L"");
    EXPECT_TRUE(IconInShell(*tray, IDR_TRAYMENU));
}

TEST_F(TrayTest, ACallbackWindowTheShellRefusesLeavesTheIconAddressable) {
    const auto tray = MakeTray();
    // The shell knows the icon by window and id, so it cannot move it.
    EXPECT_FALSE(tray->SetCallbackWindow(&target));
    EXPECT_EQ(tray->GetCallbackWindow(), tray.get());
    EXPECT_TRUE(tray->SetTrayTooltip(L"still ours"));
    EXPECT_TRUE(tray->SetCallbackWindow(tray.get()));
}

TEST_F(TrayTest, HidingAndShowingTwiceActsOnce) {
    const auto tray = MakeTray();

    tray->HideFromTray();
    tray->HideFromTray();
    EXPECT_FALSE(IconInShell(*tray, IDR_TRAYMENU));
    // While hidden the values are kept for the next showing.
    EXPECT_FALSE(tray->SetTrayTooltip(L"while hidden"));
    EXPECT_EQ(tray->GetTrayTooltip(), L"while hidden");

    tray->ShowInTray();
    EXPECT_TRUE(IconInShell(*tray, IDR_TRAYMENU));
    tray->ShowInTray();
    EXPECT_TRUE(IconInShell(*tray, IDR_TRAYMENU));
    EXPECT_EQ(tray->GetTrayTooltip(), L"while hidden");

    tray->HideFromTray();
    EXPECT_FALSE(IconInShell(*tray, IDR_TRAYMENU));
    tray->RefreshTrayPosition();  // from hidden: shows it
    EXPECT_TRUE(IconInShell(*tray, IDR_TRAYMENU));
    tray->RefreshTrayPosition();
    EXPECT_TRUE(IconInShell(*tray, IDR_TRAYMENU));
}

// Everything that addresses the icon, with what it must answer while there
// is no icon.
void ExpectNothingAddressesTheIcon(CSystemTray& tray) {
    const std::pair<const char*, std::function<BOOL()>> setters[] = {
        {"SetTrayIcon", [&] { return tray.SetTrayIcon(SystemIcon(IDI_QUESTION)); }},
        {"LoadTrayIcon by number", [&] { return tray.LoadTrayIcon(IDR_MAINFRAME); }},
        {"LoadTrayIcon by name",
         [&] { return tray.LoadTrayIcon(MAKEINTRESOURCEW(IDR_MAINFRAME)); }},
        {"LoadSystemTrayIcon by name", [&] { return tray.LoadSystemTrayIcon(IDI_WARNING); }},
        {"LoadSystemTrayIcon by number", [&] { return tray.LoadSystemTrayIcon(32513u); }},
        {"SetTrayTooltip", [&] { return tray.SetTrayTooltip(L"text"); }},
        {"SetTrayTooltip by id", [&] { return tray.SetTrayTooltip(IDS_TRAY_TOOLTIP); }},
        {"SetCallbackWindow", [&] { return tray.SetCallbackWindow(&tray); }},
        {"NextAnimationFrame", [&] { return tray.NextAnimationFrame(); }},
    };
    const HICON frame = SystemIcon(IDI_QUESTION);
    ASSERT_TRUE(tray.SetAnimationIcons(&frame, 0));
    for (const auto& [name, call] : setters) EXPECT_FALSE(call()) << name;
    EXPECT_EQ(tray.GetTrayIcon(), nullptr);
    EXPECT_EQ(tray.GetTrayTooltip(), L"");
}

TEST_F(TrayTest, BeforeCreateNothingAddressesTheIcon) {
    CSystemTray tray;
    ExpectNothingAddressesTheIcon(tray);
    EXPECT_FALSE(tray.StartIconAnimation(kNoRealTicks, 0));  // no window for the timer
    EXPECT_EQ(tray.EndIconAnimation(), FALSE);
}

TEST_F(TrayTest, AfterRemoveFromTrayNothingAddressesTheIconAndShowingFails) {
    const auto tray = MakeTray();
    tray->RemoveFromTray();
    EXPECT_FALSE(IconInShell(*tray, IDR_TRAYMENU));
    ExpectNothingAddressesTheIcon(*tray);
    tray->HideFromTray();
    tray->ShowInTray();
    tray->RefreshTrayPosition();
    EXPECT_FALSE(IconInShell(*tray, IDR_TRAYMENU));
}

TEST_F(TrayTest, TheIconComesBackWhenTheTaskbarIsCreatedAgain) {
    const UINT taskbarCreated = ::RegisterWindowMessageW(L"TaskbarCreated");
    const auto shown = MakeTray();
    const auto hidden = MakeTray();
    const auto removed = MakeTray();
    hidden->HideFromTray();
    removed->RemoveFromTray();

    // A restarted shell has forgotten every icon.
    NOTIFYICONDATAW forget = ShellRecord(shown->GetSafeHwnd(), IDR_TRAYMENU);
    ASSERT_TRUE(::Shell_NotifyIconW(NIM_DELETE, &forget));
    ASSERT_FALSE(IconInShell(*shown, IDR_TRAYMENU));

    for (const CSystemTray* tray : {shown.get(), hidden.get(), removed.get()})
        ::SendMessageW(tray->GetSafeHwnd(), taskbarCreated, 0, 0);

    EXPECT_TRUE(IconInShell(*shown, IDR_TRAYMENU));
    EXPECT_FALSE(IconInShell(*hidden, IDR_TRAYMENU));
    EXPECT_FALSE(IconInShell(*removed, IDR_TRAYMENU));
    hidden->ShowInTray();
    EXPECT_TRUE(IconInShell(*hidden, IDR_TRAYMENU));
}

// At logon the client can start before the shell's taskbar is there, and
// the first add fails. Here the shell refuses it because an icon with the
// same window and id is already there; the taskbar's arrival then finds
// the place free.
TEST_F(TrayTest, AnIconWhoseFirstAddFailedComesWithTheTaskbar) {
    const UINT taskbarCreated = ::RegisterWindowMessageW(L"TaskbarCreated");
    NOTIFYICONDATAW squatter = ShellRecord(target.GetSafeHwnd(), IDR_TRAYMENU);
    squatter.uFlags = NIF_TIP;
    ASSERT_TRUE(::Shell_NotifyIconW(NIM_ADD, &squatter));
    CSystemTray tray;
    EXPECT_FALSE(tray.Create(&target, kCallbackMessage, L"Varnok test", ProgramIcon(), IDR_TRAYMENU));
    ASSERT_TRUE(::Shell_NotifyIconW(NIM_DELETE, &squatter));
    ASSERT_FALSE(IconInShell(target.GetSafeHwnd(), IDR_TRAYMENU));

    ::SendMessageW(tray.GetSafeHwnd(), taskbarCreated, 0, 0);
    EXPECT_TRUE(IconInShell(target.GetSafeHwnd(), IDR_TRAYMENU)) << "the icon stayed away";
    EXPECT_EQ(tray.GetTrayIcon(), ProgramIcon());
    EXPECT_EQ(tray.GetTrayTooltip(), L"Varnok test");
    tray.RemoveFromTray();
    EXPECT_FALSE(IconInShell(target.GetSafeHwnd(), IDR_TRAYMENU));
}

class TrayAnimationTest : public TrayTest {
protected:
    void SetUp() override {
        TrayTest::SetUp();
        const std::set<HICON> distinct(std::begin(frames), std::end(frames));
        ASSERT_EQ(distinct.size(), std::size(frames));
        ASSERT_EQ(distinct.count(ProgramIcon()), 0u);
    }

    std::vector<HICON> Ticks(const CSystemTray& tray, int count) const {
        std::vector<HICON> shown;
        for (int i = 0; i < count; ++i) {
            Tick(tray);
            shown.push_back(tray.GetTrayIcon());
        }
        return shown;
    }

    const HICON frames[3] = {SystemIcon(IDI_QUESTION), SystemIcon(IDI_WARNING),
                             SystemIcon(IDI_HAND)};
};

TEST_F(TrayAnimationTest, TicksShowTheFramesFromTheSecondOnAndEndingRestoresTheIcon) {
    const auto tray = MakeTray();
    const HICON f0 = frames[0], f1 = frames[1], f2 = frames[2];

    ASSERT_TRUE(tray->SetAnimationIcons(frames, 2));
    ASSERT_TRUE(tray->StartIconAnimation(kNoRealTicks, 0));
    EXPECT_EQ(Ticks(*tray, 5), (std::vector<HICON>{f1, f2, f0, f1, f2}));
    EXPECT_TRUE(tray->NextAnimationFrame());
    EXPECT_EQ(tray->GetTrayIcon(), f0);
    EXPECT_TRUE(tray->EndIconAnimation());
    EXPECT_EQ(tray->GetTrayIcon(), ProgramIcon());
    EXPECT_FALSE(tray->EndIconAnimation());

    ASSERT_TRUE(tray->SetAnimationIcons(frames, 0));
    ASSERT_TRUE(tray->StartIconAnimation(kNoRealTicks, 0));
    EXPECT_EQ(Ticks(*tray, 3), (std::vector<HICON>{f0, f0, f0}));
    EXPECT_TRUE(tray->EndIconAnimation());
    EXPECT_EQ(tray->GetTrayIcon(), ProgramIcon());
}

TEST_F(TrayAnimationTest, RestartingPutsTheSavedIconBackBeforeSavingItAgain) {
    const auto tray = MakeTray();
    ASSERT_TRUE(tray->SetAnimationIcons(frames, 2));
    ASSERT_TRUE(tray->StartIconAnimation(kNoRealTicks, 0));
    Tick(*tray);
    ASSERT_EQ(tray->GetTrayIcon(), frames[1]);

    ASSERT_TRUE(tray->StartIconAnimation(kNoRealTicks, 0));
    EXPECT_EQ(tray->GetTrayIcon(), ProgramIcon());
    EXPECT_EQ(Ticks(*tray, 1), (std::vector<HICON>{frames[1]}));
    EXPECT_TRUE(tray->EndIconAnimation());
    EXPECT_EQ(tray->GetTrayIcon(), ProgramIcon());
}

TEST_F(TrayAnimationTest, FrameListsFromResourcesAndRefusedRanges) {
    const auto tray = MakeTray();
    // 128 is the program's icon, 129 does not exist and gives a null frame.
    ASSERT_TRUE(tray->SetAnimationIcons(IDR_MAINFRAME, IDR_MAINFRAME + 1));
    EXPECT_FALSE(tray->SetAnimationIcons(5, 4));
    EXPECT_FALSE(tray->SetAnimationIcons(frames, -1));
    ASSERT_TRUE(tray->StartIconAnimation(kNoRealTicks, 0));
    EXPECT_EQ(Ticks(*tray, 3), (std::vector<HICON>{nullptr, ProgramIcon(), nullptr}));
    tray->EndIconAnimation();

    CSystemTray empty;
    EXPECT_FALSE(empty.NextAnimationFrame());
}

TEST_F(TrayAnimationTest, TheTimerOnTheTraysWindowDrivesTheFrames) {
    const auto tray = MakeTray();
    ASSERT_TRUE(tray->SetAnimationIcons(frames, 2));
    ASSERT_TRUE(tray->StartIconAnimation(20, 0));
    EXPECT_TRUE(PumpUntil([&] { return tray->GetTrayIcon() == frames[2]; }));
    EXPECT_TRUE(tray->EndIconAnimation());
    EXPECT_EQ(tray->GetTrayIcon(), ProgramIcon());
}

// The run time is counted in whole seconds of the clock, so the test reads
// the clock around every step and judges each tick only by what the clock
// allows: no assumption on how fast anything runs.
TEST_F(TrayAnimationTest, ARunTimeEndsTheAnimationAtTheFirstTickPastIt) {
    constexpr int kRunSeconds = 2;
    const auto limited = MakeTray();
    const auto unlimited = MakeTray();
    ASSERT_TRUE(limited->SetAnimationIcons(frames, 2));
    ASSERT_TRUE(unlimited->SetAnimationIcons(frames, 2));

    const std::time_t beforeStart = std::time(nullptr);
    ASSERT_TRUE(limited->StartIconAnimation(kNoRealTicks, kRunSeconds));
    ASSERT_TRUE(unlimited->StartIconAnimation(kNoRealTicks, 0));
    const std::time_t afterStart = std::time(nullptr);

    bool ended = false;
    while (!ended && std::time(nullptr) - afterStart <= kRunSeconds + 5) {
        const std::time_t beforeTick = std::time(nullptr);
        Tick(*limited);
        Tick(*unlimited);
        const std::time_t afterTick = std::time(nullptr);
        ended = limited->GetTrayIcon() == ProgramIcon();
        if (ended) {
            EXPECT_GT(afterTick - beforeStart, kRunSeconds);
        } else {
            EXPECT_LE(beforeTick - afterStart, kRunSeconds);
            ::Sleep(100);  // paces the ticks, as the timer would
        }
        EXPECT_NE(unlimited->GetTrayIcon(), ProgramIcon());
    }
    ASSERT_TRUE(ended);
    EXPECT_FALSE(limited->EndIconAnimation());  // the tick has stopped the timer
    Tick(*limited);
    EXPECT_EQ(limited->GetTrayIcon(), ProgramIcon());
    EXPECT_TRUE(unlimited->EndIconAnimation());
}

// Version 4, as the shell speaks it: the place in wParam, the event and the
// icon id in lParam. It is asked for after every add.
LRESULT Version4(const CSystemTray& tray, UINT id, UINT event, POINT at = {}) {
    return ::SendMessageW(tray.GetSafeHwnd(), kCallbackMessage, MAKEWPARAM(at.x, at.y), MAKELPARAM(event, id));
}

TEST_F(TrayTest, Version4IsAskedAfterEveryAddAndItsKeyboardEventsWork) {
    const auto tray = MakeTray();
    tray->SetDefaultMenuItem(ID_SHOWSTATUS, FALSE);
    EXPECT_EQ(tray->ShellVersion(), UINT{NOTIFYICON_VERSION_4});
    tray->HideFromTray();
    tray->ShowInTray();
    EXPECT_EQ(tray->ShellVersion(), UINT{NOTIFYICON_VERSION_4});
    NOTIFYICONDATAW forget = ShellRecord(tray->GetSafeHwnd(), IDR_TRAYMENU);
    ASSERT_TRUE(::Shell_NotifyIconW(NIM_DELETE, &forget));
    ::SendMessageW(tray->GetSafeHwnd(), ::RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    ASSERT_TRUE(IconInShell(*tray, IDR_TRAYMENU));
    EXPECT_EQ(tray->ShellVersion(), UINT{NOTIFYICON_VERSION_4});

    struct Case {
        const char* what;
        UINT id;
        UINT event;
        LRESULT result;
        std::vector<CommandTarget::Received> expected;
    };
    const Case cases[] = {
        {"Enter on the icon", IDR_TRAYMENU, NIN_KEYSELECT, 1, {{WM_COMMAND, ID_SHOWSTATUS}}},
        {"Space on the icon", IDR_TRAYMENU, NIN_SELECT, 1, {{WM_COMMAND, ID_SHOWSTATUS}}},
        {"the double click still", IDR_TRAYMENU, WM_LBUTTONDBLCLK, 1, {{WM_COMMAND, ID_SHOWSTATUS}}},
        // The menu comes with WM_CONTEXTMENU, which follows.
        {"right button up", IDR_TRAYMENU, WM_RBUTTONUP, 1, {}},
        {"another icon", IDR_TRAYMENU + 1, NIN_KEYSELECT, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        target.received.clear();
        EXPECT_EQ(Version4(*tray, c.id, c.event, {5, 6}), c.result);
        DrainMessages();
        EXPECT_EQ(target.received, c.expected);
    }

    // A single click (button up, then NIN_SELECT) does nothing, as ever.
    target.received.clear();
    EXPECT_EQ(Version4(*tray, IDR_TRAYMENU, WM_LBUTTONUP), 1);
    EXPECT_EQ(Version4(*tray, IDR_TRAYMENU, NIN_SELECT), 1);
    DrainMessages();
    EXPECT_TRUE(target.received.empty());

    // The menu key or Shift+F10: the menu where the shell says, not at the
    // mouse pointer.
    target.received.clear();
    ::SetCursorPos(20, 30);
    const POINT anchor{300, 200};
    MenuVisit visit;
    std::thread person([&visit, threadId = ::GetCurrentThreadId()] { visit = AnswerMenu(threadId, WM_CHAR, L'l'); });
    EXPECT_EQ(Version4(*tray, IDR_TRAYMENU, WM_CONTEXTMENU, anchor), 1);
    person.join();
    ASSERT_TRUE(visit.found);
    EXPECT_EQ(visit.rect.left, anchor.x);
    EXPECT_EQ(visit.rect.top, anchor.y);
    DrainMessages();
    EXPECT_EQ(target.received, (std::vector<CommandTarget::Received>{{WM_COMMAND, ID_EMERGENCYLOCK}, {WM_NULL, 0}}));
}

TEST_F(TrayTest, AShellThatRefusesVersion4KeepsAWorkingIcon) {
    auto tray = std::make_unique<CSystemTray>();
    tray->RequestShellVersion(0);
    ASSERT_TRUE(tray->Create(nullptr, kCallbackMessage, L"old shell", ProgramIcon(), IDR_TRAYMENU));
    tray->SetDefaultMenuItem(ID_SHOWSTATUS, FALSE);
    EXPECT_EQ(tray->ShellVersion(), 0u);
    EXPECT_TRUE(IconInShell(*tray, IDR_TRAYMENU));
    // Version 4's events do not come from such a shell; its mouse protocol works.
    EXPECT_EQ(Version4(*tray, IDR_TRAYMENU, NIN_KEYSELECT), 0);
    EXPECT_EQ(Click(*tray, IDR_TRAYMENU, WM_LBUTTONDBLCLK), 1);
    EXPECT_EQ(target.received, (std::vector<CommandTarget::Received>{{WM_COMMAND, ID_SHOWSTATUS}}));
}

}  // namespace
}  // namespace vnk::test
