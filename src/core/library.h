// Library load and unload, and the links to the maker's other software.
#ifndef TALLORY_CORE_LIBRARY_H
#define TALLORY_CORE_LIBRARY_H

#include <string>

namespace tallory::core {

// The product's home page, used in logs and playlists.
inline constexpr const char* kHomePageUrl = "https://www.veshna.com/tallory/";
// The separate recorder application, looked up on PATH.
inline constexpr const char* kRecorderProgram = "orlandarecorder";

// Reads "Ref.txt" (at most 80 bytes; anything but a letter or digit becomes 'x').
std::string readReferrerCode(const std::string& path);
// The referrer code read at load.
const std::string& referrerCode();
// A program's full path from PATH, or empty.
std::string findOnPath(const std::string& program);

}  // namespace tallory::core

#endif
