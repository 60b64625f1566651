// Another program's top-level window on a thread of its own, for the
// device-change broadcasts of the client: it answers them slowly (busy,
// not hung), refuses the query before a removal, or stops taking messages
// altogether.
#pragma once

#include <windows.h>

#include <atomic>

#include "fw/handles.h"

namespace vnk::test {

class OtherProgramWindow {
public:
    struct Behaviour {
        DWORD delayMs = 0;             // taken over each device change it is sent...
        bool onlyQueryRemove = false;  // ...or only over the query before a removal
        bool refuseQueryRemove = false;
        bool refuseArrival = false;  // answers a volume's arrival as if it refused it
        bool hung = false;     // its thread takes no message at all until the window goes
        bool visible = false;  // shown: ahead of the windows made before it in the z-order
    };

    explicit OtherProgramWindow(const Behaviour& behaviour);
    ~OtherProgramWindow();
    OtherProgramWindow(const OtherProgramWindow&) = delete;
    OtherProgramWindow& operator=(const OtherProgramWindow&) = delete;

    // From the next device change on.
    void SetDelay(DWORD ms) { m_delayMs = ms; }
    unsigned DeviceChanges() const { return m_deviceChanges; }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI Run(LPVOID param);

    const Behaviour m_behaviour;
    std::atomic<DWORD> m_delayMs;
    std::atomic<unsigned> m_deviceChanges{0};
    vnk::fw::UniqueHandle m_thread;
    DWORD m_threadId = 0;
    vnk::fw::UniqueHandle m_ready{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // Set when it goes: ends a delay or a hang at once.
    vnk::fw::UniqueHandle m_end{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

}  // namespace vnk::test
