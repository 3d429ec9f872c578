#pragma once
// The fixed language tables of the language class, kept as data.

#include <windows.h>

#include <cstddef>

namespace orn {
namespace language {

// A regional variant and the variant the product ships for it.
struct LanguageFold {
    LANGID input;
    LANGID target;
};

struct LanguageAbbrev {
    const wchar_t* abbrev;
    LANGID language;
};

extern const LanguageFold kRegionalVariants[];
extern const std::size_t kRegionalVariantCount;

extern const LanguageAbbrev kAbbreviations[];
extern const std::size_t kAbbreviationCount;

extern const LANGID kRightToLeftLanguages[];
extern const std::size_t kRightToLeftLanguageCount;

}  // namespace language
}  // namespace orn
