// Finding the CD/DVD drives and announcing the client to the filter driver
// on each. Runs on the main thread only.
#pragma once

#include <memory>

#include "fw/thread.h"

namespace vnk {

// Makes a drive's login thread, suspended; the probe switches its
// auto-delete off, stores it in the drive's record and resumes it. The
// login layer lives above the engine, so the application hands the probe
// this at start-up; without one, drives get no login thread.
using LoginThreadFactory = std::unique_ptr<fw::Thread> (*)();
void SetLoginThreadFactory(LoginThreadFactory factory);

// Reprobe 0: the first probe of the process (the table starts empty);
// nonzero: a later probe, which first drops the drives whose device no
// longer opens. Always returns 1.
int VNKDProbeForDrives(int Reprobe);

}  // namespace vnk
