// M3U: one path per line, "#" lines are comments or extended information.
#include <cstdio>
#include <cstring>

#include "core/library.h"
#include "platform/files/file_system.h"
#include "playlist/playlist.h"
#include "tallory/library.h"

namespace tallory::playlist {

namespace {

constexpr const char* kBlanks = " \t\r\n\v\f";

std::string_view withoutByteOrderMark(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    return text;
}

}  // namespace

std::vector<std::string> parseM3u(std::string_view text, const std::string& folder, size_t* refused) {
    std::vector<std::string> entries;
    text = withoutByteOrderMark(text);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string line(text.substr(pos, end - pos));
        pos = end + 1;
        // A C string ends at its first NUL, and so does a line.
        line.resize(std::strlen(line.c_str()));
        if (!line.empty() && line[0] == '#') continue;
        bool network = isNetworkEntry(line);
        // Lists written on Windows separate with backslashes.
        if (!network) {
            for (char& c : line) {
                if (c == '\\') c = '/';
            }
        }
        size_t last = line.find_last_not_of(kBlanks);
        line.resize(last == std::string::npos ? 0 : last + 1);
        if (line.empty() || network) continue;
        std::string entry = resolveEntry(folder, line);
        if (fitsEntryBuffer(entry)) {
            entries.push_back(std::move(entry));
        } else if (refused != nullptr) {
            ++*refused;
        }
    }
    return entries;
}

std::string formatM3u(const std::vector<std::string>& entries, const std::string& folder) {
    char header[512];
    std::snprintf(header, sizeof header, "# Created by %s %s\r\n# Get this program at: %s\r\n", TALLORY_PRODUCT_NAME,
                  TALLORY_PRODUCT_VERSION, core::kHomePageUrl);
    std::string text = header;
    std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    for (const std::string& entry : entries) {
        if (!folder.empty() && entry.size() > prefix.size() && entry.compare(0, prefix.size(), prefix) == 0) {
            text += "./" + entry.substr(prefix.size());
        } else {
            text += entry;
        }
        text += "\r\n";
    }
    return text;
}

bool M3uPlaylist::readEntries(const std::string& path, std::vector<std::string>& out) {
    std::string text;
    if (!readWholeFile(path, text)) return false;
    size_t refused = 0;
    out = parseM3u(text, platform::directoryOf(path), &refused);
    reportRefused(path, refused);
    return true;
}

HRESULT M3uPlaylist::Save(const char* path) {
    if (path == nullptr) return E_INVALIDARG;
    cursor_ = 0;
    std::string text = formatM3u(entries_, platform::directoryOf(path));
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return E_FAIL;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0) ok = false;
    return ok ? S_OK : E_FAIL;
}

}  // namespace tallory::playlist
