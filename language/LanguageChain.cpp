// The decision chain of the language class: the stored choice, then the
// user's, the system's and the partner's default language, each taken when
// it (or the variant shipped for it) has a resource folder; English last.
#include "MUIHelper.h"

#include "LanguageDetail.h"
#include "LanguageTables.h"
#include "ProductKeys.h"

using namespace orn::language;

LCID CMUIHelper::GetUILanguage()
{
    return ResolveUILanguage();
}

std::wstring CMUIHelper::GetUILanguageFolder()
{
    return LanguageHex(LOWORD(GetUILanguage()));
}

LCID CMUIHelper::ResolveUILanguage()
{
    // A stored choice is the user's word: taken whole, folder or not.
    DWORD stored = 0;
    if (ReadPreferredLanguage(stored))
        return stored;

    LANGID language = GetUserDefaultUILanguage();
    if (AcceptLanguage(language))
        return ConvertDefaultLocale(language);

    language = GetSystemDefaultUILanguage();
    if (AcceptLanguage(language))
        return language;

    language = GetPartnerDefaultLanguage();
    if (AcceptLanguage(language))
        return ConvertDefaultLocale(language);

    return ConvertDefaultLocale(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
}

bool CMUIHelper::AcceptLanguage(LANGID& language)
{
    if (IsLanguageInstalled(language))
        return true;
    LANGID shipped = language;
    if (MapToSupportedLanguage(shipped) && IsLanguageInstalled(shipped)) {
        language = shipped;
        return true;
    }
    return false;
}

BOOL CMUIHelper::ReadPreferredLanguage(DWORD& value)
{
    return ReadLanguageValue(HKEY_CURRENT_USER, value) ? TRUE : FALSE;
}

BOOL CMUIHelper::IsLanguageInstalled(LANGID language)
{
    wchar_t folder[installFolderChars];
    if (!ReadInstallFolder(folder))
        return FALSE;
    // Joined as stored: a trailing backslash doubles the separator, which the
    // file system accepts.
    const std::wstring path = folder + (productFiles::languageFolders + LanguageHex(language));
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES ? TRUE : FALSE;
}

LANGID CMUIHelper::GetPartnerDefaultLanguage()
{
    std::wstring text;
    if (!ReadRegistryString(HKEY_LOCAL_MACHINE, agentKey, L"szPartnerDefaultLanguage",
                            kPathValueLimit, text))
        return 0;
    return LOWORD(static_cast<DWORD>(ParseDecimal(text)));
}

BOOL CMUIHelper::MapToSupportedLanguage(LANGID& language)
{
    for (std::size_t i = 0; i < kRegionalVariantCount; ++i) {
        if (kRegionalVariants[i].input == language) {
            language = kRegionalVariants[i].target;
            return TRUE;
        }
    }
    return FALSE;
}

void CMUIHelper::Destroy()
{
    delete this;
}
