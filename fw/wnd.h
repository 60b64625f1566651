// A window bound to a C++ object. The association is made at the window's
// first message (WM_NCCREATE, WM_INITDIALOG) while this thread creates it,
// once, or by Attach for a control, and removed at WM_NCDESTROY before the
// object is told, so that no handler runs on an object whose window is half
// gone. WM_DESTROY and WM_NCDESTROY count only inside our own
// DestroyOwnWindow on the window's thread; any program can send or post
// them, and such a one reaches neither the object nor the window's own
// procedure. A WM_CREATE or WM_INITDIALOG outside the creation (any program can
// send one) goes to the default procedure and is traced; a late WM_NCCREATE
// is traced and answered without it (it would retitle the window).
#pragma once

#include <windows.h>

#include <string>

#include "fw/message_map.h"

namespace vnk::fw {

class Wnd : public CmdTarget {
public:
    Wnd() = default;
    ~Wnd() override;  // destroys a window that is still alive

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }

    // The object bound to a window of this process, or null for a window
    // that has none or belongs to another process.
    static Wnd* FromHandle(HWND hwnd);

    // Creates a window of the framework's own plain window class.
    bool CreateEx(DWORD exStyle, const wchar_t* title, DWORD style, int x, int y, int width,
                  int height, HWND parent, HMENU menuOrId);

    // Binds an existing window (a dialog control) to this object without
    // subclassing it; Detach undoes it.
    void Attach(HWND hwnd);
    HWND Detach();
    // Binds an existing window and routes its messages through this
    // object; what the object leaves to Default() goes to the window's own
    // procedure. Undone by Detach and when the window goes.
    virtual bool SubclassWindow(HWND hwnd);

    virtual BOOL DestroyWindow();
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL PreTranslateMessage(MSG* msg);

    // The default processing of the message being handled now.
    LRESULT Default();

    // Thin helpers over the window's handle.
    BOOL IsWindow() const { return m_hWnd != nullptr && ::IsWindow(m_hWnd); }
    BOOL ShowWindow(int cmd) const { return ::ShowWindow(m_hWnd, cmd); }
    void SetWindowText(const wchar_t* text) const { ::SetWindowTextW(m_hWnd, text); }
    std::wstring GetWindowText() const;
    LRESULT SendMessage(UINT m, WPARAM w = 0, LPARAM l = 0) const { return ::SendMessageW(m_hWnd, m, w, l); }
    BOOL PostMessage(UINT m, WPARAM w = 0, LPARAM l = 0) const { return ::PostMessageW(m_hWnd, m, w, l); }
    void Invalidate(BOOL erase = TRUE) const { ::InvalidateRect(m_hWnd, nullptr, erase); }
    void SetFont(HFONT font, BOOL redraw = TRUE) const {
        SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), MAKELPARAM(redraw, 0));
    }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    BOOL EnableWindow(BOOL enable) const { return ::EnableWindow(m_hWnd, enable); }

protected:
    // True between the binding at WM_NCCREATE and the end of CreateEx:
    // WM_CREATE reaches the object only then.
    bool m_creating = false;

    // Called after the window has gone and the association is removed.
    virtual void PostNcDestroy() {}
    // What Default() runs: DefWindowProcW for plain windows.
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Map look-up including the reflection of control-colour queries.
    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // Entry from a window or dialog procedure: records the current message,
    // catches what a handler throws and unbinds the object at WM_NCDESTROY.
    LRESULT Route(UINT message, WPARAM wParam, LPARAM lParam, bool viaMap, bool* handled);

    void Bind(HWND hwnd);
    void Unbind();

private:
    struct CurrentMessage {
        UINT message = 0;
        WPARAM wParam = 0;
        LPARAM lParam = 0;
    };
    CurrentMessage m_current;
    // The window's own procedure while this object subclasses it.
    WNDPROC m_superProc = nullptr;
    // Set by Route while a handler runs; the destructor raises it so that
    // Route, once the handler returns, touches nothing of a deleted object
    // (a handler may delete its own window object, as a tray icon's owner
    // does from a double-click command).
    bool* m_deletedFlag = nullptr;

    friend LRESULT CALLBACK WndProcThunk(HWND, UINT, WPARAM, LPARAM);
    friend class Dialog;
};

// Destroys a window of the calling thread as our own destruction: only
// inside such a call do the window's WM_DESTROY and WM_NCDESTROY (and its
// children's and owned windows') reach objects and window procedures.
BOOL DestroyOwnWindow(HWND hwnd);

namespace detail {
// Whether a message that reached a window procedure of ours must be
// dropped there, unseen by the object and by the window's own procedure:
// WM_DESTROY or WM_NCDESTROY that did not come from DestroyOwnWindow on
// this thread, or WM_NOTIFY (whose lParam is a pointer a handler would
// read) sent by another thread. The drop is traced.
bool ForgedMessage(HWND hwnd, UINT message);
// Messages that only the system sends, on the window's own thread: a
// posted one is somebody else's, and the framework's loops drop it.
bool NeverPosted(UINT message);
// Puts a small procedure in front of a window of this thread that we did
// not make (a dialog's control), which keeps ForgedMessage's messages from
// the control's own procedure. Once per window.
void GuardWindow(HWND hwnd);
// Marks the object whose window the calling thread is creating, for the
// length of one creation call; nested creations restore the outer one.
class CreationScope {
public:
    explicit CreationScope(Wnd* wnd);
    ~CreationScope();
    CreationScope(const CreationScope&) = delete;
    CreationScope& operator=(const CreationScope&) = delete;

private:
    Wnd* m_outer;
};
// Whether the message being handled was sent by another thread or process.
bool SentByAnotherThread();
// The object to bind to `hwnd` for its first message: the one this thread
// is creating, if `claimed` (the pointer the message carries) is that
// object, the window has none yet and the message is this thread's own;
// taken once. Otherwise null, and the refusal is traced.
Wnd* TakeObjectBeingCreated(HWND hwnd, UINT message, const void* claimed);
}  // namespace detail

// The module whose resources (dialogs, strings, menus, icons) the program uses.
HINSTANCE ResourceInstance();

}  // namespace vnk::fw
