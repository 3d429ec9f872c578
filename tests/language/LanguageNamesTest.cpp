// Language identifiers, abbreviations, right-to-left languages and locale text.
#include "LanguageDetail.h"
#include "LanguageTables.h"
#include "MUIHelper.h"

#include "LanguageTestSupport.h"

#include <set>

using namespace orn::language;

TEST(LanguageTables, RowCountsAndUniqueness)
{
    EXPECT_EQ(kAbbreviationCount, 133u);
    EXPECT_EQ(kRightToLeftLanguageCount, 26u);
    std::set<std::wstring> abbrevs;
    std::set<LANGID> languages;
    for (std::size_t i = 0; i < kAbbreviationCount; ++i) {
        abbrevs.insert(kAbbreviations[i].abbrev);
        languages.insert(kAbbreviations[i].language);
    }
    EXPECT_EQ(abbrevs.size(), 133u);
    EXPECT_EQ(languages.size(), 133u);
    EXPECT_EQ(std::set<LANGID>(kRightToLeftLanguages, kRightToLeftLanguages + 26).size(), 26u);
}

TEST(LanguageFromAbbrev, WholeAbbreviationWithoutRegardToCase)
{
    CMUIHelper helper;
    const std::pair<const wchar_t*, LANGID> samples[] = {
        {L"CHS", 0x0804}, {L"CHT", 0x0404}, {L"ZHH", 0x0c04}, {L"AZE", 0x082c},
        {L"UZB", 0x0843}, {L"esn", 0x0c0a}, {L"enu", 0x0409}, {L"ARA", 0x0401},
        {L"ARQ", 0x4001}, {L"DIV", 0x0465}, {L"ESU", 0x500a}, {L"SRB", 0x0c1a},
        {L"Deu", 0x0407}, {L"TTT", 0x0444}, {L"MSB", 0x083e},
    };
    for (const auto& sample : samples)
        EXPECT_EQ(helper.LanguageFromAbbrev(sample.first), sample.second) << sample.first;
    for (const wchar_t* unknown : {L"XYZ", L"ENUS", L"EN", L"", L"EN U", L"AZL"})
        EXPECT_EQ(helper.LanguageFromAbbrev(unknown), 0) << unknown;
    EXPECT_EQ(helper.LanguageFromAbbrev(std::wstring(L"ENU\0X", 5)), 0);
}

TEST(RightToLeft, TableAndHexadecimalText)
{
    CMUIHelper helper;
    for (LANGID language : {0x0401, 0x4001, 0x040d, 0x0446, 0x0442, 0x0820, 0x0480})
        EXPECT_EQ(helper.IsRightToLeftLanguage(language), TRUE) << std::hex << language;
    for (LANGID language : {0x0409, 0x0419, 0x0000, 0x4401, 0x0846})
        EXPECT_EQ(helper.IsRightToLeftLanguage(language), FALSE) << std::hex << language;

    EXPECT_EQ(helper.IsRightToLeftLanguageHex(L"040d"), TRUE);
    EXPECT_EQ(helper.IsRightToLeftLanguageHex(L"040D"), TRUE);
    EXPECT_EQ(helper.IsRightToLeftLanguageHex(L"040d9"), TRUE);  // four digits only
    EXPECT_EQ(helper.IsRightToLeftLanguageHex(L"zz"), FALSE);    // reads as 0x0409
    EXPECT_EQ(helper.IsRightToLeftLanguageHex(L""), FALSE);
    EXPECT_EQ(helper.IsRightToLeftLanguageHex(L"401"), TRUE);
    EXPECT_EQ(helper.IsRightToLeftLanguageHex(L" 401"), FALSE);
}

TEST(HexDigits, ScanningRule)
{
    EXPECT_EQ(ReadHexDigits(L"0409x", 4, 0x0409), 0x0409u);
    EXPECT_EQ(ReadHexDigits(L"Temp", 4, 0x0409), 0x0409u);
    EXPECT_EQ(ReadHexDigits(L"Common", 4, 0x0409), 0x000cu);
    EXPECT_EQ(ReadHexDigits(L"fFfF1", 4, 0), 0xffffu);
    EXPECT_EQ(ReadHexDigits(L"-1", 4, 7), 7u);
    EXPECT_EQ(ReadHexDigits(L"0x12", 4, 7), 0u);
    EXPECT_EQ(ReadHexDigits(L"a", 2, 0), 0xau);
}

TEST(LocaleText, ShortAndLongTexts)
{
    EXPECT_EQ(LocaleText(0x0409, LOCALE_SABBREVLANGNAME), L"ENU");
    // Longer than the first 32-character buffer: fetched whole.
    wchar_t expected[128] = {};
    ASSERT_GT(GetLocaleInfoW(0x201a, LOCALE_SENGLISHDISPLAYNAME, expected, 128), 32);
    EXPECT_EQ(LocaleText(0x201a, LOCALE_SENGLISHDISPLAYNAME), expected);
    EXPECT_EQ(LocaleText(0x0fff, LOCALE_SABBREVLANGNAME), L"");  // no such locale
}

TEST(LanguageNames, OperationsOnTheLanguageArgument)
{
    CMUIHelper helper;
    EXPECT_EQ(helper.GetLanguageEnglishName(0x0409), L"English");
    EXPECT_EQ(helper.GetLanguageEnglishName(0x0407), L"German");
    EXPECT_EQ(helper.GetLanguageAbbrev(0x0407), L"DEU");
    EXPECT_EQ(helper.GetLanguageAbbrev(0x0c0a), L"ESN");
    EXPECT_EQ(helper.GetLanguageAbbrev(0x0fff), L"");
}

TEST(LanguageNames, SystemLanguageForms)
{
    CMUIHelper helper;
    const LANGID system = GetSystemDefaultUILanguage();
    EXPECT_EQ(helper.GetSystemUILanguage(), system);
    EXPECT_EQ(helper.GetSystemUILanguageHex(), LanguageHex(system));
    EXPECT_EQ(helper.GetSystemUILanguageHex().size(), 4u);
    EXPECT_EQ(helper.GetSystemUILocale(), ConvertDefaultLocale(system));
    EXPECT_EQ(helper.GetSystemLocaleHex(), LocaleHex(GetSystemDefaultLCID()));
    EXPECT_EQ(helper.GetSystemLocaleHex().size(), 8u);
    EXPECT_EQ(helper.GetSystemUILanguageAbbrev(), LocaleText(system, LOCALE_SABBREVLANGNAME));
    EXPECT_EQ(helper.GetSystemUILanguageAbbrev().size(), 3u);
}

TEST(SystemUILanguages, AppendsWithoutEmptying)
{
    CMUIHelper helper;
    std::vector<std::wstring> languages{L"keep"};
    EXPECT_NE(helper.EnumSystemUILanguages(languages), FALSE);
    ASSERT_GT(languages.size(), 1u);
    EXPECT_EQ(languages.front(), L"keep");
    EXPECT_EQ(languages[1].size(), 4u);
}

namespace {

// Wine lists every language it knows as installed, so one UI language can
// only be had by replacing the enumeration.
class SingleUILanguage : public CMUIHelper {
public:
    BOOL EnumSystemUILanguages(std::vector<std::wstring>& languages) override
    {
        languages.push_back(L"0409");
        ++calls;
        return TRUE;
    }
    int calls = 0;
};

}  // namespace

TEST(UserLanguage, UILanguageWhenSeveralElseRegionalSettings)
{
    CMUIHelper helper;
    EXPECT_EQ(helper.GetUserLanguage(), GetUserDefaultUILanguage());
    SingleUILanguage single;
    EXPECT_EQ(single.GetUserLanguage(), GetUserDefaultLangID());
    EXPECT_EQ(single.calls, 1);
}
