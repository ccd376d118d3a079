// MPEG audio frames (ISO/IEC 11172-3, 13818-3 and the unofficial MPEG 2.5):
// the 4-byte frame header, the Xing/Info and VBRI headers that encoders put in
// the first frame, the LAME extension with its encoder delay and padding, and
// a frame counter that walks a stream given in pieces.
#ifndef TALLORY_FORMATS_MP3_MPEG_AUDIO_FRAME_H
#define TALLORY_FORMATS_MP3_MPEG_AUDIO_FRAME_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tallory::formats::mp3 {

enum class MpegVersionKind : uint8_t { mpeg1, mpeg2, mpeg25 };

struct MpegFrameHeader {
    MpegVersionKind version = MpegVersionKind::mpeg1;
    int layer = 0;             // 1, 2 or 3
    bool crc = false;          // a 16-bit CRC follows the header
    int bitRate = 0;           // bits per second
    int sampleRate = 0;        // Hz
    int channels = 0;          // 1 or 2
    bool padding = false;
    int frameBytes = 0;        // the whole frame, header included
    int samplesPerFrame = 0;   // per channel
};

// The 4 bytes at p as a frame header; false for anything that is not one
// (no sync, reserved fields, free-format or invalid bit rate).
[[nodiscard]] bool parseFrameHeader(const uint8_t* p, MpegFrameHeader& header);

// Two headers of one stream agree in everything but bit rate and padding.
[[nodiscard]] bool sameStream(const MpegFrameHeader& a, const MpegFrameHeader& b);

enum class InfoHeaderKind : uint8_t { none, xing, info, vbri };

// What an encoder wrote into the first frame about the whole stream.
struct InfoHeader {
    InfoHeaderKind kind = InfoHeaderKind::none;
    bool hasFrames = false;
    uint32_t frames = 0;      // audio frames after this one
    bool hasBytes = false;
    uint32_t bytes = 0;       // the whole stream, this frame included
    bool hasLame = false;     // the LAME extension follows
    char encoder[10] = {};    // e.g. "LAME3.100", NUL-terminated
    uint16_t encoderDelay = 0;   // samples the encoder added at the start
    uint16_t encoderPadding = 0; // samples it added at the end
};

// Looks for an Xing/Info or VBRI header in one whole frame (frame points at its
// header, size counts the bytes available from there). False when the frame
// carries none; never reads past size.
[[nodiscard]] bool parseInfoHeader(const uint8_t* frame, size_t size, const MpegFrameHeader& header, InfoHeader& info);

// The frames of a stream, counted as the bytes arrive. A frame counts when the
// header after it starts where its length says (or the stream ends there), so
// that stray sync patterns in damaged data are skipped, not counted.
class MpegFrameCounter {
public:
    void feed(const uint8_t* data, size_t size);
    // The end of the stream: a last frame that the data holds whole counts too.
    void finish();

    uint64_t frames() const { return frames_; }
    // Frames times samples per frame: what a decoder that drops nothing gives.
    uint64_t samples() const { return frames_ * static_cast<uint64_t>(first_.samplesPerFrame); }
    const MpegFrameHeader& firstHeader() const { return first_; }
    const InfoHeader& infoHeader() const { return info_; }
    // Bytes that belonged to no counted frame (damage, tags, padding).
    uint64_t skippedBytes() const { return skipped_; }

private:
    void scan(bool atEnd);
    void count(const MpegFrameHeader& h, const uint8_t* frame);

    std::vector<uint8_t> pending_;
    MpegFrameHeader first_;
    InfoHeader info_;
    uint64_t frames_ = 0;
    uint64_t skipped_ = 0;
};

}  // namespace tallory::formats::mp3

#endif
