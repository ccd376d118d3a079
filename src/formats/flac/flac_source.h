// The FLAC source: decodes a native FLAC file to PCM (8, 16 or 24 bits per
// sample) through libFLAC, checking the decoded audio against the STREAMINFO MD5.
#ifndef TALLORY_FORMATS_FLAC_FLAC_SOURCE_H
#define TALLORY_FORMATS_FLAC_FLAC_SOURCE_H

#include <FLAC/stream_decoder.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/source_base.h"

namespace tallory::formats::flac {

inline constexpr const char* kMsgFlacCannotOpenSource = "Cannot open source file for reading";
inline constexpr const char* kMsgFlacNotFlac = "%s: not a FLAC file (%s)";
inline constexpr const char* kMsgFlacBadStreamInfo = "%s: unsupported FLAC stream (%u channels, %u Hz, %u bits/sample)";
inline constexpr const char* kMsgFlacStreamError = "%s: FLAC stream error at sample %llu: %s";
inline constexpr const char* kMsgFlacTruncated = "%s: the FLAC file ends after %llu of %llu samples";
inline constexpr const char* kMsgFlacMd5Mismatch = "Warning: %s: the decoded audio does not match the MD5 signature of the file";
inline constexpr const char* kMsgFlacCannotSeek = "Cannot seek in FLAC file. Decoding from the beginning";

class FlacSource final : public core::SourceBase {
public:
    FlacSource();
    ~FlacSource() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Run(IConvSink* sink) override;
    bool Close() override;
    bool GetTag(IMetadataFile** tag) override;

    static IUnknown* create();

    // libFLAC's callbacks, public for the C trampolines.
    FLAC__StreamDecoderWriteStatus onWrite(const FLAC__Frame* frame, const FLAC__int32* const buffer[]);
    void onMetadata(const FLAC__StreamMetadata* metadata);
    void onError(FLAC__StreamDecoderErrorStatus status);

private:
    std::string fileName() const;
    void releaseDecoder();

    FLAC__StreamDecoder* decoder_ = nullptr;
    IConvSink* sink_ = nullptr;
    bool sinkRefused_ = false;
    bool haveStreamInfo_ = false;
    unsigned streamChannels_ = 0;
    unsigned streamRate_ = 0;
    unsigned streamBits_ = 0;
    uint64_t streamSamples_ = 0;  // 0: not known
    uint64_t decodedSamples_ = 0;
    // The first decoding error and the sample where it happened.
    std::string streamError_;
    uint64_t streamErrorAt_ = 0;
    std::vector<uint8_t> pcm_;
};

}  // namespace tallory::formats::flac

#endif
