// The coloured label on its own: its colours and the one brush it keeps.
// The login box shows it at work (login_test).
#include <gtest/gtest.h>

#include <windows.h>

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

}  // namespace
}  // namespace vnk::test
