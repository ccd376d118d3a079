#include "formats/opus/opus_metadata_file.h"

#include <ogg/ogg.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "metadata/metadata_tag.h"
#include "platform/files/file_system.h"
#include "platform/files/temp_file.h"

namespace tallory::formats::opus {

namespace {

constexpr char kTagsMagic[] = "OpusTags";
constexpr size_t kMagicBytes = 8;
constexpr size_t kReadChunk = 65536;
// RFC 7845 3: the comment header may span pages, but a header larger than
// this is no tag any player would read; it is refused rather than buffered.
constexpr size_t kMaxTagsPacketBytes = size_t{64} << 20;
// Pages read while looking for the headers before the file is called damaged.
constexpr int kMaxHeaderPages = 4096;

// Pages of one Ogg file in order, read through libogg's sync layer (which
// checks each page's CRC).
class PageReader {
public:
    explicit PageReader(std::FILE* file) : file_(file) { ogg_sync_init(&sync_); }
    ~PageReader() { ogg_sync_clear(&sync_); }
    PageReader(const PageReader&) = delete;
    PageReader& operator=(const PageReader&) = delete;

    // 1 a page, 0 the end of the file, -1 damaged data.
    int next(ogg_page& page) {
        for (;;) {
            const int r = ogg_sync_pageout(&sync_, &page);
            if (r == 1) return 1;
            if (r < 0) return -1;
            char* buffer = ogg_sync_buffer(&sync_, kReadChunk);
            if (buffer == nullptr) return -1;
            const size_t got = std::fread(buffer, 1, kReadChunk, file_);
            if (got == 0) {
                // Bytes left over that make no page: a cut last page.
                return sync_.fill > sync_.returned ? -1 : 0;
            }
            ogg_sync_wrote(&sync_, static_cast<long>(got));
        }
    }

private:
    std::FILE* file_;
    ogg_sync_state sync_{};
};

struct StreamGuard {
    ogg_stream_state state{};
    bool live = false;
    ~StreamGuard() {
        if (live) ogg_stream_clear(&state);
    }
};

// The headers of an Ogg Opus stream as they were found.
struct HeaderPages {
    std::vector<uint8_t> headPage;  // the OpusHead page, raw
    std::vector<uint8_t> tagsPacket;
    int serial = 0;
    long tagPageCount = 0;
};

std::vector<uint8_t> rawPage(const ogg_page& page) {
    std::vector<uint8_t> out(page.header, page.header + page.header_len);
    out.insert(out.end(), page.body, page.body + page.body_len);
    return out;
}

// Reads OpusHead and OpusTags; `after` receives the first page that follows them.
bool readHeaders(PageReader& reader, HeaderPages& headers, ogg_page* after, bool* haveAfter, std::string* why) {
    ogg_page page;
    if (reader.next(page) != 1 || !ogg_page_bos(&page) || page.body_len < 19 ||
        std::memcmp(page.body, "OpusHead", 8) != 0) {
        *why = "not an Ogg Opus file";
        return false;
    }
    headers.serial = ogg_page_serialno(&page);
    headers.headPage = rawPage(page);
    StreamGuard stream;
    if (ogg_stream_init(&stream.state, headers.serial) != 0) throw std::bad_alloc();
    stream.live = true;
    ogg_stream_pagein(&stream.state, &page);
    ogg_packet packet;
    if (ogg_stream_packetout(&stream.state, &packet) != 1 || ogg_stream_packetout(&stream.state, &packet) != 0) {
        *why = "the OpusHead page holds more than the identification header";
        return false;
    }
    for (int pages = 0;; ++pages) {
        if (pages >= kMaxHeaderPages) {
            *why = "no comment header in the first pages";
            return false;
        }
        const int r = reader.next(page);
        if (r != 1) {
            *why = r == 0 ? "the file ends before its comment header" : "a damaged page in the headers";
            return false;
        }
        if (ogg_page_serialno(&page) != headers.serial) {
            *why = "several logical streams (chained or multiplexed files are not supported)";
            return false;
        }
        ogg_stream_pagein(&stream.state, &page);
        ++headers.tagPageCount;
        const int got = ogg_stream_packetout(&stream.state, &packet);
        if (got < 0) {
            *why = "a gap in the comment header";
            return false;
        }
        if (got == 0) {
            if (static_cast<size_t>(stream.state.body_fill) > kMaxTagsPacketBytes) {
                *why = "the comment header is too large";
                return false;
            }
            continue;
        }
        if (packet.bytes < static_cast<long>(kMagicBytes) || std::memcmp(packet.packet, kTagsMagic, kMagicBytes) != 0) {
            *why = "the second packet is not an OpusTags header";
            return false;
        }
        headers.tagsPacket.assign(packet.packet, packet.packet + packet.bytes);
        // RFC 7845 3: the comment header ends its page; audio starts on the next.
        if (ogg_stream_packetpeek(&stream.state, nullptr) != 0) {
            *why = "audio shares the last page of the comment header";
            return false;
        }
        break;
    }
    const int r = reader.next(page);
    if (r < 0) {
        *why = "a damaged page after the headers";
        return false;
    }
    *haveAfter = r == 1;
    if (r == 1) *after = page;
    return true;
}

bool writeAll(std::FILE* out, const unsigned char* data, long bytes) {
    return std::fwrite(data, 1, static_cast<size_t>(bytes), out) == static_cast<size_t>(bytes);
}

bool writePage(std::FILE* out, const ogg_page& page) {
    return writeAll(out, page.header, page.header_len) && writeAll(out, page.body, page.body_len);
}

}  // namespace

std::optional<metadata::CommentPacket> parseOpusTags(std::span<const uint8_t> packet) {
    if (packet.size() < kMagicBytes || std::memcmp(packet.data(), kTagsMagic, kMagicBytes) != 0) return std::nullopt;
    return metadata::parseCommentPacket(packet.subspan(kMagicBytes));
}

std::vector<uint8_t> renderOpusTags(const metadata::CommentPacket& comments) {
    std::vector<uint8_t> out(kTagsMagic, kTagsMagic + kMagicBytes);
    const std::vector<uint8_t> body = metadata::renderCommentPacket(comments);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<std::string> opusCommentsOf(const ID3_Tag& tag) {
    std::vector<std::string> out;
    for (std::string& c : metadata::writeVorbisComments(tag, true)) {
        std::string name = c.substr(0, c.find('='));
        for (char& ch : name) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
        if (name.rfind("REPLAYGAIN_", 0) == 0) continue;
        out.push_back(std::move(c));
    }
    return out;
}

std::optional<metadata::CommentPacket> readOpusTags(const std::string& path, std::string* why) {
    platform::UniqueFile file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        *why = "cannot open the file";
        return std::nullopt;
    }
    PageReader reader(file.get());
    HeaderPages headers;
    ogg_page after;
    bool haveAfter = false;
    if (!readHeaders(reader, headers, &after, &haveAfter, why)) return std::nullopt;
    auto packet = parseOpusTags(headers.tagsPacket);
    if (!packet) *why = "a malformed OpusTags header";
    return packet;
}

bool writeOpusTags(const std::string& path, const std::vector<std::string>& comments, std::string* why) {
    platform::UniqueFile in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        *why = "cannot open the file";
        return false;
    }
    PageReader reader(in.get());
    HeaderPages headers;
    ogg_page page;
    bool havePage = false;
    if (!readHeaders(reader, headers, &page, &havePage, why)) return false;
    auto old = parseOpusTags(headers.tagsPacket);
    metadata::CommentPacket packet;
    packet.vendor = old ? old->vendor : "Tallory";
    packet.comments = comments;
    std::vector<uint8_t> tags = renderOpusTags(packet);

    const std::string dir = platform::directoryOf(path);
    const std::string tempPath = platform::createNamedTempFile(dir.empty() ? "." : dir, ".tallory-tags-");
    if (tempPath.empty()) {
        *why = "cannot create a file beside it: " + platform::lastSystemError();
        return false;
    }
    bool ok = false;
    {
        platform::UniqueFile out(std::fopen(tempPath.c_str(), "wb"));
        if (out) {
            ok = writeAll(out.get(), headers.headPage.data(), static_cast<long>(headers.headPage.size()));
            StreamGuard stream;
            if (ogg_stream_init(&stream.state, headers.serial) != 0) throw std::bad_alloc();
            stream.live = true;
            // The stream goes on from the OpusHead page (page 0, which carries the
            // beginning-of-stream flag): the new pages must not start it again.
            stream.state.pageno = 1;
            stream.state.b_o_s = 1;
            ogg_packet p{};
            p.packet = tags.data();
            p.bytes = static_cast<long>(tags.size());
            p.packetno = 1;
            ogg_stream_packetin(&stream.state, &p);
            ogg_page out_page;
            while (ok && ogg_stream_flush(&stream.state, &out_page) != 0) ok = writePage(out.get(), out_page);
            const long delta = (stream.state.pageno - 1) - headers.tagPageCount;
            // Audio pages keep their bytes; only the sequence number (and so the CRC) moves.
            while (ok && havePage) {
                if (ogg_page_serialno(&page) != headers.serial) {
                    *why = "several logical streams (chained or multiplexed files are not supported)";
                    ok = false;
                    break;
                }
                if (delta != 0) {
                    const uint32_t seq = static_cast<uint32_t>(ogg_page_pageno(&page) + delta);
                    for (int b = 0; b < 4; ++b) page.header[18 + b] = static_cast<unsigned char>(seq >> (8 * b));
                    ogg_page_checksum_set(&page);
                }
                ok = writePage(out.get(), page);
                const int r = reader.next(page);
                if (r < 0) {
                    *why = "a damaged page in the audio";
                    ok = false;
                }
                havePage = r == 1;
            }
            if (ok && std::fflush(out.get()) != 0) ok = false;
            if (!ok && why->empty()) *why = "cannot write: " + platform::lastSystemError();
            struct stat st {};
            if (ok && ::stat(path.c_str(), &st) == 0) ::chmod(tempPath.c_str(), st.st_mode & 07777);
        } else {
            *why = "cannot write beside it: " + platform::lastSystemError();
        }
        if (out && std::fclose(out.release()) != 0 && ok) {
            *why = "cannot write: " + platform::lastSystemError();
            ok = false;
        }
    }
    if (ok && std::rename(tempPath.c_str(), path.c_str()) != 0) {
        *why = "cannot replace the file: " + platform::lastSystemError();
        ok = false;
    }
    if (!ok) platform::removeFile(tempPath);
    return ok;
}

HRESULT OpusMetadataFile::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    if (iid == IID_IUnknown || iid == IID_IMetadataFile) {
        *object = static_cast<IMetadataFile*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

int OpusMetadataFile::GetCapabilities() { return METADATA_CAN_READ | METADATA_CAN_WRITE; }

HRESULT OpusMetadataFile::ReadTag(IMetadataTag** tag) {
    if (tag == nullptr) return E_INVALIDARG;
    *tag = nullptr;
    try {
        std::string why;
        auto packet = readOpusTags(path_, &why);
        if (!packet) return E_FAIL;
        auto* result = new metadata::MetadataTag;
        result->AddRef();
        try {
            metadata::readVorbisComments(packet->comments, result->library());
        } catch (...) {
            result->Release();
            throw;
        }
        *tag = result;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT OpusMetadataFile::WriteTag(IMetadataTag* tag) {
    metadata::MetadataTag* source = metadata::asMetadataTag(tag);
    if (source == nullptr) return E_INVALIDARG;
    try {
        std::string why;
        return writeOpusTags(path_, opusCommentsOf(source->library()), &why) ? S_OK : E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace tallory::formats::opus
