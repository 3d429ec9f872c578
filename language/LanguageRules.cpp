#include "LanguageDetail.h"

#include "HexDigit.h"
#include "ProductKeys.h"

#include <cwchar>
#include <vector>

namespace orn {
namespace language {

bool ReadLanguageValue(HKEY root, DWORD& value)
{
    std::wstring text;
    if (!ReadRegistryString(root, desktopUIKey, L"LANGID", kShortValueLimit, text))
        return false;
    value = static_cast<DWORD>(ParseDecimal(text));
    return value != 0;
}

bool WriteStringValue(HKEY key, const wchar_t* name, const std::wstring& text)
{
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          bytes) == ERROR_SUCCESS;
}

long ParseDecimal(const std::wstring& text)
{
    return std::wcstol(text.c_str(), nullptr, 10);
}

unsigned ReadHexDigits(const wchar_t* text, std::size_t maxDigits, unsigned fallback)
{
    unsigned value = 0;
    std::size_t digits = 0;
    for (; text && digits < maxDigits; ++digits) {
        const int digit = orn::hexDigitValue(text[digits]);
        if (digit < 0)
            break;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return digits == 0 ? fallback : value;
}

std::wstring LanguageHex(LANGID language)
{
    wchar_t buffer[32];
    std::swprintf(buffer, 32, L"%04x", static_cast<unsigned>(language));
    return buffer;
}

std::wstring LocaleHex(DWORD locale)
{
    wchar_t buffer[32];
    std::swprintf(buffer, 32, L"%08x", static_cast<unsigned>(locale));
    return buffer;
}

std::wstring LocaleText(LCID locale, LCTYPE type)
{
    wchar_t buffer[32] = {};
    if (GetLocaleInfoW(locale, type, buffer, 32) == 0 &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        const int needed = GetLocaleInfoW(locale, type, nullptr, 0);
        if (needed <= 0)
            return std::wstring();
        std::vector<wchar_t> large(static_cast<std::size_t>(needed) + 1, L'\0');
        GetLocaleInfoW(locale, type, large.data(), needed);
        return large.data();
    }
    return std::wstring(buffer, wcsnlen(buffer, 32));
}

bool IsPartnerBitSet(const std::wstring& bitmask, int position)
{
    const std::wstring text = bitmask.size() % 2 ? L"0" + bitmask : bitmask;
    const std::size_t bytes = text.size() / 2;
    const unsigned long bit = static_cast<unsigned long>(static_cast<unsigned>(position));
    if (bit >= 8ul * bytes)
        return false;
    const std::size_t byteIndex = bytes - 1 - bit / 8;
    const unsigned value = ReadHexDigits(text.c_str() + 2 * byteIndex, 2, 0);
    return (value >> (bit % 8)) & 1u;
}

}  // namespace language
}  // namespace orn
