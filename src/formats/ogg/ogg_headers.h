// The header packets of an Ogg logical stream (Vorbis I, RFC 7845) and the
// rewrite of its comment header: the identification page is kept byte for
// byte, the comment packet is replaced, the other header packets are
// repacketised as they were, and the audio pages follow untouched or, when
// the headers need another number of pages, with their sequence numbers (and
// so their CRCs) moved. Shared by the Ogg Vorbis and the Opus tag files.
#ifndef TALLORY_FORMATS_OGG_OGG_HEADERS_H
#define TALLORY_FORMATS_OGG_OGG_HEADERS_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/output_file.h"

namespace tallory::formats::ogg {

// What one codec's headers look like.
struct OggHeaderCodec {
    std::string_view firstMagic;    // start of the identification packet ("\x01vorbis", "OpusHead")
    size_t minFirstBytes;           // the identification packet's least size
    std::string_view commentMagic;  // start of the comment packet ("\x03vorbis", "OpusTags")
    int headerPackets;              // packets after the identification page: comment first (Vorbis 2, Opus 1)
    const char* name;               // for messages: "Ogg Vorbis", "Ogg Opus"
};

extern const OggHeaderCodec kVorbisHeaders;
extern const OggHeaderCodec kOpusHeaders;

// The headers as found at the start of a file.
struct OggHeaders {
    std::vector<uint8_t> firstPage;              // the identification page, raw
    int serial = 0;
    std::vector<std::vector<uint8_t>> packets;   // comment packet first, then the rest
    long headerPages = 0;                        // pages the packets took, after the first
    uint64_t audioOffset = 0;                    // where the first page after the headers starts
};

// Reads the headers from the start of `file`; nullopt with a reason when the
// file is no stream of this codec or its headers are damaged.
std::optional<OggHeaders> readOggHeaders(std::FILE* file, const OggHeaderCodec& codec, std::string* why);

// The plan that rebuilds the file read through `file` (positioned anywhere)
// with `comment` as its comment packet; nullopt with a reason.
std::optional<platform::ReplacementPlan> planCommentRewrite(std::FILE* file, const OggHeaderCodec& codec,
                                                            const std::vector<uint8_t>& comment, std::string* why);

// Replaces the comment packet of the file at `path` through one atomic
// replacement; false with a reason, the file then untouched.
bool rewriteComment(const std::string& path, const OggHeaderCodec& codec, const std::vector<uint8_t>& comment,
                    std::string* why);

// Reads the comment packet of the file at `path`; nullopt with a reason.
std::optional<std::vector<uint8_t>> readCommentPacket(const std::string& path, const OggHeaderCodec& codec,
                                                      std::string* why);

}  // namespace tallory::formats::ogg

#endif
