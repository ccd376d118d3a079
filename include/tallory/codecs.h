// Beyond the Windows interface: the codecs that the Wave target writes and the
// Wave source reads (the Audio Compression Manager stand-in), for front ends
// that list them. Names and detail texts are the values that the "wave-codec"
// and "wave-format" options take.
#ifndef TALLORY_CODECS_H
#define TALLORY_CODECS_H

#include "tallory/types.h"

#define TALLORY_CODEC_DECODE 0x1u  // files of this format tag are read
#define TALLORY_CODEC_ENCODE 0x2u  // files of this format tag are written

struct TalloryCodecInfo {
    uint16_t formatTag;
    uint16_t reserved;
    uint32_t flags;        // TALLORY_CODEC_DECODE | TALLORY_CODEC_ENCODE
    uint32_t formatCount;  // formats the Wave target offers for this tag
    char name[48];
};
static_assert(sizeof(TalloryCodecInfo) == 60, "TalloryCodecInfo layout");
static_assert(offsetof(TalloryCodecInfo, name) == 12, "TalloryCodecInfo layout");

extern "C" {

TALLORY_API uint32_t TalloryGetCodecCount(void) noexcept;
// Codec `index`, in format tag order; E_INVALIDARG past the end or for a null info.
TALLORY_API HRESULT TalloryGetCodecAt(uint32_t index, TalloryCodecInfo* info) noexcept;
// Format `index` of the codec with that tag: its whole record (18 + cbSize
// bytes, the value "WaveFormatEx" stores) and its detail text, cut to capacity.
// *recordSize holds the buffer's size and receives the record's; a null record
// only asks for the size. E_INVALIDARG past the end, E_FAIL for a small buffer.
TALLORY_API HRESULT TalloryGetCodecFormat(uint16_t formatTag, uint32_t index, void* record, uint32_t* recordSize,
                                          char* text, int capacity) noexcept;

}  // extern "C"

#endif
