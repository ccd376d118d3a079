#include "formats/loudness/loudness_meter.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace tallory::loudness {

namespace {

constexpr size_t kFramesPerChunk = 4096;
// Audio queued for the measuring thread before add waits for it: a few
// seconds of audio, so that memory stays bounded when measuring falls behind.
constexpr size_t kMaxQueuedBytes = size_t{4} << 20;
// libebur128 reports -HUGE_VAL for silence; tags get a finite floor instead.
constexpr double kSilenceLufs = -70.0;
// RFC 7845 5.2.1: a Q7.8 number in a signed 16-bit range.
constexpr double kQ78Scale = 256.0;

}  // namespace

std::unique_ptr<LoudnessMeter> LoudnessMeter::create(const WAVEFORMATEX& format) {
    const unsigned bits = format.wBitsPerSample;
    if (format.wFormatTag != WAVE_FORMAT_PCM || format.nChannels < 1 || format.nSamplesPerSec < 1 ||
        (bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
        return nullptr;
    }
    ebur128_state* state = ebur128_init(format.nChannels, format.nSamplesPerSec,
                                        EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_HISTOGRAM);
    if (state == nullptr) return nullptr;
    // WAV 5.1 order is L R C LFE Ls Rs; BS.1770 leaves the LFE out.
    if (format.nChannels == 6) {
        ebur128_set_channel(state, 3, EBUR128_UNUSED);
        ebur128_set_channel(state, 4, EBUR128_LEFT_SURROUND);
        ebur128_set_channel(state, 5, EBUR128_RIGHT_SURROUND);
    }
    return std::unique_ptr<LoudnessMeter>(new LoudnessMeter(state, format));
}

LoudnessMeter::LoudnessMeter(ebur128_state* state, const WAVEFORMATEX& format)
    : state_(state), channels_(format.nChannels), sampleBytes_(format.wBitsPerSample / 8u) {}

LoudnessMeter::~LoudnessMeter() {
    finish();
    ebur128_destroy(&state_);
}

void LoudnessMeter::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) return;  // closing, and all measured
        std::vector<uint8_t> block = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        measure(block.data(), block.size());
        lock.lock();
        queuedBytes_ -= block.size();
        changed_.notify_all();
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

void LoudnessMeter::addFrames(const uint8_t* pcm, size_t frames) {
    while (frames > 0) {
        const size_t n = std::min(frames, kFramesPerChunk);
        const size_t count = n * channels_;
        if (sampleBytes_ == 2) {
            shorts_.resize(count);
            std::memcpy(shorts_.data(), pcm, count * 2);  // little-endian like the machine
            ebur128_add_frames_short(state_, shorts_.data(), n);
        } else if (sampleBytes_ == 1) {
            shorts_.resize(count);
            for (size_t i = 0; i < count; ++i) shorts_[i] = static_cast<int16_t>((static_cast<int>(pcm[i]) - 128) * 256);
            ebur128_add_frames_short(state_, shorts_.data(), n);
        } else {
            ints_.resize(count);
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* s = pcm + i * sampleBytes_;
                uint32_t u = sampleBytes_ == 3 ? (static_cast<uint32_t>(s[0]) << 8 | static_cast<uint32_t>(s[1]) << 16 |
                                                  static_cast<uint32_t>(s[2]) << 24)
                                               : (static_cast<uint32_t>(s[0]) | static_cast<uint32_t>(s[1]) << 8 |
                                                  static_cast<uint32_t>(s[2]) << 16 | static_cast<uint32_t>(s[3]) << 24);
                ints_[i] = static_cast<int32_t>(u);
            }
            ebur128_add_frames_int(state_, ints_.data(), n);
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
                changed_.wait(lock, [&] { return queuedBytes_ < kMaxQueuedBytes; });
                queue_.emplace_back(p, p + bytes);
                queuedBytes_ += bytes;
                changed_.notify_all();
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
    std::vector<ebur128_state*> states;
    double peak = 0;
    for (const LoudnessMeter* m : meters) {
        if (m == nullptr) continue;
        m->finish();
        states.push_back(m->state_);
        for (unsigned c = 0; c < m->channels_; ++c) {
            double p = 0;
            if (ebur128_sample_peak(m->state_, c, &p) == EBUR128_SUCCESS) peak = std::max(peak, p);
        }
    }
    double lufs = -HUGE_VAL;
    if (!states.empty() && ebur128_loudness_global_multiple(states.data(), states.size(), &lufs) != EBUR128_SUCCESS) {
        lufs = -HUGE_VAL;
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
