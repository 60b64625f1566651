// The program's Unicode entry point: the static application object runs the
// program from its InitInstance; a false result ends the process.
#include <windows.h>

#include "fw/app.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    vnk::fw::App* app = vnk::fw::GetApp();
    if (app == nullptr) return 1;
    app->AttachToCurrentThread();
    app->m_hInstance = instance;
    app->m_nCmdShow = showCommand;
    int code = 0;
    try {
        code = app->InitInstance() ? app->Run() : app->ExitInstance();
    } catch (...) {
        ::OutputDebugStringW(L"fw: the application ended by an exception\n");
        code = 1;
    }
    return code;
}
