// The tag object: an id3lib tag that owns its frames, never linked to a file.
#ifndef TALLORY_METADATA_METADATA_TAG_H
#define TALLORY_METADATA_METADATA_TAG_H

#include <id3/tag.h>

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

private:
    core::RefCount references_;
    ID3_Tag tag_;
};

// Our tag behind an interface pointer, or null for a foreign object.
MetadataTag* asMetadataTag(IMetadataTag* tag);

}  // namespace tallory::metadata

#endif
