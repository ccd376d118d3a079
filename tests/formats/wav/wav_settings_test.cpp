// The Wave target's settings: options, the settings text, stored defaults in
// section "WAV" and size estimates.
#include <gtest/gtest.h>

#include "audio_test_util.h"
#include "core/settings_store.h"
#include "platform/acm/acm.h"
#include "tallory/settings.h"

namespace {

using namespace testutil;
namespace acm = tallory::platform::acm;

std::string settingsText(IConvTarget* t) {
    char text[TALLORY_MAX_PATH];
    EXPECT_TRUE(t->GetSettingsText(text, sizeof text));
    return text;
}

class WavSettings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tallory::core::settings::openStoreAt(scratchDir() + "/settings.sqlite3"));
    }
    void TearDown() override { tallory::core::settings::closeStore(); }
};

TEST_F(WavSettings, OptionsChooseCodecAndFormat) {
    IConvTarget* t = create<IConvTarget>(CLSID_WavTarget, IID_IConvTarget);
    EXPECT_EQ(settingsText(t), "PCM; auto detection");
    char error[TALLORY_MAX_PATH] = "unchanged";
    EXPECT_FALSE(t->SetOption("wave-codec", "Opus", error));
    EXPECT_STREQ(error, "The wave ACM codec was not found");
    EXPECT_FALSE(t->SetOption("bitrate", "128", error));
    EXPECT_STREQ(error, "");
    // "wave-format" looks among the formats of the codec in force: PCM has no 4-bit format.
    EXPECT_FALSE(t->SetOption("wave-format", "22,050 Hz, 4 Bit, Stereo", error));
    EXPECT_STREQ(error, "The wave ACM format was not found");
    ASSERT_TRUE(t->SetOption("WAVE-CODEC", "microsoft adpcm", error));
    EXPECT_EQ(settingsText(t), "Microsoft ADPCM; auto detection");
    ASSERT_TRUE(t->SetOption("wave-format", "22,050 Hz, 4 Bit, Stereo", error));
    EXPECT_EQ(settingsText(t), "Microsoft ADPCM; 22,050 Hz, 4 Bit, Stereo");
    // A new codec drops the format.
    ASSERT_TRUE(t->SetOption("wave-codec", "GSM 6.10", error));
    EXPECT_EQ(settingsText(t), "GSM 6.10; auto detection");
    EXPECT_FALSE(t->SetOption("wave-codec", nullptr, error));
    char small[8];
    ASSERT_TRUE(t->GetSettingsText(small, sizeof small));
    EXPECT_STREQ(small, "GSM 6.1");
    // No UI module: the dialog answers "cancelled".
    EXPECT_FALSE(t->ShowSettings(nullptr, nullptr));
    t->Release();
}

TEST_F(WavSettings, StoredDefaultsAreLoadedAndDescribed) {
    FormatInfo wave;
    ASSERT_EQ(ConvGetFormatByName(&wave, "Wave"), S_OK);
    char text[TALLORY_MAX_PATH];
    ASSERT_EQ(ConvDefOutputSettingsString(text, sizeof text, &wave), S_OK);
    EXPECT_STREQ(text, "PCM; auto detection");

    acm::FormatBlob ima = acm::formats(acm::kTagImaAdpcm).at(3).format;
    ASSERT_TRUE(PutProfileInt("WAV", "FormatTag", acm::kTagImaAdpcm));
    ASSERT_TRUE(PutProfileInt("WAV", "WaveFormatExSize", static_cast<int>(ima.size())));
    ASSERT_TRUE(PutProfileBinary("WAV", "WaveFormatEx", ima.data(), static_cast<uint32_t>(ima.size())));
    ASSERT_EQ(ConvDefOutputSettingsString(text, sizeof text, &wave), S_OK);
    EXPECT_EQ(std::string(text), "IMA ADPCM; " + acm::formatText(ima));

    // A stored record that does not match its size falls back to automatic.
    ASSERT_TRUE(PutProfileInt("WAV", "WaveFormatExSize", 40));
    ASSERT_EQ(ConvDefOutputSettingsString(text, sizeof text, &wave), S_OK);
    EXPECT_STREQ(text, "IMA ADPCM; auto detection");
    EXPECT_EQ(ConvDefOutputSettings(nullptr, &wave), E_ABORT);  // no dialog without the UI module
}

TEST_F(WavSettings, EstimateSize) {
    IConvTarget* t = create<IConvTarget>(CLSID_WavTarget, IID_IConvTarget);
    WAVEFORMATEX f = pcmFormat(44100, 2, 16);
    uint32_t out = 0;
    ASSERT_TRUE(t->EstimateSize(176400 * 3, &f, &out));
    EXPECT_EQ(out, 176400u * 3);
    ASSERT_TRUE(t->SetOption("wave-codec", "CCITT u-Law", nullptr));
    ASSERT_TRUE(t->EstimateSize(176400 * 3, &f, &out));
    EXPECT_EQ(out, 88200u * 3);
    ASSERT_TRUE(t->SetOption("wave-format", "8,000 Hz, 8 Bit, Mono", nullptr));
    ASSERT_TRUE(t->EstimateSize(176400 * 3, &f, &out));
    EXPECT_EQ(out, 8000u * 3);
    ASSERT_TRUE(t->SetOption("wave-codec", "MPEG Layer-3", nullptr));  // decode only: no suggestion
    EXPECT_FALSE(t->EstimateSize(176400, &f, &out));
    WAVEFORMATEX silent = f;
    silent.nAvgBytesPerSec = 0;
    EXPECT_FALSE(t->EstimateSize(176400, &silent, &out));
    t->Release();
}

TEST(WavCodecTable, NamesAndTextsAreStable) {
    std::vector<std::string> names;
    for (const acm::TagDetails& t : acm::formatTags()) names.push_back(t.name);
    EXPECT_EQ(names, (std::vector<std::string>{"PCM", "Microsoft ADPCM", "CCITT A-Law", "CCITT u-Law", "IMA ADPCM",
                                               "GSM 6.10", "MPEG Layer-3"}));
    for (const acm::TagDetails& t : acm::formatTags()) {
        std::vector<acm::FormatDetails> list = acm::formats(t.tag);
        EXPECT_EQ(list.empty(), (t.flags & acm::kCanEncode) == 0) << t.name;
        for (size_t i = 0; i < list.size(); ++i) {
            WAVEFORMATEX w = acm::header(list[i].format);
            EXPECT_EQ(uint32_t(w.wFormatTag), t.tag);
            EXPECT_EQ(list[i].format.size(), 18u + w.cbSize);
            EXPECT_EQ(acm::validate(list[i].format), acm::kOk) << list[i].text;
            for (size_t j = 0; j < i; ++j) EXPECT_NE(list[i].text, list[j].text) << t.name;
        }
    }
    EXPECT_EQ(acm::formatText(acm::makeBlob(pcmFormat(44100, 2, 16))), "44,100 Hz, 16 Bit, Stereo");
}

}  // namespace
