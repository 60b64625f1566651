// The string table, message-format expansion, system error texts and the
// error message box, with the program's real resources.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "common/error_box.h"
#include "common/messages.h"
#include "common/strings.h"
#include "res/resource.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

TEST(CommonTest, DriveStringsExpandWithTheLetter) {
    EXPECT_EQ(FormatDriveString(IDS_LOGIN_CAPTION, L'E'), L"Varnok on drive E: - Please log in");
    EXPECT_EQ(FormatDriveString(IDS_LOGIN_PROMPT, L'E'), L"Enter &passphrase for drive E:");
    EXPECT_EQ(DevicePath(L'E'), L"\\\\.\\E:");
    EXPECT_EQ(FormatNumberString(IDS_STATUS_UNKNOWN, 7), L"Unknown status (7)");
    EXPECT_EQ(LoadResString(9999), L"");
}

TEST(CommonTest, SystemErrorTextsComeFromTheSystem) {
    for (DWORD code : {DWORD{ERROR_FILE_NOT_FOUND}, DWORD{ERROR_ACCESS_DENIED}}) {
        for (DWORD language : {kUserDefaultLanguage, kSystemDefaultLanguage}) {
            const std::wstring text = SystemErrorText(code, language);
            EXPECT_FALSE(text.empty()) << code;
        }
    }
    EXPECT_NE(SystemErrorText(ERROR_FILE_NOT_FOUND, kSystemDefaultLanguage),
              SystemErrorText(ERROR_ACCESS_DENIED, kSystemDefaultLanguage));
    EXPECT_EQ(SystemErrorText(0x2FFFFFFF, kSystemDefaultLanguage), L"");
}

TEST(CommonTest, RegisteredMessagesAreTheSessionsNumbersForTheirNames) {
    EXPECT_EQ(UWM_VARNOKD_EVENT_TRIGGERED, ::RegisterWindowMessageW(L"UWM_VARNOKD_EVENT_TRIGGERED"));
    EXPECT_EQ(UWM_VARNOKD_UPDATE_STATUS, ::RegisterWindowMessageW(L"UWM_VARNOKD_UPDATE_STATUS"));
    EXPECT_NE(UWM_VARNOKD_EVENT_TRIGGERED, UWM_VARNOKD_UPDATE_STATUS);
}

TEST(CommonTest, ErrorBoxExpandsTheTextNotTheCaptionAndReturnsTheAnswer) {
    // Text 119 has %1!c! and %2, text 117 has %1 and %2; an insert's own
    // percent signs stay as they are. The Cancel answer shows the flags
    // reached the box.
    {
        MessageBoxAnswerer answer(L"Warning: Announce failed", IDCANCEL);
        int result = 0;
        std::thread([&] {
            result = ErrorBox(nullptr, IDS_ERR_ANNOUNCE_FAILED, IDS_CAP_ANNOUNCE_FAILED, MB_OKCANCEL | MB_ICONEXCLAMATION,
                              L'F', L"the reason");
        }).join();
        ASSERT_TRUE(answer.Wait());
        EXPECT_EQ(result, IDCANCEL);
        EXPECT_EQ(answer.Text(),
                  L"Varnok could not use drive F: because of a problem announcing itself to the filter driver:"
                  L"\r\n\r\nthe reason\r\nThis drive will not be usable with Varnok-encrypted discs. If you "
                  L"continue to see this message, contact your disc provider.");
    }
    {
        MessageBoxAnswerer answer(L"CD/DVD drive not accessible");
        int result = 0;
        std::thread([&] {
            result = ErrorBox(nullptr, IDS_ERR_DRIVE_NOT_ACCESSIBLE, IDS_CAP_DRIVE_NOT_ACCESSIBLE, MB_ICONEXCLAMATION,
                              L"\\\\.\\G:", L"%2 stays as it is");
        }).join();
        ASSERT_TRUE(answer.Wait());
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(answer.Text(), L"Varnok could not access the CD/DVD drive at \\\\.\\G: because of an error: %2 "
                                 L"stays as it is\r\nMake sure you have sufficient permissions to access this device.");
    }
}

}  // namespace
}  // namespace vnk::test
