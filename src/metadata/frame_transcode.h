// ID3v2.4 added UTF-16BE (2) and UTF-8 (3) text encodings, which id3lib 3.8.3
// parses but never hands back. Frames carrying them are rewritten to UTF-16 with
// a byte-order mark (1) before id3lib sees them.
#ifndef TALLORY_METADATA_FRAME_TRANSCODE_H
#define TALLORY_METADATA_FRAME_TRANSCODE_H

#include <cstdint>
#include <optional>
#include <vector>

namespace tallory::metadata {

enum class TranscodeKind {
    Unchanged,  // no encoding byte, or one id3lib reads
    Rewritten,
    Unreadable,  // an encoding id3lib cannot return in a frame whose layout is unknown here
};

struct TranscodeResult {
    TranscodeKind kind = TranscodeKind::Unchanged;
    std::vector<uint8_t> data;  // the new frame data when Rewritten
};

// The data (after the frame header and flag bytes) of frame `id` (4 characters).
TranscodeResult transcodeFrameData(const uint8_t* id, const uint8_t* data, size_t size);

}  // namespace tallory::metadata

#endif
