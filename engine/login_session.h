// A login box's side of the engine: the box calls its login session
// between its steps, and never writes a drive's state itself.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vnk {

// The engine's side of one showing of a drive's login box: the box calls
// it between its steps, and it alone decides, under DriveLock, whether a
// lock pass that began since the box was shown means the disc must go.
// A pass that begins after the box was shown must find the disc ejected or
// ejecting: the box then never records LoggedIn. The session refers to
// the record by its id: a box of a drive that went never writes to a
// later record of the same letter.
class LoginSession {
public:
    // The box of `letter` is shown now.
    void Begin(wchar_t letter);
    // Whether a lock pass began since the box was shown.
    bool LockPassSince() const;
    // The box holds (or no longer holds) the volume locked.
    void SetVolumeLocked(bool locked) const;
    // Just before the passphrase goes to the driver: marks the login as
    // under way, so that lock passes count the drive. False (nothing
    // marked) when a lock pass began since the box was shown or the
    // drive's record has gone.
    bool BeginLogin() const;
    // The driver accepted: records LoggedIn and ends the mark, unless a
    // lock pass began since the box was shown or the drive's record has
    // gone (then false, nothing recorded; the box ejects and reports with
    // EjectedAfterLockPass).
    bool RecordLoggedIn() const;
    // The driver refused: the disc is not logged in. Ends the mark.
    void LoginRefused() const;
    // The box ejected the disc itself because a lock pass began: NoDisc on
    // success, else LoggedIn; ends the mark and answers the passes that
    // wait for this drive.
    void EjectedAfterLockPass(DWORD error) const;
    // The box's own eject request, once it has let the volume go: the
    // drive's watcher ejects if it serves, else a worker does. The status
    // changes only when the eject has answered.
    void RequestEject() const;

private:
    wchar_t m_letter = 0;
    std::uint64_t m_id = 0;
    unsigned m_generation = 0;
};

}  // namespace vnk
