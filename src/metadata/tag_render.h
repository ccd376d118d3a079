// Lays out whole ID3v2.3, ID3v2.4 and ID3v1 tags from a tag's frames.
#ifndef TALLORY_METADATA_TAG_RENDER_H
#define TALLORY_METADATA_TAG_RENDER_H

#include <id3/tag.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "metadata/tag_guard.h"

namespace tallory::metadata {

// An ID3v2 tag of every frame that renders and of the raw frames, padded as
// id3lib pads: the whole file, `audioBytes` included, is rounded up to the next
// 2 KiB. `major` 4 writes ID3v2.4 (values NUL-separated, as read); 3 writes
// ID3v2.3, with several values joined by "/" and the frames ID3v2.3 lacks
// converted (TDRC to TYER, TDAT and TIME; TDOR to TORY; TIPL to IPLS; other
// texts to TXXX), or as ID3v2.4 when a frame has no ID3v2.3 form. Empty when
// no frame renders; nullopt, with the reason in `why`, when the tag cannot be
// written without losing a frame or would be too big.
std::optional<std::vector<uint8_t>> renderId3v2(ID3_Tag& tag, const std::vector<RawFrame>& raw, int major,
                                                uint64_t audioBytes, std::string& why);

// The values of an ID3v2.3-layout text frame body (encoding byte and strings);
// an empty last value (a trailing terminator) is not a value.
std::vector<std::u16string> textValues(const uint8_t* body, size_t size);
// The 128-byte ID3v1.1 tag of the title, artist, album, year, comment, track and
// genre frames (ISO-8859-1, cut to the field sizes); empty when the tag has no frames.
std::vector<uint8_t> renderId3v1(const ID3_Tag& tag);

}  // namespace tallory::metadata

#endif
