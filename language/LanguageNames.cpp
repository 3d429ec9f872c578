// Language identifiers, abbreviations, right-to-left languages and locale
// text: the class's questions about languages that no stored choice changes.
#include "MUIHelper.h"

#include "LanguageDetail.h"
#include "LanguageTables.h"

using namespace orn::language;

namespace {

BOOL CALLBACK CollectUILanguage(LPWSTR language, LONG_PTR context)
{
    // No exception may unwind through the platform's frames.
    auto* collect = reinterpret_cast<std::pair<std::vector<std::wstring>*, bool>*>(context);
    try {
        collect->first->push_back(language);
        return TRUE;
    } catch (const std::bad_alloc&) {
        collect->second = true;
        return FALSE;
    }
}

}  // namespace

std::wstring CMUIHelper::GetSystemUILanguageAbbrev()
{
    return LocaleText(GetSystemUILocale(), LOCALE_SABBREVLANGNAME);
}

LANGID CMUIHelper::GetSystemUILanguage()
{
    return GetSystemDefaultUILanguage();
}

std::wstring CMUIHelper::GetSystemUILanguageHex()
{
    return LanguageHex(GetSystemDefaultUILanguage());
}

LCID CMUIHelper::GetSystemUILocale()
{
    return ConvertDefaultLocale(GetSystemDefaultUILanguage());
}

std::wstring CMUIHelper::GetSystemLocaleHex()
{
    return LocaleHex(GetSystemDefaultLCID());
}

std::wstring CMUIHelper::GetUILanguageAbbrev()
{
    return LocaleText(ResolveUILanguage(), LOCALE_SABBREVLANGNAME | LOCALE_NOUSEROVERRIDE);
}

std::wstring CMUIHelper::GetUILocaleHex()
{
    return LocaleHex(ResolveUILanguage());
}

std::wstring CMUIHelper::GetLanguageEnglishName(LANGID language)
{
    return LocaleText(language, LOCALE_SENGLANGUAGE);
}

std::wstring CMUIHelper::GetLanguageAbbrev(LANGID language)
{
    return LocaleText(language, LOCALE_SABBREVLANGNAME | LOCALE_NOUSEROVERRIDE);
}

LANGID CMUIHelper::LanguageFromAbbrev(std::wstring abbrev)
{
    const int length = static_cast<int>(abbrev.size());
    for (std::size_t i = 0; i < kAbbreviationCount; ++i) {
        if (CompareStringOrdinal(abbrev.c_str(), length, kAbbreviations[i].abbrev, -1, TRUE) ==
            CSTR_EQUAL)
            return kAbbreviations[i].language;
    }
    return 0;
}

BOOL CMUIHelper::IsRightToLeftLanguage(LANGID language)
{
    for (std::size_t i = 0; i < kRightToLeftLanguageCount; ++i) {
        if (kRightToLeftLanguages[i] == language)
            return TRUE;
    }
    return FALSE;
}

BOOL CMUIHelper::IsRightToLeftLanguageHex(std::wstring languageHex)
{
    const unsigned language = ReadHexDigits(languageHex.c_str(), 4, 0x0409);
    return IsRightToLeftLanguage(static_cast<LANGID>(language & 0xFFFF));
}

BOOL CMUIHelper::EnumSystemUILanguages(std::vector<std::wstring>& languages)
{
    std::pair<std::vector<std::wstring>*, bool> collect(&languages, false);
    const BOOL result =
        EnumUILanguagesW(CollectUILanguage, 0, reinterpret_cast<LONG_PTR>(&collect));
    if (collect.second)
        throw std::bad_alloc();
    return result;
}

LANGID CMUIHelper::GetUserLanguage()
{
    std::vector<std::wstring> languages;
    EnumSystemUILanguages(languages);
    // With one UI language the regional settings say more about the user.
    return languages.size() > 1 ? GetUserDefaultUILanguage() : GetUserDefaultLangID();
}
