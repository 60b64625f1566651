// The application: one instance per session, the status window run modally
// for the life of the process, and the drive engine's shutdown after it.
#pragma once

#include "fw/app.h"
#include "fw/message_map.h"
#include "fw/handles.h"

class CVarnokdApp : public vnk::fw::App {
public:
    // The single-instance marker: a named file mapping in the session's
    // local namespace.
    static constexpr wchar_t kInstanceMarker[] = L"{DCDF2ADB-AC4B-4b2d-889C-0C84AD8EA74F}";
    // The status window's title, by which a second instance finds the first.
    static constexpr wchar_t kStatusWindowTitle[] = L"Varnok Status";

    // Runs the whole program; false, so that the process then ends.
    BOOL InitInstance() override;

private:
    FW_DECLARE_MESSAGE_MAP()

    // Creates the marker (or opens the one that exists); `existed` tells
    // whether a mapping of that name was there already.
    static vnk::fw::UniqueHandle CreateInstanceMarker(bool& existed);
    // Brings a running instance's window up: true when one answered within
    // five seconds.
    static bool HandOverToRunningInstance();
};
