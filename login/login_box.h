// The passphrase dialog of one drive. It lives on the drive's login thread:
// it locks the volume while it waits, hands the passphrase to the filter
// driver, and on success dismounts the volume and tells every top-level
// window that it went and came back; on failure or on request it has the
// disc ejected.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <cstddef>

#include "engine/login_session.h"
#include "engine/driver.h"
#include "fw/controls.h"
#include "fw/dialog.h"
#include "login/passphrase_edit.h"
#include "ui/color_static.h"

class CVNKDLoginBox : public vnk::fw::Dialog {
public:
    CVNKDLoginBox();
    ~CVNKDLoginBox() override;

    static constexpr UINT_PTR LoginCloseTimerId = 2;

    wchar_t m_driveLetter = L'D';
    DEV_BROADCAST_VOLUME m_volumeNotice{};
    vnk::DeviceHandle m_hDevice;  // open and locked while the box waits
    vnk::CColorStatic m_resultLabel;
    vnk::fw::Static m_promptLabel;
    vnk::CPassphraseEdit m_passphraseEdit;  // holds the passphrase while the box lives
    vnk::fw::Button m_loginButton;
    vnk::fw::Font m_resultFont;

    // True from the moment a login's outcome is known until the box closes.
    bool OutcomeKnown() const { return m_outcomeKnown; }

protected:
    void DoDataExchange(vnk::fw::DataExchange& dx) override;
    BOOL PreTranslateMessage(MSG* msg) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    void OnDpiChanged(UINT dpi) override;
    void PostNcDestroy() override;

    void OnLogin();
    void OnEjectDisc();
    void OnTimer(UINT_PTR timerId);
    void OnEndSession(BOOL ending);
    LRESULT OnColorsChanged(WPARAM wParam, LPARAM lParam);
    LRESULT OnShowWindowNotice(WPARAM show, LPARAM status);

    FW_DECLARE_MESSAGE_MAP()

private:
    // The result label's font at the box's DPI.
    void CreateResultFont();
    bool OpenDevice();
    // After a broadcast, whose wait lets other programs' sent messages into
    // this box's handlers: whether the box still waits for the passphrase.
    bool StillWaiting() const;
    // Whether a pass that locks every disc began since the box was shown.
    bool LockPassSinceShown() const;
    // The login went through but a lock pass began meanwhile: the disc goes
    // out through the box's own, still locked handle, and the box closes.
    void EjectAfterLockPass();
    bool LockVolume();
    void LoginAccepted();
    void LoginRefused();
    // Shows that the box takes no more requests until its timer closes it.
    void SettleOutcome();
    // Shows the outcome in the label, puts the focus on it and announces it.
    void ShowOutcome(UINT textId, COLORREF color);
    // The box closes in two seconds; a close request may close it sooner.
    void ScheduleClose();
    // Closes the device handle, which also drops the volume lock.
    void CloseDevice();
    void FillVolumeNotice();
    // Sends a device-change event with m_volumeNotice to every top-level
    // window; for the two events whose answer counts, 1 means granted.
    LRESULT Broadcast(UINT event);
    void CloseBox();

    bool m_outcomeKnown = false;
    bool m_closeScheduled = false;
    vnk::LoginSession m_showing;  // the engine's side of this showing
};
