// What a screen reader meets of a window, read as one reads it: each
// control's client object through oleacc (AccessibleObjectFromWindow), and
// the WinEvents the program raises, caught by an out-of-context hook.
#pragma once

#include <windows.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vnk::test {

struct AccessibleInfo {
    std::wstring name;
    LONG role = 0;
    LONG state = 0;
    std::wstring shortcut;  // the access key as oleacc gives it ("Alt+L")
    std::wstring roleText;
    std::wstring stateText;
};

// The client object of a window, as a reader asks for it; nothing when
// oleacc has none.
std::optional<AccessibleInfo> AccessibleOf(HWND window);

// The access key a shortcut text names ('L' for "Alt+L"), upper case; 0
// for none.
wchar_t AccessKeyOf(const std::wstring& shortcut);

// One line per control of a top-level window, in the order a reader walks
// them (the window itself first): role, name, state, access key.
std::wstring DescribeAccessibleTree(HWND window);

// Records the WinEvents of this process from the moment it is made until
// it goes. The hook is out of context: events arrive while the creating
// thread pumps its messages. One recorder at a time.
class WinEventRecorder {
public:
    struct Event {
        DWORD event;
        HWND hwnd;
        LONG object;
        LONG child;
        std::wstring text;  // the source window's text when the event came
    };

    WinEventRecorder(DWORD minEvent, DWORD maxEvent);
    ~WinEventRecorder();
    WinEventRecorder(const WinEventRecorder&) = delete;
    WinEventRecorder& operator=(const WinEventRecorder&) = delete;

    std::vector<Event> Events() const;
    // The events of this kind raised with `hwnd`'s client object as source.
    std::vector<Event> From(DWORD event, HWND hwnd) const;
    void Clear();

private:
    static void CALLBACK Callback(HWINEVENTHOOK hook, DWORD event, HWND hwnd, LONG object, LONG child, DWORD thread,
                                  DWORD time);
    HWINEVENTHOOK m_hook = nullptr;
    mutable std::mutex m_mutex;
    std::vector<Event> m_events;
};

}  // namespace vnk::test
