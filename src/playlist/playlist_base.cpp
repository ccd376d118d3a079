#include "playlist/playlist.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/export_guard.h"
#include "core/ui_bridge.h"
#include "platform/files/file_system.h"

namespace tallory::playlist {

HRESULT PlaylistBase::AddEntry(const char* entry) {
    if (entry == nullptr) return E_INVALIDARG;
    std::string text(entry);
    if (!fitsEntryBuffer(text)) return E_INVALIDARG;
    try {
        entries_.push_back(std::move(text));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT PlaylistBase::Load(const char* path) {
    if (path == nullptr) return E_INVALIDARG;
    std::vector<std::string> found;
    bool ok = false;
    try {
        ok = readEntries(path, found);
        entries_.insert(entries_.end(), found.begin(), found.end());
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    cursor_ = 0;
    return ok ? S_OK : E_FAIL;
}

HRESULT PlaylistBase::Save(const char*) { return E_NOTIMPL; }

HRESULT PlaylistBase::GetCount(int* count) {
    if (count == nullptr) return E_INVALIDARG;
    *count = static_cast<int>(entries_.size());
    return S_OK;
}

HRESULT PlaylistBase::Reset() {
    cursor_ = 0;
    return S_OK;
}

HRESULT PlaylistBase::GetNext(char* buffer) { return next(buffer, TALLORY_MAX_PATH); }

HRESULT PlaylistBase::next(char* buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0 || cursor_ >= entries_.size()) return E_FAIL;
    const std::string& entry = entries_[cursor_++];
    // Never cut: a cut path names another file. The entry is passed over.
    if (entry.size() >= capacity) {
        buffer[0] = '\0';
        return S_FALSE;
    }
    std::memcpy(buffer, entry.c_str(), entry.size() + 1);
    return S_OK;
}

HRESULT PlaylistBase::Destroy() {
    delete this;
    return 0;
}

bool fitsEntryBuffer(const std::string& entry) { return entry.size() < kMaxEntryBytes; }

void reportRefused(const std::string& path, size_t refused) {
    if (refused == 0) return;
    char text[1024];
    std::snprintf(text, sizeof text, "%zu %s of %s %s longer than %zu bytes and %s left out.", refused,
                  refused == 1 ? "entry" : "entries", path.c_str(), refused == 1 ? "is" : "are", kMaxEntryBytes - 1,
                  refused == 1 ? "was" : "were");
    core::ui::messageBox(nullptr, text, "Playlist", MB_OK | MB_ICONWARNING);
}

bool isNetworkEntry(std::string_view entry) {
    for (const char* scheme : {"http://", "ftp://", "file://"}) {
        if (entry.substr(0, std::strlen(scheme)) == scheme) return true;
    }
    return false;
}

std::string resolveEntry(const std::string& folder, const std::string& entry) {
    bool relative = entry.compare(0, 2, "..") == 0 || entry.empty() || entry[0] != '/';
    if (!relative) return entry;
    std::string joined = folder.empty() ? entry : folder + "/" + entry;
    bool absolute = !joined.empty() && joined[0] == '/';
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= joined.size()) {
        size_t slash = joined.find('/', pos);
        if (slash == std::string::npos) slash = joined.size();
        std::string part = joined.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);  // above a relative folder: kept; above the root: dropped
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += '/';
        out += parts[i];
    }
    // An entry that names a folder ("x/", "x/y/..") keeps a final separator:
    // without it, trailing blanks of the folder's name would be trimmed by a reader.
    size_t lastSlash = joined.rfind('/');
    std::string last = lastSlash == std::string::npos ? joined : joined.substr(lastSlash + 1);
    bool namesFolder = last.empty() || last == "." || last == "..";
    if (namesFolder && !out.empty() && out.back() != '/') out += '/';
    return out;
}

bool readWholeFile(const std::string& path, std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    text.clear();
    char block[65536];
    bool ok = true;
    while (true) {
        size_t n = std::fread(block, 1, sizeof block, f);
        if (n == 0) break;
        if (text.size() + n > kMaxPlaylistBytes) {
            ok = false;
            break;
        }
        text.append(block, n);
    }
    if (std::ferror(f) != 0) ok = false;
    std::fclose(f);
    return ok;
}

}  // namespace tallory::playlist

using namespace tallory::playlist;

namespace {

PlaylistBase* createForName(const char* path) {
    std::string name = tallory::platform::fileNameOf(path);
    size_t dot = name.rfind('.');
    std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    if (extension == ".pls") return new PlsPlaylist;
    if (extension == ".m3u") return new M3uPlaylist;
    if (extension == ".wax") return new AsxPlaylist;
    return nullptr;
}

}  // namespace

extern "C" TALLORY_API HRESULT PlaylistCreateFromFile(const char* path, IPlaylist** playlist) noexcept {
    if (path == nullptr || playlist == nullptr) return E_INVALIDARG;
    PlaylistBase* created = nullptr;
    try {
        created = createForName(path);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (created == nullptr) return E_FAIL;
    *playlist = created;
    // A missing file is an empty playlist to be filled and saved.
    created->Load(path);
    return S_OK;
}

extern "C" TALLORY_API HRESULT PlaylistOpenFile(const char* path, IPlaylist** playlist) noexcept {
    if (path == nullptr || playlist == nullptr) return E_INVALIDARG;
    *playlist = nullptr;
    return tallory::core::guardExport("PlaylistOpenFile", E_FAIL, [&]() -> HRESULT {
        PlaylistBase* created = createForName(path);
        if (created == nullptr) return E_FAIL;
        // Here a missing, unreadable or malformed file is a failure, not an empty list.
        std::string probe;
        if (!readWholeFile(path, probe) || FAILED(created->Load(path))) {
            created->Destroy();
            return E_FAIL;
        }
        *playlist = created;
        return S_OK;
    });
}

extern "C" TALLORY_API HRESULT PlaylistGetNextEx(IPlaylist* playlist, char* buffer, int capacity) noexcept {
    if (playlist == nullptr || buffer == nullptr || capacity <= 0) return E_INVALIDARG;
    return tallory::core::guardExport("PlaylistGetNextEx", E_FAIL, [&]() -> HRESULT {
        auto* own = dynamic_cast<PlaylistBase*>(playlist);
        if (own == nullptr) return playlist->GetNext(buffer);
        return own->next(buffer, static_cast<size_t>(capacity));
    });
}
