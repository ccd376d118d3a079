// Loudness measurement during conversions (EBU R128 through libebur128) and
// the ReplayGain 2.0 tags written from it.
#ifndef TALLORY_LOUDNESS_H
#define TALLORY_LOUDNESS_H

#include "tallory/types.h"

// One measurement. The gains are what a player applies to reach the reference.
struct TalloryLoudness {
    uint32_t size;            // sizeof(TalloryLoudness)
    int32_t isAlbum;          // 1: the measurement of a whole album of a batch
    double integratedLufs;    // EBU R128 integrated loudness; -70 or lower for silence
    double samplePeak;        // the largest sample, 1.0 = full scale
    double replayGainDb;      // ReplayGain 2.0: to -18 LUFS
    double r128GainDb;        // RFC 7845 R128 gains: to -23 LUFS
};

// Called on the converting thread after a track (or, in a batch, an album)
// has been measured and its tags written; outputPath is the output file (for an
// album, its last file). The pointers are valid during the call only.
typedef void (*TalloryLoudnessCallback)(void* context, const char* outputPath, const TalloryLoudness* loudness);

extern "C" {

// With enabled != 0 every following conversion of this process measures its
// audio while it is written (no second decode) and tags the output:
// REPLAYGAIN_TRACK_GAIN/PEAK (ID3v2 TXXX frames in MP3), R128_TRACK_GAIN in
// Opus; a batch adds the album values for files of one album. callback may be
// null. S_OK; the previous callback is replaced.
TALLORY_API HRESULT ConvSetLoudnessAnalysis(int enabled, TalloryLoudnessCallback callback, void* context) noexcept;
// 1 when measurement is on.
TALLORY_API int ConvGetLoudnessAnalysis(void) noexcept;

}  // extern "C"

#endif
