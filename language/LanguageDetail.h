#pragma once
// Reading rules shared by the operations of the language class. Exposed so
// that the rules can be checked on their own; not part of the class's
// interface.

#include "RegistryValues.h"

#include <windows.h>
#include <unknwn.h>

#include <cstddef>
#include <string>

namespace orn {
namespace language {

// The longest values the class reads: short settings (LANGID, szCountry),
// and paths and bitmasks; folder and bitmask arguments are refused above
// kArgumentLimit.
constexpr std::size_t kShortValueLimit = 31;
constexpr std::size_t kPathValueLimit = 259;
constexpr std::size_t kArgumentLimit = 258;
constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

// The stored choice (LANGID under the desktop key) of `root`; a value that
// reads as 0 counts as none.
bool ReadLanguageValue(HKEY root, DWORD& value);
bool WriteStringValue(HKEY key, const wchar_t* name, const std::wstring& text);

// The runtime's string-to-integer rule: white space, a sign, decimal digits;
// no digits gives 0. "0x0409" reads as 0, "1033abc" as 1033.
long ParseDecimal(const std::wstring& text);

// Up to `maxDigits` hexadecimal digits from the start of the text; `fallback`
// when the first character is not one. "040d9" with 4 digits reads as 0x040d.
unsigned ReadHexDigits(const wchar_t* text, std::size_t maxDigits, unsigned fallback);

// "%04x" and "%08x".
std::wstring LanguageHex(LANGID language);
std::wstring LocaleHex(DWORD locale);

// Locale text from the platform; a first try into 32 characters, and a
// buffer of the needed size when that one is too small. Empty on failure.
std::wstring LocaleText(LCID locale, LCTYPE type);

// Whether bit `position` is set in a big-endian hexadecimal bit field: "5"
// reads as "05" (positions 0 and 2), "0100" has position 8. Negative
// positions never match.
bool IsPartnerBitSet(const std::wstring& bitmask, int position);

// The "BitmaskBitPosition" of the first entry of the list file whose
// "langID" matches `languageHex` without regard to case; -1 when there is
// none. Throws MUIHelperOutOfMemory when a BSTR cannot be made.
int ReadLanguageBitPosition(const std::wstring& path, const std::wstring& languageHex);
// The same search in a document already loaded (the XML interface, passed
// as IUnknown so that this header needs no XML declarations).
int FindLanguageBitPosition(IUnknown* document, const std::wstring& languageHex);

}  // namespace language
}  // namespace orn
