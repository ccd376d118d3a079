#include "formats/twinvq/vqf_source.h"

#include <cmath>
#include <new>

#include "tallory/guids.h"

namespace tallory::formats::twinvq {

using namespace platform::tvq;

namespace {

// Not the full 16-bit range: the decoder's peaks are kept clear of it.
constexpr float kMaxStoredSample = 32700.0f;

}  // namespace

uint32_t vqfSampleRate(int32_t khz) {
    for (uint32_t rate : kVqfSampleRates) {
        if (static_cast<int64_t>(rate / 1000) == khz) return rate;
    }
    return 0;
}

int16_t vqfStoreSample(float value) {
    if (std::isnan(value)) return 0;
    if (value > kMaxStoredSample) value = kMaxStoredSample;
    if (value < -kMaxStoredSample) value = -kMaxStoredSample;
    value = value >= 0.0f ? value + 0.5f : value - 0.5f;
    return static_cast<int16_t>(value);  // truncates toward zero
}

VQFConvSource::VQFConvSource() = default;

VQFConvSource::~VQFConvSource() { release(); }

IUnknown* VQFConvSource::create() { return static_cast<IConvSource*>(new (std::nothrow) VQFConvSource); }

bool VQFConvSource::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_TwinVQSource;
    return true;
}

bool VQFConvSource::Open() {
    if (!SourceBase::Open()) return false;
    bitFile_ = BitFile::open(path_);
    if (!bitFile_) {
        Close();
        error("%s", kMsgVqfCannotOpenSource);
        return false;
    }
    // Header and decoder failures end Open without a message.
    TvqHeaderInfo setup{};
    if (!readVqfHeader(*bitFile_, setup)) {
        Close();
        return false;
    }
    if (TvqInitialize(&setup, &index_, 1) != 0) {
        Close();
        return false;
    }
    decoderOpen_ = true;
    if (TvqCheckVersion(setup.ID) == -1 || !frameReader_.init(index_)) {
        Close();
        return false;
    }
    frameSize_ = TvqGetFrameSize(&index_);
    channels_ = TvqGetNumChannels(&index_);
    const uint32_t rate = vqfSampleRate(setup.samplingRate);
    if (frameSize_ <= 0 || channels_ <= 0 || rate == 0) {
        Close();
        return false;
    }
    format_ = WAVEFORMATEX{};
    format_.wFormatTag = WAVE_FORMAT_PCM;
    format_.nChannels = static_cast<uint16_t>(channels_);
    format_.nSamplesPerSec = rate;
    format_.wBitsPerSample = 16;
    format_.nBlockAlign = static_cast<uint16_t>(channels_ * 2);
    format_.nAvgBytesPerSec = format_.nBlockAlign * rate;
    format_.cbSize = 0;

    // The header's estimate: the play time of the data at the bit rate.
    const uint64_t dataBytes = bitFile_->bytesLeft();
    const double seconds = static_cast<double>(dataBytes) / (setup.bitRate * 1000.0 / 8.0);
    estimatedLength_ = static_cast<uint64_t>(seconds * format_.nAvgBytesPerSec);

    // What decoding delivers: every whole frame up to the first invalid one.
    // Window types sit at fixed bit offsets, so counting costs one small read per frame.
    dataStartBit_ = bitFile_->bitPosition();
    frames_ = 0;
    while (frameReader_.frameValidAt(*bitFile_)) ++frames_;
    bitFile_->seekToBit(dataStartBit_);
    const double decoded = static_cast<double>(frames_) * frameSize_ * format_.nBlockAlign;
    totalLength_ = decoded > 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(decoded);

    floatFrame_.assign(static_cast<size_t>(channels_) * frameSize_, 0.0f);
    pcmFrame_.assign(static_cast<size_t>(channels_) * frameSize_, 0);
    return true;
}

bool VQFConvSource::deliver(IConvSink* sink) {
    const size_t n = static_cast<size_t>(frameSize_);
    for (size_t c = 0; c < static_cast<size_t>(channels_); ++c) {
        const float* in = floatFrame_.data() + c * n;
        for (size_t i = 0; i < n; ++i) pcmFrame_[i * channels_ + c] = vqfStoreSample(in[i]);
    }
    return sink->Write(pcmFrame_.data(), static_cast<uint32_t>(pcmFrame_.size() * sizeof(int16_t)));
}

bool VQFConvSource::Run(IConvSink* sink) {
    if (!SourceBase::Run(sink)) return false;
    if (sink == nullptr || !decoderOpen_ || !bitFile_) return false;
    bitFile_->seekToBit(dataStartBit_);
    for (uint64_t f = 0; f < frames_ && frameReader_.readFrame(*bitFile_, index_); ++f) {
        const int rc = TvqDecodeFrame(&index_, floatFrame_.data());
        if (rc < 0) return true;
        if (rc == 1 && !deliver(sink)) return true;
    }
    // The frames the decoder still holds.
    while (TvqDecodeFlush(&index_, floatFrame_.data()) == 1) {
        if (!deliver(sink)) return true;
    }
    return true;
}

void VQFConvSource::release() {
    if (decoderOpen_) {
        TvqTerminate(&index_);
        decoderOpen_ = false;
    }
    bitFile_.reset();
    floatFrame_.clear();
    floatFrame_.shrink_to_fit();
    pcmFrame_.clear();
    pcmFrame_.shrink_to_fit();
}

bool VQFConvSource::Close() {
    SourceBase::Close();
    release();
    return true;
}

}  // namespace tallory::formats::twinvq
