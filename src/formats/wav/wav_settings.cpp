#include "formats/wav/wav_settings.h"

#include "core/settings_store.h"
#include "tallory/settings.h"

namespace tallory::formats::wav {

namespace acm = platform::acm;

WavSettings WavSettings::loadDefaults() {
    WavSettings s;
    int size = core::settings::readInt(kSettingsSection, "WaveFormatExSize", 0);
    // A stored record must at least hold the fixed part and the extra bytes it announces.
    if (size >= static_cast<int>(sizeof(WAVEFORMATEX)) && size <= static_cast<int>(acm::kMaxFormatSize) * 64) {
        acm::FormatBlob blob(static_cast<size_t>(size));
        uint32_t got = static_cast<uint32_t>(size);
        if (GetProfileBinary(kSettingsSection, "WaveFormatEx", blob.data(), &got) && got == blob.size() &&
            blob.size() == sizeof(WAVEFORMATEX) + acm::header(blob).cbSize) {
            s.format = std::move(blob);
        }
    }
    s.formatTag = static_cast<uint16_t>(core::settings::readInt(kSettingsSection, "FormatTag", acm::kTagPcm));
    return s;
}

bool WavSettings::storeDefaults() const {
    bool ok = PutProfileInt(kSettingsSection, "WaveFormatExSize", static_cast<int>(format.size()));
    if (!format.empty()) {
        ok = PutProfileBinary(kSettingsSection, "WaveFormatEx", format.data(), static_cast<uint32_t>(format.size())) && ok;
    }
    return PutProfileInt(kSettingsSection, "FormatTag", formatTag) && ok;
}

std::string WavSettings::describe() const {
    uint16_t tag = format.empty() ? formatTag : acm::header(format).wFormatTag;
    acm::TagDetails details;
    std::string name = acm::formatTagDetails(tag, details) ? details.name : "Unknown";
    return name + "; " + (format.empty() ? std::string("auto detection") : acm::formatText(format));
}

}  // namespace tallory::formats::wav
