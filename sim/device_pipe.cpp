// The simulator build's binding of the device seam: every call goes over
// the named pipe to the simulator program.
#include "common/trace.h"
#include "engine/device_seam.h"
#include "sim/pipe_client.h"

namespace vnk {

DeviceSeam& DefaultDevice() {
    static sim::PipeDevice device = [] {
        auto path = sim::SimulatorPipePath();
        // With no usable pipe name every drive fails to open, which the
        // program already knows how to live with.
        if (!path) Trace(L"DefaultDevice: VARNOK_SIM_PIPE holds no usable pipe name, no drive will answer\n");
        return sim::PipeDevice(path.value_or(std::wstring()));
    }();
    return device;
}

}  // namespace vnk
