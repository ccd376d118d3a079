// Channel order between WAV and Vorbis. A WAV file without a channel mask
// keeps the WAVE_FORMAT_EXTENSIBLE speaker order (FL FR FC LFE BL BR SL SR);
// Vorbis I (section 4.3.9) fixes its own order for one to eight channels
// (centre second, LFE last). Beyond eight channels Vorbis defines no layout
// and the order is kept.
#ifndef TALLORY_FORMATS_OGG_VORBIS_CHANNELS_H
#define TALLORY_FORMATS_OGG_VORBIS_CHANNELS_H

namespace tallory::formats::ogg {

inline constexpr int kMaxMappedChannels = 8;

// For `channels` channels: the WAV channel that Vorbis channel v carries is
// vorbisFromWav(channels)[v]; null when the orders agree.
inline const int* vorbisFromWav(int channels) {
    static constexpr int k3[] = {0, 2, 1};
    static constexpr int k5[] = {0, 2, 1, 3, 4};
    static constexpr int k6[] = {0, 2, 1, 4, 5, 3};
    static constexpr int k7[] = {0, 2, 1, 5, 6, 4, 3};
    static constexpr int k8[] = {0, 2, 1, 6, 7, 4, 5, 3};
    switch (channels) {
        case 3: return k3;
        case 5: return k5;
        case 6: return k6;
        case 7: return k7;
        case 8: return k8;
        default: return nullptr;
    }
}

}  // namespace tallory::formats::ogg

#endif
