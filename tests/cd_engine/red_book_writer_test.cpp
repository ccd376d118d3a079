// The Red Book writer behind the conversion engine: CD audio copied byte for
// byte, other sources resampled with no samples lost at a track's end
// (lengths checked against sox), and its refusals.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "cd/recording/red_book_writer.h"
#include "external_tools.h"
#include "memory_objects.h"
#include "recording_progress.h"
#include "tallory/tallory.h"

using tallory::Ref;
using tallory::cd::engine::TrackListEntry;
using tallory::cd::recording::RedBookWriter;
namespace fs = std::filesystem;

namespace {

class RedBookWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tallory_redbook_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& n) const { return dir_ + "/" + n; }

    Ref<IConvSource> sourceFor(const std::string& file) {
        FormatInfo info{};
        EXPECT_EQ(ConvGetFormatOf(&info, file.c_str()), S_OK) << file;
        IConvSource* s = nullptr;
        if (info.sourceClass == nullptr ||
            ConvCreateObject(*info.sourceClass, &IID_IConvSource, reinterpret_cast<void**>(&s)) != S_OK)
            return {};
        s->SetPath(file.c_str());
        return Ref<IConvSource>(s);
    }

    // Converts `file` through AudioConvert into `out` and returns the result.
    HRESULT convert(IConvSource* source, const std::string& out, RecordingProgress& progress) {
        tracks_.clear();
        TrackListEntry e;
        e.path = out;
        tracks_.push_back(e);
        Ref<RedBookWriter> writer = Ref<RedBookWriter>::share(new RedBookWriter(&tracks_));
        return AudioConvert(source, writer.get(), &progress, 0, 0, -1, -1);
    }

    std::string dir_;
    std::vector<TrackListEntry> tracks_;
};

long fileSize(const std::string& p) {
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    return ec ? -1 : long(n);
}

}  // namespace

TEST_F(RedBookWriterTest, CdAudioIsCopiedByteForByte) {
    const std::string wav = path("cd.wav");
    runCommand("sox -n -r 44100 -b 16 -c 2 '" + wav + "' synth 1.37 whitenoise vol 0.7 2>/dev/null");
    runCommand("sox '" + wav + "' -t raw '" + path("cd.raw") + "' 2>/dev/null");
    Ref<IConvSource> source = sourceFor(wav);
    ASSERT_TRUE(source);
    RecordingProgress progress;
    ASSERT_EQ(convert(source.get(), path("out.raw"), progress), S_OK) << progress.lastText();
    const auto want = readFileBytes(path("cd.raw"));
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(readFileBytes(path("out.raw")), want);
}

TEST_F(RedBookWriterTest, ResampledSourcesLoseNoSamplesAtTheEnd) {
    struct Case {
        std::string name, make;
        uint32_t rate;
    };
    // Odd sample counts (sox makes 96037 at 48 kHz and scales them for other
    // rates), so that a lost tail or an off-by-one shows.
    const std::vector<Case> cases = {
        {"a.ogg", "-r 48000 -c 2 -C 5", 48000},
        {"b.flac", "-r 48000 -b 16 -c 2", 48000},
        {"c.wav", "-r 22050 -b 8 -c 1", 22050},
        {"d.wav", "-r 96000 -b 24 -c 2", 96000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = path(c.name);
        runCommand("sox -n " + c.make + " '" + in + "' synth 96037s sine 440 vol 0.5 2>/dev/null");
        // The source's own length as the independent decoder sees it.
        const uint64_t n = std::stoull("0" + runCommand("soxi -s '" + in + "' 2>/dev/null"));
        ASSERT_GT(n, 40000u);
        Ref<IConvSource> source = sourceFor(in);
        ASSERT_TRUE(source);
        RecordingProgress progress;
        const std::string out = path(c.name + ".raw");
        ASSERT_EQ(convert(source.get(), out, progress), S_OK) << progress.lastText();
        const long bytes = fileSize(out);
        ASSERT_EQ(bytes % 4, 0);
        const double expected = std::round(double(n) * 44100.0 / c.rate);
        const std::string soxOut = path(c.name + ".sox.raw");
        runCommand("sox '" + in + "' -t raw -r 44100 -b 16 -c 2 -e signed '" + soxOut + "' 2>/dev/null");
        const double soxSamples = double(fileSize(soxOut)) / 4;
        EXPECT_NEAR(double(bytes) / 4, expected, 1.0) << "source samples " << n;
        EXPECT_NEAR(double(bytes) / 4, soxSamples, 1.0);
    }
}

TEST_F(RedBookWriterTest, BlocksEndingInsideAFrameLoseNothing) {
    // A source whose blocks end in the middle of a frame: the rest of the
    // frame leads the next block.
    MemorySource source;
    source.pcm.resize(4 * 44101);
    for (size_t i = 0; i < source.pcm.size() / 2; ++i) putSample(source.pcm, i, int(i % 2000) - 1000);
    source.blockSize = 4410 * 4 + 2;
    RecordingProgress progress;
    ASSERT_EQ(convert(&source, path("m.raw"), progress), S_OK);
    EXPECT_EQ(readFileBytes(path("m.raw")), source.pcm);
}

TEST_F(RedBookWriterTest, SlotsAndRefusals) {
    Ref<RedBookWriter> writer = Ref<RedBookWriter>::share(new RedBookWriter(&tracks_));
    RecordingProgress progress;
    writer->SetProgress(&progress);
    // No track entry: nothing to write to.
    EXPECT_FALSE(writer->Open());
    EXPECT_EQ(progress.lastText(), "Track count is zero\n");
    EXPECT_EQ(progress.messages.back().kinds, "e");
    CLSID id{};
    ASSERT_TRUE(writer->GetClassId(&id));
    EXPECT_EQ(id, tallory::cd::recording::CLSID_RedBookWriter);
    EXPECT_EQ(writer->GetFormatIndex(), -1);
    char buf[16];
    EXPECT_FALSE(writer->SetPath("/x"));
    EXPECT_FALSE(writer->GetPath(buf, sizeof buf));
    EXPECT_FALSE(writer->GetSettingsText(buf, sizeof buf));
    EXPECT_FALSE(writer->SetOption("a", "b", nullptr));
    void* same = nullptr;
    ASSERT_EQ(writer->QueryInterface(IID_IConvTarget, &same), S_OK);
    static_cast<IConvTarget*>(same)->Release();
    EXPECT_EQ(writer->QueryInterface(IID_IConvSource, &same), E_NOINTERFACE);

    // A format no stream converts.
    TrackListEntry e;
    e.path = path("bad.raw");
    tracks_.push_back(e);
    WAVEFORMATEX odd{0x7777, 2, 44100, 1000, 1, 0, 0};
    writer->SetFormat(&odd);
    EXPECT_FALSE(writer->Open());
    EXPECT_EQ(progress.lastText().rfind("ACM failed to open the conversion stream (error #", 0), 0u);

    // A file that cannot be written: a full device.
    if (::access("/dev/full", W_OK) == 0) {
        tracks_.back().path = "/dev/full";
        WAVEFORMATEX cd{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
        writer->SetFormat(&cd);
        ASSERT_TRUE(writer->Open());
        std::vector<uint8_t> block(1 << 20, 1);
        const bool wrote = writer->Write(uint32_t(block.size()), block.data());
        const bool closed = writer->Close();
        EXPECT_FALSE(wrote && closed);
        EXPECT_EQ(progress.lastText(), "Cannot write to a file\n");
    }
}
