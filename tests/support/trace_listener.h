// Reads what other processes write with OutputDebugString, as a debug-output
// viewer does (the DBWIN_BUFFER protocol), and keeps the lines per process:
// the client's trace as seen from outside, for the chaos run.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fw/handles.h"

namespace vnk::test {

class TraceListener {
public:
    TraceListener();
    ~TraceListener();
    TraceListener(const TraceListener&) = delete;
    TraceListener& operator=(const TraceListener&) = delete;

    // False when the debug output cannot be read (another viewer has it).
    bool Works() const { return m_thread.joinable(); }

    struct Line {
        DWORD pid;
        ULONGLONG tick;
        std::string text;
    };
    // The lines from the `from`th on.
    std::vector<Line> Lines(size_t from = 0) const;
    size_t Count() const;
    void Clear();

private:
    void Run();

    vnk::fw::UniqueHandle m_bufferReady, m_dataReady, m_mapping;
    void* m_view = nullptr;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
    std::thread m_thread;
};

}  // namespace vnk::test
