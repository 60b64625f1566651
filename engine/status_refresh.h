// The status refresh: every drive's status read from the driver again.
#pragma once

#include <windows.h>

#include <memory>

#include "engine/worker.h"

namespace vnk {

// Re-reads every drive's status from the driver, each drive on a worker;
// returns at once (engine/worker.h). Each status is written to its
// record and WM_DRIVE_RESULTS posted to `notify`.
std::shared_ptr<DriveBatch> VNKDUpdateDriveStatus(HWND notify = nullptr);

}  // namespace vnk
