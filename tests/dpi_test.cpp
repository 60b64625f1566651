// The status window and the login box at the DPIs people use. Wine reads
// its DPI setting (LogPixels) once per process, so each DPI runs in a child
// process of this test started under that setting; it checks that every
// text shows whole and saves screenshots of both windows. A DPI change
// while the windows are open is played in this process by sending the
// message that the system sends.
#include <windows.h>
#include <commctrl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "app/status_window.h"
#include "common/messages.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "fw/dpi.h"
#include "res/resource.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

using ::testing::IsEmpty;

constexpr wchar_t kChildDpiVariable[] = L"VNK_DPI_TEST_CHILD";
constexpr wchar_t kBoxTitleD[] = L"Varnok on drive D: - Please log in";

// --- What a window shows -----------------------------------------------------

// The texts of a dialog's labels and buttons that do not fit their control
// in the control's own font, each with the reason.
std::vector<std::wstring> ClippedTexts(HWND dialog) {
    std::vector<std::wstring> clipped;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        const std::wstring cls = ClassOf(child);
        const LONG style = ::GetWindowLongW(child, GWL_STYLE);
        const bool label = ::lstrcmpiW(cls.c_str(), L"Static") == 0;
        const bool button = ::lstrcmpiW(cls.c_str(), L"Button") == 0;
        if (!label && !button) continue;
        if (label && (style & SS_TYPEMASK) != SS_LEFT) continue;  // icons and the like
        const std::wstring text = TitleOf(child);
        if (text.empty() || !::IsWindowVisible(child)) continue;

        RECT client{};
        ::GetClientRect(child, &client);
        HDC dc = ::GetDC(child);
        const HGDIOBJ oldFont =
            ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(child, WM_GETFONT, 0, 0)));
        // A label breaks its text into lines of its width; a button keeps one line.
        RECT needed{0, 0, client.right, 0};
        const UINT format = DT_CALCRECT | (label ? DT_WORDBREAK : DT_SINGLELINE);
        ::DrawTextW(dc, text.c_str(), -1, &needed, format);
        ::SelectObject(dc, oldFont);
        ::ReleaseDC(child, dc);
        if (needed.right > client.right || needed.bottom > client.bottom) {
            clipped.push_back(text + L": needs " + std::to_wstring(needed.right) + L" x " +
                              std::to_wstring(needed.bottom) + L", has " + std::to_wstring(client.right) + L" x " +
                              std::to_wstring(client.bottom));
        }
    }
    return clipped;
}

std::vector<std::string> Narrow(const std::vector<std::wstring>& texts) {
    std::vector<std::string> narrow;
    for (const auto& text : texts) narrow.push_back(Ascii(text));
    return narrow;
}

LONG FontHeight(HWND control) {
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
    return font.lfHeight;
}

SIZE IconSize(HWND iconLabel) {
    const auto icon = reinterpret_cast<HICON>(::SendMessageW(iconLabel, STM_GETICON, 0, 0));
    ICONINFO info{};
    if (icon == nullptr || !::GetIconInfo(icon, &info)) return {};
    BITMAP bitmap{};
    ::GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    if (info.hbmColor != nullptr) ::DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr) ::DeleteObject(info.hbmMask);
    return {bitmap.bmWidth, bitmap.bmHeight};
}

// Every child's rectangle in its dialog's client coordinates.
std::vector<RECT> ChildRects(HWND dialog) {
    std::vector<RECT> rects;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        RECT rect{};
        ::GetWindowRect(child, &rect);
        ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
        rects.push_back(rect);
    }
    return rects;
}

bool SameRects(const std::vector<RECT>& a, const std::vector<RECT>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!::EqualRect(&a[i], &b[i])) return false;
    return true;
}

RECT WindowRect(HWND window) {
    RECT rect{};
    ::GetWindowRect(window, &rect);
    return rect;
}

// A rectangle the system could suggest with a DPI change: the window grown
// or shrunk, here at the screen's top-left corner so that it stays on the
// screen for its screenshot.
RECT Scaled(const RECT& rect, UINT to, UINT from) {
    return {0, 0, ::MulDiv(rect.right - rect.left, to, from), ::MulDiv(rect.bottom - rect.top, to, from)};
}

void ChangeDpi(HWND window, UINT dpi, RECT suggested) {
    ::SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
}

// --- The windows, with drive D: holding an encrypted disc -------------------

class DpiTest : public StatusWindowFixture {
protected:
    void SetUp() override {
        StatusWindowFixture::SetUp();
        Sim().AddDrive(L'D');
        Sim().InsertEncryptedDisc(L'D', L"secret");
    }

    // Shows the started window as the tray's "Show Status window" does.
    HWND ShowStatusWindow() {
        Command(ID_SHOWSTATUS);
        PumpUntil([this] { return m_status->m_list.GetItemCount() == 1; });
        return ::IsWindowVisible(Window()) ? Window() : nullptr;
    }

    // The box of drive D:, shown by the login thread that the status
    // window's probe started.
    HWND ShowLoginBox() {
        if (!AskLoginThread(L'D', WM_LOGIN_SHOW)) return nullptr;
        return WaitForWindow(kBoxTitleD);
    }

    void CloseLoginBox(HWND box) {
        AskLoginThread(L'D', WM_LOGIN_CLOSE);
        EXPECT_TRUE(PumpUntil([box] { return !::IsWindow(box); }));
    }
};

// One child process per DPI runs this, under its LogPixels setting.
class DpiChild : public DpiTest {};

TEST_F(DpiChild, DISABLED_BothWindowsShowEveryTextWhole) {
    const wchar_t* wanted = _wgetenv(kChildDpiVariable);
    ASSERT_NE(wanted, nullptr) << "run by DpiSettingTest.EveryDpiShowsEveryTextWhole";
    const UINT dpi = static_cast<UINT>(std::wcstoul(wanted, nullptr, 10));
    ASSERT_EQ(::GetDpiForSystem(), dpi) << "Wine did not take the LogPixels setting";
    const std::wstring suffix = L"_" + std::to_wstring(dpi) + L"dpi.bmp";

    // The box first, while the status window is behind its tray icon, as
    // when a disc arrives; then the status window.
    ASSERT_NO_FATAL_FAILURE(Start());
    HWND box = ShowLoginBox();
    ASSERT_NE(box, nullptr);
    EXPECT_THAT(Narrow(ClippedTexts(box)), IsEmpty());
    EXPECT_FALSE(SaveWindowImage(box, L"login_box" + suffix).empty());
    CloseLoginBox(box);

    HWND status = ShowStatusWindow();
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(m_status->Dpi(), dpi);
    EXPECT_THAT(Narrow(ClippedTexts(status)), IsEmpty());
    EXPECT_FALSE(SaveWindowImage(status, L"status_window" + suffix).empty());
}

// Sets Wine's DPI for the processes started while it lives.
class LogPixelsSetting {
public:
    explicit LogPixelsSetting(DWORD dpi) {
        ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                          nullptr, &m_key, nullptr);
        DWORD size = sizeof m_old;
        m_hadOld = ::RegQueryValueExW(m_key, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&m_old),
                                      &size) == ERROR_SUCCESS;
        m_set = ::RegSetValueExW(m_key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi),
                                 sizeof dpi) == ERROR_SUCCESS;
    }
    ~LogPixelsSetting() {
        if (m_hadOld)
            ::RegSetValueExW(m_key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_old), sizeof m_old);
        else
            ::RegDeleteValueW(m_key, L"LogPixels");
        ::RegCloseKey(m_key);
    }
    LogPixelsSetting(const LogPixelsSetting&) = delete;
    LogPixelsSetting& operator=(const LogPixelsSetting&) = delete;
    bool Set() const { return m_set; }

private:
    HKEY m_key = nullptr;
    DWORD m_old = 0;
    bool m_hadOld = false;
    bool m_set = false;
};

TEST(DpiSettingTest, EveryDpiShowsEveryTextWhole) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    for (DWORD dpi : {96u, 144u, 192u}) {
        SCOPED_TRACE(dpi);
        LogPixelsSetting setting(dpi);
        ASSERT_TRUE(setting.Set());
        ::SetEnvironmentVariableW(kChildDpiVariable, std::to_wstring(dpi).c_str());
        Process child(self, L"--gtest_also_run_disabled_tests --gtest_filter=DpiChild.*");
        ::SetEnvironmentVariableW(kChildDpiVariable, nullptr);
        ASSERT_TRUE(child.Started());
        ASSERT_TRUE(child.WaitForExit(3 * kWatchdogMs));
        EXPECT_EQ(child.ExitCode(), 0u) << "the windows at " << dpi << " DPI: see the child's output above";
    }
}

// --- A DPI change while the windows are open --------------------------------

TEST_F(DpiTest, StatusWindowFollowsADpiChangeAndComesBackUnchanged) {
    ASSERT_NO_FATAL_FAILURE(Start());
    HWND status = ShowStatusWindow();
    ASSERT_NE(status, nullptr);
    const UINT start = m_status->Dpi();
    const UINT doubled = 2 * start;
    const RECT startRect = WindowRect(status);
    const std::vector<RECT> startLayout = ChildRects(status);
    const LONG listFont = FontHeight(m_status->m_list.m_hWnd);

    const RECT suggested = Scaled(startRect, doubled, start);
    ChangeDpi(status, doubled, suggested);

    EXPECT_EQ(m_status->Dpi(), doubled);
    const RECT grown = WindowRect(status);
    EXPECT_TRUE(::EqualRect(&grown, &suggested));
    // The header's fonts are made again in points at the new DPI.
    EXPECT_EQ(FontHeight(m_status->m_title.m_hWnd), -::MulDiv(16, doubled, 72));
    EXPECT_EQ(FontHeight(m_status->m_version.m_hWnd), -::MulDiv(9, doubled, 72));
    EXPECT_EQ(FontHeight(m_status->m_legal.m_hWnd), -::MulDiv(8, doubled, 72));
    EXPECT_EQ(FontHeight(m_status->m_list.m_hWnd), 2 * listFont);
    // The icon area, designed as 48 x 48 pixels at 96 DPI, and its image.
    RECT icon{};
    ::GetClientRect(m_status->m_iconLabel.m_hWnd, &icon);
    EXPECT_EQ(icon.right, ::MulDiv(48, doubled, 96));
    EXPECT_EQ(IconSize(m_status->m_iconLabel.m_hWnd).cx, ::MulDiv(48, doubled, 96));
    EXPECT_THAT(Narrow(ClippedTexts(status)), IsEmpty());
    EXPECT_FALSE(SaveWindowImage(status, L"status_window_after_dpi_change.bmp").empty());

    ChangeDpi(status, start, startRect);
    EXPECT_TRUE(SameRects(ChildRects(status), startLayout)) << "the layout drifted over two changes";
    EXPECT_EQ(FontHeight(m_status->m_title.m_hWnd), -::MulDiv(16, start, 72));
    EXPECT_EQ(FontHeight(m_status->m_list.m_hWnd), listFont);
    EXPECT_EQ(IconSize(m_status->m_iconLabel.m_hWnd).cx, ::MulDiv(48, start, 96));
}

TEST_F(DpiTest, LoginBoxFollowsADpiChangeAndComesBackUnchanged) {
    ASSERT_NO_FATAL_FAILURE(Start());
    HWND box = ShowLoginBox();
    ASSERT_NE(box, nullptr);
    // The box lives on its login thread: the change arrives there.
    const UINT start = vnk::fw::DpiOf(box);
    const UINT doubled = 2 * start;
    const RECT startRect = WindowRect(box);
    const std::vector<RECT> startLayout = ChildRects(box);
    HWND prompt = ::GetDlgItem(box, IDC_PROMPT);
    HWND result = ::GetDlgItem(box, IDC_RESULT);
    const LONG promptFont = FontHeight(prompt);
    RECT promptStart{};
    ::GetClientRect(prompt, &promptStart);

    const RECT suggested = Scaled(startRect, doubled, start);
    ChangeDpi(box, doubled, suggested);

    // Sent from this thread, not the box's own, the suggestion is not read:
    // the box keeps its place and takes the size.
    const RECT grown = WindowRect(box);
    EXPECT_EQ(grown.right - grown.left, suggested.right - suggested.left);
    EXPECT_EQ(grown.bottom - grown.top, suggested.bottom - suggested.top);
    EXPECT_EQ(FontHeight(result), -::MulDiv(10, doubled, 72));
    EXPECT_EQ(FontHeight(prompt), 2 * promptFont);
    RECT promptNow{};
    ::GetClientRect(prompt, &promptNow);
    EXPECT_EQ(promptNow.right, 2 * promptStart.right);
    EXPECT_THAT(Narrow(ClippedTexts(box)), IsEmpty());
    EXPECT_FALSE(SaveWindowImage(box, L"login_box_after_dpi_change.bmp").empty());

    ChangeDpi(box, start, startRect);
    EXPECT_TRUE(SameRects(ChildRects(box), startLayout)) << "the layout drifted over two changes";
    EXPECT_EQ(FontHeight(result), -::MulDiv(10, start, 72));
    EXPECT_EQ(FontHeight(prompt), promptFont);
    CloseLoginBox(box);
}

}  // namespace
}  // namespace vnk::test
