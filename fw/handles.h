// Owners for kernel handles, GDI objects, icons, menus and system-allocated
// text: each closes what it holds exactly once, in its destructor.
#pragma once

#include <windows.h>

#include <utility>

namespace vnk::fw {

template <class T, class Traits>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    T get() const { return value_; }
    explicit operator bool() const { return Traits::Valid(value_); }
    T release() { return std::exchange(value_, Traits::Invalid()); }
    void reset(T value = Traits::Invalid()) {
        T old = std::exchange(value_, value);
        if (Traits::Valid(old)) Traits::Close(old);
    }

private:
    T value_ = Traits::Invalid();
};

struct KernelHandleTraits {
    static HANDLE Invalid() { return nullptr; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<HANDLE, KernelHandleTraits>;

template <class T>
struct GdiTraits {
    static T Invalid() { return nullptr; }
    static bool Valid(T h) { return h != nullptr; }
    static void Close(T h) { ::DeleteObject(h); }
};
using UniqueBrush = UniqueResource<HBRUSH, GdiTraits<HBRUSH>>;
using UniqueFontHandle = UniqueResource<HFONT, GdiTraits<HFONT>>;
using UniqueBitmap = UniqueResource<HBITMAP, GdiTraits<HBITMAP>>;

// A device context made with CreateCompatibleDC or CreateDC.
struct DcTraits {
    static HDC Invalid() { return nullptr; }
    static bool Valid(HDC h) { return h != nullptr; }
    static void Close(HDC h) { ::DeleteDC(h); }
};
using UniqueDc = UniqueResource<HDC, DcTraits>;

// The screen's device context (GetDC(nullptr)), given back with ReleaseDC.
struct ScreenDcTraits {
    static HDC Invalid() { return nullptr; }
    static bool Valid(HDC h) { return h != nullptr; }
    static void Close(HDC h) { ::ReleaseDC(nullptr, h); }
};
using UniqueScreenDc = UniqueResource<HDC, ScreenDcTraits>;

struct IconTraits {
    static HICON Invalid() { return nullptr; }
    static bool Valid(HICON h) { return h != nullptr; }
    static void Close(HICON h) { ::DestroyIcon(h); }
};
using UniqueIcon = UniqueResource<HICON, IconTraits>;

struct MenuTraits {
    static HMENU Invalid() { return nullptr; }
    static bool Valid(HMENU h) { return h != nullptr; }
    static void Close(HMENU h) { ::DestroyMenu(h); }
};
using UniqueMenu = UniqueResource<HMENU, MenuTraits>;

// Memory a system call allocated with LocalAlloc and hands over: text
// (FormatMessageW with FORMAT_MESSAGE_ALLOCATE_BUFFER, SID strings), or
// anything else (security descriptors made from SDDL).
template <class T>
struct LocalFreeTraits {
    static T Invalid() { return nullptr; }
    static bool Valid(T p) { return p != nullptr; }
    static void Close(T p) { ::LocalFree(p); }
};
using UniqueLocalText = UniqueResource<wchar_t*, LocalFreeTraits<wchar_t*>>;
using UniqueLocalMemory = UniqueResource<HLOCAL, LocalFreeTraits<HLOCAL>>;

struct HookTraits {
    static HHOOK Invalid() { return nullptr; }
    static bool Valid(HHOOK h) { return h != nullptr; }
    static void Close(HHOOK h) { ::UnhookWindowsHookEx(h); }
};
using UniqueHook = UniqueResource<HHOOK, HookTraits>;

struct DeviceNotifyTraits {
    static HDEVNOTIFY Invalid() { return nullptr; }
    static bool Valid(HDEVNOTIFY h) { return h != nullptr; }
    static void Close(HDEVNOTIFY h) { ::UnregisterDeviceNotification(h); }
};
using UniqueDeviceNotify = UniqueResource<HDEVNOTIFY, DeviceNotifyTraits>;

}  // namespace vnk::fw
