#include "app/status_window.h"

#include <commctrl.h>
#include <dbt.h>

#include <mutex>
#include <stdexcept>

#include "app/process_hardening.h"
#include "common/error_box.h"
#include "common/messages.h"
#include "common/strings.h"
#include "common/trace.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "engine/lock_pass.h"
#include "engine/status_refresh.h"
#include "engine/probe.h"
#include "fw/app.h"
#include "fw/dpi.h"
#include "res/resource.h"
#include "ui/accessibility.h"
#include "ui/file_version_info.h"

namespace {

constexpr UINT kIconLabelId = 0xFFFF;
constexpr DWORD kEnglishUs = 1033;
constexpr DWORD kUtf16CodePage = 1200;

// The shell broadcasts it when its taskbar is created (at logon, perhaps
// after we started, and after explorer restarts).
const UINT kTaskbarCreated = ::RegisterWindowMessageW(L"TaskbarCreated");

}  // namespace

FW_BEGIN_MESSAGE_MAP(CVNKDStatus, vnk::fw::Dialog)
    FW_ON_WM_SYSCOMMAND()
    FW_ON_WM_PAINT()
    FW_ON_WM_QUERYDRAGICON()
    FW_ON_WM_DEVICECHANGE()
    FW_ON_WM_ENDSESSION()
    FW_ON_MESSAGE(WM_CLOSE, OnCloseRequest)
    FW_ON_COMMAND(ID_SHOWSTATUS, OnShowStatusWindow)
    FW_ON_COMMAND(ID_APP_EXIT_VARNOK, OnCancel)
    FW_ON_COMMAND(ID_EMERGENCYLOCK, OnEmergencyLock)
    FW_ON_REGISTERED_MESSAGE(UWM_VARNOKD_EVENT_TRIGGERED, OnEventTriggered)
    FW_ON_REGISTERED_MESSAGE(UWM_VARNOKD_UPDATE_STATUS, OnUpdateStatusRequest)
    FW_ON_REGISTERED_MESSAGE(kTaskbarCreated, OnTaskbarCreated)
    FW_ON_MESSAGE(WM_DRIVE_RESULTS, OnDriveResults)
    FW_ON_MESSAGE(WM_PROBE_DONE, OnProbeDone)
    FW_ON_WM_TIMER()
    FW_ON_MESSAGE(WM_SYSCOLORCHANGE, OnSysColorChange)
FW_END_MESSAGE_MAP()

CVNKDStatus::CVNKDStatus()
    : vnk::fw::Dialog(IDD_VARNOKD_STATUS),
      m_hIcon(::LoadIconW(vnk::fw::ResourceInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_uTrayMessage(::RegisterWindowMessageW(L"Varnok Client tray notification")) {}

CVNKDStatus::~CVNKDStatus() {
    if (m_hWnd != nullptr) DestroyWindow();
}

void CVNKDStatus::DoDataExchange(vnk::fw::DataExchange& dx) {
    dx.Control(IDC_DRIVELIST, m_list);
    dx.Control(IDC_TITLE, m_title);
    dx.Control(IDC_VERSION, m_version);
    dx.Control(IDC_LEGAL, m_legal);
}

std::wstring CVNKDStatus::StatusText(DWORD status) {
    if (status <= vnk::LoggedIn) return vnk::LoadResString(IDS_STATUS_NO_DISC + status);
    if (status == vnk::kStatusUnreadable) return vnk::LoadResString(IDS_STATUS_UNREADABLE);
    return vnk::FormatNumberString(IDS_STATUS_UNKNOWN, status);
}

BOOL CVNKDStatus::OnInitDialog() {
    vnk::fw::Dialog::OnInitDialog();

    // The drives are probed on a worker: the window comes up and answers
    // whatever a drive does; the probe's end (OnProbeDone) fills the list.
    StartProbe(0, vnk::ReprobeBoxes::Keep);

    const vnk::fw::App* app = vnk::fw::GetApp();
    ShowWindow(app != nullptr ? app->m_nCmdShow : SW_SHOWMINNOACTIVE);
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    m_pTray.reset();

    InitColumns();
    InitHeader();
    InitKeyboardAndNames();

    if (!RegisterForCdRomNotifications()) {
        const std::wstring text = vnk::SystemErrorText(::GetLastError(), vnk::kSystemDefaultLanguage);
        vnk::ErrorBox(m_hWnd, IDS_ERR_REGISTER_NOTIFY, IDS_CAP_REGISTER_NOTIFY, MB_ICONERROR, text.c_str());
        EndDialog(IDCANCEL);
        return FALSE;
    }

    // The drives' threads and the system's own (the device notifications'
    // listener) run now: none of them is left open to other programs.
    vnk::CloseRunningThreadsToOtherProcesses();

    // The posted minimise comes first and hides the window behind its tray
    // icon; the posted update then fills the list.
    m_bHidden = false;
    PostMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
    PostUpdateStatus();
    return TRUE;
}

void CVNKDStatus::InitKeyboardAndNames() {
    // The template's placeholder text is what a reader would call the list.
    vnk::a11y::SetName(m_list.m_hWnd, vnk::LoadResString(IDS_DRIVELIST_NAME).c_str());
    // In the template OK shares its group with the group box, the list and
    // (the group wrapping round) the header's labels, so the arrow keys
    // would take the focus from OK to controls that cannot show it. Each
    // control stands alone: the arrows stay where they are, and the list
    // uses them for its rows.
    for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT))
        ::SetWindowLongPtrW(child, GWL_STYLE, ::GetWindowLongPtrW(child, GWL_STYLE) | WS_GROUP);
}

void CVNKDStatus::FocusList() {
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_list.m_hWnd), TRUE);
    if (ListView_GetNextItem(m_list.m_hWnd, -1, LVNI_FOCUSED) < 0) FocusRow(m_focusedDrive, 0);
}

wchar_t CVNKDStatus::FocusedDrive(int& row) const {
    row = ListView_GetNextItem(m_list.m_hWnd, -1, LVNI_FOCUSED);
    if (row < 0) return m_focusedDrive;
    const std::wstring text = m_list.GetItemText(row, 0);
    return text.empty() ? m_focusedDrive : text[0];
}

void CVNKDStatus::FocusRow(wchar_t drive, int previousRow) {
    const int count = m_list.GetItemCount();
    if (count == 0) return;
    int row = -1;
    for (int i = 0; i < count && row < 0; ++i) {
        const std::wstring text = m_list.GetItemText(i, 0);
        if (!text.empty() && text[0] == drive) row = i;
    }
    // The drive went: the row that took its place, else the last.
    if (row < 0) row = previousRow < 0 ? 0 : (previousRow < count ? previousRow : count - 1);
    if (ListView_GetNextItem(m_list.m_hWnd, -1, LVNI_FOCUSED) != row) {
        const UINT mask = LVIS_FOCUSED | LVIS_SELECTED;
        ListView_SetItemState(m_list.m_hWnd, -1, 0, LVIS_SELECTED);
        ListView_SetItemState(m_list.m_hWnd, row, mask, mask);
    }
    ListView_EnsureVisible(m_list.m_hWnd, row, FALSE);
    const std::wstring text = m_list.GetItemText(row, 0);
    if (!text.empty()) m_focusedDrive = text[0];
}

LRESULT CVNKDStatus::OnSysColorChange(WPARAM wParam, LPARAM lParam) {
    // Common controls hear of new system colours only from their parent.
    m_list.SendMessage(WM_SYSCOLORCHANGE, wParam, lParam);
    Default();
    return 0;
}

void CVNKDStatus::InitColumns() {
    const std::wstring driveLetter = vnk::LoadResString(IDS_COLUMN_DRIVE_LETTER);
    const std::wstring status = vnk::LoadResString(IDS_COLUMN_STATUS);
    m_list.InsertColumn(0, driveLetter.c_str(), LVCFMT_LEFT, 0, 0);
    m_list.InsertColumn(1, status.c_str(), LVCFMT_LEFT, 0, 1);
    SizeColumns();
}

void CVNKDStatus::SizeColumns() {
    const std::wstring driveLetter = vnk::LoadResString(IDS_COLUMN_DRIVE_LETTER);
    m_list.SetColumnWidth(0, LVSCW_AUTOSIZE_USEHEADER);
    // The header's own margins are wider than the list's: size the first
    // column so that its heading shows whole.
    HWND header = reinterpret_cast<HWND>(m_list.SendMessage(LVM_GETHEADER));
    HDC dc = ::GetDC(header);
    const HGDIOBJ oldFont = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(header, WM_GETFONT, 0, 0)));
    SIZE extent{};
    ::GetTextExtentPoint32W(dc, driveLetter.c_str(), static_cast<int>(driveLetter.size()), &extent);
    ::SelectObject(dc, oldFont);
    ::ReleaseDC(header, dc);
    const int wanted = extent.cx + 2 * ::GetSystemMetricsForDpi(SM_CXEDGE, Dpi()) + vnk::fw::ScaleForDpi(16, Dpi());
    if (m_list.GetColumnWidth(0) < wanted) m_list.SetColumnWidth(0, wanted);
    m_list.SetColumnWidth(1, LVSCW_AUTOSIZE_USEHEADER);
}

void CVNKDStatus::InitHeader() {
    CreateHeaderFonts();

    try {
        const vnk::FileVersionInfo version(L"", kEnglishUs, kUtf16CodePage);
        m_title.SetWindowText(version.GetProductName().c_str());
        m_version.SetWindowText(vnk::FormatTextString(IDS_VERSION_FORMAT, version.GetProductVersionText()).c_str());
        m_legal.SetWindowText(version.GetLegalCopyright().c_str());
    } catch (const std::runtime_error& error) {
        // The program's own file always has version information; should it
        // not, the header stays empty rather than the program failing.
        vnk::Trace(L"Varnokd: InitHeader: %hs\n", error.what());
        m_title.SetWindowText(L"");
        m_version.SetWindowText(L"");
        m_legal.SetWindowText(L"");
    }

    // The label's place is designed in pixels at 96 DPI.
    const std::wstring iconText = vnk::LoadResString(IDS_ICON_LABEL);
    const auto scaled = [this](int pixels) { return vnk::fw::ScaleForDpi(pixels, Dpi()); };
    HWND label = ::CreateWindowExW(0, L"STATIC", iconText.c_str(), WS_CHILD | WS_VISIBLE | SS_ICON | SS_CENTERIMAGE,
                                   scaled(31), scaled(20), scaled(79 - 31), scaled(68 - 20), m_hWnd,
                                   reinterpret_cast<HMENU>(UINT_PTR{kIconLabelId}), vnk::fw::ResourceInstance(), nullptr);
    m_iconLabel.Attach(label);
    LoadIconLabelImage();
}

void CVNKDStatus::CreateHeaderFonts() {
    const auto makeFont = [this](vnk::fw::Font& font, int points, int weight) {
        font.CreateFontW(vnk::fw::FontHeightForDpi(points, Dpi()), 0, 0, 0, weight, FALSE, FALSE, FALSE, ANSI_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Verdana");
    };
    makeFont(m_fontTitle, 16, FW_BOLD);
    makeFont(m_fontVersion, 9, FW_BOLD);
    makeFont(m_fontLegal, 8, FW_NORMAL);
    m_title.SetFont(m_fontTitle.GetSafeHandle(), TRUE);
    m_version.SetFont(m_fontVersion.GetSafeHandle(), TRUE);
    m_legal.SetFont(m_fontLegal.GetSafeHandle(), TRUE);
}

void CVNKDStatus::LoadIconLabelImage() {
    const int size = vnk::fw::ScaleForDpi(48, Dpi());
    vnk::fw::UniqueIcon image(static_cast<HICON>(
        ::LoadImageW(vnk::fw::ResourceInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    m_iconLabel.SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(image.get()));
    // The label shows the new image now; the old one may go.
    m_iconLabelImage = std::move(image);
}

void CVNKDStatus::OnDpiChanged(UINT) {
    CreateHeaderFonts();
    LoadIconLabelImage();
    SizeColumns();
}

bool CVNKDStatus::RegisterForCdRomNotifications() {
    static constexpr GUID kCdRomInterface = {0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kCdRomInterface;
    m_hDevNotify.reset(::RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
    return static_cast<bool>(m_hDevNotify);
}

void CVNKDStatus::OnSysCommand(UINT command, LPARAM) {
    const bool wasHidden = m_bHidden;
    // The low four bits of a system command are the system's own.
    switch (command & 0xFFF0) {
        case SC_MINIMIZE:
            if (vnk::fw::detail::SentByAnotherThread()) {
                // Hiding makes the tray icon's window, and a window is bound
                // to its object only outside other threads' sent messages:
                // the minimise is done from our own queue.
                PostMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
                return;
            }
            m_bHidden = true;
            break;
        case SC_RESTORE:
            if (vnk::fw::detail::SentByAnotherThread()) {
                // A second instance's restore can arrive while the tray
                // waits for the shell inside one of its own calls; showing
                // the window there would delete the tray under that call.
                PostMessage(WM_SYSCOMMAND, SC_RESTORE, 0);
                return;
            }
            m_bHidden = false;
            OnUpdateStatus(0, 0);
            break;
        case SC_CLOSE:
            // The close box hides the window like the minimise box.
            PostMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
            return;
        default:
            break;
    }
    Default();
    if (m_bHidden == wasHidden) return;
    UpdateTrayIcon();
    if (m_bHidden) {
        // With no icon (no taskbar yet) the window stays minimised, so that
        // it can still be reached; it hides once the icon is there.
        if (m_pTray && m_pTray->InTray()) ShowWindow(SW_HIDE);
    } else {
        ::SetForegroundWindow(m_hWnd);
        FocusList();
    }
}

void CVNKDStatus::UpdateTrayIcon() {
    if (m_bHidden && !m_pTray) {
        // The shell's calls wait for explorer, and a message another program
        // sends meanwhile (a second instance's restore) may show the window
        // and drop the tray: it is made whole first, and the window keeps it
        // only if it is still hidden; otherwise it goes with its icon.
        auto tray = std::make_unique<vnk::CSystemTray>();
        const std::wstring tooltip = vnk::LoadResString(IDS_TRAY_TOOLTIP);
        tray->Create(nullptr, m_uTrayMessage, tooltip.c_str(), m_hIcon, IDR_TRAYMENU);
        tray->SetDefaultMenuItem(ID_SHOWSTATUS, FALSE);
        if (m_bHidden && !m_pTray) m_pTray = std::move(tray);
        return;
    }
    if (!m_bHidden) m_pTray.reset();  // deleting the tray removes its icon
}

LRESULT CVNKDStatus::OnTaskbarCreated(WPARAM, LPARAM) {
    if (m_bHidden && m_pTray && m_pTray->AddWhenTaskbarCreated()) ShowWindow(SW_HIDE);
    return 0;
}

void CVNKDStatus::OnOK() { PostMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0); }

void CVNKDStatus::OnShowStatusWindow() {
    OnUpdateStatus(0, 0);
    ShowWindow(SW_RESTORE);
    ::BringWindowToTop(m_hWnd);
    m_bHidden = false;
    // A double click on the icon got us here from inside the tray, which
    // this deletes; the tray touches nothing of itself afterwards.
    UpdateTrayIcon();
    ::SetForegroundWindow(m_hWnd);
    FocusList();
}

BOOL CVNKDStatus::DestroyWindow() {
    m_bHidden = false;
    UpdateTrayIcon();
    return vnk::fw::Dialog::DestroyWindow();
}

void CVNKDStatus::OnPaint() {
    if (!::IsIconic(m_hWnd)) {
        Default();
        return;
    }
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(m_hWnd, &paint);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc));
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    const int x = (client.right - client.left - ::GetSystemMetricsForDpi(SM_CXICON, Dpi()) + 1) / 2;
    const int y = (client.bottom - client.top - ::GetSystemMetricsForDpi(SM_CYICON, Dpi()) + 1) / 2;
    ::DrawIcon(dc, x, y, m_hIcon);
    ::EndPaint(m_hWnd, &paint);
}

HCURSOR CVNKDStatus::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

LRESULT CVNKDStatus::OnUpdateStatus(WPARAM, LPARAM) {
    // The statuses are read on workers; the list shows the table now and
    // again as each drive answers.
    WatchBatch(vnk::VNKDUpdateDriveStatus(m_hWnd));
    RebuildList();
    return 0;
}

void CVNKDStatus::StartProbe(int reprobe, vnk::ReprobeBoxes boxes) {
    const HWND window = m_hWnd;
    const std::shared_ptr<ProbeResults> record = m_probeResults;
    const auto done = [window, record](int result) {
        {
            std::lock_guard lock(record->lock);
            record->results.push_back(result);
        }
        ::PostMessageW(window, WM_PROBE_DONE, 0, 0);
    };
    if (vnk::VNKDProbeForDrivesOnWorker(reprobe, done, boxes)) return;
    // No worker (or a probe already under way, for a re-probe): the first
    // probe runs here rather than not at all.
    if (reprobe == 0) done(vnk::VNKDProbeForDrives(0));
}

void CVNKDStatus::PostUpdateStatus() {
    if (PostMessage(UWM_VARNOKD_UPDATE_STATUS, 0, 0)) ++m_updateRequests;
}

LRESULT CVNKDStatus::OnUpdateStatusRequest(WPARAM, LPARAM) {
    if (m_updateRequests == 0) {
        vnk::Trace(L"Varnokd: OnUpdateStatus: a request the window did not make: ignored\n");
        return 0;
    }
    --m_updateRequests;
    return OnUpdateStatus(0, 0);
}

void CVNKDStatus::WatchBatch(std::shared_ptr<vnk::DriveBatch> batch) {
    if (batch && !batch->Done()) m_batches.push_back({std::move(batch), 0});
}

bool CVNKDStatus::TakeNewDriveResults() {
    bool any = false;
    for (WatchedBatch& watched : m_batches) {
        size_t answered = 0;
        for (const auto& answer : watched.batch->Answers()) answered += answer.answered ? 1 : 0;
        if (answered > watched.seen) {
            watched.seen = answered;
            any = true;
        }
    }
    // A batch every drive has answered, and that was looked at since, posts no more.
    std::erase_if(m_batches, [](const WatchedBatch& watched) {
        return watched.batch->Done() && watched.seen == watched.batch->Answers().size();
    });
    return any;
}

void CVNKDStatus::RebuildList() {
    std::vector<std::pair<wchar_t, DWORD>> drives;
    for (const vnk::DriveView& drive : vnk::DriveSnapshot()) drives.emplace_back(drive.letter, drive.status);
    int focusedRow = -1;
    const wchar_t focused = FocusedDrive(focusedRow);
    // The same drives as listed: only the texts change, and the reader
    // hears only what changed. Otherwise the rows are made again and the
    // focus goes back to the drive that had it.
    bool sameDrives = m_list.GetItemCount() == static_cast<int>(drives.size());
    for (size_t i = 0; sameDrives && i < drives.size(); ++i) {
        const std::wstring text = m_list.GetItemText(static_cast<int>(i), 0);
        sameDrives = text.size() == 2 && text[0] == drives[i].first;
    }
    if (!sameDrives) m_list.DeleteAllItems();
    int row = 0;
    for (const auto& [letter, status] : drives) {
        const wchar_t text[] = {letter, L':', L'\0'};
        const int index = sameDrives ? row++ : m_list.InsertItem(row++, text);
        vnk::Trace(L"OnUpdateStatus: setting drive %c: to status %d\n", letter, static_cast<int>(status));
        const std::wstring statusText = StatusText(status);
        if (!sameDrives || m_list.GetItemText(index, 1) != statusText) m_list.SetItemText(index, 1, statusText.c_str());
    }
    FocusRow(focused, focusedRow);
}

LRESULT CVNKDStatus::OnDriveResults(WPARAM, LPARAM) {
    // Several drives' answers are shown by one rebuild.
    MSG queued;
    while (::PeekMessageW(&queued, m_hWnd, WM_DRIVE_RESULTS, WM_DRIVE_RESULTS, PM_REMOVE)) {
    }
    if (!TakeNewDriveResults()) {
        vnk::Trace(L"Varnokd: OnDriveResults: no new answer of the window's own requests: ignored\n");
        return 0;
    }
    RebuildList();
    if (m_lockPass && m_lockPass->Done()) FinishEmergencyLock();
    return 0;
}

LRESULT CVNKDStatus::OnProbeDone(WPARAM, LPARAM) {
    int result = 1;
    {
        std::lock_guard lock(m_probeResults->lock);
        if (m_probeResults->results.empty()) {
            vnk::Trace(L"Varnokd: OnProbeDone: no probe of the window's own has ended: ignored\n");
            return 0;
        }
        result = m_probeResults->results.front();
        m_probeResults->results.pop_front();
    }
    if (m_firstProbeDone) {
        RebuildList();
        return 0;
    }
    m_firstProbeDone = true;
    if (result == 0) {
        // The program ends: its icon goes with the box.
        m_bHidden = false;
        UpdateTrayIcon();
        vnk::ErrorBox(m_hWnd, IDS_ERR_DRIVER_NOT_INSTALLED, IDS_CAP_DRIVER_NOT_INSTALLED, MB_ICONERROR);
        // The box's loop may have hidden the window behind a new icon.
        m_bHidden = false;
        UpdateTrayIcon();
        EndDialog(IDCANCEL);
        return 0;
    }
    OnUpdateStatus(0, 0);
    return 0;
}

void CVNKDStatus::OnTimer(UINT_PTR timerId) {
    if (timerId == kLockPassTimerId) FinishEmergencyLock();
}

LRESULT CVNKDStatus::OnEventTriggered(WPARAM drive, LPARAM) {
    // Any program can post this notice: the engine shows a box only when
    // the drive's current watcher really fired.
    vnk::AnswerWatcherNotice(static_cast<wchar_t>(LOWORD(drive)));
    return 0;
}
