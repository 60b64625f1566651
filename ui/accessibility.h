// What a screen reader meets of our windows beyond what the controls say of
// themselves: names that a control's own text cannot give, labels whose
// changes are read out as they happen, a window brought to the user's
// attention, and the colours that high contrast hands back to the system.
#pragma once

#include <windows.h>

namespace vnk::a11y {

// Gives a control the accessible name a person understands, where its own
// text is a placeholder. The window text carries it for readers that read
// it (and for Wine's oleacc); the annotation through IAccPropServices makes
// Windows' oleacc read it whatever the control class. False when the
// platform refused the annotation (the text is set all the same).
bool SetName(HWND control, const wchar_t* name);

// Marks a label as an assertive live region, so that its changes
// interrupt the reader. False where the platform refuses the property;
// AnnounceLabel then still raises the events.
bool MarkLiveRegion(HWND label);

// Raises what a screen reader reads for a live region or an alert whose
// text has just changed: EVENT_OBJECT_LIVEREGIONCHANGED and
// EVENT_SYSTEM_ALERT, both with the label's client object as the source.
void AnnounceLabel(HWND label);

// Brings a window that has just opened to the user's attention as Windows
// allows: to the foreground where this process may take it, otherwise its
// taskbar button flashes until the user switches to it. Never takes the
// keyboard from the window the user is typing in by other means.
void DrawAttention(HWND window);

// Whether a high-contrast scheme is on: then only system colours are used.
bool HighContrastOn();

// WCAG's contrast ratio of two colours, 1 to 21.
double ContrastRatio(COLORREF a, COLORREF b);

}  // namespace vnk::a11y
