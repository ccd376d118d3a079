// Three-letter language codes in the style of abbreviated locale language names
// (ENU, DEU, FRA ...) with their full names, in locale-number order.
#ifndef TALLORY_METADATA_LANGUAGE_NAMES_H
#define TALLORY_METADATA_LANGUAGE_NAMES_H

#include <span>
#include <string_view>

namespace tallory::metadata {

struct LanguageName {
    const char* code;  // upper case
    const char* name;
};

// The whole table, for the editors' language list.
std::span<const LanguageName> languageNames();
// The full name of the first entry whose code equals `code` without regard to case; null if none.
const char* languageNameOf(std::u16string_view code);

}  // namespace tallory::metadata

#endif
