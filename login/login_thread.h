// A drive's login thread: a user-interface thread whose message loop hosts
// the drive's login box. It shows the box on WM_LOGIN_SHOW and closes it on
// WM_LOGIN_CLOSE, each only when the request was counted in its drive's
// record (vnk::AskLoginThread); it ends when its owner asks (RequestStop),
// not on a WM_QUIT alone.
#pragma once

#include <memory>

#include "fw/thread.h"
#include "login/login_box.h"

class CVNKDLogin : public vnk::fw::Thread {
public:
    static constexpr const char* kClassName = "CVNKDLogin";

    CVNKDLogin() = default;
    ~CVNKDLogin() override = default;

    BOOL InitInstance() override { return TRUE; }
    int ExitInstance() override;

    // One box object for every showing; a new window each time.
    CVNKDLoginBox m_loginBox;

protected:
    void OnShowLoginBox(WPARAM wParam, LPARAM lParam);
    void OnCloseLoginBox(WPARAM wParam, LPARAM lParam);

    FW_DECLARE_MESSAGE_MAP()
};

namespace vnk {

// A drive's login thread, created suspended (the probe's login-thread
// factory).
std::unique_ptr<vnk::fw::Thread> BeginLoginThread();

}  // namespace vnk
