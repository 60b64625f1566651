// The status window's answers, watched all the time rather than only
// between the steps.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace vnk::chaos {

// Sends WM_NULL to the client's status window every 50 ms for as long as it
// lives, so that a main thread that is held (a device call, a wait) shows
// whenever it happens, not only between steps. Keeps the longest wait seen
// since it was last asked.
class Pinger {
public:
    explicit Pinger(DWORD boundMs) : m_boundMs(boundMs), m_thread([this] { Run(); }) {}
    ~Pinger() {
        m_stop = true;
        m_thread.join();
    }
    Pinger(const Pinger&) = delete;
    Pinger& operator=(const Pinger&) = delete;

    void Watch(HWND window) { m_window = window; }
    // The longest time the window kept a WM_NULL beyond the bound since the
    // last call, and when that began; nullopt when none did.
    std::optional<std::pair<ULONGLONG, ULONGLONG>> TakeWorst() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_worst, std::nullopt);
    }
    // The longest wait since the last call, within the bound or not (the
    // step log keeps it: the figures a bound is chosen from).
    ULONGLONG TakeLongest() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_longest, 0);
    }

private:
    void Run() {
        while (!m_stop) {
            const HWND window = m_window.load();
            if (window != nullptr) {
                DWORD_PTR result = 0;
                const ULONGLONG sent = ::GetTickCount64();
                const bool answered = ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result) != 0;
                const ULONGLONG took = ::GetTickCount64() - sent;
                if (answered && m_window.load() == window) {
                    std::lock_guard lock(m_mutex);
                    m_longest = std::max(m_longest, took);
                }
                // A window that went meanwhile (Exit, the process ended) is
                // no late answer.
                if (took > m_boundMs && (answered || ::IsWindow(window)) && m_window.load() == window) {
                    std::lock_guard lock(m_mutex);
                    if (!m_worst || took > m_worst->first) m_worst = std::make_pair(took, sent);
                }
            }
            ::Sleep(50);
        }
    }

    const DWORD m_boundMs;
    std::atomic<HWND> m_window{nullptr};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::optional<std::pair<ULONGLONG, ULONGLONG>> m_worst;
    ULONGLONG m_longest = 0;
    std::thread m_thread;
};

}  // namespace vnk::chaos
