// EBU R128 integrated loudness (ITU-R BS.1770-4: K-weighting, 400 ms blocks
// every 100 ms, absolute and relative gates) and sample peak of PCM blocks,
// and the ReplayGain 2.0 and R128 values derived from them. The filter runs
// two channels at a time in one vector register: libebur128, which the tests
// compare against, takes several times longer per sample than the encoders
// it would run beside.
#ifndef TALLORY_FORMATS_LOUDNESS_LOUDNESS_METER_H
#define TALLORY_FORMATS_LOUDNESS_LOUDNESS_METER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "tallory/loudness.h"
#include "tallory/types.h"

namespace tallory::loudness {

// ReplayGain 2.0 reference loudness, and the one of RFC 7845 5.2.1.
inline constexpr double kReplayGainReferenceLufs = -18.0;
inline constexpr double kR128ReferenceLufs = -23.0;

class LoudnessMeter;
TalloryLoudness combinedResult(std::span<const LoudnessMeter* const> meters);

class LoudnessMeter {
public:
    // A meter for 8, 16, 24 or 32-bit PCM; null for a format it cannot measure.
    static std::unique_ptr<LoudnessMeter> create(const WAVEFORMATEX& format);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // Blocks may cut frames; the cut frame is completed by the next block. The
    // measuring runs on a thread of the meter's own, so that it costs the
    // conversion little time; a copy of the block is queued.
    void add(const void* data, uint32_t bytes);
    // Waits until every block added is measured; later adds are measured at once.
    void finish() const;
    // The measurement of everything added (finishes first).
    TalloryLoudness result() const;

private:
    friend TalloryLoudness combinedResult(std::span<const LoudnessMeter* const> meters);
    explicit LoudnessMeter(const WAVEFORMATEX& format);
    void addFrames(const uint8_t* pcm, size_t frames);
    // Filters `frames` interleaved frames (within one 100 ms step), each
    // sample times `scale`, into the step's energy.
    template <class Sample>
    void filterFrames(const Sample* samples, size_t frames, double scale);
    // `count` samples of any width as doubles in samples_, and their peak.
    void convertFrames(const uint8_t* pcm, size_t count);
    void measure(const uint8_t* data, size_t bytes);
    void work();

    // One biquad's coefficients (a0 = 1).
    struct Biquad {
        double b0, b1, b2, a1, a2;
    };
    unsigned channels_;
    unsigned sampleBytes_;
    Biquad shelf_{}, highPass_{};
    std::vector<double> weights_;   // BS.1770 channel weights (0 leaves a channel out)
    std::vector<double> state_;     // the filters' memory, per channel
    std::vector<double> samples_;   // a piece of input as doubles, interleaved
    std::vector<int16_t> shorts_;   // 16-bit input that was not aligned for reading in place
    std::vector<double> stepEnergy_;  // per channel, the current 100 ms step
    size_t stepFrames_ = 0;         // frames per 100 ms step
    size_t stepFilled_ = 0;         // frames of the current step so far
    double recentSteps_[4] = {};    // the weighted energies of the last four steps
    size_t stepsSeen_ = 0;
    std::vector<double> blocks_;    // mean weighted energy of each 400 ms block
    double peak_ = 0;
    std::vector<uint8_t> partial_;

    // The queue between add and the measuring thread.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable std::thread worker_;
    mutable bool closing_ = false;
    std::deque<std::vector<uint8_t>> queue_;
    std::vector<std::vector<uint8_t>> spare_;
    size_t queuedBytes_ = 0;
    bool producerWaiting_ = false;
    size_t spareBytes_ = 0;
};

// The measurement of several meters together (an album); null meters are skipped.
TalloryLoudness combinedResult(std::span<const LoudnessMeter* const> meters);
// Fills the gains of `loudness` from its loudness.
void setGains(TalloryLoudness& loudness);

// Tag texts: "-3.21 dB", "0.987654", and the Q7.8 R128 gain ("-1234").
std::string gainText(double db);
std::string peakText(double peak);
std::string r128Text(double db);

}  // namespace tallory::loudness

#endif
