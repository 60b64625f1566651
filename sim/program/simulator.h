// The simulator's answers: the device seam's calls go to the simulated
// drive bay as they are; the control program's commands are checked
// against the bay's state, carried out, and broadcast as the system would
// when a drive comes or goes.
#pragma once

#include "sim/pipe_wire.h"
#include "sim/sim_driver.h"

namespace vnk::sim {

class Simulator {
public:
    explicit Simulator(SimDriver& driver) : m_driver(driver) {}

    // Thread-safe; holds no lock of its own, so that a command that waits
    // for the broadcast's receivers leaves them free to call the bay.
    // Op::Quit is answered here; ending the server is the caller's part.
    Response Handle(const Request& request);

private:
    Response DriveType(const Request& request);
    Response Open(const Request& request);
    Response Control(const Request& request);
    Response Close(const Request& request);
    Response List() const;
    Response AddDrive(wchar_t letter, DWORD driveType);
    Response RemoveDrive(const DriveState& drive);
    Response Insert(const DriveState& drive, const Request& request);
    Response Eject(const DriveState& drive);
    Response Hold(wchar_t letter, DWORD held);
    Response Fail(wchar_t letter, const Request& request);
    Response Signal(wchar_t letter);
    Response Delay(const Request& request);
    Response Stall(const Request& request);
    Response Release(const Request& request);
    Response Calls() const;
    // The drive a command names, if it is there; nullopt with `refusal`
    // set otherwise. The one place that checks a drive's presence.
    std::optional<DriveState> PresentDrive(wchar_t letter, Response& refusal) const;
    // The drive a delay, stall or release names: 0 for every drive, or one
    // that is there; nullopt with `refusal` set otherwise.
    std::optional<wchar_t> DriveOrEvery(const Request& request, Response& refusal) const;

    SimDriver& m_driver;
};

}  // namespace vnk::sim
