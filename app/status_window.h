// The program's main window: the list of drives with their status under a
// header with the program's icon, name, version and legal notice. It lives
// hidden behind its tray icon most of the time, and it is the receiver of
// the watchers' notices, the tray menu's commands, device changes and the
// end of the session.
#pragma once

#include <windows.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fw/controls.h"
#include "fw/dialog.h"
#include "engine/probe.h"
#include "fw/handles.h"
#include "ui/system_tray.h"

namespace vnk {
class DriveBatch;
}

class CVNKDStatus : public vnk::fw::Dialog {
public:
    CVNKDStatus();
    ~CVNKDStatus() override;

    BOOL DestroyWindow() override;

    // What the window shows and holds, for the tray and for tests.
    bool IsHiddenInTray() const { return m_bHidden; }
    const vnk::CSystemTray* Tray() const { return m_pTray.get(); }
    UINT TrayMessage() const { return m_uTrayMessage; }
    bool RecheckPending() const { return m_bRecheckPending; }

    vnk::fw::ListCtrl m_list;
    vnk::fw::Static m_title;
    vnk::fw::Static m_version;
    vnk::fw::Static m_legal;
    vnk::fw::Static m_iconLabel;

    // The text of column 1 for a drive's status value.
    static std::wstring StatusText(DWORD status);

    // Shows one box naming the drives that could not be locked (with why,
    // or that they did not answer in time); nothing when there are none.
    // With `closeAfterMs`, the box closes by itself when that time is up.
    static void ShowLockFailures(UINT textId, UINT captionId,
                                 const std::vector<std::pair<wchar_t, DWORD>>& failures, UINT closeAfterMs = 0);

    // Whether the person ended the program (Exit, Escape) and may be told
    // what the exit could not lock; not when another program asked it to
    // close (WM_CLOSE: an installer) or the session ends.
    bool ExitTellsTheUser() const { return !m_closedByProgram && !m_sessionEnding; }
    // How long the exit's box stays up at most: inside an installer's
    // patience with a program it asked to close.
    static constexpr UINT kExitBoxMs = 30000;

    // How long Emergency Lock waits for the drives before it names those
    // that did not answer, and how long the session's end waits.
    static constexpr UINT kEmergencyLockMs = 5000;
    static constexpr DWORD kSessionEndLockMs = 3500;
    static constexpr UINT_PTR kLockPassTimerId = 1;

protected:
    void DoDataExchange(vnk::fw::DataExchange& dx) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnDpiChanged(UINT dpi) override;

    void OnSysCommand(UINT command, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    BOOL OnDeviceChange(UINT event, DWORD_PTR data);
    void OnEndSession(BOOL ending);
    LRESULT OnCloseRequest(WPARAM wParam, LPARAM lParam);
    void OnShowStatusWindow();
    void OnEmergencyLock();
    LRESULT OnEventTriggered(WPARAM drive, LPARAM lParam);
    LRESULT OnUpdateStatus(WPARAM wParam, LPARAM lParam);
    LRESULT OnUpdateStatusRequest(WPARAM wParam, LPARAM lParam);
    LRESULT OnTaskbarCreated(WPARAM wParam, LPARAM lParam);
    LRESULT OnDriveResults(WPARAM wParam, LPARAM lParam);
    LRESULT OnProbeDone(WPARAM wParam, LPARAM lParam);
    void OnTimer(UINT_PTR timerId);

    FW_DECLARE_MESSAGE_MAP()

private:
    void InitColumns();
    // The list's name, and arrow keys that stay on controls that show focus.
    void InitKeyboardAndNames();
    // The focus on the list, on the row of the drive that had it last.
    void FocusList();
    // The drive of the list's focused row (and the row), or the one that
    // had it last.
    wchar_t FocusedDrive(int& row) const;
    // Focuses the row of `drive`; if it is gone, the row now at
    // `previousRow`, else the last; the first when none had it.
    void FocusRow(wchar_t drive, int previousRow);
    LRESULT OnSysColorChange(WPARAM wParam, LPARAM lParam);
    void SizeColumns();
    void InitHeader();
    // The header's fonts and icon image at the window's DPI.
    void CreateHeaderFonts();
    void LoadIconLabelImage();
    bool RegisterForCdRomNotifications();
    void UpdateTrayIcon();
    // Closes the login boxes of drives that are gone, then probes the
    // drives again (on a worker).
    void Reprobe();
    // Fills the list from the table as it is now; no device call.
    void RebuildList();
    // Emergency Lock's end: every drive answered, or its time ran out.
    void FinishEmergencyLock();
    static std::vector<std::pair<wchar_t, DWORD>> EveryDriveNotLocked();

    // The window's private messages are requests it made itself: each is
    // counted (or its result recorded) here when it is made, and a notice
    // acts only on what it finds here, never on its own parameters. Any
    // program can post the same numbers; one that finds nothing here is
    // traced and changes nothing.
    void StartProbe(int reprobe, vnk::ReprobeBoxes boxes);
    void PostUpdateStatus();
    void WatchBatch(std::shared_ptr<vnk::DriveBatch> batch);
    bool TakeNewDriveResults();
    struct ProbeResults {
        std::mutex lock;
        std::deque<int> results;
    };
    struct WatchedBatch {
        std::shared_ptr<vnk::DriveBatch> batch;
        size_t seen = 0;
    };
    std::shared_ptr<ProbeResults> m_probeResults = std::make_shared<ProbeResults>();
    unsigned m_updateRequests = 0;
    std::vector<WatchedBatch> m_batches;

    vnk::fw::UniqueDeviceNotify m_hDevNotify;
    HICON m_hIcon = nullptr;  // shared resource icon, not destroyed
    bool m_bHidden = false;
    std::unique_ptr<vnk::CSystemTray> m_pTray;  // exists exactly while the window is hidden
    UINT m_uTrayMessage = 0;
    bool m_bRecheckPending = false;
    std::shared_ptr<vnk::DriveBatch> m_lockPass;  // the Emergency Lock under way
    bool m_firstProbeDone = false;
    bool m_closedByProgram = false;
    bool m_sessionEnding = false;
    wchar_t m_focusedDrive = 0;  // the drive whose row had the focus last
    vnk::fw::Font m_fontTitle;
    vnk::fw::Font m_fontVersion;
    vnk::fw::Font m_fontLegal;
    vnk::fw::UniqueIcon m_iconLabelImage;
};
