// PLS: an INI-style list; "FileN=" keys hold the paths, in file order.
#include <cstring>

#include "platform/files/file_system.h"
#include "playlist/playlist.h"

namespace tallory::playlist {

namespace {

constexpr const char* kBlanks = " \t\r\n\v\f";

void takeEntry(std::string value, const std::string& folder, std::vector<std::string>& entries, size_t* refused) {
    bool network = isNetworkEntry(value);
    if (!network) {
        for (char& c : value) {
            if (c == '\\') c = '/';
        }
    }
    size_t last = value.find_last_not_of(kBlanks);
    value.resize(last == std::string::npos ? 0 : last + 1);
    if (value.empty() || network) return;
    std::string entry = resolveEntry(folder, value);
    if (fitsEntryBuffer(entry)) {
        entries.push_back(std::move(entry));
    } else if (refused != nullptr) {
        ++*refused;
    }
}

}  // namespace

std::vector<std::string> parsePls(std::string_view text, const std::string& folder, size_t* refused) {
    std::vector<std::string> entries;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        std::string line(text.substr(pos, end - pos));
        pos = end + 1;
        line.resize(std::strlen(line.c_str()));
        size_t first = line.find_first_not_of(kBlanks);
        if (first == std::string::npos) continue;
        line.erase(0, first);
        // Section headers such as [playlist] and lines without a key are skipped.
        if (line[0] == '[') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        // Title and Length keys, and all others, carry nothing the list keeps.
        if (line.compare(0, 4, "File") != 0) continue;
        takeEntry(line.substr(eq + 1), folder, entries, refused);
    }
    return entries;
}

bool PlsPlaylist::readEntries(const std::string& path, std::vector<std::string>& out) {
    std::string text;
    if (!readWholeFile(path, text)) return false;
    size_t refused = 0;
    out = parsePls(text, platform::directoryOf(path), &refused);
    reportRefused(path, refused);
    return true;
}

}  // namespace tallory::playlist
