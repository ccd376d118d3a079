// The codec table of the Wave classes, exported for front ends.
#include <algorithm>
#include <cstring>

#include "core/export_guard.h"
#include "platform/acm/acm.h"
#include "tallory/codecs.h"

namespace acm = tallory::platform::acm;

extern "C" {

static uint32_t talloryGetCodecCount(void) { return static_cast<uint32_t>(acm::formatTags().size()); }

TALLORY_API uint32_t TalloryGetCodecCount(void) noexcept {
    return tallory::core::guardExport("TalloryGetCodecCount", 0u, [&] { return talloryGetCodecCount(); });
}

static HRESULT talloryGetCodecAt(uint32_t index, TalloryCodecInfo* info) {
    std::vector<acm::TagDetails> tags = acm::formatTags();
    if (info == nullptr || index >= tags.size()) return E_INVALIDARG;
    std::memset(info, 0, sizeof *info);
    const acm::TagDetails& t = tags[index];
    info->formatTag = t.tag;
    info->flags = ((t.flags & acm::kCanDecode) != 0 ? TALLORY_CODEC_DECODE : 0) |
                  ((t.flags & acm::kCanEncode) != 0 ? TALLORY_CODEC_ENCODE : 0);
    info->formatCount = static_cast<uint32_t>(acm::formats(t.tag).size());
    std::strncpy(info->name, t.name.c_str(), sizeof info->name - 1);
    return S_OK;
}

TALLORY_API HRESULT TalloryGetCodecAt(uint32_t index, TalloryCodecInfo* info) noexcept {
    return tallory::core::guardExport("TalloryGetCodecAt", E_FAIL, [&] { return talloryGetCodecAt(index, info); });
}

static HRESULT talloryGetCodecFormat(uint16_t formatTag, uint32_t index, void* record, uint32_t* recordSize,
                                          char* text, int capacity) {
    std::vector<acm::FormatDetails> list = acm::formats(formatTag);
    if (index >= list.size()) return E_INVALIDARG;
    const acm::FormatBlob& blob = list[index].format;
    if (recordSize != nullptr) {
        uint32_t room = *recordSize;
        *recordSize = static_cast<uint32_t>(blob.size());
        if (record != nullptr) {
            if (room < blob.size()) return E_FAIL;
            std::memcpy(record, blob.data(), blob.size());
        }
    }
    if (text != nullptr && capacity > 0) {
        size_t n = std::min(list[index].text.size(), static_cast<size_t>(capacity - 1));
        std::memcpy(text, list[index].text.data(), n);
        text[n] = '\0';
    }
    return S_OK;
}

TALLORY_API HRESULT TalloryGetCodecFormat(uint16_t formatTag, uint32_t index, void* record, uint32_t* recordSize,
                                          char* text, int capacity) noexcept {
    return tallory::core::guardExport("TalloryGetCodecFormat", E_FAIL, [&] { return talloryGetCodecFormat(formatTag, index, record, recordSize, text, capacity); });
}

}  // extern "C"
