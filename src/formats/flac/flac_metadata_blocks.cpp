#include "formats/flac/flac_metadata_blocks.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>

#include "platform/files/file_system.h"

namespace tallory::formats::flac {

namespace {

constexpr uint8_t kSignature[4] = {'f', 'L', 'a', 'C'};
constexpr size_t kBlockHeaderBytes = 4;
constexpr size_t kStreamInfoBytes = 34;
constexpr uint8_t kInvalidBlockType = 127;
constexpr uint32_t kMaxBlockBytes = (uint32_t{1} << 24) - 1;
// ID3v2 header: "ID3", version, flags, a 28-bit syncsafe size; a footer of 10 more bytes.
constexpr size_t kId3HeaderBytes = 10;
constexpr uint8_t kId3FooterFlag = 0x10;
// The padding a rewrite leaves (the flac command's default), and the most
// padding kept to leave the audio where it was: beyond this a shrunken tag
// (a removed cover) gives its room back.
constexpr uint32_t kPaddingBytes = 8192;
constexpr uint64_t kMaxKeptPadding = 65536;

bool readExactly(std::FILE* file, void* out, size_t size) { return std::fread(out, 1, size, file) == size; }

// Appends `size` bytes read in pieces: a declared length is only believed as
// far as the file goes, so a lying one allocates no more than the file holds.
bool readPieces(std::FILE* file, size_t size, std::vector<uint8_t>& out) {
    constexpr size_t kPiece = 1 << 16;
    while (size > 0) {
        const size_t n = std::min(kPiece, size);
        const size_t at = out.size();
        out.resize(at + n);
        if (!readExactly(file, out.data() + at, n)) return false;
        size -= n;
    }
    return true;
}

void appendHeader(std::vector<uint8_t>& out, uint8_t type, bool last, uint32_t length) {
    out.push_back(static_cast<uint8_t>((last ? 0x80 : 0) | type));
    out.push_back(static_cast<uint8_t>(length >> 16));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length));
}

bool isKind(const FlacBlock& b, FlacBlockKind kind) { return b.type == static_cast<uint8_t>(kind); }

// FLAC format: the MIME type is printable ASCII.
bool printableAscii(const std::string& text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

}  // namespace

std::optional<FlacLayout> readFlacLayout(std::FILE* file, std::string* why) {
    FlacLayout layout;
    uint8_t head[kId3HeaderBytes];
    if (!readExactly(file, head, 4)) {
        *why = "not a FLAC file";
        return std::nullopt;
    }
    if (std::memcmp(head, "ID3", 3) == 0) {
        if (!readExactly(file, head + 4, kId3HeaderBytes - 4) || ((head[6] | head[7] | head[8] | head[9]) & 0x80) != 0) {
            *why = "a damaged ID3v2 tag before the FLAC signature";
            return std::nullopt;
        }
        size_t size = static_cast<size_t>(head[6]) << 21 | static_cast<size_t>(head[7]) << 14 |
                      static_cast<size_t>(head[8]) << 7 | head[9];
        if ((head[5] & kId3FooterFlag) != 0) size += kId3HeaderBytes;
        layout.prefix.assign(head, head + kId3HeaderBytes);
        if (!readPieces(file, size, layout.prefix) || !readExactly(file, head, 4)) {
            *why = "the file ends inside the ID3v2 tag before the FLAC signature";
            return std::nullopt;
        }
    }
    if (std::memcmp(head, kSignature, 4) != 0) {
        *why = "not a FLAC file";
        return std::nullopt;
    }
    uint64_t offset = layout.prefix.size() + 4;
    for (bool last = false; !last;) {
        uint8_t header[kBlockHeaderBytes];
        if (!readExactly(file, header, sizeof header)) {
            *why = "the file ends inside its metadata";
            return std::nullopt;
        }
        last = (header[0] & 0x80) != 0;
        FlacBlock block;
        block.type = header[0] & 0x7F;
        const uint32_t length = static_cast<uint32_t>(header[1]) << 16 | static_cast<uint32_t>(header[2]) << 8 | header[3];
        if (block.type == kInvalidBlockType) {
            *why = "a metadata block of the invalid type 127";
            return std::nullopt;
        }
        const bool first = layout.blocks.empty();
        if (first != isKind(block, FlacBlockKind::streamInfo) || (first && length != kStreamInfoBytes)) {
            *why = "the metadata does not start with one STREAMINFO block";
            return std::nullopt;
        }
        if (!readPieces(file, length, block.body)) {
            *why = "metadata block " + std::to_string(layout.blocks.size()) + " declares " + std::to_string(length) +
                   " bytes; the file ends first";
            return std::nullopt;
        }
        offset += kBlockHeaderBytes + length;
        layout.blocks.push_back(std::move(block));
    }
    layout.audioOffset = offset;
    return layout;
}

metadata::CommentPacket commentsOf(const FlacLayout& layout) {
    for (const FlacBlock& b : layout.blocks) {
        if (!isKind(b, FlacBlockKind::vorbisComment)) continue;
        if (auto packet = metadata::parseCommentPacket(b.body)) return *packet;
    }
    return {};
}

std::vector<metadata::VorbisPicture> picturesOf(const FlacLayout& layout) {
    std::vector<metadata::VorbisPicture> out;
    for (const FlacBlock& b : layout.blocks) {
        if (!isKind(b, FlacBlockKind::picture)) continue;
        if (auto picture = metadata::parsePictureBlock(b.body)) out.push_back(std::move(*picture));
    }
    return out;
}

std::optional<std::vector<uint8_t>> renderWithTags(const FlacLayout& layout, const metadata::CommentPacket& comments,
                                                   const std::vector<metadata::VorbisPicture>& pictures,
                                                   std::string* why) {
    FlacBlock commentBlock{static_cast<uint8_t>(FlacBlockKind::vorbisComment), metadata::renderCommentPacket(comments)};
    if (commentBlock.body.size() > kMaxBlockBytes) {
        *why = "the comments take " + std::to_string(commentBlock.body.size()) + " bytes; a FLAC block holds at most " +
               std::to_string(kMaxBlockBytes);
        return std::nullopt;
    }
    std::vector<FlacBlock> pictureBlocks;
    for (const metadata::VorbisPicture& p : pictures) {
        if (!printableAscii(p.mimeType)) continue;
        std::vector<uint8_t> body = metadata::renderPictureBlock(p);
        if (body.empty()) {
            *why = "a picture of " + std::to_string(p.data.size()) + " bytes does not fit a FLAC block";
            return std::nullopt;
        }
        pictureBlocks.push_back(FlacBlock{static_cast<uint8_t>(FlacBlockKind::picture), std::move(body)});
    }
    // The new comments take the old comment block's place and the pictures the
    // first old picture's (after the comments when there was none); padding goes last.
    std::vector<const FlacBlock*> blocks;
    bool commentsPlaced = false, picturesPlaced = false;
    auto placeComments = [&] {
        if (!commentsPlaced) blocks.push_back(&commentBlock);
        commentsPlaced = true;
    };
    auto placePictures = [&] {
        placeComments();
        if (!picturesPlaced) {
            for (const FlacBlock& b : pictureBlocks) blocks.push_back(&b);
        }
        picturesPlaced = true;
    };
    for (const FlacBlock& b : layout.blocks) {
        if (isKind(b, FlacBlockKind::vorbisComment)) {
            placeComments();
        } else if (isKind(b, FlacBlockKind::picture)) {
            placePictures();
        } else if (!isKind(b, FlacBlockKind::padding)) {
            blocks.push_back(&b);
        }
    }
    placePictures();

    std::vector<uint8_t> out = layout.prefix;
    out.insert(out.end(), kSignature, kSignature + 4);
    for (const FlacBlock* b : blocks) {
        appendHeader(out, b->type, false, static_cast<uint32_t>(b->body.size()));
        out.insert(out.end(), b->body.begin(), b->body.end());
    }
    // The audio stays where it was when the padding can make up the difference.
    uint32_t padding = kPaddingBytes;
    const uint64_t oldEnd = layout.audioOffset;
    if (oldEnd >= out.size() + kBlockHeaderBytes && oldEnd - out.size() - kBlockHeaderBytes <= kMaxKeptPadding) {
        padding = static_cast<uint32_t>(oldEnd - out.size() - kBlockHeaderBytes);
    }
    appendHeader(out, static_cast<uint8_t>(FlacBlockKind::padding), true, padding);
    out.resize(out.size() + padding, 0);
    return out;
}

std::optional<platform::ReplacementPlan> planTagRewrite(std::FILE* file, const std::vector<std::string>& comments,
                                                        const std::vector<metadata::VorbisPicture>& pictures,
                                                        std::string* why) {
    if (fseeko(file, 0, SEEK_SET) != 0) {
        *why = "cannot read the file: " + platform::lastSystemError();
        return std::nullopt;
    }
    std::optional<FlacLayout> layout = readFlacLayout(file, why);
    if (!layout) return std::nullopt;
    if (fseeko(file, 0, SEEK_END) != 0) {
        *why = "cannot read the file: " + platform::lastSystemError();
        return std::nullopt;
    }
    const off_t size = ftello(file);
    if (size < 0 || static_cast<uint64_t>(size) < layout->audioOffset) {
        *why = "cannot read the file: " + platform::lastSystemError();
        return std::nullopt;
    }
    metadata::CommentPacket packet = commentsOf(*layout);
    if (packet.vendor.empty()) packet.vendor = "Tallory";
    packet.comments = comments;
    std::optional<std::vector<uint8_t>> head = renderWithTags(*layout, packet, pictures, why);
    if (!head) return std::nullopt;
    platform::ReplacementPlan plan;
    plan.head = std::move(*head);
    plan.keepOffset = layout->audioOffset;
    plan.keepLength = static_cast<uint64_t>(size) - layout->audioOffset;
    return plan;
}

}  // namespace tallory::formats::flac
