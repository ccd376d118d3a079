// The TwinVQ source: reads a VQF file's header and bit stream itself and
// decodes frame by frame through the Tvq* decoder calls into 16-bit PCM.
// Tags are not read and a start time is not honoured.
#ifndef TALLORY_FORMATS_TWINVQ_VQF_SOURCE_H
#define TALLORY_FORMATS_TWINVQ_VQF_SOURCE_H

#include <cstdint>
#include <memory>
#include <vector>

#include "core/source_base.h"
#include "formats/twinvq/bit_file.h"
#include "formats/twinvq/vqf_stream.h"
#include "platform/tvq/tvq_decoder.h"

namespace tallory::formats::twinvq {

inline constexpr const char* kMsgVqfCannotOpenSource = "Cannot open source file for reading";

// The output rate of each COMM sampling rate (kHz): the entry whose value / 1000 equals it.
inline constexpr uint32_t kVqfSampleRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
uint32_t vqfSampleRate(int32_t khz);
// One decoded sample in 16-bit units to a stored sample: clamped to +-32700,
// rounded half away from zero.
int16_t vqfStoreSample(float value);

class VQFConvSource final : public core::SourceBase {
public:
    VQFConvSource();
    ~VQFConvSource() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Run(IConvSink* sink) override;
    bool Close() override;

    // Frames the stream holds, as counted at Open.
    uint64_t frameCount() const { return frames_; }
    // The length the header's bit rate gives for the data, in PCM bytes.
    uint64_t estimatedLength() const { return estimatedLength_; }

    static IUnknown* create();

private:
    bool openStream();
    bool runStream(IConvSink* sink);
    void release();
    bool deliver(IConvSink* sink);

    std::unique_ptr<BitFile> bitFile_;
    platform::tvq::TvqIndex index_;
    VqfFrameReader frameReader_;
    bool decoderOpen_ = false;
    int frameSize_ = 0;
    int channels_ = 0;
    uint64_t dataStartBit_ = 0;
    uint64_t frames_ = 0;
    uint64_t estimatedLength_ = 0;
    std::vector<float> floatFrame_;
    std::vector<int16_t> pcmFrame_;
};

}  // namespace tallory::formats::twinvq

#endif
