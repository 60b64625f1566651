// Sizes from a window's DPI. Lengths that the code gives in pixels are
// designed at 96 DPI and scaled; fonts are sized in points.
#pragma once

#include <windows.h>

namespace vnk::fw {

constexpr UINT kDesignDpi = 96;

// The DPI a window is shown at.
inline UINT DpiOf(HWND window) {
    const UINT dpi = window != nullptr ? ::GetDpiForWindow(window) : 0;
    return dpi != 0 ? dpi : ::GetDpiForSystem();
}

// A length designed at 96 DPI, at `dpi`.
inline int ScaleForDpi(int designPixels, UINT dpi) {
    return ::MulDiv(designPixels, static_cast<int>(dpi), static_cast<int>(kDesignDpi));
}

// CreateFontW's height for a font of `points` at `dpi`.
inline int FontHeightForDpi(int points, UINT dpi) { return -::MulDiv(points, static_cast<int>(dpi), 72); }

}  // namespace vnk::fw
