// The Xing/Info header that LAME (and FFmpeg's encoder) put into an MP3's first
// frame: the number of frames and, in its LAME extension, the encoder delay and
// padding that a decoder trims. From them the length a decoder delivers is
// exact to the sample, where the container's estimate is rounded.
#ifndef TALLORY_FORMATS_WM_MP3_INFO_HEADER_H
#define TALLORY_FORMATS_WM_MP3_INFO_HEADER_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tallory::formats::wm {

struct Mp3InfoHeader {
    uint32_t frames = 0;
    uint32_t samplesPerFrame = 0;
    uint32_t sampleRate = 0;
    uint32_t encoderDelay = 0;
    uint32_t padding = 0;
    // Samples per channel after the delay and padding are trimmed.
    uint64_t samples() const;
};

// Parses the header of the first frame in `bytes` (the file's start after any
// ID3v2 tag); nullopt when the frame has no Xing/Info header with a frame count.
std::optional<Mp3InfoHeader> parseMp3InfoHeader(std::span<const uint8_t> bytes);
// The same for a file: skips its ID3v2 tag and reads the first frame.
std::optional<Mp3InfoHeader> readMp3InfoHeader(const std::string& path);

}  // namespace tallory::formats::wm

#endif
