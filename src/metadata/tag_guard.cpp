#include "metadata/tag_guard.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <zlib.h>

#include "metadata/frame_transcode.h"
#include "platform/files/file_system.h"

namespace tallory::metadata {

namespace {

constexpr size_t kHeaderBytes = 10;
// id3lib inflates a compressed frame into a buffer of its declared size.
constexpr uint32_t kMaxInflatedFrameBytes = 16u << 20;
// An ID3v1 tag; a Lyrics3 v2 tag ends with its 6-digit size and "LYRICS200" before it.
constexpr size_t kId3v1Bytes = 128;
constexpr size_t kLyrics3v2TrailerBytes = 15;
constexpr size_t kTrailerBytes = kId3v1Bytes + kLyrics3v2TrailerBytes;

TagCheck refuse(const char* format, unsigned long long a = 0, unsigned long long b = 0) {
    char text[200];
    std::snprintf(text, sizeof text, format, a, b);
    TagCheck check;
    check.reason = text;
    return check;
}

TagCheck untrusted(std::string reason) {
    TagCheck check;
    check.reason = std::move(reason);
    return check;
}

TagCheck trustedEmpty() {
    TagCheck check;
    check.trusted = true;
    return check;
}

uint32_t syncsafe(const uint8_t* p) {
    return (uint32_t{p[0]} << 21) | (uint32_t{p[1]} << 14) | (uint32_t{p[2]} << 7) | p[3];
}
uint32_t bigEndian(const uint8_t* p, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}
bool isIdChar(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// ID3v2.3 6.1: the tag body with every inserted 00 after FF removed.
std::vector<uint8_t> resynchronised(const uint8_t* p, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(p[i]);
        if (p[i] == 0xFF && i + 1 < n && p[i + 1] == 0x00) ++i;
    }
    return out;
}

// Frames of an ID3v2.2.1 tag that id3lib would inflate or decrypt.
bool isId3v22MetaFrame(const uint8_t* id) {
    return (id[0] == 'C' && id[1] == 'R' && id[2] == 'M') || (id[0] == 'C' && id[1] == 'D' && id[2] == 'M');
}

void appendBigEndian(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// Appends an ID3v2.3 frame without format flags, its texts moved to an encoding id3lib returns.
void appendFrame(std::vector<uint8_t>& frames, const uint8_t* id, uint8_t status, const uint8_t* data, size_t size,
                 TagCheck& result) {
    TranscodeResult text = transcodeFrameData(id, data, size);
    if (text.kind == TranscodeKind::Unreadable) {
        ++result.droppedFrames;
        return;
    }
    if (text.kind == TranscodeKind::Rewritten) {
        data = text.data.data();
        size = text.data.size();
    }
    frames.insert(frames.end(), id, id + 4);
    appendBigEndian(frames, static_cast<uint32_t>(size));
    frames.push_back(status);
    frames.push_back(0);
    frames.insert(frames.end(), data, data + size);
}

// Walks the frames of a resynchronised tag body and writes them out for id3lib.
TagCheck rewriteFrames(const std::vector<uint8_t>& body, int major, size_t start) {
    const size_t idBytes = major == 2 ? 3 : 4;
    const size_t headerBytes = major == 2 ? 6 : 10;
    TagCheck result = trustedEmpty();
    std::vector<uint8_t> frames;
    size_t pos = start;
    while (pos < body.size()) {
        if (body[pos] == 0) break;  // padding
        if (body.size() - pos < headerBytes) return refuse("a frame header at byte %llu is cut off", pos);
        for (size_t i = 0; i < idBytes; ++i) {
            if (!isIdChar(body[pos + i])) return refuse("the frame at byte %llu has no valid identifier", pos);
        }
        const uint8_t* h = &body[pos];
        const size_t room = body.size() - pos - headerBytes;
        uint32_t size = major == 2 ? bigEndian(h + 3, 3) : bigEndian(h + 4, 4);
        if (major == 4 && ((h[4] | h[5] | h[6] | h[7]) & 0x80) == 0 && syncsafe(h + 4) <= room) {
            // ID3v2.4 sizes are sync-safe; some writers put plain numbers there.
            size = syncsafe(h + 4);
        }
        if (size > room) return refuse("a frame declares %llu bytes; the tag has %llu left", size, room);
        const uint8_t* data = h + headerBytes;
        pos += headerBytes + size;
        if (major == 2) {
            if (isId3v22MetaFrame(h)) {
                ++result.droppedFrames;
                continue;
            }
            frames.insert(frames.end(), h, h + headerBytes + size);
            continue;
        }
        const uint8_t format = h[9];
        if (major == 4) {
            // Compression, encryption, unsynchronisation and length fields of 2.4 frames
            // are not read by id3lib as 2.4 defines them.
            if (format != 0) {
                ++result.droppedFrames;
                continue;
            }
            appendFrame(frames, h, 0, data, size, result);
            continue;
        }
        const bool compressed = (format & 0x80) != 0;
        const bool encrypted = (format & 0x40) != 0;
        const bool grouped = (format & 0x20) != 0;
        const size_t extra = (compressed ? 4 : 0) + (encrypted ? 1 : 0) + (grouped ? 1 : 0);
        if (size < extra) return refuse("a frame of %llu bytes cannot hold its %llu flag bytes", size, extra);
        if (!compressed) {
            if (encrypted || grouped) {
                frames.insert(frames.end(), h, h + 9);
                frames.push_back(format & 0x60);
                frames.insert(frames.end(), data, data + size);
            } else {
                appendFrame(frames, h, h[8], data, size, result);
            }
            continue;
        }
        const uint32_t inflated = bigEndian(data, 4);
        if (encrypted || inflated == 0 || inflated > kMaxInflatedFrameBytes) {
            ++result.droppedFrames;
            continue;
        }
        std::vector<uint8_t> plain(inflated);
        uLongf plainBytes = inflated;
        const size_t packed = size - extra;
        if (::uncompress(plain.data(), &plainBytes, data + extra, packed) != Z_OK || plainBytes != inflated) {
            ++result.droppedFrames;
            continue;
        }
        if (grouped) {
            frames.insert(frames.end(), h, h + 4);
            appendBigEndian(frames, inflated + 1);
            frames.push_back(h[8]);
            frames.push_back(0x20);
            frames.push_back(data[4]);
            frames.insert(frames.end(), plain.begin(), plain.end());
        } else {
            appendFrame(frames, h, h[8], plain.data(), plain.size(), result);
        }
    }
    if (!frames.empty()) {
        const uint32_t n = static_cast<uint32_t>(frames.size());
        result.id3v2 = {'I', 'D', '3', static_cast<uint8_t>(major == 2 ? 2 : 3), 0, 0,
                        static_cast<uint8_t>((n >> 21) & 0x7F), static_cast<uint8_t>((n >> 14) & 0x7F),
                        static_cast<uint8_t>((n >> 7) & 0x7F), static_cast<uint8_t>(n & 0x7F)};
        result.id3v2.insert(result.id3v2.end(), frames.begin(), frames.end());
    }
    return result;
}

// `file` holds at least the whole declared tag when the file has that much; fileSize is the whole file's.
TagCheck checkId3v2(const std::vector<uint8_t>& file, uint64_t fileSize) {
    if (file.size() < 3 || file[0] != 'I' || file[1] != 'D' || file[2] != '3') return trustedEmpty();
    if (file.size() < kHeaderBytes) return refuse("the ID3v2 header is cut off after %llu bytes", file.size());
    const uint8_t* h = file.data();
    const int major = h[3];
    if (major < 2 || major > 4 || h[4] == 0xFF) return refuse("unknown ID3v2 version 2.%llu.%llu", h[3], h[4]);
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return refuse("the ID3v2 size is not sync-safe");
    const uint32_t size = syncsafe(h + 6);
    const uint8_t flags = h[5];
    const size_t footer = major == 4 && (flags & 0x10) ? kHeaderBytes : 0;
    if (kHeaderBytes + size + footer > fileSize || kHeaderBytes + size > file.size()) {
        return refuse("the ID3v2 tag declares %llu bytes; the file has %llu", kHeaderBytes + size + footer, fileSize);
    }
    if (major == 2 && (flags & 0x40)) return refuse("an ID3v2.2 tag with the undefined compression flag");
    // ID3v2.4 unsynchronises frame by frame; its frames with flags are left out anyway.
    std::vector<uint8_t> body = (flags & 0x80) && major < 4
                                    ? resynchronised(h + kHeaderBytes, size)
                                    : std::vector<uint8_t>(h + kHeaderBytes, h + kHeaderBytes + size);
    size_t start = 0;
    if (major >= 3 && (flags & 0x40)) {
        if (body.size() < 6) return refuse("the extended header is cut off");
        const uint32_t extended = major == 3 ? bigEndian(body.data(), 4) + 4 : syncsafe(body.data());
        if (extended < 6 || extended > body.size()) {
            return refuse("the extended header declares %llu bytes; the tag has %llu", extended, body.size());
        }
        start = extended;
    }
    TagCheck result = rewriteFrames(body, major, start);
    result.id3v2Bytes = kHeaderBytes + size + footer;
    return result;
}

// `file` is the file's last bytes (at least kTrailerBytes of them when the file has that many).
TagCheck checkTrailer(const std::vector<uint8_t>& file, uint64_t fileOffset) {
    size_t end = file.size();
    if (end >= kId3v1Bytes && file[end - 128] == 'T' && file[end - 127] == 'A' && file[end - 126] == 'G') end -= kId3v1Bytes;
    if (end >= kLyrics3v2TrailerBytes) {
        const uint8_t* t = &file[end - 9];
        if (std::equal(t, t + 9, reinterpret_cast<const uint8_t*>("LYRICS200"))) {
            unsigned long long size = 0;
            for (size_t i = end - kLyrics3v2TrailerBytes; i < end - 9; ++i) {
                if (file[i] < '0' || file[i] > '9') return refuse("the Lyrics3 v2 size is not a number");
                size = size * 10 + (file[i] - '0');
            }
            // The tail holds only the trailer; the size is checked against the whole file.
            if (size + kLyrics3v2TrailerBytes > end + fileOffset) {
                return refuse("the Lyrics3 v2 tag declares %llu bytes; %llu precede it", size,
                                   end + fileOffset - kLyrics3v2TrailerBytes);
            }
        }
    }
    return trustedEmpty();
}

}  // namespace

TagCheck checkTagBytes(const std::vector<uint8_t>& file) {
    TagCheck head = checkId3v2(file, file.size());
    if (!head.trusted) return head;
    const TagCheck tail = checkTrailer(file, 0);
    return tail.trusted ? head : tail;
}

TagCheck checkTagFile(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) return untrusted("cannot open " + path + ": " + platform::lastSystemError());
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return untrusted("cannot seek in " + path);
    const long end = std::ftell(f.get());
    if (end < 0) return untrusted("cannot seek in " + path);
    const uint64_t fileSize = static_cast<uint64_t>(end);
    auto readAt = [&](uint64_t offset, size_t count, std::vector<uint8_t>& out) {
        out.resize(count);
        return std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) == 0 &&
               std::fread(out.data(), 1, count, f.get()) == count;
    };
    std::vector<uint8_t> head;
    if (!readAt(0, static_cast<size_t>(std::min<uint64_t>(fileSize, kHeaderBytes)), head)) {
        return untrusted("cannot read " + path + ": " + platform::lastSystemError());
    }
    if (head.size() == kHeaderBytes && head[0] == 'I' && head[1] == 'D' && head[2] == '3' &&
        ((head[6] | head[7] | head[8] | head[9]) & 0x80) == 0) {
        // Read the declared tag, but never more than the file holds.
        const uint64_t declared = kHeaderBytes + uint64_t{syncsafe(&head[6])};
        if (!readAt(0, static_cast<size_t>(std::min(fileSize, declared)), head)) {
            return untrusted("cannot read " + path + ": " + platform::lastSystemError());
        }
    }
    TagCheck check = checkId3v2(head, fileSize);
    if (!check.trusted) return check;
    head = {};
    const uint64_t tailBytes = std::min<uint64_t>(fileSize, kTrailerBytes);
    std::vector<uint8_t> tail;
    if (!readAt(fileSize - tailBytes, static_cast<size_t>(tailBytes), tail)) {
        return untrusted("cannot read " + path + ": " + platform::lastSystemError());
    }
    const TagCheck trailer = checkTrailer(tail, fileSize - tailBytes);
    return trailer.trusted ? check : trailer;
}

}  // namespace tallory::metadata
