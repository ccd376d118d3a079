#include "metadata/tag_guard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>

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

// ID3v2.2 identifiers and their ID3v2.3 forms; the bodies share one layout but PIC's.
struct V22Name {
    const char* v22;
    const char* v23;
};
constexpr V22Name kV22Names[] = {
    {"BUF", "RBUF"}, {"CNT", "PCNT"}, {"COM", "COMM"}, {"CRA", "AENC"}, {"EQU", "EQUA"}, {"ETC", "ETCO"},
    {"GEO", "GEOB"}, {"IPL", "IPLS"}, {"MCI", "MCDI"}, {"MLL", "MLLT"}, {"PIC", "APIC"}, {"POP", "POPM"},
    {"REV", "RVRB"}, {"RVA", "RVAD"}, {"SLT", "SYLT"}, {"STC", "SYTC"}, {"TAL", "TALB"}, {"TBP", "TBPM"},
    {"TCM", "TCOM"}, {"TCO", "TCON"}, {"TCR", "TCOP"}, {"TDA", "TDAT"}, {"TDY", "TDLY"}, {"TEN", "TENC"},
    {"TFT", "TFLT"}, {"TIM", "TIME"}, {"TKE", "TKEY"}, {"TLA", "TLAN"}, {"TLE", "TLEN"}, {"TMT", "TMED"},
    {"TOA", "TOPE"}, {"TOF", "TOFN"}, {"TOL", "TOLY"}, {"TOR", "TORY"}, {"TOT", "TOAL"}, {"TP1", "TPE1"},
    {"TP2", "TPE2"}, {"TP3", "TPE3"}, {"TP4", "TPE4"}, {"TPA", "TPOS"}, {"TPB", "TPUB"}, {"TRC", "TSRC"},
    {"TRD", "TRDA"}, {"TRK", "TRCK"}, {"TSI", "TSIZ"}, {"TSS", "TSSE"}, {"TT1", "TIT1"}, {"TT2", "TIT2"},
    {"TT3", "TIT3"}, {"TXT", "TEXT"}, {"TXX", "TXXX"}, {"TYE", "TYER"}, {"UFI", "UFID"}, {"ULT", "USLT"},
    {"WAF", "WOAF"}, {"WAR", "WOAR"}, {"WAS", "WOAS"}, {"WCM", "WCOM"}, {"WCP", "WCOP"}, {"WPB", "WPUB"},
    {"WXX", "WXXX"},
    // iTunes writes these into ID3v2.2 tags.
    {"TCP", "TCMP"}, {"TS2", "TSO2"}, {"TSA", "TSOA"}, {"TSC", "TSOC"}, {"TSP", "TSOP"}, {"TST", "TSOT"},
};

const char* v23NameOf(const uint8_t* id) {
    for (const V22Name& n : kV22Names) {
        if (std::equal(id, id + 3, reinterpret_cast<const uint8_t*>(n.v22))) return n.v23;
    }
    return nullptr;
}

// The MIME type of an ID3v2.2 picture's three-letter image format.
std::string mimeOfImageFormat(const uint8_t* format) {
    std::string f;
    for (int i = 0; i < 3 && format[i] != 0; ++i) f += static_cast<char>(std::tolower(format[i]));
    while (!f.empty() && f.back() == ' ') f.pop_back();
    if (f == "jpg") return "image/jpeg";
    if (f.empty()) return "";
    if (f == "-->") return "-->";  // ID3v2.3 4.15: a link to the picture
    return "image/" + f;
}

// An ID3v2.2 PIC body (encoding, image format, type, description, data) as an APIC body.
std::optional<std::vector<uint8_t>> apicOfPic(const uint8_t* data, size_t size) {
    if (size < 5) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(size + 16);
    out.push_back(data[0]);
    const std::string mime = mimeOfImageFormat(data + 1);
    out.insert(out.end(), mime.begin(), mime.end());
    out.push_back(0);
    out.insert(out.end(), data + 4, data + size);
    return out;
}

void appendBigEndian(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void appendSyncsafe(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 21; shift >= 0; shift -= 7) out.push_back(static_cast<uint8_t>((v >> shift) & 0x7F));
}

// Inflates zlib data of at most `limit` bytes; nullopt when it is damaged or larger.
std::optional<std::vector<uint8_t>> inflated(const uint8_t* data, size_t size, size_t expected, size_t limit) {
    if (expected > limit) return std::nullopt;
    std::vector<uint8_t> out(expected != 0 ? expected : std::min<size_t>(limit, size * 4 + 64));
    z_stream z{};
    if (::inflateInit(&z) != Z_OK) return std::nullopt;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (z.total_out == out.size()) {
            if (expected != 0 || out.size() >= limit) break;
            out.resize(std::min(limit, out.size() * 2));
        }
        z.next_out = out.data() + z.total_out;
        z.avail_out = static_cast<uInt>(out.size() - z.total_out);
        rc = ::inflate(&z, Z_NO_FLUSH);
    }
    const size_t produced = z.total_out;
    ::inflateEnd(&z);
    if (rc != Z_STREAM_END || (expected != 0 && produced != expected)) return std::nullopt;
    out.resize(produced);
    return out;
}

class FrameWalker {
public:
    FrameWalker(int major, bool tagUnsynchronised, TagCheck& result)
        : major_(major), tagUnsynchronised_(tagUnsynchronised), result_(result) {}

    // Appends an ID3v2.3 frame without format flags, its texts moved to an encoding id3lib returns.
    // A frame whose content cannot be read is kept raw (`original`, in the tag's own layout).
    void appendFrame(const uint8_t* id, uint8_t status, const uint8_t* data, size_t size,
                     std::span<const uint8_t> original) {
        TranscodeResult text = transcodeFrameData(id, data, size);
        if (text.kind == TranscodeKind::Unreadable) {
            keepRaw(id, original);
            return;
        }
        if (text.kind == TranscodeKind::Rewritten) {
            data = text.data.data();
            size = text.data.size();
        }
        frames_.insert(frames_.end(), id, id + 4);
        appendBigEndian(frames_, static_cast<uint32_t>(size));
        frames_.push_back(status);
        frames_.push_back(0);
        frames_.insert(frames_.end(), data, data + size);
    }

    void keepRaw(const uint8_t* id, std::span<const uint8_t> original) {
        if (major_ == 2) {
            // An ID3v2.2 frame has no place in the ID3v2.3 tag it is written as.
            damaged("the ID3v2.2 frame '%s' cannot be converted to ID3v2.3", id, 3);
            return;
        }
        RawFrame raw{std::string(reinterpret_cast<const char*>(id), 4), major_, {original.begin(), original.end()}};
        // Unsynchronised by the tag's flag, which the tag it is written into lacks: the frame says so itself.
        if (major_ == 4 && tagUnsynchronised_ && raw.bytes.size() >= 10) raw.bytes[9] |= 0x02;
        result_.rawFrames.push_back(std::move(raw));
    }

    void damaged(const char* format, const uint8_t* id, size_t idBytes) {
        if (!result_.damage.empty()) return;
        char text[200];
        std::snprintf(text, sizeof text, format, std::string(reinterpret_cast<const char*>(id), idBytes).c_str());
        result_.damage = text;
    }

    void v22(const uint8_t* h, const uint8_t* data, size_t size, std::span<const uint8_t> original) {
        const char* name = v23NameOf(h);
        if (name == nullptr) {
            damaged("the ID3v2.2 frame '%s' has no ID3v2.3 form", h, 3);
            return;
        }
        const auto* id = reinterpret_cast<const uint8_t*>(name);
        if (std::equal(h, h + 3, reinterpret_cast<const uint8_t*>("PIC"))) {
            const auto body = apicOfPic(data, size);
            if (!body) {
                damaged("the ID3v2.2 picture '%s' is cut short", h, 3);
                return;
            }
            appendFrame(id, 0, body->data(), body->size(), original);
            return;
        }
        appendFrame(id, 0, data, size, original);
    }

    void v23(const uint8_t* h, const uint8_t* data, uint32_t size, std::span<const uint8_t> original) {
        const uint8_t format = h[9];
        const bool compressed = (format & 0x80) != 0;
        const bool encrypted = (format & 0x40) != 0;
        const bool grouped = (format & 0x20) != 0;
        const size_t extra = (compressed ? 4 : 0) + (encrypted ? 1 : 0) + (grouped ? 1 : 0);
        if (size < extra) {
            keepRaw(h, original);
            return;
        }
        if (!compressed) {
            if (encrypted || grouped) {
                frames_.insert(frames_.end(), h, h + 9);
                frames_.push_back(format & 0x60);
                frames_.insert(frames_.end(), data, data + size);
            } else {
                appendFrame(h, h[8], data, size, original);
            }
            return;
        }
        const uint32_t declared = bigEndian(data, 4);
        std::optional<std::vector<uint8_t>> plain;
        if (!encrypted && declared != 0) plain = inflated(data + extra, size - extra, declared, kMaxInflatedFrameBytes);
        if (!plain) {
            // Encrypted, or an inflation id3lib must not try: kept as it is.
            keepRaw(h, original);
            return;
        }
        if (grouped) {
            frames_.insert(frames_.end(), h, h + 4);
            appendBigEndian(frames_, static_cast<uint32_t>(plain->size() + 1));
            frames_.push_back(h[8]);
            frames_.push_back(0x20);
            frames_.push_back(data[4]);
            frames_.insert(frames_.end(), plain->begin(), plain->end());
        } else {
            appendFrame(h, h[8], plain->data(), plain->size(), original);
        }
    }

    // ID3v2.4 4.1.2: grouping (0x40), compression (0x08), encryption (0x04),
    // unsynchronisation (0x02) and a data length indicator (0x01), whose bytes
    // follow the header in that order.
    void v24(const uint8_t* h, const uint8_t* data, uint32_t size, std::span<const uint8_t> original) {
        const uint8_t format = h[9];
        const bool grouped = (format & 0x40) != 0;
        const bool compressed = (format & 0x08) != 0;
        const bool encrypted = (format & 0x04) != 0;
        const bool unsynchronised = (format & 0x02) != 0 || tagUnsynchronised_;
        const bool lengthGiven = (format & 0x01) != 0;
        // Grouped or encrypted frames cannot be given to id3lib without losing their flag bytes.
        if (grouped || encrypted || (format & 0xB0) != 0) {
            keepRaw(h, original);
            return;
        }
        size_t skip = 0;
        uint32_t length = 0;
        if (lengthGiven) {
            if (size < 4 || ((data[0] | data[1] | data[2] | data[3]) & 0x80) != 0) {
                keepRaw(h, original);
                return;
            }
            length = syncsafe(data);
            skip = 4;
        }
        std::vector<uint8_t> body = unsynchronised ? resynchronised(data + skip, size - skip)
                                                   : std::vector<uint8_t>(data + skip, data + size);
        if (compressed) {
            auto plain = inflated(body.data(), body.size(), lengthGiven ? length : 0, kMaxInflatedFrameBytes);
            if (!plain) {
                keepRaw(h, original);
                return;
            }
            body = std::move(*plain);
        }
        // ID3v2.4 status flags (0x70) sit one bit lower than ID3v2.3's (0xE0).
        appendFrame(h, static_cast<uint8_t>((h[8] << 1) & 0xE0), body.data(), body.size(), original);
    }

    std::vector<uint8_t>& frames() { return frames_; }

private:
    int major_;
    bool tagUnsynchronised_;
    TagCheck& result_;
    std::vector<uint8_t> frames_;
};

// Walks the frames of a tag body and writes them out for id3lib. `body` is
// resynchronised already for ID3v2.2 and 2.3 tags with the unsynchronisation flag.
TagCheck rewriteFrames(const std::vector<uint8_t>& body, int major, size_t start, bool unsynchronised) {
    const size_t idBytes = major == 2 ? 3 : 4;
    const size_t headerBytes = major == 2 ? 6 : 10;
    TagCheck result = trustedEmpty();
    result.major = major;
    FrameWalker walker(major, major == 4 && unsynchronised, result);
    size_t pos = start;
    char where[160];
    while (pos < body.size() && result.damage.empty()) {
        if (body[pos] == 0) break;  // padding
        if (body.size() - pos < headerBytes) {
            std::snprintf(where, sizeof where, "a frame header at byte %zu of the tag is cut off", pos);
            result.damage = where;
            break;
        }
        bool valid = true;
        for (size_t i = 0; i < idBytes; ++i) valid = valid && isIdChar(body[pos + i]);
        if (!valid) {
            std::snprintf(where, sizeof where, "the frame at byte %zu of the tag has no valid identifier", pos);
            result.damage = where;
            break;
        }
        const uint8_t* h = &body[pos];
        const size_t room = body.size() - pos - headerBytes;
        uint32_t size = major == 2 ? bigEndian(h + 3, 3) : bigEndian(h + 4, 4);
        if (major == 4 && ((h[4] | h[5] | h[6] | h[7]) & 0x80) == 0 && syncsafe(h + 4) <= room) {
            // ID3v2.4 sizes are sync-safe; some writers put plain numbers there.
            size = syncsafe(h + 4);
        }
        if (size > room) {
            std::snprintf(where, sizeof where, "the frame '%.*s' at byte %zu declares %u bytes; the tag has %zu left",
                          static_cast<int>(idBytes), reinterpret_cast<const char*>(h), pos, size, room);
            result.damage = where;
            break;
        }
        const uint8_t* data = h + headerBytes;
        const std::span<const uint8_t> original(h, headerBytes + size);
        pos += headerBytes + size;
        if (major == 2) {
            walker.v22(h, data, size, original);
        } else if (major == 3) {
            walker.v23(h, data, size, original);
        } else {
            walker.v24(h, data, size, original);
        }
    }
    std::vector<uint8_t>& frames = walker.frames();
    if (!frames.empty()) {
        const uint32_t n = static_cast<uint32_t>(frames.size());
        result.id3v2 = {'I', 'D', '3', 3, 0, 0};
        appendSyncsafe(result.id3v2, n);
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
    // ID3v2.4 unsynchronises frame by frame (the tag's flag says every frame is).
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
    TagCheck result = rewriteFrames(body, major, start, (flags & 0x80) != 0);
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
    if (!tail.trusted) {
        head.trailerTrusted = false;
        head.trailerReason = tail.reason;
    }
    return head;
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
    if (!trailer.trusted) {
        // The ID3v2 tag stays readable; the bytes at the end are kept as audio.
        check.trailerTrusted = false;
        check.trailerReason = trailer.reason;
    }
    return check;
}

}  // namespace tallory::metadata
