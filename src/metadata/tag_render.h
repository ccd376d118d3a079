// Lays out whole ID3v2.3 and ID3v1 tags from a tag's frames.
#ifndef TALLORY_METADATA_TAG_RENDER_H
#define TALLORY_METADATA_TAG_RENDER_H

#include <id3/tag.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace tallory::metadata {

// An ID3v2.3 tag of every frame that renders (frames are set to ID3v2.3 first),
// padded as id3lib pads: the whole file, `audioBytes` included, is rounded up to
// the next 2 KiB. Empty when no frame renders; nullopt when the tag would be too big.
std::optional<std::vector<uint8_t>> renderId3v2(ID3_Tag& tag, uint64_t audioBytes);
// The 128-byte ID3v1.1 tag of the title, artist, album, year, comment, track and
// genre frames (ISO-8859-1, cut to the field sizes); empty when the tag has no frames.
std::vector<uint8_t> renderId3v1(const ID3_Tag& tag);

}  // namespace tallory::metadata

#endif
