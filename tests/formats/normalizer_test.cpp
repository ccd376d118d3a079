// The peak normalizer.
#include <gtest/gtest.h>

#include <vector>

#include "memory_objects.h"
#include "tallory/tallory.h"

namespace {

struct NormalizerHolder {
    INormalizer* n = nullptr;
    NormalizerHolder() { EXPECT_EQ(CreateNormalizer(&n), S_OK); }
    ~NormalizerHolder() { n->Destroy(); }
};

std::vector<uint8_t> samples16(std::initializer_list<int> values) {
    std::vector<uint8_t> pcm(values.size() * 2);
    size_t i = 0;
    for (int v : values) putSample(pcm, i++, v);
    return pcm;
}

TEST(Normalizer, SixteenBitScalesThePeakToFullScale) {
    NormalizerHolder h;
    WAVEFORMATEX wf = MemorySource::cdFormat();
    ASSERT_EQ(h.n->SetFormat(&wf), S_OK);
    auto pcm = samples16({100, -16384, 16384, -3, 0});
    ASSERT_EQ(h.n->Analyze(static_cast<uint32_t>(pcm.size()), pcm.data()), S_OK);
    ASSERT_EQ(h.n->Apply(static_cast<uint32_t>(pcm.size()), pcm.data(), pcm.data()), S_OK);
    EXPECT_EQ(getSample(pcm, 0), 200);
    EXPECT_EQ(getSample(pcm, 1), -32768);
    EXPECT_EQ(getSample(pcm, 2), 32767);  // +32768 does not fit: clamped, not wrapped
    EXPECT_EQ(getSample(pcm, 3), -6);
    EXPECT_EQ(getSample(pcm, 4), 0);

    // A quieter block later does not lower the gain.
    auto quiet = samples16({1000});
    ASSERT_EQ(h.n->Analyze(2, quiet.data()), S_OK);
    std::vector<uint8_t> out(2);
    ASSERT_EQ(h.n->Apply(2, quiet.data(), out.data()), S_OK);
    EXPECT_EQ(getSample(out, 0), 2000);
    EXPECT_EQ(getSample(quiet, 0), 1000);  // a separate output leaves the input alone
}

TEST(Normalizer, RefusesWhatItCannotScale) {
    NormalizerHolder h;
    std::vector<uint8_t> pcm(4);
    EXPECT_EQ(h.n->Analyze(4, pcm.data()), E_FAIL);
    EXPECT_EQ(h.n->Apply(4, pcm.data(), pcm.data()), E_FAIL);
    WAVEFORMATEX wf = MemorySource::cdFormat();
    wf.wBitsPerSample = 24;
    EXPECT_EQ(h.n->SetFormat(&wf), E_INVALIDARG);
    wf.wBitsPerSample = 16;
    wf.nChannels = 6;
    EXPECT_EQ(h.n->SetFormat(&wf), E_INVALIDARG);
    EXPECT_EQ(h.n->SetFormat(nullptr), E_INVALIDARG);
    EXPECT_EQ(CreateNormalizer(nullptr), E_INVALIDARG);
}

TEST(Normalizer, SilenceStaysSilent) {
    NormalizerHolder h;
    WAVEFORMATEX wf = MemorySource::cdFormat();
    ASSERT_EQ(h.n->SetFormat(&wf), S_OK);
    std::vector<uint8_t> pcm(64, 0);
    ASSERT_EQ(h.n->Analyze(64, pcm.data()), S_OK);
    ASSERT_EQ(h.n->Apply(64, pcm.data(), pcm.data()), S_OK);
    for (uint8_t b : pcm) EXPECT_EQ(b, 0);
}

TEST(Normalizer, EightBitIsMeasuredAroundItsMidpoint) {
    NormalizerHolder h;
    WAVEFORMATEX wf{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
    ASSERT_EQ(h.n->SetFormat(&wf), S_OK);
    std::vector<uint8_t> pcm = {128, 160, 96, 129, 127};  // peak 32 from the midpoint: gain 4
    ASSERT_EQ(h.n->Analyze(5, pcm.data()), S_OK);
    ASSERT_EQ(h.n->Apply(5, pcm.data(), pcm.data()), S_OK);
    EXPECT_EQ(pcm, (std::vector<uint8_t>{128, 255, 0, 132, 124}));  // +128 clamps to 255
}

}  // namespace
