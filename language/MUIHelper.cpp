#include "MUIHelper.h"

#include "LanguageDetail.h"
#include "LanguageTables.h"
#include "ProductKeys.h"
#include "UniqueResource.h"

#include <cwchar>

using namespace orn::language;
using orn::unique_find;
using orn::unique_hkey;

namespace {

// Keys of HKEY_CURRENT_USER only; the product's HKLM keys are in ProductKeys.h.
const wchar_t kRegistrationKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\Agent\\Registration";
const wchar_t kTarncoreKey[] = L"SOFTWARE\\Quarvel\\Nimbalcore\\Tarncore";
const wchar_t kPathmorrowKey[] = L"SOFTWARE\\Pathmorrow";

const std::size_t kShortValueLimit = 31;
const std::size_t kPathValueLimit = 259;
const std::size_t kArgumentLimit = 258;
const REGSAM kReadWrite = KEY_READ | KEY_WRITE;

bool ReadInstallDir(std::wstring& folder)
{
    return ReadRegistryString(HKEY_LOCAL_MACHINE, installKeyNative, installDirValue, kPathValueLimit,
                              folder);
}

bool ReadLanguageValue(HKEY root, DWORD& value)
{
    std::wstring text;
    if (!ReadRegistryString(root, desktopUIKey, L"LANGID", kShortValueLimit, text))
        return false;
    value = static_cast<DWORD>(ParseDecimal(text));
    return value != 0;
}

bool KeyExists(HKEY root, const wchar_t* subKey)
{
    unique_hkey key;
    return OpenProductKey(root, subKey, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool WriteString(HKEY key, const wchar_t* name, const std::wstring& text)
{
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          bytes) == ERROR_SUCCESS;
}

// Creates the key when missing and writes one string into it; best effort.
void WriteCopy(const wchar_t* subKey, const wchar_t* name, const std::wstring& text)
{
    unique_hkey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, kReadWrite,
                        nullptr, key.put(), nullptr) == ERROR_SUCCESS)
        WriteString(key.get(), name, text);
}

void DeleteCopy(const wchar_t* subKey, const wchar_t* name)
{
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey, 0, kReadWrite, key.put()) == ERROR_SUCCESS)
        RegDeleteValueW(key.get(), name);
}

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

int AppendLanguage(LANGID language, void* context)
{
    if (context)
        static_cast<std::vector<LANGID>*>(context)->push_back(language);
    return 1;
}

}  // namespace

// --- Resolution of the user-interface language ---

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
    std::wstring folder;
    if (!ReadInstallDir(folder))
        return FALSE;
    // Joined as stored: a trailing backslash doubles the separator, which the
    // file system accepts.
    const std::wstring path = folder + L"\\Agent\\Res\\" + LanguageHex(language);
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

// --- Identifiers and locale names ---

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
        if (CompareStringOrdinal(abbrev.c_str(), length, kAbbreviations[i].abbrev, -1, TRUE)
            == CSTR_EQUAL)
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

// --- Installed and partner-supported languages ---

BOOL CMUIHelper::IsPartnerSupportedLanguage(LANGID language, std::wstring folder,
                                            std::wstring bitmask)
{
    const std::wstring languageHex = LanguageHex(language);

    // The install folder wins over the folder argument; each names its own
    // list file.
    std::wstring listFile;
    std::wstring installDir;
    if (ReadInstallDir(installDir)) {
        listFile = installDir + L"\\Agent\\Languages.xml";
    } else if (!folder.empty()) {
        if (folder.size() > kArgumentLimit)
            return FALSE;
        listFile = folder + L"\\Languages.xml";
    } else {
        return FALSE;
    }

    if (GetFileAttributesW(listFile.c_str()) == INVALID_FILE_ATTRIBUTES)
        return IsLanguageInstalled(language);
    const int position = ReadLanguageBitPosition(listFile, languageHex);
    if (position == -1)
        return IsLanguageInstalled(language);

    std::wstring mask;
    if (!ReadRegistryString(HKEY_LOCAL_MACHINE, agentKey, L"szPartnerSupportedInstalledLanguages",
                            kPathValueLimit, mask)) {
        if (bitmask.empty() || bitmask.size() > kArgumentLimit)
            return IsLanguageInstalled(language);
        mask = bitmask;
    }
    // From here the bitmask alone decides, whatever folders exist.
    return IsPartnerBitSet(mask, position) ? TRUE : FALSE;
}

BOOL CMUIHelper::SetPartnerSupportedLanguages(std::wstring bitmask)
{
    if (bitmask.empty())
        return FALSE;
    unique_hkey key;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, agentKey, kReadWrite, key.put()) != ERROR_SUCCESS)
        return FALSE;
    return WriteString(key.get(), L"szPartnerSupportedInstalledLanguages", bitmask) ? TRUE : FALSE;
}

BOOL CMUIHelper::EnumInstalledLanguages(LanguageCallback callback, void* context)
{
    std::wstring installDir;
    if (!ReadInstallDir(installDir))
        return FALSE;
    const std::wstring pattern = installDir + L"\\Agent\\Res\\*";
    WIN32_FIND_DATAW entry;
    unique_find search(FindFirstFileW(pattern.c_str(), &entry));
    if (!search)
        return FALSE;

    BOOL reported = FALSE;
    do {
        if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0)
            continue;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        // A name without a leading hexadecimal digit keeps English.
        const LANGID language =
            static_cast<LANGID>(ReadHexDigits(entry.cFileName, 4, 0x0409) & 0xFFFF);
        if (IsValidLocale(language, LCID_SUPPORTED) && callback) {
            reported = TRUE;
            if (!callback(language, context))
                break;
        }
    } while (FindNextFileW(search.get(), &entry));
    return reported;
}

BOOL CMUIHelper::GetInstalledLanguages(std::vector<LANGID>* languages)
{
    return EnumInstalledLanguages(AppendLanguage, languages);
}

// --- Preference storage ---

BOOL CMUIHelper::ReadPreferredLanguageFromRoot(DWORD& value, HKEY root)
{
    return ReadLanguageValue(root, value) ? TRUE : FALSE;
}

BOOL CMUIHelper::GetPreferredLanguage(LANGID& language)
{
    DWORD value = 0;
    const BOOL found = ReadPreferredLanguage(value);
    if (found)
        language = LOWORD(value);
    return found;
}

BOOL CMUIHelper::GetPreferredLanguageHex(std::wstring& hex)
{
    LANGID language = 0;
    const BOOL found = GetPreferredLanguage(language);
    if (found)
        hex = LanguageHex(language);
    return found;
}

BOOL CMUIHelper::GetPreferredLocaleHex(std::wstring& hex)
{
    DWORD value = 0;
    const BOOL found = ReadPreferredLanguage(value);
    if (found)
        hex = LocaleHex(value);
    return found;
}

BOOL CMUIHelper::GetPreferredLanguageAbbrev(std::wstring& abbrev)
{
    DWORD value = 0;
    if (!ReadPreferredLanguage(value))
        return FALSE;
    abbrev = LocaleText(value, LOCALE_SABBREVLANGNAME);
    return TRUE;
}

BOOL CMUIHelper::SetPreferredLanguage(DWORD value)
{
    unique_hkey desktopUI;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, desktopUIKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        kReadWrite, nullptr, desktopUI.put(), nullptr) != ERROR_SUCCESS)
        return FALSE;
    wchar_t text[32];
    std::swprintf(text, 32, L"%u", static_cast<unsigned>(value));
    if (!WriteString(desktopUI.get(), L"LANGID", text))
        return FALSE;

    // The sibling components keep the choice in their own formats; their
    // copies are best effort and never change the answer.
    const unsigned long language = LOWORD(value);
    if (KeyExists(HKEY_LOCAL_MACHINE, corvaneComponentKey)) {
        std::swprintf(text, 32, L"%02lx%02lx", language & 0x3FFul, language >> 10);
        WriteCopy(kTarncoreKey, L"PreferredLanguage", text);
    }
    if (KeyExists(HKEY_LOCAL_MACHINE, surfwardenComponentKey)) {
        std::swprintf(text, 32, L"0x%04x", static_cast<unsigned>(language));
        WriteCopy(kPathmorrowKey, L"LanguageOverride", text);
    }
    return TRUE;
}

BOOL CMUIHelper::ClearPreferredLanguage()
{
    unique_hkey desktopUI;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, desktopUIKey, 0, kReadWrite, desktopUI.put())
        != ERROR_SUCCESS)
        return FALSE;
    // Only a value the chain would read is ours to remove.
    std::wstring current;
    if (!ReadStringValue(desktopUI.get(), L"LANGID", kShortValueLimit, current))
        return TRUE;
    if (RegDeleteValueW(desktopUI.get(), L"LANGID") != ERROR_SUCCESS)
        return FALSE;

    if (KeyExists(HKEY_LOCAL_MACHINE, corvaneComponentKey))
        DeleteCopy(kTarncoreKey, L"PreferredLanguage");
    if (KeyExists(HKEY_LOCAL_MACHINE, surfwardenComponentKey))
        DeleteCopy(kPathmorrowKey, L"LanguageOverride");
    return TRUE;
}

std::wstring CMUIHelper::GetCountryParameter()
{
    std::wstring country;
    if (ReadRegistryString(HKEY_CURRENT_USER, kRegistrationKey, L"szCountry", kShortValueLimit,
                           country))
        return L"cCountryISO=" + country;
    return L"CountryCulture=" + LocaleText(GetUserDefaultLCID(), LOCALE_SISO3166CTRYNAME);
}
