// Version information read from the test executable itself, which carries
// the program's own version resource, and from small sample programs built
// beside it with other version resources.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>
#include <string>

#include "common/strings.h"
#include "res/product.h"
#include "tests/support/test_support.h"
#include "ui/file_version_info.h"

namespace vnk::test {
namespace {

constexpr DWORD kEnglishUs = 1033;
constexpr DWORD kUnicode = 1200;

std::wstring ExecutablePath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring SamplePath(const wchar_t* name) {
    std::wstring path = ExecutablePath();
    path.erase(path.find_last_of(L'\\') + 1);
    return path + name + L".exe";
}

FileVersionInfo ReadSample(const wchar_t* name) {
    return FileVersionInfo(SamplePath(name), kEnglishUs, kUnicode);
}

TEST(FileVersionInfo, ReadsTheRunningProgramsOwnFileForAnEmptyPath) {
    const FileVersionInfo info(L"", kEnglishUs, kUnicode);

    EXPECT_EQ(info.GetProductName(), L"" VNK_PRODUCT_NAME);
    EXPECT_EQ(info.GetFileDescription(), L"Varnok Resident Client Helper Application");
    EXPECT_EQ(info.GetInternalName(), L"Varnokd");
    EXPECT_EQ(info.GetOriginalFilename(), L"Varnokd.EXE");
    EXPECT_EQ(info.GetCompanyName(), L"" VNK_MANUFACTURER);
    EXPECT_EQ(info.GetLegalCopyright(), L"" VNK_COPYRIGHT);
    EXPECT_EQ(info.GetStringValue(L"FileVersion"), L"" VNK_FILE_VERSION_TEXT);

    // The build's version, as CMake wrote it into the resource.
    constexpr WORD kVersion[] = {VNK_FILE_VERSION};
    const std::wstring product = std::to_wstring(kVersion[0]) + L"." + std::to_wstring(kVersion[1]) + L"." +
                                 std::to_wstring(kVersion[2]);
    EXPECT_EQ(info.GetProductVersionText(), product);
    EXPECT_EQ(info.GetFileVersionText(false), product);
    EXPECT_EQ(info.GetFileVersionText(true), product + L"." + std::to_wstring(kVersion[3]));
    EXPECT_EQ(info.GetProductVersion(), (VersionWords{MAKELONG(kVersion[1], kVersion[0]), MAKELONG(0, kVersion[2])}));
    EXPECT_EQ(info.GetFileVersion(),
              (VersionWords{MAKELONG(kVersion[1], kVersion[0]), MAKELONG(kVersion[3], kVersion[2])}));
}

TEST(FileVersionInfo, AnExplicitPathAndRepeatedQueriesGiveTheSameAnswers) {
    const FileVersionInfo own(L"", kEnglishUs, kUnicode);
    const FileVersionInfo named(ExecutablePath(), kEnglishUs, kUnicode);

    EXPECT_EQ(named.GetProductName(), own.GetProductName());
    EXPECT_EQ(named.GetFileVersion(), own.GetFileVersion());
    EXPECT_EQ(named.GetProductName(), named.GetProductName());
    EXPECT_EQ(named.GetFileVersionText(true), named.GetFileVersionText(true));
}

TEST(FileVersionInfo, AKeyMissingFromTheStringTableGivesAnEmptyText) {
    const FileVersionInfo info(L"", kEnglishUs, kUnicode);
    EXPECT_EQ(info.GetStringValue(L"PrivateBuild"), L"");
    EXPECT_EQ(info.GetStringValue(L""), L"");
}

TEST(FileVersionInfo, UsesThePreferredTranslationWhenItIsListedSecond) {
    const FileVersionInfo info = ReadSample(L"version_two_translations");
    EXPECT_EQ(info.GetProductName(), L"Bilingual");
    EXPECT_EQ(info.GetCompanyName(), L"Example Ltd");
    EXPECT_EQ(info.GetFileVersionText(true), L"1.2.3.4");
    EXPECT_EQ(info.GetProductVersionText(), L"5.6.7");
}

TEST(FileVersionInfo, OtherPreferredPairsFindTheirTableWithLowerCaseHexDigits) {
    // 0x0407/0x04E4 is looked up as "040704e4".
    const FileVersionInfo bilingual(SamplePath(L"version_two_translations"), 0x0407, 0x04E4);
    EXPECT_EQ(bilingual.GetProductName(), L"Zweisprachig");
    const FileVersionInfo german(SamplePath(L"version_german_only"), 0x0407, 0x04E4);
    EXPECT_EQ(german.GetProductName(), L"Nur Deutsch");
}

TEST(FileVersionInfo, WithoutThePreferredTranslationStringsAreEmptyButNumbersWork) {
    const FileVersionInfo info = ReadSample(L"version_german_only");
    EXPECT_EQ(info.GetProductName(), L"");
    EXPECT_EQ(info.GetCompanyName(), L"");
    EXPECT_EQ(info.GetProductVersionText(), L"9.8.7");
    EXPECT_EQ(info.GetFileVersionText(true), L"4.3.2.1");
    EXPECT_EQ(info.GetFileVersion(), (VersionWords{0x00040003, 0x00020001}));
}

TEST(FileVersionInfo, WritesPartsInDecimalWithoutPadding) {
    const FileVersionInfo info = ReadSample(L"version_wide_numbers");
    EXPECT_EQ(info.GetFileVersionText(false), L"10.2.0");
    EXPECT_EQ(info.GetFileVersionText(true), L"10.2.0.65535");
    EXPECT_EQ(info.GetProductVersionText(), L"12.0.345");
    EXPECT_EQ(info.GetFileVersion(), (VersionWords{0x000A0002, 0x0000FFFF}));
    EXPECT_EQ(info.GetProductVersion(), (VersionWords{0x000C0000, 0x0159FFFF}));
}

// The error names the failed step and carries the system's English text
// for the reason.
TEST(FileVersionInfo, UnreadableFilesRaiseTheSizeQueryErrorWithTheSystemText) {
    struct Case {
        const char* what;
        std::wstring path;
        DWORD reasons[2];  // what Windows and Wine report for the case
    };
    const Case cases[] = {
        {"missing file",
         SamplePath(L"version_no_such_file"),
         {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND}},
        {"file without a version resource",
         SamplePath(L"version_none"),
         {ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_DATA_NOT_FOUND}},
    };
    const std::string prefix = "FileVersionInfo: GetFileVersionInfoSize failed: ";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            FileVersionInfo info(c.path, kEnglishUs, kUnicode);
            ADD_FAILURE() << "no error raised";
        } catch (const std::runtime_error& error) {
            const std::string text = error.what();
            ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
            const std::string reason = text.substr(prefix.size());
            EXPECT_FALSE(reason.empty());
            EXPECT_TRUE(reason == Ascii(SystemErrorText(c.reasons[0], kEnglishUs)) ||
                        reason == Ascii(SystemErrorText(c.reasons[1], kEnglishUs)))
                << reason;
        }
    }
}

}  // namespace
}  // namespace vnk::test
