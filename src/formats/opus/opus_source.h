// The Opus source: decodes an Ogg Opus file to 16-bit PCM at 48 kHz through
// libopusfile, which applies the pre-skip, the end trim and the header gain.
#ifndef TALLORY_FORMATS_OPUS_OPUS_SOURCE_H
#define TALLORY_FORMATS_OPUS_OPUS_SOURCE_H

#include <opusfile.h>

#include <string>

#include "core/source_base.h"

namespace tallory::formats::opus {

inline constexpr const char* kMsgOpusCannotOpenSource = "Cannot open source file for reading";
inline constexpr const char* kMsgOpusNotOpus = "%s: not an Ogg Opus file (%s)";
inline constexpr const char* kMsgOpusStreamError = "%s: Opus stream error after %lld samples: %s";
inline constexpr const char* kMsgOpusTruncated = "%s: the Opus file ends without its last page (truncated)";
inline constexpr const char* kMsgOpusCannotSeek = "Cannot seek in Opus file. Decoding from the beginning";

// Opus always decodes at 48 kHz (RFC 7845 4).
inline constexpr uint32_t kOpusRate = 48000;

class OpusSource final : public core::SourceBase {
public:
    OpusSource();
    ~OpusSource() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Run(IConvSink* sink) override;
    bool Close() override;
    bool GetTag(IMetadataFile** tag) override;

    static IUnknown* create();

private:
    std::string fileName() const;

    OggOpusFile* file_ = nullptr;
};

// The text of an opusfile error code.
const char* opusFileError(int code);

}  // namespace tallory::formats::opus

#endif
