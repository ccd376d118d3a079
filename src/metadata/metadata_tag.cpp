#include "metadata/metadata_tag.h"

#include <vector>

#include "metadata/frame_kinds.h"
#include "metadata/id3_support.h"
#include "metadata/metadata_frame.h"
#include "metadata/recording_time.h"
#include "metadata/text_codec.h"

namespace tallory::metadata {

MetadataTag* asMetadataTag(IMetadataTag* tag) { return dynamic_cast<MetadataTag*>(tag); }

std::string recordingTimeOf(IMetadataTag* tag) {
    MetadataTag* ours = asMetadataTag(tag);
    return ours == nullptr ? std::string() : id3::recordingTime(ours->library());
}

HRESULT MetadataTag::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    if (iid == IID_IUnknown || iid == IID_IMetadataTag) {
        *object = static_cast<IMetadataTag*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

uint32_t MetadataTag::AddRef() { return references_.increment(); }

uint32_t MetadataTag::Release() {
    const uint32_t left = references_.decrement();
    if (left == 0) delete this;
    return left;
}

int MetadataTag::GetFrameCount() { return static_cast<int>(tag_.NumFrames() + raw_.size()); }

HRESULT MetadataTag::Reserved(int, const IID&, void**) { return E_NOTIMPL; }

HRESULT MetadataTag::GetFrame(int frameId, const IID& iid, void** frame) {
    if (frame == nullptr) return E_INVALIDARG;
    *frame = nullptr;
    if (frameKindOf(frameId) == FrameKind::None) return E_INVALIDARG;
    ID3_Frame* found = id3::firstFrame(tag_, static_cast<ID3_FrameID>(frameId));
    if (found == nullptr) return E_INVALIDARG;
    IMetadataFrame* object = makeFrameObject(found, false);
    if (object == nullptr) return E_OUTOFMEMORY;
    object->AddRef();
    const HRESULT hr = object->QueryInterface(iid, frame);
    object->Release();
    return hr;
}

HRESULT MetadataTag::RemoveFrames(int frameId) {
    std::vector<ID3_Frame*> doomed;
    id3::forEachFrame(tag_, [&](ID3_Frame& frame) {
        if (static_cast<int>(frame.GetID()) == frameId) doomed.push_back(&frame);
        return true;
    });
    for (ID3_Frame* frame : doomed) delete tag_.RemoveFrame(frame);
    std::erase_if(raw_, [&](const RawFrame& raw) { return frameIdOfText(raw.id.c_str()) == frameId; });
    return S_OK;
}

void MetadataTag::copyFramesFrom(const ID3_Tag& source) {
    tag_.Clear();
    id3::forEachFrame(source, [&](ID3_Frame& frame) {
        if (ID3_Frame* copy = id3::cloneFrame(frame)) tag_.AttachFrame(copy);
        return true;
    });
}

}  // namespace tallory::metadata
