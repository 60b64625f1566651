// Trace lines on the debugger output (OutputDebugStringW), one per call,
// formatted with wsprintfW's syntax. Never pass a passphrase.
#pragma once

#include <functional>
#include <string>

namespace vnk {

void Trace(const wchar_t* format, ...);

// Lets a test read the lines it causes; the lines still reach the debugger
// output. Pass an empty function to stop.
void SetTraceListenerForTesting(std::function<void(const std::wstring&)> listener);

}  // namespace vnk
