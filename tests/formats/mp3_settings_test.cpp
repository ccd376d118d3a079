// The MP3 settings record: keys, description and the stored default.
#include <gtest/gtest.h>

#include <string>

#include "formats/mp3/mp3_settings.h"
#include "tallory/settings.h"

namespace {

using namespace tallory::formats::mp3;

bool apply(Mp3Settings& s, const char* name, const char* value, std::string* error = nullptr) {
    std::string e;
    bool ok = applyOption(s, name, value, e);
    if (error != nullptr) *error = e;
    return ok;
}

TEST(Mp3Settings, DescriptionExamples) {
    Mp3Settings s;
    EXPECT_EQ(describe(s), "L.A.M.E.; 128 kbps; auto kHz; CRC off");
    s.vbr = 1;
    s.maxBitrate = 320;
    s.vbrQuality = 5;
    s.sampleRate = 44100;
    s.channelMode = 1;
    s.original = 1;
    EXPECT_EQ(describe(s), "L.A.M.E.; 128 - 320 kbps; VBR quality 5; 44 kHz / joined stereo; org; CRC off");
    Mp3Settings all;
    all.mpeg2 = all.original = all.copyright = all.privateFlag = all.crc = 1;
    EXPECT_EQ(describe(all), "L.A.M.E.; 128 kbps; auto kHz; MPEG-II; org; cpy; priv; CRC on");
    Mp3Settings blade;
    blade.encoder = kEncoderBladeEnc;
    blade.sampleRate = 32000;
    blade.channelMode = 1;
    EXPECT_EQ(describe(blade), "BladeEnc; 128 kbps; 32 kHz / mono; CRC off");
    blade.encoder = kEncoderCodec;
    blade.channelMode = 2;
    EXPECT_EQ(describe(blade), "MP3 Codec; 128 kbps; 32 kHz / stereo; CRC off");
}

TEST(Mp3Settings, NumbersAndUnits) {
    Mp3Settings s;
    std::string error;
    ASSERT_TRUE(apply(s, "bitrate", "192000bps"));
    EXPECT_EQ(s.bitrate, 192);
    ASSERT_TRUE(apply(s, "BITRATE", "256KBPS"));
    EXPECT_EQ(s.bitrate, 256);
    ASSERT_TRUE(apply(s, "max-bitrate", "160"));
    EXPECT_EQ(s.maxBitrate, 160);
    EXPECT_FALSE(apply(s, "bitrate", "192 kbps", &error));
    EXPECT_EQ(error, "Value must be a number ended by either kbps, bps or nothing");
    EXPECT_FALSE(apply(s, "bitrate", "fast", &error));
    EXPECT_FALSE(apply(s, "bitrate", nullptr, &error));
    EXPECT_EQ(s.bitrate, 256);

    ASSERT_TRUE(apply(s, "sample-rate", "44kHz"));
    EXPECT_EQ(s.sampleRate, 44000);
    ASSERT_TRUE(apply(s, "sample-rate", "22050Hz"));
    EXPECT_EQ(s.sampleRate, 22050);
    EXPECT_FALSE(apply(s, "sample-rate", "44.1kHz", &error));
    EXPECT_EQ(error, "Value must be a number ended by either kHz, Hz or nothing");
    EXPECT_FALSE(apply(s, "sample-rate", "99999999999999", &error));

    ASSERT_TRUE(apply(s, "vbr-quality", "12"));  // not range-checked
    EXPECT_EQ(s.vbrQuality, 12);
    EXPECT_FALSE(apply(s, "vbr-quality", "2x", &error));
    EXPECT_EQ(error, "Value must be a number between 0 (best) and 9 (worse)");
}

TEST(Mp3Settings, FlagsEncoderAndChannels) {
    Mp3Settings s;
    std::string error;
    ASSERT_TRUE(apply(s, "mpeg-ii", nullptr));
    EXPECT_EQ(s.mpeg2, 1);
    ASSERT_TRUE(apply(s, "mpeg-ii", "OFF"));
    EXPECT_EQ(s.mpeg2, 0);
    ASSERT_TRUE(apply(s, "crc", ""));
    EXPECT_EQ(s.crc, 1);
    EXPECT_FALSE(apply(s, "enable-vbr", "yes", &error));
    EXPECT_EQ(error, "Value either 'on' or 'off'. If no value is specified, 'on' will be used");

    ASSERT_TRUE(apply(s, "channels", "joined-stereo"));
    EXPECT_EQ(s.channelMode, 1);
    ASSERT_TRUE(apply(s, "encoder", "bladeenc"));
    EXPECT_EQ(s.encoder, kEncoderBladeEnc);
    EXPECT_FALSE(apply(s, "channels", "joined-stereo", &error));
    EXPECT_EQ(error, "Value must be either Mono or Stereo (when L.A.M.E encoder is not used)");
    ASSERT_TRUE(apply(s, "channels", "Mono"));
    EXPECT_EQ(s.channelMode, 1);
    ASSERT_TRUE(apply(s, "encoder", "LAME"));
    EXPECT_FALSE(apply(s, "channels", "quad", &error));
    EXPECT_EQ(error, "Value must be either Mono, Dual-Channel, Joined-Stereo or Stereo");
    EXPECT_FALSE(apply(s, "encoder", "shine", &error));
    EXPECT_EQ(error, "Value must be either LAME, BladeEnc or Codec");

    EXPECT_FALSE(apply(s, "loudness", "11", &error));
    EXPECT_EQ(error, "");
}

TEST(Mp3Settings, StoredDefault) {
    PutProfileString("MP3", nullptr, nullptr);
    Mp3Settings d = loadDefaultSettings();
    EXPECT_EQ(describe(d), "L.A.M.E.; 128 kbps; auto kHz; CRC off");

    Mp3Settings s;
    s.bitrate = 256;
    s.encoder = kEncoderBladeEnc;
    ASSERT_TRUE(storeDefaultSettings(s));
    EXPECT_EQ(loadDefaultSettings().bitrate, 256);

    // Another size is not taken; an encoder outside 1..3 becomes the codec.
    unsigned char shortRecord[40] = {};
    ASSERT_TRUE(PutProfileBinary("MP3", "General", shortRecord, sizeof shortRecord));
    EXPECT_EQ(loadDefaultSettings().bitrate, 128);
    for (int32_t encoder : {0, 4}) {
        s.encoder = encoder;
        ASSERT_TRUE(storeDefaultSettings(s));
        EXPECT_EQ(loadDefaultSettings().encoder, kEncoderCodec);
    }
}

}  // namespace
