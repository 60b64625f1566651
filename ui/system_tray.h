// One icon in the notification area. Clicks on it become commands for the
// main window of the creating thread: a right click opens the popup menu
// named by the icon id, a double click sends the menu's default command.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "fw/wnd.h"

namespace vnk {

class CSystemTray : public vnk::fw::Wnd {
public:
    static constexpr UINT AnimationTimerId = 4567;

    CSystemTray() = default;
    CSystemTray(vnk::fw::Wnd* parent, UINT callbackMessage, const wchar_t* tooltip, HICON icon, UINT id);
    ~CSystemTray() override;

    // Creates the tray's hidden window and adds the icon. The callback
    // message goes to `parent`'s window when it has one, else to the tray's
    // own window. The low word of `id` also names the popup menu resource.
    BOOL Create(vnk::fw::Wnd* parent, UINT callbackMessage, const wchar_t* tooltip, HICON icon, UINT id);

    void RemoveFromTray();
    // Adds the icon again after the shell's taskbar has been created (also
    // when the first add failed because there was none yet), unless it is
    // hidden or removed. True when the icon is in the notification area.
    BOOL AddWhenTaskbarCreated();
    // The icon is in the notification area now.
    bool InTray() const { return m_bAdded && !m_bHidden; }
    // The protocol asked of the shell after each add: NOTIFYICON_VERSION_4
    // unless set otherwise before Create (0: the old protocol only).
    void RequestShellVersion(UINT version) { m_requestedVersion = version; }
    // The protocol the shell agreed to for the icon as added last.
    UINT ShellVersion() const { return m_version; }
    void HideFromTray();
    void ShowInTray();
    // Takes the icon out and adds it again, as the newest in the area.
    void RefreshTrayPosition();

    BOOL SetTrayIcon(HICON icon);
    BOOL LoadTrayIcon(const wchar_t* resourceName);
    BOOL LoadTrayIcon(UINT resourceId);
    BOOL LoadSystemTrayIcon(const wchar_t* iconName);
    BOOL LoadSystemTrayIcon(UINT iconId);
    HICON GetTrayIcon() const;

    BOOL SetTrayTooltip(const wchar_t* text);
    BOOL SetTrayTooltip(UINT stringId);
    std::wstring GetTrayTooltip() const;

    BOOL SetCallbackWindow(vnk::fw::Wnd* window);
    vnk::fw::Wnd* GetCallbackWindow() const;

    BOOL SetDefaultMenuItem(UINT item, BOOL byPosition);
    void GetDefaultMenuItem(UINT& item, BOOL& byPosition) const;

    // Frames from the icon resources first..last; the tray never destroys them.
    BOOL SetAnimationIcons(UINT firstResourceId, UINT lastResourceId);
    // Frames icons[0..lastIndex]; the caller keeps owning the handles.
    BOOL SetAnimationIcons(const HICON* icons, int lastIndex);
    // A run time of 0 or less runs until EndIconAnimation.
    BOOL StartIconAnimation(UINT periodMs, int seconds);
    BOOL NextAnimationFrame();
    BOOL EndIconAnimation();

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    virtual LRESULT OnTrayCallback(WPARAM wParam, LPARAM lParam);

protected:
    void OnTimer(UINT_PTR timerId);
    LRESULT OnTaskbarCreated(WPARAM wParam, LPARAM lParam);

private:
    BOOL Notify(DWORD message, UINT flags);
    // NIM_ADD, then the protocol version; true when the icon was added.
    BOOL Add();
    static POINT CursorPosition();
    LRESULT ShowTrayMenu(HWND target, POINT at) const;
    LRESULT SendDefaultCommand(HWND target);

    BOOL m_bAdded = FALSE;
    bool m_bWanted = false;  // created and not removed: the icon belongs in the area
    BOOL m_bHidden = FALSE;
    NOTIFYICONDATAW m_nid{};
    std::vector<HICON> m_animationIcons;
    UINT_PTR m_animationTimer = 0;
    int m_animationIndex = 0;
    long long m_animationStart = 0;  // local wall-clock seconds
    int m_animationSeconds = 0;
    HICON m_savedIcon = nullptr;
    UINT m_defaultMenuItem = 0;
    BOOL m_defaultByPosition = TRUE;
    UINT m_requestedVersion = NOTIFYICON_VERSION_4;
    UINT m_version = 0;
    bool m_selectFollowsClick = false;  // a version-4 NIN_SELECT that is a mouse click's

    FW_DECLARE_MESSAGE_MAP()
};

}  // namespace vnk
