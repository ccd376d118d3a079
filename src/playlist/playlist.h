// The playlist classes and their readers. The readers work on text in memory
// so that the fuzz targets reach them without files.
#ifndef TALLORY_PLAYLIST_PLAYLIST_H
#define TALLORY_PLAYLIST_PLAYLIST_H

#include <string>
#include <string_view>
#include <vector>

#include "platform/xml/xml_document.h"
#include "tallory/playlist.h"

namespace tallory::playlist {

// A playlist file larger than this is not a list of paths; it is refused unread.
inline constexpr size_t kMaxPlaylistBytes = 64u << 20;
// An entry is a path, and a Linux path has fewer bytes than PATH_MAX (4096).
inline constexpr size_t kMaxEntryBytes = TALLORY_PLAYLIST_ENTRY_MAX;

inline constexpr const char* kParseErrorCaption = "Parse Error";
inline constexpr const char* kParseErrorFormat =
    "Error processing XML file: %s\nError on line %d, position %d\nError (%x) text: %s";

class PlaylistBase : public IPlaylist {
public:
    HRESULT AddEntry(const char* entry) override;
    HRESULT Load(const char* path) override;
    HRESULT Save(const char* path) override;
    HRESULT GetCount(int* count) override;
    HRESULT Reset() override;
    HRESULT GetNext(char* buffer) override;
    HRESULT Destroy() override;

    const std::vector<std::string>& entries() const { return entries_; }
    // GetNext into a buffer of `capacity` bytes: S_FALSE and "" for an entry that does not fit.
    HRESULT next(char* buffer, size_t capacity);

protected:
    virtual ~PlaylistBase() = default;
    // The entries of the file at path, in the class's format; false if it cannot be read.
    virtual bool readEntries(const std::string& path, std::vector<std::string>& out) = 0;

    std::vector<std::string> entries_;
    size_t cursor_ = 0;
};

class M3uPlaylist final : public PlaylistBase {
public:
    HRESULT Save(const char* path) override;

protected:
    bool readEntries(const std::string& path, std::vector<std::string>& out) override;
};

class PlsPlaylist final : public PlaylistBase {
protected:
    bool readEntries(const std::string& path, std::vector<std::string>& out) override;
};

class AsxPlaylist final : public PlaylistBase {
protected:
    bool readEntries(const std::string& path, std::vector<std::string>& out) override;
};

// Why an ASX document could not be parsed.
using XmlParseError = platform::XmlParseError;

// The readers. Relative M3U and PLS entries are resolved against `folder`;
// entries of kMaxEntryBytes or more are left out and counted in `refused`.
std::vector<std::string> parseM3u(std::string_view text, const std::string& folder, size_t* refused = nullptr);
std::vector<std::string> parsePls(std::string_view text, const std::string& folder, size_t* refused = nullptr);
// False with the parser's error when the document is not well-formed.
bool parseAsx(std::string_view bytes, const std::string& url, std::vector<std::string>& out, XmlParseError& error,
              size_t* refused = nullptr);
// The M3U file for these entries, with entries inside `folder` made relative.
std::string formatM3u(const std::vector<std::string>& entries, const std::string& folder);

// An entry made absolute against folder, with "." and ".." folded; an absolute entry as it is.
std::string resolveEntry(const std::string& folder, const std::string& entry);
// The whole file, or false if it cannot be read or exceeds kMaxPlaylistBytes.
bool readWholeFile(const std::string& path, std::string& text);
// True for entries the playlists never take: network addresses.
bool isNetworkEntry(std::string_view entry);
// Entries a playlist keeps: any path Linux can name.
bool fitsEntryBuffer(const std::string& entry);
// Tells the user that `refused` entries of the playlist at path were left out.
void reportRefused(const std::string& path, size_t refused);

}  // namespace tallory::playlist

#endif
