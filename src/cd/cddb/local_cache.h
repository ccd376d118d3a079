// The local cache of disc texts, "cdplayer.ini" in the configuration folder:
// an INI file with one section per disc, named by the disc serial ("%X").
// Values are escaped so that no text (a line break in a title, say) can add
// keys or sections; the file is replaced whole by a rename, never rewritten
// in place, so a reader sees the old file or the new one.
#ifndef TALLORY_CD_CDDB_LOCAL_CACHE_H
#define TALLORY_CD_CDDB_LOCAL_CACHE_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallory::cd::cddb {

struct IniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;  // file order, values unescaped
    // The value of `key` (any case), or null.
    const std::string* find(const std::string& key) const;
    void set(const std::string& key, const std::string& value);
};

// "\\", "\n", "\r", "\t" and "\xHH" for other control characters.
std::string escapeIniValue(const std::string& value);
std::string unescapeIniValue(const std::string& value);

// Sections in file order; "key=value" lines before any section, lines
// without "=" and ";" or "#" comments are skipped. A section seen twice is
// joined to the first (names compared without regard to case).
std::vector<IniSection> parseIni(const std::string& text);
std::string writeIni(const std::vector<IniSection>& sections);

// $XDG_CONFIG_HOME/Veshna/Tallory/cdplayer.ini (~/.config when unset).
std::string cacheFilePath();
std::string sectionName(uint32_t serial);

// The section of that disc serial, or nothing (no file, no section).
std::optional<IniSection> readCacheSection(uint32_t serial);
// Sets the section's keys (others in it stay) and replaces the file.
// False with `error` set when the file cannot be written.
bool storeCacheSection(const IniSection& section, std::string* error);

}  // namespace tallory::cd::cddb

#endif
