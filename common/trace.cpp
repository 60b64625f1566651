#include "common/trace.h"

#include <windows.h>

#include <cstdarg>
#include <mutex>

namespace vnk {

namespace {

std::mutex& ListenerMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(const std::wstring&)>& Listener() {
    static std::function<void(const std::wstring&)> listener;
    return listener;
}

}  // namespace

void Trace(const wchar_t* format, ...) {
    wchar_t line[1025];  // wvsprintfW writes at most 1024 units
    va_list args;
    va_start(args, format);
    ::wvsprintfW(line, format, args);
    va_end(args);
    ::OutputDebugStringW(line);
    std::lock_guard lock(ListenerMutex());
    if (Listener()) Listener()(line);
}

void SetTraceListenerForTesting(std::function<void(const std::wstring&)> listener) {
    std::lock_guard lock(ListenerMutex());
    Listener() = std::move(listener);
}

}  // namespace vnk
