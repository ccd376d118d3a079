#include "metadata/genre_table.h"

#include <clocale>
#include <cstring>
#include <string>

#include "core/export_guard.h"
#include "tallory/metadata.h"

namespace tallory::metadata {

namespace {

// The first 80 genres of the ID3v1 list; four names shortened to 15 characters.
constexpr const char* kGenres[kGenreCount] = {
    "Blues          ", "Classic Rock   ", "Country        ", "Dance          ", "Disco          ",
    "Funk           ", "Grunge         ", "Hip-Hop        ", "Jazz           ", "Metal          ",
    "New Age        ", "Oldies         ", "Other          ", "Pop            ", "R&B            ",
    "Rap            ", "Reggae         ", "Rock           ", "Techno         ", "Industrial     ",
    "Alternative    ", "Ska            ", "Death Metal    ", "Pranks         ", "Soundtrack     ",
    "Euro-Techno    ", "Ambient        ", "Trip-Hop       ", "Vocal          ", "Jazz+Funk      ",
    "Fusion         ", "Trance         ", "Classical      ", "Instrumental   ", "Acid           ",
    "House          ", "Game           ", "Sound Clip     ", "Gospel         ", "Noise          ",
    "Altern Rock    ", "Bass           ", "Soul           ", "Punk           ", "Space          ",
    "Meditative     ", "Inst. Pop      ", "Instrum. Rock  ", "Ethnic         ", "Gothic         ",
    "Darkwave       ", "Techno-Indus   ", "Electronic     ", "Pop-Folk       ", "Eurodance      ",
    "Dream          ", "Southern Rock  ", "Comedy         ", "Cult           ", "Gangsta        ",
    "Top 40         ", "Christian Rap  ", "Pop/Funk       ", "Jungle         ", "Native American",
    "Cabaret        ", "New Wave       ", "Psychadelic    ", "Rave           ", "Showtunes      ",
    "Trailer        ", "Lo-Fi          ", "Tribal         ", "Acid Punk      ", "Acid Jazz      ",
    "Polka          ", "Retro          ", "Musical        ", "Rock & Roll    ", "Hard Rock      ",
};

std::string_view trimmed(const char* stored) {
    std::string_view s(stored);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

}  // namespace

std::string_view genreName(long long number) {
    if (number < 0 || number >= kGenreCount) return {};
    return trimmed(kGenres[number]);
}

}  // namespace tallory::metadata

using namespace tallory::metadata;

extern "C" {

TALLORY_API int GenreGetCount(void) noexcept { return kGenreCount; }

TALLORY_API const char* GenreGet(uint32_t number) noexcept { return number < kGenreCount ? kGenres[number] : nullptr; }

static int genreToNum(const char* name) {
    if (name == nullptr) return -1;
    for (int i = 0; i < kGenreCount; ++i) {
        const std::string candidate(trimmed(kGenres[i]));
        // Case-sensitive and locale-aware, as a sorted list would compare.
        if (std::strcoll(candidate.c_str(), name) == 0) return i;
    }
    return -1;
}

TALLORY_API int GenreToNum(const char* name) noexcept {
    return tallory::core::guardExport("GenreToNum", -1, [&] { return genreToNum(name); });
}

}  // extern "C"
