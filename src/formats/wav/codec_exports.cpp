// The codec table of the Wave classes, exported for front ends.
#include <cstring>

#include "platform/acm/acm.h"
#include "tallory/codecs.h"

namespace acm = tallory::platform::acm;

extern "C" {

TALLORY_API uint32_t TalloryGetCodecCount(void) { return static_cast<uint32_t>(acm::formatTags().size()); }

TALLORY_API HRESULT TalloryGetCodecAt(uint32_t index, TalloryCodecInfo* info) {
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

TALLORY_API HRESULT TalloryGetCodecFormat(uint16_t formatTag, uint32_t index, WAVEFORMATEX* format, char* text,
                                          int capacity) {
    std::vector<acm::FormatDetails> list = acm::formats(formatTag);
    if (index >= list.size()) return E_INVALIDARG;
    if (format != nullptr) *format = acm::header(list[index].format);
    if (text != nullptr && capacity > 0) {
        size_t n = std::min(list[index].text.size(), static_cast<size_t>(capacity - 1));
        std::memcpy(text, list[index].text.data(), n);
        text[n] = '\0';
    }
    return S_OK;
}

}  // extern "C"
