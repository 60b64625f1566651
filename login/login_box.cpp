#include "login/login_box.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

#include "common/error_box.h"
#include "common/messages.h"
#include "common/strings.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/worker.h"
#include "fw/app.h"
#include "fw/dpi.h"
#include "fw/handles.h"
#include "fw/thread.h"
#include "res/resource.h"
#include "ui/accessibility.h"

namespace {

// Waits `ms` for another try at the lock; false when the thread was told to
// end meanwhile (the program exits): the tries then stop without a box,
// which nobody would be there to answer. Only the thread's owner can tell
// it that (its private stop event); a WM_QUIT from elsewhere changes nothing.
bool WaitBeforeNextTry(DWORD ms) {
    const vnk::fw::Thread* thread = vnk::fw::CurrentThread();
    const HANDLE stop = thread != nullptr ? thread->StopEvent() : nullptr;
    const ULONGLONG end = ::GetTickCount64() + ms;
    MSG msg;
    for (;;) {
        // Answers sent messages (other windows' broadcasts reach the hidden
        // box too), which wake the wait as well.
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        if (thread != nullptr && thread->StopRequested()) return false;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= end) return true;
        ::MsgWaitForMultipleObjectsEx(stop != nullptr ? 1 : 0, &stop, static_cast<DWORD>(end - now), QS_SENDMESSAGE, 0);
    }
}

// How long one window may take over one of the box's notices before it is
// passed over: a query for the volume's removal gets as long as the
// system's own removal query gives a window, for as long as the window is
// not hung (a window that shows a question of its own in its handler keeps
// answering other messages meanwhile); the other notices expect no answer
// that counts. A hung window is passed over at once, and one that becomes
// hung while it has the query as soon as the system says so.
constexpr UINT kNoticeWindowMs = 3000;
constexpr UINT kQueryRemoveWindowMs = 30000;
constexpr DWORD kHungLookMs = 250;
// The whole walk's bound. A query still unanswered by then goes on as if no
// window refused; the other notices still reach the windows left, without
// waiting for them.
constexpr ULONGLONG kBroadcastWalkMs = 30000;
constexpr UINT kAfterBoundMs = 1;

struct BroadcastWalk {
    UINT event;
    const DEV_BROADCAST_VOLUME* notice;
    ULONGLONG deadline;
    bool refused = false;
    bool outOfTime = false;
    bool stopped = false;  // the box's thread was told to end meanwhile
};

// One window's query, sent by a worker so that the box's thread can see
// the window become hung meanwhile (and go on) while it answers the
// messages sent to its own windows. Shared with the worker, which may
// finish after the walk went on: it carries its own copy of the notice.
struct QuerySend {
    HWND window = nullptr;
    DEV_BROADCAST_VOLUME notice{};
    UINT timeoutMs = 0;
    LRESULT sent = 0;
    DWORD_PTR answer = 0;
    vnk::fw::UniqueHandle finished{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// The window's answer to the query: sent, and what it answered. A window
// that becomes hung, a wait that runs out and a stop of the box's thread
// count as no answer (sent 0).
std::pair<LRESULT, DWORD_PTR> SendQuery(HWND window, const DEV_BROADCAST_VOLUME& notice, UINT timeoutMs,
                                        bool& stopped) {
    auto send = std::make_shared<QuerySend>();
    send->window = window;
    send->notice = notice;
    send->timeoutMs = timeoutMs;
    const bool started = send->finished && vnk::RunOnWorker([send] {
        send->sent = ::SendMessageTimeoutW(send->window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE,
                                           reinterpret_cast<LPARAM>(&send->notice), SMTO_ABORTIFHUNG | SMTO_NORMAL,
                                           send->timeoutMs, &send->answer);
        ::SetEvent(send->finished.get());
    });
    if (!started) {
        // No worker: sent from here, with a plain notice's time.
        DWORD_PTR answer = 0;
        const LRESULT sent = ::SendMessageTimeoutW(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE,
                                                   reinterpret_cast<LPARAM>(&send->notice),
                                                   SMTO_ABORTIFHUNG | SMTO_NORMAL, kNoticeWindowMs, &answer);
        return {sent, answer};
    }
    const vnk::fw::Thread* thread = vnk::fw::CurrentThread();
    const HANDLE waits[2] = {send->finished.get(), thread != nullptr ? thread->StopEvent() : nullptr};
    const DWORD count = waits[1] != nullptr ? 2 : 1;
    const ULONGLONG end = ::GetTickCount64() + timeoutMs + kHungLookMs;
    for (;;) {
        MSG msg;  // answers the messages sent to this thread's windows (the box's own among them)
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        const DWORD r = ::MsgWaitForMultipleObjectsEx(count, waits, kHungLookMs, QS_SENDMESSAGE, 0);
        if (r == WAIT_OBJECT_0) return {send->sent, send->answer};
        // With no stop event, WAIT_OBJECT_0 + 1 is a sent message, not a stop.
        if (count == 2 && r == WAIT_OBJECT_0 + 1) {
            stopped = true;
            return {0, 0};
        }
        if (::IsHungAppWindow(window) || ::GetTickCount64() >= end) return {0, 0};
    }
}

BOOL CALLBACK SendToWindow(HWND window, LPARAM param) {
    auto& walk = *reinterpret_cast<BroadcastWalk*>(param);
    const bool query = walk.event == DBT_DEVICEQUERYREMOVE;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= walk.deadline) {
        walk.outOfTime = true;
        if (query) return FALSE;
    }
    const UINT windowMs = query ? kQueryRemoveWindowMs : kNoticeWindowMs;
    const UINT left = walk.outOfTime ? kAfterBoundMs : static_cast<UINT>(std::min<ULONGLONG>(windowMs, walk.deadline - now));
    LRESULT sent = 0;
    DWORD_PTR answer = 0;
    if (query) {
        std::tie(sent, answer) = SendQuery(window, *walk.notice, left, walk.stopped);
        if (walk.stopped) return FALSE;
    } else {
        sent = ::SendMessageTimeoutW(window, WM_DEVICECHANGE, walk.event, reinterpret_cast<LPARAM>(walk.notice),
                                     SMTO_ABORTIFHUNG | SMTO_NORMAL, left, &answer);
    }
    // Only the query stops at a refusal; an arrival that a window refuses
    // still reaches every window after it.
    if (sent != 0 && answer == BROADCAST_QUERY_DENY && (query || walk.event == DBT_DEVICEARRIVAL)) {
        walk.refused = true;
        if (query) return FALSE;
    }
    return TRUE;
}

constexpr COLORREF kLoginOkColor = RGB(0, 128, 0);
constexpr COLORREF kLoginFailedColor = RGB(128, 0, 0);

}  // namespace

FW_BEGIN_MESSAGE_MAP(CVNKDLoginBox, vnk::fw::Dialog)
    FW_ON_COMMAND(IDC_LOGIN, OnLogin)
    FW_ON_COMMAND(IDC_EJECT, OnEjectDisc)
    FW_ON_WM_TIMER()
    FW_ON_WM_ENDSESSION()
    FW_ON_MESSAGE(WM_SYSCOLORCHANGE, OnColorsChanged)
    FW_ON_MESSAGE(WM_SETTINGCHANGE, OnColorsChanged)
    FW_ON_MESSAGE(WM_SHOWWINDOW, OnShowWindowNotice)
FW_END_MESSAGE_MAP()

CVNKDLoginBox::CVNKDLoginBox() : vnk::fw::Dialog(IDD_VARNOKD_LOGIN) {}

CVNKDLoginBox::~CVNKDLoginBox() = default;

void CVNKDLoginBox::DoDataExchange(vnk::fw::DataExchange& dx) {
    dx.Control(IDC_RESULT, m_resultLabel);
    dx.Control(IDC_PROMPT, m_promptLabel);
    dx.Subclass(IDC_PASSPHRASE, m_passphraseEdit);
    dx.Control(IDC_LOGIN, m_loginButton);
}

BOOL CVNKDLoginBox::PreTranslateMessage(MSG* msg) {
    // Escape never cancels the box (and so never ejects).
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE) msg->wParam = 0;
    return vnk::fw::Dialog::PreTranslateMessage(msg);
}

BOOL CVNKDLoginBox::OnInitDialog() {
    vnk::fw::Dialog::OnInitDialog();
    m_outcomeKnown = false;
    m_closeScheduled = false;
    m_showing.Begin(m_driveLetter);

    CreateResultFont();
    m_resultLabel.SetWindowText(L"");

    ::SetWindowPos(m_hWnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetWindowText(vnk::FormatDriveString(IDS_LOGIN_CAPTION, m_driveLetter).c_str());
    m_promptLabel.SetWindowText(vnk::FormatDriveString(IDS_LOGIN_PROMPT, m_driveLetter).c_str());

    if (!m_passphraseEdit.HasSecretBuffer()) {
        // Without its locked buffer the field would have nowhere safe to
        // keep what is typed.
        vnk::fw::ReportOutOfMemory();
        EndDialog(IDCANCEL);
        return FALSE;
    }
    if (!OpenDevice() || !LockVolume()) {
        EndDialog(IDCANCEL);
        return FALSE;
    }
    m_showing.SetVolumeLocked(true);

    // The box opens on its one input, and where the user will notice it:
    // it may open while another program is in front.
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_passphraseEdit.m_hWnd), TRUE);
    ShowWindow(SW_SHOW);
    vnk::a11y::DrawAttention(m_hWnd);
    // The outcome is read out when it comes, by readers that follow live
    // regions as by those that hear alerts. Marked once the box is up (the
    // mark goes through COM and takes its time), and long before the
    // first outcome: none comes before this thread has handled the input.
    vnk::a11y::MarkLiveRegion(m_resultLabel.m_hWnd);
    return FALSE;
}

bool CVNKDLoginBox::OpenDevice() {
    m_hDevice = vnk::DeviceHandle::OpenPath(vnk::DevicePath(m_driveLetter));
    if (m_hDevice.valid()) return true;
    switch (const DWORD error = m_hDevice.error()) {
        case ERROR_FILE_NOT_FOUND:
            vnk::ErrorBox(nullptr, IDS_ERR_DEVICE_NOT_FOUND, IDS_CAP_DEVICE_NOT_FOUND, MB_ICONERROR,
                          m_driveLetter);
            break;
        case ERROR_ACCESS_DENIED:
            vnk::ErrorBox(nullptr, IDS_ERR_DEVICE_LOCKED_OUT, IDS_CAP_DEVICE_LOCKED_OUT, MB_ICONERROR);
            break;
        default: {
            const std::wstring text = vnk::SystemErrorText(error, vnk::kSystemDefaultLanguage);
            vnk::ErrorBox(nullptr, IDS_ERR_UNEXPECTED, IDS_CAP_UNEXPECTED, MB_ICONERROR, text.c_str());
            break;
        }
    }
    return false;
}

bool CVNKDLoginBox::LockVolume() {
    constexpr int kAttempts = 10;
    for (int failures = 0;;) {
        if (m_hDevice.Control(vnk::kFsctlLockVolume)) return true;
        const DWORD error = ::GetLastError();
        vnk::Trace(L"Varnokd: OnLogin: lock failed (%u)\r\n", error);
        if (error == ERROR_ACCESS_DENIED) {
            // Another program has the volume open; it may let go shortly.
            if (!WaitBeforeNextTry(1000)) {
                m_hDevice.Close();
                return false;
            }
            if (++failures < kAttempts) continue;
            vnk::ErrorBox(m_hWnd, IDS_ERR_LOCK_IN_USE, IDS_CAP_LOCK_IN_USE, MB_ICONERROR, m_driveLetter);
        } else {
            const std::wstring text = vnk::SystemErrorText(error, vnk::kSystemDefaultLanguage);
            vnk::ErrorBox(m_hWnd, IDS_ERR_LOCK_UNKNOWN, IDS_CAP_LOCK_UNKNOWN, MB_ICONERROR, text.c_str());
        }
        m_hDevice.Close();
        return false;
    }
}

void CVNKDLoginBox::CreateResultFont() {
    m_resultFont.CreateFontW(vnk::fw::FontHeightForDpi(10, Dpi()), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, ANSI_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                             L"Arial");
    m_resultLabel.SetFont(m_resultFont.GetSafeHandle(), TRUE);
}

void CVNKDLoginBox::OnDpiChanged(UINT) { CreateResultFont(); }

void CVNKDLoginBox::OnLogin() {
    // Once the outcome is known the device is closed: a second press would
    // send the passphrase nowhere and eject the disc just logged in.
    if (m_outcomeKnown || !m_hDevice.valid()) return;
    if (LockPassSinceShown()) {
        // The lock pass's close request is still on its way: take it now.
        vnk::Trace(L"Varnokd: OnLogin: drive %c: locked since the box was shown, ejecting\r\n", m_driveLetter);
        OnEjectDisc();
        return;
    }

    FillVolumeNotice();
    const LRESULT granted = Broadcast(DBT_DEVICEQUERYREMOVE);
    if (!StillWaiting()) {
        m_passphraseEdit.Wipe();
        return;
    }
    if (LockPassSinceShown() || (granted == 1 && !m_showing.BeginLogin())) {
        vnk::Trace(L"Varnokd: OnLogin: drive %c: locked during the broadcast, ejecting\r\n", m_driveLetter);
        OnEjectDisc();
        // The other programs were asked to let the volume go: they may use
        // it again.
        if (granted == 1) Broadcast(DBT_DEVICEQUERYREMOVEFAILED);
        return;
    }
    if (granted != 1) {
        m_passphraseEdit.Wipe();
        wchar_t text[64];
        ::wsprintfW(text, L"DBT_DEVICEQUERYREMOVE failed (%lu)", static_cast<unsigned long>(granted));
        ::MessageBoxW(nullptr, text, L"Oops", MB_ICONERROR);
        return;
    }

    // The login record is the passphrase as typed and one zero unit: the
    // field's own locked buffer, sent without a copy.
    const bool accepted = m_hDevice.Control(vnk::IOCTL_VNK_LOGIN, m_passphraseEdit.Record(),
                                            m_passphraseEdit.RecordBytes());
    m_passphraseEdit.Wipe();

    if (accepted) {
        LoginAccepted();
    } else {
        LoginRefused();
    }
}

bool CVNKDLoginBox::StillWaiting() const { return IsWindow() && m_hDevice.valid() && !m_outcomeKnown; }

bool CVNKDLoginBox::LockPassSinceShown() const { return m_showing.LockPassSince(); }

void CVNKDLoginBox::EjectAfterLockPass() {
    vnk::Trace(L"Varnokd: OnLogin: drive %c: locked during the login, ejecting\r\n", m_driveLetter);
    const bool ejected = m_hDevice.Control(vnk::kIoctlStorageEjectMedia);
    const DWORD error = ejected ? ERROR_SUCCESS : ::GetLastError();
    if (!ejected) vnk::Trace(L"Varnokd: OnLogin: eject of drive %c: failed (%u)\r\n", m_driveLetter, error);
    CloseDevice();
    // A disc that did not go stays LoggedIn, so the next pass tries again;
    // the pass that waits for this drive hears how it went.
    m_showing.EjectedAfterLockPass(error);
    // The query-remove was granted: the other programs hear how it ended.
    Broadcast(ejected ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVICEQUERYREMOVEFAILED);
    CloseBox();
}

void CVNKDLoginBox::LoginRefused() {
    SettleOutcome();
    ShowOutcome(IDS_LOGIN_FAILED, kLoginFailedColor);
    ::MessageBeep(MB_ICONEXCLAMATION);
    Broadcast(DBT_DEVICEQUERYREMOVEFAILED);
    m_hDevice.Control(vnk::kFsctlUnlockVolume);
    CloseDevice();
    m_showing.RequestEject();
    m_showing.LoginRefused();
    ScheduleClose();
}

void CVNKDLoginBox::LoginAccepted() {
    SettleOutcome();
    if (!m_showing.RecordLoggedIn()) {
        EjectAfterLockPass();
        return;
    }
    ShowOutcome(IDS_LOGIN_OK, kLoginOkColor);
    Broadcast(DBT_DEVICEREMOVEPENDING);
    if (!IsWindow() || !m_hDevice.valid()) return;

    if (!m_hDevice.Control(vnk::kFsctlDismountVolume)) {
        const DWORD error = ::GetLastError();
        vnk::Trace(L"VNKDebug: OnLogin: dismount failed (code %u)\r\n", error);
        wchar_t text[512];
        ::wsprintfW(text,
                    L"Couldn't dismount the CD/DVD volume because of a problem (Win32 error code %u). "
                    L"Make sure no other programs are using the drive.\r\nIf you see this message again, "
                    L"contact Pellamar.",
                    error);
        ::MessageBoxW(m_hWnd, text, L"Dismount failed", MB_ICONERROR);
        // Still locked: the box's own handle can eject.
        m_hDevice.Control(vnk::kIoctlStorageEjectMedia);
        CloseDevice();
        CloseBox();
        return;
    }

    if (LockPassSinceShown()) {
        // The pass may have found the volume still locked by this box.
        EjectAfterLockPass();
        return;
    }
    m_hDevice.Control(vnk::kFsctlUnlockVolume);
    CloseDevice();
    Broadcast(DBT_DEVICEREMOVECOMPLETE);
    const LRESULT arrived = Broadcast(DBT_DEVICEARRIVAL);
    if (arrived != 1) {
        wchar_t text[64];
        ::wsprintfW(text, L"DBT_DEVICEARRIVAL failed (%lu)!", static_cast<unsigned long>(arrived));
        ::MessageBoxW(nullptr, text, L"Oops", MB_ICONERROR);
        EndDialog(IDCANCEL);  // hides the box; the timer still closes it
    }
    ScheduleClose();
}

void CVNKDLoginBox::ShowOutcome(UINT textId, COLORREF color) {
    m_resultLabel.SetWindowText(vnk::LoadResString(textId).c_str());
    m_resultLabel.SetForeColor(color);
    // The field and the buttons are disabled now: the focus goes to the
    // outcome itself, which a reader reads as it arrives there, and from
    // where Alt+F4 still closes the box.
    ::SetFocus(m_resultLabel.m_hWnd);
    vnk::a11y::AnnounceLabel(m_resultLabel.m_hWnd);
}

void CVNKDLoginBox::ScheduleClose() {
    m_closeScheduled = true;
    ::SetTimer(m_hWnd, LoginCloseTimerId, 2000, nullptr);
}

void CVNKDLoginBox::SettleOutcome() {
    m_outcomeKnown = true;
    m_passphraseEdit.EnableWindow(FALSE);
    m_loginButton.EnableWindow(FALSE);
    ::EnableWindow(GetDlgItem(IDC_EJECT), FALSE);
}

void CVNKDLoginBox::OnEjectDisc() {
    if (m_outcomeKnown) return;
    // The passphrase goes first, whatever happens to the eject.
    m_passphraseEdit.Wipe();
    // Closing the handle also drops the volume lock, so the watcher's own
    // handle can eject.
    CloseDevice();
    m_showing.RequestEject();
    CloseBox();
}

void CVNKDLoginBox::OnCancel() {
    // Once the outcome has been shown, a close request only closes sooner:
    // the disc is logged in, or already on its way out.
    if (m_outcomeKnown) {
        if (m_closeScheduled) CloseBox();
        return;
    }
    OnEjectDisc();
}

LRESULT CVNKDLoginBox::OnShowWindowNotice(WPARAM show, LPARAM status) {
    // The box's owner is the status window (the framework gives a thread
    // the application's main window). When the user hides that window, the
    // system would hide the box with it: out of sight and out of the
    // keyboard's reach, while it still holds its drive and keeps every new
    // box of the drive away. The box stays where it is.
    if (show == FALSE && status == SW_PARENTCLOSING) return 0;
    return Default();
}

LRESULT CVNKDLoginBox::OnColorsChanged(WPARAM, LPARAM) {
    // The label reads its colours as it paints; a new scheme or high
    // contrast only needs a repaint.
    m_resultLabel.Invalidate();
    return 0;
}

void CVNKDLoginBox::OnEndSession(BOOL ending) {
    // The process may be ended without another message once this returns.
    if (ending) m_passphraseEdit.Wipe();
}

void CVNKDLoginBox::OnTimer(UINT_PTR) {
    ::KillTimer(m_hWnd, LoginCloseTimerId);
    CloseBox();
}

void CVNKDLoginBox::CloseBox() {
    m_resultFont.DeleteObject();
    DestroyWindow();
}

void CVNKDLoginBox::PostNcDestroy() {
    m_resultFont.DeleteObject();
    CloseDevice();
}

void CVNKDLoginBox::CloseDevice() {
    if (!m_hDevice.valid()) return;
    m_hDevice.Close();
    m_showing.SetVolumeLocked(false);
}

void CVNKDLoginBox::FillVolumeNotice() {
    m_volumeNotice.dbcv_size = sizeof(DEV_BROADCAST_VOLUME);
    m_volumeNotice.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    m_volumeNotice.dbcv_reserved = 0;
    const auto upper = static_cast<wchar_t>(std::towupper(m_driveLetter));
    m_volumeNotice.dbcv_unitmask = (upper >= L'A' && upper <= L'Z') ? 1u << (upper - L'A') : 0u;
    m_volumeNotice.dbcv_flags = DBTF_MEDIA;
}

LRESULT CVNKDLoginBox::Broadcast(UINT event) {
    // Sent window by window with a time-out each, rather than one
    // SendMessageW(HWND_BROADCAST), which waits for the slowest program on
    // the desktop and answers 1 even when a window refused; and rather than
    // BroadcastSystemMessageW with BSF_NOHANG, which stops at the first
    // window that times out. Every top-level window hears of it.
    BroadcastWalk walk{event, &m_volumeNotice, ::GetTickCount64() + kBroadcastWalkMs};
    ::EnumWindows(&SendToWindow, reinterpret_cast<LPARAM>(&walk));
    if (walk.outOfTime)
        vnk::Trace(L"Varnokd: Broadcast: notice 0x%x not answered by every window in time, going on\n", event);
    // As BroadcastSystemMessageW answers: 0 for a refusal. A box whose
    // thread is told to end takes the query as refused: no passphrase goes
    // out on the way out.
    return walk.refused || walk.stopped ? 0 : 1;
}
