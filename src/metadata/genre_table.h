// The genre table: ID3v1 genre numbers 0 to 79 and their names.
#ifndef TALLORY_METADATA_GENRE_TABLE_H
#define TALLORY_METADATA_GENRE_TABLE_H

#include <string_view>

namespace tallory::metadata {

inline constexpr int kGenreCount = 80;
// Names are stored blank-padded to this many characters.
inline constexpr int kGenreNameWidth = 15;

// The name of genre `number` without its padding; empty outside the table.
std::string_view genreName(long long number);

}  // namespace tallory::metadata

#endif
