// The product build, Varnokd.exe with its real Win32 device calls, against
// the project's kernel-mode test driver under Wine (tests/driver): the
// device path it opens, the access it asks for, the control codes and byte
// counts, how the driver's NTSTATUS comes back, and whether the driver
// finds and signals the announcement's event by its name in the client's
// session. The client is driven from outside as a person would; the driver
// tells what reached it.
//
// tests/driver/run_driver_test.sh starts the driver in the prefix, runs
// each test in a process of its own, checks between them that the driver's
// host (winedevice.exe) lives, and stops the driver at the end.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/driver_interface.h"
#include "res/resource.h"
#include "tests/driver/test_driver_client.h"
#include "tests/support/client_windows.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

namespace drv = vnk::testdrv;

constexpr wchar_t kPassphrase[] = L"open sesame";

// NTSTATUS values the driver answers with, and what the client then sees.
constexpr DWORD kStatusInvalidDeviceRequest = 0xC0000010;  // ERROR_INVALID_FUNCTION (1)
constexpr DWORD kStatusDeviceNotReady = 0xC00000A3;         // ERROR_NOT_READY (21)

constexpr ULONG kMajorDeviceControl = 0x0E;

std::string Letter(wchar_t letter) { return std::string(1, static_cast<char>(letter)); }

// The login record as the driver must receive it: the passphrase's UTF-16LE
// units and one zero unit.
std::vector<UCHAR> LoginRecordBytes(const std::wstring& passphrase) {
    std::vector<UCHAR> bytes;
    for (wchar_t unit : passphrase) {
        bytes.push_back(static_cast<UCHAR>(unit & 0xFF));
        bytes.push_back(static_cast<UCHAR>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

class ProductTest : public ClientProcessTest {
protected:
    void SetUp() override {
        ASSERT_EQ(drv::Ping(), DWORD{ERROR_SUCCESS})
            << "no test driver runs in this prefix (tests/driver/run_driver_test.sh starts it)";
        ASSERT_TRUE(drv::ReadRecord(true)) << "the driver's record cannot be read";
    }

    void TearDown() override {
        ClientProcessTest::TearDown();
        for (wchar_t letter : m_drives) EXPECT_EQ(drv::RemoveDrive(letter), DWORD{ERROR_SUCCESS}) << Letter(letter);
    }

    // Drives of the driver's, before the client starts (no broadcast); each
    // takes kPassphrase.
    void AddDrives(const std::wstring& letters) {
        for (wchar_t letter : letters) {
            ASSERT_EQ(drv::AddDrive(letter), DWORD{ERROR_SUCCESS}) << "drive " << Letter(letter);
            m_drives += letter;
            ASSERT_EQ(drv::SetPassphrase(letter, kPassphrase), DWORD{ERROR_SUCCESS});
        }
    }

    void StartProduct() { StartClient(L"Varnokd.exe"); }

    static drv::DriveState State(wchar_t letter) {
        const auto state = drv::Query(letter);
        if (!state) ADD_FAILURE() << "the driver does not answer for " << Letter(letter);
        return state.value_or(drv::DriveState{});
    }

    // Waits (pumping) until the driver's view of the drive satisfies `done`.
    template <class Done>
    static drv::DriveState StateOnceSettled(wchar_t letter, Done done) {
        drv::DriveState state{};
        PumpUntil([&] {
            state = State(letter);
            return done(state);
        });
        return state;
    }

    // The device controls that reached the drive since the test began.
    static std::vector<drv::Call> ControlsOf(wchar_t letter) {
        std::vector<drv::Call> controls;
        for (const drv::Call& call : drv::ReadRecord(false).value_or(std::vector<drv::Call>{}))
            if (call.letter == letter && call.major == kMajorDeviceControl) controls.push_back(call);
        return controls;
    }

    static std::vector<DWORD> CodesOf(const std::vector<drv::Call>& calls) {
        std::vector<DWORD> codes;
        for (const drv::Call& call : calls) codes.push_back(call.code);
        return codes;
    }

    static size_t Count(const std::vector<drv::Call>& calls, DWORD code) {
        return std::count_if(calls.begin(), calls.end(), [code](const drv::Call& call) { return call.code == code; });
    }

    std::wstring m_drives;
};

TEST_F(ProductTest, StartUpProbesAndAnnouncesWithTheExactBytes) {
    ASSERT_NO_FATAL_FAILURE(AddDrives(L"DE"));
    ASSERT_NO_FATAL_FAILURE(StartProduct());
    DWORD session = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(m_client->Id(), &session));

    // Wine's ntoskrnl does not tell a driver the access a handle asked for;
    // it checks each control code's access bits against the handle itself,
    // so every request below that succeeds shows that the access fits.
    std::vector<std::vector<UCHAR>> guids;
    for (wchar_t letter : {L'D', L'E'}) {
        SCOPED_TRACE(Letter(letter));
        const std::vector<drv::Call> controls = ControlsOf(letter);
        // Signature, announcement, status, in this order; then only status
        // queries (the list reads every status again when it is filled).
        ASSERT_GE(controls.size(), 3u);
        EXPECT_EQ(CodesOf({controls.begin(), controls.begin() + 3}),
                  (std::vector<DWORD>{IOCTL_VNK_GET_SIGNATURE, IOCTL_VNK_ANNOUNCE, IOCTL_VNK_GET_STATUS}));
        for (size_t i = 3; i < controls.size(); ++i) EXPECT_EQ(controls[i].code, IOCTL_VNK_GET_STATUS);
        EXPECT_EQ(controls[0].inputBytes, 0u);
        EXPECT_EQ(controls[0].outputBytes, 8u);
        EXPECT_EQ(controls[1].inputBytes, sizeof(AnnounceRecord));
        EXPECT_EQ(controls[1].outputBytes, 0u);
        EXPECT_EQ(controls[2].inputBytes, 0u);
        EXPECT_EQ(controls[2].outputBytes, 4u);
        for (const drv::Call& call : controls) EXPECT_EQ(call.status, 0u) << drv::DescribeCall(call);

        const UCHAR* record = controls[1].input;
        DWORD announcedSession = 0;
        std::memcpy(&announcedSession, record + 16, sizeof announcedSession);
        EXPECT_EQ(announcedSession, session);
        guids.emplace_back(record, record + 16);
        // The driver found the event by the name the announcement gives it,
        // in the client's session: the GUID in braces, upper case.
        const drv::DriveState state = State(letter);
        EXPECT_TRUE(state.announced);
        EXPECT_TRUE(state.eventOpened);
        EXPECT_EQ(std::vector<UCHAR>(state.guid, state.guid + 16), guids.back());
    }
    EXPECT_NE(guids[0], guids[1]) << "two drives were announced with the same GUID";
}

// Each status the driver may answer, as the status list shows it: one drive
// per case, all read in one probe.
TEST_F(ProductTest, EachStatusAnswerIsShownAsItsText) {
    struct Case {
        wchar_t letter;
        DWORD status;
        const wchar_t* shown;
    };
    const Case cases[] = {
        {L'D', 0, L"No disc or disc error"}, {L'E', 1, L"Drive in use by another application"},
        {L'F', 2, L"Not a Varnok CD"},       {L'G', 3, L"Not logged in"},
        {L'H', 4, L"Login failed"},          {L'I', 5, L"Logged in"},
        {L'J', 9, L"Unknown status (9)"},
    };
    Rows expected;
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(AddDrives(std::wstring(1, c.letter)));
        ASSERT_EQ(drv::SetStatus(c.letter, c.status), DWORD{ERROR_SUCCESS});
        expected.emplace_back(std::wstring(1, c.letter) + L":", c.shown);
    }
    // A status query that fails leaves the status unknown, not "No disc".
    ASSERT_NO_FATAL_FAILURE(AddDrives(L"K"));
    ASSERT_EQ(drv::Fail(L'K', IOCTL_VNK_GET_STATUS, kStatusDeviceNotReady, VTD_FAIL_FOREVER), DWORD{ERROR_SUCCESS});
    expected.emplace_back(L"K:", L"Unknown status (cannot be read)");

    ASSERT_NO_FATAL_FAILURE(StartProduct());
    ExpectShownFromTray(expected);
}

// A drive whose driver does not answer with the signature is no drive of
// ours; only when no CD/DVD drive answers does the client say that the
// driver is missing, and end.
TEST_F(ProductTest, ADriveThatRefusesTheSignatureIsLeftOutAndAllRefusingSaysTheDriverIsMissing) {
    struct Case {
        const char* name;
        const wchar_t* drives;
        wchar_t refusing;  // 0: every drive
        bool wrongBytes;   // answers, but other bytes than the signature
    };
    const Case cases[] = {
        {"one drive refuses the request", L"DE", L'E', false},
        {"one drive answers other bytes", L"DE", L'E', true},
        {"every drive refuses the request", L"DE", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(AddDrives(c.drives));
        for (const wchar_t* p = c.drives; *p != L'\0'; ++p) {
            if (c.refusing != 0 && *p != c.refusing) continue;
            if (c.wrongBytes)
                ASSERT_EQ(drv::SetSignature(*p, "PLMRVNK1"), DWORD{ERROR_SUCCESS});
            else
                ASSERT_EQ(drv::Fail(*p, IOCTL_VNK_GET_SIGNATURE, kStatusInvalidDeviceRequest, VTD_FAIL_FOREVER),
                          DWORD{ERROR_SUCCESS});
        }
        if (c.refusing == 0) {
            m_client.emplace(ProgramPath(L"Varnokd.exe"), L"");
            ASSERT_TRUE(m_client->Started()) << m_client->StartError();
            EXPECT_EQ(AnswerMessageBox(L"Filter driver not installed"),
                      L"The Varnok Client filter driver is not installed properly. Please remove and then "
                      L"reinstall Varnok Client.");
            EXPECT_TRUE(m_client->WaitForExit()) << "the client stayed without a driver";
        } else {
            ASSERT_NO_FATAL_FAILURE(StartProduct());  // and no box
            ExpectShownFromTray(Rows{{L"D:", L"No disc or disc error"}});
            EXPECT_EQ(CodesOf(ControlsOf(c.refusing)), (std::vector<DWORD>{IOCTL_VNK_GET_SIGNATURE}))
                << "a drive without the signature was spoken to";
        }
        for (const wchar_t* p = c.drives; *p != L'\0'; ++p) {
            if (c.refusing == 0 || *p == c.refusing) {
                EXPECT_FALSE(State(*p).announced);
            }
        }
        ClientProcessTest::TearDown();
        for (wchar_t letter : m_drives) ASSERT_EQ(drv::RemoveDrive(letter), DWORD{ERROR_SUCCESS});
        m_drives.clear();
        drv::ReadRecord(true);
    }
}

// The driver's signal brings up the login box; what the user types reaches
// the driver as the login record, byte for byte.
//
// Under Wine 8 FSCTL_LOCK_VOLUME and FSCTL_UNLOCK_VOLUME never reach the
// driver (Wine's ntdll answers them itself), and after a dismount that the
// driver accepted ntdll fails the call with ERROR_BAD_DEV_TYPE (66), since
// no Unix file stands behind the handle. So an accepted login here always
// ends in "Dismount failed" with code 66 and an eject through the box's
// handle; the rest of the accepted path is the simulator's to test.
TEST_F(ProductTest, ASignalBringsTheLoginBoxAndTheLoginRecordArrivesExactly) {
    struct Case {
        const char* name;
        std::wstring typed;
        std::wstring accepted;  // the driver's passphrase
        std::wstring sent;      // what reaches the driver
        bool accepts;
    };
    const std::wstring longText(300, L'x');
    const Case cases[] = {
        {"the right passphrase", kPassphrase, kPassphrase, kPassphrase, true},
        {"beyond ASCII", L"Gr\u00FC\u00DFe \u043A\u043B\u044E\u0447", L"Gr\u00FC\u00DFe \u043A\u043B\u044E\u0447",
         L"Gr\u00FC\u00DFe \u043A\u043B\u044E\u0447", true},
        {"300 units, cut to 254", longText, longText.substr(0, 254), longText.substr(0, 254), true},
        {"a wrong one", L"not the passphrase", kPassphrase, L"not the passphrase", false},
    };
    ASSERT_NO_FATAL_FAILURE(AddDrives(L"D"));
    ASSERT_NO_FATAL_FAILURE(StartProduct());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(drv::SetPassphrase(L'D', c.accepted), DWORD{ERROR_SUCCESS});
        ASSERT_EQ(drv::SetStatus(L'D', 3), DWORD{ERROR_SUCCESS});
        const drv::DriveState before = State(L'D');
        drv::ReadRecord(true);

        ASSERT_EQ(drv::Signal(L'D'), DWORD{ERROR_SUCCESS});
        HWND box = WaitForLoginBox(L'D');
        ASSERT_NE(box, nullptr) << "the driver's signal brought no login box";
        HWND edit = ::GetDlgItem(box, IDC_PASSPHRASE);
        for (wchar_t unit : c.typed) ::PostMessageW(edit, WM_CHAR, unit, 1);
        ::PostMessageW(::GetDlgItem(box, IDC_LOGIN), BM_CLICK, 0, 0);
        std::wstring outcome;
        PumpUntil([&] { return !(outcome = ControlText(::GetDlgItem(box, IDC_RESULT))).empty(); });
        EXPECT_EQ(outcome, c.accepts ? L"Login OK!" : L"Login failed!");
        if (c.accepts) {
            const std::wstring text = AnswerMessageBox(L"Dismount failed");
            EXPECT_NE(text.find(L"(Win32 error code 66)"), std::wstring::npos) << Ascii(text);
        }
        EXPECT_TRUE(PumpUntil([box] { return !::IsWindow(box); })) << "the login box stayed";
        // Either way the disc goes: through the box's own handle after the
        // failed dismount, through the watcher after a refusal.
        const drv::DriveState after =
            StateOnceSettled(L'D', [&](const drv::DriveState& s) { return s.ejects > before.ejects; });
        EXPECT_EQ(after.ejects, before.ejects + 1);
        EXPECT_EQ(after.logins, before.logins + 1);

        const std::vector<drv::Call> controls = ControlsOf(L'D');
        const auto login = std::find_if(controls.begin(), controls.end(),
                                        [](const drv::Call& call) { return call.code == IOCTL_VNK_LOGIN; });
        ASSERT_NE(login, controls.end()) << "no login reached the driver";
        const std::vector<UCHAR> expected = LoginRecordBytes(c.sent);
        EXPECT_EQ(login->inputBytes, expected.size());
        EXPECT_EQ(login->outputBytes, 0u);
        const size_t kept = std::min<size_t>(expected.size(), VTD_RECORD_INPUT_BYTES);
        EXPECT_EQ(std::vector<UCHAR>(login->input, login->input + kept),
                  std::vector<UCHAR>(expected.begin(), expected.begin() + kept));
        // Wine's own answers: no lock or unlock ever reaches the driver.
        EXPECT_EQ(Count(controls, kFsctlLockVolume), 0u);
        EXPECT_EQ(Count(controls, kFsctlUnlockVolume), 0u);
        EXPECT_EQ(Count(controls, kFsctlDismountVolume), c.accepts ? 1u : 0u);
    }
}

TEST_F(ProductTest, EjectDiscAndEmergencyLockReachTheDriver) {
    ASSERT_NO_FATAL_FAILURE(AddDrives(L"DEF"));
    ASSERT_EQ(drv::SetStatus(L'D', 3), DWORD{ERROR_SUCCESS});
    ASSERT_EQ(drv::SetStatus(L'E', 5), DWORD{ERROR_SUCCESS});  // logged in before the client came
    ASSERT_EQ(drv::SetStatus(L'F', 2), DWORD{ERROR_SUCCESS});
    ASSERT_NO_FATAL_FAILURE(StartProduct());

    ASSERT_EQ(drv::Signal(L'D'), DWORD{ERROR_SUCCESS});
    HWND box = WaitForLoginBox(L'D');
    ASSERT_NE(box, nullptr);
    ::PostMessageW(::GetDlgItem(box, IDC_EJECT), BM_CLICK, 0, 0);
    EXPECT_TRUE(PumpUntil([box] { return !::IsWindow(box); }));
    EXPECT_EQ(StateOnceSettled(L'D', [](const drv::DriveState& s) { return s.ejects > 0; }).ejects, 1u);
    EXPECT_EQ(State(L'D').logins, 0u);

    Command(ID_EMERGENCYLOCK);
    EXPECT_EQ(StateOnceSettled(L'E', [](const drv::DriveState& s) { return s.ejects > 0; }).ejects, 1u)
        << "Emergency Lock left the logged-in disc in";
    EXPECT_EQ(State(L'F').ejects, 0u) << "a disc that was not logged in went";
    ExpectShownFromTray(Rows{{L"D:", L"No disc or disc error"},
                                    {L"E:", L"No disc or disc error"},
                                    {L"F:", L"Not a Varnok CD"}});
}

// A drive plugged in while the client runs: the driver's side makes the
// device and its letter, the control program broadcasts what the system
// would, and the client probes again.
TEST_F(ProductTest, ADriveAddedAndRemovedAtRunTimeIsFollowed) {
    ASSERT_NO_FATAL_FAILURE(AddDrives(L"D"));
    ASSERT_NO_FATAL_FAILURE(StartProduct());

    Process add(ProgramPath(L"VarnokTestDrvCtl.exe"), L"add F");
    ASSERT_TRUE(add.Started()) << add.StartError();
    ASSERT_TRUE(add.WaitForExit());
    ASSERT_EQ(add.ExitCode(), 0u);
    m_drives += L'F';
    // The client probes again on a worker of its own once it has the
    // broadcast: the announcement comes a little after.
    const drv::DriveState f = StateOnceSettled(L'F', [](const drv::DriveState& s) { return s.announced != 0; });
    EXPECT_TRUE(f.announced) << "the new drive was not announced to";
    EXPECT_TRUE(f.eventOpened);
    ExpectShownFromTray(Rows{{L"D:", L"No disc or disc error"}, {L"F:", L"No disc or disc error"}});
    ASSERT_NO_FATAL_FAILURE(HideWithOk());

    // Its watcher runs: the driver's signal brings its login box.
    ASSERT_EQ(drv::Signal(L'F'), DWORD{ERROR_SUCCESS});
    HWND box = WaitForLoginBox(L'F');
    ASSERT_NE(box, nullptr) << "no login box for the new drive";
    ::PostMessageW(::GetDlgItem(box, IDC_EJECT), BM_CLICK, 0, 0);
    EXPECT_TRUE(PumpUntil([box] { return !::IsWindow(box); }));

    Process remove(ProgramPath(L"VarnokTestDrvCtl.exe"), L"remove F");
    ASSERT_TRUE(remove.Started()) << remove.StartError();
    ASSERT_TRUE(remove.WaitForExit());
    ASSERT_EQ(remove.ExitCode(), 0u);
    m_drives.pop_back();
    ExpectShownFromTray(Rows{{L"D:", L"No disc or disc error"}});
}

TEST_F(ProductTest, ExitWithdrawsEveryDriveAndEjectsTheLoggedInDisc) {
    ASSERT_NO_FATAL_FAILURE(AddDrives(L"DEF"));
    ASSERT_EQ(drv::SetStatus(L'E', 5), DWORD{ERROR_SUCCESS});
    ASSERT_NO_FATAL_FAILURE(StartProduct());

    Command(ID_APP_EXIT_VARNOK);
    ASSERT_TRUE(m_client->WaitForExit()) << "the client did not end on Exit";
    for (wchar_t letter : {L'D', L'E', L'F'}) {
        SCOPED_TRACE(Letter(letter));
        const drv::DriveState state = State(letter);
        EXPECT_FALSE(state.announced);
        EXPECT_EQ(state.withdrawals, 1u);
        EXPECT_EQ(state.ejects, letter == L'E' ? 1u : 0u);
        EXPECT_EQ(StateOnceSettled(letter, [](const drv::DriveState& s) { return s.openHandles == 0; }).openHandles, 0u)
            << "a handle of the client's outlived it";
    }
}

}  // namespace
}  // namespace vnk::test
