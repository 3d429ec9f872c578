// Partner-supported languages through the language list file, and the walk
// over the installed resource folders.
#include "LanguageDetail.h"
#include "MUIHelper.h"

#include "LanguageTestSupport.h"

#include <algorithm>
#include <thread>

using namespace langtest;
using orn::language::IsPartnerBitSet;
using orn::language::ReadLanguageBitPosition;

namespace {

const char kList[] =
    "<Languages>"
    "<Language langID=\"0409\" BitmaskBitPosition=\"3\"/>"
    "<Language langID=\"0C0A\" BitmaskBitPosition=\"1\"/>"
    "<Language langID=\"0407\" BitmaskBitPosition=\"9\"/>"
    "<Language langID=\"0410\" BitmaskBitPosition=\"-1\"/>"
    "<Language langID=\"0411\" BitmaskBitPosition=\"-2\"/>"
    "<Language langID=\"0412\"/>"
    "<Language langID=\"0409\" BitmaskBitPosition=\"0\"/>"
    "<!-- the search ends here -->"
    "<Language langID=\"0416\" BitmaskBitPosition=\"0\"/>"
    "</Languages>";

struct PartnerTest : ::testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(registry.ready());
        setString(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir", install.path());
    }
    void Mask(const std::wstring& text)
    {
        setString(HKEY_LOCAL_MACHINE, kAgentKey, L"szPartnerSupportedInstalledLanguages", text);
    }
    BOOL Supported(LANGID language, const std::wstring& folder = L"",
                   const std::wstring& bitmask = L"")
    {
        return helper.IsPartnerSupportedLanguage(language, folder, bitmask);
    }
    std::wstring ListPath() const { return install.path() + L"\\Agent\\Languages.xml"; }

    RegistrySandbox registry{L"language"};
    InstallFolder install;
    CMUIHelper helper;
};

}  // namespace

TEST(PartnerBitmask, BigEndianHexadecimalBitField)
{
    EXPECT_TRUE(IsPartnerBitSet(L"5", 0));  // read as 05
    EXPECT_FALSE(IsPartnerBitSet(L"5", 1));
    EXPECT_TRUE(IsPartnerBitSet(L"5", 2));
    EXPECT_TRUE(IsPartnerBitSet(L"0100", 8));
    EXPECT_FALSE(IsPartnerBitSet(L"0100", 0));
    EXPECT_TRUE(IsPartnerBitSet(L"80", 7));
    EXPECT_TRUE(IsPartnerBitSet(L"8000000000", 39));
    EXPECT_TRUE(IsPartnerBitSet(L"aB", 0));
    EXPECT_FALSE(IsPartnerBitSet(L"ff", 8));    // beyond the field
    EXPECT_FALSE(IsPartnerBitSet(L"ff", -1));   // negative never matches
    EXPECT_FALSE(IsPartnerBitSet(L"", 0));
    EXPECT_FALSE(IsPartnerBitSet(L"g1", 0));    // first not hexadecimal: 0
    EXPECT_TRUE(IsPartnerBitSet(L"1g", 0));     // second not: the first digit alone
    EXPECT_FALSE(IsPartnerBitSet(L"1g", 4));
    EXPECT_FALSE(IsPartnerBitSet(L"ff", 0x7fffffff));
}

TEST_F(PartnerTest, ListReaderFindsTheFirstMatchingEntry)
{
    install.WriteLanguageList(kList);
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0409"), 3);
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0c0a"), 1);  // case ignored
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0412"), -1);  // no position
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0416"), -1);  // behind the comment
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0419"), -1);
    EXPECT_EQ(ReadLanguageBitPosition(ListPath() + L"x", L"0409"), -1);
}

TEST_F(PartnerTest, ListReaderTakesTheFirstNodeAsTheList)
{
    install.WriteLanguageList(std::string("<?xml version=\"1.0\"?>") + kList);
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0409"), -1);
    install.WriteLanguageList(std::string("<!-- languages -->") + kList);
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0409"), -1);
    install.WriteLanguageList("<L><X langID=\"0409\" BitmaskBitPosition=\" 12abc\"/></L>");
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0409"), 12);
    install.WriteLanguageList("<L><X langID=\"0409\" BitmaskBitPosition=\"3\"></L>");
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0409"), -1);  // not well formed
    install.WriteLanguageList("<L><X id=\"1\"/><X langID=\"0409\" BitmaskBitPosition=\"3\"/></L>");
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0409"), -1);  // no langID ends it
    // Indentation between entries is no entry of its own.
    install.WriteLanguageList("<L>\r\n  <X langID=\"0409\" BitmaskBitPosition=\"3\"/>\r\n"
                              "  <X langID=\"0407\" BitmaskBitPosition=\"5\"/>\r\n</L>\r\n");
    EXPECT_EQ(ReadLanguageBitPosition(ListPath(), L"0407"), 5);
}

TEST_F(PartnerTest, BitmaskDecides)
{
    install.WriteLanguageList(kList);
    install.AddLanguage(L"0409");
    Mask(L"08");
    EXPECT_EQ(Supported(0x0409), TRUE);
    Mask(L"07");
    EXPECT_EQ(Supported(0x0409), FALSE);  // its folder does not help
    Mask(L"1");
    EXPECT_EQ(Supported(0x0409), FALSE);
    EXPECT_EQ(Supported(0x0c0a), FALSE);
    Mask(L"2");
    EXPECT_EQ(Supported(0x0c0a), TRUE);
    Mask(L"ff");
    EXPECT_EQ(Supported(0x0407), FALSE);  // position 9 lies beyond one byte
    Mask(L"0200");
    EXPECT_EQ(Supported(0x0407), TRUE);
    Mask(L"");
    EXPECT_EQ(Supported(0x0409), FALSE);  // an empty mask supports nothing
}

TEST_F(PartnerTest, FallsBackToTheFolderWhenUnlisted)
{
    install.AddLanguage(L"0410");
    install.AddLanguage(L"0412");
    install.AddLanguage(L"0416");
    Mask(L"00");
    // No list file at all.
    EXPECT_EQ(Supported(0x0410), TRUE);
    EXPECT_EQ(Supported(0x0411), FALSE);
    install.WriteLanguageList(kList);
    EXPECT_EQ(Supported(0x0410), TRUE);   // position -1: as if unlisted
    install.AddLanguage(L"0411");
    EXPECT_EQ(Supported(0x0411), FALSE);  // position -2: never set
    EXPECT_EQ(Supported(0x0412), TRUE);   // entry without a position
    EXPECT_EQ(Supported(0x0416), TRUE);   // listed only behind the comment
    EXPECT_EQ(Supported(0x0419), FALSE);
}

TEST_F(PartnerTest, ArgumentsOnlyReplaceUnreadableValues)
{
    install.WriteLanguageList(kList);
    // The bitmask argument stands in for a missing registry mask only.
    EXPECT_EQ(Supported(0x0409, L"", L"08"), TRUE);
    EXPECT_EQ(Supported(0x0409, L"", L"07"), FALSE);
    EXPECT_EQ(Supported(0x0409, L"", std::wstring(258, L'f')), TRUE);
    EXPECT_EQ(Supported(0x0409, L"", std::wstring(259, L'f')), FALSE);  // folder test
    Mask(L"00");
    EXPECT_EQ(Supported(0x0409, L"", L"08"), FALSE);

    // The folder argument stands in for a missing install folder only, and
    // names its list file directly.
    InstallFolder other;
    other.WriteLanguageList("<L><X langID=\"0409\" BitmaskBitPosition=\"1\"/></L>");
    const std::wstring otherAgent = other.path() + L"\\Agent";
    Mask(L"02");
    EXPECT_EQ(Supported(0x0409, otherAgent), FALSE);  // install folder's list: position 3
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir");
    EXPECT_EQ(Supported(0x0409, otherAgent), TRUE);   // position 1
    EXPECT_EQ(Supported(0x0409), FALSE);              // neither: 0
    EXPECT_EQ(Supported(0x0409, std::wstring(259, L'x')), FALSE);
}

// In either apartment the caller's initialisation stays as it was, no more
// and no less: one uninitialisation of its own then undoes it all.
TEST_F(PartnerTest, ListReaderLeavesTheCallersApartmentAlone)
{
    install.WriteLanguageList(kList);
    for (const DWORD model : {COINIT_MULTITHREADED, COINIT_APARTMENTTHREADED}) {
        int position = 0;
        HRESULT still = E_FAIL, gone = E_FAIL;
        std::thread caller([&] {
            const HRESULT initialised = CoInitializeEx(nullptr, model);
            position = ReadLanguageBitPosition(ListPath(), L"0409");
            still = CoInitializeEx(nullptr, model);  // a second one only counts up
            if (SUCCEEDED(still))
                CoUninitialize();
            if (SUCCEEDED(initialised))
                CoUninitialize();
            gone = CoInitializeEx(nullptr, model);
            if (SUCCEEDED(gone))
                CoUninitialize();
        });
        caller.join();
        EXPECT_EQ(position, 3);
        EXPECT_EQ(still, S_FALSE) << model;
        EXPECT_EQ(gone, S_OK) << model;
    }
}

TEST_F(PartnerTest, SetPartnerSupportedLanguagesNeedsTheAgentKey)
{
    EXPECT_EQ(helper.SetPartnerSupportedLanguages(L"0f"), FALSE);  // key missing, not created
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kAgentKey));
    createKey(HKEY_LOCAL_MACHINE, kAgentKey);
    EXPECT_EQ(helper.SetPartnerSupportedLanguages(L""), FALSE);
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, kAgentKey, L"szPartnerSupportedInstalledLanguages"),
              L"<absent>");
    EXPECT_EQ(helper.SetPartnerSupportedLanguages(L"0f"), TRUE);
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, kAgentKey, L"szPartnerSupportedInstalledLanguages"),
              L"0f");
}

// --- The walk over the resource folders ---

namespace {

int StopAtFirst(LANGID language, void* context)
{
    static_cast<std::vector<LANGID>*>(context)->push_back(language);
    return 0;
}

}  // namespace

TEST_F(PartnerTest, WalkReportsFoldersReadAsLanguages)
{
    install.AddLanguage(L"0407");
    install.AddLanguage(L"0409");
    install.AddFile(L"040c");
    install.AddLanguage(L"Temp");
    std::vector<LANGID> languages{0x0001};
    EXPECT_EQ(helper.GetInstalledLanguages(&languages), TRUE);
    ASSERT_EQ(languages.size(), 4u);
    EXPECT_EQ(languages.front(), 0x0001);  // appended, not emptied
    std::sort(languages.begin() + 1, languages.end());
    EXPECT_EQ(languages, (std::vector<LANGID>{0x0001, 0x0407, 0x0409, 0x0409}));
    EXPECT_EQ(helper.GetInstalledLanguages(nullptr), TRUE);

    std::vector<LANGID> first;
    EXPECT_EQ(helper.EnumInstalledLanguages(StopAtFirst, &first), TRUE);
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(helper.EnumInstalledLanguages(nullptr, nullptr), FALSE);
}

TEST_F(PartnerTest, WalkAsksThePlatformWhetherANameIsALocale)
{
    install.AddLanguage(L"Common");  // reads as 0x000c
    install.AddLanguage(L"0fff");    // no such locale
    std::vector<LANGID> languages;
    const BOOL reported = helper.GetInstalledLanguages(&languages);
    const bool commonIsLocale = IsValidLocale(0x000c, LCID_SUPPORTED) != FALSE;
    EXPECT_EQ(reported, commonIsLocale ? TRUE : FALSE);
    EXPECT_EQ(languages, commonIsLocale ? std::vector<LANGID>{0x000c} : std::vector<LANGID>{});
}

TEST_F(PartnerTest, WalkWithoutInstallFolder)
{
    std::vector<LANGID> languages;
    EXPECT_EQ(helper.GetInstalledLanguages(&languages), FALSE);  // empty Res
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir");
    install.AddLanguage(L"0409");
    EXPECT_EQ(helper.GetInstalledLanguages(&languages), FALSE);
    EXPECT_TRUE(languages.empty());
}
