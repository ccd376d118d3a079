#include "formats/twinvq/vqf_source.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <new>

#include "core/export_guard.h"
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
    // Branch-free (the compiler's min/max and sign copy): decoded signs are as
    // good as random, and a branch per sample costs more than the rest.
    value = value == value ? value : 0.0f;  // NaN stores as 0
    value = value < -kMaxStoredSample ? -kMaxStoredSample : value;
    value = value > kMaxStoredSample ? kMaxStoredSample : value;
    return static_cast<int16_t>(value + __builtin_copysignf(0.5f, value));  // truncates toward zero
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
    if (core::guardExport("IConvSource::Open", false, [&] { return openStream(); }, progress_)) return true;
    // Also after an exception: nothing stays open.
    if (open_ || bitFile_) Close();
    return false;
}

bool VQFConvSource::openStream() {
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

namespace {

#if defined(__SSE2__)
// vqfStoreSample on four samples at once, as 32-bit integers.
inline __m128i storeFour(const float* in) {
    const __m128 limit = _mm_set1_ps(kMaxStoredSample);
    const __m128 signMask = _mm_set1_ps(-0.0f);
    __m128 v = _mm_loadu_ps(in);
    v = _mm_and_ps(v, _mm_cmpeq_ps(v, v));  // NaN to 0
    v = _mm_min_ps(_mm_max_ps(v, _mm_xor_ps(limit, signMask)), limit);
    v = _mm_add_ps(v, _mm_or_ps(_mm_set1_ps(0.5f), _mm_and_ps(v, signMask)));
    return _mm_cvttps_epi32(v);
}
#endif

}  // namespace

bool VQFConvSource::deliver(IConvSink* sink) {
    const size_t n = static_cast<size_t>(frameSize_);
    const float* in = floatFrame_.data();
    int16_t* out = pcmFrame_.data();
    size_t i = 0;
    // Mono and stereo are the only modes; frame sizes are multiples of 4.
#if defined(__SSE2__)
    if (channels_ == 1) {
        for (; i + 4 <= n; i += 4) {
            const __m128i s = storeFour(in + i);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(s, s));
        }
    } else if (channels_ == 2) {
        for (; i + 4 <= n; i += 4) {
            const __m128i left = storeFour(in + i);
            const __m128i right = storeFour(in + n + i);
            const __m128i l16 = _mm_packs_epi32(left, left), r16 = _mm_packs_epi32(right, right);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi16(l16, r16));
        }
    }
#endif
    const size_t channels = static_cast<size_t>(channels_);
    for (; i < n; ++i)
        for (size_t c = 0; c < channels; ++c) out[i * channels + c] = vqfStoreSample(in[c * n + i]);
    return sink->Write(pcmFrame_.data(), static_cast<uint32_t>(pcmFrame_.size() * sizeof(int16_t)));
}

bool VQFConvSource::Run(IConvSink* sink) {
    return core::guardExport("IConvSource::Run", false, [&] { return runStream(sink); }, progress_);
}

bool VQFConvSource::runStream(IConvSink* sink) {
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
