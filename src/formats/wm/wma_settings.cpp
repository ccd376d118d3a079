#include "formats/wm/wma_settings.h"

#include <cstring>
#include <vector>

#include "tallory/settings.h"

namespace tallory::formats::wm {

using platform::media::WmaFormat;

WmaSettings loadWmaSettings() {
    WmaSettings settings;
    uint32_t size = 0;
    if (!GetProfileBinary(kWmaSection, kWmaGeneralKey, nullptr, &size) || size == 0) return settings;
    std::vector<uint8_t> bytes(size);
    if (!GetProfileBinary(kWmaSection, kWmaGeneralKey, bytes.data(), &size)) return settings;
    std::memcpy(&settings, bytes.data(), std::min<size_t>(size, sizeof settings));
    return settings;
}

bool saveWmaSettings(const WmaSettings& settings) {
    return PutProfileBinary(kWmaSection, kWmaGeneralKey, &settings, sizeof settings);
}

int effectiveCodec(const WmaSettings& settings) {
    return settings.codecIndex >= 0 && settings.codecIndex < platform::media::wmaCodecCount() ? settings.codecIndex
                                                                                             : 0;
}

const WmaFormat* effectiveFormat(const WmaSettings& settings) {
    const std::vector<WmaFormat>& formats = platform::media::wmaCodecFormats(effectiveCodec(settings));
    if (formats.empty()) return nullptr;
    if (settings.formatIndex >= 0 && static_cast<size_t>(settings.formatIndex) < formats.size()) {
        return &formats[static_cast<size_t>(settings.formatIndex)];
    }
    for (const WmaFormat& f : formats) {
        if (f.bitRate == 128000 && f.sampleRate == 44100 && f.channels == 2) return &f;
    }
    return &formats.front();
}

}  // namespace tallory::formats::wm
