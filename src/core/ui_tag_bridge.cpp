// What the tag editors of the UI module need from the tag model beyond its
// interfaces: the language table and an APIC frame's picture bytes.
#include <id3/field.h>
#include <id3/tag.h>

#include <algorithm>
#include <cstring>

#include "core/export_guard.h"
#include "metadata/frame_kinds.h"
#include "metadata/language_names.h"
#include "metadata/metadata_frame.h"
#include "tallory/ui_bridge.h"

namespace {

using tallory::core::guardExport;

void copyCut(const char* text, char* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return;
    size_t n = std::min(std::strlen(text), static_cast<size_t>(capacity - 1));
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

ID3_Field* pictureField(IMetadataFrame* frame) {
    auto* core = dynamic_cast<tallory::metadata::FrameCore*>(frame);
    if (core == nullptr || core->kind() != tallory::metadata::FrameKind::Picture) return nullptr;
    return core->libraryFrame().GetField(ID3FN_DATA);
}

}  // namespace

extern "C" {

TALLORY_API int TalloryGetLanguageCount(void) noexcept {
    return guardExport("TalloryGetLanguageCount", 0,
                       [&] { return static_cast<int>(tallory::metadata::languageNames().size()); });
}

TALLORY_API bool TalloryGetLanguageAt(int index, char* code, int codeCapacity, char* name, int nameCapacity) noexcept {
    return guardExport("TalloryGetLanguageAt", false, [&] {
        auto table = tallory::metadata::languageNames();
        if (index < 0 || static_cast<size_t>(index) >= table.size()) return false;
        copyCut(table[static_cast<size_t>(index)].code, code, codeCapacity);
        copyCut(table[static_cast<size_t>(index)].name, name, nameCapacity);
        return true;
    });
}

TALLORY_API bool TalloryGetPictureData(IMetadataFrame* frame, void* data, uint32_t* size) noexcept {
    return guardExport("TalloryGetPictureData", false, [&] {
        ID3_Field* field = pictureField(frame);
        if (field == nullptr || size == nullptr) return false;
        const size_t have = field->Size();
        const uint32_t room = *size;
        *size = static_cast<uint32_t>(have);
        if (data == nullptr) return true;
        if (room < have) return false;
        if (have > 0) std::memcpy(data, field->GetRawBinary(), have);
        return true;
    });
}

TALLORY_API bool TalloryPutPictureData(IMetadataFrame* frame, const void* data, uint32_t size) noexcept {
    return guardExport("TalloryPutPictureData", false, [&] {
        ID3_Field* field = pictureField(frame);
        if (field == nullptr || (data == nullptr && size != 0)) return false;
        // id3lib ignores an empty Set; Clear empties the field.
        if (size == 0) {
            field->Clear();
        } else {
            field->Set(static_cast<const uchar*>(data), size);
        }
        return true;
    });
}

}  // extern "C"
