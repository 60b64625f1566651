// What the screen shows, written as a 24-bit BMP: a window for the tests'
// screenshots, the whole screen for the evidence of a failed chaos seed.
#pragma once

#include <windows.h>

#include <string>

namespace vnk::test {

// The part of the screen in `area` (screen coordinates); false when
// nothing was written.
bool SaveScreenArea(const RECT& area, const std::wstring& path);
// The whole virtual screen (every monitor).
bool SaveScreen(const std::wstring& path);

}  // namespace vnk::test
