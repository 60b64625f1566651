// The application object: the main thread's thread object, its main window
// and the initial show command; a command that no window binds is offered
// to its message map last. Exactly one exists per process; the program
// defines it as a static object and the entry point runs its InitInstance.
#pragma once

#include "fw/thread.h"

namespace vnk::fw {

// The framework's standard help command.
constexpr UINT ID_HELP = 0xE146;  // 57670

class App : public Thread {
public:
    App();
    ~App() override;

    // The framework's default help handling. A program that binds ID_HELP
    // to it and supplies no help file gets nothing opened; the request is
    // traced.
    void OnHelp();

    HINSTANCE m_hInstance = nullptr;
    int m_nCmdShow = SW_SHOWNORMAL;

    // Makes the calling thread the application's thread (the entry point
    // does this; tests that stand in for the program do it themselves).
    void AttachToCurrentThread();

private:
    UniqueHook m_messageFilter;
};

App* GetApp();

// The framework's report of an allocation that failed: an "Out of memory."
// message box over the calling thread's main window.
void ReportOutOfMemory();

}  // namespace vnk::fw
