// The coloured label on its own: its colours and the one brush it keeps.
// The login box shows it at work (login_test).
#include <gtest/gtest.h>

#include <windows.h>

#include "ui/accessibility.h"
#include "ui/color_static.h"

namespace vnk::test {
namespace {

TEST(ColorStaticTest, KeepsOneBrushOfTheBackgroundColour) {
    CColorStatic label;
    EXPECT_EQ(label.GetForeColor(), RGB(0, 0, 0));
    EXPECT_EQ(label.GetBackColor(), ::GetSysColor(COLOR_BTNFACE));
    for (COLORREF color : {RGB(1, 2, 3), RGB(200, 0, 0), RGB(0, 0, 200)}) {
        HBRUSH old = label.GetBrush();
        label.SetBackColor(color);
        EXPECT_EQ(::GetObjectType(old), 0u) << "the previous brush is still alive";
        LOGBRUSH lb{};
        ::GetObjectW(label.GetBrush(), sizeof lb, &lb);
        EXPECT_EQ(lb.lbColor, color);
    }
}

struct Painted {
    COLORREF text;
    COLORREF back;
    COLORREF brush;
};

// What the label gives the system when it is about to be painted.
Painted Paint(CColorStatic& label) {
    HDC dc = ::CreateCompatibleDC(nullptr);
    const HBRUSH brush = label.OnReflectedCtlColor(dc, CTLCOLOR_STATIC);
    LOGBRUSH lb{};
    ::GetObjectW(brush, sizeof lb, &lb);
    const Painted painted{::GetTextColor(dc), ::GetBkColor(dc), lb.lbColor};
    ::DeleteDC(dc);
    return painted;
}

// Sets the system's face and text colours for the length of a test (for
// the whole session, as the user would), and puts them back.
class SchemeScope {
public:
    SchemeScope(COLORREF face, COLORREF text) : m_old{::GetSysColor(COLOR_BTNFACE), ::GetSysColor(COLOR_BTNTEXT)} {
        Set(face, text);
    }
    ~SchemeScope() { Set(m_old[0], m_old[1]); }

private:
    static void Set(COLORREF face, COLORREF text) {
        const INT elements[] = {COLOR_BTNFACE, COLOR_BTNTEXT};
        const COLORREF colors[] = {face, text};
        ::SetSysColors(2, elements, colors);
    }
    COLORREF m_old[2];
};

TEST(ColorStaticTest, ColoursAreReadWhenItPaintsAndResultColoursStayReadable) {
    struct Case {
        const char* scheme;
        COLORREF face;
        COLORREF text;
        COLORREF wanted;
        bool kept;  // the wanted colour already reads at 4.5:1
    };
    const Case cases[] = {
        {"light, green", RGB(240, 240, 240), RGB(0, 0, 0), RGB(0, 128, 0), true},
        {"light, dark red", RGB(240, 240, 240), RGB(0, 0, 0), RGB(128, 0, 0), true},
        {"classic grey, green", RGB(192, 192, 192), RGB(0, 0, 0), RGB(0, 128, 0), false},
        {"black, green", RGB(0, 0, 0), RGB(255, 255, 255), RGB(0, 128, 0), false},
        {"black, dark red", RGB(0, 0, 0), RGB(255, 255, 0), RGB(128, 0, 0), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scheme);
        CColorStatic fresh;
        CColorStatic result;
        result.SetForeColor(c.wanted);
        const SchemeScope scheme(c.face, c.text);
        const Painted plain = Paint(fresh);
        EXPECT_EQ(plain.text, c.text);
        EXPECT_EQ(plain.back, c.face);
        EXPECT_EQ(plain.brush, c.face);
        const Painted coloured = Paint(result);
        EXPECT_EQ(coloured.back, c.face);
        EXPECT_GE(a11y::ContrastRatio(coloured.text, coloured.back), CColorStatic::kMinimumContrast);
        EXPECT_EQ(coloured.text == c.wanted, c.kept);
    }
}

TEST(ColorStaticTest, HighContrastHandsTheColoursBackToTheSystem) {
    HIGHCONTRASTW old{};
    old.cbSize = sizeof old;
    ASSERT_TRUE(::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof old, &old, 0));
    HIGHCONTRASTW on = old;
    on.dwFlags |= HCF_HIGHCONTRASTON;
    on.lpszDefaultScheme = nullptr;
    if (!::SystemParametersInfoW(SPI_SETHIGHCONTRAST, sizeof on, &on, 0) || !a11y::HighContrastOn())
        GTEST_SKIP() << "this system does not let high contrast be switched on";
    {
        const SchemeScope scheme(RGB(0, 0, 0), RGB(255, 255, 255));
        CColorStatic label;
        label.SetBackColor(RGB(240, 240, 240));
        label.SetForeColor(RGB(0, 128, 0));
        const Painted painted = Paint(label);
        EXPECT_EQ(painted.text, RGB(255, 255, 255));
        EXPECT_EQ(painted.back, RGB(0, 0, 0));
        EXPECT_EQ(painted.brush, RGB(0, 0, 0));
    }
    old.lpszDefaultScheme = nullptr;
    ::SystemParametersInfoW(SPI_SETHIGHCONTRAST, sizeof old, &old, 0);
    EXPECT_FALSE(a11y::HighContrastOn());
}

}  // namespace
}  // namespace vnk::test
