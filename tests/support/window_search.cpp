#include "tests/support/window_search.h"

#include <commctrl.h>
#include <shellapi.h>

#include <iterator>

namespace vnk::test {

namespace {

// Memory in another process, for messages whose parameters point at it.
class RemoteBuffer {
public:
    RemoteBuffer(HANDLE process, size_t bytes)
        : m_process(process),
          m_address(::VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
    ~RemoteBuffer() {
        if (m_address != nullptr) ::VirtualFreeEx(m_process, m_address, 0, MEM_RELEASE);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    BYTE* Address() const { return static_cast<BYTE*>(m_address); }
    bool Write(size_t offset, const void* data, size_t bytes) const {
        return ::WriteProcessMemory(m_process, Address() + offset, data, bytes, nullptr) != FALSE;
    }
    bool Read(size_t offset, void* data, size_t bytes) const {
        return ::ReadProcessMemory(m_process, Address() + offset, data, bytes, nullptr) != FALSE;
    }

private:
    HANDLE m_process;
    void* m_address;
};

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindowOf(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    if (pid == search->processId) search->found.push_back(hwnd);
    return TRUE;
}

}  // namespace

std::vector<HWND> TopWindowsOf(DWORD processId) {
    WindowSearch search{processId, {}};
    ::EnumWindows(CollectWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[256] = {};
    ::GetClassNameW(hwnd, name, 256);
    return name;
}

std::wstring TitleOf(HWND hwnd) {
    wchar_t title[512] = {};
    ::GetWindowTextW(hwnd, title, 512);
    return title;
}

bool IconInShell(HWND window, UINT id) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = id;
    return ::Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

std::optional<std::wstring> ReadControlText(HWND control, DWORD timeoutMs) {
    wchar_t text[1024] = {};
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(control, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                               timeoutMs, &copied))
        return std::nullopt;
    return std::wstring(text);
}

std::optional<ListViewRows> ReadListView(HWND list, HANDLE process, DWORD timeoutMs) {
    constexpr int kTextUnits = 256;
    const RemoteBuffer buffer(process, sizeof(LVITEMW) + kTextUnits * sizeof(wchar_t));
    if (buffer.Address() == nullptr) return std::nullopt;
    const auto text = [&](int item, int column) {
        LVITEMW request{};
        request.iSubItem = column;
        request.cchTextMax = kTextUnits;
        request.pszText = reinterpret_cast<wchar_t*>(buffer.Address() + sizeof(LVITEMW));
        wchar_t units[kTextUnits] = {};
        DWORD_PTR copied = 0;
        if (buffer.Write(0, &request, sizeof request) &&
            ::SendMessageTimeoutW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(buffer.Address()),
                                  SMTO_ABORTIFHUNG, timeoutMs, &copied))
            buffer.Read(sizeof(LVITEMW), units, sizeof units - sizeof(wchar_t));
        return std::wstring(units);
    };
    DWORD_PTR count = 0;
    ::SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &count);
    ListViewRows rows;
    for (int i = 0; i < static_cast<int>(count); ++i) rows.emplace_back(text(i, 0), text(i, 1));
    return rows;
}

}  // namespace vnk::test
