// The user's stored language choice, the copies kept for the sibling
// components, and the country parameter.
#include "MUIHelper.h"

#include "LanguageDetail.h"
#include "ProductKeys.h"
#include "UniqueResource.h"

#include <cwchar>

using namespace orn::language;
using orn::unique_hkey;

namespace {

// Keys of HKEY_CURRENT_USER only; the product's HKLM keys are in ProductKeys.h.
const wchar_t kRegistrationKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\Agent\\Registration";
const wchar_t kTarncoreKey[] = L"SOFTWARE\\Quarvel\\Nimbalcore\\Tarncore";
const wchar_t kPathmorrowKey[] = L"SOFTWARE\\Pathmorrow";

bool KeyExists(HKEY root, const wchar_t* subKey)
{
    unique_hkey key;
    return OpenProductKey(root, subKey, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Creates the key when missing and writes one string into it; best effort.
void WriteCopy(const wchar_t* subKey, const wchar_t* name, const std::wstring& text)
{
    unique_hkey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, kReadWrite,
                        nullptr, key.put(), nullptr) == ERROR_SUCCESS)
        WriteStringValue(key.get(), name, text);
}

void DeleteCopy(const wchar_t* subKey, const wchar_t* name)
{
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey, 0, kReadWrite, key.put()) == ERROR_SUCCESS)
        RegDeleteValueW(key.get(), name);
}

// The read-back forms of the stored choice: the caller's variable is written
// only when a choice was found. value is read once the read has filled it.
template <typename Value, typename Out, typename Convert>
BOOL StoreWhenFound(BOOL found, const Value& value, Out& out, Convert convert)
{
    if (found)
        out = convert(value);
    return found;
}

LANGID LowWord(DWORD value)
{
    return LOWORD(value);
}

std::wstring AbbreviationOf(DWORD locale)
{
    return LocaleText(locale, LOCALE_SABBREVLANGNAME);
}

}  // namespace

BOOL CMUIHelper::ReadPreferredLanguageFromRoot(DWORD& value, HKEY root)
{
    return ReadLanguageValue(root, value) ? TRUE : FALSE;
}

BOOL CMUIHelper::GetPreferredLanguage(LANGID& language)
{
    DWORD value = 0;
    return StoreWhenFound(ReadPreferredLanguage(value), value, language, LowWord);
}

BOOL CMUIHelper::GetPreferredLanguageHex(std::wstring& hex)
{
    LANGID language = 0;
    return StoreWhenFound(GetPreferredLanguage(language), language, hex, LanguageHex);
}

BOOL CMUIHelper::GetPreferredLocaleHex(std::wstring& hex)
{
    DWORD value = 0;
    return StoreWhenFound(ReadPreferredLanguage(value), value, hex, LocaleHex);
}

BOOL CMUIHelper::GetPreferredLanguageAbbrev(std::wstring& abbrev)
{
    DWORD value = 0;
    return StoreWhenFound(ReadPreferredLanguage(value), value, abbrev, AbbreviationOf);
}

BOOL CMUIHelper::SetPreferredLanguage(DWORD value)
{
    unique_hkey desktopUI;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, desktopUIKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        kReadWrite, nullptr, desktopUI.put(), nullptr) != ERROR_SUCCESS)
        return FALSE;
    wchar_t text[32];
    std::swprintf(text, 32, L"%u", static_cast<unsigned>(value));
    if (!WriteStringValue(desktopUI.get(), L"LANGID", text))
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
    if (RegOpenKeyExW(HKEY_CURRENT_USER, desktopUIKey, 0, kReadWrite, desktopUI.put()) !=
        ERROR_SUCCESS)
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
