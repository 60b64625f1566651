// The platform's own cost of idle threads, for tools/bench's memory
// figures: starts COUNT threads that each make a message queue and wait in
// GetMessage, as the client's and the reference's threads do, and then
// waits itself until it is ended from outside.
//
// Usage: bare_threads.exe COUNT
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

DWORD WINAPI IdleProc(void*) {
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int count = argc > 1 ? _wtoi(argv[1]) : 0;
    if (count < 0 || count > 1000) return 2;
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) threads.push_back(::CreateThread(nullptr, 0, IdleProc, nullptr, 0, nullptr));
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    }
    return 0;
}
