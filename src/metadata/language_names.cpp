#include "metadata/language_names.h"

namespace tallory::metadata {

namespace {

// Ordered by primary language number, then sublanguage number, so that a lookup
// finds the same first match as a scan of the locale numbers would.
constexpr LanguageName kLanguages[] = {
    {"ARA", "Arabic (Saudi Arabia)"}, {"ARI", "Arabic (Iraq)"}, {"ARE", "Arabic (Egypt)"},
    {"BGR", "Bulgarian"}, {"CAT", "Catalan"}, {"CHT", "Chinese (Taiwan)"}, {"CHS", "Chinese (PRC)"},
    {"ZHH", "Chinese (Hong Kong S.A.R.)"}, {"ZHI", "Chinese (Singapore)"}, {"CSY", "Czech"},
    {"DAN", "Danish"}, {"DEU", "German (Germany)"}, {"DES", "German (Switzerland)"},
    {"DEA", "German (Austria)"}, {"DEL", "German (Luxembourg)"}, {"DEC", "German (Liechtenstein)"},
    {"ELL", "Greek"}, {"ENU", "English (United States)"}, {"ENG", "English (United Kingdom)"},
    {"ENA", "English (Australia)"}, {"ENC", "English (Canada)"}, {"ENZ", "English (New Zealand)"},
    {"ENI", "English (Ireland)"}, {"ENS", "English (South Africa)"}, {"ENJ", "English (Jamaica)"},
    {"ENB", "English (Caribbean)"}, {"ENL", "English (Belize)"}, {"ENT", "English (Trinidad)"},
    {"ESP", "Spanish (Traditional Sort)"}, {"ESM", "Spanish (Mexico)"}, {"ESN", "Spanish (International Sort)"},
    {"ESG", "Spanish (Guatemala)"}, {"ESC", "Spanish (Costa Rica)"}, {"ESA", "Spanish (Panama)"},
    {"ESD", "Spanish (Dominican Republic)"}, {"ESV", "Spanish (Venezuela)"}, {"ESO", "Spanish (Colombia)"},
    {"ESR", "Spanish (Peru)"}, {"ESS", "Spanish (Argentina)"}, {"ESF", "Spanish (Ecuador)"},
    {"ESL", "Spanish (Chile)"}, {"ESY", "Spanish (Uruguay)"}, {"ESZ", "Spanish (Paraguay)"},
    {"ESB", "Spanish (Bolivia)"}, {"ESE", "Spanish (El Salvador)"}, {"ESH", "Spanish (Honduras)"},
    {"ESI", "Spanish (Nicaragua)"}, {"ESU", "Spanish (Puerto Rico)"}, {"FIN", "Finnish"},
    {"FRA", "French (France)"}, {"FRB", "French (Belgium)"}, {"FRC", "French (Canada)"},
    {"FRS", "French (Switzerland)"}, {"FRL", "French (Luxembourg)"}, {"HEB", "Hebrew"},
    {"HUN", "Hungarian"}, {"ISL", "Icelandic"}, {"ITA", "Italian (Italy)"}, {"ITS", "Italian (Switzerland)"},
    {"JPN", "Japanese"}, {"KOR", "Korean"}, {"NLD", "Dutch (Netherlands)"}, {"NLB", "Dutch (Belgium)"},
    {"NOR", "Norwegian (Bokmal)"}, {"NON", "Norwegian (Nynorsk)"}, {"PLK", "Polish"},
    {"PTB", "Portuguese (Brazil)"}, {"PTG", "Portuguese (Portugal)"}, {"ROM", "Romanian"},
    {"RUS", "Russian"}, {"HRV", "Croatian"}, {"SRL", "Serbian (Latin)"}, {"SRB", "Serbian (Cyrillic)"},
    {"SKY", "Slovak"}, {"SQI", "Albanian"}, {"SVE", "Swedish"}, {"SVF", "Swedish (Finland)"},
    {"THA", "Thai"}, {"TRK", "Turkish"}, {"URD", "Urdu"}, {"IND", "Indonesian"}, {"UKR", "Ukrainian"},
    {"BEL", "Belarusian"}, {"SLV", "Slovenian"}, {"ETI", "Estonian"}, {"LVI", "Latvian"},
    {"LTH", "Lithuanian"}, {"FAR", "Farsi"}, {"VIT", "Vietnamese"}, {"HYE", "Armenian"},
    {"AZE", "Azeri (Latin)"}, {"EUQ", "Basque"}, {"MKI", "Macedonian"}, {"AFK", "Afrikaans"},
    {"KAT", "Georgian"}, {"FOS", "Faroese"}, {"HIN", "Hindi"}, {"MSL", "Malay (Malaysia)"},
    {"MSB", "Malay (Brunei Darussalam)"}, {"KKZ", "Kazakh"}, {"KYR", "Kyrgyz"}, {"SWK", "Swahili"},
    {"UZB", "Uzbek (Latin)"}, {"TTT", "Tatar"}, {"PAN", "Punjabi"}, {"GUJ", "Gujarati"}, {"TAM", "Tamil"},
    {"TEL", "Telugu"}, {"KAN", "Kannada"}, {"MAR", "Marathi"}, {"SAN", "Sanskrit"}, {"MON", "Mongolian"},
    {"GLC", "Galician"}, {"KNK", "Konkani"}, {"SYR", "Syriac"}, {"DIV", "Divehi"},
};

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

std::span<const LanguageName> languageNames() { return kLanguages; }

const char* languageNameOf(std::u16string_view code) {
    if (code.size() != 3) return nullptr;
    for (const LanguageName& entry : kLanguages) {
        bool same = true;
        for (size_t i = 0; i < 3; ++i) same = same && upper(code[i]) == static_cast<char16_t>(entry.code[i]);
        if (same) return entry.name;
    }
    return nullptr;
}

}  // namespace tallory::metadata
