// Storing and clearing the user's language choice, its copies for the sibling
// components, and the country parameter.
#include "LanguageDetail.h"
#include "MUIHelper.h"

#include "LanguageTestSupport.h"

#include <cstring>

using namespace langtest;

namespace {

const wchar_t kCorvane[] = L"SOFTWARE\\Quarvel\\Hollowmere\\Agent\\Components\\CorvaneASaP";
const wchar_t kSurfwarden[] = L"SOFTWARE\\Quarvel\\Hollowmere\\Agent\\Components\\Surfwarden";
const wchar_t kTarncore[] = L"SOFTWARE\\Quarvel\\Nimbalcore\\Tarncore";
const wchar_t kPathmorrow[] = L"SOFTWARE\\Pathmorrow";
const wchar_t kRegistration[] = L"SOFTWARE\\Quarvel\\Hollowmere\\Agent\\Registration";

struct PreferenceTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(registry.ready()); }
    void BothComponents()
    {
        createKey(HKEY_LOCAL_MACHINE, kCorvane);
        createKey(HKEY_LOCAL_MACHINE, kSurfwarden);
    }
    std::wstring Stored() { return readString(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID"); }
    std::wstring TarncoreCopy() { return readString(HKEY_CURRENT_USER, kTarncore, L"PreferredLanguage"); }
    std::wstring PathmorrowCopy()
    {
        return readString(HKEY_CURRENT_USER, kPathmorrow, L"LanguageOverride");
    }

    RegistrySandbox registry{L"language"};
    CMUIHelper helper;
};

}  // namespace

TEST_F(PreferenceTest, SetWritesTheChoiceAndBothCopies)
{
    BothComponents();
    EXPECT_EQ(helper.SetPreferredLanguage(1033), TRUE);
    EXPECT_EQ(Stored(), L"1033");
    EXPECT_EQ(TarncoreCopy(), L"0901");
    EXPECT_EQ(PathmorrowCopy(), L"0x0409");

    EXPECT_EQ(helper.SetPreferredLanguage(0x0c0a), TRUE);
    EXPECT_EQ(Stored(), L"3082");
    EXPECT_EQ(TarncoreCopy(), L"0a03");
    EXPECT_EQ(PathmorrowCopy(), L"0x0c0a");

    EXPECT_EQ(helper.SetPreferredLanguage(0x0804), TRUE);
    EXPECT_EQ(TarncoreCopy(), L"0402");

    // The copies take the low 16 bits only.
    EXPECT_EQ(helper.SetPreferredLanguage(0x10407), TRUE);
    EXPECT_EQ(Stored(), L"66567");
    EXPECT_EQ(TarncoreCopy(), L"0701");
    EXPECT_EQ(PathmorrowCopy(), L"0x0407");
    EXPECT_EQ(helper.SetPreferredLanguage(0xFFFFFFFF), TRUE);
    EXPECT_EQ(Stored(), L"4294967295");
    EXPECT_EQ(TarncoreCopy(), L"3ff3f");
    EXPECT_EQ(PathmorrowCopy(), L"0xffff");
}

TEST_F(PreferenceTest, CopiesOnlyForInstalledComponents)
{
    EXPECT_EQ(helper.SetPreferredLanguage(1033), TRUE);
    EXPECT_EQ(Stored(), L"1033");
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kTarncore));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kPathmorrow));
    createKey(HKEY_LOCAL_MACHINE, kSurfwarden);
    EXPECT_EQ(helper.SetPreferredLanguage(1031), TRUE);
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kTarncore));
    EXPECT_EQ(PathmorrowCopy(), L"0x0407");
}

TEST_F(PreferenceTest, FailedCopyDoesNotChangeTheAnswer)
{
    BothComponents();
    // Below a volatile key no lasting key can be made: the copy fails. Its
    // parents are made first, as lasting keys.
    createKey(HKEY_CURRENT_USER, kDesktopUIKey);
    orn::unique_hkey volatileParent;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Quarvel\\Nimbalcore", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, volatileParent.put(),
                              nullptr), ERROR_SUCCESS);
    EXPECT_EQ(helper.SetPreferredLanguage(1036), TRUE);
    EXPECT_EQ(Stored(), L"1036");
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kTarncore));
    EXPECT_EQ(PathmorrowCopy(), L"0x040c");  // the other copy is still made
}

TEST_F(PreferenceTest, ReadBackForms)
{
    LANGID language = 0;
    std::wstring hex = L"unchanged";
    std::wstring abbrev = L"unchanged";
    EXPECT_EQ(helper.GetPreferredLanguage(language), FALSE);
    EXPECT_EQ(helper.GetPreferredLanguageHex(hex), FALSE);
    EXPECT_EQ(helper.GetPreferredLanguageAbbrev(abbrev), FALSE);
    EXPECT_EQ(hex, L"unchanged");
    EXPECT_EQ(abbrev, L"unchanged");

    ASSERT_EQ(helper.SetPreferredLanguage(0x10407), TRUE);
    EXPECT_EQ(helper.GetPreferredLanguage(language), TRUE);
    EXPECT_EQ(language, 0x0407);
    EXPECT_EQ(helper.GetPreferredLanguageHex(hex), TRUE);
    EXPECT_EQ(hex, L"0407");
    EXPECT_EQ(helper.GetPreferredLocaleHex(hex), TRUE);
    EXPECT_EQ(hex, L"00010407");

    ASSERT_EQ(helper.SetPreferredLanguage(1033), TRUE);
    EXPECT_EQ(helper.GetPreferredLanguageAbbrev(abbrev), TRUE);
    EXPECT_EQ(abbrev, L"ENU");
    ASSERT_EQ(helper.SetPreferredLanguage(0x0fff), TRUE);  // names no locale
    EXPECT_EQ(helper.GetPreferredLanguageAbbrev(abbrev), TRUE);
    EXPECT_EQ(abbrev, L"");
}

TEST_F(PreferenceTest, ClearRemovesTheChoiceAndItsCopies)
{
    EXPECT_EQ(helper.ClearPreferredLanguage(), FALSE);  // no DesktopUI key
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kDesktopUIKey));

    BothComponents();
    ASSERT_EQ(helper.SetPreferredLanguage(1033), TRUE);
    EXPECT_EQ(helper.ClearPreferredLanguage(), TRUE);
    EXPECT_EQ(Stored(), L"<absent>");
    EXPECT_EQ(TarncoreCopy(), L"<absent>");
    EXPECT_EQ(PathmorrowCopy(), L"<absent>");
    DWORD value = 0;
    EXPECT_EQ(helper.ReadPreferredLanguage(value), FALSE);
}

TEST_F(PreferenceTest, ClearWithoutReadableChoiceTouchesNothing)
{
    BothComponents();
    ASSERT_EQ(helper.SetPreferredLanguage(1033), TRUE);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID");
    EXPECT_EQ(helper.ClearPreferredLanguage(), TRUE);
    EXPECT_EQ(TarncoreCopy(), L"0901");  // copies stay
    EXPECT_EQ(PathmorrowCopy(), L"0x0409");

    const DWORD number = 1033;
    setValue(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID", REG_DWORD, &number, sizeof(number));
    EXPECT_EQ(helper.ClearPreferredLanguage(), TRUE);
    DWORD type = 0;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID", RRF_RT_ANY, &type, nullptr,
                           nullptr), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));  // not ours: it stays

    // Too long to be read: also left alone.
    setString(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID", std::wstring(32, L'1'));
    EXPECT_EQ(helper.ClearPreferredLanguage(), TRUE);
    EXPECT_EQ(Stored(), std::wstring(32, L'1'));
}

TEST_F(PreferenceTest, CountryParameter)
{
    EXPECT_EQ(helper.GetCountryParameter(),
              L"CountryCulture=" + orn::language::LocaleText(GetUserDefaultLCID(),
                                                              LOCALE_SISO3166CTRYNAME));
    setString(HKEY_CURRENT_USER, kRegistration, L"szCountry", L"DE");
    EXPECT_EQ(helper.GetCountryParameter(), L"cCountryISO=DE");
    setString(HKEY_CURRENT_USER, kRegistration, L"szCountry", L"");
    EXPECT_EQ(helper.GetCountryParameter(), L"cCountryISO=");
    setString(HKEY_CURRENT_USER, kRegistration, L"szCountry", std::wstring(32, L'X'));
    EXPECT_EQ(helper.GetCountryParameter().rfind(L"CountryCulture=", 0), 0u);
}

TEST_F(PreferenceTest, CountryFromTheUserLocale)
{
    const char* expected = std::getenv("ORN_EXPECT_COUNTRY");
    if (!expected)
        GTEST_SKIP() << "run with a known locale only";
    EXPECT_EQ(helper.GetCountryParameter(),
              L"CountryCulture=" + std::wstring(expected, expected + std::strlen(expected)));
}
