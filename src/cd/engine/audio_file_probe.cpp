#include "cd/engine/audio_file_probe.h"

#include <cmath>
#include <cstring>

#include "cd/engine/engine_error.h"

namespace tallory::cd::engine {

namespace {

// Chunks scanned before giving up: a file of endless tiny chunks ends the loop.
constexpr int kMaxChunks = 4096;
constexpr uint32_t kMinFmtSize = 16;
constexpr uint32_t kMaxFmtSize = 80;

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// The 80-bit IEEE extended sample rate of an AIFF COMM chunk.
double extendedToDouble(const uint8_t* p) {
    int exponent = ((p[0] & 0x7F) << 8) | p[1];
    uint64_t mantissa = 0;
    for (int i = 0; i < 8; ++i) mantissa = (mantissa << 8) | p[2 + i];
    if (exponent == 0 && mantissa == 0) return 0;
    if (exponent == 0x7FFF) return -1;
    double value = std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
    return (p[0] & 0x80) ? -value : value;
}

}  // namespace

int probeWaveFile(const ReadAt& read, uint64_t fileSize, AudioDataSpan& span) {
    uint8_t header[12];
    if (!read(0, header, sizeof header)) return kErrBadWave;
    if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0) return kErrBadWave;
    uint64_t riffEnd = 8ull + le32(header + 4);
    if (riffEnd > fileSize) return kErrBadWave;
    bool haveFormat = false;
    uint64_t at = 12;
    for (int chunk = 0; chunk < kMaxChunks && at + 8 <= riffEnd; ++chunk) {
        uint8_t head[8];
        if (!read(at, head, sizeof head)) return kErrBadWave;
        uint32_t size = le32(head + 4);
        uint64_t body = at + 8;
        if (body + size > riffEnd) return kErrBadWave;
        if (std::memcmp(head, "fmt ", 4) == 0) {
            if (size < kMinFmtSize || size > kMaxFmtSize) return kErrBadWave;
            uint8_t fmt[16];
            if (!read(body, fmt, sizeof fmt)) return kErrBadWave;
            if (le16(fmt) != 1 || le16(fmt + 2) != 2 || le32(fmt + 4) != 44100 || le16(fmt + 12) != 4 ||
                le16(fmt + 14) != 16) {
                return kErrBadWave;
            }
            haveFormat = true;
        } else if (std::memcmp(head, "data", 4) == 0) {
            if (!haveFormat) return kErrBadWave;
            span.offset = body;
            span.bytes = size;
            return 0;
        }
        at = body + size + (size & 1);
    }
    return kErrBadWave;
}

int probeAiffFile(const ReadAt& read, uint64_t fileSize, AudioDataSpan& span) {
    uint8_t header[12];
    if (!read(0, header, sizeof header)) return kErrBadAiff;
    bool aifc = std::memcmp(header + 8, "AIFC", 4) == 0;
    if (std::memcmp(header, "FORM", 4) != 0 || (!aifc && std::memcmp(header + 8, "AIFF", 4) != 0)) return kErrBadAiff;
    uint64_t formEnd = 8ull + be32(header + 4);
    if (formEnd > fileSize) return kErrBadAiff;
    bool haveCommon = false;
    uint64_t at = 12;
    for (int chunk = 0; chunk < kMaxChunks && at + 8 <= formEnd; ++chunk) {
        uint8_t head[8];
        if (!read(at, head, sizeof head)) return kErrBadAiff;
        uint32_t size = be32(head + 4);
        uint64_t body = at + 8;
        if (body + size > formEnd) return kErrBadAiff;
        if (std::memcmp(head, "COMM", 4) == 0) {
            uint8_t comm[22];
            size_t need = aifc ? 22 : 18;
            if (size < need || !read(body, comm, need)) return kErrBadAiff;
            if (be16(comm) != 2 || be16(comm + 6) != 16 || extendedToDouble(comm + 8) != 44100.0) return kErrBadAiff;
            // AIFC carries samples as they stand only under "NONE" or "twos" (big-endian PCM).
            if (aifc && std::memcmp(comm + 18, "NONE", 4) != 0 && std::memcmp(comm + 18, "twos", 4) != 0) {
                return kErrBadAiff;
            }
            haveCommon = true;
        } else if (std::memcmp(head, "SSND", 4) == 0) {
            if (!haveCommon || size < 8) return kErrBadAiff;
            uint8_t ssnd[8];
            if (!read(body, ssnd, sizeof ssnd)) return kErrBadAiff;
            uint32_t skip = be32(ssnd);
            if (skip > size - 8) return kErrBadAiff;
            span.offset = body + 8 + skip;
            span.bytes = size - 8 - skip;
            return 0;
        }
        at = body + size + (size & 1);
    }
    return kErrBadAiff;
}

}  // namespace tallory::cd::engine
