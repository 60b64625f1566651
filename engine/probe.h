// Finding the CD/DVD drives and announcing the client to the filter driver
// on each. Runs on the main thread only.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <functional>

namespace vnk {

// Reprobe 0: the first probe of the process (the table starts empty);
// nonzero: a later probe, which first drops the drives whose device no
// longer opens. Always returns 1.
int VNKDProbeForDrives(int Reprobe);

// A new GUID in `guid` and the auto-reset event named after it, open to
// this process's user and SYSTEM only. A name that exists already is
// somebody else's: it is let go and another GUID tried. Null when no GUID
// or no event of our own could be had, with the reason in GetLastError.
HANDLE NewAnnouncementEvent(GUID& guid, const std::function<HRESULT(GUID*)>& newGuid = ::CoCreateGuid);

}  // namespace vnk
