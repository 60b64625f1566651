#include "tests/support/accessibility_probe.h"

#include <objbase.h>
#include <oleacc.h>

#include <cwctype>
#include <sstream>

namespace vnk::test {

namespace {

WinEventRecorder* g_recorder = nullptr;

std::wstring TakeBstr(BSTR text) {
    std::wstring result = text != nullptr ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
    ::SysFreeString(text);
    return result;
}

std::wstring RoleText(LONG role) {
    wchar_t text[128] = {};
    ::GetRoleTextW(static_cast<DWORD>(role), text, 128);
    return text;
}

std::wstring StateText(LONG state) {
    std::wstring result;
    for (DWORD bit = 1; bit != 0 && bit <= 0x40000000; bit <<= 1) {
        if ((static_cast<DWORD>(state) & bit) == 0) continue;
        wchar_t text[128] = {};
        ::GetStateTextW(bit, text, 128);
        if (!result.empty()) result += L", ";
        result += text;
    }
    return result;
}

std::wstring WindowText(HWND hwnd) {
    wchar_t text[512] = {};
    ::GetWindowTextW(hwnd, text, 512);
    return text;
}

}  // namespace

std::optional<AccessibleInfo> AccessibleOf(HWND window) {
    // A reader's own thread has COM; the object of a window on another
    // thread comes through it.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    struct ComEnd {
        HRESULT result;
        ~ComEnd() {
            if (SUCCEEDED(result)) ::CoUninitialize();
        }
    } comEnd{com};
    IAccessible* acc = nullptr;
    if (FAILED(::AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                            reinterpret_cast<void**>(&acc))) ||
        acc == nullptr)
        return std::nullopt;
    VARIANT self;
    ::VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    AccessibleInfo info;
    BSTR text = nullptr;
    if (acc->get_accName(self, &text) == S_OK) info.name = TakeBstr(text);
    text = nullptr;
    if (acc->get_accKeyboardShortcut(self, &text) == S_OK) info.shortcut = TakeBstr(text);
    VARIANT value;
    ::VariantInit(&value);
    if (SUCCEEDED(acc->get_accRole(self, &value)) && value.vt == VT_I4) info.role = value.lVal;
    ::VariantClear(&value);
    if (SUCCEEDED(acc->get_accState(self, &value)) && value.vt == VT_I4) info.state = value.lVal;
    ::VariantClear(&value);
    acc->Release();
    info.roleText = RoleText(info.role);
    info.stateText = StateText(info.state);
    return info;
}

wchar_t AccessKeyOf(const std::wstring& shortcut) {
    const size_t plus = shortcut.rfind(L'+');
    if (plus == std::wstring::npos || plus + 2 != shortcut.size()) return 0;
    return static_cast<wchar_t>(std::towupper(shortcut[plus + 1]));
}

std::wstring DescribeAccessibleTree(HWND window) {
    std::wostringstream out;
    const auto line = [&out](HWND hwnd, int depth) {
        const std::optional<AccessibleInfo> info = AccessibleOf(hwnd);
        out << std::wstring(static_cast<size_t>(depth) * 2, L' ');
        if (!info) {
            out << L"(no accessible object) \"" << WindowText(hwnd) << L"\"\n";
            return;
        }
        out << info->roleText << L" \"" << info->name << L"\"";
        if (!info->stateText.empty()) out << L" [" << info->stateText << L"]";
        if (!info->shortcut.empty()) out << L" key " << info->shortcut;
        out << L"\n";
    };
    line(window, 0);
    for (HWND child = ::GetWindow(window, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT))
        if (::IsWindowVisible(child)) line(child, 1);
    return out.str();
}

WinEventRecorder::WinEventRecorder(DWORD minEvent, DWORD maxEvent) {
    g_recorder = this;
    m_hook = ::SetWinEventHook(minEvent, maxEvent, nullptr, &WinEventRecorder::Callback, ::GetCurrentProcessId(), 0,
                               WINEVENT_OUTOFCONTEXT);
}

WinEventRecorder::~WinEventRecorder() {
    if (m_hook != nullptr) ::UnhookWinEvent(m_hook);
    g_recorder = nullptr;
}

void CALLBACK WinEventRecorder::Callback(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD, DWORD) {
    WinEventRecorder* self = g_recorder;
    if (self == nullptr) return;
    const std::wstring text = hwnd != nullptr ? WindowText(hwnd) : std::wstring();
    std::lock_guard lock(self->m_mutex);
    self->m_events.push_back({event, hwnd, object, child, text});
}

std::vector<WinEventRecorder::Event> WinEventRecorder::Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}

std::vector<WinEventRecorder::Event> WinEventRecorder::From(DWORD event, HWND hwnd) const {
    std::vector<Event> found;
    for (const Event& e : Events())
        if (e.event == event && e.hwnd == hwnd && e.object == OBJID_CLIENT && e.child == CHILDID_SELF)
            found.push_back(e);
    return found;
}

void WinEventRecorder::Clear() {
    std::lock_guard lock(m_mutex);
    m_events.clear();
}

}  // namespace vnk::test
