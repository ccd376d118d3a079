// Playlists: M3U, PLS and ASX-syntax (".wax") files read into an ordered list
// of paths; M3U written back. Slots are declared in binary order.
#ifndef TALLORY_PLAYLIST_H
#define TALLORY_PLAYLIST_H

#include "tallory/types.h"

// An entry is a path: fewer bytes than Linux's PATH_MAX.
#define TALLORY_PLAYLIST_ENTRY_MAX 4096

// Not reference counted and without QueryInterface: the holder calls Destroy.
// Entries are UTF-8 paths of at most TALLORY_PLAYLIST_ENTRY_MAX - 1 bytes.
struct IPlaylist {
    // Appends a copy; E_INVALIDARG for null or an entry of TALLORY_PLAYLIST_ENTRY_MAX bytes or more.
    virtual HRESULT AddEntry(const char* entry) = 0;
    // Appends the file's entries, then rewinds; E_FAIL if it cannot be read.
    virtual HRESULT Load(const char* path) = 0;
    // M3U only (E_NOTIMPL otherwise); E_FAIL if the file cannot be written. Rewinds.
    virtual HRESULT Save(const char* path) = 0;
    // E_INVALIDARG for a null address.
    virtual HRESULT GetCount(int* count) = 0;
    virtual HRESULT Reset() = 0;
    // Copies the entry at the cursor into buffer (TALLORY_MAX_PATH bytes) and
    // advances; E_FAIL at the end. An entry too long for the buffer is passed
    // over with S_FALSE and an empty string (PlaylistGetNextEx hands it out).
    virtual HRESULT GetNext(char* buffer) = 0;
    // Deletes the object; returns 0.
    virtual HRESULT Destroy() = 0;

protected:
    ~IPlaylist() = default;
};

extern "C" {

// A playlist of the class named by the path's extension (".m3u", ".pls" or
// ".wax", matched with case) loaded from the file if it exists. E_INVALIDARG
// for a null argument, E_FAIL for any other extension.
TALLORY_API HRESULT PlaylistCreateFromFile(const char* path, IPlaylist** playlist) noexcept;

// A playlist read from a file that must exist: E_FAIL and no object when the
// file is missing, unreadable or not well-formed (the reason is reported).
TALLORY_API HRESULT PlaylistOpenFile(const char* path, IPlaylist** playlist) noexcept;

// GetNext into a buffer of `capacity` bytes (TALLORY_PLAYLIST_ENTRY_MAX holds
// any entry); S_FALSE and an empty string for an entry that does not fit.
TALLORY_API HRESULT PlaylistGetNextEx(IPlaylist* playlist, char* buffer, int capacity) noexcept;

}  // extern "C"

#endif
