#include "core/conversion_engine.h"

#include <cstdio>
#include <string>

#include "formats/loudness/loudness_session.h"
#include "metadata/text_codec.h"
#include "tallory/guids.h"
#include "tallory/metadata.h"

namespace tallory::core {

namespace {

// Replaces every frame of that identifier with one text frame.
void setTextFrame(IMetadataTag* tag, int frameId, const std::u16string& text) {
    tag->RemoveFrames(frameId);
    ITextFrame* frame = nullptr;
    if (FAILED(MetadataCreateFrame(frameId, IID_ITextFrame, reinterpret_cast<void**>(&frame))) || frame == nullptr) return;
    frame->SetText(text.c_str());
    frame->AttachTo(tag);
    frame->Release();
}

}  // namespace

void writeConversionTag(IConvSource* source, IConvTarget* target, double bpm, const TalloryLoudness* loudness) {
    IMetadataTag* tag = nullptr;
    IMetadataFile* sourceFile = nullptr;
    if (source->GetTag(&sourceFile) && sourceFile != nullptr) {
        if (FAILED(sourceFile->ReadTag(&tag))) tag = nullptr;
        sourceFile->Release();
    }
    if (tag == nullptr && FAILED(MetadataCreateTag(&tag))) return;

    IMetadataFile* targetFile = nullptr;
    if (target->OpenTag(&targetFile) && targetFile != nullptr) {
        char settings[1024];
        tag->RemoveFrames(METADATA_FRAME_TSSE);
        if (target->GetSettingsText(settings, sizeof settings)) {
            setTextFrame(tag, METADATA_FRAME_TSSE, tallory::metadata::utf16FromUtf8(std::string("Tallory, ") + settings));
        }
        if (bpm != 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%04.0f0", bpm * 10);
            setTextFrame(tag, METADATA_FRAME_TBPM, tallory::metadata::utf16FromUtf8(text));
        }
        if (loudness != nullptr) {
            CLSID targetClass{};
            target->GetClassId(&targetClass);
            loudness::setTrackFrames(tag, *loudness, targetClass == CLSID_OpusTarget);
        }
        targetFile->WriteTag(tag);
        targetFile->Release();
    }
    tag->Release();
}

}  // namespace tallory::core
