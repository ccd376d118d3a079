// The Ogg Vorbis source: decodes files made by the reference encoder (oggenc)
// and by our target, compared with oggdec and ffmpeg; seeking, damaged pages
// and refusals.
#include <gtest/gtest.h>

#include "formats/ogg/ogg_source.h"
#include "ogg_test_support.h"

namespace {

using namespace oggtest;

constexpr int kRate = 44100;

// An Ogg file from oggenc over a WAV file written here.
std::string referenceOgg(const std::string& dir, const std::string& name, const WAVEFORMATEX& f,
                         const std::vector<int16_t>& pcm) {
    const std::string wav = dir + "/" + name + ".wav";
    const std::string ogg = dir + "/" + name + ".ogg";
    writeWav(wav, f, bytesOf(pcm));
    EXPECT_NE(run("oggenc -Q -q 4 -o '" + ogg + "' '" + wav + "'"), "<failed>");
    return ogg;
}

struct Decoded {
    bool opened = false;
    bool ran = false;
    WAVEFORMATEX format{};
    uint32_t length = 0;
    std::vector<int16_t> samples;
    RecordingProgress progress;
};

void decode(Decoded& d, const std::string& path, int startMs = -1) {
    IConvSource* source = newSource();
    ASSERT_NE(source, nullptr);
    source->SetProgress(&d.progress);
    source->SetPath(path.c_str());
    source->SetStartTime(startMs);
    d.opened = source->Open();
    if (d.opened) {
        source->GetFormat(&d.format);
        source->GetLength(&d.length, -1, -1);
        CollectingSink sink;
        d.ran = source->Run(&sink);
        d.samples = samplesOf(sink.bytes);
    }
    EXPECT_TRUE(source->Close());
    source->Release();
}

TEST(OggSource, DecodesLikeOggdec) {
    const std::string dir = scratch();
    const size_t frames = kRate * 3 + 517;
    const WAVEFORMATEX f = pcmFormat(2, kRate, 16);
    const std::string ogg = referenceOgg(dir, "stereo", f, sines(frames, kRate, {0.5, 0.3}, {440, 880}));
    Decoded d;
    decode(d, ogg);
    ASSERT_TRUE(d.opened && d.ran) << d.progress.lastText();
    EXPECT_TRUE(d.progress.messages.empty()) << d.progress.lastText();
    EXPECT_EQ(+d.format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(+d.format.nChannels, 2);
    EXPECT_EQ(+d.format.nSamplesPerSec, static_cast<uint32_t>(kRate));
    EXPECT_EQ(+d.format.wBitsPerSample, 16);
    EXPECT_EQ(+d.format.nBlockAlign, 4);
    EXPECT_EQ(+d.format.nAvgBytesPerSec, static_cast<uint32_t>(kRate * 4));
    EXPECT_EQ(+d.format.cbSize, 0);
    EXPECT_EQ(d.length, frames * 4);
    auto reference = oggdecRaw(ogg);
    ASSERT_EQ(d.samples.size(), frames * 2);
    EXPECT_TRUE(d.samples == reference);
}

TEST(OggSource, ManyChannelsComeOutInWavOrder) {
    const std::string dir = scratch();
    const WAVEFORMATEX f = pcmFormat(6, kRate, 16);
    auto pcm = sines(kRate, kRate, {0.02, 0.04, 0.08, 0.16, 0.32, 0.64}, {200, 300, 400, 50, 500, 600});
    const std::string ogg = referenceOgg(dir, "surround", f, pcm);
    Decoded d;
    decode(d, ogg);
    ASSERT_TRUE(d.opened && d.ran) << d.progress.lastText();
    EXPECT_EQ(+d.format.nChannels, 6);
    // ffmpeg's decoder also answers in WAV order; the two decoders differ only by rounding.
    auto reference = ffmpegRaw(ogg);
    ASSERT_EQ(d.samples.size(), reference.size());
    int worst = 0;
    for (size_t i = 0; i < reference.size(); ++i) worst = std::max(worst, std::abs(d.samples[i] - reference[i]));
    EXPECT_LE(worst, 2);
    for (size_t c = 0; c < 6; ++c) EXPECT_NEAR(rmsDb(d.samples, 6, c), rmsDb(pcm, 6, c), 2.0) << "channel " << c;
}

TEST(OggSource, StartTimeSeeksAndAFailedSeekStartsOver) {
    const std::string dir = scratch();
    const size_t frames = kRate * 3;
    const std::string ogg = referenceOgg(dir, "mono", pcmFormat(1, kRate, 16), sines(frames, kRate, {0.5}, {440}));
    auto reference = oggdecRaw(ogg);
    ASSERT_EQ(reference.size(), frames);

    Decoded later;
    decode(later, ogg, 1250);
    ASSERT_TRUE(later.opened && later.ran) << later.progress.lastText();
    EXPECT_TRUE(later.progress.messages.empty());
    const size_t skipped = kRate * 5 / 4;
    ASSERT_EQ(later.samples.size(), frames - skipped);
    // Vorbis decoding after a seek settles within one block; compare past it.
    for (size_t i = 4096; i < later.samples.size(); ++i) {
        ASSERT_NEAR(later.samples[i], reference[skipped + i], 1) << "sample " << i;
    }

    for (int beyond : {4000, -20}) {
        Decoded again;
        decode(again, ogg, beyond);
        ASSERT_TRUE(again.opened && again.ran);
        ASSERT_EQ(again.progress.messages.size(), 1u);
        EXPECT_EQ(again.progress.messages[0].text, "Cannot seek in OGG file. Decoding from the beginning\n");
        EXPECT_EQ(again.progress.messages[0].kinds, "e");
        EXPECT_TRUE(again.samples == reference);
    }
}

// Offsets of the pages ("OggS" capture patterns) of a file.
std::vector<size_t> pageOffsets(const std::vector<uint8_t>& bytes) {
    std::vector<size_t> pages;
    for (size_t i = 0; i + 4 <= bytes.size(); ++i) {
        if (bytes[i] == 'O' && bytes[i + 1] == 'g' && bytes[i + 2] == 'g' && bytes[i + 3] == 'S') pages.push_back(i);
    }
    return pages;
}

TEST(OggSource, CorruptPageInTheMiddleIsReportedAndDecodingGoesOn) {
    const std::string dir = scratch();
    const size_t frames = kRate * 10;
    // Our own target writes the file.
    const std::string ogg = dir + "/damaged.ogg";
    EncodeResult r;
    encode(r, ogg, pcmFormat(1, kRate, 16), bytesOf(whiteNoise(frames, 0.5)));
    ASSERT_TRUE(r.closed);
    auto bytes = readFile(ogg);
    auto pages = pageOffsets(bytes);
    ASSERT_GT(pages.size(), 8u);
    const size_t victim = pages[pages.size() / 2];
    for (size_t i = victim + 40; i < victim + 60; ++i) bytes[i] ^= 0x5A;  // body bytes: the checksum fails
    writeFile(ogg, bytes);

    Decoded d;
    decode(d, ogg);
    ASSERT_TRUE(d.opened);
    EXPECT_TRUE(d.ran);
    ASSERT_FALSE(d.progress.messages.empty());
    EXPECT_EQ(d.progress.messages[0].text, "Error in the stream\n");
    EXPECT_EQ(d.progress.messages[0].kinds, "e");
    // One page (about a second at most) is lost; the rest, after it too, arrives.
    EXPECT_GT(d.samples.size(), frames - kRate);
    EXPECT_LT(d.samples.size(), frames);
    EXPECT_GT(rmsDb(std::vector<int16_t>(d.samples.end() - kRate, d.samples.end()), 1, 0), -12);
}

// Two streams one after the other, the second with other channels: its audio
// cannot travel in the format announced at Open, so it is reported and left out.
TEST(OggSource, ChainedStreamWithOtherChannelsIsLeftOut) {
    const std::string data = std::string(std::getenv("TALLORY_SOURCE_DIR")) + "/tests/data/ogg/";
    Decoded d;
    decode(d, data + "chained_mono_then_stereo.ogg");
    ASSERT_TRUE(d.opened && d.ran);
    EXPECT_EQ(+d.format.nChannels, 1);
    ASSERT_EQ(d.progress.messages.size(), 1u);
    EXPECT_EQ(d.progress.messages[0].text, "Error in the stream\n");
    // Nothing of the stereo stream (0.2 s at 11025 Hz, 4410 frames) arrives as
    // mono frames; libvorbisfile itself may deliver less of the first stream.
    const std::string copy = scratch() + "/mono.ogg";
    writeFile(copy, readFile(data + "mono_8k.ogg"));
    auto reference = oggdecRaw(copy);
    ASSERT_EQ(reference.size(), 2400u);
    EXPECT_LE(d.samples.size(), reference.size());
}

TEST(OggSource, RefusalsAndStops) {
    const std::string dir = scratch();
    Decoded missing;
    decode(missing, dir + "/none.ogg");
    EXPECT_FALSE(missing.opened);
    EXPECT_EQ(missing.progress.lastText(), "Cannot open source file for reading\n");

    writeFile(dir + "/text.ogg", std::vector<uint8_t>(5000, 'x'));
    Decoded text;
    decode(text, dir + "/text.ogg");
    EXPECT_FALSE(text.opened);
    EXPECT_EQ(text.progress.lastText(), "Input does not appear to be an Ogg bitstream\n");

    const std::string ogg = referenceOgg(dir, "short", pcmFormat(1, 8000, 16), sines(8000, 8000, {0.5}, {300}));
    IConvSource* source = newSource();
    RecordingProgress progress;
    source->SetProgress(&progress);
    source->SetPath(ogg.c_str());
    CollectingSink sink;
    EXPECT_FALSE(source->Run(&sink));
    EXPECT_EQ(progress.lastText(), "Source object is not opened\n");
    ASSERT_TRUE(source->Open());
    EXPECT_FALSE(source->Open());
    EXPECT_EQ(progress.lastText(), "Source file or track is already opened\n");
    uint32_t bytes = 0;
    ASSERT_TRUE(source->GetLength(&bytes, -1, -1));
    EXPECT_EQ(bytes, 16000u);
    sink.stopAfter = 1;  // the sink says stop at the first block
    EXPECT_FALSE(source->Run(&sink));
    EXPECT_EQ(sink.calls, 1u);
    EXPECT_TRUE(source->Close());
    EXPECT_FALSE(source->GetLength(&bytes, -1, -1));
    // Reopening after Close works and the file is read from the start again.
    ASSERT_TRUE(source->Open());
    CollectingSink all;
    EXPECT_TRUE(source->Run(&all));
    EXPECT_EQ(all.bytes.size(), 16000u);
    source->Release();  // released while open: the destructor closes
}

}  // namespace
