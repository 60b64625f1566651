#include "fw/app.h"

#include "fw/wnd.h"

namespace fw {

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

void App::AttachToCurrentThread() {
    m_hInstance = ResourceInstance();
    m_nThreadID = ::GetCurrentThreadId();
    detail::SetCurrentThread(this);
    MSG msg;
    ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

}  // namespace fw
