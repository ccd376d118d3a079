// The tag file of ".opus" files: the OpusTags header (RFC 7845 5.2) read into
// and written from ID3v2 frames through the shared Vorbis comment mapping.
// Writing rebuilds the header pages through the shared Ogg header rewrite and
// replaces the file atomically.
#ifndef TALLORY_FORMATS_OPUS_OPUS_METADATA_FILE_H
#define TALLORY_FORMATS_OPUS_OPUS_METADATA_FILE_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/ref_count.h"
#include "metadata/vorbis_comments.h"
#include "tallory/metadata.h"

namespace tallory::formats::opus {

// The comments of an OpusTags packet (with its "OpusTags" signature); nullopt when malformed.
std::optional<metadata::CommentPacket> parseOpusTags(std::span<const uint8_t> packet);
std::vector<uint8_t> renderOpusTags(const metadata::CommentPacket& comments);

// The comments to store for `tag`: the shared mapping, without the REPLAYGAIN_*
// fields that RFC 7845 5.2.1 rules out (Opus carries R128_* gains instead).
std::vector<std::string> opusCommentsOf(const ID3_Tag& tag);

// Reads the OpusTags packet of an Ogg Opus file; a reason on failure.
std::optional<metadata::CommentPacket> readOpusTags(const std::string& path, std::string* why);
// Replaces the OpusTags packet (vendor and any data RFC 7845 asks editors to keep
// are kept); false with a reason, the file untouched.
bool writeOpusTags(const std::string& path, const std::vector<std::string>& comments, std::string* why);

class OpusMetadataFile final : public IMetadataFile {
public:
    explicit OpusMetadataFile(std::string path) : path_(std::move(path)) {}
    OpusMetadataFile(const OpusMetadataFile&) = delete;
    OpusMetadataFile& operator=(const OpusMetadataFile&) = delete;
    virtual ~OpusMetadataFile() = default;

    HRESULT QueryInterface(const IID& iid, void** object) override;
    TALLORY_REFCOUNTED_METHODS
    int GetCapabilities() override;
    HRESULT ReadTag(IMetadataTag** tag) override;
    HRESULT WriteTag(IMetadataTag* tag) override;

private:
    core::RefCount refs_;
    std::string path_;
};

}  // namespace tallory::formats::opus

#endif
