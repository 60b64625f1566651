#include "tests/support/trace_listener.h"

#include <cstring>

namespace vnk::test {

namespace {
constexpr DWORD kBufferSize = 4096;
}

TraceListener::TraceListener() {
    m_bufferReady.reset(::CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY"));
    m_dataReady.reset(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
    m_mapping.reset(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize, L"DBWIN_BUFFER"));
    if (!m_bufferReady || !m_dataReady || !m_mapping) return;
    m_view = ::MapViewOfFile(m_mapping.get(), FILE_MAP_READ, 0, 0, kBufferSize);
    if (m_view == nullptr) return;
    m_thread = std::thread([this] { Run(); });
}

TraceListener::~TraceListener() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_view != nullptr) ::UnmapViewOfFile(m_view);
}

std::vector<TraceListener::Line> TraceListener::Lines(size_t from) const {
    std::lock_guard lock(m_mutex);
    if (from >= m_lines.size()) return {};
    return std::vector<Line>(m_lines.begin() + static_cast<std::ptrdiff_t>(from), m_lines.end());
}

size_t TraceListener::Count() const {
    std::lock_guard lock(m_mutex);
    return m_lines.size();
}

void TraceListener::Clear() {
    std::lock_guard lock(m_mutex);
    m_lines.clear();
}

void TraceListener::Run() {
    while (!m_stop) {
        // Woken every 100 ms to see whether it is to stop.
        if (::WaitForSingleObject(m_dataReady.get(), 100) != WAIT_OBJECT_0) continue;
        const auto* bytes = static_cast<const char*>(m_view);
        DWORD pid = 0;
        std::memcpy(&pid, bytes, sizeof pid);
        std::string text(bytes + sizeof pid, strnlen(bytes + sizeof pid, kBufferSize - sizeof pid));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        {
            std::lock_guard lock(m_mutex);
            m_lines.push_back({pid, ::GetTickCount64(), std::move(text)});
        }
        ::SetEvent(m_bufferReady.get());
    }
}

}  // namespace vnk::test
