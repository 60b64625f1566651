#include "tests/support/screen_capture.h"

#include "fw/handles.h"

namespace vnk::test {

bool SaveScreenArea(const RECT& area, const std::wstring& path) {
    const int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0) return false;
    const vnk::fw::UniqueScreenDc screen(::GetDC(nullptr));
    const vnk::fw::UniqueDc memory(::CreateCompatibleDC(screen.get()));
    if (!screen || !memory) return false;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    const vnk::fw::UniqueBitmap bitmap(::CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap) return false;
    const HGDIOBJ old = ::SelectObject(memory.get(), bitmap.get());
    ::BitBlt(memory.get(), 0, 0, width, height, screen.get(), area.left, area.top, SRCCOPY);
    ::GdiFlush();
    // The bitmap goes back out of the DC before either owner lets go of it.
    ::SelectObject(memory.get(), old);

    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD imageSize = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + imageSize;
    const vnk::fw::UniqueHandle out(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD done = 0;
    return out && ::WriteFile(out.get(), &file, sizeof file, &done, nullptr) &&
           ::WriteFile(out.get(), &info.bmiHeader, sizeof info.bmiHeader, &done, nullptr) &&
           ::WriteFile(out.get(), bits, imageSize, &done, nullptr);
}

bool SaveScreen(const std::wstring& path) {
    const int left = ::GetSystemMetrics(SM_XVIRTUALSCREEN), top = ::GetSystemMetrics(SM_YVIRTUALSCREEN);
    const RECT all{left, top, left + ::GetSystemMetrics(SM_CXVIRTUALSCREEN),
                   top + ::GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    return SaveScreenArea(all, path);
}

}  // namespace vnk::test
