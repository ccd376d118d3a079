#include "formats/mp3/mpeg_audio_frame.h"

#include <algorithm>
#include <cstring>

namespace tallory::formats::mp3 {

namespace {

// kbps by [mpeg1 ? 0 : 1][layer - 1][index]; index 0 is free format, 15 invalid.
constexpr int kBitRates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
};
constexpr int kSampleRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};

// The largest frame of any version and layer (layer II, 384 kbps at 8 kHz is
// not allowed; MPEG 2.5 layer II at 160 kbps and 8 kHz is 2881 bytes), so that
// the counter never holds more than two frames.
constexpr size_t kMaxFrameBytes = 2881;
constexpr size_t kHeaderBytes = 4;

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Layer III side information follows the header (and its CRC).
size_t sideInfoBytes(const MpegFrameHeader& h) {
    if (h.version == MpegVersionKind::mpeg1) return h.channels == 1 ? 17 : 32;
    return h.channels == 1 ? 9 : 17;
}

}  // namespace

bool parseFrameHeader(const uint8_t* p, MpegFrameHeader& h) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const int versionBits = (p[1] >> 3) & 3;
    const int layerBits = (p[1] >> 1) & 3;
    const int rateIndex = p[2] >> 4;
    const int sampleIndex = (p[2] >> 2) & 3;
    if (versionBits == 1 || layerBits == 0 || rateIndex == 0 || rateIndex == 15 || sampleIndex == 3) return false;
    MpegFrameHeader out;
    out.version = versionBits == 3 ? MpegVersionKind::mpeg1 : versionBits == 2 ? MpegVersionKind::mpeg2
                                                                               : MpegVersionKind::mpeg25;
    out.layer = 4 - layerBits;
    out.crc = (p[1] & 1) == 0;
    const bool v1 = out.version == MpegVersionKind::mpeg1;
    out.bitRate = kBitRates[v1 ? 0 : 1][out.layer - 1][rateIndex] * 1000;
    out.sampleRate = kSampleRates[static_cast<int>(out.version)][sampleIndex];
    out.padding = ((p[2] >> 1) & 1) != 0;
    out.channels = (p[3] >> 6) == 3 ? 1 : 2;
    const int pad = out.padding ? 1 : 0;
    if (out.layer == 1) {
        out.samplesPerFrame = 384;
        out.frameBytes = (12 * out.bitRate / out.sampleRate + pad) * 4;
    } else if (out.layer == 2 || v1) {
        out.samplesPerFrame = 1152;
        out.frameBytes = 144 * out.bitRate / out.sampleRate + pad;
    } else {
        out.samplesPerFrame = 576;
        out.frameBytes = 72 * out.bitRate / out.sampleRate + pad;
    }
    if (out.frameBytes <= static_cast<int>(kHeaderBytes)) return false;
    h = out;
    return true;
}

bool sameStream(const MpegFrameHeader& a, const MpegFrameHeader& b) {
    return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate && a.channels == b.channels;
}

bool parseInfoHeader(const uint8_t* frame, size_t size, const MpegFrameHeader& h, InfoHeader& info) {
    if (h.layer != 3) return false;
    const size_t available = std::min(size, static_cast<size_t>(h.frameBytes));
    InfoHeader out;
    // Xing/Info sits after the side information; LAME writes "Info" into CBR files.
    size_t at = kHeaderBytes + (h.crc ? 2 : 0) + sideInfoBytes(h);
    if (at + 8 <= available && (std::memcmp(frame + at, "Xing", 4) == 0 || std::memcmp(frame + at, "Info", 4) == 0)) {
        out.kind = frame[at] == 'X' ? InfoHeaderKind::xing : InfoHeaderKind::info;
        const uint32_t flags = be32(frame + at + 4);
        at += 8;
        if ((flags & 1) != 0) {
            if (at + 4 > available) return false;
            out.hasFrames = true;
            out.frames = be32(frame + at);
            at += 4;
        }
        if ((flags & 2) != 0) {
            if (at + 4 > available) return false;
            out.hasBytes = true;
            out.bytes = be32(frame + at);
            at += 4;
        }
        if ((flags & 4) != 0) at += 100;  // seek table
        if ((flags & 8) != 0) at += 4;    // quality
        // The LAME extension: 9 bytes of encoder name, then 12 bytes of settings,
        // then delay and padding as two 12-bit numbers.
        if (at + 24 <= available && (std::memcmp(frame + at, "LAME", 4) == 0 || std::memcmp(frame + at, "Lavc", 4) == 0 ||
                                     std::memcmp(frame + at, "Lavf", 4) == 0)) {
            out.hasLame = true;
            for (size_t i = 0; i < 9; ++i) {
                const uint8_t c = frame[at + i];
                out.encoder[i] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
            }
            const uint8_t* d = frame + at + 21;
            out.encoderDelay = static_cast<uint16_t>(d[0] << 4 | d[1] >> 4);
            out.encoderPadding = static_cast<uint16_t>((d[1] & 0x0F) << 8 | d[2]);
        }
        info = out;
        return true;
    }
    // Fraunhofer's VBRI header sits 32 bytes after the frame header.
    at = kHeaderBytes + 32;
    if (at + 18 <= available && std::memcmp(frame + at, "VBRI", 4) == 0) {
        out.kind = InfoHeaderKind::vbri;
        out.encoderDelay = static_cast<uint16_t>(frame[at + 6] << 8 | frame[at + 7]);
        out.hasBytes = true;
        out.bytes = be32(frame + at + 10);
        out.hasFrames = true;
        out.frames = be32(frame + at + 14);
        info = out;
        return true;
    }
    return false;
}

void MpegFrameCounter::feed(const uint8_t* data, size_t size) {
    if (size == 0) return;
    pending_.insert(pending_.end(), data, data + size);
    scan(false);
}

void MpegFrameCounter::finish() { scan(true); }

void MpegFrameCounter::count(const MpegFrameHeader& h, const uint8_t* frame) {
    if (frames_ == 0) {
        first_ = h;
        InfoHeader info;
        if (parseInfoHeader(frame, static_cast<size_t>(h.frameBytes), h, info)) info_ = info;
    }
    ++frames_;
}

void MpegFrameCounter::scan(bool atEnd) {
    size_t pos = 0;
    const size_t n = pending_.size();
    while (pos + kHeaderBytes <= n) {
        const uint8_t* p = pending_.data() + pos;
        MpegFrameHeader h;
        if (!parseFrameHeader(p, h) || (frames_ > 0 && !sameStream(first_, h))) {
            ++pos;
            ++skipped_;
            continue;
        }
        const size_t next = pos + static_cast<size_t>(h.frameBytes);
        if (next + kHeaderBytes > n) {
            // The next header is not here yet: wait for more, unless this is the end.
            if (!atEnd) break;
            if (next <= n) {
                count(h, p);
                skipped_ += n - next;
                pos = n;
            } else {
                skipped_ += n - pos;
                pos = n;
            }
            break;
        }
        MpegFrameHeader following;
        if (parseFrameHeader(pending_.data() + next, following) && sameStream(h, following)) {
            count(h, p);
            pos = next;
        } else if (frames_ > 0) {
            // A frame of a locked stream followed by damage still decodes.
            count(h, p);
            pos = next;
        } else {
            ++pos;
            ++skipped_;
        }
    }
    if (atEnd && pos < n) {
        skipped_ += n - pos;
        pos = n;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
    // Never more than a frame and a header wait; anything older is not a frame start.
    if (pending_.size() > 2 * kMaxFrameBytes) {
        const size_t drop = pending_.size() - 2 * kMaxFrameBytes;
        skipped_ += drop;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(drop));
    }
}

}  // namespace tallory::formats::mp3
