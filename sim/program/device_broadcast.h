// What the system tells every top-level window when a drive comes or goes.
#pragma once

#include <windows.h>

namespace vnk::sim {

// A CD/DVD drive's interface arrived: DBT_DEVICEARRIVAL with a
// DEV_BROADCAST_DEVICEINTERFACE_W record for GUID_DEVINTERFACE_CDROM, then
// DBT_DEVNODES_CHANGED.
void BroadcastCdromArrival(wchar_t letter);
// The same with DBT_DEVICEREMOVECOMPLETE.
void BroadcastCdromRemoval(wchar_t letter);
// DBT_DEVNODES_CHANGED alone: what a program that registered only for
// CD-ROM interfaces sees of any other drive.
void BroadcastDeviceNodesChanged();

}  // namespace vnk::sim
