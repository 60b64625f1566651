// Tests bind the device seam to the in-process simulated driver.
#include "engine/device_seam.h"
#include "sim/sim_driver.h"

namespace vnk {
DeviceSeam& DefaultDevice() { return sim::TheSimDriver(); }
}  // namespace vnk
