#include "metadata/tag_guard.h"

#include <algorithm>
#include <cstdio>
#include <memory>

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
    return TagCheck{false, text};
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

TagCheck checkFrames(const std::vector<uint8_t>& body, int major, size_t start) {
    const size_t idBytes = major == 2 ? 3 : 4;
    const size_t headerBytes = major == 2 ? 6 : 10;
    size_t pos = start;
    while (pos < body.size()) {
        if (body[pos] == 0) return {true, {}};  // padding
        if (body.size() - pos < headerBytes) return refuse("a frame header at byte %llu is cut off", pos);
        for (size_t i = 0; i < idBytes; ++i) {
            if (!isIdChar(body[pos + i])) return refuse("the frame at byte %llu has no valid identifier", pos);
        }
        const uint8_t* h = &body[pos];
        uint32_t size = major == 2 ? bigEndian(h + 3, 3) : bigEndian(h + 4, 4);
        if (major == 4) {
            const uint32_t safe = syncsafe(h + 4);
            // Readers disagree whether 2.4 sizes are sync-safe; both readings must fit.
            size = safe > size ? safe : size;
        }
        const size_t room = body.size() - pos - headerBytes;
        if (size > room) return refuse("a frame declares %llu bytes; the tag has %llu left", size, room);
        if (size == 0) return refuse("the frame at byte %llu is empty", pos);
        if (major >= 3) {
            const uint8_t format = h[9];
            const bool compressed = major == 3 ? (format & 0x80) != 0 : (format & 0x08) != 0;
            const bool encrypted = major == 3 ? (format & 0x40) != 0 : (format & 0x04) != 0;
            const bool grouped = major == 3 ? (format & 0x20) != 0 : (format & 0x40) != 0;
            const bool lengthField = compressed || (major == 4 && (format & 0x01) != 0);
            const size_t extra = (lengthField ? 4 : 0) + (encrypted ? 1 : 0) + (grouped ? 1 : 0);
            if (size <= extra) return refuse("a frame of %llu bytes cannot hold its %llu flag bytes", size, extra);
            if (compressed) {
                const uint32_t inflated = bigEndian(h + headerBytes + (grouped && major == 4 ? 1 : 0), 4);
                if (inflated > kMaxInflatedFrameBytes || inflated == 0) {
                    return refuse("a compressed frame declares %llu bytes inflated (limit %llu)", inflated,
                                       kMaxInflatedFrameBytes);
                }
            }
        }
        pos += headerBytes + size;
    }
    return {true, {}};
}

// `file` holds at least the whole declared tag when the file has that much; fileSize is the whole file's.
TagCheck checkId3v2(const std::vector<uint8_t>& file, uint64_t fileSize) {
    if (file.size() < 3 || file[0] != 'I' || file[1] != 'D' || file[2] != '3') return {true, {}};
    if (file.size() < kHeaderBytes) return refuse("the ID3v2 header is cut off after %llu bytes", file.size());
    const uint8_t* h = file.data();
    const int major = h[3];
    if (major < 2 || major > 4 || h[4] == 0xFF) return refuse("unknown ID3v2 version 2.%llu.%llu", h[3], h[4]);
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return refuse("the ID3v2 size is not sync-safe");
    const uint32_t size = syncsafe(h + 6);
    const uint8_t flags = h[5];
    const size_t footer = major == 4 && (flags & 0x10) ? kHeaderBytes : 0;
    if (kHeaderBytes + size + footer > fileSize || kHeaderBytes + size > file.size()) {
        return refuse("the ID3v2 tag declares %llu bytes; the file has %llu", kHeaderBytes + size + footer,
                           fileSize);
    }
    if (major == 2 && (flags & 0x40)) return refuse("an ID3v2.2 tag with the undefined compression flag");
    std::vector<uint8_t> body = (flags & 0x80) && major < 4 ? resynchronised(h + kHeaderBytes, size)
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
    return checkFrames(body, major, start);
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
    return {true, {}};
}

}  // namespace

TagCheck checkTagBytes(const std::vector<uint8_t>& file) {
    TagCheck head = checkId3v2(file, file.size());
    if (!head.trusted) return head;
    return checkTrailer(file, 0);
}

TagCheck checkTagFile(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) return TagCheck{false, "cannot open " + path + ": " + platform::lastSystemError()};
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return TagCheck{false, "cannot seek in " + path};
    const long end = std::ftell(f.get());
    if (end < 0) return TagCheck{false, "cannot seek in " + path};
    const uint64_t fileSize = static_cast<uint64_t>(end);
    auto readAt = [&](uint64_t offset, size_t count, std::vector<uint8_t>& out) {
        out.resize(count);
        return std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) == 0 &&
               std::fread(out.data(), 1, count, f.get()) == count;
    };
    std::vector<uint8_t> head;
    if (!readAt(0, static_cast<size_t>(std::min<uint64_t>(fileSize, kHeaderBytes)), head)) {
        return TagCheck{false, "cannot read " + path + ": " + platform::lastSystemError()};
    }
    if (head.size() == kHeaderBytes && head[0] == 'I' && head[1] == 'D' && head[2] == '3' &&
        ((head[6] | head[7] | head[8] | head[9]) & 0x80) == 0) {
        // Read the declared tag, but never more than the file holds.
        const uint64_t declared = kHeaderBytes + uint64_t{syncsafe(&head[6])};
        if (!readAt(0, static_cast<size_t>(std::min(fileSize, declared)), head)) {
            return TagCheck{false, "cannot read " + path + ": " + platform::lastSystemError()};
        }
    }
    TagCheck check = checkId3v2(head, fileSize);
    if (!check.trusted) return check;
    const uint64_t tailBytes = std::min<uint64_t>(fileSize, kTrailerBytes);
    std::vector<uint8_t> tail;
    if (!readAt(fileSize - tailBytes, static_cast<size_t>(tailBytes), tail)) {
        return TagCheck{false, "cannot read " + path + ": " + platform::lastSystemError()};
    }
    return checkTrailer(tail, fileSize - tailBytes);
}

}  // namespace tallory::metadata
