// The TwinVQ source over generated VQF files: every mode FFmpeg's decoder
// knows, compared sample by sample with `ffmpeg -i x.vqf -f f32le` run on the
// same file; lengths, the clamp, truncated and invalid frames, header errors
// failing quietly, the open-file table, and parallel decoding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "external_tools.h"
#include "formats/twinvq/bit_file.h"
#include "formats/twinvq/vqf_source.h"
#include "platform/files/file_system.h"
#include "recording_progress.h"
#include "tallory/ref.h"
#include "tallory/tallory.h"
#include "vqf_generator.h"

namespace {

using tallory::formats::twinvq::BitFile;
using tallory::formats::twinvq::VQFConvSource;

std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + dir + "'").c_str());
    tallory::platform::createDirectories(dir);
    return dir;
}

class CollectingSink : public IConvSink {
public:
    std::vector<uint8_t> bytes;
    size_t stopAfterCalls = SIZE_MAX;
    size_t calls = 0;
    bool Write(const void* data, uint32_t n) override {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + n);
        return ++calls < stopAfterCalls;
    }
};

struct Decoded {
    bool opened = false;
    WAVEFORMATEX format{};
    uint32_t length = 0;
    std::vector<int16_t> samples;
    RecordingProgress progress;
};

Decoded decode(const std::string& path) {
    Decoded d;
    tallory::Ref<IConvSource> source(static_cast<IConvSource*>(VQFConvSource::create()));
    source->AddRef();
    source->SetProgress(&d.progress);
    source->SetPath(path.c_str());
    d.opened = source->Open();
    if (d.opened) {
        source->GetFormat(&d.format);
        source->GetLength(&d.length, -1, -1);
        CollectingSink sink;
        EXPECT_TRUE(source->Run(&sink));
        d.samples.resize(sink.bytes.size() / 2);
        if (!d.samples.empty()) std::memcpy(d.samples.data(), sink.bytes.data(), d.samples.size() * 2);
    }
    source->Close();
    source->SetProgress(nullptr);
    return d;
}

// FFmpeg's decoding of the file as interleaved floats; empty if it refused it.
std::vector<float> ffmpegFloats(const std::string& path) {
    const std::string raw = path + ".f32";
    int status = 0;
    runCommand("ffmpeg -nostdin -v quiet -y -i '" + path + "' -f f32le '" + raw + "'", &status);
    std::vector<uint8_t> bytes = readFileBytes(raw);
    std::vector<float> out(bytes.size() / 4);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

// The stored sample for a decoder value in [-1, 1], worked out here on its own.
int16_t expectedSample(float v) {
    double x = static_cast<double>(v) * 32768.0;
    x = std::fmax(-32700.0, std::fmin(32700.0, x));
    return static_cast<int16_t>(x >= 0 ? std::floor(x + 0.5) : std::ceil(x - 0.5));
}

struct ModeCase {
    vqfgen::Mode mode;
    int channels;
};

class VqfModes : public ::testing::TestWithParam<ModeCase> {};

// Length, format and every sample against FFmpeg; the two frames FFmpeg's
// decoder holds back at the end come out of ours as well.
TEST_P(VqfModes, MatchesFfmpegSampleForSample) {
    const std::string dir = scratch();
    vqfgen::Options o;
    o.mode = GetParam().mode;
    o.channels = GetParam().channels;
    o.frames = 9;
    o.seed = static_cast<uint32_t>(o.mode.khz * 100 + o.mode.kbpsPerChannel + o.channels);
    const std::string path = dir + "/m.vqf";
    ASSERT_TRUE(vqfgen::write(path, o));

    Decoded d = decode(path);
    ASSERT_TRUE(d.opened) << d.progress.lastText();
    EXPECT_TRUE(d.progress.messages.empty());
    EXPECT_EQ(+d.format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(+d.format.nChannels, o.channels);
    EXPECT_EQ(+d.format.nSamplesPerSec, static_cast<uint32_t>(vqfgen::sampleRateOf(o.mode.khz)));
    EXPECT_EQ(+d.format.wBitsPerSample, 16);
    EXPECT_EQ(+d.format.nBlockAlign, o.channels * 2);
    EXPECT_EQ(+d.format.nAvgBytesPerSec, d.format.nSamplesPerSec * o.channels * 2u);
    const size_t perFrame = static_cast<size_t>(o.mode.frameSize) * o.channels;
    EXPECT_EQ(d.length, o.frames * perFrame * 2);
    ASSERT_EQ(d.samples.size(), o.frames * perFrame);

    std::vector<float> reference = ffmpegFloats(path);
    ASSERT_EQ(reference.size(), (o.frames - 2) * perFrame) << "ffmpeg decoded another frame count";
    size_t clamped = 0, mismatches = 0;
    for (size_t i = 0; i < reference.size(); ++i) {
        if (d.samples[i] != expectedSample(reference[i]) && ++mismatches < 5) {
            ADD_FAILURE() << "sample " << i << ": " << d.samples[i] << " vs " << reference[i] * 32768.0f;
        }
        if (std::fabs(reference[i] * 32768.0f) > 32700.0f) ++clamped;
    }
    EXPECT_EQ(mismatches, 0u);
    // Random frames decode loud: the clamp is exercised, and nothing passes it.
    EXPECT_GT(clamped, 0u);
    for (int16_t s : d.samples) ASSERT_LE(std::abs(s), 32700);
}

INSTANTIATE_TEST_SUITE_P(AllModes, VqfModes,
                         ::testing::Values(ModeCase{{8, 8, 512}, 1}, ModeCase{{11, 8, 512}, 1},
                                           ModeCase{{11, 10, 512}, 2}, ModeCase{{16, 16, 1024}, 1},
                                           ModeCase{{22, 20, 1024}, 1}, ModeCase{{22, 24, 1024}, 2},
                                           ModeCase{{22, 32, 512}, 1}, ModeCase{{44, 40, 2048}, 2},
                                           ModeCase{{44, 48, 2048}, 1}));

TEST(VqfSource, ElevenAndTwentyTwoKilohertzMapToTheCdFamilyRates) {
    EXPECT_EQ(tallory::formats::twinvq::vqfSampleRate(11), 11025u);
    EXPECT_EQ(tallory::formats::twinvq::vqfSampleRate(22), 22050u);
    EXPECT_EQ(tallory::formats::twinvq::vqfSampleRate(44), 44100u);
    EXPECT_EQ(tallory::formats::twinvq::vqfSampleRate(48), 48000u);
    EXPECT_EQ(tallory::formats::twinvq::vqfSampleRate(0), 0u);
    EXPECT_EQ(tallory::formats::twinvq::vqfSampleRate(7), 0u);
    EXPECT_EQ(tallory::formats::twinvq::vqfSampleRate(-1), 0u);
}

TEST(VqfSource, StoresSamplesClampedAndRoundedHalfAway) {
    using tallory::formats::twinvq::vqfStoreSample;
    EXPECT_EQ(vqfStoreSample(0.49f), 0);
    EXPECT_EQ(vqfStoreSample(0.5f), 1);
    EXPECT_EQ(vqfStoreSample(-0.5f), -1);
    EXPECT_EQ(vqfStoreSample(-0.49f), 0);
    EXPECT_EQ(vqfStoreSample(32699.5f), 32700);
    EXPECT_EQ(vqfStoreSample(32700.4f), 32700);
    EXPECT_EQ(vqfStoreSample(1e9f), 32700);
    EXPECT_EQ(vqfStoreSample(-1e9f), -32700);
    EXPECT_EQ(vqfStoreSample(-32767.0f), -32700);
    EXPECT_EQ(vqfStoreSample(std::nanf("")), 0);
}

// A frame cut off by the end of the file is not decoded; an invalid window
// type ends the stream. In both cases the reported length is the decoded one.
TEST(VqfSource, TruncatedAndInvalidFramesEndTheStream) {
    const std::string dir = scratch();
    vqfgen::Options o;
    o.frames = 7;
    o.lastFrameBits = 500;  // of 928
    ASSERT_TRUE(vqfgen::write(dir + "/cut.vqf", o));
    Decoded cut = decode(dir + "/cut.vqf");
    ASSERT_TRUE(cut.opened);
    EXPECT_EQ(cut.samples.size(), 7u * 1024);
    EXPECT_EQ(cut.length, 7u * 1024 * 2);
    EXPECT_EQ(ffmpegFloats(dir + "/cut.vqf").size(), 5u * 1024);

    o.lastFrameBits = 0;
    o.frames = 10;
    o.invalidWindowAtFrame = 4;
    ASSERT_TRUE(vqfgen::write(dir + "/bad.vqf", o));
    Decoded bad = decode(dir + "/bad.vqf");
    ASSERT_TRUE(bad.opened);
    EXPECT_EQ(bad.samples.size(), 4u * 1024);
    EXPECT_EQ(bad.length, 4u * 1024 * 2);
}

// The header's bit-rate estimate and the decoded length differ by the bits
// left over after the last whole frame; the decoded length is what is reported.
TEST(VqfSource, ReportsTheDecodedLengthNotTheEstimate) {
    const std::string dir = scratch();
    vqfgen::Options o;
    o.mode = {44, 48, 2048};
    o.channels = 2;
    o.frames = 40;
    ASSERT_TRUE(vqfgen::write(dir + "/l.vqf", o));
    tallory::Ref<IConvSource> source(static_cast<IConvSource*>(VQFConvSource::create()));
    source->AddRef();
    source->SetPath((dir + "/l.vqf").c_str());
    ASSERT_TRUE(source->Open());
    auto* vqf = static_cast<VQFConvSource*>(source.get());
    uint32_t length = 0;
    ASSERT_TRUE(source->GetLength(&length, -1, -1));
    EXPECT_EQ(length, 40u * 2048 * 4);
    EXPECT_EQ(vqf->frameCount(), 40u);
    EXPECT_NE(vqf->estimatedLength(), length);
    EXPECT_NEAR(static_cast<double>(vqf->estimatedLength()), length, 2048.0 * 4);
    source->Close();
}

// Extra text chunks and a "SCND" list do not disturb decoding.
TEST(VqfSource, AcceptsTextAndSecondaryChunks) {
    const std::string dir = scratch();
    vqfgen::Options o;
    o.extraChunks = {{"NAME", "A title"}, {"COMT", ""}, {"AUTH", "Someone"}};
    o.secondaryChunks = {{"DSIZ", std::string("\0\0\x10\0", 4)}, {"YEAR", "1999"}};
    o.commBytes = 24;  // a longer COMM keeps its first four numbers
    ASSERT_TRUE(vqfgen::write(dir + "/t.vqf", o));
    Decoded d = decode(dir + "/t.vqf");
    ASSERT_TRUE(d.opened);
    EXPECT_EQ(d.samples.size(), 12u * 1024);
    std::vector<float> reference = ffmpegFloats(dir + "/t.vqf");
    ASSERT_EQ(reference.size(), 10u * 1024);
    for (size_t i = 0; i < reference.size(); ++i) ASSERT_EQ(d.samples[i], expectedSample(reference[i])) << i;
}

// Every header fault fails Open without a message; a missing file says so.
TEST(VqfSource, HeaderErrorsFailOpenQuietly) {
    const std::string dir = scratch();
    struct Case {
        const char* name;
        void (*change)(vqfgen::Options&);
    };
    const Case cases[] = {
        {"unknown_version", [](vqfgen::Options& o) { o.version = "TWIN97012001"; }},
        {"not_twin", [](vqfgen::Options& o) { o.version = "RIFF97012000"; }},
        {"no_comm", [](vqfgen::Options& o) { o.writeComm = false; }},
        {"no_data", [](vqfgen::Options& o) { o.writeData = false; }},
        {"header_past_end", [](vqfgen::Options& o) { o.headerSizeDelta = 1 << 20; }},
        {"header_too_short", [](vqfgen::Options& o) { o.headerSizeDelta = -3; }},
        {"short_comm", [](vqfgen::Options& o) { o.commBytes = 12; }},
        {"bit_rate_0", [](vqfgen::Options& o) { o.commBitRate = 0; }},
        {"sampling_rate_0", [](vqfgen::Options& o) { o.commSamplingRate = 0; }},
        {"unknown_rate", [](vqfgen::Options& o) { o.commSamplingRate = 12; }},
        {"unsupported_mode", [](vqfgen::Options& o) { o.commBitRate = 21; }},
        {"three_channels", [](vqfgen::Options& o) { o.channels = 3; }},
        {"oversized_chunk", [](vqfgen::Options& o) { o.extraChunks = {{"NAME", "x"}}; }},
    };
    for (const Case& c : cases) {
        vqfgen::Options o;
        c.change(o);
        std::vector<uint8_t> bytes = vqfgen::make(o);
        if (std::string(c.name) == "oversized_chunk") bytes[12 + 4 + 4 + 3] = 0x7F;  // NAME's size
        const std::string path = dir + "/" + c.name + ".vqf";
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        Decoded d = decode(path);
        EXPECT_FALSE(d.opened) << c.name;
        EXPECT_TRUE(d.progress.messages.empty()) << c.name << ": " << d.progress.lastText();
        EXPECT_EQ(BitFile::openCount(), 0) << c.name << " left its file open";
    }
    for (size_t cut : {0, 5, 12, 15, 19}) {
        std::vector<uint8_t> bytes = vqfgen::make(vqfgen::Options{});
        bytes.resize(cut);
        const std::string path = dir + "/cut" + std::to_string(cut) + ".vqf";
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        EXPECT_FALSE(decode(path).opened) << cut;
    }
    Decoded missing = decode(dir + "/missing.vqf");
    EXPECT_FALSE(missing.opened);
    EXPECT_EQ(missing.progress.lastText(), "Cannot open source file for reading\n");
}

// A header with no frames opens with length 0 and decodes nothing.
TEST(VqfSource, EmptyStream) {
    const std::string dir = scratch();
    vqfgen::Options o;
    o.frames = 0;
    ASSERT_TRUE(vqfgen::write(dir + "/e.vqf", o));
    Decoded d = decode(dir + "/e.vqf");
    ASSERT_TRUE(d.opened);
    EXPECT_EQ(d.length, 0u);
    EXPECT_TRUE(d.samples.empty());
    o.frames = 1;
    ASSERT_TRUE(vqfgen::write(dir + "/one.vqf", o));
    EXPECT_EQ(decode(dir + "/one.vqf").samples.size(), 1024u);
}

// The sink answering false stops decoding at once.
TEST(VqfSource, StopsWhenTheSinkSaysSo) {
    const std::string dir = scratch();
    vqfgen::Options o;
    o.frames = 30;
    ASSERT_TRUE(vqfgen::write(dir + "/s.vqf", o));
    tallory::Ref<IConvSource> source(static_cast<IConvSource*>(VQFConvSource::create()));
    source->AddRef();
    source->SetPath((dir + "/s.vqf").c_str());
    ASSERT_TRUE(source->Open());
    CollectingSink sink;
    sink.stopAfterCalls = 3;
    EXPECT_TRUE(source->Run(&sink));
    EXPECT_EQ(sink.calls, 3u);
    source->Close();
    EXPECT_TRUE(source->Close());  // twice is harmless
}

TEST(VqfBitFile, ReadsMostSignificantBitFirstAndZerosPastTheEnd) {
    const std::string dir = scratch();
    const std::string path = dir + "/bits";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const uint8_t bytes[] = {0xA5, 0x3C, 0xFF};
    std::fwrite(bytes, 1, sizeof bytes, f);
    std::fclose(f);
    auto file = BitFile::open(path);
    ASSERT_TRUE(file);
    uint32_t v = 0;
    EXPECT_EQ(file->readBits(3, &v), 3);
    EXPECT_EQ(v, 0x5u);  // 101
    EXPECT_EQ(file->readBits(9, &v), 9);
    EXPECT_EQ(v, 0x53u);  // 0 0101 0011
    EXPECT_EQ(file->readBits(8, &v), 8);
    EXPECT_EQ(v, 0xCFu);  // 1100 1111
    EXPECT_EQ(file->readBits(8, &v), 4);
    EXPECT_EQ(v, 0xF0u);  // the four missing bits are zeros
    EXPECT_EQ(file->readBits(32, &v), 0);
    EXPECT_EQ(v, 0u);
    file->seekToBit(0);
    EXPECT_EQ(file->readBits(32, &v), 24);
    EXPECT_EQ(v, 0xA53CFF00u);
}

// 50 open files at most, the 51st refused cleanly; slots come back on close,
// also when many threads open and close at once.
TEST(VqfBitFile, TableOfFiftyOpenFiles) {
    const std::string dir = scratch();
    vqfgen::Options o;
    o.frames = 2;
    const std::string path = dir + "/x.vqf";
    ASSERT_TRUE(vqfgen::write(path, o));
    std::vector<std::unique_ptr<BitFile>> files;
    for (int i = 0; i < 50; ++i) {
        files.push_back(BitFile::open(path));
        ASSERT_TRUE(files.back()) << i;
    }
    bool full = false;
    EXPECT_FALSE(BitFile::open(path, &full));
    EXPECT_TRUE(full);
    Decoded refused = decode(path);
    EXPECT_FALSE(refused.opened);
    EXPECT_EQ(refused.progress.lastText(), "Cannot open source file for reading\n");
    files.pop_back();
    EXPECT_TRUE(decode(path).opened);
    files.clear();
    EXPECT_EQ(BitFile::openCount(), 0);

    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                std::vector<std::unique_ptr<BitFile>> mine;
                for (int k = 0; k < 6; ++k) mine.push_back(BitFile::open(path));
                for (auto& m : mine) failures += m ? 0 : 1;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);  // 8 x 6 = 48 never exceeds the table
    EXPECT_EQ(BitFile::openCount(), 0);
}

// Two sources decoding on two threads give what one gives alone.
TEST(VqfSource, DecodesInParallel) {
    const std::string dir = scratch();
    vqfgen::Options o;
    o.frames = 60;
    o.channels = 2;
    o.mode = {22, 24, 1024};
    ASSERT_TRUE(vqfgen::write(dir + "/p.vqf", o));
    const std::vector<int16_t> alone = decode(dir + "/p.vqf").samples;
    ASSERT_EQ(alone.size(), 60u * 2048);
    std::vector<int16_t> results[2];
    std::thread a([&] { results[0] = decode(dir + "/p.vqf").samples; });
    std::thread b([&] { results[1] = decode(dir + "/p.vqf").samples; });
    a.join();
    b.join();
    EXPECT_EQ(results[0], alone);
    EXPECT_EQ(results[1], alone);
}

// Through the registry: the ".vqf" row creates this source.
TEST(VqfSource, TheFactoryCreatesIt) {
    FormatInfo info{};
    ASSERT_EQ(ConvGetFormatOf(&info, "song.vqf"), S_OK);
    ASSERT_NE(info.sourceClass, nullptr);
    IConvSource* source = nullptr;
    ASSERT_EQ(ConvCreateObject(*info.sourceClass, &IID_IConvSource, reinterpret_cast<void**>(&source)), S_OK);
    tallory::Ref<IConvSource> held(source);
    CLSID id{};
    ASSERT_TRUE(held->GetClassId(&id));
    EXPECT_TRUE(id == CLSID_TwinVQSource);
    IMetadataFile* tag = nullptr;
    EXPECT_FALSE(held->GetTag(&tag));
}

}  // namespace
