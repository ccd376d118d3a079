// SetOption of every target on any name and value. The input is "FORMAT\nNAME\nVALUE"
// (no second line break: no value); a format name that no row has picks a row by
// its first byte. Refusals must leave a terminated text in the caller's buffer,
// and the settings text must stay describable after any accepted option.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tallory/tallory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<FormatInfo> rows = [] {
        std::vector<FormatInfo> r;
        for (uint32_t i = 0; i < ConvGetFormatCount(); ++i) {
            FormatInfo info;
            if (ConvGetFormatAt(&info, i) == S_OK && info.targetClass != nullptr) r.push_back(info);
        }
        return r;
    }();
    if (size == 0 || rows.empty()) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t nl = input.find('\n', start);
        parts.push_back(input.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos || parts.size() == 3) break;
        start = nl + 1;
    }
    const FormatInfo* row = &rows[static_cast<uint8_t>(input[0]) % rows.size()];
    for (const FormatInfo& r : rows) {
        if (parts[0] == r.name) row = &r;
    }
    const std::string name = parts.size() > 1 ? parts[1] : parts[0];
    const bool hasValue = parts.size() > 2;
    const std::string value = hasValue ? parts[2] : std::string();

    tallory::Ref<IConvTarget> target;
    if (FAILED(ConvCreateObject(*row->targetClass, &IID_IConvTarget, reinterpret_cast<void**>(target.out())))) return 0;
    char why[TALLORY_MAX_PATH + 1];
    std::memset(why, 'x', sizeof why);
    why[TALLORY_MAX_PATH] = '\0';
    const bool accepted = target->SetOption(name.c_str(), hasValue ? value.c_str() : nullptr, why);
    if (!accepted && std::memchr(why, '\0', TALLORY_MAX_PATH) == nullptr) __builtin_trap();
    // A null error buffer is allowed too.
    target->SetOption(name.c_str(), hasValue ? value.c_str() : nullptr, nullptr);
    char text[TALLORY_MAX_PATH + 1];
    std::memset(text, 'x', sizeof text);
    text[TALLORY_MAX_PATH] = '\0';
    if (target->GetSettingsText(text, TALLORY_MAX_PATH) && std::memchr(text, '\0', TALLORY_MAX_PATH) == nullptr) {
        __builtin_trap();
    }
    WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    uint32_t estimate = 0;
    target->EstimateSize(176400, &pcm, &estimate);
    return 0;
}
