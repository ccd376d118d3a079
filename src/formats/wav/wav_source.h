// The Wave source: reads a RIFF/WAVE file and delivers PCM, decoding other
// format tags through the compression manager stand-in.
#ifndef TALLORY_FORMATS_WAV_WAV_SOURCE_H
#define TALLORY_FORMATS_WAV_WAV_SOURCE_H

#include <memory>

#include "core/source_base.h"
#include "platform/acm/acm.h"
#include "platform/riff/riff_file.h"

namespace tallory::formats::wav {

class WavSource : public core::SourceBase {
public:
    WavSource();
    ~WavSource() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Run(IConvSink* sink) override;
    bool Close() override;

    // The file's own format record (with its extra bytes) while open.
    const platform::acm::FormatBlob& fileFormat() const { return fileFormat_; }
    // Sample frames the file declares ("fact"), or data size / block align.
    uint32_t sampleCount() const { return sampleCount_; }

private:
    bool openFile();
    // Decoded sample frames of MPEG audio data, counted frame by frame; false if none is found.
    bool countMpegFrames(uint64_t& pcmFrames);
    bool runPcm(IConvSink* sink);
    bool runCodec(IConvSink* sink);
    // Skips the start time: `bytesPerSec` and `align` of the data as stored.
    bool skipStart(uint32_t bytesPerSec, uint32_t align);

    platform::riff::RiffFile file_;
    platform::acm::FormatBlob fileFormat_;
    uint32_t dataOffset_ = 0;
    uint32_t dataRemaining_ = 0;
    uint32_t sampleCount_ = 0;
    std::unique_ptr<platform::acm::Stream> stream_;
};

IUnknown* createWavSource();

}  // namespace tallory::formats::wav

#endif
