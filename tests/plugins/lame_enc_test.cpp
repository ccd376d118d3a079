// The encoder plugin through its published calls, loaded by name as the MP3
// target loads it; files checked with ffprobe, ffmpeg and lame --decode.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "external_tools.h"
#include "platform/files/file_system.h"
#include "tallory/lame_enc.h"

namespace {

struct Plugin {
    void* handle = nullptr;
    BEINITSTREAM init = nullptr;
    BEENCODECHUNK encode = nullptr;
    BEDEINITSTREAM deinit = nullptr;
    BECLOSESTREAM close = nullptr;
    BEVERSION version = nullptr;
    BEWRITEVBRHEADER vbrHeader = nullptr;

    Plugin() {
        std::string path = std::string(std::getenv("TALLORY_TEST_BIN")) + "/../lib/tallory/lame_enc.so";
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return;
        init = reinterpret_cast<BEINITSTREAM>(dlsym(handle, "beInitStream"));
        encode = reinterpret_cast<BEENCODECHUNK>(dlsym(handle, "beEncodeChunk"));
        deinit = reinterpret_cast<BEDEINITSTREAM>(dlsym(handle, "beDeinitStream"));
        close = reinterpret_cast<BECLOSESTREAM>(dlsym(handle, "beCloseStream"));
        version = reinterpret_cast<BEVERSION>(dlsym(handle, "beVersion"));
        vbrHeader = reinterpret_cast<BEWRITEVBRHEADER>(dlsym(handle, "beWriteVBRHeader"));
    }
    ~Plugin() {
        if (handle != nullptr) dlclose(handle);
    }
};

std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    tallory::platform::createDirectories(dir);
    return dir;
}

std::vector<int16_t> tone(int rate, int channels, double seconds) {
    std::vector<int16_t> pcm(static_cast<size_t>(rate * seconds) * channels);
    for (size_t i = 0; i < pcm.size(); ++i) {
        size_t frame = i / channels;
        pcm[i] = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 440 * frame / rate));
    }
    return pcm;
}

// Encodes pcm with the configuration into path, chunk by chunk as the MP3 target does.
void encodeFile(Plugin& p, BE_CONFIG& config, const std::vector<int16_t>& pcm, const std::string& path) {
    uint32_t samples = 0, bufferSize = 0;
    HBE_STREAM stream = 0;
    ASSERT_EQ(p.init(&config, &samples, &bufferSize, &stream), BE_ERR_SUCCESSFUL);
    ASSERT_GT(samples, 0u);
    std::vector<uint8_t> out(bufferSize);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (size_t pos = 0; pos < pcm.size(); pos += samples) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(samples, pcm.size() - pos));  // a short tail last
        uint32_t produced = 0;
        ASSERT_EQ(p.encode(stream, n, pcm.data() + pos, out.data(), &produced), BE_ERR_SUCCESSFUL);
        ASSERT_LE(produced, bufferSize);
        std::fwrite(out.data(), 1, produced, f);
    }
    uint32_t produced = 0;
    ASSERT_EQ(p.deinit(stream, out.data(), &produced), BE_ERR_SUCCESSFUL);
    std::fwrite(out.data(), 1, produced, f);
    std::fclose(f);
    ASSERT_EQ(p.close(stream), BE_ERR_SUCCESSFUL);
    ASSERT_EQ(p.vbrHeader(path.c_str()), BE_ERR_SUCCESSFUL);
}

BE_CONFIG lameConfig(uint32_t rate, int mode, uint32_t kbps, bool vbr) {
    BE_CONFIG c{};
    c.dwConfig = BE_CONFIG_LAME;
    c.format.LHV1.dwStructVersion = 1;
    c.format.LHV1.dwStructSize = sizeof(BE_CONFIG);
    c.format.LHV1.dwSampleRate = rate;
    c.format.LHV1.nMode = mode;
    c.format.LHV1.dwBitrate = kbps;
    c.format.LHV1.dwMaxBitrate = 320;
    c.format.LHV1.nPreset = -1;
    c.format.LHV1.dwMpegVersion = rate >= 32000 ? MPEG1 : MPEG2;
    c.format.LHV1.bWriteVBRHeader = vbr;
    c.format.LHV1.bEnableVBR = vbr;
    c.format.LHV1.nVBRQuality = 4;
    return c;
}

// Decoded sample frames by an independent decoder.
long decodedFrames(const std::string& path, int channels) {
    std::string raw = runCommand("ffmpeg -v error -i '" + path + "' -f s16le - | wc -c");
    return std::atol(raw.c_str()) / (2 * channels);
}

TEST(LameEncPlugin, AllEntryPointsAndVersion) {
    Plugin p;
    ASSERT_NE(p.handle, nullptr) << dlerror();
    ASSERT_TRUE(p.init && p.encode && p.deinit && p.close && p.version && p.vbrHeader);
    BE_VERSION v{};
    p.version(&v);
    EXPECT_EQ(v.byMajorVersion, 3);  // libmp3lame 3.x
    EXPECT_GE(v.wYear, 2024);
    EXPECT_GE(v.byMonth, 1);
    EXPECT_LE(v.byMonth, 12);
}

TEST(LameEncPlugin, ConstantBitrateStereoIsReadBackByIndependentDecoders) {
    Plugin p;
    ASSERT_NE(p.handle, nullptr);
    std::string path = scratch() + "/cbr.mp3";
    auto pcm = tone(44100, 2, 2.0);
    BE_CONFIG c = lameConfig(44100, BE_MP3_MODE_JSTEREO, 160, false);
    encodeFile(p, c, pcm, path);
    EXPECT_EQ(ffprobeField(path, "sample_rate"), "44100");
    EXPECT_EQ(ffprobeField(path, "channels"), "2");
    EXPECT_EQ(ffprobeField(path, "bit_rate"), "160000");
    // Without an info frame the decoder keeps the encoder delay: within a frame or two.
    long frames = decodedFrames(path, 2);
    EXPECT_NEAR(frames, 88200, 2 * 1152 + 576);
    int status = 0;
    runCommand("lame --quiet --decode '" + path + "' '" + path + ".wav'", &status);
    EXPECT_EQ(status, 0);
}

TEST(LameEncPlugin, VariableBitrateWithInfoFrameIsGapless) {
    Plugin p;
    ASSERT_NE(p.handle, nullptr);
    std::string path = scratch() + "/vbr.mp3";
    auto pcm = tone(44100, 2, 3.0);
    BE_CONFIG c = lameConfig(44100, BE_MP3_MODE_JSTEREO, 32, true);
    encodeFile(p, c, pcm, path);
    // The info frame carries delay and padding: the decoder returns exactly the input.
    EXPECT_EQ(decodedFrames(path, 2), 132300);
    std::string duration = runCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'");
    // ffprobe counts the frames the info frame declares, delay and padding included.
    EXPECT_NEAR(std::atof(duration.c_str()), 3.0, 2 * 1152 / 44100.0);
}

TEST(LameEncPlugin, MonoAndMpeg2Rates) {
    Plugin p;
    ASSERT_NE(p.handle, nullptr);
    std::string dir = scratch();
    auto mono = tone(22050, 1, 1.5);
    BE_CONFIG c = lameConfig(22050, BE_MP3_MODE_MONO, 64, true);
    encodeFile(p, c, mono, dir + "/mono22.mp3");
    EXPECT_EQ(ffprobeField(dir + "/mono22.mp3", "sample_rate"), "22050");
    EXPECT_EQ(ffprobeField(dir + "/mono22.mp3", "channels"), "1");
    EXPECT_EQ(decodedFrames(dir + "/mono22.mp3", 1), 33075);

    // MPEG-II asked for with a full-rate input: the half rate is encoded.
    auto full = tone(44100, 2, 1.0);
    BE_CONFIG half = lameConfig(44100, BE_MP3_MODE_STEREO, 64, false);
    half.format.LHV1.dwMpegVersion = MPEG2;
    encodeFile(p, half, full, dir + "/half.mp3");
    EXPECT_EQ(ffprobeField(dir + "/half.mp3", "sample_rate"), "22050");
}

TEST(LameEncPlugin, OlderRecordLayoutAndBadConfigurations) {
    Plugin p;
    ASSERT_NE(p.handle, nullptr);
    BE_CONFIG c{};
    c.dwConfig = BE_CONFIG_MP3;
    c.format.mp3.dwSampleRate = 32000;
    c.format.mp3.byMode = BE_MP3_MODE_STEREO;
    c.format.mp3.wBitrate = 128;
    std::string path = scratch() + "/old.mp3";
    encodeFile(p, c, tone(32000, 2, 1.0), path);
    EXPECT_EQ(ffprobeField(path, "sample_rate"), "32000");
    EXPECT_EQ(ffprobeField(path, "bit_rate"), "128000");

    uint32_t samples, size;
    HBE_STREAM s;
    BE_CONFIG bad{};
    bad.dwConfig = 7;
    EXPECT_EQ(p.init(&bad, &samples, &size, &s), BE_ERR_INVALID_FORMAT);
    BE_CONFIG badMode = lameConfig(44100, 9, 128, false);
    EXPECT_EQ(p.init(&badMode, &samples, &size, &s), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(p.init(nullptr, &samples, &size, &s), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(p.vbrHeader(path.c_str()), BE_ERR_INVALID_HANDLE);  // no closed stream left on this thread
}

}  // namespace
