// The Ogg Vorbis encoder settings and the interface through which the settings
// dialog of the UI module reads and writes them on a target.
#ifndef TALLORY_FORMATS_OGG_OGG_SETTINGS_H
#define TALLORY_FORMATS_OGG_OGG_SETTINGS_H

#include <cstdint>

#include "tallory/types.h"

namespace tallory::formats::ogg {

// Seven 32-bit integers; built-in defaults, never kept in the settings store.
struct OggSettings {
    int32_t qualityMode = 1;  // 1 quality-based VBR, 0 average bitrate
    int32_t quality = 40;     // percent, 0 to 100
    int32_t useMinimum = 0;
    int32_t useMaximum = 0;
    int32_t minimumKbps = 48;
    int32_t maximumKbps = 320;
    int32_t averageKbps = 96;
};
static_assert(sizeof(OggSettings) == 28, "OggSettings is seven 32-bit integers");

// The bitrates the dialog offers (kbps); the defaults are its first, last and third entries.
inline constexpr int32_t kOggBitrates[] = {48, 64, 96, 128, 160, 192, 256, 320};

}  // namespace tallory::formats::ogg

// {6F1C2B7E-3D0A-4C55-9B8E-2A7D64E0C913}
inline constexpr IID IID_IOggSettings = {0x6F1C2B7E, 0x3D0A, 0x4C55, {0x9B, 0x8E, 0x2A, 0x7D, 0x64, 0xE0, 0xC9, 0x13}};

// Answered by the Ogg Vorbis target's QueryInterface; the caller releases it.
struct IOggSettings : IUnknown {
    virtual void GetSettings(tallory::formats::ogg::OggSettings* settings) = 0;
    virtual void PutSettings(const tallory::formats::ogg::OggSettings* settings) = 0;

protected:
    ~IOggSettings() = default;
};

#endif
