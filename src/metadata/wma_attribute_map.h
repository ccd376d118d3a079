// The translation between Windows Media attributes and ID3v2 frames: a fixed
// table of attribute names and frame identifiers, the computed attributes
// ("Duration", "FileSize", "WM/Track"), and "ID3/" attributes that carry every
// other frame through a round trip.
#ifndef TALLORY_METADATA_WMA_ATTRIBUTE_MAP_H
#define TALLORY_METADATA_WMA_ATTRIBUTE_MAP_H

#include <id3/tag.h>

#include <span>

#include "platform/media/metadata_editor.h"

namespace tallory::metadata {

// The owner text of a UFID frame that stands for "WM/UniqueFileIdentifier".
inline constexpr const char* kWmIdentifierOwner = "WM/UniqueFileIdentifier";

// Adds the frames made from the file-level attributes to `tag`: for each
// identifier the first attribute in the file's order wins, and an "ID3"
// attribute (a whole ID3v2 tag) replaces everything gathered before it.
void readWmaAttributes(const platform::media::MetadataEditor& editor, ID3_Tag& tag);
// The same over attributes in the file's order (all of stream 0).
void readWmaAttributes(std::span<const platform::media::Attribute* const> attributes, ID3_Tag& tag);

// True for the names a write replaces: "ID3", "ID3/..." and every name of the
// table (exact comparison).
bool isOwnedAttribute(std::u16string_view name);
// Deletes the owned attributes of stream 0.
void deleteOwnedAttributes(platform::media::MetadataEditor& editor);
// Sets an attribute for each frame of `tag`, in its order; a later frame of the
// same identifier overwrites an earlier one's value.
void writeWmaAttributes(const ID3_Tag& tag, platform::media::MetadataEditor& editor);

}  // namespace tallory::metadata

#endif
