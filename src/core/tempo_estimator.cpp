#include "core/tempo_estimator.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallory::core {

namespace {
// Four beats at the fastest and the slowest tempo, in envelope values.
constexpr uint32_t kFourBeats = EnvelopeCollector::kEnvelopeRate * 240;
constexpr uint32_t kMinLag = kFourBeats / EnvelopeCollector::kMaxBpm;  // 4134
constexpr uint32_t kMaxLag = kFourBeats / EnvelopeCollector::kMinBpm;  // 8268
constexpr uint32_t kCoarseStep = 50;
constexpr uint32_t kFineReach = 100;
}  // namespace

std::unique_ptr<EnvelopeCollector> EnvelopeCollector::create(uint32_t length) {
    uint32_t capacity = length / kBytesPerValue;
    // One spare byte, as the envelope has always had.
    std::unique_ptr<uint8_t[]> values(new (std::nothrow) uint8_t[static_cast<size_t>(capacity) + 1]);
    if (!values) return nullptr;
    std::memset(values.get(), 0, static_cast<size_t>(capacity) + 1);
    return std::unique_ptr<EnvelopeCollector>(new (std::nothrow) EnvelopeCollector(std::move(values), capacity));
}

EnvelopeCollector::EnvelopeCollector(std::unique_ptr<uint8_t[]> values, uint32_t capacity)
    : values_(std::move(values)), capacity_(capacity) {}

void EnvelopeCollector::add(const void* data, uint32_t byteCount) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t samples = byteCount / 2;
    auto sample = [bytes](uint32_t i) { return std::abs(static_cast<int>(static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)))); };
    for (uint32_t i = 0; i < samples; i += 32) {
        uint32_t at = position_ + i / 32;
        if (at >= capacity_) break;
        // The pair is the two channels of one frame; a lone last sample stands for both.
        int right = i + 1 < samples ? sample(i + 1) : sample(i);
        values_[at] = static_cast<uint8_t>(((sample(i) + right) / 2) / 128);
    }
    position_ += byteCount / kBytesPerValue;
}

uint64_t envelopeDifference(const uint8_t* e, uint32_t count, uint32_t lag) {
    if (lag >= count) return 0;
    const uint8_t* a = e + lag;
    const uint8_t* b = e;
    uint32_t n = count - lag;
    uint64_t sum = 0;
    uint32_t i = 0;
#if defined(__SSE2__)
    // psadbw sums eight absolute byte differences at once; this loop is most of the analysis cost.
    __m128i acc = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        acc = _mm_add_epi64(acc, _mm_sad_epu8(x, y));
    }
    uint64_t parts[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(parts), acc);
    sum = parts[0] + parts[1];
#endif
    for (; i < n; ++i) sum += static_cast<uint64_t>(std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i])));
    return sum;
}

double EnvelopeCollector::estimateBpm() const {
    // Less than four beats at the fastest tempo cannot show a period.
    if (capacity_ <= kMinLag) return 0;
    uint64_t minimum = 0, maximum = 0;
    uint32_t best = 0;
    bool haveMinimum = false;
    auto consider = [&](uint32_t lag) {
        uint64_t sum = envelopeDifference(values_.get(), capacity_, lag);
        // A flag, not a zero minimum, marks the first lag: a perfect repeat
        // (a difference of 0) must stay the best lag.
        if (!haveMinimum) {
            haveMinimum = true;
            minimum = maximum = sum;
            best = lag;
        } else if (sum < minimum) {
            minimum = sum;
            best = lag;
        } else if (sum > maximum) {
            maximum = sum;
        }
    };
    // A lag past the envelope compares nothing and would look like a perfect repeat.
    const uint32_t maxLag = std::min(kMaxLag, capacity_);
    for (uint32_t lag = kMinLag; lag < maxLag; lag += kCoarseStep) consider(lag);
    uint32_t from = best > kFineReach ? std::max(best - kFineReach, kMinLag) : kMinLag;
    uint32_t to = std::min(best + kFineReach, maxLag);
    for (uint32_t lag = from; lag < to; ++lag) consider(lag);
    // Every difference 0: silence or a constant level, which has no tempo.
    if (maximum == 0) return 0;
    return static_cast<double>(kFourBeats) / best;
}

}  // namespace tallory::core
