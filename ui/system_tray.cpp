#include "ui/system_tray.h"

#include <cstddef>
#include <ctime>
#include <windowsx.h>
#include <cwchar>
#include <new>
#include <utility>

#include "common/strings.h"
#include "fw/app.h"
#include "fw/handles.h"
#include "fw/thread.h"

namespace vnk {

namespace {

// The record form with the 128-unit tooltip, the balloon members and the
// item GUID but without the balloon icon handle: the newest form that every
// shell since Windows XP accepts.
constexpr DWORD kNotifyDataSize =
    static_cast<DWORD>(offsetof(NOTIFYICONDATAW, guidItem) + sizeof(GUID));
#ifndef _WIN64
static_assert(kNotifyDataSize == 952);
#endif
static_assert(offsetof(NOTIFYICONDATAW, hBalloonIcon) == kNotifyDataSize);

// With version 4 the shell draws the standard tooltip only when asked to.
constexpr UINT kAddFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;

// The shell broadcasts this to every top-level window when its taskbar is
// created, as after explorer restarts; icons it knew before are gone then.
const UINT kTaskbarCreatedMessage = ::RegisterWindowMessageW(L"TaskbarCreated");

// The popup menu named by the icon id, and its first submenu (null when the
// resource or the submenu is missing).
HMENU LoadFirstSubMenu(UINT iconId, vnk::fw::UniqueMenu& menu) {
    menu.reset(::LoadMenuW(vnk::fw::ResourceInstance(), MAKEINTRESOURCEW(LOWORD(iconId))));
    return menu ? ::GetSubMenu(menu.get(), 0) : nullptr;
}

HWND MainWindowOfThisThread() {
    const vnk::fw::Thread* thread = vnk::fw::CurrentThread();
    const vnk::fw::Wnd* main = thread != nullptr ? thread->GetMainWnd() : nullptr;
    return main != nullptr ? main->GetSafeHwnd() : nullptr;
}

// Whole seconds of the local wall clock, so that the animation's run time
// is measured as a person reading the clock would.
long long LocalNowSeconds() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_s(&local, &now) != 0) return static_cast<long long>(now);
    return static_cast<long long>(::_mkgmtime(&local));
}

// Replaces the frames with count new ones. The list is left empty when
// memory runs out.
template <class FrameAt>
BOOL FillFrames(std::vector<HICON>& frames, size_t count, FrameAt frameAt) {
    frames.clear();
    try {
        frames.reserve(count);
        for (size_t i = 0; i < count; ++i) frames.push_back(frameAt(i));
    } catch (const std::bad_alloc&) {
        frames.clear();
        vnk::fw::ReportOutOfMemory();
        return FALSE;
    }
    return TRUE;
}

}  // namespace

FW_BEGIN_MESSAGE_MAP(CSystemTray, vnk::fw::Wnd)
    FW_ON_WM_TIMER()
    FW_ON_REGISTERED_MESSAGE(kTaskbarCreatedMessage, OnTaskbarCreated)
FW_END_MESSAGE_MAP()

CSystemTray::CSystemTray(vnk::fw::Wnd* parent, UINT callbackMessage, const wchar_t* tooltip, HICON icon,
                         UINT id) {
    Create(parent, callbackMessage, tooltip, icon, id);
}

CSystemTray::~CSystemTray() {
    RemoveFromTray();
    m_animationIcons.clear();
    DestroyWindow();  // also ends the animation timer
}

BOOL CSystemTray::Create(vnk::fw::Wnd* parent, UINT callbackMessage, const wchar_t* tooltip, HICON icon,
                         UINT id) {
    // The notification area came with Windows 95 and NT 4.
    if (LOBYTE(LOWORD(::GetVersion())) < 4) {
        m_bAdded = FALSE;
        return FALSE;
    }
    // Never shown; it receives the callback message and the animation timer.
    CreateEx(0, L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr);

    const HWND parentWindow = parent != nullptr ? parent->GetSafeHwnd() : nullptr;
    m_nid.cbSize = kNotifyDataSize;
    m_nid.hWnd = parentWindow != nullptr ? parentWindow : m_hWnd;
    m_nid.uID = id;
    m_nid.uCallbackMessage = callbackMessage;
    m_nid.hIcon = icon;
    ::wcsncpy_s(m_nid.szTip, tooltip != nullptr ? tooltip : L"", _TRUNCATE);

    m_bWanted = true;
    m_bAdded = Add();
    return m_bAdded;
}

BOOL CSystemTray::Add() {
    if (!Notify(NIM_ADD, kAddFlags)) return FALSE;
    // Version 4 brings the keyboard: Enter, Space and the menu key on the
    // icon (NIN_KEYSELECT, NIN_SELECT, WM_CONTEXTMENU with the place for
    // the menu). The shell forgets it with the icon, so it is asked after
    // every add; a shell that refuses keeps the icon in the old protocol,
    // which the callback still understands.
    m_nid.uVersion = m_requestedVersion;
    m_version = m_requestedVersion != 0 && Notify(NIM_SETVERSION, 0) ? m_requestedVersion : 0;
    return TRUE;
}

BOOL CSystemTray::Notify(DWORD message, UINT flags) {
    m_nid.uFlags = flags;
    return ::Shell_NotifyIconW(message, &m_nid);
}

void CSystemTray::RemoveFromTray() {
    m_bWanted = false;
    if (!m_bAdded) return;
    Notify(NIM_DELETE, 0);
    m_bAdded = FALSE;
}

void CSystemTray::HideFromTray() {
    if (!m_bAdded || m_bHidden) return;
    Notify(NIM_DELETE, NIF_ICON);
    m_bHidden = TRUE;
}

void CSystemTray::ShowInTray() {
    if (!m_bAdded || !m_bHidden) return;
    Add();
    m_bHidden = FALSE;
}

void CSystemTray::RefreshTrayPosition() {
    HideFromTray();
    ShowInTray();
}

BOOL CSystemTray::SetTrayIcon(HICON icon) {
    if (!m_bAdded) return FALSE;
    m_nid.hIcon = icon;
    return Notify(NIM_MODIFY, NIF_ICON);
}

BOOL CSystemTray::LoadTrayIcon(const wchar_t* resourceName) {
    return SetTrayIcon(::LoadIconW(vnk::fw::ResourceInstance(), resourceName));
}

BOOL CSystemTray::LoadTrayIcon(UINT resourceId) {
    return LoadTrayIcon(MAKEINTRESOURCEW(resourceId));
}

BOOL CSystemTray::LoadSystemTrayIcon(const wchar_t* iconName) {
    return SetTrayIcon(::LoadIconW(nullptr, iconName));
}

BOOL CSystemTray::LoadSystemTrayIcon(UINT iconId) {
    return LoadSystemTrayIcon(MAKEINTRESOURCEW(iconId));
}

HICON CSystemTray::GetTrayIcon() const {
    return m_bAdded ? m_nid.hIcon : nullptr;
}

BOOL CSystemTray::SetTrayTooltip(const wchar_t* text) {
    if (!m_bAdded) return FALSE;
    ::wcsncpy_s(m_nid.szTip, text != nullptr ? text : L"", _TRUNCATE);
    return Notify(NIM_MODIFY, NIF_TIP | NIF_SHOWTIP);
}

BOOL CSystemTray::SetTrayTooltip(UINT stringId) {
    if (!m_bAdded) return FALSE;
    return SetTrayTooltip(LoadResString(stringId).c_str());
}

std::wstring CSystemTray::GetTrayTooltip() const {
    return m_bAdded ? m_nid.szTip : L"";
}

BOOL CSystemTray::SetCallbackWindow(vnk::fw::Wnd* window) {
    if (!m_bAdded) return FALSE;
    const HWND previous = m_nid.hWnd;
    m_nid.hWnd = window != nullptr ? window->GetSafeHwnd() : nullptr;
    const BOOL changed = Notify(NIM_MODIFY, 0);
    // The shell knows the icon by window and id; a window it refused would
    // leave the record naming an icon that does not exist, and the icon
    // could then no longer be changed or removed.
    if (!changed) m_nid.hWnd = previous;
    return changed;
}

vnk::fw::Wnd* CSystemTray::GetCallbackWindow() const {
    return vnk::fw::Wnd::FromHandle(m_nid.hWnd);
}

BOOL CSystemTray::SetDefaultMenuItem(UINT item, BOOL byPosition) {
    const BOOL flag = byPosition ? TRUE : FALSE;
    if (item == m_defaultMenuItem && flag == m_defaultByPosition) return TRUE;
    m_defaultMenuItem = item;
    m_defaultByPosition = flag;

    vnk::fw::UniqueMenu menu;
    const HMENU popup = LoadFirstSubMenu(m_nid.uID, menu);
    if (popup == nullptr) return FALSE;
    ::SetMenuDefaultItem(popup, item, flag);
    return TRUE;
}

void CSystemTray::GetDefaultMenuItem(UINT& item, BOOL& byPosition) const {
    item = m_defaultMenuItem;
    byPosition = m_defaultByPosition;
}

BOOL CSystemTray::SetAnimationIcons(UINT firstResourceId, UINT lastResourceId) {
    if (firstResourceId > lastResourceId) return FALSE;
    const size_t count = static_cast<size_t>(lastResourceId - firstResourceId) + 1;
    return FillFrames(m_animationIcons, count, [firstResourceId](size_t i) {
        const UINT id = firstResourceId + static_cast<UINT>(i);
        return ::LoadIconW(vnk::fw::ResourceInstance(), MAKEINTRESOURCEW(id));
    });
}

BOOL CSystemTray::SetAnimationIcons(const HICON* icons, int lastIndex) {
    if (icons == nullptr || lastIndex < 0) return FALSE;
    return FillFrames(m_animationIcons, static_cast<size_t>(lastIndex) + 1,
                      [icons](size_t i) { return icons[i]; });
}

BOOL CSystemTray::StartIconAnimation(UINT periodMs, int seconds) {
    EndIconAnimation();
    m_animationIndex = 0;
    m_animationStart = LocalNowSeconds();
    m_animationSeconds = seconds;
    m_savedIcon = GetTrayIcon();
    // Without a window SetTimer would make a thread timer whose ticks never
    // reach the tray.
    if (m_hWnd == nullptr) return FALSE;
    m_animationTimer = ::SetTimer(m_hWnd, AnimationTimerId, periodMs, nullptr);
    return m_animationTimer != 0;
}

BOOL CSystemTray::NextAnimationFrame() {
    if (m_animationIcons.empty()) return FALSE;
    ++m_animationIndex;
    if (static_cast<size_t>(m_animationIndex) >= m_animationIcons.size()) m_animationIndex = 0;
    if (!m_bAdded) return FALSE;
    m_nid.hIcon = m_animationIcons[static_cast<size_t>(m_animationIndex)];
    return Notify(NIM_MODIFY, NIF_ICON);
}

BOOL CSystemTray::EndIconAnimation() {
    BOOL stopped = FALSE;
    if (m_animationTimer != 0) stopped = ::KillTimer(m_hWnd, m_animationTimer);
    m_animationTimer = 0;
    if (m_savedIcon != nullptr && m_bAdded) {
        m_nid.hIcon = m_savedIcon;
        Notify(NIM_MODIFY, NIF_ICON);
    }
    m_savedIcon = nullptr;
    return stopped;
}

void CSystemTray::OnTimer(UINT_PTR) {
    // Both ends are whole seconds, so the difference needs no rounding.
    const long long elapsed = LocalNowSeconds() - m_animationStart;
    if (m_animationSeconds > 0 && elapsed > m_animationSeconds)
        EndIconAnimation();
    else
        NextAnimationFrame();
}

LRESULT CSystemTray::OnTaskbarCreated(WPARAM, LPARAM) {
    // A new taskbar starts empty: without this the icon, and with it the
    // only way to the tray menu, would stay away until the next logon.
    AddWhenTaskbarCreated();
    return 0;
}

BOOL CSystemTray::AddWhenTaskbarCreated() {
    if (!m_bWanted || m_bHidden) return FALSE;
    // The owner may ask too, on the same broadcast: an add of an icon the
    // shell has already fails and changes nothing.
    if (Add()) m_bAdded = TRUE;
    return m_bAdded;
}

LRESULT CSystemTray::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_nid.uCallbackMessage != 0 && message == m_nid.uCallbackMessage)
        return OnTrayCallback(wParam, lParam);
    return vnk::fw::Wnd::WindowProc(message, wParam, lParam);
}

LRESULT CSystemTray::OnTrayCallback(WPARAM wParam, LPARAM lParam) {
    // Version 4 carries the icon id in the high word of lParam and the
    // place of the event in wParam; the old protocol the id in wParam.
    // The id is never 0 in the high word of an old-protocol message, so
    // either form is understood whatever the shell agreed to.
    const bool version4 =
        m_version >= NOTIFYICON_VERSION_4 && HIWORD(lParam) == LOWORD(m_nid.uID) && HIWORD(lParam) != 0;
    if (!version4 && wParam != m_nid.uID) return 0;
    const HWND target = MainWindowOfThisThread();
    switch (LOWORD(lParam)) {
        case WM_RBUTTONUP:
            // In version 4 the shell follows this with WM_CONTEXTMENU.
            if (version4) return 1;
            return ShowTrayMenu(target, CursorPosition());
        case WM_CONTEXTMENU:
            // From the mouse or the keyboard (Shift+F10, the menu key): the
            // shell says where the menu goes.
            if (!version4) return 1;
            return ShowTrayMenu(target, POINT{GET_X_LPARAM(wParam), GET_Y_LPARAM(wParam)});
        case WM_LBUTTONUP:
            // In version 4 the shell follows a click with NIN_SELECT.
            m_selectFollowsClick = version4;
            return 1;
        case NIN_SELECT:
        case NIN_KEYSELECT: {
            // Space or Enter on the icon: what a double click does. A
            // single click stays without effect, as it always was.
            const bool afterClick = std::exchange(m_selectFollowsClick, false) && LOWORD(lParam) == NIN_SELECT;
            if (!version4 || afterClick) return 1;
            return SendDefaultCommand(target);
        }
        case WM_LBUTTONDBLCLK:
            return SendDefaultCommand(target);
        default:
            return 1;
    }
}

POINT CSystemTray::CursorPosition() {
    POINT cursor{};
    ::GetCursorPos(&cursor);
    return cursor;
}

LRESULT CSystemTray::ShowTrayMenu(HWND target, POINT at) const {
    // Commands need a window to go to.
    if (target == nullptr) return 0;
    vnk::fw::UniqueMenu menu;
    const HMENU popup = LoadFirstSubMenu(m_nid.uID, menu);
    if (popup == nullptr) return 0;
    ::SetMenuDefaultItem(popup, m_defaultMenuItem, m_defaultByPosition);
    // What the shell needs to hand the focus back to the icon afterwards.
    NOTIFYICONDATAW focus{};
    focus.cbSize = m_nid.cbSize;
    focus.hWnd = m_nid.hWnd;
    focus.uID = m_nid.uID;
    const bool giveFocusBack = m_bAdded && !m_bHidden;

    // Unless the target is in front the menu does not close when the user
    // clicks elsewhere.
    ::SetForegroundWindow(target);
    // The menu's loop may run a handler that deletes this tray: from here
    // on only locals are used.
    ::TrackPopupMenu(popup, 0, at.x, at.y, 0, target, nullptr);
    // Makes the target's thread switch away from the menu, or a second
    // right click would open the menu and close it at once.
    ::PostMessageW(target, WM_NULL, 0, 0);
    // A keyboard user came from the notification area (Win+B) and goes
    // back there; a command chosen still takes the foreground when it
    // shows a window, the user's last input having been ours.
    if (giveFocusBack) ::Shell_NotifyIconW(NIM_SETFOCUS, &focus);
    return 1;
}

LRESULT CSystemTray::SendDefaultCommand(HWND target) {
    if (target == nullptr) return 0;
    ::SetForegroundWindow(target);
    vnk::fw::UniqueMenu menu;
    UINT command = m_defaultMenuItem;
    if (m_defaultByPosition) {
        const HMENU popup = LoadFirstSubMenu(m_nid.uID, menu);
        if (popup == nullptr) return 0;
        command = ::GetMenuItemID(popup, static_cast<int>(m_defaultMenuItem));
    }
    // The command's handler may delete this tray before the send returns
    // (showing the main window takes the icon away): only locals from here.
    ::SendMessageW(target, WM_COMMAND, command, 0);
    return 1;
}

}  // namespace vnk
