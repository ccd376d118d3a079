// The tempo (BPM) estimate: a coarse amplitude envelope collected while the
// audio passes, then a search for the lag at which it repeats best.
#ifndef TALLORY_CORE_TEMPO_ESTIMATOR_H
#define TALLORY_CORE_TEMPO_ESTIMATOR_H

#include <cstdint>
#include <memory>

namespace tallory::core {

class EnvelopeCollector {
public:
    // Envelope values per second: one per 16 frames of 44.1 kHz audio.
    static constexpr int kEnvelopeRate = 2756;
    static constexpr int kMinBpm = 80;
    static constexpr int kMaxBpm = 160;
    // PCM bytes per envelope value, taking the audio as 16-bit stereo.
    static constexpr uint32_t kBytesPerValue = 64;

    // For `length` PCM bytes; null when the array cannot be allocated.
    static std::unique_ptr<EnvelopeCollector> create(uint32_t length);

    // Adds one block of 16-bit samples.
    void add(const void* data, uint32_t byteCount);
    // Beats per minute from the collected envelope; 0 when there is too little of it.
    double estimateBpm() const;

    uint32_t capacity() const { return capacity_; }
    const uint8_t* values() const { return values_.get(); }

private:
    EnvelopeCollector(std::unique_ptr<uint8_t[]> values, uint32_t capacity);

    std::unique_ptr<uint8_t[]> values_;
    uint32_t capacity_;
    uint32_t position_ = 0;
};

// Sum of |e[i] - e[i - lag]| for i from lag to count - 1.
uint64_t envelopeDifference(const uint8_t* e, uint32_t count, uint32_t lag);

}  // namespace tallory::core

#endif
