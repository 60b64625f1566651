// Threads: the worker form (a procedure and one pointer-sized parameter) and
// the user-interface form (a class with InitInstance/ExitInstance and a
// message loop). Every thread is created suspended; the creator stores the
// object, then resumes it. A new thread takes over the application's main
// window as its own.
#pragma once

#include <windows.h>

#include <memory>

#include "fw/handles.h"
#include "fw/message_map.h"

namespace vnk::fw {

class Wnd;

using ThreadProc = UINT (*)(LPVOID param);

class Thread : public CmdTarget {
public:
    Thread() = default;
    ~Thread() override = default;

    // The thread's handle, owned by the object and closed with it.
    HANDLE Handle() const { return m_ownedHandle.get(); }
    DWORD m_nThreadID = 0;
    BOOL m_bAutoDelete = TRUE;   // the thread deletes its object when it ends
    Wnd* m_pMainWnd = nullptr;

    virtual BOOL InitInstance() { return FALSE; }
    virtual int ExitInstance() { return 0; }
    // The thread's message loop; returns the exit code of WM_QUIT.
    virtual int Run();
    // Gives a window message to the windows it is bound for, innermost first.
    virtual BOOL PreTranslateMessage(MSG* msg);
    Wnd* GetMainWnd() const { return m_pMainWnd; }

    // The previous suspend count, or (DWORD)-1 when the thread could not be resumed.
    DWORD ResumeThread() const { return ::ResumeThread(Handle()); }

    // Posts a thread message. Waits first until the thread has its message
    // queue (or has ended), so that a message posted right after the start
    // is never lost; a thread that has not made its queue within
    // `queueWaitMs` (one never resumed) gets nothing, and the result is
    // FALSE. A caller that must not wait (it holds a lock) passes 0.
    static constexpr DWORD kQueueWaitMs = 5000;
    BOOL PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam, DWORD queueWaitMs = kQueueWaitMs) const;

    // Asks the thread to end. Thread messages carry no sender, and any
    // program of the user can post WM_QUIT to any thread: the request is a
    // private event of the object, set here and only here. A user-interface
    // thread is also posted WM_QUIT (as PostThreadMessage does, waiting at
    // most `queueWaitMs` for its queue), so that a modal loop it runs (a
    // message box) ends too; its own loop takes WM_QUIT only once the event
    // is set. A worker waits on StopEvent() itself. FALSE when the WM_QUIT
    // could not be posted (the event is set all the same).
    BOOL RequestStop(DWORD queueWaitMs = kQueueWaitMs);
    bool StopRequested() const { return ::WaitForSingleObject(m_stopRequested.get(), 0) == WAIT_OBJECT_0; }
    HANDLE StopEvent() const { return m_stopRequested.get(); }

    // Creates the thread suspended; false if the platform refused.
    bool CreateSuspended(int priority, UINT stackSize, LPSECURITY_ATTRIBUTES security);

protected:
    // The worker form's procedure, set by BeginThread.
    ThreadProc m_proc = nullptr;
    LPVOID m_param = nullptr;

private:
    static unsigned __stdcall Entry(void* self);
    UINT RunThread();

    UniqueHandle m_ownedHandle;
    UniqueHandle m_queueReady;
    UniqueHandle m_stopRequested{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    friend std::unique_ptr<Thread> BeginThread(ThreadProc, LPVOID, int, UINT, DWORD,
                                               LPSECURITY_ATTRIBUTES);
};

// The worker form. The object comes back owned, with auto-delete off.
std::unique_ptr<Thread> BeginThread(ThreadProc proc, LPVOID param,
                                    int priority = THREAD_PRIORITY_NORMAL, UINT stackSize = 0,
                                    DWORD flags = 0, LPSECURITY_ATTRIBUTES security = nullptr);

// The user-interface form, created by type. Owned, auto-delete off.
template <class T>
std::unique_ptr<T> BeginThread(int priority = THREAD_PRIORITY_NORMAL, UINT stackSize = 0,
                               DWORD flags = 0, LPSECURITY_ATTRIBUTES security = nullptr) {
    auto thread = std::make_unique<T>();
    thread->m_bAutoDelete = FALSE;
    if (!thread->CreateSuspended(priority, stackSize, security)) return nullptr;
    if ((flags & CREATE_SUSPENDED) == 0) thread->ResumeThread();
    return thread;
}

// The thread object of the calling thread (the application on the main
// thread), or null for a thread the framework did not start.
Thread* CurrentThread();

// Whether a WM_QUIT that the calling thread's loop took may end it: only
// after its owner asked (Thread::RequestStop). A thread the framework did
// not start keeps the platform's rule. A refused WM_QUIT is traced.
bool AcceptQuit();

// Routes one message as the framework's loops do: a thread message to the
// thread's message map, a window message through PreTranslateMessage to
// its window.
void PumpMessage(MSG& msg);

// Offers a window message to the bound windows from msg->hwnd up to its
// top-level window; true when one of them took it.
BOOL PreTranslateWindowChain(MSG* msg);

// Waits for a handle while answering messages that other threads send to
// this thread's windows, so that a thread waited for can finish a
// SendMessage to us. Returns as WaitForSingleObject does.
DWORD WaitAnsweringSent(HANDLE handle, DWORD timeoutMs);

namespace detail {
void SetCurrentThread(Thread* thread);
// Keeps the calling thread's thread messages going to its thread object's
// map while a modal loop of the system (a message box, a dialog, a menu)
// runs on it; those loops drop messages that have no window. Held for as
// long as the thread runs its user interface.
UniqueHook RouteThreadMessagesInModalLoops();
}  // namespace detail

}  // namespace vnk::fw
