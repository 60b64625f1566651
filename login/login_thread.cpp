#include "login/login_thread.h"

#include "common/messages.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"

FW_BEGIN_MESSAGE_MAP(CVNKDLogin, vnk::fw::Thread)
    FW_ON_THREAD_MESSAGE(WM_LOGIN_SHOW, OnShowLoginBox)
    FW_ON_THREAD_MESSAGE(WM_LOGIN_CLOSE, OnCloseLoginBox)
FW_END_MESSAGE_MAP()

void CVNKDLogin::OnShowLoginBox(WPARAM wParam, LPARAM) {
    const auto letter = static_cast<wchar_t>(LOWORD(wParam));
    // Any program can post this message to this thread: a box is opened
    // only on a request the status window counted, and only for the drive
    // whose record holds this thread. The check runs on every route in,
    // the thread's loop and the modal loops' message filter alike.
    if (!vnk::TakeLoginRequest(*this, WM_LOGIN_SHOW, letter)) {
        vnk::Trace(L"CVNKDLogin: OnShowLoginBox: request for drive 0x%x that nobody here made: ignored\n",
                   static_cast<unsigned>(LOWORD(wParam)));
        return;
    }
    // An open box is neither raised nor set up again.
    if (m_loginBox.IsWindow()) return;
    m_loginBox.m_driveLetter = letter;
    m_loginBox.Create();
    if (m_loginBox.IsWindow())
        ::SetWindowPos(m_loginBox.m_hWnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void CVNKDLogin::OnCloseLoginBox(WPARAM, LPARAM) {
    // Closing ejects the disc: only on a request the status window counted.
    if (!vnk::TakeLoginRequest(*this, WM_LOGIN_CLOSE, 0)) {
        vnk::Trace(L"CVNKDLogin: OnCloseLoginBox: a close request nobody here made: ignored\n");
        return;
    }
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
