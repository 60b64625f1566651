#include "engine/login_session.h"

#include <mutex>

#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/lock_pass.h"

namespace vnk {

void LoginSession::Begin(wchar_t letter) {
    std::lock_guard lock(DriveLock);
    m_letter = letter;
    const DriveInfo* info = Drives().Find(letter);
    m_id = info != nullptr ? info->id : 0;
    m_generation = detail::LockGeneration();
}

bool LoginSession::LockPassSince() const { return detail::LockGeneration() != m_generation; }

void LoginSession::SetVolumeLocked(bool locked) const {
    RecordDriveFact(m_id, locked ? DriveFact::VolumeLocked : DriveFact::VolumeUnlocked);
}

bool LoginSession::BeginLogin() const {
    std::lock_guard lock(DriveLock);
    // Checked under the lock: a pass that begins after this finds the mark.
    // A record that has gone (a re-probe took it out while the box was up)
    // is told nothing: the passphrase must not go where no lock pass looks.
    return !LockPassSince() && RecordDriveFact(m_id, DriveFact::LoginBegun);
}

bool LoginSession::RecordLoggedIn() const {
    std::lock_guard lock(DriveLock);
    // Checked under the lock: a lock pass that begins after this finds the
    // drive LoggedIn and ejects it itself.
    // A disc logged in on a record that has gone would be known to no lock
    // pass: the box ejects it as after a pass.
    return !LockPassSince() && RecordDriveFact(m_id, DriveFact::LoginAccepted);
}

void LoginSession::LoginRefused() const {
    RecordDriveFact(m_id, DriveFact::LoginRefused);
    detail::AnswerPassesWaitingFor(m_id, m_letter, ERROR_SUCCESS);
}

void LoginSession::EjectedAfterLockPass(DWORD error) const {
    // A disc that did not go stays LoggedIn, so the next pass tries again.
    RecordDriveFact(m_id, error == ERROR_SUCCESS ? DriveFact::EjectConfirmed : DriveFact::EjectFailed);
    detail::AnswerPassesWaitingFor(m_id, m_letter, error);
}

void LoginSession::RequestEject() const {
    bool ejectHere = false;
    {
        std::lock_guard lock(DriveLock);
        DriveInfo* info = Drives().FindId(m_id);
        if (info == nullptr) {
            Trace(L"LoginSession: drive %c: its record has gone, no eject\n", m_letter);
            return;
        }
        // A watcher serves requests only until it fires or ends, and says
        // so under this lock; with none that will (a re-probe has stopped
        // it, or it has fired and is ending), the disc must go all the same.
        // The post waits for nothing under the lock: a watcher just started
        // that has no message queue yet leaves the eject to a worker.
        ejectHere = !AskWatcherToEject(*info);
    }
    if (ejectHere) EjectOnWorker(m_letter, m_id, L"LoginSession");
}
}  // namespace vnk
