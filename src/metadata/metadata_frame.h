// Frame objects: one class per frame kind over an id3lib frame, which the object
// either owns (a new frame not yet attached) or borrows from a tag.
#ifndef TALLORY_METADATA_METADATA_FRAME_H
#define TALLORY_METADATA_METADATA_FRAME_H

#include <id3/tag.h>

#include "metadata/frame_kinds.h"
#include "tallory/metadata.h"
#include "core/ref_count.h"

namespace tallory::metadata {

// The state every frame object shares; reached from any IMetadataFrame of ours by
// dynamic_cast, so that CopyTo and AttachTo can reach the library frame.
class FrameCore {
public:
    FrameCore(ID3_Frame* frame, bool owned, FrameKind kind) : frame_(frame), owned_(owned), kind_(kind) {}
    FrameCore(const FrameCore&) = delete;
    FrameCore& operator=(const FrameCore&) = delete;
    virtual ~FrameCore();

    ID3_Frame& libraryFrame() const { return *frame_; }
    FrameKind kind() const { return kind_; }

protected:
    core::RefCount references_;
    ID3_Frame* frame_;
    bool owned_;
    FrameKind kind_;
};

// A frame object of the kind of `frame`'s identifier, with no reference yet; null
// when the identifier has no kind. With `owned` the object deletes the frame unless
// it is attached to a tag first.
IMetadataFrame* makeFrameObject(ID3_Frame* frame, bool owned);

// Sets the defaults of a new frame of that kind (language "enu" and so on).
void applyDefaults(FrameKind kind, ID3_Frame& frame);

}  // namespace tallory::metadata

#endif
