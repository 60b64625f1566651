#include "fw/dialog.h"

#include <utility>

#include "fw/dpi.h"
#include "fw/thread.h"

namespace vnk::fw {

namespace {

// Messages whose result a dialog procedure returns itself instead of
// through DWLP_MSGRESULT.
bool ReturnsDirectly(UINT message) {
    switch (message) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_INITDIALOG:
            return true;
        default:
            return false;
    }
}

}  // namespace

FW_BEGIN_MESSAGE_MAP(Dialog, Wnd)
    FW_ON_COMMAND(IDOK, OnOK)
    FW_ON_COMMAND(IDCANCEL, OnCancel)
    FW_ON_MESSAGE(WM_DPICHANGED, OnDpiChangedMessage)
FW_END_MESSAGE_MAP()

void DataExchange::Control(int id, Wnd& control) {
    control.Attach(m_dialog.GetDlgItem(id));
    m_dialog.m_boundControls.push_back(&control);
}

bool DataExchange::Subclass(int id, Wnd& control) {
    if (!control.SubclassWindow(m_dialog.GetDlgItem(id))) return false;
    m_dialog.m_boundControls.push_back(&control);
    return true;
}

Dialog::~Dialog() {
    if (m_hWnd != nullptr) {
        UnbindControls();
        HWND hwnd = m_hWnd;
        Unbind();
        DestroyOwnWindow(hwnd);
    }
}

void Dialog::UnbindControls() {
    for (Wnd* control : m_boundControls) control->Detach();
    m_boundControls.clear();
}

INT_PTR CALLBACK Dialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        // Only the dialog this thread is creating now is bound, once; the
        // message's lParam merely has to agree with it.
        auto* self = static_cast<Dialog*>(
            detail::TakeObjectBeingCreated(hwnd, message, reinterpret_cast<const void*>(lParam)));
        if (self == nullptr) return FALSE;
        self->Bind(hwnd);
        // The template's controls answer only our own destruction; those
        // bound later are subclassed in front of this guard.
        for (HWND child = ::GetWindow(hwnd, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT))
            detail::GuardWindow(child);
        // A dialog object may make several windows over its life.
        self->m_dpi = DpiOf(hwnd);
        self->m_layoutDpi = 0;
        self->m_layout.clear();
        self->m_scaledFont.reset();
        self->m_current = {message, wParam, lParam};
        BOOL focus = TRUE;
        try {
            focus = self->OnInitDialog();
        } catch (...) {
            ::OutputDebugStringW(L"fw: OnInitDialog threw; the dialog ends\n");
            self->EndDialog(IDABORT);
            focus = FALSE;
        }
        return focus;
    }
    if (detail::ForgedMessage(hwnd, message)) {
        // Answered here, so that the dialog manager's default handling
        // (which frees its own data at WM_NCDESTROY) does not run either.
        ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, 0);
        return TRUE;
    }
    auto* self = static_cast<Dialog*>(FromHandle(hwnd));
    if (self == nullptr) return FALSE;
    if (message == WM_NCCREATE || message == WM_CREATE) {
        // A bound dialog has been created: these come from somebody else.
        detail::TakeObjectBeingCreated(hwnd, message, nullptr);  // traces it
        if (message == WM_CREATE) return FALSE;  // the default handling
        // The default handling of WM_NCCREATE would retitle the window with
        // the sender's text: it is answered here instead.
        ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
    }
    if (self->m_skipNextDialogProc) {
        // The dialog manager asks us first inside Default(); let it go on.
        self->m_skipNextDialogProc = false;
        return FALSE;
    }
    if (message == WM_NCDESTROY) self->UnbindControls();
    bool handled = false;
    const LRESULT result = self->Route(message, wParam, lParam, true, &handled);
    if (!handled) return FALSE;
    if (ReturnsDirectly(message)) return static_cast<INT_PTR>(result);
    ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

LRESULT Dialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    // DefDlgProcW first calls this dialog's procedure; that one call is let
    // through unhandled so that the dialog manager does its own work.
    m_skipNextDialogProc = true;
    const LRESULT result = ::DefDlgProcW(m_hWnd, message, wParam, lParam);
    m_skipNextDialogProc = false;
    return result;
}

HWND Dialog::CreateFromTemplate(HWND owner) {
    m_ended = false;
    m_result = -1;
    if (m_hWnd != nullptr) return nullptr;  // one window at a time
    const detail::CreationScope creating(this);
    return ::CreateDialogParamW(ResourceInstance(), MAKEINTRESOURCEW(m_templateId), owner,
                                DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR Dialog::DoModal() {
    HWND owner = m_parent != nullptr ? m_parent->m_hWnd : nullptr;
    if (CreateFromTemplate(owner) == nullptr) return -1;
    if (owner != nullptr) ::EnableWindow(owner, FALSE);

    // A dialog still invisible when the loop first goes idle is shown then.
    bool showWhenIdle = m_hWnd != nullptr && !::IsWindowVisible(m_hWnd);
    MSG msg;
    while (!m_ended && m_hWnd != nullptr) {
        if (showWhenIdle && !::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            ::ShowWindow(m_hWnd, SW_SHOWNORMAL);
            showWhenIdle = false;
        }
        // Not GetMessageW: it handles sent messages inside and goes on
        // waiting, so a dialog ended in a sent message's handler (Exit
        // chosen while that handler's message box was up) would wait for
        // some later posted message before its loop saw the end. The peek
        // handles the sent messages that are there; the wait returns when
        // more come, and the loop looks at the end after each.
        if (!::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (!m_ended) ::MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
            continue;
        }
        if (msg.message == WM_QUIT) {
            if (!AcceptQuit()) continue;
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        PumpMessage(msg);
    }

    if (owner != nullptr) ::EnableWindow(owner, TRUE);
    if (m_hWnd != nullptr) DestroyWindow();
    return m_result;
}

BOOL Dialog::Create(Wnd* parent) {
    if (parent == nullptr) parent = m_parent;
    HWND owner = parent != nullptr ? parent->m_hWnd : nullptr;
    if (owner == nullptr) {
        if (Thread* thread = CurrentThread(); thread != nullptr && thread->GetMainWnd() != nullptr)
            owner = thread->GetMainWnd()->m_hWnd;
    }
    if (CreateFromTemplate(owner) == nullptr) return FALSE;
    if (m_ended) {
        // Ended during OnInitDialog: the creation fails and the window goes.
        DestroyWindow();
        return FALSE;
    }
    return TRUE;
}

void Dialog::EndDialog(int result) {
    m_result = result;
    m_ended = true;
    if (m_hWnd != nullptr) ::EndDialog(m_hWnd, result);  // hides the window
}

BOOL Dialog::OnInitDialog() {
    DataExchange dx(*this);
    DoDataExchange(dx);
    return TRUE;
}

void Dialog::OnOK() { EndDialog(IDOK); }
void Dialog::OnCancel() { EndDialog(IDCANCEL); }

// Windows re-lays out a per-monitor dialog on a DPI change itself, Wine does
// not: this is kept for Wine. Handling the message ourselves also keeps the
// dialog manager's own scaling (Windows 10 and later) from scaling the
// layout a second time.
LRESULT Dialog::OnDpiChangedMessage(WPARAM wParam, LPARAM lParam) {
    const UINT dpi = LOWORD(wParam);
    // Windows goes up to 480 DPI; anything far outside is not a real change.
    if (dpi < kDesignDpi / 2 || dpi > 10 * kDesignDpi) return 0;
    if (m_layoutDpi == 0) RememberLayout();
    // The system sends it on the window's own thread, with the rectangle it
    // suggests. From another thread it is somebody else's, and its lParam
    // an address that means nothing here: the window then keeps its place
    // and grows or shrinks with the DPI.
    RECT place{};
    if (const auto* suggested = reinterpret_cast<const RECT*>(lParam);
        suggested != nullptr && !detail::SentByAnotherThread()) {
        place = *suggested;
    } else {
        ::GetWindowRect(m_hWnd, &place);
        place.right = place.left + ::MulDiv(place.right - place.left, static_cast<int>(dpi), static_cast<int>(m_dpi));
        place.bottom = place.top + ::MulDiv(place.bottom - place.top, static_cast<int>(dpi), static_cast<int>(m_dpi));
    }
    ApplyLayout(dpi);
    ::SetWindowPos(m_hWnd, nullptr, place.left, place.top, place.right - place.left, place.bottom - place.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    m_dpi = dpi;
    OnDpiChanged(dpi);
    ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    return 0;
}

void Dialog::RememberLayout() {
    m_layoutDpi = m_dpi;
    m_layout.clear();
    const auto dialogFont = reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
    if (dialogFont == nullptr || ::GetObjectW(dialogFont, sizeof m_layoutFont, &m_layoutFont) == 0)
        m_layoutFont = LOGFONTW{};
    for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        RECT rect{};
        ::GetWindowRect(child, &rect);
        ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&rect), 2);
        const bool usesDialogFont =
            dialogFont != nullptr && reinterpret_cast<HFONT>(::SendMessageW(child, WM_GETFONT, 0, 0)) == dialogFont;
        m_layout.push_back({child, rect, usesDialogFont});
    }
}

void Dialog::ApplyLayout(UINT dpi) {
    const auto scale = [this, dpi](LONG length) {
        return ::MulDiv(length, static_cast<int>(dpi), static_cast<int>(m_layoutDpi));
    };
    UniqueFontHandle font;
    if (m_layoutFont.lfHeight != 0) {
        LOGFONTW scaled = m_layoutFont;
        scaled.lfHeight = scale(m_layoutFont.lfHeight);
        font.reset(::CreateFontIndirectW(&scaled));
    }
    for (const ChildPlace& place : m_layout) {
        if (::GetParent(place.window) != m_hWnd) continue;  // gone meanwhile
        if (place.dialogFont && font)
            ::SendMessageW(place.window, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
        const RECT& r = place.rect;
        ::SetWindowPos(place.window, nullptr, scale(r.left), scale(r.top), scale(r.right) - scale(r.left),
                       scale(r.bottom) - scale(r.top), SWP_NOZORDER | SWP_NOACTIVATE);
    }
    // The controls no longer use the previous scaled font: it may go now.
    if (font) m_scaledFont = std::move(font);
}

BOOL Dialog::PreTranslateMessage(MSG* msg) {
    if (m_hWnd == nullptr) return FALSE;
    return ::IsDialogMessageW(m_hWnd, msg);
}

}  // namespace vnk::fw
