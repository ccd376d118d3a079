#include "formats/loudness/loudness_meter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace tallory::loudness {

namespace {

constexpr size_t kFramesPerChunk = 4096;
// Audio queued for the measuring thread before add waits for it: a few
// seconds of audio, so that memory stays bounded when measuring falls behind.
constexpr size_t kMaxQueuedBytes = size_t{4} << 20;
// The measuring thread starts on a batch of this many bytes (or at the end).
constexpr size_t kWakeBytes = size_t{1} << 20;
// Measured blocks whose buffers are kept for reuse, at most a full queue's worth.
constexpr size_t kMaxSpareBytes = kMaxQueuedBytes;
// Silence has no block over the gates; tags get a finite floor instead.
constexpr double kSilenceLufs = -70.0;
// RFC 7845 5.2.1: a Q7.8 number in a signed 16-bit range.
constexpr double kQ78Scale = 256.0;
// BS.1770-4: loudness of a mean square, the gates, and the surround weight.
constexpr double kLoudnessOffset = -0.691;
constexpr double kAbsoluteGateLufs = -70.0;
constexpr double kRelativeGateLu = -10.0;
constexpr double kSurroundWeight = 1.41;
// Filter states below this are flushed to zero: silence would otherwise decay
// into denormal numbers, which are slow, and contribute nothing.
constexpr double kFlushBelow = 1e-30;
// The K-weighting shelf sits at 1682 Hz: below twice that its design has no meaning.
constexpr uint32_t kMinMeasuredRate = 3400;
// Per channel: the shelf's last two inputs and outputs, the high-pass's last two outputs.
constexpr size_t kStatePerChannel = 6;

double energyOf(double lufs) { return std::pow(10.0, (lufs - kLoudnessOffset) / 10.0); }
double loudnessOf(double energy) { return 10.0 * std::log10(energy) + kLoudnessOffset; }

// The channel weights of BS.1770 for the WAV channel orders (the LFE and
// channels past 5.1 left out), as libebur128 assigns them by default.
double channelWeight(unsigned channels, unsigned c) {
    if (channels == 4) return c < 2 ? 1.0 : kSurroundWeight;
    if (channels == 5) return c < 3 ? 1.0 : kSurroundWeight;
    switch (c) {
        case 0: case 1: case 2: return 1.0;
        case 4: case 5: return kSurroundWeight;
        default: return 0.0;
    }
}

using Lanes = double __attribute__((vector_size(16)));

Lanes splat(double v) { return Lanes{v, v}; }

double flushed(double v) { return std::fabs(v) < kFlushBelow ? 0.0 : v; }

}  // namespace

std::unique_ptr<LoudnessMeter> LoudnessMeter::create(const WAVEFORMATEX& format) {
    const unsigned bits = format.wBitsPerSample;
    if (format.wFormatTag != WAVE_FORMAT_PCM || format.nChannels < 1 || format.nSamplesPerSec < kMinMeasuredRate ||
        (bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
        return nullptr;
    }
    return std::unique_ptr<LoudnessMeter>(new LoudnessMeter(format));
}

LoudnessMeter::LoudnessMeter(const WAVEFORMATEX& format)
    : channels_(format.nChannels), sampleBytes_(format.wBitsPerSample / 8u) {
    // BS.1770-4's K-weighting as a high-shelf and a high-pass biquad, designed
    // for this rate from the analogue prototype behind the standard's 48 kHz
    // coefficients (the same design libebur128 and loudgain use).
    const double rate = format.nSamplesPerSec;
    double f0 = 1681.974450955533, gain = 3.999843853973347, q = 0.7071752369554196;
    double k = std::tan(M_PI * f0 / rate);
    const double vh = std::pow(10.0, gain / 20.0);
    const double vb = std::pow(vh, 0.4996667741545416);
    double a0 = 1.0 + k / q + k * k;
    shelf_ = {(vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0,
              2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
    f0 = 38.13547087602444;
    q = 0.5003270373238773;
    k = std::tan(M_PI * f0 / rate);
    a0 = 1.0 + k / q + k * k;
    highPass_ = {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
    weights_.resize(channels_);
    for (unsigned c = 0; c < channels_; ++c) weights_[c] = channelWeight(channels_, c);
    state_.assign(kStatePerChannel * static_cast<size_t>(channels_), 0.0);
    stepEnergy_.assign(channels_, 0.0);
    stepFrames_ = (format.nSamplesPerSec + 5) / 10;
}

LoudnessMeter::~LoudnessMeter() { finish(); }

void LoudnessMeter::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // Woken for a batch, not for every block: a wake-up per block of a
        // fast encoder costs as much as measuring it.
        changed_.wait(lock, [&] { return closing_ || queuedBytes_ >= kWakeBytes; });
        if (queue_.empty()) return;  // closing, and all measured
        while (!queue_.empty()) {
            std::vector<uint8_t> block = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            measure(block.data(), block.size());
            lock.lock();
            queuedBytes_ -= block.size();
            // Kept for the next add: no allocation per block once the queue is warm.
            if (spareBytes_ + block.capacity() <= kMaxSpareBytes) {
                spareBytes_ += block.capacity();
                spare_.push_back(std::move(block));
            }
            if (producerWaiting_) changed_.notify_all();
        }
    }
}

void LoudnessMeter::finish() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
}

template <class Sample>
void LoudnessMeter::filterFrames(const Sample* samples, size_t frames, double scale) {
    const size_t stride = channels_;
    const Biquad& h = shelf_;
    const Biquad& p = highPass_;
    // Direct form I, with the feedback of the last output added last: the one
    // dependence from sample to sample is then a multiply and a subtraction.
    unsigned c = 0;
    // Two channels per step through both filters: their recurrences are
    // independent, so they share the vector instructions.
    for (; c + 1 < channels_; c += 2) {
        if (weights_[c] == 0 && weights_[c + 1] == 0) continue;
        double* s = &state_[kStatePerChannel * static_cast<size_t>(c)];
        double* t = s + kStatePerChannel;
        Lanes x1{s[0], t[0]}, x2{s[1], t[1]}, y1{s[2], t[2]}, y2{s[3], t[3]}, z1{s[4], t[4]}, z2{s[5], t[5]};
        Lanes energy{0, 0};
        const Lanes hb0 = splat(h.b0), hb1 = splat(h.b1), hb2 = splat(h.b2), ha1 = splat(h.a1), ha2 = splat(h.a2);
        const Lanes pa1 = splat(p.a1), pa2 = splat(p.a2);
        const Sample* x = samples + c;
        for (size_t i = 0; i < frames; ++i, x += stride) {
            const Lanes in = Lanes{static_cast<double>(x[0]), static_cast<double>(x[1])} * scale;
            const Lanes y = (hb0 * in + hb1 * x1 + hb2 * x2 - ha2 * y2) - ha1 * y1;
            // The high-pass numerator is 1, -2, 1.
            const Lanes z = (y - 2.0 * y1 + y2 - pa2 * z2) - pa1 * z1;
            x2 = x1, x1 = in, y2 = y1, y1 = y, z2 = z1, z1 = z;
            energy += z * z;
        }
        const Lanes kept[kStatePerChannel] = {x1, x2, y1, y2, z1, z2};
        for (size_t k = 0; k < kStatePerChannel; ++k) {
            s[k] = flushed(kept[k][0]);
            t[k] = flushed(kept[k][1]);
        }
        stepEnergy_[c] += energy[0];
        stepEnergy_[c + 1] += energy[1];
    }
    if (c < channels_ && weights_[c] != 0) {
        double* s = &state_[kStatePerChannel * static_cast<size_t>(c)];
        double energy = 0;
        const Sample* x = samples + c;
        for (size_t i = 0; i < frames; ++i, x += stride) {
            const double in = static_cast<double>(*x) * scale;
            const double y = (h.b0 * in + h.b1 * s[0] + h.b2 * s[1] - h.a2 * s[3]) - h.a1 * s[2];
            const double z = (y - 2.0 * s[2] + s[3] - p.a2 * s[5]) - p.a1 * s[4];
            s[1] = s[0], s[0] = in, s[3] = s[2], s[2] = y, s[5] = s[4], s[4] = z;
            energy += z * z;
        }
        for (size_t k = 0; k < kStatePerChannel; ++k) s[k] = flushed(s[k]);
        stepEnergy_[c] += energy;
    }
}

void LoudnessMeter::convertFrames(const uint8_t* pcm, size_t count) {
    samples_.resize(count);
    double* out = samples_.data();
    int32_t peak = 0;
    switch (sampleBytes_) {
        case 1:  // unsigned 8-bit WAV PCM
            for (size_t i = 0; i < count; ++i) {
                const int32_t v = static_cast<int32_t>(pcm[i]) - 128;
                peak = std::max(peak, std::abs(v));
                out[i] = v * (1.0 / 128.0);
            }
            peak_ = std::max(peak_, peak / 128.0);
            break;
        case 2:
            for (size_t i = 0; i < count; ++i) {
                const int32_t v = static_cast<int16_t>(static_cast<uint16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8));
                peak = std::max(peak, std::abs(v));
                out[i] = v * (1.0 / 32768.0);
            }
            peak_ = std::max(peak_, peak / 32768.0);
            break;
        case 3:
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* b = pcm + 3 * i;
                const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(b[0]) << 8 | static_cast<uint32_t>(b[1]) << 16 |
                                                       static_cast<uint32_t>(b[2]) << 24) >> 8;
                peak = std::max(peak, std::abs(v));
                out[i] = v * (1.0 / 8388608.0);
            }
            peak_ = std::max(peak_, peak / 8388608.0);
            break;
        default: {
            double widest = 0;
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* b = pcm + 4 * i;
                const auto v = static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                                    static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
                out[i] = v * (1.0 / 2147483648.0);
                widest = std::max(widest, std::fabs(out[i]));
            }
            peak_ = std::max(peak_, widest);
            break;
        }
    }
}

void LoudnessMeter::addFrames(const uint8_t* pcm, size_t frames) {
    while (frames > 0) {
        // Pieces end where a 100 ms step ends, so that each step's energy is its own.
        const size_t n = std::min({frames, kFramesPerChunk, stepFrames_ - stepFilled_});
        const size_t count = n * channels_;
        if (sampleBytes_ == 2 && std::endian::native == std::endian::little) {
            // 16-bit PCM is read in place by the filter: a separate conversion
            // pass would cost as much as the filtering.
            const int16_t* in = reinterpret_cast<const int16_t*>(pcm);
            if (reinterpret_cast<uintptr_t>(pcm) % alignof(int16_t) != 0) {
                shorts_.resize(count);
                std::memcpy(shorts_.data(), pcm, count * 2);
                in = shorts_.data();
            }
            int32_t peak = 0;
            for (size_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(static_cast<int32_t>(in[i])));
            peak_ = std::max(peak_, peak / 32768.0);
            filterFrames(in, n, 1.0 / 32768.0);
        } else {
            convertFrames(pcm, count);
            filterFrames(samples_.data(), n, 1.0);
        }
        stepFilled_ += n;
        if (stepFilled_ == stepFrames_) {
            double weighted = 0;
            for (unsigned c = 0; c < channels_; ++c) {
                weighted += weights_[c] * stepEnergy_[c];
                stepEnergy_[c] = 0;
            }
            recentSteps_[stepsSeen_ % 4] = weighted;
            ++stepsSeen_;
            stepFilled_ = 0;
            // A 400 ms block ends with every step from the fourth on; blocks
            // under the absolute gate never count, so they are not kept.
            if (stepsSeen_ >= 4) {
                const double block =
                    (recentSteps_[0] + recentSteps_[1] + recentSteps_[2] + recentSteps_[3]) / (4.0 * static_cast<double>(stepFrames_));
                if (block >= energyOf(kAbsoluteGateLufs)) blocks_.push_back(block);
            }
        }
        pcm += count * sampleBytes_;
        frames -= n;
    }
}

void LoudnessMeter::add(const void* data, uint32_t bytes) {
    if (data == nullptr || bytes == 0) return;
    const auto* p = static_cast<const uint8_t*>(data);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!closing_) {
            if (!worker_.joinable()) {
                try {
                    worker_ = std::thread([this] { work(); });
                } catch (const std::system_error&) {
                    closing_ = true;  // no thread: measured right here
                }
            }
            if (worker_.joinable()) {
                if (queuedBytes_ >= kMaxQueuedBytes) {
                    producerWaiting_ = true;
                    changed_.wait(lock, [&] { return queuedBytes_ < kMaxQueuedBytes; });
                    producerWaiting_ = false;
                }
                std::vector<uint8_t> block;
                if (!spare_.empty()) {
                    block = std::move(spare_.back());
                    spare_.pop_back();
                    spareBytes_ -= block.capacity();
                }
                block.assign(p, p + bytes);
                queue_.push_back(std::move(block));
                const bool crossed = queuedBytes_ < kWakeBytes && queuedBytes_ + bytes >= kWakeBytes;
                queuedBytes_ += bytes;
                if (crossed) changed_.notify_all();
                return;
            }
        }
    }
    measure(p, bytes);
}

void LoudnessMeter::measure(const uint8_t* data, size_t bytes) {
    const size_t frameBytes = static_cast<size_t>(channels_) * sampleBytes_;
    const uint8_t* p = data;
    size_t left = bytes;
    if (!partial_.empty()) {
        const size_t take = std::min(left, frameBytes - partial_.size());
        partial_.insert(partial_.end(), p, p + take);
        p += take;
        left -= take;
        if (partial_.size() < frameBytes) return;
        addFrames(partial_.data(), 1);
        partial_.clear();
    }
    const size_t frames = left / frameBytes;
    addFrames(p, frames);
    partial_.assign(p + frames * frameBytes, p + left);
}

void setGains(TalloryLoudness& l) {
    l.replayGainDb = kReplayGainReferenceLufs - l.integratedLufs;
    l.r128GainDb = kR128ReferenceLufs - l.integratedLufs;
}

TalloryLoudness LoudnessMeter::result() const {
    const LoudnessMeter* self = this;
    return combinedResult(std::span<const LoudnessMeter* const>(&self, 1));
}

TalloryLoudness combinedResult(std::span<const LoudnessMeter* const> meters) {
    TalloryLoudness l{};
    l.size = sizeof l;
    double peak = 0;
    double sum = 0;
    size_t count = 0;
    for (const LoudnessMeter* m : meters) {
        if (m == nullptr) continue;
        m->finish();
        peak = std::max(peak, m->peak_);
        for (double b : m->blocks_) sum += b;
        count += m->blocks_.size();
    }
    // The relative gate: 10 LU under the mean of the blocks over the absolute gate.
    double lufs = -HUGE_VAL;
    if (count > 0) {
        const double threshold = sum / static_cast<double>(count) * std::pow(10.0, kRelativeGateLu / 10.0);
        double gated = 0;
        size_t above = 0;
        for (const LoudnessMeter* m : meters) {
            if (m == nullptr) continue;
            for (double b : m->blocks_) {
                if (b >= threshold) {
                    gated += b;
                    ++above;
                }
            }
        }
        if (above > 0) lufs = loudnessOf(gated / static_cast<double>(above));
    }
    l.integratedLufs = std::isfinite(lufs) && lufs > kSilenceLufs ? lufs : kSilenceLufs;
    l.samplePeak = peak;
    setGains(l);
    return l;
}

std::string gainText(double db) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f dB", db);
    return text;
}

std::string peakText(double peak) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", peak);
    return text;
}

std::string r128Text(double db) {
    const double q = std::clamp(std::round(db * kQ78Scale), -32768.0, 32767.0);
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(q));
    return text;
}

}  // namespace tallory::loudness
