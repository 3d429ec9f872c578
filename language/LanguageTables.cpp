#include "LanguageTables.h"

namespace orn {
namespace language {

// The tables are laid out by hand, grouped as the comments say.
// clang-format off

// Listed by target; every target also maps to itself. Spanish folds into the
// traditional sort 0x040a, and Catalan with it.
const LanguageFold kRegionalVariants[] = {
    // English (United States)
    {0x0409, 0x0409}, {0x0809, 0x0409}, {0x0c09, 0x0409}, {0x1009, 0x0409}, {0x1409, 0x0409},
    {0x1809, 0x0409}, {0x1c09, 0x0409}, {0x2009, 0x0409}, {0x2409, 0x0409}, {0x2809, 0x0409},
    {0x2c09, 0x0409}, {0x3009, 0x0409}, {0x3409, 0x0409},
    // German
    {0x0407, 0x0407}, {0x0807, 0x0407}, {0x0c07, 0x0407}, {0x1007, 0x0407}, {0x1407, 0x0407},
    // French
    {0x040c, 0x040c}, {0x080c, 0x040c}, {0x0c0c, 0x040c}, {0x100c, 0x040c}, {0x140c, 0x040c},
    {0x180c, 0x040c},
    // Italian, Dutch, Norwegian, Swedish
    {0x0410, 0x0410}, {0x0810, 0x0410},
    {0x0413, 0x0413}, {0x0813, 0x0413},
    {0x0414, 0x0414}, {0x0814, 0x0414},
    {0x041d, 0x041d}, {0x081d, 0x041d},
    // Spanish (traditional sort) and Catalan
    {0x040a, 0x040a}, {0x080a, 0x040a}, {0x0c0a, 0x040a}, {0x100a, 0x040a}, {0x140a, 0x040a},
    {0x180a, 0x040a}, {0x1c0a, 0x040a}, {0x200a, 0x040a}, {0x240a, 0x040a}, {0x280a, 0x040a},
    {0x2c0a, 0x040a}, {0x300a, 0x040a}, {0x340a, 0x040a}, {0x380a, 0x040a}, {0x3c0a, 0x040a},
    {0x400a, 0x040a}, {0x440a, 0x040a}, {0x480a, 0x040a}, {0x4c0a, 0x040a}, {0x500a, 0x040a},
    {0x0403, 0x040a},
    // Chinese (Traditional), Chinese (Simplified)
    {0x0404, 0x0404}, {0x0c04, 0x0404}, {0x1404, 0x0404},
    {0x0804, 0x0804}, {0x1004, 0x0804},
};
const std::size_t kRegionalVariantCount = sizeof(kRegionalVariants) / sizeof(kRegionalVariants[0]);

// AZE and UZB stand for the Cyrillic variants (0x082c, 0x0843), unlike the
// platform's own abbreviations.
const LanguageAbbrev kAbbreviations[] = {
    // Arabic
    {L"ARA", 0x0401}, {L"ARI", 0x0801}, {L"ARE", 0x0c01}, {L"ARL", 0x1001}, {L"ARG", 0x1401},
    {L"ARM", 0x1801}, {L"ART", 0x1c01}, {L"ARO", 0x2001}, {L"ARY", 0x2401}, {L"ARS", 0x2801},
    {L"ARJ", 0x2c01}, {L"ARB", 0x3001}, {L"ARK", 0x3401}, {L"ARU", 0x3801}, {L"ARH", 0x3c01},
    {L"ARQ", 0x4001},
    // Bulgarian, Catalan, Czech, Danish
    {L"BGR", 0x0402}, {L"CAT", 0x0403}, {L"CSY", 0x0405}, {L"DAN", 0x0406},
    // Chinese
    {L"CHT", 0x0404}, {L"CHS", 0x0804}, {L"ZHH", 0x0c04}, {L"ZHI", 0x1004}, {L"ZHM", 0x1404},
    // German
    {L"DEU", 0x0407}, {L"DES", 0x0807}, {L"DEA", 0x0c07}, {L"DEL", 0x1007}, {L"DEC", 0x1407},
    // Greek
    {L"ELL", 0x0408},
    // English
    {L"ENU", 0x0409}, {L"ENG", 0x0809}, {L"ENA", 0x0c09}, {L"ENC", 0x1009}, {L"ENZ", 0x1409},
    {L"ENI", 0x1809}, {L"ENS", 0x1c09}, {L"ENJ", 0x2009}, {L"ENB", 0x2409}, {L"ENL", 0x2809},
    {L"ENT", 0x2c09}, {L"ENW", 0x3009}, {L"ENP", 0x3409},
    // Spanish
    {L"ESP", 0x040a}, {L"ESM", 0x080a}, {L"ESN", 0x0c0a}, {L"ESG", 0x100a}, {L"ESC", 0x140a},
    {L"ESA", 0x180a}, {L"ESD", 0x1c0a}, {L"ESV", 0x200a}, {L"ESO", 0x240a}, {L"ESR", 0x280a},
    {L"ESS", 0x2c0a}, {L"ESF", 0x300a}, {L"ESL", 0x340a}, {L"ESY", 0x380a}, {L"ESZ", 0x3c0a},
    {L"ESB", 0x400a}, {L"ESE", 0x440a}, {L"ESH", 0x480a}, {L"ESI", 0x4c0a}, {L"ESU", 0x500a},
    // Finnish
    {L"FIN", 0x040b},
    // French
    {L"FRA", 0x040c}, {L"FRB", 0x080c}, {L"FRC", 0x0c0c}, {L"FRS", 0x100c}, {L"FRL", 0x140c},
    {L"FRM", 0x180c},
    // Hebrew, Hungarian, Icelandic
    {L"HEB", 0x040d}, {L"HUN", 0x040e}, {L"ISL", 0x040f},
    // Italian
    {L"ITA", 0x0410}, {L"ITS", 0x0810},
    // Japanese, Korean
    {L"JPN", 0x0411}, {L"KOR", 0x0412},
    // Dutch
    {L"NLD", 0x0413}, {L"NLB", 0x0813},
    // Norwegian
    {L"NOR", 0x0414}, {L"NON", 0x0814},
    // Polish
    {L"PLK", 0x0415},
    // Portuguese
    {L"PTB", 0x0416}, {L"PTG", 0x0816},
    // Romanian, Russian
    {L"ROM", 0x0418}, {L"RUS", 0x0419},
    // Croatian and Serbian
    {L"HRV", 0x041a}, {L"SRL", 0x081a}, {L"SRB", 0x0c1a},
    // Slovak, Albanian
    {L"SKY", 0x041b}, {L"SQI", 0x041c},
    // Swedish
    {L"SVE", 0x041d}, {L"SVF", 0x081d},
    // Thai, Turkish, Urdu, Indonesian, Ukrainian, Belarusian, Slovenian, Estonian, Latvian,
    // Lithuanian
    {L"THA", 0x041e}, {L"TRK", 0x041f}, {L"URD", 0x0420}, {L"IND", 0x0421}, {L"UKR", 0x0422},
    {L"BEL", 0x0423}, {L"SLV", 0x0424}, {L"ETI", 0x0425}, {L"LVI", 0x0426}, {L"LTH", 0x0427},
    // Farsi, Vietnamese, Armenian
    {L"FAR", 0x0429}, {L"VIT", 0x042a}, {L"HYE", 0x042b},
    // Azeri
    {L"AZE", 0x082c},
    // Basque, Macedonian
    {L"EUQ", 0x042d}, {L"MKI", 0x042f},
    // Afrikaans, Georgian, Faroese, Hindi
    {L"AFK", 0x0436}, {L"KAT", 0x0437}, {L"FOS", 0x0438}, {L"HIN", 0x0439},
    // Malay
    {L"MSL", 0x043e}, {L"MSB", 0x083e},
    // Kazakh, Kyrgyz, Swahili
    {L"KKZ", 0x043f}, {L"KYR", 0x0440}, {L"SWK", 0x0441},
    // Uzbek
    {L"UZB", 0x0843},
    // Tatar, Punjabi, Gujarati, Tamil, Telugu, Kannada
    {L"TTT", 0x0444}, {L"PAN", 0x0446}, {L"GUJ", 0x0447}, {L"TAM", 0x0449}, {L"TEL", 0x044a},
    {L"KAN", 0x044b},
    // Marathi, Sanskrit, Mongolian
    {L"MAR", 0x044e}, {L"SAN", 0x044f}, {L"MON", 0x0450},
    // Galician, Konkani, Syriac, Divehi
    {L"GLC", 0x0456}, {L"KNK", 0x0457}, {L"SYR", 0x045a}, {L"DIV", 0x0465},
};
const std::size_t kAbbreviationCount = sizeof(kAbbreviations) / sizeof(kAbbreviations[0]);

// The product's right-to-left list, which its other components share:
// 0x0446 (Punjabi) and 0x0442 (Turkmen) included.
const LANGID kRightToLeftLanguages[] = {
    0x0401, 0x0801, 0x0c01, 0x1001, 0x1401, 0x1801, 0x1c01, 0x2001,
    0x2401, 0x2801, 0x2c01, 0x3001, 0x3401, 0x3801, 0x3c01, 0x4001,
    0x0429,  // Farsi
    0x0463,  // Pashto
    0x0446,  // Punjabi
    0x0442,  // Turkmen
    0x0480,  // Uyghur
    0x040d,  // Hebrew
    0x045a,  // Syriac
    0x0465,  // Divehi
    0x0420,  // Urdu, Pakistan
    0x0820,  // Urdu, India
};
const std::size_t kRightToLeftLanguageCount =
    sizeof(kRightToLeftLanguages) / sizeof(kRightToLeftLanguages[0]);

// clang-format on

}  // namespace language
}  // namespace orn
