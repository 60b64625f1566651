#include "fw/thread.h"

#include <process.h>

#include "fw/app.h"
#include "fw/security.h"
#include "fw/wnd.h"

namespace vnk::fw {

namespace {
thread_local Thread* t_current = nullptr;

void DropPosted(const MSG& msg) {
    wchar_t line[160];
    ::wsprintfW(line, L"fw: posted message 0x%04x to window %p that only the system sends: dropped\n", msg.message,
                static_cast<void*>(msg.hwnd));
    ::OutputDebugStringW(line);
}

// The system's modal loops offer every message to WH_MSGFILTER before they
// dispatch it (IsDialogMessage does, for message boxes and dialogs); a
// thread message taken here goes to the thread's map as the framework's
// own loop would route it, and the modal loop then leaves it alone.
LRESULT CALLBACK ThreadMessageFilter(int code, WPARAM wParam, LPARAM lParam) {
    auto* msg = reinterpret_cast<MSG*>(lParam);
    if (code >= 0 && msg != nullptr && msg->hwnd != nullptr && detail::NeverPosted(msg->message)) {
        DropPosted(*msg);
        return TRUE;
    }
    if (code >= 0 && msg != nullptr && msg->hwnd == nullptr && t_current != nullptr) {
        LRESULT ignored = 0;
        // Nothing may unwind through the system's modal loop: a handler that
        // throws has had the message, which is not offered again.
        try {
            if (t_current->Dispatch(msg->message, msg->wParam, msg->lParam, ignored)) return TRUE;
        } catch (...) {
            ::OutputDebugStringW(L"fw: ThreadMessageFilter: a thread message's handler ended by an exception\n");
            return TRUE;
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

namespace detail {
void SetCurrentThread(Thread* thread) { t_current = thread; }

UniqueHook RouteThreadMessagesInModalLoops() {
    UniqueHook hook(::SetWindowsHookExW(WH_MSGFILTER, ThreadMessageFilter, nullptr, ::GetCurrentThreadId()));
    if (!hook) ::OutputDebugStringW(L"fw: RouteThreadMessagesInModalLoops: no message filter for this thread\n");
    return hook;
}
}  // namespace detail

Thread* CurrentThread() { return t_current; }

bool Thread::CreateSuspended(int priority, UINT stackSize, LPSECURITY_ATTRIBUTES security) {
    m_queueReady.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_queueReady) return false;
    unsigned id = 0;
    if (security == nullptr) security = DefaultThreadSecurity();
    const uintptr_t handle =
        ::_beginthreadex(security, stackSize, &Thread::Entry, this, CREATE_SUSPENDED, &id);
    if (handle == 0) return false;
    m_ownedHandle.reset(reinterpret_cast<HANDLE>(handle));
    m_nThreadID = id;
    ::SetThreadPriority(Handle(), priority);
    return true;
}

unsigned __stdcall Thread::Entry(void* param) {
    auto* self = static_cast<Thread*>(param);
    t_current = self;
    // The framework rule: a new thread takes the application's main window.
    if (App* app = GetApp(); app != nullptr && self->m_pMainWnd == nullptr)
        self->m_pMainWnd = app->m_pMainWnd;
    // Make the message queue before anyone may post to it.
    MSG msg;
    ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    ::SetEvent(self->m_queueReady.get());

    const BOOL autoDelete = self->m_bAutoDelete;
    UINT code = 0;
    try {
        code = self->RunThread();
    } catch (...) {
        ::OutputDebugStringW(L"fw: a thread ended by an exception\n");
        code = static_cast<UINT>(-1);
    }
    t_current = nullptr;
    if (autoDelete) {
        std::unique_ptr<Thread> owned(self);  // the thread owns itself
    }
    return code;
}

UINT Thread::RunThread() {
    if (m_proc != nullptr) return m_proc(m_param);
    const UniqueHook filter = detail::RouteThreadMessagesInModalLoops();
    if (!InitInstance()) return static_cast<UINT>(ExitInstance());
    return static_cast<UINT>(Run());
}

int Thread::Run() {
    MSG msg;
    for (;;) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            if (AcceptQuit()) break;
            continue;
        }
        PumpMessage(msg);
    }
    const int loopCode = static_cast<int>(msg.wParam);
    const int exitCode = ExitInstance();
    return exitCode != 0 ? exitCode : loopCode;
}

BOOL PreTranslateWindowChain(MSG* msg) {
    for (HWND hwnd = msg->hwnd; hwnd != nullptr; hwnd = ::GetAncestor(hwnd, GA_PARENT)) {
        if (hwnd == ::GetDesktopWindow()) break;
        if (Wnd* wnd = Wnd::FromHandle(hwnd); wnd != nullptr && wnd->PreTranslateMessage(msg))
            return TRUE;
    }
    return FALSE;
}

BOOL Thread::PreTranslateMessage(MSG* msg) { return PreTranslateWindowChain(msg); }

BOOL Thread::RequestStop(DWORD queueWaitMs) {
    ::SetEvent(m_stopRequested.get());
    if (m_proc != nullptr) return TRUE;
    return PostThreadMessage(WM_QUIT, 0, 0, queueWaitMs);
}

bool AcceptQuit() {
    const Thread* thread = CurrentThread();
    if (thread == nullptr || thread->StopRequested()) return true;
    wchar_t line[120];
    ::wsprintfW(line, L"fw: AcceptQuit: WM_QUIT to thread %lu that nobody here asked to end: ignored\n",
                ::GetCurrentThreadId());
    ::OutputDebugStringW(line);
    return false;
}

BOOL Thread::PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam, DWORD queueWaitMs) const {
    if (!m_ownedHandle) return FALSE;
    const HANDLE waits[2] = {m_queueReady.get(), Handle()};
    if (::WaitForMultipleObjects(2, waits, FALSE, queueWaitMs) == WAIT_TIMEOUT) {
        ::SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    return ::PostThreadMessageW(m_nThreadID, message, wParam, lParam);
}

std::unique_ptr<Thread> BeginThread(ThreadProc proc, LPVOID param, int priority, UINT stackSize,
                                    DWORD flags, LPSECURITY_ATTRIBUTES security) {
    auto thread = std::make_unique<Thread>();
    thread->m_bAutoDelete = FALSE;
    thread->m_proc = proc;
    thread->m_param = param;
    if (!thread->CreateSuspended(priority, stackSize, security)) return nullptr;
    if ((flags & CREATE_SUSPENDED) == 0) thread->ResumeThread();
    return thread;
}

void PumpMessage(MSG& msg) {
    if (msg.hwnd != nullptr && detail::NeverPosted(msg.message)) {
        DropPosted(msg);
        return;
    }
    Thread* thread = CurrentThread();
    if (msg.hwnd == nullptr) {
        LRESULT ignored = 0;
        if (thread != nullptr) thread->Dispatch(msg.message, msg.wParam, msg.lParam, ignored);
        return;
    }
    const BOOL taken = thread != nullptr ? thread->PreTranslateMessage(&msg)
                                         : PreTranslateWindowChain(&msg);
    if (taken) return;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
}

DWORD WaitAnsweringSent(HANDLE handle, DWORD timeoutMs) {
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        DWORD remaining = INFINITE;
        if (timeoutMs != INFINITE) {
            const ULONGLONG spent = ::GetTickCount64() - start;
            if (spent >= timeoutMs) return WAIT_TIMEOUT;
            remaining = static_cast<DWORD>(timeoutMs - spent);
        }
        const DWORD r = ::MsgWaitForMultipleObjectsEx(1, &handle, remaining, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (r != WAIT_OBJECT_0 + 1) return r;
        MSG msg;  // delivers the pending sent messages, removes nothing
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace vnk::fw
