#include "formats/ogg/ogg_headers.h"

#include <ogg/ogg.h>
#include <sys/types.h>

#include <cstring>
#include <new>

#include "platform/files/file_system.h"
#include "platform/files/temp_file.h"

namespace tallory::formats::ogg {

const OggHeaderCodec kVorbisHeaders{std::string_view("\x01vorbis", 7), 30, std::string_view("\x03vorbis", 7), 2,
                                    "Ogg Vorbis"};
const OggHeaderCodec kOpusHeaders{"OpusHead", 19, "OpusTags", 1, "Ogg Opus"};

namespace {

constexpr size_t kReadChunk = 65536;
// A comment header larger than this is no tag any player would read (a cover
// of FLAC's largest picture block, base64-encoded, is about 22 MB); it is
// refused rather than buffered.
constexpr size_t kMaxHeaderPacketBytes = size_t{64} << 20;
// Pages read while looking for the headers before the file is called damaged.
constexpr int kMaxHeaderPages = 4096;
// Ogg framing: a page holds at most 255 lacing values of at most 255 bytes.
constexpr size_t kMaxLacing = 255;
constexpr size_t kPageHeaderBytes = 27;
constexpr size_t kSequenceOffset = 18;

// Pages of one Ogg file in order, read through libogg's sync layer (which
// checks each page's CRC), counting the bytes they took.
class PageReader {
public:
    explicit PageReader(std::FILE* file) : file_(file) { ogg_sync_init(&sync_); }
    ~PageReader() { ogg_sync_clear(&sync_); }
    PageReader(const PageReader&) = delete;
    PageReader& operator=(const PageReader&) = delete;

    // 1 a page, 0 the end of the file, -1 damaged data (bytes that are no page).
    int next(ogg_page& page) {
        for (;;) {
            const int r = ogg_sync_pageout(&sync_, &page);
            if (r == 1) {
                consumed_ += static_cast<uint64_t>(page.header_len) + static_cast<uint64_t>(page.body_len);
                return 1;
            }
            if (r < 0) return -1;
            char* buffer = ogg_sync_buffer(&sync_, kReadChunk);
            if (buffer == nullptr) throw std::bad_alloc();
            const size_t got = std::fread(buffer, 1, kReadChunk, file_);
            if (got == 0) return sync_.fill > sync_.returned ? -1 : 0;  // a cut last page
            ogg_sync_wrote(&sync_, static_cast<long>(got));
        }
    }
    uint64_t consumed() const { return consumed_; }

private:
    std::FILE* file_;
    ogg_sync_state sync_{};
    uint64_t consumed_ = 0;
};

struct StreamGuard {
    ogg_stream_state state{};
    explicit StreamGuard(int serial) {
        if (ogg_stream_init(&state, serial) != 0) throw std::bad_alloc();
    }
    ~StreamGuard() { ogg_stream_clear(&state); }
    StreamGuard(const StreamGuard&) = delete;
    StreamGuard& operator=(const StreamGuard&) = delete;
};

void appendPage(std::vector<uint8_t>& out, const ogg_page& page) {
    out.insert(out.end(), page.header, page.header + page.header_len);
    out.insert(out.end(), page.body, page.body + page.body_len);
}

void put32le(uint8_t* at, uint32_t v) {
    for (int b = 0; b < 4; ++b) at[b] = static_cast<uint8_t>(v >> (8 * b));
}

// The packets as pages: `pageCount` pages numbered from `firstSequence`, the
// lacing values spread evenly over them. Header packets carry granule
// position 0; a page on which no packet ends carries -1 (Ogg framing).
std::vector<uint8_t> pagesOf(const std::vector<std::vector<uint8_t>>& packets, int serial, uint32_t firstSequence,
                             size_t pageCount) {
    std::vector<uint8_t> lacing;
    std::vector<uint8_t> body;
    for (const std::vector<uint8_t>& p : packets) {
        size_t left = p.size();
        do {
            const size_t n = left < kMaxLacing ? left : kMaxLacing;
            lacing.push_back(static_cast<uint8_t>(n));
            left -= n;
            if (n < kMaxLacing) break;
        } while (true);
        body.insert(body.end(), p.begin(), p.end());
    }
    std::vector<uint8_t> out;
    size_t lace = 0, bodyAt = 0;
    const size_t base = lacing.size() / pageCount, extra = lacing.size() % pageCount;
    for (size_t page = 0; page < pageCount; ++page) {
        const size_t count = base + (page < extra ? 1 : 0);
        std::vector<uint8_t> header(kPageHeaderBytes + count);
        std::memcpy(header.data(), "OggS", 4);
        header[4] = 0;
        header[5] = lace > 0 && lacing[lace - 1] == kMaxLacing ? 0x01 : 0x00;  // continued packet
        size_t bytes = 0;
        bool packetEnds = false;
        for (size_t i = 0; i < count; ++i) {
            header[kPageHeaderBytes + i] = lacing[lace + i];
            bytes += lacing[lace + i];
            if (lacing[lace + i] < kMaxLacing) packetEnds = true;
        }
        const int64_t granule = packetEnds ? 0 : -1;
        for (int b = 0; b < 8; ++b) header[6 + b] = static_cast<uint8_t>(static_cast<uint64_t>(granule) >> (8 * b));
        put32le(&header[14], static_cast<uint32_t>(serial));
        put32le(&header[kSequenceOffset], firstSequence + static_cast<uint32_t>(page));
        header[26] = static_cast<uint8_t>(count);
        ogg_page og{};
        og.header = header.data();
        og.header_len = static_cast<long>(header.size());
        og.body = body.data() + bodyAt;
        og.body_len = static_cast<long>(bytes);
        ogg_page_checksum_set(&og);
        appendPage(out, og);
        lace += count;
        bodyAt += bytes;
    }
    return out;
}

size_t lacingValuesOf(const std::vector<std::vector<uint8_t>>& packets) {
    size_t n = 0;
    for (const std::vector<uint8_t>& p : packets) n += p.size() / kMaxLacing + 1;
    return n;
}

std::string notThisCodec(const OggHeaderCodec& codec) { return std::string("not an ") + codec.name + " file"; }

}  // namespace

std::optional<OggHeaders> readOggHeaders(std::FILE* file, const OggHeaderCodec& codec, std::string* why) {
    PageReader reader(file);
    OggHeaders headers;
    ogg_page page;
    if (reader.next(page) != 1 || !ogg_page_bos(&page) || static_cast<size_t>(page.body_len) < codec.minFirstBytes ||
        std::memcmp(page.body, codec.firstMagic.data(), codec.firstMagic.size()) != 0) {
        *why = notThisCodec(codec);
        return std::nullopt;
    }
    headers.serial = ogg_page_serialno(&page);
    appendPage(headers.firstPage, page);
    StreamGuard stream(headers.serial);
    ogg_stream_pagein(&stream.state, &page);
    ogg_packet packet;
    // Vorbis I A.2 and RFC 7845 3: the identification header is alone on the first page.
    if (ogg_stream_packetout(&stream.state, &packet) != 1 || ogg_stream_packetout(&stream.state, &packet) != 0) {
        *why = "the first page holds more than the identification header";
        return std::nullopt;
    }
    while (static_cast<int>(headers.packets.size()) < codec.headerPackets) {
        if (headers.headerPages >= kMaxHeaderPages) {
            *why = "no complete headers in the first pages";
            return std::nullopt;
        }
        const int r = reader.next(page);
        if (r != 1) {
            *why = r == 0 ? "the file ends before its headers do" : "a damaged page in the headers";
            return std::nullopt;
        }
        if (ogg_page_serialno(&page) != headers.serial) {
            *why = "several logical streams (multiplexed files are not supported)";
            return std::nullopt;
        }
        if (ogg_stream_pagein(&stream.state, &page) != 0) {
            *why = "a damaged page in the headers";
            return std::nullopt;
        }
        ++headers.headerPages;
        for (;;) {
            const int got = ogg_stream_packetout(&stream.state, &packet);
            if (got < 0) {
                *why = "a gap in the headers";
                return std::nullopt;
            }
            if (got == 0) break;
            if (headers.packets.empty() &&
                (static_cast<size_t>(packet.bytes) < codec.commentMagic.size() ||
                 std::memcmp(packet.packet, codec.commentMagic.data(), codec.commentMagic.size()) != 0)) {
                *why = "the second packet is no comment header";
                return std::nullopt;
            }
            headers.packets.emplace_back(packet.packet, packet.packet + packet.bytes);
            if (static_cast<int>(headers.packets.size()) == codec.headerPackets) break;
        }
        if (static_cast<size_t>(stream.state.body_fill) > kMaxHeaderPacketBytes) {
            *why = "the comment header is too large";
            return std::nullopt;
        }
    }
    // The last header packet ends its page: audio starts on a fresh one.
    if (ogg_stream_packetpeek(&stream.state, nullptr) != 0) {
        *why = "audio shares the last page of the headers";
        return std::nullopt;
    }
    headers.audioOffset = reader.consumed();
    return headers;
}

std::optional<platform::ReplacementPlan> planCommentRewrite(std::FILE* file, const OggHeaderCodec& codec,
                                                            const std::vector<uint8_t>& comment, std::string* why) {
    if (fseeko(file, 0, SEEK_SET) != 0) {
        *why = "cannot read the file: " + platform::lastSystemError();
        return std::nullopt;
    }
    std::optional<OggHeaders> headers = readOggHeaders(file, codec, why);
    if (!headers) return std::nullopt;
    if (fseeko(file, 0, SEEK_END) != 0) {
        *why = "cannot read the file: " + platform::lastSystemError();
        return std::nullopt;
    }
    const off_t size = ftello(file);
    if (size < 0 || static_cast<uint64_t>(size) < headers->audioOffset) {
        *why = "cannot read the file: " + platform::lastSystemError();
        return std::nullopt;
    }
    std::vector<std::vector<uint8_t>> packets = std::move(headers->packets);
    packets[0] = comment;
    const size_t lacing = lacingValuesOf(packets);
    const size_t fewest = (lacing + kMaxLacing - 1) / kMaxLacing;
    const size_t oldPages = static_cast<size_t>(headers->headerPages);
    // As many pages as before when the packets allow it: the audio pages then
    // keep every byte, sequence numbers included.
    const size_t pages = oldPages >= fewest && oldPages <= lacing ? oldPages : fewest;
    const uint32_t firstSequence = static_cast<uint32_t>(
        headers->firstPage[kSequenceOffset] | headers->firstPage[kSequenceOffset + 1] << 8 |
        headers->firstPage[kSequenceOffset + 2] << 16 | static_cast<uint32_t>(headers->firstPage[kSequenceOffset + 3]) << 24);

    platform::ReplacementPlan plan;
    plan.head = std::move(headers->firstPage);
    const std::vector<uint8_t> headerPages = pagesOf(packets, headers->serial, firstSequence + 1, pages);
    plan.head.insert(plan.head.end(), headerPages.begin(), headerPages.end());
    if (pages == oldPages) {
        plan.keepOffset = headers->audioOffset;
        plan.keepLength = static_cast<uint64_t>(size) - headers->audioOffset;
        return plan;
    }
    // Every later page of this stream moves by the same count; pages of a
    // chained stream after it keep their own numbers.
    const int64_t delta = static_cast<int64_t>(pages) - static_cast<int64_t>(oldPages);
    if (fseeko(file, static_cast<off_t>(headers->audioOffset), SEEK_SET) != 0) {
        *why = "cannot read the file: " + platform::lastSystemError();
        return std::nullopt;
    }
    PageReader reader(file);
    ogg_page page;
    for (;;) {
        const int r = reader.next(page);
        if (r == 0) break;
        if (r < 0) {
            *why = "a damaged page in the audio";
            return std::nullopt;
        }
        if (ogg_page_serialno(&page) == headers->serial) {
            put32le(page.header + kSequenceOffset, static_cast<uint32_t>(ogg_page_pageno(&page) + delta));
            ogg_page_checksum_set(&page);
        }
        appendPage(plan.head, page);
    }
    return plan;
}

bool rewriteComment(const std::string& path, const OggHeaderCodec& codec, const std::vector<uint8_t>& comment,
                    std::string* why) {
    platform::UniqueFile in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        *why = "cannot open the file: " + platform::lastSystemError();
        return false;
    }
    std::optional<platform::ReplacementPlan> plan = planCommentRewrite(in.get(), codec, comment, why);
    if (!plan) return false;
    const platform::FileStatus status = platform::replaceFile(path, *plan, fileno(in.get()));
    if (!status) {
        *why = status.message;
        return false;
    }
    return true;
}

std::optional<std::vector<uint8_t>> readCommentPacket(const std::string& path, const OggHeaderCodec& codec,
                                                      std::string* why) {
    platform::UniqueFile in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        *why = "cannot open the file: " + platform::lastSystemError();
        return std::nullopt;
    }
    std::optional<OggHeaders> headers = readOggHeaders(in.get(), codec, why);
    if (!headers) return std::nullopt;
    return std::move(headers->packets[0]);
}

}  // namespace tallory::formats::ogg
