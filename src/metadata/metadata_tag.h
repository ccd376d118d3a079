// The tag object: an id3lib tag that owns its frames, never linked to a file.
#ifndef TALLORY_METADATA_METADATA_TAG_H
#define TALLORY_METADATA_METADATA_TAG_H

#include <id3/tag.h>

#include <vector>

#include "metadata/tag_guard.h"
#include "tallory/metadata.h"
#include "core/ref_count.h"

namespace tallory::metadata {

class MetadataTag final : public IMetadataTag {
public:
    MetadataTag() = default;
    MetadataTag(const MetadataTag&) = delete;
    MetadataTag& operator=(const MetadataTag&) = delete;
    virtual ~MetadataTag() = default;

    HRESULT QueryInterface(const IID& iid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    int GetFrameCount() override;
    HRESULT Reserved(int index, const IID& iid, void** object) override;
    HRESULT GetFrame(int frameId, const IID& iid, void** frame) override;
    HRESULT RemoveFrames(int frameId) override;

    ID3_Tag& library() { return tag_; }
    // Replaces the frames with copies of every frame of `source`, in its order.
    void copyFramesFrom(const ID3_Tag& source);

    // Frames kept as the bytes they were read as; they count as frames of the tag.
    std::vector<RawFrame>& rawFrames() { return raw_; }
    // The ID3v2 version an MP3 write uses: 4 for a tag read as ID3v2.4, so that
    // its frames, values and encodings stay as they were; 3 otherwise.
    int id3v2Major() const { return id3v2Major_; }
    void setId3v2Major(int major) { id3v2Major_ = major == 4 ? 4 : 3; }

private:
    core::RefCount references_;
    ID3_Tag tag_;
    std::vector<RawFrame> raw_;
    int id3v2Major_ = 3;
};

// Our tag behind an interface pointer, or null for a foreign object.
MetadataTag* asMetadataTag(IMetadataTag* tag);

}  // namespace tallory::metadata

#endif
