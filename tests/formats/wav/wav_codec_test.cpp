// Compressed WAV files: every codec written by the Wave target and read back by
// ffprobe, ffmpeg, sox and the Wave source, and files written by ffmpeg read by
// the source. Lossy codecs are held to a signal-to-noise floor each.
#include <gtest/gtest.h>

#include <string>

#include "audio_test_util.h"
#include "platform/acm/acm.h"

namespace {

using namespace testutil;
namespace acm = tallory::platform::acm;

struct CodecCase {
    const char* codec;     // our name
    const char* ffmpeg;    // ffprobe's codec_name
    uint32_t rate;
    uint16_t channels;
    double minSnr;         // dB against the input
};

std::string caseName(const ::testing::TestParamInfo<CodecCase>& info) {
    std::string s = std::string(info.param.ffmpeg) + "_" + std::to_string(info.param.rate) + "_" +
                    std::to_string(info.param.channels);
    return s;
}

class WavCodecRoundTrip : public ::testing::TestWithParam<CodecCase> {};

TEST_P(WavCodecRoundTrip, WrittenAndReadBack) {
    const CodecCase c = GetParam();
    std::string dir = scratchDir(), path = dir + "/coded.wav";
    WAVEFORMATEX f = pcmFormat(c.rate, c.channels, 16);
    const uint32_t frames = c.rate / 2 + 333;
    Bytes pcm = tone(f, frames, 0.5);
    RecordingProgress progress;
    ASSERT_TRUE(writeThrough(
        CLSID_WavTarget, path, f, pcm, 12345,
        [&](IConvTarget* t) { ASSERT_TRUE(t->SetOption("wave-codec", c.codec, nullptr)); }, &progress))
        << progress.lastText();

    EXPECT_EQ(probe(path, "codec_name"), c.ffmpeg);
    EXPECT_EQ(probe(path, "sample_rate"), std::to_string(c.rate));
    EXPECT_EQ(probe(path, "channels"), std::to_string(c.channels));

    std::string raw = " -f s16le -acodec pcm_s16le - 2>/dev/null";
    Bytes byFfmpeg = runBytes("ffmpeg -v error -i '" + path + "'" + raw);
    Bytes bySox = runBytes("sox '" + path + "' -t raw -e signed -b 16 -L - 2>/dev/null");
    ReadResult ours = readThrough(CLSID_WavSource, path);
    ASSERT_TRUE(ours.opened) << ours.lastError();
    ASSERT_TRUE(ours.ran);
    EXPECT_EQ(uint32_t(ours.format.wFormatTag), WAVE_FORMAT_PCM);
    EXPECT_EQ(uint32_t(ours.format.nSamplesPerSec), c.rate);
    EXPECT_EQ(uint32_t(ours.format.nChannels), c.channels);
    EXPECT_EQ(uint32_t(ours.format.wBitsPerSample), 16);

    // Nothing is lost at the end: the last block is completed, never dropped.
    EXPECT_GE(byFfmpeg.size(), pcm.size());
    EXPECT_GE(ours.pcm.size(), pcm.size());
    EXPECT_LT(ours.pcm.size(), pcm.size() + 4096u * c.channels);
    EXPECT_EQ(ours.length, ours.pcm.size()) << "the announced length is what is delivered";
    EXPECT_GT(snr16(pcm, byFfmpeg), c.minSnr) << "ffmpeg's decoding of our file";
    EXPECT_GT(snr16(pcm, bySox), c.minSnr) << "sox's decoding of our file";
    EXPECT_GT(snr16(pcm, ours.pcm), c.minSnr) << "our decoding of our file";
}

INSTANTIATE_TEST_SUITE_P(Codecs, WavCodecRoundTrip,
                         ::testing::Values(CodecCase{"Microsoft ADPCM", "adpcm_ms", 22050, 2, 18},
                                           CodecCase{"Microsoft ADPCM", "adpcm_ms", 8000, 1, 18},
                                           CodecCase{"IMA ADPCM", "adpcm_ima_wav", 44100, 1, 18},
                                           CodecCase{"IMA ADPCM", "adpcm_ima_wav", 11025, 2, 18},
                                           CodecCase{"CCITT A-Law", "pcm_alaw", 8000, 1, 30},
                                           CodecCase{"CCITT u-Law", "pcm_mulaw", 22050, 2, 30},
                                           CodecCase{"GSM 6.10", "gsm_ms", 8000, 1, 3}),
                         caseName);

TEST(WavCodec, CarryOverOfABlockCodecIsFlushedAtClose) {
    std::string dir = scratchDir();
    WAVEFORMATEX f = pcmFormat(22050, 2, 16);
    Bytes pcm = tone(f, 7777);
    auto ima = [](IConvTarget* t) { ASSERT_TRUE(t->SetOption("wave-codec", "ima adpcm", nullptr)); };
    // Pieces smaller than a block and not a multiple of a frame, and one write of everything.
    ASSERT_TRUE(writeThrough(CLSID_WavTarget, dir + "/pieces.wav", f, pcm, 999, ima));
    ASSERT_TRUE(writeThrough(CLSID_WavTarget, dir + "/whole.wav", f, pcm, pcm.size(), ima));
    Bytes pieces = readFile(dir + "/pieces.wav"), whole = readFile(dir + "/whole.wav");
    EXPECT_TRUE(pieces == whole);
    // 22050 Hz stereo IMA: 1024-byte blocks of 1017 frames; 7777 frames fill 8 blocks.
    ASSERT_GT(pieces.size(), 48u);
    EXPECT_EQ(pieces[32] | pieces[33] << 8, 1024);
    EXPECT_EQ(pieces.size(), 12u + 8 + 20 + 8 + 8 * 1024);
    ReadResult r = readThrough(CLSID_WavSource, dir + "/pieces.wav");
    EXPECT_EQ(r.pcm.size(), 8u * 1017 * 4);
    EXPECT_GT(snr16(pcm, r.pcm), 18);
}

TEST(WavCodec, StartTimeSkipsCompressedDataAtItsOwnRate) {
    std::string path = scratchDir() + "/start.wav";
    WAVEFORMATEX f = pcmFormat(11025, 1, 16);
    Bytes pcm = tone(f, 11025 * 2);
    ASSERT_TRUE(writeThrough(CLSID_WavTarget, path, f, pcm, 65536,
                             [](IConvTarget* t) { ASSERT_TRUE(t->SetOption("wave-codec", "IMA ADPCM", nullptr)); }));
    ReadResult whole = readThrough(CLSID_WavSource, path);
    ReadResult late = readThrough(CLSID_WavSource, path, 1000);
    ASSERT_TRUE(late.ran);
    // 11025 Hz mono IMA: 256-byte blocks of 505 frames; one second is 21 whole blocks.
    const size_t skipped = 21 * 505 * 2;
    ASSERT_EQ(late.pcm.size(), whole.pcm.size() - skipped);
    EXPECT_TRUE(std::equal(late.pcm.begin(), late.pcm.end(), whole.pcm.begin() + static_cast<long>(skipped)));

    // A sink that refuses stops the run.
    IConvSource* s = create<IConvSource>(CLSID_WavSource, IID_IConvSource);
    s->SetPath(path.c_str());
    ASSERT_TRUE(s->Open());
    CollectingSink sink;
    sink.refuseAfter = 1;
    EXPECT_FALSE(s->Run(&sink));
    EXPECT_EQ(sink.writes, 1u);
    s->Release();
}

TEST(WavCodec, FixedFormatsConvertPcm) {
    std::string dir = scratchDir(), path = dir + "/down.wav";
    WAVEFORMATEX f = pcmFormat(44100, 2, 16);
    Bytes pcm = tone(f, 44100);
    RecordingProgress progress;
    ASSERT_TRUE(writeThrough(
        CLSID_WavTarget, path, f, pcm, 4000,
        [](IConvTarget* t) {
            ASSERT_TRUE(t->SetOption("wave-codec", "PCM", nullptr));
            ASSERT_TRUE(t->SetOption("wave-format", "22,050 Hz, 8 Bit, Mono", nullptr));
        },
        &progress))
        << progress.lastText();
    EXPECT_EQ(probe(path, "codec_name"), "pcm_u8");
    EXPECT_EQ(probe(path, "sample_rate"), "22050");
    EXPECT_EQ(probe(path, "channels"), "1");
    double seconds = std::stod(probe(path, "duration"));
    EXPECT_NEAR(seconds, 1.0, 0.01);
    // Mixed to mono: sox's own conversion of the input is the reference.
    writeFile(dir + "/in.raw", pcm);
    Bytes reference = runBytes("sox -t raw -r 44100 -c 2 -e signed -b 16 -L '" + dir +
                               "/in.raw' -t raw -r 22050 -c 1 -e signed -b 16 -L - 2>/dev/null");
    Bytes ours = runBytes("sox '" + path + "' -t raw -e signed -b 16 -L - 2>/dev/null");
    EXPECT_GT(snr16(reference, ours), 25);

    // A fixed MS ADPCM format from 8-bit input.
    WAVEFORMATEX f8 = pcmFormat(11025, 1, 8);
    ASSERT_TRUE(writeThrough(CLSID_WavTarget, dir + "/adpcm.wav", f8, tone(f8, 5000), 777, [](IConvTarget* t) {
        ASSERT_TRUE(t->SetOption("wave-codec", "Microsoft ADPCM", nullptr));
        ASSERT_TRUE(t->SetOption("wave-format", "11,025 Hz, 4 Bit, Mono", nullptr));
    }));
    EXPECT_EQ(probe(dir + "/adpcm.wav", "codec_name"), "adpcm_ms");
    Bytes adpcm = readFile(dir + "/adpcm.wav");
    ASSERT_GT(adpcm.size(), 60u);
    EXPECT_EQ(adpcm[32] | adpcm[33] << 8, 256);  // nBlockAlign of the fmt record
}

TEST(WavCodec, ResamplingIntoACodecKeepsTheLength) {
    // 44.1 kHz stereo into GSM 6.10 at 8 kHz mono, and into GSM at 44.1 kHz: the
    // resampler's tail and the last block come out at Close.
    std::string dir = scratchDir();
    WAVEFORMATEX f = pcmFormat(44100, 2, 16);
    Bytes pcm = tone(f, 44100 / 2, 0.5);
    struct {
        const char* format;
        const char* rate;
    } cases[] = {{"8,000 Hz, Mono", "8000"}, {"44,100 Hz, Mono", "44100"}};
    for (const auto& c : cases) {
        std::string path = dir + "/gsm" + c.rate + ".wav";
        RecordingProgress progress;
        ASSERT_TRUE(writeThrough(
            CLSID_WavTarget, path, f, pcm, 5000,
            [&](IConvTarget* t) {
                ASSERT_TRUE(t->SetOption("wave-codec", "GSM 6.10", nullptr));
                ASSERT_TRUE(t->SetOption("wave-format", c.format, nullptr));
            },
            &progress))
            << c.format << ": " << progress.lastText();
        EXPECT_EQ(probe(path, "codec_name"), "gsm_ms") << c.format;
        EXPECT_EQ(probe(path, "sample_rate"), c.rate) << c.format;
        ReadResult r = readThrough(CLSID_WavSource, path);
        ASSERT_TRUE(r.ran) << c.format;
        double seconds = double(r.pcm.size()) / r.format.nAvgBytesPerSec;
        EXPECT_GE(seconds, 0.5) << c.format;
        EXPECT_LT(seconds, 0.5 + 2 * 320.0 / std::stod(c.rate)) << c.format;
    }
}

TEST(WavCodec, FilesWrittenByFfmpegAreDecoded) {
    std::string dir = scratchDir();
    WAVEFORMATEX f = pcmFormat(8000, 1, 16);
    Bytes pcm = tone(f, 12000);
    writeFile(dir + "/in.raw", pcm);
    struct {
        const char* args;
        double minSnr;
    } cases[] = {{"-c:a adpcm_ms", 50}, {"-c:a adpcm_ima_wav", 50}, {"-c:a pcm_alaw", 90},
                 {"-c:a pcm_mulaw", 90}, {"-c:a libgsm_ms", 50}, {"-c:a libmp3lame -b:a 64k", 30}};
    for (const auto& c : cases) {
        std::string path = dir + "/ff.wav";
        std::remove(path.c_str());
        int status = 0;
        run("ffmpeg -v error -f s16le -ar 8000 -ac 1 -i '" + dir + "/in.raw' " + c.args + " -f wav '" + path + "'",
            &status);
        ASSERT_EQ(status, 0) << c.args;
        Bytes reference = runBytes("ffmpeg -v error -i '" + path + "' -f s16le -acodec pcm_s16le - 2>/dev/null");
        ReadResult r = readThrough(CLSID_WavSource, path);
        ASSERT_TRUE(r.opened) << c.args << ": " << r.lastError();
        ASSERT_TRUE(r.ran) << c.args;
        // Same decoders on the same blocks: (nearly) the same samples.
        EXPECT_GT(snr16(reference, r.pcm), c.minSnr) << c.args;
        EXPECT_GE(r.pcm.size() + 2 * 1152 * 2, reference.size()) << c.args;
        EXPECT_LE(r.pcm.size(), reference.size() + 2 * 1152 * 2) << c.args;
        EXPECT_NEAR(double(r.length), double(reference.size()), reference.size() * 0.05 + 2400) << c.args;
    }
    // An MPEG record that declares far too few or far too many bytes per second
    // still decodes the whole file, whatever the blocks it is read in.
    Bytes mp3 = readFile(dir + "/ff.wav");
    ReadResult honest = readThrough(CLSID_WavSource, dir + "/ff.wav");
    for (uint32_t avg : {1u, 4000000u}) {
        for (int i = 0; i < 4; ++i) mp3[28 + i] = static_cast<uint8_t>(avg >> (8 * i));
        writeFile(dir + "/lying.wav", mp3);
        ReadResult r = readThrough(CLSID_WavSource, dir + "/lying.wav");
        ASSERT_TRUE(r.ran) << avg;
        EXPECT_TRUE(r.pcm == honest.pcm) << avg;
    }
    // The length of MPEG audio comes from its frames: exactly what Run delivers,
    // whatever bytes per second the record declares (0 included).
    for (uint32_t avg : {0u, 1u, 8000u, 4000000u}) {
        for (int i = 0; i < 4; ++i) mp3[28 + i] = static_cast<uint8_t>(avg >> (8 * i));
        writeFile(dir + "/lying.wav", mp3);
        ReadResult r = readThrough(CLSID_WavSource, dir + "/lying.wav");
        ASSERT_TRUE(r.ran) << avg;
        EXPECT_EQ(size_t{r.length}, r.pcm.size()) << avg;
    }
}

TEST(WavCodec, StreamsAcrossTheAcmInterface) {
    // Sizes promised by the stream always hold what convert produces.
    acm::FormatBlob pcm = acm::makeBlob(pcmFormat(44100, 2, 16));
    acm::FormatBlob adpcm;
    ASSERT_EQ(acm::suggest(pcm, acm::kTagMsAdpcm, adpcm), acm::kOk);
    std::unique_ptr<acm::Stream> enc;
    ASSERT_EQ(acm::Stream::open(pcm, adpcm, enc), acm::kOk);
    Bytes in = tone(pcmFormat(44100, 2, 16), 3000);
    uint32_t cap = 0, consumed = 0, produced = 0;
    ASSERT_EQ(enc->size(static_cast<uint32_t>(in.size()), acm::SizeKind::source, cap), acm::kOk);
    Bytes out(cap);
    ASSERT_EQ(enc->convert(in.data(), static_cast<uint32_t>(in.size()), out.data(), cap, true, consumed, produced),
              acm::kOk);
    // 2048-byte stereo blocks of 2036 frames: one whole block, the rest is left.
    EXPECT_EQ(consumed, 2036u * 4);
    EXPECT_EQ(produced, 2048u);
    ASSERT_EQ(enc->convert(in.data() + consumed, static_cast<uint32_t>(in.size() - consumed), out.data(), cap, false,
                           consumed, produced),
              acm::kOk);
    EXPECT_EQ(produced, 2048u);  // the partial block, completed with silence

    // Invalid records and impossible pairs are refused with ACMERR_NOTPOSSIBLE.
    WAVEFORMATEX bad = pcmFormat(44100, 2, 16);
    bad.nBlockAlign = 0;
    EXPECT_EQ(acm::Stream::open(acm::makeBlob(bad), pcm, enc), acm::kNotPossible);
    EXPECT_EQ(acm::Stream::open(adpcm, adpcm, enc), acm::kNotPossible);
    acm::FormatBlob mp3;
    ASSERT_EQ(acm::suggest(pcm, acm::kTagMpegLayer3, mp3), acm::kOk);  // 128 kbps at the PCM's rate
    EXPECT_EQ(acm::header(mp3).nAvgBytesPerSec, 16000u);
    EXPECT_EQ(acm::header(mp3).nSamplesPerSec, acm::header(pcm).nSamplesPerSec);
    EXPECT_EQ(acm::suggest(pcm, 0x7777, mp3), acm::kNotPossible);
}

}  // namespace
