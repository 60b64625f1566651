// Finding the CD/DVD drives and announcing the client to the filter driver
// on each. Runs on the main thread only.
#pragma once

namespace vnk {

// Reprobe 0: the first probe of the process (the table starts empty);
// nonzero: a later probe, which first drops the drives that are gone.
// Returns 0 when the first probe finds CD/DVD drives and none of them
// answers the filter driver's requests (the driver is not installed);
// 1 otherwise.
int VNKDProbeForDrives(int Reprobe);

// Whether a drive of the table is really gone: its device does not open
// because it is not found, or the letter is no longer a CD/DVD drive. A
// drive that is busy, shared away or locked out is not gone (traced with
// the caller's name).
bool DriveIsGone(wchar_t letter, const wchar_t* caller);

}  // namespace vnk
