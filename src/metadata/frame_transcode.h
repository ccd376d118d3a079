// Normalises the encoded strings of a frame before id3lib sees it. id3lib 3.8.3
// parses ID3v2.4's UTF-16BE (2) and UTF-8 (3) encodings but never hands them
// back, and reads UTF-16 without a byte-order mark big-endian, while the files
// in the wild that lack the mark (ffmpeg writes them) are little-endian. Every
// string of a frame whose layout is known is rewritten as UTF-16 with a
// little-endian byte-order mark (encoding 1); ISO-8859-1 frames stay as they are.
#ifndef TALLORY_METADATA_FRAME_TRANSCODE_H
#define TALLORY_METADATA_FRAME_TRANSCODE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallory::metadata {

enum class TranscodeKind {
    Unchanged,  // no encoding byte, ISO-8859-1, or a layout not known here
    Rewritten,
    Unreadable,  // the encoding byte or the layout is damaged: keep the frame's bytes as they are
};

struct TranscodeResult {
    TranscodeKind kind = TranscodeKind::Unchanged;
    std::vector<uint8_t> data;  // the new frame data when Rewritten
};

// The data (after the frame header and flag bytes) of frame `id` (4 characters).
TranscodeResult transcodeFrameData(const uint8_t* id, const uint8_t* data, size_t size);

// Reads a UTF-16 string without a byte-order mark: little-endian unless the
// bytes show big-endian (every even byte zero while some odd byte is not).
bool guessLittleEndian(const uint8_t* data, size_t size);

}  // namespace tallory::metadata

#endif
