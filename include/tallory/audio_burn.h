// Beyond the Windows interface: an audio CD burned disc-at-once onto the
// simulated recorder, the burned disc saved as a cue/bin image.
#ifndef TALLORY_AUDIO_BURN_H
#define TALLORY_AUDIO_BURN_H

#include "tallory/conv.h"
#include "tallory/types.h"

#define TALLORY_BURN_OVERWRITE 0x1u  // replace an existing cue sheet and bin file

extern "C" {
// Burns one track per file (CD-format WAVE or AIFF: 44.1 kHz, 16-bit stereo;
// any other name: raw little-endian samples) and writes `cuePath` and the
// .bin beside it. Progress (may be null) gets the disc's sectors as range and
// position; its IsCancelled stops the burn. Errors go to MessageEx (kind "e").
// S_OK; E_ABORT when cancelled or the image exists; E_INVALIDARG for a bad
// request; E_FAIL otherwise (nothing is left behind).
TALLORY_API HRESULT TalloryBurnAudioImage(const char* const* files, uint32_t fileCount, const char* cuePath,
                                          uint32_t flags, IConvProgress* progress) noexcept;
}  // extern "C"

#endif
