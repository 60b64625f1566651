#include "fw/wnd.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fw/app.h"

namespace vnk::fw {

namespace {

constexpr wchar_t kObjectProp[] = L"fw.Wnd";
constexpr wchar_t kWindowClass[] = L"fw.Window";

bool IsCtlColor(UINT message) {
    return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
}

// The object whose window this thread is creating now: set by CreateEx and
// Dialog::CreateFromTemplate for the length of the system call, taken by
// the window's first message. Any program can send a window of ours
// WM_NCCREATE or WM_INITDIALOG with a pointer of its choosing; only this
// pointer, never the message's, is bound.
thread_local Wnd* t_beingCreated = nullptr;

// The windows this thread is destroying now through DestroyOwnWindow,
// innermost last: the destruction messages that come meanwhile for one of
// them, or for a window that is its child or owned by it, are the system's
// own, whoever sent the message in whose handler the destruction runs.
thread_local std::vector<HWND> t_ownDestruction;

// Whether `hwnd` goes with a window this thread is destroying: that window
// itself, one of its children, or a window it owns.
bool PartOfOwnDestruction(HWND hwnd) {
    for (HWND w = hwnd; w != nullptr;
         w = (::GetWindowLongPtrW(w, GWL_STYLE) & WS_CHILD) != 0 ? ::GetParent(w) : ::GetWindow(w, GW_OWNER)) {
        if (std::find(t_ownDestruction.begin(), t_ownDestruction.end(), w) != t_ownDestruction.end()) return true;
    }
    return false;
}

// The window procedures that GuardWindow put itself in front of, by window.
// Kept in the process, never in anything another program can set.
struct Guards {
    std::mutex lock;
    std::unordered_map<HWND, WNDPROC> procs;
};
Guards& TheGuards() {
    static Guards& guards = *new Guards;
    return guards;
}

WNDPROC GuardedProc(HWND hwnd) {
    Guards& guards = TheGuards();
    std::lock_guard lock(guards.lock);
    const auto found = guards.procs.find(hwnd);
    return found != guards.procs.end() ? found->second : nullptr;
}

LRESULT CALLBACK GuardProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const WNDPROC original = GuardedProc(hwnd);
    if (original == nullptr) return ::DefWindowProcW(hwnd, message, wParam, lParam);
    if (detail::ForgedMessage(hwnd, message)) return 0;
    const LRESULT result = ::CallWindowProcW(original, hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        Guards& guards = TheGuards();
        std::lock_guard lock(guards.lock);
        guards.procs.erase(hwnd);
    }
    return result;
}

// Which object each window of this process is bound to. The window
// property says the same for programs that look, but any program of the
// user can set a property on our windows (SetPropW asks no rights), so
// only this process-private record is trusted. Never destroyed: windows
// may still go while the process exits.
struct Bindings {
    std::mutex lock;
    std::unordered_map<HWND, Wnd*> objects;
};
Bindings& TheBindings() {
    static Bindings& bindings = *new Bindings;
    return bindings;
}

}  // namespace

namespace detail {

CreationScope::CreationScope(Wnd* wnd) : m_outer(std::exchange(t_beingCreated, wnd)) {}
CreationScope::~CreationScope() { t_beingCreated = m_outer; }

bool SentByAnotherThread() { return ::InSendMessageEx(nullptr) != ISMEX_NOSEND; }

bool ForgedMessage(HWND hwnd, UINT message) {
    switch (message) {
        case WM_DESTROY:
        case WM_NCDESTROY:
            if (PartOfOwnDestruction(hwnd)) return false;
            break;
        case WM_NOTIFY:
            // Posted ones never get here: the framework's loops drop them.
            // (WM_DPICHANGED from another thread is answered without its
            // pointer by the dialog itself.)
            if (!SentByAnotherThread()) return false;
            break;
        default:
            return false;
    }
    wchar_t line[160];
    ::wsprintfW(line, L"fw: message 0x%04x to window %p not from this thread's own doing: dropped\n", message,
                static_cast<void*>(hwnd));
    ::OutputDebugStringW(line);
    return true;
}

bool NeverPosted(UINT message) {
    switch (message) {
        case WM_CREATE:
        case WM_NCCREATE:
        case WM_DESTROY:
        case WM_NCDESTROY:
        case WM_INITDIALOG:
        case WM_DPICHANGED:
        case WM_NOTIFY:
            return true;
        default:
            return false;
    }
}

void GuardWindow(HWND hwnd) {
    if (hwnd == nullptr || ::GetWindowThreadProcessId(hwnd, nullptr) != ::GetCurrentThreadId()) return;
    Guards& guards = TheGuards();
    std::lock_guard lock(guards.lock);
    if (guards.procs.count(hwnd) != 0) return;
    const auto original =
        reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hwnd, GWLP_WNDPROC));
    if (original == nullptr || original == &GuardProc) return;
    guards.procs[hwnd] = original;
    if (::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&GuardProc)) == 0)
        guards.procs.erase(hwnd);
}

Wnd* TakeObjectBeingCreated(HWND hwnd, UINT message, const void* claimed) {
    Wnd* const candidate = t_beingCreated;
    if (candidate != nullptr && candidate == claimed && candidate->m_hWnd == nullptr &&
        Wnd::FromHandle(hwnd) == nullptr && !SentByAnotherThread()) {
        t_beingCreated = nullptr;  // once
        return candidate;
    }
    wchar_t line[160];
    ::wsprintfW(line, L"fw: message 0x%04x to window %p outside its creation by this thread: nothing bound\n",
                message, static_cast<void*>(hwnd));
    ::OutputDebugStringW(line);
    return nullptr;
}

}  // namespace detail

HINSTANCE ResourceInstance() { return ::GetModuleHandleW(nullptr); }

BOOL DestroyOwnWindow(HWND hwnd) {
    t_ownDestruction.push_back(hwnd);
    const BOOL destroyed = ::DestroyWindow(hwnd);
    t_ownDestruction.pop_back();
    return destroyed;
}

const MessageMap* CmdTarget::ThisMessageMap() {
    static const MapEntry entries[] = {{MapKind::End, 0, nullptr, nullptr}};
    static const MessageMap map{nullptr, entries};
    return &map;
}

bool CmdTarget::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    for (const MessageMap* map = GetMessageMap(); map != nullptr;
         map = map->base ? map->base() : nullptr) {
        for (const MapEntry* e = map->entries; e->kind != MapKind::End; ++e) {
            bool match = false;
            switch (e->kind) {
                case MapKind::Message: match = e->code == message; break;
                case MapKind::Registered: match = *e->registered != 0 && *e->registered == message; break;
                case MapKind::Command:
                    // Menus and buttons (code 0) and accelerators (code 1).
                    match = message == WM_COMMAND && LOWORD(wParam) == e->code && HIWORD(wParam) <= 1;
                    break;
                case MapKind::End: break;
            }
            if (match) {
                result = e->thunk(this, wParam, lParam);
                return true;
            }
        }
    }
    return false;
}

LRESULT CALLBACK WndProcThunk(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (detail::ForgedMessage(hwnd, message)) return 0;
    if (message == WM_NCCREATE) {
        // The pointer the creation carries must be the one this thread is
        // creating now; a later WM_NCCREATE is somebody else's.
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        Wnd* self = detail::TakeObjectBeingCreated(hwnd, message, cs != nullptr ? cs->lpCreateParams : nullptr);
        if (self == nullptr) {
            // A window in creation that is not ours to bind goes on as a
            // plain window. A late one is answered without the default
            // handling, which would retitle the window with the sender's
            // text (a second instance finds the first by its title).
            if (Wnd::FromHandle(hwnd) != nullptr) return TRUE;
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
        }
        self->Bind(hwnd);
        self->m_creating = true;
    } else if (message == WM_CREATE) {
        Wnd* self = Wnd::FromHandle(hwnd);
        if (self == nullptr || !self->m_creating || detail::SentByAnotherThread()) {
            detail::TakeObjectBeingCreated(hwnd, message, nullptr);  // traces it
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
        }
    }
    Wnd* self = Wnd::FromHandle(hwnd);
    if (self == nullptr) return ::DefWindowProcW(hwnd, message, wParam, lParam);
    return self->Route(message, wParam, lParam, false, nullptr);
}

Wnd::~Wnd() {
    if (m_deletedFlag != nullptr) *m_deletedFlag = true;
    if (m_hWnd != nullptr && FromHandle(m_hWnd) == this) {
        HWND hwnd = m_hWnd;
        Unbind();
        DestroyOwnWindow(hwnd);
    }
}

Wnd* Wnd::FromHandle(HWND hwnd) {
    if (hwnd == nullptr) return nullptr;
    // Any program can put a property of this name on a window of its own
    // and hand us the window's handle (in a control-colour query, say):
    // its value would be taken for an object of ours.
    DWORD processId = 0;
    if (::GetWindowThreadProcessId(hwnd, &processId) == 0 || processId != ::GetCurrentProcessId())
        return nullptr;
    Bindings& bindings = TheBindings();
    std::lock_guard lock(bindings.lock);
    const auto found = bindings.objects.find(hwnd);
    return found != bindings.objects.end() ? found->second : nullptr;
}

void Wnd::Bind(HWND hwnd) {
    m_hWnd = hwnd;
    {
        Bindings& bindings = TheBindings();
        std::lock_guard lock(bindings.lock);
        bindings.objects[hwnd] = this;
    }
    ::SetPropW(hwnd, kObjectProp, this);
}

void Wnd::Unbind() {
    if (m_hWnd != nullptr && FromHandle(m_hWnd) == this) {
        if (m_superProc != nullptr)
            ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_superProc));
        {
            Bindings& bindings = TheBindings();
            std::lock_guard lock(bindings.lock);
            bindings.objects.erase(m_hWnd);
        }
        ::RemovePropW(m_hWnd, kObjectProp);
    }
    m_superProc = nullptr;
    m_hWnd = nullptr;
}

void Wnd::Attach(HWND hwnd) {
    if (m_hWnd != nullptr) Unbind();
    if (hwnd == nullptr) return;
    detail::GuardWindow(hwnd);
    Bind(hwnd);
}

bool Wnd::SubclassWindow(HWND hwnd) {
    if (m_hWnd != nullptr) Unbind();
    if (hwnd == nullptr || FromHandle(hwnd) != nullptr) return false;
    Bind(hwnd);
    m_superProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WndProcThunk)));
    if (m_superProc != nullptr) return true;
    Unbind();
    return false;
}

HWND Wnd::Detach() {
    HWND hwnd = m_hWnd;
    Unbind();
    return hwnd;
}

bool Wnd::CreateEx(DWORD exStyle, const wchar_t* title, DWORD style, int x, int y, int width,
                   int height, HWND parent, HMENU menuOrId) {
    static const ATOM atom = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = WndProcThunk;
        wc.hInstance = ResourceInstance();
        wc.lpszClassName = kWindowClass;
        return ::RegisterClassExW(&wc);
    }();
    if (atom == 0 || m_hWnd != nullptr) return false;
    HWND hwnd = nullptr;
    {
        const detail::CreationScope creating(this);
        hwnd = ::CreateWindowExW(exStyle, kWindowClass, title, style, x, y, width, height, parent, menuOrId,
                                 ResourceInstance(), this);
    }
    m_creating = false;
    return hwnd != nullptr;
}

BOOL Wnd::DestroyWindow() {
    if (m_hWnd == nullptr) return FALSE;
    return DestroyOwnWindow(m_hWnd);
}

std::wstring Wnd::GetWindowText() const {
    const int length = ::GetWindowTextLengthW(m_hWnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(m_hWnd, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

BOOL Wnd::PreTranslateMessage(MSG*) { return FALSE; }

LRESULT Wnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_superProc != nullptr) return ::CallWindowProcW(m_superProc, m_hWnd, message, wParam, lParam);
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT Wnd::Default() { return DefWindowProc(m_current.message, m_current.wParam, m_current.lParam); }

bool Wnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    if (IsCtlColor(message)) {
        // The control that is asked about answers for itself when it can;
        // only a child of this window is asked, whatever handle came in.
        const auto control = reinterpret_cast<HWND>(lParam);
        Wnd* child = ::IsChild(m_hWnd, control) ? FromHandle(control) : nullptr;
        if (child != nullptr && child != this) {
            const UINT ctlType = message - WM_CTLCOLORMSGBOX;
            if (child->Dispatch(kReflectedCtlColor, wParam, ctlType, result)) return true;
        }
    }
    if (Dispatch(message, wParam, lParam, result)) return true;
    // A command that the window does not bind goes to the application
    // object, as the framework's command routing ends there.
    App* const app = message == WM_COMMAND ? GetApp() : nullptr;
    return app != nullptr && app->Dispatch(message, wParam, lParam, result);
}

LRESULT Wnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (OnWndMsg(message, wParam, lParam, result)) return result;
    return DefWindowProc(message, wParam, lParam);
}

LRESULT Wnd::Route(UINT message, WPARAM wParam, LPARAM lParam, bool viaMap, bool* handled) {
    const CurrentMessage saved = m_current;
    m_current = {message, wParam, lParam};
    bool deleted = false;
    bool* const outerDeletedFlag = std::exchange(m_deletedFlag, &deleted);
    LRESULT result = 0;
    try {
        if (viaMap) {
            *handled = OnWndMsg(message, wParam, lParam, result);
        } else {
            result = WindowProc(message, wParam, lParam);
        }
    } catch (...) {
        ::OutputDebugStringW(L"fw: a message handler threw; the message is dropped\n");
        if (handled != nullptr) *handled = false;
        result = 0;
    }
    if (deleted) {
        // The object is gone; the routes further out must not touch it either.
        if (outerDeletedFlag != nullptr) *outerDeletedFlag = true;
        return result;
    }
    m_deletedFlag = outerDeletedFlag;
    m_current = saved;
    if (message == WM_NCDESTROY) {
        Unbind();
        PostNcDestroy();
    }
    return result;
}

}  // namespace vnk::fw
