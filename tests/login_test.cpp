// The login box and the login thread: real dialogs and
// message boxes under Wine, the simulated driver behind the seam, and a
// recorder window that sees (and may refuse) the box's broadcasts.
#include <windows.h>
#include <dbt.h>
#include <oleacc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <optional>

#include "common/messages.h"
#include "common/strings.h"
#include "engine/drive_table.h"
#include "engine/drive_threads.h"
#include "fw/app.h"
#include "login/login_thread.h"
#include "res/resource.h"
#include "tests/support/accessibility_probe.h"
#include "tests/support/secret_scan.h"
#include "tests/support/other_program_window.h"
#include "tests/support/test_support.h"
#include "ui/accessibility.h"
#include "ui/color_static.h"

namespace vnk::test {
namespace {

constexpr wchar_t kBoxTitleD[] = L"Varnok on drive D: - Please log in";

class LoginTest : public DriveFixture {
protected:
    void SetUp() override {
        DriveFixture::SetUp();
        Sim().AddDrive(L'D');
        Sim().InsertEncryptedDisc(L'D', L"secret");
        DriveInfo& info = AddRecord(L'D', true);
        std::lock_guard lock(DriveLock);
        m_event = CopyOfHandle(info.event.get());
        auto thread = vnk::fw::BeginThread<CVNKDLogin>(THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        ASSERT_TRUE(thread);
        m_login = thread.get();
        info.loginThread = std::move(thread);
        info.loginThread->ResumeThread();
        info.status = NotLoggedIn;
    }

    HWND ShowBox(wchar_t letter = L'D') {
        Sim().ClearCalls();
        m_main.Clear();
        AskLoginThread(letter, WM_LOGIN_SHOW);
        return WaitForWindow(kBoxTitleD);
    }

    void Type(HWND box, const std::wstring& text) { ::SetDlgItemTextW(box, IDC_PASSPHRASE, text.c_str()); }
    // Types the passphrase and presses "&Log in...".
    void LogIn(HWND box, const std::wstring& passphrase) {
        Type(box, passphrase);
        Press(box, IDC_LOGIN);
    }
    void Press(HWND box, int id) {
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, id)));
    }
    std::wstring ItemText(HWND box, int id) {
        wchar_t text[512] = {};
        ::GetDlgItemTextW(box, id, text, 512);
        return text;
    }
    // The colour the label paints its text with, asked as the system asks.
    COLORREF LabelColor(HWND box) {
        HDC dc = ::CreateCompatibleDC(nullptr);
        ::SendMessageW(box, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                       reinterpret_cast<LPARAM>(::GetDlgItem(box, IDC_RESULT)));
        const COLORREF color = ::GetTextColor(dc);
        ::DeleteDC(dc);
        return color;
    }
    bool WaitGone(HWND box) { return PumpUntil([box] { return !::IsWindow(box); }); }
    sim::DriveState Drive() { return *Sim().State(L'D'); }
    std::vector<DWORD> ControlCodes() {
        std::vector<DWORD> codes;
        for (const auto& call : Sim().Calls())
            if (call.kind == sim::CallKind::Control && call.drive == L'D') codes.push_back(call.code);
        return codes;
    }
    std::vector<BYTE> LoginRecordSent() {
        for (const auto& call : Sim().Calls())
            if (call.kind == sim::CallKind::Control && call.code == IOCTL_VNK_LOGIN) return call.input;
        return {};
    }
    std::vector<UINT> Broadcasts() {
        std::vector<UINT> events;
        for (const auto& m : m_main.Messages(WM_DEVICECHANGE)) events.push_back(static_cast<UINT>(m.wParam));
        return events;
    }

    CVNKDLogin* m_login = nullptr;
    // The test's own handle to the drive's event, as the driver holds one.
    vnk::fw::UniqueHandle m_event;
};

TEST_F(LoginTest, RightPassphraseLogsInDismountsAndTellsEveryWindow) {
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(ItemText(box, IDC_PROMPT), L"Enter &passphrase for drive D:");
    EXPECT_TRUE(Drive().volumeLocked);
    EXPECT_EQ(LabelColor(box), RGB(0, 0, 0));

    LogIn(box, L"secret");
    ASSERT_TRUE(PumpUntil([&] { return ItemText(box, IDC_RESULT) == L"Login OK!"; }));
    ASSERT_TRUE(PumpUntil([&] { return Broadcasts().size() == 4; }));

    EXPECT_EQ(LabelColor(box), RGB(0, 128, 0));
    EXPECT_FALSE(SaveWindowImage(box, L"login_box_D_login_ok.bmp").empty());
    EXPECT_EQ(Status(), DWORD{LoggedIn});
    EXPECT_EQ(ItemText(box, IDC_PASSPHRASE), L"");
    const std::vector<UINT> expectedEvents = {DBT_DEVICEQUERYREMOVE, DBT_DEVICEREMOVEPENDING,
                                              DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL};
    EXPECT_EQ(Broadcasts(), expectedEvents);
    for (const auto& change : m_main.DeviceChanges()) {
        EXPECT_EQ(change.deviceType, DWORD{DBT_DEVTYP_VOLUME});
        EXPECT_EQ(change.unitMask, 1u << 3);
        EXPECT_EQ(change.flags, WORD{DBTF_MEDIA});
    }
    const std::vector<DWORD> expectedCalls = {kFsctlLockVolume, IOCTL_VNK_LOGIN, kFsctlDismountVolume,
                                              kFsctlUnlockVolume};
    EXPECT_EQ(ControlCodes(), expectedCalls);
    const std::wstring sent = L"secret";
    std::vector<BYTE> expectedRecord(reinterpret_cast<const BYTE*>(sent.c_str()),
                                     reinterpret_cast<const BYTE*>(sent.c_str() + sent.size() + 1));
    EXPECT_EQ(LoginRecordSent(), expectedRecord);
    EXPECT_TRUE(Drive().loggedIn);
    EXPECT_FALSE(Drive().volumeLocked);

    // Until it closes, the box takes no more requests and shows it.
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(box, IDC_LOGIN)));
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(box, IDC_EJECT)));
    Press(box, IDC_LOGIN);
    Press(box, IDC_EJECT);
    ::PostMessageW(box, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitGone(box));
    EXPECT_EQ(Drive().logins, 1u);
    EXPECT_EQ(Drive().ejects, 0u);
    EXPECT_EQ(Status(), DWORD{LoggedIn});
    EXPECT_EQ(Sim().OpenHandleCount(), 0u);
}

TEST_F(LoginTest, WrongPassphraseShowsFailureAndHasTheWatcherEject) {
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    Type(box, L"guess");
    // Enter in the passphrase field logs in.
    ::PostMessageW(::GetDlgItem(box, IDC_PASSPHRASE), WM_KEYDOWN, VK_RETURN, 0);
    ASSERT_TRUE(PumpUntil([&] { return ItemText(box, IDC_RESULT) == L"Login failed!"; }));
    EXPECT_EQ(LabelColor(box), RGB(128, 0, 0));
    ASSERT_TRUE(PumpUntil([&] { return Drive().ejects == 1; }));
    EXPECT_EQ(Status(), DWORD{NoDisc});
    const std::vector<UINT> expectedEvents = {DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED};
    EXPECT_EQ(Broadcasts(), expectedEvents);
    ASSERT_TRUE(WaitGone(box));
    EXPECT_EQ(Drive().logins, 1u);
}

TEST_F(LoginTest, LoginRecordIsThePassphraseAsTypedAndOneZeroUnit) {
    struct Case {
        std::wstring typed;
        size_t sentUnits;
    };
    for (const Case& c : {Case{L"", 0}, Case{L" Mixed Case \x00e9\x4e2d ", 15}, Case{std::wstring(300, L'x'), 254}}) {
        SCOPED_TRACE(c.typed.size());
        HWND box = ShowBox();
        ASSERT_NE(box, nullptr);
        LogIn(box, c.typed);
        ASSERT_TRUE(PumpUntil([&] { return !LoginRecordSent().empty(); }));
        const std::vector<BYTE> record = LoginRecordSent();
        ASSERT_EQ(record.size(), 2 * c.sentUnits + 2);
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(record.data()), c.sentUnits),
                  c.typed.substr(0, c.sentUnits));
        EXPECT_EQ(record[record.size() - 1], 0);
        EXPECT_EQ(record[record.size() - 2], 0);
        ASSERT_TRUE(WaitGone(box));
        Sim().InsertEncryptedDisc(L'D', L"secret");
    }
}

TEST_F(LoginTest, DeviceOpenAndLockErrorsShowTheirBoxAndTheBoxDoesNotStay) {
    struct Case {
        sim::Fault fault;
        DWORD error;
        const wchar_t* caption;
        const wchar_t* textPart;
    };
    for (const Case& c :
         {Case{sim::Fault::Open, ERROR_FILE_NOT_FOUND, L"Device not found", L"device name for drive D: changed"},
          Case{sim::Fault::Open, ERROR_ACCESS_DENIED, L"Device locked out", L"does not have permission"},
          Case{sim::Fault::Open, ERROR_GEN_FAILURE, L"Unexpected error", L"didn't expect: "},
          Case{sim::Fault::Lock, ERROR_GEN_FAILURE, L"Lock failed: Unknown error",
               L"could not lock the drive because of a problem it didn't expect: "}}) {
        SCOPED_TRACE(c.caption);
        Sim().FailCalls(L'D', c.fault, c.error);
        MessageBoxAnswerer answer(c.caption);
        AskLoginThread(L'D', WM_LOGIN_SHOW);
        ASSERT_TRUE(answer.Wait());
        EXPECT_NE(answer.Text().find(c.textPart), std::wstring::npos) << answer.Text();
        if (c.error == ERROR_GEN_FAILURE) {
            const std::wstring systemText = SystemErrorText(c.error, kSystemDefaultLanguage);
            ASSERT_FALSE(systemText.empty());
            EXPECT_NE(answer.Text().find(systemText.substr(0, 20)), std::wstring::npos) << answer.Text();
        }
        ASSERT_TRUE(PumpUntil([this] { return !m_login->m_loginBox.IsWindow(); }));
        EXPECT_EQ(FindWindowByTitle(kBoxTitleD), nullptr);
        EXPECT_EQ(Sim().OpenHandleCount(), 0u) << "the device was left open";
        EXPECT_FALSE(Drive().volumeLocked);
    }
}

TEST_F(LoginTest, VolumeHeldByAnotherProgramGivesUpAfterTenAttempts) {
    Sim().HoldVolume(L'D', true);
    TraceCapture trace;
    MessageBoxAnswerer answer(L"Lock failed: Drive in use");
    AskLoginThread(L'D', WM_LOGIN_SHOW);
    ASSERT_TRUE(answer.Wait(30000));
    EXPECT_NE(answer.Text().find(L"could not lock drive D:"), std::wstring::npos);
    EXPECT_EQ(trace.CountContaining(L"Varnokd: OnLogin: lock failed (5)\r\n"), 10u);
    ASSERT_TRUE(PumpUntil([this] { return !m_login->m_loginBox.IsWindow(); }));
    EXPECT_EQ(Sim().OpenHandleCount(), 0u);
}

// Another program's handle to a volume goes with the drive: the same drive
// plugged in again is free, and its box locks it at once.
TEST_F(LoginTest, AHoldOnARemovedDriveDoesNotOutliveIt) {
    Sim().HoldVolume(L'D', true);
    Sim().RemoveDrive(L'D');
    Sim().AddDrive(L'D', DRIVE_CDROM);
    Sim().InsertEncryptedDisc(L'D', L"secret");
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr) << "the box waited for a hold that went with the drive";
    EXPECT_TRUE(Drive().volumeLocked);
    Press(box, IDC_EJECT);
    ASSERT_TRUE(PumpUntil([this] { return !m_login->m_loginBox.IsWindow(); }));
}

// The thread is told to end (the program exits) while the box waits for
// another try at a volume that another program holds: the tries stop at
// once instead of running their ten seconds, and no box comes up.
TEST_F(LoginTest, EndingTheThreadStopsTheLockRetries) {
    Sim().HoldVolume(L'D', true);
    TraceCapture trace;
    MessageBoxAnswerer answer(L"Lock failed: Drive in use");
    AskLoginThread(L'D', WM_LOGIN_SHOW);
    ASSERT_TRUE(PumpUntil([&] { return trace.CountContaining(L"Varnokd: OnLogin: lock failed (5)") >= 1; }));
    m_login->RequestStop();
    ASSERT_TRUE(WaitForThread(m_login->Handle()));
    size_t lockCalls = 0;
    for (const auto& call : Sim().Calls())
        if (call.kind == sim::CallKind::Control && call.code == kFsctlLockVolume) ++lockCalls;
    EXPECT_LT(lockCalls, 3u) << "the tries went on after the thread was told to end";
    EXPECT_EQ(answer.Text(), L"");
    EXPECT_EQ(Sim().OpenHandleCount(), 0u);
}

TEST_F(LoginTest, EveryCloseRequestEjectsButEscapeDoesNothing) {
    struct Case {
        const char* name;
        std::function<void(HWND)> request;
    };
    const Case cases[] = {
        {"eject button", [this](HWND box) { Press(box, IDC_EJECT); }},
        {"title-bar close", [](HWND box) { ::PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"close message", [](HWND box) { ::PostMessageW(box, WM_CLOSE, 0, 0); }},
        {"WM_LOGIN_CLOSE", [this](HWND) { AskLoginThread(L'D', WM_LOGIN_CLOSE); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sim().InsertEncryptedDisc(L'D', L"secret");
        const unsigned ejectsBefore = Drive().ejects;
        HWND box = ShowBox();
        ASSERT_NE(box, nullptr);
        ::PostMessageW(::GetDlgItem(box, IDC_PASSPHRASE), WM_KEYDOWN, VK_ESCAPE, 0);
        PumpFor(200);
        ASSERT_TRUE(::IsWindow(box)) << "Escape closed the box";
        c.request(box);
        ASSERT_TRUE(WaitGone(box));
        ASSERT_TRUE(PumpUntil([&] { return Drive().ejects == ejectsBefore + 1; }));
        EXPECT_EQ(Status(), DWORD{NoDisc});
    }
}

// The watcher has fired and ended (its notice not yet handled) when the
// box asks for an eject: the disc goes all the same.
TEST_F(LoginTest, EjectAfterTheWatcherFiredStillEjects) {
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    const unsigned ejectsBefore = Drive().ejects;
    const auto watcher = OpenThreadById(DriveSnapshot(L'D')->watcherThreadId);
    ASSERT_TRUE(watcher);
    ::SetEvent(m_event.get());
    ASSERT_TRUE(WaitForThread(watcher.get()));
    Press(box, IDC_EJECT);
    ASSERT_TRUE(WaitGone(box));
    EXPECT_TRUE(PumpUntil([&] { return Drive().ejects == ejectsBefore + 1; })) << "the eject request was lost";
    EXPECT_EQ(Status(), DWORD{NoDisc});
}

// A close request that reaches the login thread while the box shows a
// message box is handled there, not dropped by the message box's loop.
TEST_F(LoginTest, CloseRequestWhileAMessageBoxShowsIsNotLost) {
    m_main.refuseQueryRemove = true;
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    const unsigned ejectsBefore = Drive().ejects;
    LogIn(box, L"secret");
    ASSERT_NE(WaitForWindow(L"Oops", L"#32770"), nullptr);
    AskLoginThread(L'D', WM_LOGIN_CLOSE);
    {
        MessageBoxAnswerer answer(L"Oops");
        ASSERT_TRUE(answer.Wait());
    }
    EXPECT_TRUE(WaitGone(box)) << "the close request was lost";
    EXPECT_TRUE(PumpUntil([&] { return Drive().ejects == ejectsBefore + 1; }));
    EXPECT_EQ(Status(), DWORD{NoDisc});
}

// A refused broadcast is said in a box. Refused before the login, the
// query keeps the box and the volume's lock for another try; refused after
// it, the arrival hides the box, which its timer closes, and the disc stays
// logged in.
TEST_F(LoginTest, RefusedBroadcastsAreSaidAndNeitherLoseNorFakeTheLogin) {
    struct Case {
        const char* name;
        bool RecorderWindow::*refuse;
        const wchar_t* text;
        bool boxStays;
    };
    const Case cases[] = {
        {"query refused", &RecorderWindow::refuseQueryRemove, L"DBT_DEVICEQUERYREMOVE failed (0)", true},
        {"arrival refused", &RecorderWindow::refuseArrival, L"DBT_DEVICEARRIVAL failed (0)!", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_main.*c.refuse = true;
        const unsigned loginsBefore = Drive().logins;
        HWND box = ShowBox();
        ASSERT_NE(box, nullptr);
        {
            MessageBoxAnswerer answer(L"Oops");
            LogIn(box, L"secret");
            ASSERT_TRUE(answer.Wait());
            EXPECT_EQ(answer.Text(), c.text);
        }
        m_main.*c.refuse = false;
        EXPECT_EQ(::IsWindowVisible(box) != FALSE, c.boxStays);
        if (c.boxStays) {
            EXPECT_EQ(ItemText(box, IDC_PASSPHRASE), L"");
            EXPECT_EQ(ItemText(box, IDC_RESULT), L"");
            EXPECT_TRUE(Drive().volumeLocked);
            EXPECT_EQ(Drive().logins, loginsBefore);
            EXPECT_EQ(Status(), DWORD{NotLoggedIn});
            LogIn(box, L"secret");
            ASSERT_TRUE(PumpUntil([&] { return ItemText(box, IDC_RESULT) == L"Login OK!"; }));
        }
        ASSERT_TRUE(WaitGone(box));
        EXPECT_EQ(Drive().logins, loginsBefore + 1);
        EXPECT_TRUE(Drive().loggedIn);
        EXPECT_EQ(Status(), DWORD{LoggedIn});
        EXPECT_EQ(Drive().ejects, 0u);
        Sim().InsertEncryptedDisc(L'D', L"secret");
        SetStatus(L'D', NotLoggedIn);
    }
}

// A window that takes longer than the system's time-out to answer is
// passed over: it does not stop a login.
TEST_F(LoginTest, ASlowRecipientDoesNotStopALogin) {
    OtherProgramWindow other({.delayMs = 3000, .onlyQueryRemove = true});
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    LogIn(box, L"secret");
    ASSERT_TRUE(PumpUntil([&] { return ItemText(box, IDC_RESULT) == L"Login OK!"; }));
    EXPECT_EQ(Status(), DWORD{LoggedIn});
    EXPECT_EQ(Drive().logins, 1u);
    ASSERT_TRUE(WaitGone(box));
}

// Another program's refusal, answered on a thread of its own, stops the
// login before the passphrase goes to the driver.
TEST_F(LoginTest, AnotherProgramsRefusalStopsTheLogin) {
    OtherProgramWindow other({.onlyQueryRemove = true, .refuseQueryRemove = true});
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    {
        MessageBoxAnswerer answer(L"Oops");
        LogIn(box, L"secret");
        ASSERT_TRUE(answer.Wait());
    }
    EXPECT_EQ(Drive().logins, 0u);
    EXPECT_EQ(ItemText(box, IDC_PASSPHRASE), L"");
    EXPECT_EQ(Status(), DWORD{NotLoggedIn});
    Press(box, IDC_EJECT);
    ASSERT_TRUE(WaitGone(box));
}

// Another program's window that refuses the volume's arrival does not keep
// the arrival from the windows after it (the test's own window here); one
// that takes longer than a plain notice's time over the removal query, but
// answers, is waited for, and its refusal counts.
TEST_F(LoginTest, EveryWindowHearsOfTheArrivalAndASlowRefusalIsWaitedFor) {
    {
        OtherProgramWindow other({.refuseArrival = true});
        HWND box = ShowBox();
        ASSERT_NE(box, nullptr);
        {
            MessageBoxAnswerer answer(L"Oops");
            LogIn(box, L"secret");
            ASSERT_TRUE(answer.Wait());
        }
        ASSERT_TRUE(WaitGone(box));
        bool heard = false;
        for (const auto& change : m_main.DeviceChanges())
            heard = heard || (change.event == DBT_DEVICEARRIVAL && change.deviceType == DBT_DEVTYP_VOLUME);
        EXPECT_TRUE(heard) << "a window after the refusing one never heard of the arrival";
        EXPECT_EQ(Status(), DWORD{LoggedIn});
    }
    Sim().InsertEncryptedDisc(L'D', L"secret");
    SetStatus(L'D', NotLoggedIn);
    {
        OtherProgramWindow other({.delayMs = 4000, .onlyQueryRemove = true, .refuseQueryRemove = true});
        HWND box = ShowBox();
        ASSERT_NE(box, nullptr);
        const unsigned loginsBefore = Drive().logins;
        {
            MessageBoxAnswerer answer(L"Oops");
            LogIn(box, L"secret");
            ASSERT_TRUE(answer.Wait());
        }
        EXPECT_EQ(Drive().logins, loginsBefore) << "the slow window's refusal was passed over";
        Press(box, IDC_EJECT);
        ASSERT_TRUE(WaitGone(box));
    }
}

// Other programs' sent messages reach the box while it waits in its
// broadcast; a box that they ended must not go on to the driver.
TEST_F(LoginTest, BoxEndedDuringTheQueryBroadcastSendsNoPassphrase) {
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    m_main.onDeviceChange = [box](UINT event) {
        if (event == DBT_DEVICEQUERYREMOVE)
            ::SendMessageW(box, WM_COMMAND, MAKEWPARAM(IDC_EJECT, BN_CLICKED), 0);
    };
    LogIn(box, L"secret");
    ASSERT_TRUE(WaitGone(box));
    ASSERT_TRUE(PumpUntil([&] { return Drive().ejects == 1; }));
    m_main.onDeviceChange = nullptr;
    PumpFor(200);
    for (const auto& call : Sim().Calls()) EXPECT_NE(call.code, IOCTL_VNK_LOGIN) << "a passphrase went to the driver";
    EXPECT_EQ(Drive().ejects, 1u);
    EXPECT_EQ(Status(), DWORD{NoDisc});
}

TEST_F(LoginTest, DismountFailureEjectsThroughTheBoxesOwnHandle) {
    Sim().FailCalls(L'D', sim::Fault::Dismount, ERROR_ACCESS_DENIED);
    TraceCapture trace;
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    MessageBoxAnswerer answer(L"Dismount failed");
    LogIn(box, L"secret");
    ASSERT_TRUE(answer.Wait());
    EXPECT_NE(answer.Text().find(L"Win32 error code 5"), std::wstring::npos);
    EXPECT_EQ(answer.Owner(), box);
    ASSERT_TRUE(WaitGone(box));
    EXPECT_EQ(trace.CountContaining(L"VNKDebug: OnLogin: dismount failed (code 5)"), 1u);
    const std::vector<DWORD> expectedCalls = {kFsctlLockVolume, IOCTL_VNK_LOGIN, kFsctlDismountVolume,
                                              kIoctlStorageEjectMedia};
    EXPECT_EQ(ControlCodes(), expectedCalls);
    EXPECT_EQ(Drive().ejects, 1u);
    EXPECT_EQ(Status(), DWORD{LoggedIn});
}

TEST_F(LoginTest, LoginThreadShowsOneBoxAtATimeAndReusesItsBoxObject) {
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    HFONT firstFont = m_login->m_loginBox.m_resultFont.GetSafeHandle();
    // Another request for the drive changes nothing; one for another letter,
    // which nobody here makes (another program could post it), neither. The
    // thread takes its posted messages in order: a message posted to the box
    // behind the requests is handled once they are.
    AskLoginThread(L'D', WM_LOGIN_SHOW);
    m_login->PostThreadMessage(WM_LOGIN_SHOW, L'E', 0);
    HWND field = ::GetDlgItem(box, IDC_PASSPHRASE);
    ::PostMessageW(field, EM_LIMITTEXT, 7, 0);
    ASSERT_TRUE(PumpUntil([&] { return ::SendMessageW(field, EM_GETLIMITTEXT, 0, 0) == 7; }));
    EXPECT_EQ(m_login->m_loginBox.m_hWnd, box);
    EXPECT_EQ(FindWindowByTitle(L"Varnok on drive E: - Please log in"), nullptr);
    EXPECT_EQ(m_login->m_loginBox.m_driveLetter, L'D');
    const auto calls = Sim().Calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const sim::CallRecord& c) { return c.kind == sim::CallKind::Open; }),
              1);

    AskLoginThread(L'D', WM_LOGIN_CLOSE);
    ASSERT_TRUE(WaitGone(box));
    EXPECT_EQ(::GetObjectType(firstFont), 0u) << "the label font outlived its window";
    // With no box, a close request does nothing: the disc put in meanwhile
    // stays, and the request for the box behind it is served.
    ASSERT_TRUE(PumpUntil([&] { return Drive().disc == sim::Disc::None; }));
    Sim().InsertEncryptedDisc(L'D', L"secret");
    const unsigned ejectsBefore = Drive().ejects;
    AskLoginThread(L'D', WM_LOGIN_CLOSE);
    HWND next = ShowBox();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(Drive().ejects, ejectsBefore);
    EXPECT_EQ(Drive().disc, sim::Disc::Encrypted);
    AskLoginThread(L'D', WM_LOGIN_CLOSE);
    ASSERT_TRUE(WaitGone(next));

    // A new request opens the drive again in a new window of the same object.
    Sim().InsertEncryptedDisc(L'D', L"secret");
    for (int showing = 0; showing < 20; ++showing) {
        HWND again = ShowBox();
        ASSERT_NE(again, nullptr);
        HFONT font = m_login->m_loginBox.m_resultFont.GetSafeHandle();
        ASSERT_NE(font, nullptr);
        AskLoginThread(L'D', WM_LOGIN_CLOSE);
        ASSERT_TRUE(WaitGone(again));
        EXPECT_EQ(::GetObjectType(font), 0u);
        Sim().InsertEncryptedDisc(L'D', L"secret");
    }
}

TEST_F(LoginTest, QuitWhileTheBoxIsOpenEndsTheThreadWithoutEject) {
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    HANDLE thread = m_login->Handle();
    m_login->RequestStop();
    ASSERT_TRUE(WaitForThread(thread));
    EXPECT_FALSE(::IsWindow(box));
    EXPECT_EQ(Drive().ejects, 0u);
    EXPECT_EQ(Status(), DWORD{NotLoggedIn});
}

// The passphrase field, driven as the user's keyboard and the clipboard
// drive it, against what reaches the driver.
class PassphraseFieldTest : public LoginTest {
protected:
    static void Chars(HWND field, const std::wstring& units) {
        for (wchar_t unit : units) ::SendMessageW(field, WM_CHAR, unit, 1);
    }
    static void Key(HWND field, UINT key) {
        ::SendMessageW(field, WM_KEYDOWN, key, 1);
        ::SendMessageW(field, WM_KEYUP, key, 0xC0000001);
    }
    void SetClipboard(const std::wstring& text) {
        ASSERT_TRUE(::OpenClipboard(m_main.m_hWnd));
        ::EmptyClipboard();
        HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
        std::memcpy(::GlobalLock(memory), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        ::GlobalUnlock(memory);
        EXPECT_NE(::SetClipboardData(CF_UNICODETEXT, memory), nullptr);
        ::CloseClipboard();
    }
    std::wstring Clipboard() {
        std::wstring text;
        if (!::OpenClipboard(m_main.m_hWnd)) return L"(not open)";
        if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
            text = static_cast<const wchar_t*>(::GlobalLock(data));
            ::GlobalUnlock(data);
        }
        ::CloseClipboard();
        return text;
    }
};

TEST_F(PassphraseFieldTest, EditsLikeAPasswordFieldAndSendsExactlyWhatWasTyped) {
    const std::wstring pair = L"\xD83D\xDE00";  // one character, two units
    const std::wstring x252(252, L'x');
    struct Case {
        const char* name;
        std::wstring clipboard;  // empty: left as it is
        std::function<void(HWND field)> edit;
        std::wstring expected;
    };
    const Case cases[] = {
        {"typing", L"", [](HWND f) { Chars(f, L"pass word \x00e9"); }, L"pass word \x00e9"},
        {"backspace in the middle", L"",
         [](HWND f) {
             Chars(f, L"abcd");
             Key(f, VK_LEFT);
             Key(f, VK_LEFT);
             Chars(f, L"\b");
         },
         L"acd"},
        {"delete after home", L"",
         [](HWND f) {
             Chars(f, L"abcd");
             Key(f, VK_HOME);
             Key(f, VK_DELETE);
             Key(f, VK_END);
             Chars(f, L"e");
         },
         L"bcde"},
        {"selection replaced by typing", L"",
         [](HWND f) {
             Chars(f, L"abcdef");
             ::SendMessageW(f, EM_SETSEL, 1, 4);
             Chars(f, L"X");
         },
         L"aXef"},
        {"selection deleted by backspace", L"",
         [](HWND f) {
             Chars(f, L"abcdef");
             ::SendMessageW(f, EM_SETSEL, 2, 5);
             Chars(f, L"\b");
         },
         L"abf"},
        {"Ctrl+A then typing", L"", [](HWND f) { Chars(f, L"abc\x01z"); }, L"z"},
        {"paste by message and by Ctrl+V, first line only", L"p\x00e9\r\nrest",
         [](HWND f) {
             Chars(f, L"1");
             ::SendMessageW(f, WM_PASTE, 0, 0);
             Chars(f, L"2\x16");
         },
         L"1p\x00e9" L"2p\x00e9"},
        {"copy, cut and undo do nothing", L"keep",
         [](HWND f) {
             Chars(f, L"abc");
             ::SendMessageW(f, EM_SETSEL, 0, -1);
             ::SendMessageW(f, WM_COPY, 0, 0);
             ::SendMessageW(f, WM_CUT, 0, 0);
             Chars(f, L"\x03\x18");
             ::SendMessageW(f, EM_SETSEL, 3, 3);
             Chars(f, L"d");
             ::SendMessageW(f, EM_UNDO, 0, 0);
             ::SendMessageW(f, WM_UNDO, 0, 0);
             Chars(f, L"\x1a");
         },
         L"abcd"},
        {"backspace takes a whole surrogate pair", L"",
         [&](HWND f) {
             Chars(f, L"a" + pair + L"b");
             Key(f, VK_LEFT);
             Chars(f, L"\b");
         },
         L"ab"},
        {"EM_REPLACESEL and WM_SETTEXT", L"",
         [](HWND f) {
             Chars(f, L"old");
             ::SetWindowTextW(f, L"ab");
             Key(f, VK_LEFT);
             ::SendMessageW(f, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(L"XY"));
         },
         L"aXYb"},
        {"IME characters", L"",
         [](HWND f) {
             ::SendMessageW(f, WM_IME_CHAR, L'q', 1);
             ::SendMessageW(f, WM_IME_CHAR, 0x4E2D, 1);
         },
         L"q\x4E2D"},
        {"a pair that does not fit whole is refused whole", L"",
         [&](HWND f) { Chars(f, x252 + L"y" + pair + L"z"); },
         x252 + L"yz"},
        {"a pair that fits exactly", L"", [&](HWND f) { Chars(f, x252 + pair + L"z"); }, x252 + pair},
        {"paste is cut at the limit, before a pair", L"1" + pair,
         [&](HWND f) {
             Chars(f, x252);
             ::SendMessageW(f, WM_PASTE, 0, 0);
         },
         x252 + L"1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.clipboard.empty()) SetClipboard(c.clipboard);
        HWND box = ShowBox();
        ASSERT_NE(box, nullptr);
        HWND field = ::GetDlgItem(box, IDC_PASSPHRASE);
        c.edit(field);
        // The control itself shows, and holds, only placeholders.
        EXPECT_EQ(ItemText(box, IDC_PASSPHRASE), std::wstring(c.expected.size(), L'*'));
        Press(box, IDC_LOGIN);
        ASSERT_TRUE(PumpUntil([&] { return !LoginRecordSent().empty(); }));
        const std::vector<BYTE> record = LoginRecordSent();
        ASSERT_EQ(record.size(), (c.expected.size() + 1) * sizeof(wchar_t));
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(record.data()), c.expected.size()), c.expected);
        EXPECT_EQ(ItemText(box, IDC_PASSPHRASE), L"");
        if (!c.clipboard.empty()) {
            EXPECT_EQ(Clipboard(), c.clipboard);
        }
        ::PostMessageW(box, WM_TIMER, CVNKDLoginBox::LoginCloseTimerId, 0);
        ASSERT_TRUE(WaitGone(box));
        Sim().InsertEncryptedDisc(L'D', L"secret");
    }
}

// How a box with a typed passphrase ends.
enum class BoxEnd { Accepted, Refused, Eject, CloseRequest, Reprobe, Exit, SessionEnd };

const char* BoxEndName(BoxEnd end) {
    switch (end) {
        case BoxEnd::Accepted: return "Accepted";
        case BoxEnd::Refused: return "Refused";
        case BoxEnd::Eject: return "Eject";
        case BoxEnd::CloseRequest: return "CloseRequest";
        case BoxEnd::Reprobe: return "Reprobe";
        case BoxEnd::Exit: return "Exit";
        case BoxEnd::SessionEnd: return "SessionEnd";
    }
    return "?";
}

class PassphraseRemnantTest : public LoginTest, public ::testing::WithParamInterface<std::tuple<BoxEnd, size_t>> {
protected:
    // One character message at a time, as the keyboard delivers them.
    bool TypeKeyByKey(HWND box, const MaskedSecret& secret) {
        HWND field = ::GetDlgItem(box, IDC_PASSPHRASE);
        for (size_t i = 0; i < secret.size(); ++i) ::PostMessageW(field, WM_CHAR, secret.At(i), 1);
        return PumpUntil([&] { return static_cast<size_t>(::GetWindowTextLengthW(field)) == secret.size(); });
    }
};

TEST_P(PassphraseRemnantTest, NothingOfThePassphraseStaysOnceTheBoxEnds) {
    const auto [end, length] = GetParam();
    const MaskedSecret secret(length, static_cast<std::uint32_t>(end) * 1000 + static_cast<std::uint32_t>(length));
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(TypeKeyByKey(box, secret));
    EXPECT_GT(secret.CountInMemory(), 0u) << "the scan does not see the passphrase the box holds";

    switch (end) {
        case BoxEnd::Accepted: {
            std::wstring clear = secret.Clear();
            Sim().InsertEncryptedDisc(L'D', clear);
            MaskedSecret::Wipe(clear);
            Press(box, IDC_LOGIN);
            ASSERT_TRUE(PumpUntil([&] { return Drive().loggedIn; }));
            ASSERT_TRUE(WaitGone(box));
            break;
        }
        case BoxEnd::Refused:
            Press(box, IDC_LOGIN);
            ASSERT_TRUE(PumpUntil([&] { return Drive().ejects == 1; }));
            EXPECT_FALSE(Drive().loggedIn);
            ASSERT_TRUE(WaitGone(box));
            break;
        case BoxEnd::Eject:
            Press(box, IDC_EJECT);
            ASSERT_TRUE(WaitGone(box));
            break;
        case BoxEnd::CloseRequest:
            ::PostMessageW(box, WM_CLOSE, 0, 0);
            ASSERT_TRUE(WaitGone(box));
            break;
        case BoxEnd::Reprobe:
            // What a re-probe asks of every login thread.
            AskLoginThread(L'D', WM_LOGIN_CLOSE);
            ASSERT_TRUE(WaitGone(box));
            break;
        case BoxEnd::Exit:
            // The engine's shutdown: the record's tear-down ends the login thread.
            ClearTable();
            EXPECT_FALSE(::IsWindow(box));
            break;
        case BoxEnd::SessionEnd:
            // The box may not get another message before the process ends.
            ::SendMessageW(box, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
            EXPECT_TRUE(::IsWindow(box));
            EXPECT_EQ(ItemText(box, IDC_PASSPHRASE), L"");
            break;
    }
    // The driver's own copies (the disc's passphrase, the recorded login)
    // are not the client's: they go first.
    Sim().TakeOutDisc(L'D');
    Sim().ClearCalls();
    EXPECT_EQ(secret.CountInMemory(), 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryEnd, PassphraseRemnantTest,
                         ::testing::Combine(::testing::Values(BoxEnd::Accepted, BoxEnd::Refused, BoxEnd::Eject,
                                                              BoxEnd::CloseRequest, BoxEnd::Reprobe, BoxEnd::Exit,
                                                              BoxEnd::SessionEnd),
                                            ::testing::Values(size_t{40}, size_t{254})),
                         [](const ::testing::TestParamInfo<std::tuple<BoxEnd, size_t>>& info) {
                             return std::string(BoxEndName(std::get<0>(info.param))) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

// The control that has the keyboard focus on the box's thread.
HWND FocusOn(HWND box) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(box, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

// Alt+F4 as the keyboard gives it to the focused control.
void PressAltF4(HWND focused) {
    constexpr LPARAM kAltDown = LPARAM{1} << 29;
    ::PostMessageW(focused, WM_SYSKEYDOWN, VK_F4, 1 | kAltDown);
    ::PostMessageW(focused, WM_SYSKEYUP, VK_F4, 1 | kAltDown | (LPARAM{3} << 30));
}

TEST_F(LoginTest, OutcomeIsAnnouncedFromTheLabelAndTheFocusStaysOnIt) {
    struct Case {
        const wchar_t* passphrase;
        const wchar_t* outcome;
        unsigned ejects;
        DWORD status;
    };
    for (const Case& c : {Case{L"secret", L"Login OK!", 0, LoggedIn}, Case{L"guess", L"Login failed!", 1, NoDisc}}) {
        SCOPED_TRACE(Ascii(c.outcome));
        Sim().InsertEncryptedDisc(L'D', L"secret");
        const unsigned ejectsBefore = Drive().ejects;
        WinEventRecorder events(EVENT_SYSTEM_ALERT, EVENT_OBJECT_LIVEREGIONCHANGED);
        HWND box = ShowBox();
        ASSERT_NE(box, nullptr);
        const HWND label = ::GetDlgItem(box, IDC_RESULT);
        // The box opens on its one input.
        ASSERT_TRUE(PumpUntil([&] { return FocusOn(box) == ::GetDlgItem(box, IDC_PASSPHRASE); }));

        LogIn(box, c.passphrase);
        ASSERT_TRUE(PumpUntil([&] {
            return !events.From(EVENT_OBJECT_LIVEREGIONCHANGED, label).empty() &&
                   !events.From(EVENT_SYSTEM_ALERT, label).empty();
        }));
        for (const DWORD kind : {DWORD{EVENT_OBJECT_LIVEREGIONCHANGED}, DWORD{EVENT_SYSTEM_ALERT}}) {
            const auto raised = events.From(kind, label);
            ASSERT_EQ(raised.size(), 1u) << "event 0x" << std::hex << kind;
            EXPECT_EQ(raised[0].text, c.outcome);
        }
        // The edit and the buttons are disabled: the focus is on the
        // outcome, which the reader reads again from there.
        EXPECT_EQ(FocusOn(box), label);
        EXPECT_TRUE(::IsWindowVisible(label));

        // Alt+F4 still closes the box, and adds nothing to the outcome.
        PressAltF4(label);
        ASSERT_TRUE(WaitGone(box));
        ASSERT_TRUE(PumpUntil([&] { return Drive().ejects == ejectsBefore + c.ejects; }));
        PumpFor(200);
        EXPECT_EQ(Drive().ejects, ejectsBefore + c.ejects);
        EXPECT_EQ(Status(), c.status);
    }
}

TEST_F(LoginTest, EveryControlHasANameAStateAndAnAccessKey) {
    struct Case {
        int id;
        const wchar_t* name;
        LONG role;      // 0: not asked
        LONG state;     // bits that must be set
        LONG notState;  // bits that must not
        wchar_t key;
    };
    const auto check = [](HWND box, const Case& c) {
        SCOPED_TRACE(testing::Message() << "control " << c.id);
        const std::optional<AccessibleInfo> info = AccessibleOf(::GetDlgItem(box, c.id));
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->name, c.name);
        // Wine's oleacc knows the edit's role; the others' are for Narrator.
        if (c.role != 0) {
            EXPECT_EQ(info->role, c.role);
        }
        EXPECT_EQ(info->state & c.state, c.state) << Ascii(info->stateText);
        EXPECT_EQ(info->state & c.notState, 0) << Ascii(info->stateText);
        EXPECT_EQ(AccessKeyOf(info->shortcut), c.key) << Ascii(info->shortcut);
    };
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    const Case waiting[] = {
        {IDC_PASSPHRASE, L"Enter passphrase for drive D:", ROLE_SYSTEM_TEXT, STATE_SYSTEM_PROTECTED,
         STATE_SYSTEM_UNAVAILABLE, L'P'},
        {IDC_LOGIN, L"Log in...", 0, 0, STATE_SYSTEM_UNAVAILABLE, L'L'},
        {IDC_EJECT, L"Eject disc", 0, 0, STATE_SYSTEM_UNAVAILABLE, L'E'},
    };
    for (const Case& c : waiting) check(box, c);

    LogIn(box, L"guess");
    ASSERT_TRUE(PumpUntil([&] { return ItemText(box, IDC_RESULT) == L"Login failed!"; }));
    const Case settled[] = {
        {IDC_PASSPHRASE, L"Enter passphrase for drive D:", ROLE_SYSTEM_TEXT,
         STATE_SYSTEM_PROTECTED | STATE_SYSTEM_UNAVAILABLE, 0, L'P'},
        {IDC_LOGIN, L"Log in...", 0, STATE_SYSTEM_UNAVAILABLE, 0, L'L'},
        {IDC_EJECT, L"Eject disc", 0, STATE_SYSTEM_UNAVAILABLE, 0, L'E'},
        {IDC_RESULT, L"Login failed!", 0, STATE_SYSTEM_FOCUSED, STATE_SYSTEM_UNAVAILABLE, 0},
    };
    for (const Case& c : settled) check(box, c);
    ASSERT_TRUE(WaitGone(box));
}

TEST_F(LoginTest, TheClientsMessageBoxesReadAsTheySay) {
    Sim().FailCalls(L'D', sim::Fault::Open, ERROR_FILE_NOT_FOUND);
    AskLoginThread(L'D', WM_LOGIN_SHOW);
    const HWND box = WaitForWindow(L"Device not found");
    ASSERT_NE(box, nullptr);
    const std::optional<AccessibleInfo> text = AccessibleOf(::GetDlgItem(box, 0xFFFF));
    ASSERT_TRUE(text.has_value());
    EXPECT_NE(text->name.find(L"device name for drive D: changed"), std::wstring::npos) << Ascii(text->name);
    const std::optional<AccessibleInfo> ok = AccessibleOf(::GetDlgItem(box, IDOK));
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->name, L"OK");
    EXPECT_EQ(ok->state & STATE_SYSTEM_UNAVAILABLE, 0);
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(PumpUntil([box] { return !::IsWindow(box); }));
}

TEST_F(LoginTest, TheLabelFollowsTheSystemColoursAndTheOutcomeStaysReadable) {
    HWND box = ShowBox();
    ASSERT_NE(box, nullptr);
    static constexpr INT elements[] = {COLOR_BTNFACE, COLOR_BTNTEXT};
    // The session's colours come back however the test ends.
    struct Restore {
        COLORREF old[2] = {::GetSysColor(COLOR_BTNFACE), ::GetSysColor(COLOR_BTNTEXT)};
        ~Restore() { ::SetSysColors(2, elements, old); }
    } restore;
    const COLORREF dark[] = {RGB(0, 0, 0), RGB(255, 255, 255)};
    ASSERT_TRUE(::SetSysColors(2, elements, dark));
    ::SendMessageW(box, WM_SYSCOLORCHANGE, 0, 0);
    EXPECT_EQ(LabelColor(box), RGB(255, 255, 255));
    LogIn(box, L"guess");
    ASSERT_TRUE(PumpUntil([&] { return ItemText(box, IDC_RESULT) == L"Login failed!"; }));
    // Dark red on black would read at 1.9:1.
    EXPECT_GE(a11y::ContrastRatio(LabelColor(box), RGB(0, 0, 0)), CColorStatic::kMinimumContrast);
    ::SetSysColors(2, elements, restore.old);
    ::SendMessageW(box, WM_SYSCOLORCHANGE, 0, 0);
    EXPECT_EQ(LabelColor(box), RGB(128, 0, 0));
    ASSERT_TRUE(WaitGone(box));
}

}  // namespace
}  // namespace vnk::test
