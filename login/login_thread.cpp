#include "login/login_thread.h"

#include "common/messages.h"
#include "common/trace.h"

FW_BEGIN_MESSAGE_MAP(CVNKDLogin, vnk::fw::Thread)
    FW_ON_THREAD_MESSAGE(WM_LOGIN_SHOW, OnShowLoginBox)
    FW_ON_THREAD_MESSAGE(WM_LOGIN_CLOSE, OnCloseLoginBox)
FW_END_MESSAGE_MAP()

void CVNKDLogin::OnShowLoginBox(WPARAM wParam, LPARAM) {
    const auto letter = static_cast<wchar_t>(LOWORD(wParam));
    if (m_loginBox.IsWindow()) {
        // An open box is neither raised nor set up again, and it is never
        // taken over for another drive.
        if (letter != m_loginBox.m_driveLetter)
            vnk::Trace(L"CVNKDLogin: OnShowLoginBox: request for drive %c: ignored while the box of drive %c: is open\n",
                       letter, m_loginBox.m_driveLetter);
        return;
    }
    if (letter < L'A' || letter > L'Z') {
        vnk::Trace(L"CVNKDLogin: OnShowLoginBox: request without a drive letter (0x%x) ignored\n",
                   static_cast<unsigned>(LOWORD(wParam)));
        return;
    }
    m_loginBox.m_driveLetter = letter;
    m_loginBox.Create();
    if (m_loginBox.IsWindow())
        ::SetWindowPos(m_loginBox.m_hWnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void CVNKDLogin::OnCloseLoginBox(WPARAM, LPARAM) {
    if (m_loginBox.IsWindow()) m_loginBox.PostMessage(WM_CLOSE);
}

int CVNKDLogin::ExitInstance() {
    // A box still open when the thread is told to end goes without its
    // eject path; its window must go on the thread that made it.
    if (m_loginBox.IsWindow()) m_loginBox.DestroyWindow();
    return vnk::fw::Thread::ExitInstance();
}

namespace vnk {

std::unique_ptr<vnk::fw::Thread> BeginLoginThread() {
    return vnk::fw::BeginThread<CVNKDLogin>(THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED, nullptr);
}

}  // namespace vnk
