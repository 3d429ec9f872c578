// What the menus show of the scan command: the strings read from the strings
// file of the language folder that the language class picks, below the
// installation folder in the real registry, and where the classic menu shows
// the command.

#include "MenuStrings.h"
#include "ScanCommand.h"

#include <gtest/gtest.h>

#include <string>

#include "LogWatch.h"
#include "ProductInstall.h"

using namespace testsupport;

namespace {

const wchar_t commandKey[] = L"IDS_EXP_SCANNOW_DSTRING";
const wchar_t helpKey[] = L"IDS_SCAN";

const char englishStrings[] =
    "[OTHER]\r\nIDS_SCAN=Wrong section\r\n"
    "[STR_SCANNOW]\r\nIDS_EXP_SCANNOW_DSTRING=Scan now\r\nIDS_SCAN=Scans the selected item\r\n"
    "IDS_EMPTY=\r\n";

class StringsTest : public ::testing::Test {
protected:
    StringsTest() : install_(L"Orn Strings ")
    {
        writeStrings(L"0409", englishStrings);
        setString(HKEY_LOCAL_MACHINE, installKey, installDirValue, install_.str());
    }

    fs::path languageFolder(const wchar_t* language) const
    {
        return install_.path() / L"Agent" / L"Res" / language;
    }
    void writeStrings(const wchar_t* language, const std::string& text) const
    {
        writeText(languageFolder(language) / L"GenStrings.bin", text);
    }
    void storeLanguage(const wchar_t* decimal)
    {
        setString(HKEY_CURRENT_USER, L"SOFTWARE\\Quarvel\\Hollowmere\\DesktopUI", L"LANGID", decimal);
    }
    std::wstring lookUp(const wchar_t* key, int expected = 1)
    {
        wchar_t text[1024];
        EXPECT_EQ(expected, strings_.GetString(key, text, 1024)) << key;
        return text;
    }

    ProductRegistry registry_;
    TempFolder install_;
    CGenStrings strings_;
};

}  // namespace

TEST_F(StringsTest, ReadsBothTextsOfTheLanguageFolder)
{
    LogWatch watch;
    EXPECT_EQ(L"Scan now", lookUp(commandKey));
    EXPECT_EQ(L"Scans the selected item", lookUp(helpKey));
    expectNoLine(watch, "GetPrivateProfileString failed");
}

// The folder follows the language class: a stored choice of German, and a
// strings file in the platform's Unicode profile form.
TEST_F(StringsTest, FolderFollowsTheChosenLanguage)
{
    storeLanguage(L"1031");
    writeUnicodeText(languageFolder(L"0407") / L"GenStrings.bin",
                     L"[STR_SCANNOW]\r\nIDS_EXP_SCANNOW_DSTRING=Jetzt pr\u00fcfen\r\n");
    EXPECT_EQ(L"Jetzt pr\u00fcfen", lookUp(commandKey));
}

// No other language is tried when the chosen one has no strings file.
TEST_F(StringsTest, ChosenLanguageWithoutFileFails)
{
    storeLanguage(L"1031");
    fs::create_directories(languageFolder(L"0407"));
    LogWatch watch;
    EXPECT_EQ(L"", lookUp(commandKey, 0));
    expectInfo(watch, "GetPrivateProfileString failed");
}

// An empty value, a key that is not there and a key of another section all
// count as not found.
TEST_F(StringsTest, EmptyOrMissingValueFails)
{
    writeStrings(L"0409", "[STR_SCANNOW]\r\nIDS_EXP_SCANNOW_DSTRING=Scan now\r\nIDS_SCAN=\r\n"
                          "[OTHER]\r\nIDS_OTHER=Elsewhere\r\n");
    LogWatch watch;
    EXPECT_EQ(L"", lookUp(helpKey, 0));
    EXPECT_EQ(L"", lookUp(L"IDS_MISSING", 0));
    EXPECT_EQ(L"", lookUp(L"IDS_OTHER", 0));
    EXPECT_EQ(0, strings_.GetString(nullptr, nullptr, 0));
    // A null key would have the profile reader list the section's keys.
    EXPECT_EQ(L"", lookUp(nullptr, 0));
    expectInfo(watch, "GetPrivateProfileString failed");
}

// A value longer than the buffer is cut to fit and still found.
TEST_F(StringsTest, LongValueIsCutToFit)
{
    wchar_t text[6];
    EXPECT_EQ(1, strings_.GetString(helpKey, text, 6));
    EXPECT_STREQ(L"Scans", text);
}

// Where the classic handler steps back for the packaged command: only in a
// 64-bit host on Windows 11 to which the packaged command answered "shown",
// for a user who has the package, and never while the user has the classic
// menu back.
TEST(ClassicMenuRuleTest, ClassicEntryUnlessThePackagedCommandIsShown)
{
    const struct {
        bool host64Bit;
        DWORD build;
        bool restored;
        bool shownHere;
        bool registered;
        bool classic;
    } cases[] = {
        {true, 22000, false, true, true, false},   // the first build of Windows 11
        {true, 26100, false, true, true, false},
        {true, 22621, false, false, true, true},   // not shown to this host (another one asked)
        {true, 22621, false, true, false, true},   // the package is not the user's (any more)
        {true, 22621, true, true, true, true},     // the classic menu brought back
        {true, 21999, false, true, true, true},    // Windows 10 shows no packaged command
        {true, 0, false, true, true, true},        // build unknown
        {false, 22621, false, true, true, true},   // nor does a 32-bit host
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.classic, ClassicMenuWanted({c.host64Bit, c.build, c.restored, c.shownHere, c.registered}))
            << c.host64Bit << " " << c.build << " " << c.restored << " " << c.shownHere << " " << c.registered;
    }
    // Wine reports a build before Windows 11: the classic entry stays.
    EXPECT_TRUE(ClassicMenuWantedHere());
}
