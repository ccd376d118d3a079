#include "formats/wm/mp3_info_header.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace tallory::formats::wm {

namespace {

// How far past the ID3v2 tag the first frame is looked for (junk, padding).
constexpr size_t kSearchBytes = 64 * 1024;
// The first frame's side information, Xing header and LAME extension fit in this.
constexpr size_t kFrameBytes = 512;

uint32_t bigEndian(std::span<const uint8_t> b, size_t at, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | b[at + i];
    return v;
}

}  // namespace

uint64_t Mp3InfoHeader::samples() const {
    const uint64_t all = uint64_t{frames} * samplesPerFrame;
    const uint64_t trimmed = uint64_t{encoderDelay} + padding;
    return trimmed < all ? all - trimmed : 0;
}

std::optional<Mp3InfoHeader> parseMp3InfoHeader(std::span<const uint8_t> bytes) {
    static constexpr uint32_t kRates[3] = {44100, 48000, 32000};
    for (size_t pos = 0; pos + 4 <= bytes.size() && pos < kSearchBytes; ++pos) {
        if (bytes[pos] != 0xFF || (bytes[pos + 1] & 0xE0) != 0xE0) continue;
        const uint8_t version = (bytes[pos + 1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        const uint8_t layer = (bytes[pos + 1] >> 1) & 3;    // 1: layer III
        const uint8_t bitrate = bytes[pos + 2] >> 4;
        const uint8_t rate = (bytes[pos + 2] >> 2) & 3;
        if (version == 1 || layer != 1 || bitrate == 0 || bitrate == 15 || rate == 3) continue;
        const bool mpeg1 = version == 3;
        const bool mono = (bytes[pos + 3] >> 6) == 3;
        // ISO 11172-3 2.4.1.7: side information of 17/32 bytes (MPEG-1), 9/17 (MPEG-2).
        const size_t side = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
        const size_t at = pos + 4 + side;
        if (at + 8 > bytes.size()) return std::nullopt;
        const uint32_t tag = bigEndian(bytes, at, 4);
        if (tag != 0x58696E67 /* Xing */ && tag != 0x496E666F /* Info */) return std::nullopt;
        const uint32_t flags = bigEndian(bytes, at + 4, 4);
        if ((flags & 1) == 0) return std::nullopt;
        size_t field = at + 8;
        if (field + 4 > bytes.size()) return std::nullopt;
        Mp3InfoHeader h;
        h.frames = bigEndian(bytes, field, 4);
        field += 4;
        if (flags & 2) field += 4;    // bytes
        if (flags & 4) field += 100;  // seek table
        if (flags & 8) field += 4;    // quality
        h.samplesPerFrame = mpeg1 ? 1152 : 576;
        h.sampleRate = kRates[rate] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
        // The LAME extension: 9 bytes of encoder name, then at byte 21 the delay and padding, 12 bits each.
        if (field + 24 <= bytes.size()) {
            const uint32_t v = bigEndian(bytes, field + 21, 3);
            h.encoderDelay = v >> 12;
            h.padding = v & 0xFFF;
        }
        if (h.frames == 0) return std::nullopt;
        return h;
    }
    return std::nullopt;
}

std::optional<Mp3InfoHeader> readMp3InfoHeader(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) return std::nullopt;
    uint8_t head[10];
    long start = 0;
    if (std::fread(head, 1, sizeof head, f.get()) == sizeof head && head[0] == 'I' && head[1] == 'D' &&
        head[2] == '3' && ((head[6] | head[7] | head[8] | head[9]) & 0x80) == 0) {
        const long size = (long{head[6]} << 21) | (long{head[7]} << 14) | (long{head[8]} << 7) | head[9];
        start = 10 + size + ((head[3] == 4 && (head[5] & 0x10)) ? 10 : 0);
    }
    if (std::fseek(f.get(), start, SEEK_SET) != 0) return std::nullopt;
    std::vector<uint8_t> bytes(kSearchBytes + kFrameBytes);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f.get()));
    return parseMp3InfoHeader(bytes);
}

}  // namespace tallory::formats::wm
