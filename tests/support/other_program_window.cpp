#include "tests/support/other_program_window.h"

#include <dbt.h>

#include "tests/support/pump.h"

namespace vnk::test {

OtherProgramWindow::OtherProgramWindow(const Behaviour& behaviour)
    : m_behaviour(behaviour), m_delayMs(behaviour.delayMs) {
    m_thread.reset(::CreateThread(nullptr, 0, &Run, this, 0, nullptr));
    if (m_thread) ::WaitForSingleObject(m_ready.get(), kWatchdogMs);
}

OtherProgramWindow::~OtherProgramWindow() {
    ::SetEvent(m_end.get());
    if (!m_thread) return;
    ::PostThreadMessageW(m_threadId, WM_QUIT, 0, 0);
    // Pumping: the window's thread may be inside a broadcast that waits for
    // a window of the calling thread.
    WaitForThread(m_thread.get());
}

LRESULT CALLBACK OtherProgramWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<OtherProgramWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_DEVICECHANGE && self != nullptr) {
        const bool query = wParam == DBT_DEVICEQUERYREMOVE;
        ++self->m_deviceChanges;
        if (query || !self->m_behaviour.onlyQueryRemove) ::WaitForSingleObject(self->m_end.get(), self->m_delayMs);
        const bool refuse = query ? self->m_behaviour.refuseQueryRemove
                                  : wParam == DBT_DEVICEARRIVAL && self->m_behaviour.refuseArrival;
        return refuse ? BROADCAST_QUERY_DENY : TRUE;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

DWORD WINAPI OtherProgramWindow::Run(LPVOID param) {
    auto* self = static_cast<OtherProgramWindow*>(param);
    self->m_threadId = ::GetCurrentThreadId();
    WNDCLASSW wc{};
    wc.lpfnWndProc = &Proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"Varnok test other program";
    ::RegisterClassW(&wc);
    const DWORD style = WS_POPUP | (self->m_behaviour.visible ? WS_VISIBLE : 0);
    HWND hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"Another program", style, 0, 0, 10, 10, nullptr, nullptr,
                                  wc.hInstance, nullptr);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ::SetEvent(self->m_ready.get());
    if (self->m_behaviour.hung) {
        ::WaitForSingleObject(self->m_end.get(), INFINITE);  // set by the owner as it goes
    } else {
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    }
    ::DestroyWindow(hwnd);
    return 0;
}

}  // namespace vnk::test
