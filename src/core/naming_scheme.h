// SuggestOutputFile: naming schemes expanded from source paths and tag values.
#ifndef TALLORY_CORE_NAMING_SCHEME_H
#define TALLORY_CORE_NAMING_SCHEME_H

#include <functional>
#include <string>
#include <string_view>

#include "tallory/conv.h"

namespace tallory::core {

inline constexpr const char* kMsgElementNotClosed = "Naming scheme element '%s' not closed with a '>' character.";
inline constexpr const char* kMsgUnknownElement = "Unknown naming scheme element '%s'";
inline constexpr const char* kMsgExpectedNumber = "Expected number after '%s:'";
inline constexpr const char* kMsgFirstPositionOnly = "Naming scheme element '%s' can only be used on the first position.";
inline constexpr const char* kMsgNotWithCdTracks = "Naming scheme element '%s' cannot be used with CD audio tracks.";
// The misspelling is the message callers have always matched.
inline constexpr const char* kMsgEmptyName = "Empty output file name specifed";
inline constexpr const char* kMsgInvalidFormat = "Invalid output format";
inline constexpr const char* kMsgNameTooLong = "Output file name too long: %zu bytes, at most %d fit";

struct NamingResult {
    bool ok = false;
    std::string text;  // the path, or the reason it could not be made
};

// Tells whether a name is already in use (a file or directory exists there).
using NameTaken = std::function<bool(const std::string&)>;

// The expansion behind SuggestOutputFile, without a length limit. `taken`
// decides collisions; the file system is asked when it is empty.
[[nodiscard]] NamingResult expandOutputName(const char* scheme, int formatIndex, IConvSource* source,
                                            const NameTaken& taken = {});

// Where the extension of a path's last component begins (its last dot that is
// followed by neither a space nor a separator), or npos.
size_t extensionStart(std::string_view path);


}  // namespace tallory::core

#endif
