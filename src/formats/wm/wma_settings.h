// The WMA encoding choice: codec, format and mode, with its stored default.
#ifndef TALLORY_FORMATS_WM_WMA_SETTINGS_H
#define TALLORY_FORMATS_WM_WMA_SETTINGS_H

#include <cstdint>

#include "platform/media/media_writer.h"

namespace tallory::formats::wm {

inline constexpr const char* kWmaSection = "WMA9";
inline constexpr const char* kWmaGeneralKey = "General";

// The format index of the built-in default: no row of any list, so that it
// selects "128 kbps, 44 kHz, stereo CBR" wherever that lands in the list the
// encoder offers here. An index stored by the user is read as it is.
inline constexpr int32_t kDefaultWmaFormatIndex = -1;

#pragma pack(push, 1)
// Also the stored layout of the default, 12 bytes.
struct WmaSettings {
    int32_t codecIndex = 0;
    int32_t formatIndex = kDefaultWmaFormatIndex;
    int32_t mode = 0;  // 0 constant bitrate; 1 and 2 (VBR) need a runtime this one is not
};
#pragma pack(pop)
static_assert(sizeof(WmaSettings) == 12, "WmaSettings is stored as 12 bytes");

// The defaults overwritten by the stored value (at most its first 12 bytes).
WmaSettings loadWmaSettings();
bool saveWmaSettings(const WmaSettings& settings);

// The codec the settings name, or codec 0 when the index is beyond the list.
int effectiveCodec(const WmaSettings& settings);
// The format the settings name. The default index, or one beyond the codec's list, selects
// "128 kbps, 44 kHz, stereo CBR" or, failing that, the list's first format;
// null only when the codec offers no format at all.
const platform::media::WmaFormat* effectiveFormat(const WmaSettings& settings);

}  // namespace tallory::formats::wm

#endif
