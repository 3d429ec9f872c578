// The menu strings read from the strings file of the language folder that the
// language class picks, below the installation folder in the real registry.

#include "MenuStrings.h"

#include <gtest/gtest.h>

#include <string>

#include "LogWatch.h"
#include "ProductInstall.h"

using namespace testsupport;

namespace {

const wchar_t installKey[] = L"SOFTWARE\\Quarvel\\Hollowmere";
const wchar_t wow32Key[] = L"SOFTWARE\\Wow6432Node\\Quarvel\\Hollowmere";
const wchar_t commandKey[] = L"IDS_EXP_SCANNOW_DSTRING";
const wchar_t helpKey[] = L"IDS_SCAN";

const char englishStrings[] =
    "[OTHER]\r\nIDS_SCAN=Wrong section\r\n"
    "[STR_SCANNOW]\r\nIDS_EXP_SCANNOW_DSTRING=Scan now\r\nIDS_SCAN=Scans the selected item\r\n"
    "IDS_EMPTY=\r\n";

class StringsTest : public ::testing::Test {
protected:
    StringsTest() : install_(L"Orn Strings ") { writeStrings(L"0409", englishStrings); }

    fs::path languageFolder(const wchar_t* language) const
    {
        return install_.path() / L"Agent" / L"Res" / language;
    }
    void writeStrings(const wchar_t* language, const std::string& text) const
    {
        writeText(languageFolder(language) / L"GenStrings.bin", text);
    }
    void recordInstallDir(const std::wstring& folder, const wchar_t* key = installKey)
    {
        setString(HKEY_LOCAL_MACHINE, key, installDirValue, folder);
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
    recordInstallDir(install_.str());
    wchar_t folder[1024] = L"";
    ASSERT_EQ(1, GetResourceFolder(installKeyNative, folder, 1024));
    EXPECT_EQ(languageFolder(L"0409").wstring(), folder);
    LogWatch watch;
    EXPECT_EQ(L"Scan now", lookUp(commandKey));
    EXPECT_EQ(L"Scans the selected item", lookUp(helpKey));
    expectNoLine(watch, "GetPrivateProfileString failed");
}

// The folder follows the language class: a stored choice of German, and a
// strings file in the platform's Unicode profile form.
TEST_F(StringsTest, FolderFollowsTheChosenLanguage)
{
    recordInstallDir(install_.str());
    storeLanguage(L"1031");
    writeUnicodeText(languageFolder(L"0407") / L"GenStrings.bin",
                     L"[STR_SCANNOW]\r\nIDS_EXP_SCANNOW_DSTRING=Jetzt pr\u00fcfen\r\n");
    EXPECT_EQ(L"Jetzt pr\u00fcfen", lookUp(commandKey));
}

// No other language is tried when the chosen one has no strings file.
TEST_F(StringsTest, ChosenLanguageWithoutFileFails)
{
    recordInstallDir(install_.str());
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
    recordInstallDir(install_.str());
    writeStrings(L"0409", "[STR_SCANNOW]\r\nIDS_EXP_SCANNOW_DSTRING=Scan now\r\nIDS_SCAN=\r\n"
                          "[OTHER]\r\nIDS_OTHER=Elsewhere\r\n");
    LogWatch watch;
    EXPECT_EQ(L"", lookUp(helpKey, 0));
    EXPECT_EQ(L"", lookUp(L"IDS_MISSING", 0));
    EXPECT_EQ(L"", lookUp(L"IDS_OTHER", 0));
    EXPECT_EQ(0, strings_.GetString(nullptr, nullptr, 0));
    expectInfo(watch, "GetPrivateProfileString failed");
}

// A value longer than the buffer is cut to fit and still found.
TEST_F(StringsTest, LongValueIsCutToFit)
{
    recordInstallDir(install_.str());
    wchar_t text[6];
    EXPECT_EQ(1, strings_.GetString(helpKey, text, 6));
    EXPECT_STREQ(L"Scans", text);
}

// Without the installation there is nothing to read and nothing to report;
// on 32-bit Windows a key under the 32-bit path is not consulted, and the
// 64-bit build does not read a key of the 64-bit view.
TEST_F(StringsTest, MissingInstallationFailsSilently)
{
    if (!onWow64Prefix())
        recordInstallDir(install_.str(), wow32Key);
    if (is64BitBuild())
        setStringInView(HKEY_LOCAL_MACHINE, installKey, installDirValue, install_.str(), KEY_WOW64_64KEY);
    wchar_t folder[1024] = L"";
    EXPECT_EQ(0, GetResourceFolder(installKeyNative, folder, 1024));
    EXPECT_STREQ(L"", folder);
    LogWatch watch;
    EXPECT_EQ(L"", lookUp(commandKey, 0));
    expectNoLine(watch, "GetPrivateProfileString failed");
}

// The folder is appended to what the buffer holds and cut at capacity - 1;
// the strings-file name then no longer fits, and nothing is read from a cut
// path.
TEST_F(StringsTest, LongInstallFolderIsCut)
{
    const std::wstring longFolder = L"C:\\" + std::wstring(1000, L'l');
    recordInstallDir(longFolder);
    wchar_t folder[1024] = L"X";
    ASSERT_EQ(1, GetResourceFolder(installKeyNative, folder, 1024));
    const std::wstring whole = L"X" + longFolder + L"\\Agent\\Res\\0409";
    EXPECT_EQ(whole.substr(0, 1023), folder);
    EXPECT_EQ(0, GetResourceFolder(installKeyNative, nullptr, 1024));
    LogWatch watch;
    EXPECT_EQ(L"", lookUp(commandKey, 0));
    expectInfo(watch, "GetPrivateProfileString failed");
}

// Under WoW64 the native path and the 32-bit path reach one key, so a missing
// native key beside a present 32-bit key cannot be staged with the product's
// keys; two keys of the test's own stand in for them.
class StringsViewTest : public StringsTest {
protected:
    StringsViewTest()
        : base_(L"SOFTWARE\\OrnStringsTests\\" + uniqueSuffix()),
          keys_{nativeKey_.c_str(), wow32Key_.c_str()},
          stage_(HKEY_LOCAL_MACHINE, {L"SOFTWARE\\OrnStringsTests"})
    {
    }
    std::wstring lookUpIn(const wchar_t* key, int expected = 1)
    {
        wchar_t text[1024];
        EXPECT_EQ(expected, strings_detail::GetStringFrom(keys_, key, text, 1024)) << key;
        return text;
    }
    const std::wstring base_;
    const std::wstring nativeKey_ = base_ + L"\\Native";
    const std::wstring wow32Key_ = base_ + L"\\Wow32";
    const InstallKeys keys_;
    RegistryStage stage_;
};

TEST_F(StringsViewTest, SecondViewOnlyOnWow64)
{
    recordInstallDir(install_.str(), wow32Key_.c_str());
    LogWatch watch;
    EXPECT_EQ(underWow64() ? L"Scan now" : L"", lookUpIn(commandKey, underWow64() ? 1 : 0));
    expectNoLine(watch, "GetPrivateProfileString failed");
}

TEST_F(StringsViewTest, NativeViewComesFirst)
{
    const TempFolder other(L"Orn Other ");
    writeText(other.path() / L"Agent" / L"Res" / L"0409" / L"GenStrings.bin",
              "[STR_SCANNOW]\r\nIDS_SCAN=From the 32-bit view\r\n");
    recordInstallDir(install_.str(), nativeKey_.c_str());
    recordInstallDir(other.str(), wow32Key_.c_str());
    EXPECT_EQ(L"Scans the selected item", lookUpIn(helpKey));
}
