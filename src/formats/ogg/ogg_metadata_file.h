// The tag file of ".ogg" files: the Vorbis comment header (Vorbis I 5) read
// into and written from ID3v2 frames through the shared Vorbis comment
// mapping, the cover as a METADATA_BLOCK_PICTURE comment. Writing rebuilds the
// header pages and replaces the file atomically; the audio packets keep
// every byte.
#ifndef TALLORY_FORMATS_OGG_OGG_METADATA_FILE_H
#define TALLORY_FORMATS_OGG_OGG_METADATA_FILE_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/ref_count.h"
#include "metadata/vorbis_comments.h"
#include "tallory/metadata.h"

namespace tallory::formats::ogg {

// The comments of a Vorbis comment header (type 3, "vorbis"); nullopt when malformed.
std::optional<metadata::CommentPacket> parseVorbisCommentHeader(std::span<const uint8_t> packet);
// The header packet, framing bit included.
std::vector<uint8_t> renderVorbisCommentHeader(const metadata::CommentPacket& comments);

class OggMetadataFile final : public IMetadataFile {
public:
    explicit OggMetadataFile(std::string path) : path_(std::move(path)) {}
    OggMetadataFile(const OggMetadataFile&) = delete;
    OggMetadataFile& operator=(const OggMetadataFile&) = delete;
    virtual ~OggMetadataFile() = default;

    HRESULT QueryInterface(const IID& iid, void** object) override;
    TALLORY_REFCOUNTED_METHODS
    int GetCapabilities() override;
    HRESULT ReadTag(IMetadataTag** tag) override;
    // Keeps the vendor string; E_FAIL leaves the file as it was.
    HRESULT WriteTag(IMetadataTag* tag) override;

private:
    core::RefCount refs_;
    std::string path_;
};

}  // namespace tallory::formats::ogg

#endif
