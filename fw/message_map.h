// Declarative message maps: one static table per class that binds window
// messages, commands, registered messages and thread messages to On...
// handlers. A lookup walks the class's table, then its base's, and so on.
#pragma once

#include <windows.h>

namespace vnk::fw {

class CmdTarget;

using MapThunk = LRESULT (*)(CmdTarget* target, WPARAM wParam, LPARAM lParam);

enum class MapKind : unsigned char {
    End,         // terminates a table
    Message,     // a message number known at compile time
    Registered,  // a message number read through a pointer (RegisterWindowMessageW)
    Command,     // WM_COMMAND from a menu, accelerator or button with this id
};

struct MapEntry {
    MapKind kind;
    UINT code;
    const UINT* registered;
    MapThunk thunk;
};

struct MessageMap {
    const MessageMap* (*base)();
    const MapEntry* entries;
};

// The framework's reflection base: a parent hands a child's control-colour
// query (WM_CTLCOLOR...) to the child object as kReflectBase + WM_CTLCOLOR.
constexpr UINT kReflectBase = 0xBC00;
constexpr UINT kReflectedCtlColor = kReflectBase + 0x0019;

class CmdTarget {
public:
    CmdTarget() = default;
    CmdTarget(const CmdTarget&) = delete;
    CmdTarget& operator=(const CmdTarget&) = delete;
    virtual ~CmdTarget() = default;

    static const MessageMap* ThisMessageMap();
    virtual const MessageMap* GetMessageMap() const { return ThisMessageMap(); }

    // Runs the handler bound to the message, if any. True when one ran.
    bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
};

}  // namespace vnk::fw

#define FW_DECLARE_MESSAGE_MAP()                                                           \
public:                                                                                    \
    static const ::vnk::fw::MessageMap* ThisMessageMap();                                       \
    const ::vnk::fw::MessageMap* GetMessageMap() const override { return ThisMessageMap(); }    \
                                                                                           \
private:

#define FW_BEGIN_MESSAGE_MAP(Class, Base)             \
    const ::vnk::fw::MessageMap* Class::ThisMessageMap() { \
        using ThisClass = Class;                      \
        using BaseClass = Base;                       \
        static const ::vnk::fw::MapEntry entries[] = {
#define FW_END_MESSAGE_MAP()                                                   \
    {::vnk::fw::MapKind::End, 0, nullptr, nullptr}                                  \
    }                                                                          \
    ;                                                                          \
    static const ::vnk::fw::MessageMap map{&BaseClass::ThisMessageMap, entries};   \
    return &map;                                                               \
    }

#define FW_THUNK(body)                                                                      \
    [](::vnk::fw::CmdTarget * fwTarget, [[maybe_unused]] WPARAM wParam,                          \
       [[maybe_unused]] LPARAM lParam) -> LRESULT {                                         \
        [[maybe_unused]] auto* self = static_cast<ThisClass*>(fwTarget);                    \
        body;                                                                               \
    }

// LRESULT Handler(WPARAM, LPARAM)
#define FW_ON_MESSAGE(msg, handler) \
    {::vnk::fw::MapKind::Message, (msg), nullptr, FW_THUNK(return self->handler(wParam, lParam))},
// LRESULT Handler(WPARAM, LPARAM); `var` is a UINT holding a registered message number.
#define FW_ON_REGISTERED_MESSAGE(var, handler) \
    {::vnk::fw::MapKind::Registered, 0, &(var), FW_THUNK(return self->handler(wParam, lParam))},
// void Handler()
#define FW_ON_COMMAND(id, handler) \
    {::vnk::fw::MapKind::Command, (id), nullptr, FW_THUNK(self->handler(); return 0)},
// void Handler(WPARAM, LPARAM), for messages posted to a thread
#define FW_ON_THREAD_MESSAGE(msg, handler) \
    {::vnk::fw::MapKind::Message, (msg), nullptr, FW_THUNK(self->handler(wParam, lParam); return 0)},
// void OnTimer(UINT_PTR)
#define FW_ON_WM_TIMER() \
    {::vnk::fw::MapKind::Message, WM_TIMER, nullptr, FW_THUNK(self->OnTimer(wParam); return 0)},
// void OnSysCommand(UINT, LPARAM)
#define FW_ON_WM_SYSCOMMAND()                   \
    {::vnk::fw::MapKind::Message, WM_SYSCOMMAND, nullptr, \
     FW_THUNK(self->OnSysCommand(static_cast<UINT>(wParam), lParam); return 0)},
// void OnPaint()
#define FW_ON_WM_PAINT() \
    {::vnk::fw::MapKind::Message, WM_PAINT, nullptr, FW_THUNK(self->OnPaint(); return 0)},
// HCURSOR OnQueryDragIcon()
#define FW_ON_WM_QUERYDRAGICON()                      \
    {::vnk::fw::MapKind::Message, WM_QUERYDRAGICON, nullptr, \
     FW_THUNK(return reinterpret_cast<LRESULT>(self->OnQueryDragIcon()))},
// BOOL OnDeviceChange(UINT, DWORD_PTR)
#define FW_ON_WM_DEVICECHANGE()                        \
    {::vnk::fw::MapKind::Message, WM_DEVICECHANGE, nullptr, \
     FW_THUNK(return self->OnDeviceChange(static_cast<UINT>(wParam), static_cast<DWORD_PTR>(lParam)))},
// void OnEndSession(BOOL)
#define FW_ON_WM_ENDSESSION()                        \
    {::vnk::fw::MapKind::Message, WM_ENDSESSION, nullptr, \
     FW_THUNK(self->OnEndSession(wParam ? TRUE : FALSE); return 0)},
// HBRUSH Handler(HDC, UINT ctlType): the control's own answer to its parent's colour query
#define FW_ON_WM_CTLCOLOR_REFLECT(handler)                       \
    {::vnk::fw::MapKind::Message, ::vnk::fw::kReflectedCtlColor, nullptr,  \
     FW_THUNK(return reinterpret_cast<LRESULT>(                  \
         self->handler(reinterpret_cast<HDC>(wParam), static_cast<UINT>(lParam))))},
