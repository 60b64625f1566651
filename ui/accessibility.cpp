#include "ui/accessibility.h"

#include <initguid.h>
#include <objbase.h>
#include <oleacc.h>

#include <algorithm>
#include <cmath>

namespace vnk::a11y {

namespace {

// UI Automation's LiveSetting property, which oleacc's annotations carry to
// UI Automation clients (Narrator reads live regions through it).
// {C12BCD8E-2A8E-4950-8AE7-3625111D58EB}
constexpr GUID kLiveSettingProperty = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kAssertive = 2;

// COM for the length of one annotation on whatever thread asks: the main
// thread has it already, a login thread may not.
class ComScope {
public:
    ComScope() : m_result(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(m_result)) ::CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    // A thread in the other apartment kind can still create the object.
    bool Usable() const { return SUCCEEDED(m_result) || m_result == RPC_E_CHANGED_MODE; }

private:
    HRESULT m_result;
};

// Runs `annotate` on the platform's annotation service; false when there
// is none or it refused (Wine's answers E_NOTIMPL).
template <class Annotate>
bool WithPropServices(Annotate annotate) {
    const ComScope com;
    if (!com.Usable()) return false;
    IAccPropServices* services = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                  reinterpret_cast<void**>(&services))) ||
        services == nullptr)
        return false;
    const HRESULT result = annotate(*services);
    services->Release();
    return SUCCEEDED(result);
}

double Linear(BYTE channel) {
    const double c = channel / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Luminance(COLORREF color) {
    return 0.2126 * Linear(GetRValue(color)) + 0.7152 * Linear(GetGValue(color)) + 0.0722 * Linear(GetBValue(color));
}

}  // namespace

bool SetName(HWND control, const wchar_t* name) {
    if (control == nullptr) return false;
    ::SetWindowTextW(control, name);
    return WithPropServices([&](IAccPropServices& services) {
        return services.SetHwndPropStr(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, PROPID_ACC_NAME, name);
    });
}

bool MarkLiveRegion(HWND label) {
    if (label == nullptr) return false;
    return WithPropServices([&](IAccPropServices& services) {
        VARIANT value;
        ::VariantInit(&value);
        value.vt = VT_I4;
        value.lVal = kAssertive;
        return services.SetHwndProp(label, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, kLiveSettingProperty, value);
    });
}

void AnnounceLabel(HWND label) {
    if (label == nullptr) return;
    // Readers that follow live regions read the label's new text; those
    // that do not (and Narrator on older Windows) read an alert's name.
    ::NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, label, OBJID_CLIENT, CHILDID_SELF);
    ::NotifyWinEvent(EVENT_SYSTEM_ALERT, label, OBJID_CLIENT, CHILDID_SELF);
}

void DrawAttention(HWND window) {
    if (window == nullptr || ::GetForegroundWindow() == window) return;
    // Windows grants the foreground only where its rules allow (this
    // process has it, or the user's last input came here); otherwise the
    // user's window keeps the keyboard and our taskbar button flashes
    // until the user comes to it.
    if (::SetForegroundWindow(window) && ::GetForegroundWindow() == window) return;
    FLASHWINFO flash{};
    flash.cbSize = sizeof flash;
    flash.hwnd = window;
    flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
    ::FlashWindowEx(&flash);
}

bool HighContrastOn() {
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof contrast;
    return ::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) != FALSE &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

double ContrastRatio(COLORREF a, COLORREF b) {
    const double la = Luminance(a);
    const double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace vnk::a11y
