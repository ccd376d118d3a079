// The MP3 and Windows Media source against ffmpeg's own decode of the same
// files: MP3 made by lame, WMA made by ffmpeg, and other files libavformat reads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "formats/wm/wm_reader_source.h"
#include "media_test_support.h"
#include "recording_progress.h"
#include "tallory/formats.h"

namespace {

using namespace mediatest;

// Collects what a source delivers; refuses after `limit` blocks when limit >= 0.
class CollectingSink : public IConvSink {
public:
    std::vector<int16_t> samples;
    int blocks = 0;
    int limit = -1;
    bool Write(const void* data, uint32_t bytes) override {
        ++blocks;
        const auto* p = static_cast<const uint8_t*>(data);
        for (uint32_t i = 0; i + 1 < bytes; i += 2) samples.push_back(static_cast<int16_t>(p[i] | (p[i + 1] << 8)));
        return limit < 0 || blocks < limit;
    }
};

// A source made by the factory, as the front end gets it.
IConvSource* newSource(const std::string& path, IConvProgress* progress) {
    IConvSource* s = nullptr;
    EXPECT_EQ(ConvCreateObject(CLSID_Mp3WmaSource, &IID_IConvSource, reinterpret_cast<void**>(&s)), S_OK);
    s->SetPath(path.c_str());
    s->SetProgress(progress);
    return s;
}

std::vector<int16_t> decodeAll(const std::string& path, WAVEFORMATEX* format, int startMs = -1) {
    RecordingProgress progress;
    IConvSource* s = newSource(path, &progress);
    std::vector<int16_t> out;
    if (s->Open()) {
        s->GetFormat(format);
        s->SetStartTime(startMs);
        CollectingSink sink;
        EXPECT_TRUE(s->Run(&sink));
        out = std::move(sink.samples);
        s->Close();
    }
    EXPECT_TRUE(progress.messages.empty()) << progress.lastText();
    s->Release();
    return out;
}

TEST(WmReaderSource, Mp3MadeByLameMatchesFfmpegAndTheInputLength) {
    std::string dir = scratch();
    for (int channels : {1, 2}) {
        std::string wav = makeTone(dir, "tone" + std::to_string(channels) + ".wav", 3.3, 44100, channels);
        std::string mp3 = dir + "/tone" + std::to_string(channels) + ".mp3";
        bool ok = false;
        run("lame --quiet -b 128 '" + wav + "' '" + mp3 + "'", &ok);
        ASSERT_TRUE(ok);
        WAVEFORMATEX f{};
        std::vector<int16_t> ours = decodeAll(mp3, &f);
        std::vector<int16_t> theirs = ffmpegDecode(mp3, channels);
        EXPECT_EQ(f.nChannels, channels);
        EXPECT_EQ(f.nSamplesPerSec, 44100u);
        EXPECT_EQ(f.wBitsPerSample, 16);
        EXPECT_EQ(f.nBlockAlign, channels * 2);
        ASSERT_EQ(ours.size(), theirs.size());
        EXPECT_TRUE(ours == theirs) << "decoded samples differ from ffmpeg's";
        // The LAME header records delay and padding, so the input length comes back exactly.
        size_t inputFrames = static_cast<size_t>(std::llround(3.3 * 44100));
        EXPECT_EQ(ours.size() / channels, inputFrames);
    }
}

TEST(WmReaderSource, WmaMadeByFfmpegMatchesFfmpegsDecode) {
    std::string dir = scratch();
    std::string wav = makeTone(dir, "tone.wav", 2.0, 44100, 2);
    for (const char* codec : {"wmav2", "wmav1"}) {
        std::string wma = dir + "/" + codec + ".wma";
        bool ok = false;
        run("ffmpeg -nostdin -y -loglevel error -i '" + wav + "' -c:a " + codec + " -b:a 128k '" + wma + "'", &ok);
        ASSERT_TRUE(ok);
        WAVEFORMATEX f{};
        std::vector<int16_t> ours = decodeAll(wma, &f);
        std::vector<int16_t> theirs = ffmpegDecode(wma, 2);
        ASSERT_EQ(ours.size(), theirs.size()) << codec;
        EXPECT_TRUE(ours == theirs) << codec;
    }
}

TEST(WmReaderSource, LengthComesFromTheContainerDuration) {
    std::string dir = scratch();
    std::string wav = makeTone(dir, "tone.wav", 2.0, 22050, 1);
    std::string wma = dir + "/tone.wma";
    run("ffmpeg -nostdin -y -loglevel error -i '" + wav + "' -c:a wmav2 -b:a 64k '" + wma + "'");
    RecordingProgress progress;
    IConvSource* s = newSource(wma, &progress);
    ASSERT_TRUE(s->Open());
    uint32_t bytes = 0;
    ASSERT_TRUE(s->GetLength(&bytes, -1, -1));
    double seconds = std::stod(probe(wma, "format=duration"));
    // Whole hundredths of a second times the bytes of a hundredth.
    uint32_t expected = static_cast<uint32_t>(std::floor(seconds * 100) * (44100 * 0.01));
    EXPECT_NEAR(static_cast<double>(bytes), expected, 441.0);
    EXPECT_FALSE(s->Open());
    EXPECT_EQ(progress.lastText(), "Source file or track is already opened\n");
    s->Close();
    s->Release();
}

TEST(WmReaderSource, StartTimeSkipsExactlyThatMuchOfASeekableFile) {
    std::string dir = scratch();
    std::string wav = makeTone(dir, "tone.wav", 4.0, 48000, 2);
    std::string flac = dir + "/tone.flac";
    run("ffmpeg -nostdin -y -loglevel error -i '" + wav + "' '" + flac + "'");
    WAVEFORMATEX f{};
    std::vector<int16_t> all = decodeAll(flac, &f);
    std::vector<int16_t> later = decodeAll(flac, &f, 2500);
    ASSERT_EQ(all.size(), 4u * 48000 * 2);
    ASSERT_EQ(later.size(), all.size() - 2500u * 48 * 2);
    EXPECT_TRUE(std::equal(later.begin(), later.end(), all.begin() + 2500 * 48 * 2));
}

TEST(WmReaderSource, StartTimeInAnMp3EndsWithTheSameSamples) {
    std::string dir = scratch();
    std::string wav = makeTone(dir, "tone.wav", 4.0, 44100, 2);
    std::string mp3 = dir + "/tone.mp3";
    run("lame --quiet -b 160 '" + wav + "' '" + mp3 + "'");
    WAVEFORMATEX f{};
    std::vector<int16_t> all = decodeAll(mp3, &f);
    std::vector<int16_t> later = decodeAll(mp3, &f, 2500);
    size_t skipped = 2500u * 441 / 10 * 2;
    ASSERT_NEAR(static_cast<double>(later.size()), static_cast<double>(all.size() - skipped), 1152.0 * 2);
    // Away from the seek point the decoder has settled and gives the same samples.
    size_t tail = 44100;
    ASSERT_GT(later.size(), tail);
    EXPECT_TRUE(std::equal(later.end() - tail, later.end(), all.end() - tail));
}

TEST(WmReaderSource, StartTimeInAStreamWithoutIndexOrBeyondTheEnd) {
    std::string dir = scratch();
    std::string wav = makeTone(dir, "tone.wav", 3.0, 44100, 2);
    // An MPEG layer 2 stream: no index, no length in a header, and a decoder without memory.
    std::string mp2 = dir + "/tone.mp2";
    run("ffmpeg -nostdin -y -loglevel error -i '" + wav + "' -c:a mp2 -b:a 192k '" + mp2 + "'");
    WAVEFORMATEX f{};
    std::vector<int16_t> all = decodeAll(mp2, &f);
    std::vector<int16_t> later = decodeAll(mp2, &f, 1000);
    ASSERT_GT(all.size(), 44100u * 2 * 2);
    EXPECT_NEAR(static_cast<double>(later.size()), static_cast<double>(all.size() - 44100 * 2), 1152.0 * 2);
    size_t tail = 44100;
    // The synthesis filter's rounding depends on where decoding began: equal within one step.
    int worst = 0;
    for (size_t k = 1; k <= tail; ++k) worst = std::max(worst, std::abs(later[later.size() - k] - all[all.size() - k]));
    EXPECT_LE(worst, 2);
    EXPECT_TRUE(decodeAll(mp2, &f, 60000).empty());
}

TEST(WmReaderSource, ASecondRunAfterReopeningStartsAgain) {
    std::string dir = scratch();
    std::string wav = makeTone(dir, "tone.wav", 1.0, 44100, 2);
    std::string mp3 = dir + "/tone.mp3";
    run("lame --quiet '" + wav + "' '" + mp3 + "'");
    RecordingProgress progress;
    IConvSource* s = newSource(mp3, &progress);
    ASSERT_TRUE(s->Open());
    CollectingSink first, second;
    ASSERT_TRUE(s->Run(&first));
    ASSERT_TRUE(s->Run(&second));
    EXPECT_TRUE(first.samples == second.samples);
    s->Close();
    EXPECT_FALSE(s->Run(&second));
    EXPECT_EQ(progress.lastText(), "Source object is not opened\n");
    s->Release();
}

TEST(WmReaderSource, ASinkRefusalStopsDeliveryWithoutAnError) {
    std::string dir = scratch();
    std::string wav = makeTone(dir, "tone.wav", 3.0, 44100, 2);
    std::string mp3 = dir + "/tone.mp3";
    run("lame --quiet '" + wav + "' '" + mp3 + "'");
    RecordingProgress progress;
    IConvSource* s = newSource(mp3, &progress);
    ASSERT_TRUE(s->Open());
    CollectingSink sink;
    sink.limit = 3;
    EXPECT_TRUE(s->Run(&sink));
    EXPECT_EQ(sink.blocks, 3);
    EXPECT_TRUE(progress.messages.empty());
    s->Close();
    s->Release();
}

TEST(WmReaderSource, MoreThanTwoChannelsAreMixedToStereo) {
    std::string dir = scratch();
    std::string wav = makeTone(dir, "six.wav", 1.0, 48000, 6);
    std::string flac = dir + "/six.flac";
    run("ffmpeg -nostdin -y -loglevel error -i '" + wav + "' '" + flac + "'");
    WAVEFORMATEX f{};
    std::vector<int16_t> ours = decodeAll(flac, &f);
    EXPECT_EQ(f.nChannels, 2);
    EXPECT_EQ(f.nAvgBytesPerSec, 48000u * 4);
    EXPECT_EQ(ours.size(), 48000u * 2);
    double energy = 0;
    for (int16_t v : ours) energy += std::abs(v);
    EXPECT_GT(energy / ours.size(), 1000.0) << "the mix-down lost the signal";
}

TEST(WmReaderSource, FilesItCannotReadAreReportedWithTheLibrarysReason) {
    std::string dir = scratch();
    struct Case {
        std::string path;
        std::vector<std::string> messages;
    };
    std::string video = dir + "/video.asf";
    run("ffmpeg -nostdin -y -loglevel error -f lavfi -i testsrc=d=1:s=64x48 -c:v wmv2 '" + video + "'");
    std::string garbage = dir + "/garbage.wma";
    writeBytes(garbage, std::vector<uint8_t>(5000, 0x5A));
    // Names that look like other protocols are local files all the same.
    std::string colon = dir + "/http:x.wma";
    writeBytes(colon, std::vector<uint8_t>(64, 0));
    std::vector<Case> cases = {
        {"http://127.0.0.1:9/x.mp3", {"Failed to open source file (error #80070002)\n", "No such file or directory\n"}},
        {colon,
         {"Failed to open source file (error #C00D0BBD)\n", "Invalid data found when processing input\n",
          "See also: https://www.veshna.com/tallory/Q1010.php\n"}},
        {video, {"The Windows Media file does not contain audio\n"}},
        {dir + "/missing.wma", {"Failed to open source file (error #80070002)\n", "No such file or directory\n"}},
        {garbage,
         {"Failed to open source file (error #C00D0BBD)\n",
          "Invalid data found when processing input\n", "See also: https://www.veshna.com/tallory/Q1010.php\n"}},
    };
    for (const Case& c : cases) {
        RecordingProgress progress;
        IConvSource* s = newSource(c.path, &progress);
        EXPECT_FALSE(s->Open()) << c.path;
        ASSERT_EQ(progress.messages.size(), c.messages.size()) << c.path << ": " << progress.lastText();
        for (size_t i = 0; i < c.messages.size(); ++i) {
            EXPECT_EQ(progress.messages[i].text, c.messages[i]);
            EXPECT_EQ(progress.messages[i].kinds, "e");
        }
        uint32_t bytes = 0;
        EXPECT_FALSE(s->GetLength(&bytes, -1, -1)) << "a failed Open leaves the source closed";
        s->Release();
    }
}

TEST(WmReaderSource, CodecInformationOfAWindowsMediaFile) {
    std::string dir = scratch();
    std::string wav = makeTone(dir, "tone.wav", 1.0, 44100, 2);
    std::string wma = dir + "/tone.wma";
    run("ffmpeg -nostdin -y -loglevel error -i '" + wav + "' -c:a wmav2 -b:a 128k '" + wma + "'");
    IConvSource* s = newSource(wma, nullptr);
    char codec[TALLORY_MAX_PATH] = "untouched", line[TALLORY_MAX_PATH] = "untouched";
    EXPECT_EQ(WMASourceGetInfo(s, codec, line), S_OK);
    EXPECT_STREQ(codec, "Windows Media Audio V7 or V8");
    EXPECT_STREQ(line, "128 kbps; 44 kHz; stereo");

    std::string v1 = dir + "/v1.wma";
    run("ffmpeg -nostdin -y -loglevel error -i '" + wav + "' -ac 1 -ar 22050 -c:a wmav1 -b:a 32k '" + v1 + "'");
    s->SetPath(v1.c_str());
    EXPECT_EQ(WMASourceGetInfo(s, codec, line), S_OK);
    EXPECT_STREQ(codec, "Windows Media Audio V1");
    EXPECT_STREQ(line, "32 kbps; 22 kHz; mono");

    // An MP3 has no Windows Media codec name: nothing is written, yet the call succeeds.
    std::string mp3 = dir + "/tone.mp3";
    run("lame --quiet '" + wav + "' '" + mp3 + "'");
    s->SetPath(mp3.c_str());
    std::strcpy(codec, "untouched");
    EXPECT_EQ(WMASourceGetInfo(s, codec, line), S_OK);
    EXPECT_STREQ(codec, "untouched");

    s->SetPath((dir + "/missing.wma").c_str());
    EXPECT_EQ(WMASourceGetInfo(s, codec, line), E_FAIL);
    EXPECT_EQ(WMASourceGetInfo(nullptr, codec, line), E_INVALIDARG);
    s->Release();
}

}  // namespace
