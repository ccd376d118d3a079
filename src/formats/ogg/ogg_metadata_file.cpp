#include "formats/ogg/ogg_metadata_file.h"

#include <cstring>

#include "core/export_guard.h"
#include "formats/ogg/ogg_headers.h"
#include "metadata/metadata_tag.h"
#include "tallory/ref.h"

namespace tallory::formats::ogg {

namespace {

constexpr size_t kMagicBytes = 7;  // packet type 3, then "vorbis"
constexpr const char* kDefaultVendor = "Tallory";

}  // namespace

std::optional<metadata::CommentPacket> parseVorbisCommentHeader(std::span<const uint8_t> packet) {
    if (packet.size() < kMagicBytes || std::memcmp(packet.data(), kVorbisHeaders.commentMagic.data(), kMagicBytes) != 0) {
        return std::nullopt;
    }
    // The framing bit after the comments is not checked: a tag reader has no
    // use for it, and the rewrite always sets it.
    return metadata::parseCommentPacket(packet.subspan(kMagicBytes));
}

std::vector<uint8_t> renderVorbisCommentHeader(const metadata::CommentPacket& comments) {
    std::vector<uint8_t> out(kVorbisHeaders.commentMagic.begin(), kVorbisHeaders.commentMagic.end());
    const std::vector<uint8_t> body = metadata::renderCommentPacket(comments);
    out.insert(out.end(), body.begin(), body.end());
    out.push_back(1);  // Vorbis I 5.2.1: the framing bit
    return out;
}

HRESULT OggMetadataFile::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    if (iid == IID_IUnknown || iid == IID_IMetadataFile) {
        *object = static_cast<IMetadataFile*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

int OggMetadataFile::GetCapabilities() { return METADATA_CAN_READ | METADATA_CAN_WRITE; }

HRESULT OggMetadataFile::ReadTag(IMetadataTag** tag) {
    if (tag == nullptr) return E_INVALIDARG;
    *tag = nullptr;
    return core::guardExport("IMetadataFile::ReadTag", E_FAIL, [&]() -> HRESULT {
        std::string why;
        auto packet = readCommentPacket(path_, kVorbisHeaders, &why);
        if (!packet) return E_FAIL;
        auto comments = parseVorbisCommentHeader(*packet);
        if (!comments) return E_FAIL;
        // A new tag counts no references yet: the holder takes the first.
        auto result = Ref<metadata::MetadataTag>::share(new metadata::MetadataTag);
        metadata::readVorbisComments(comments->comments, result->library());
        *tag = result.release();
        return S_OK;
    });
}

HRESULT OggMetadataFile::WriteTag(IMetadataTag* tag) {
    metadata::MetadataTag* source = metadata::asMetadataTag(tag);
    if (source == nullptr) return E_INVALIDARG;
    return core::guardExport("IMetadataFile::WriteTag", E_FAIL, [&]() -> HRESULT {
        std::string why;
        auto old = readCommentPacket(path_, kVorbisHeaders, &why);
        if (!old) return E_FAIL;
        auto oldComments = parseVorbisCommentHeader(*old);
        metadata::CommentPacket packet;
        packet.vendor = oldComments ? oldComments->vendor : kDefaultVendor;
        packet.comments = metadata::writeVorbisComments(source->library(), true);
        const std::vector<uint8_t> rendered = renderVorbisCommentHeader(packet);
        if (rendered == *old) return S_OK;  // nothing changes: the file is left alone
        return rewriteComment(path_, kVorbisHeaders, rendered, &why) ? S_OK : E_FAIL;
    });
}

}  // namespace tallory::formats::ogg
