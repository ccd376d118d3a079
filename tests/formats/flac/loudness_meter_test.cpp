// The loudness meter against libebur128 as an independent BS.1770
// implementation: integrated loudness and sample peak for each PCM width,
// mono to 5.1, rates from 8 to 96 kHz, blocks that cut frames, gated gaps,
// albums of several tracks, and the silence floor.
#include <gtest/gtest.h>

#include <ebur128.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "formats/loudness/loudness_meter.h"

using tallory::loudness::LoudnessMeter;

namespace {

WAVEFORMATEX pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

// Music-like: tones that differ per channel, noise, a swelling envelope, and
// (with `gaps`) near-silent stretches that the relative gate must drop.
std::vector<double> signal(const WAVEFORMATEX& f, double seconds, double level, bool gaps, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 0.15);
    const size_t frames = static_cast<size_t>(seconds * f.nSamplesPerSec);
    std::vector<double> out(frames * f.nChannels);
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / f.nSamplesPerSec;
        double envelope = 0.6 + 0.4 * std::sin(2 * M_PI * 0.3 * t);
        if (gaps && static_cast<int>(t / 1.5) % 3 == 2) envelope = 0.002;
        for (unsigned c = 0; c < f.nChannels; ++c) {
            const double tone = std::sin(2 * M_PI * (110.0 * (c + 1) + 40 * t) * t) + 0.5 * std::sin(2 * M_PI * 3150.0 * t);
            out[i * f.nChannels + c] = std::clamp(level * envelope * (0.5 * tone + noise(random)), -1.0, 1.0);
        }
    }
    return out;
}

std::vector<uint8_t> bytesOf(const std::vector<double>& samples, unsigned bits) {
    std::vector<uint8_t> out;
    for (double v : samples) {
        const double scale = std::ldexp(1.0, static_cast<int>(bits) - 1);
        const auto q = static_cast<int64_t>(std::clamp(std::round(v * scale), -scale, scale - 1));
        if (bits == 8) {
            out.push_back(static_cast<uint8_t>(q + 128));
        } else {
            for (unsigned b = 0; b < bits / 8; ++b) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(q) >> (8 * b)));
        }
    }
    return out;
}

// libebur128 over the same bytes, as full-scale 32-bit integers.
ebur128_state* reference(const WAVEFORMATEX& f, const std::vector<uint8_t>& bytes) {
    ebur128_state* st = ebur128_init(f.nChannels, f.nSamplesPerSec, EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK);
    const unsigned width = f.wBitsPerSample / 8;
    std::vector<int32_t> ints;
    for (size_t i = 0; i + width <= bytes.size(); i += width) {
        uint32_t u = 0;
        for (unsigned b = 0; b < width; ++b) u |= static_cast<uint32_t>(bytes[i + b]) << (8 * b);
        if (width == 1) u = (u - 128u) << 24;
        else u <<= 32 - 8 * width;
        ints.push_back(static_cast<int32_t>(u));
    }
    ebur128_add_frames_int(st, ints.data(), ints.size() / f.nChannels);
    return st;
}

double peakOf(ebur128_state* st, unsigned channels) {
    double peak = 0;
    for (unsigned c = 0; c < channels; ++c) {
        double p = 0;
        ebur128_sample_peak(st, c, &p);
        peak = std::max(peak, p);
    }
    return peak;
}

// Fed in pieces of an odd size, so that frames are cut between blocks.
void feed(LoudnessMeter& meter, const std::vector<uint8_t>& bytes, size_t piece) {
    for (size_t at = 0; at < bytes.size(); at += piece) {
        meter.add(bytes.data() + at, static_cast<uint32_t>(std::min(piece, bytes.size() - at)));
    }
}

}  // namespace

TEST(LoudnessMeter, AgreesWithLibebur128) {
    struct Case {
        uint32_t rate;
        uint16_t channels, bits;
        bool gaps;
    };
    const Case cases[] = {{44100, 2, 16, false}, {48000, 1, 16, true}, {96000, 6, 24, true}, {22050, 4, 8, false},
                          {32000, 5, 32, true},  {8000, 3, 16, false}, {44100, 2, 24, true}, {88200, 7, 16, false}};
    unsigned seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch, " + std::to_string(c.bits) + " bits");
        const WAVEFORMATEX f = pcm(c.rate, c.channels, c.bits);
        const std::vector<uint8_t> bytes = bytesOf(signal(f, 7.3, 0.7, c.gaps, seed++), c.bits);
        auto meter = LoudnessMeter::create(f);
        ASSERT_NE(meter, nullptr);
        feed(*meter, bytes, 1001);
        const TalloryLoudness ours = meter->result();
        ebur128_state* st = reference(f, bytes);
        double theirs = 0;
        ASSERT_EQ(ebur128_loudness_global(st, &theirs), EBUR128_SUCCESS);
        EXPECT_NEAR(ours.integratedLufs, theirs, 0.005);
        EXPECT_NEAR(ours.samplePeak, peakOf(st, c.channels), 1e-9);
        EXPECT_NEAR(ours.replayGainDb, -18.0 - theirs, 0.005);
        EXPECT_NEAR(ours.r128GainDb, -23.0 - theirs, 0.005);
        ebur128_destroy(&st);
    }
}

TEST(LoudnessMeter, AlbumsGateAllTheirTracksTogether) {
    const WAVEFORMATEX f = pcm(44100, 2, 16);
    const std::vector<uint8_t> loud = bytesOf(signal(f, 5, 0.9, false, 11), 16);
    const std::vector<uint8_t> quiet = bytesOf(signal(f, 9, 0.05, true, 12), 16);
    auto a = LoudnessMeter::create(f);
    auto b = LoudnessMeter::create(f);
    feed(*a, loud, 65536);
    feed(*b, quiet, 4097);
    const LoudnessMeter* meters[] = {a.get(), nullptr, b.get()};
    const TalloryLoudness album = tallory::loudness::combinedResult(meters);
    ebur128_state* states[] = {reference(f, loud), reference(f, quiet)};
    double theirs = 0;
    ASSERT_EQ(ebur128_loudness_global_multiple(states, 2, &theirs), EBUR128_SUCCESS);
    EXPECT_NEAR(album.integratedLufs, theirs, 0.005);
    EXPECT_NEAR(album.samplePeak, std::max(peakOf(states[0], 2), peakOf(states[1], 2)), 1e-9);
    // The album is not the mean of its tracks: the quiet one's blocks fall under the relative gate.
    EXPECT_GT(album.integratedLufs, (a->result().integratedLufs + b->result().integratedLufs) / 2 + 1);
    for (ebur128_state*& st : states) ebur128_destroy(&st);
}

TEST(LoudnessMeter, SilenceShortAndRefusedInput) {
    const WAVEFORMATEX f = pcm(48000, 2, 16);
    auto silent = LoudnessMeter::create(f);
    const std::vector<uint8_t> zeros(48000 * 4 * 3, 0);
    feed(*silent, zeros, 30000);
    EXPECT_EQ(silent->result().integratedLufs, -70.0);
    EXPECT_EQ(silent->result().samplePeak, 0.0);
    // 300 ms make no 400 ms block; below the absolute gate counts as silence too.
    auto shortOne = LoudnessMeter::create(f);
    feed(*shortOne, bytesOf(signal(f, 0.3, 0.8, false, 3), 16), 9999);
    EXPECT_EQ(shortOne->result().integratedLufs, -70.0);
    EXPECT_GT(shortOne->result().samplePeak, 0.1);
    auto faint = LoudnessMeter::create(f);
    feed(*faint, bytesOf(signal(f, 3, 0.0001, false, 4), 16), 9999);
    EXPECT_EQ(faint->result().integratedLufs, -70.0);
    // Long silence after sound: the filters' decay into denormal numbers is
    // cut short, and the value is still libebur128's.
    std::vector<uint8_t> sound = bytesOf(signal(f, 2, 0.5, false, 5), 16);
    sound.resize(sound.size() + 48000 * 4 * 20, 0);
    auto tail = LoudnessMeter::create(f);
    feed(*tail, sound, 65536);
    ebur128_state* st = reference(f, sound);
    double theirs = 0;
    ASSERT_EQ(ebur128_loudness_global(st, &theirs), EBUR128_SUCCESS);
    ebur128_destroy(&st);
    EXPECT_NEAR(tail->result().integratedLufs, theirs, 0.005);

    WAVEFORMATEX bad = f;
    bad.wBitsPerSample = 12;
    EXPECT_EQ(LoudnessMeter::create(bad), nullptr);
    bad = f;
    bad.nChannels = 0;
    EXPECT_EQ(LoudnessMeter::create(bad), nullptr);
    bad = f;
    bad.nSamplesPerSec = 3000;  // the K-weighting shelf would lie above half the rate
    EXPECT_EQ(LoudnessMeter::create(bad), nullptr);
    bad = f;
    bad.wFormatTag = 3;  // float
    EXPECT_EQ(LoudnessMeter::create(bad), nullptr);
}

// The hand-over to the measuring thread: tiny pieces that never reach a batch
// on their own, then one piece larger than the whole queue, then a run of small
// ones while the thread is behind. The result is that of one piece.
TEST(LoudnessMeter, HandOverOfAnyPieceSizes) {
    const WAVEFORMATEX f = pcm(44100, 2, 16);
    const std::vector<uint8_t> bytes = bytesOf(signal(f, 40, 0.6, true, 21), 16);  // about 7 MB
    auto whole = LoudnessMeter::create(f);
    whole->add(bytes.data(), static_cast<uint32_t>(bytes.size()));
    const TalloryLoudness expected = whole->result();

    auto pieces = LoudnessMeter::create(f);
    size_t at = 0;
    for (; at < 4003; at += 7) pieces->add(bytes.data() + at, 7);
    const size_t big = 5u << 20;
    pieces->add(bytes.data() + at, static_cast<uint32_t>(big));
    at += big;
    while (at < bytes.size()) {
        const size_t n = std::min<size_t>(333, bytes.size() - at);
        pieces->add(bytes.data() + at, static_cast<uint32_t>(n));
        at += n;
    }
    const TalloryLoudness got = pieces->result();
    EXPECT_NEAR(got.integratedLufs, expected.integratedLufs, 1e-9);  // sums split at other places
    EXPECT_EQ(got.samplePeak, expected.samplePeak);
    // Nothing queued is lost when the result is asked for early in a short track.
    auto brief = LoudnessMeter::create(f);
    feed(*brief, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 44100 * 4), 1000);
    EXPECT_GT(brief->result().samplePeak, 0.0);
}
