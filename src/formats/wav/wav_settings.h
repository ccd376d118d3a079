// The settings of the Wave target: a codec (format tag) and either a fixed
// format of that codec or automatic detection, with their stored defaults.
#ifndef TALLORY_FORMATS_WAV_WAV_SETTINGS_H
#define TALLORY_FORMATS_WAV_WAV_SETTINGS_H

#include <cstdint>
#include <string>

#include "platform/acm/acm.h"

namespace tallory::formats::wav {

inline constexpr const char* kSettingsSection = "WAV";

struct WavSettings {
    // The chosen format with its extra bytes; empty means "Automatic Detection".
    platform::acm::FormatBlob format;
    uint16_t formatTag = platform::acm::kTagPcm;

    // The stored defaults of section "WAV" (defaults where nothing is stored).
    static WavSettings loadDefaults();
    // Stores these settings as the defaults; false if the store refused.
    bool storeDefaults() const;
    // "<codec name>; <format text>" or "<codec name>; auto detection".
    std::string describe() const;
};

}  // namespace tallory::formats::wav

#endif
