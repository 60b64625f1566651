// The installer's custom action: before Windows Installer replaces or
// removes Varnokd.exe, a client running in the installing user's session is
// asked to close (WM_CLOSE, as installers ask programs), so that no file is
// left in use and no reboot is needed. It withdraws its announcements and
// ejects the discs that are logged in, as at any exit, and shows no box
// that would wait for a person.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cwchar>
#include <iterator>
#include <utility>
#include <vector>

#include "app/varnokd_app.h"
#include "fw/handles.h"
#include "res/resource.h"

namespace {

// A client ends within moments of Exit; one whose driver calls hang is
// given this long before the installer goes on without it.
constexpr DWORD kExitPatienceMs = 30000;

struct MsiHandleTraits {
    static MSIHANDLE Invalid() { return 0; }
    static bool Valid(MSIHANDLE h) { return h != 0; }
    static void Close(MSIHANDLE h) { ::MsiCloseHandle(h); }
};
using UniqueMsiHandle = vnk::fw::UniqueResource<MSIHANDLE, MsiHandleTraits>;

// A line in the installation's log (msiexec /l*v).
void Log(MSIHANDLE install, const wchar_t* format, DWORD value) {
    wchar_t text[200];
    std::swprintf(text, std::size(text), format, value);
    const UniqueMsiHandle record(::MsiCreateRecord(0));
    if (!record) return;
    ::MsiRecordSetStringW(record.get(), 0, text);
    ::MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

// Every running client of this desktop, by its status window.
std::vector<HWND> ClientWindows() {
    std::vector<HWND> windows;
    for (HWND w = ::FindWindowExW(nullptr, nullptr, nullptr, CVarnokdApp::kStatusWindowTitle);
         w != nullptr; w = ::FindWindowExW(nullptr, w, nullptr, CVarnokdApp::kStatusWindowTitle))
        windows.push_back(w);
    return windows;
}

}  // namespace

// Immediate action, scheduled before InstallValidate so that the files-in-use
// check already finds the client gone. It never fails the installation: a
// client that does not end leaves Windows Installer's own handling of files
// in use.
extern "C" __declspec(dllexport) UINT __stdcall CloseRunningClient(MSIHANDLE install) try {
    std::vector<vnk::fw::UniqueHandle> processes;
    for (HWND window : ClientWindows()) {
        DWORD processId = 0;
        ::GetWindowThreadProcessId(window, &processId);
        vnk::fw::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
        if (!::PostMessageW(window, WM_CLOSE, 0, 0)) continue;
        Log(install, L"CloseRunningClient: asked the client in process %lu to exit", processId);
        if (process) processes.push_back(std::move(process));
    }

    const ULONGLONG deadline = ::GetTickCount64() + kExitPatienceMs;
    for (const vnk::fw::UniqueHandle& process : processes) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (::WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0)
            Log(install, L"CloseRunningClient: process %lu did not end",
                ::GetProcessId(process.get()));
    }
    return ERROR_SUCCESS;
} catch (...) {
    // Out of memory: nothing may leave the DLL, and the installation goes on.
    return ERROR_SUCCESS;
}
