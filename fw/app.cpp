#include "fw/app.h"

#include "fw/wnd.h"

namespace vnk::fw {

namespace {
App* g_app = nullptr;
}

App* GetApp() { return g_app; }

App::App() {
    g_app = this;
    m_bAutoDelete = FALSE;
}

App::~App() {
    if (CurrentThread() == this) detail::SetCurrentThread(nullptr);
    if (g_app == this) g_app = nullptr;
}

void App::OnHelp() { ::OutputDebugStringW(L"fw: App::OnHelp: no help file\n"); }

void App::AttachToCurrentThread() {
    m_hInstance = ResourceInstance();
    m_nThreadID = ::GetCurrentThreadId();
    detail::SetCurrentThread(this);
    MSG msg;
    ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    m_messageFilter = detail::RouteThreadMessagesInModalLoops();
}

void ReportOutOfMemory() {
    const Thread* thread = CurrentThread();
    const Wnd* owner = thread != nullptr ? thread->GetMainWnd() : nullptr;
    // A fixed text: loading a string could itself need memory.
    ::MessageBoxW(owner != nullptr ? owner->GetSafeHwnd() : nullptr, L"Out of memory.", nullptr,
                  MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace vnk::fw
