// Finding the CD/DVD drives and announcing the client to the filter driver
// on each. Runs on the main thread only.
#pragma once

namespace vnk {

// Reprobe 0: the first probe of the process (the table starts empty);
// nonzero: a later probe, which first drops the drives whose device no
// longer opens. Always returns 1.
int VNKDProbeForDrives(int Reprobe);

}  // namespace vnk
