// The codec table behind the Audio Compression Manager stand-in: one
// descriptor per format tag, with the libavcodec codecs that serve it.
#ifndef TALLORY_PLATFORM_ACM_CODEC_TABLE_H
#define TALLORY_PLATFORM_ACM_CODEC_TABLE_H

#include "platform/acm/acm.h"

namespace tallory::platform::acm {

enum class CodecKind {
    pcm,     // integer PCM, converted here without a codec
    sample,  // one byte per sample (A-law, u-law): any number of frames is whole
    block,   // fixed blocks of nBlockAlign bytes holding samplesPerBlock frames each
    stream,  // variable frames found by a parser (MPEG audio)
};

struct CodecDescriptor {
    uint16_t tag;
    const char* name;
    uint32_t flags;  // TagFlags
    CodecKind kind;
    const char* decoder;  // libavcodec decoder name, null for PCM
    const char* encoder;  // libavcodec encoder name, null when the tag is decode-only
    // The tag's format at that rate and channel count (third argument: a codec-specific
    // parameter, unused by the built-in ones); null when the tag has no encoder.
    FormatBlob (*makeFormat)(uint32_t rate, uint16_t channels, uint16_t parameter);
    bool monoOnly;
};

// The descriptor of a tag, or null.
const CodecDescriptor* findCodec(uint16_t tag);
// Frames per block of a block codec's format (1 for PCM and sample codecs); 0 when the record is unusable.
uint32_t samplesPerBlock(const FormatBlob& format);

FormatBlob pcmFormat(uint32_t rate, uint16_t channels, uint16_t bits);
FormatBlob mp3Format(uint32_t rate, uint16_t channels, uint32_t kbps);

}  // namespace tallory::platform::acm

#endif
