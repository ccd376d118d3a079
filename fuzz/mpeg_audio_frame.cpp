// MPEG audio frame headers, the Xing/Info/VBRI and LAME headers of the first
// frame, and the frame counter over any bytes. The first byte sets the size of
// the pieces the stream arrives in: the count must not depend on it.
#include <cstddef>
#include <cstdint>

#include "formats/mp3/mpeg_audio_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tallory::formats::mp3;
    if (size == 0) return 0;
    const size_t piece = 1 + data[0] % 97;
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;

    MpegFrameCounter whole, pieces;
    whole.feed(stream, length);
    whole.finish();
    for (size_t at = 0; at < length; at += piece) pieces.feed(stream + at, length - at < piece ? length - at : piece);
    pieces.finish();
    if (whole.frames() != pieces.frames() || whole.skippedBytes() != pieces.skippedBytes()) __builtin_trap();
    // Every byte is either in a counted frame or skipped.
    if (whole.skippedBytes() > length) __builtin_trap();
    if (whole.frames() > 0 && whole.firstHeader().frameBytes <= 4) __builtin_trap();

    // The input as one frame: header fields in range, info header bounded by the bytes given.
    MpegFrameHeader h;
    if (length >= 4 && parseFrameHeader(stream, h)) {
        if (h.layer < 1 || h.layer > 3 || h.sampleRate < 8000 || h.sampleRate > 48000) __builtin_trap();
        InfoHeader info;
        (void)parseInfoHeader(stream, length, h, info);
    }
    return 0;
}
