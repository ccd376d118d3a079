// PCM WAV files through the Wave target and source: exact round trips read back
// by ffprobe and sox, the file layout, and damaged or unusual files.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>

#include "audio_test_util.h"
#include "wav/riff_builder.h"

namespace {

using namespace testutil;

uint32_t le32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }

struct PcmCase {
    uint32_t rate;
    uint16_t channels;
    uint16_t bits;
};

class WavPcmRoundTrip : public ::testing::TestWithParam<PcmCase> {};

TEST_P(WavPcmRoundTrip, ExactAndReadByOtherTools) {
    const PcmCase c = GetParam();
    std::string dir = scratchDir(), path = dir + "/tone.wav";
    WAVEFORMATEX f = pcmFormat(c.rate, c.channels, c.bits);
    const uint32_t frames = c.rate / 3 + 7;  // not a multiple of anything
    Bytes pcm = tone(f, frames);
    // Pieces that split sample frames: the file must not care how PCM arrives.
    ASSERT_TRUE(writeThrough(CLSID_WavTarget, path, f, pcm, 10007));

    Bytes file = readFile(path);
    ASSERT_GE(file.size(), 44u);
    EXPECT_EQ(le32(file, 16), 16u) << "unchanged PCM keeps the 16-byte fmt body";
    EXPECT_EQ(le32(file, 40), pcm.size());
    EXPECT_EQ(le32(file, 4), file.size() - 8);
    EXPECT_EQ(file.size(), 44 + pcm.size() + (pcm.size() & 1));

    ReadResult r = readThrough(CLSID_WavSource, path);
    ASSERT_TRUE(r.opened) << r.lastError();
    EXPECT_TRUE(r.ran);
    EXPECT_EQ(std::memcmp(&r.format, &f, sizeof f), 0);
    EXPECT_EQ(r.length, pcm.size());
    EXPECT_TRUE(r.pcm == pcm);

    static const char* kCodecs[] = {"", "pcm_u8", "pcm_s16le", "pcm_s24le", "pcm_s32le"};
    EXPECT_EQ(probe(path, "codec_name"), kCodecs[c.bits / 8]);
    EXPECT_EQ(probe(path, "sample_rate"), std::to_string(c.rate));
    EXPECT_EQ(probe(path, "channels"), std::to_string(c.channels));
    // sox decodes the same bytes in the file's own encoding.
    std::string enc = c.bits == 8 ? "-e unsigned" : "-e signed";
    Bytes soxed = runBytes("sox '" + path + "' -t raw " + enc + " -b " + std::to_string(c.bits) + " -L - 2>/dev/null");
    EXPECT_TRUE(soxed == pcm) << "sox read " << soxed.size() << " bytes, wrote " << pcm.size();
}

INSTANTIATE_TEST_SUITE_P(Formats, WavPcmRoundTrip,
                         ::testing::Values(PcmCase{8000, 1, 8}, PcmCase{11025, 2, 8}, PcmCase{22050, 1, 16},
                                           PcmCase{44100, 2, 16}, PcmCase{48000, 2, 24}, PcmCase{96000, 1, 24},
                                           PcmCase{44100, 2, 32}, PcmCase{8000, 1, 32}));

TEST(WavPcm, OddDataIsPaddedWithOneZero) {
    std::string path = scratchDir() + "/odd.wav";
    WAVEFORMATEX f = pcmFormat(8000, 1, 8);
    Bytes pcm = tone(f, 1001);
    ASSERT_TRUE(writeThrough(CLSID_WavTarget, path, f, pcm));
    Bytes file = readFile(path);
    ASSERT_EQ(file.size(), 44u + 1001 + 1);
    EXPECT_EQ(file.back(), 0);
    EXPECT_EQ(le32(file, 40), 1001u);
    EXPECT_EQ(le32(file, 4), file.size() - 8);
    EXPECT_EQ(probe(path, "duration_ts"), "1001");
    EXPECT_TRUE(readThrough(CLSID_WavSource, path).pcm == pcm);
}

TEST(WavPcm, ExtraBytesAnnouncedByTheInputAreNotWritten) {
    std::string path = scratchDir() + "/cb.wav";
    WAVEFORMATEX f = pcmFormat(8000, 1, 16);
    f.cbSize = 22;  // nothing follows the 18 bytes that objects exchange
    Bytes pcm = tone(f, 100);
    ASSERT_TRUE(writeThrough(CLSID_WavTarget, path, f, pcm));
    Bytes file = readFile(path);
    EXPECT_EQ(le32(file, 16), 16u);
    EXPECT_EQ(probe(path, "codec_name"), "pcm_s16le");
}

TEST(WavPcm, ChunkOrderAndRepeatedChunks) {
    std::string dir = scratchDir();
    WAVEFORMATEX f = pcmFormat(22050, 2, 16), other = pcmFormat(8000, 1, 8);
    Bytes pcm = tone(f, 500), junk(300, 0x55);
    // "data" before "fmt ", an odd chunk between, a second "fmt " and "data" that count for nothing.
    RiffBuilder b;
    b.chunk("LIST", {'I', 'N', 'F', 'O', 'x'}).chunk("data", pcm).chunk("abc ", {1, 2, 3}).fmt(f).fmt(other).chunk("data", junk);
    std::string path = dir + "/order.wav";
    writeFile(path, b.bytes());
    ReadResult r = readThrough(CLSID_WavSource, path);
    ASSERT_TRUE(r.opened) << r.lastError();
    EXPECT_EQ(uint32_t(r.format.nSamplesPerSec), 22050u);
    EXPECT_EQ(uint32_t(r.format.nChannels), 2);
    EXPECT_TRUE(r.pcm == pcm);
    EXPECT_EQ(probe(path, "sample_rate"), "22050");  // ffprobe agrees on which chunks count

    // An extensible record of integer PCM reads as PCM.
    RiffBuilder e;
    Bytes ext(40, 0);
    WAVEFORMATEX x = f;
    x.wFormatTag = 0xFFFE;
    x.cbSize = 22;
    std::memcpy(ext.data(), &x, sizeof x);
    ext[18] = 16;
    ext[20] = 3;
    const uint8_t sub[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    std::memcpy(ext.data() + 24, sub, 16);
    e.chunk("fmt ", ext).chunk("data", pcm);
    writeFile(path, e.bytes());
    r = readThrough(CLSID_WavSource, path);
    ASSERT_TRUE(r.opened) << r.lastError();
    EXPECT_EQ(uint32_t(r.format.wFormatTag), WAVE_FORMAT_PCM);
    EXPECT_TRUE(r.pcm == pcm);
}

TEST(WavPcm, BrokenStructureIsReportedNotRead) {
    std::string dir = scratchDir(), path = dir + "/bad.wav";
    WAVEFORMATEX f = pcmFormat(8000, 1, 16);
    Bytes pcm = tone(f, 100);  // 200 bytes
    const std::string invalid = "The file format is invalid or corrupted\n", zero = "The length of the audio data is zero\n";
    // Each refusal keeps its fixed message and adds one line naming the check.
    struct Case {
        const char* name;
        Bytes file;
        std::string message;
        std::string detail;
    } cases[] = {
        {"chunk past the RIFF end", RiffBuilder().fmt(f).chunk("data", pcm, 4000).bytes(), invalid,
         "chunk 'data' at offset 36 declares 4000 bytes, the RIFF form ends at 244 and the file holds 244\n"},
        {"data size of 4 GiB", RiffBuilder().fmt(f).chunk("data", pcm, 0xFFFFFFFF).bytes(), invalid,
         "chunk 'data' at offset 36 declares 4294967295 bytes, the RIFF form ends at 244 and the file holds 244\n"},
        {"no data chunk", RiffBuilder().fmt(f).bytes(), zero, "no 'data' chunk inside the RIFF form\n"},
        {"empty data chunk", RiffBuilder().fmt(f).chunk("data", {}).bytes(), zero,
         "'data' chunk at offset 36 declares 0 bytes, the file holds 0 of them\n"},
        {"no fmt chunk", RiffBuilder().chunk("data", pcm).bytes(), zero, "no 'fmt ' chunk inside the RIFF form\n"},
        {"fmt cut short", RiffBuilder().chunk("fmt ", Bytes(10, 1)).chunk("data", pcm).bytes(), invalid,
         "'fmt ' chunk holds 10 bytes; a format record has 16 to 65553\n"},
        {"not RIFF", Bytes{'R', 'I', 'F', 'X', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}, invalid,
         "no RIFF 'WAVE' header in the file's 12 bytes\n"},
        {"zero block align", RiffBuilder().fmt(pcmFormat(8000, 0, 16)).chunk("data", pcm).bytes(), invalid,
         "PCM format record of 0 channels, 8000 Hz, 16 bits, block align 0, 0 bytes/s is not consistent\n"},
        {"empty file", Bytes{}, invalid, "no RIFF 'WAVE' header in the file's 0 bytes\n"},
        {"unknown codec", RiffBuilder().fmt(WAVEFORMATEX{0x7777, 1, 8000, 1000, 1, 8, 0}).chunk("data", pcm).bytes(),
         "ACM failed to suggest a PCM format for the wave file (error #512)\n",
         "no decoder takes format tag 0x7777 with 1 channels, 8000 Hz, 8 bits, block align 1\n"},
        {"garbled chunk name past the end", RiffBuilder().chunk("\x01\x02zz", pcm, 900).fmt(f).chunk("data", pcm).bytes(),
         invalid, "chunk '??zz' at offset 12 declares 900 bytes, the RIFF form ends at 452 and the file holds 452\n"},
    };
    for (const Case& c : cases) {
        writeFile(path, c.file);
        ReadResult r = readThrough(CLSID_WavSource, path);
        EXPECT_FALSE(r.opened) << c.name;
        EXPECT_EQ(r.lastError(), c.message) << c.name;
        EXPECT_EQ(r.detail(), c.detail) << c.name;
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages.back().kinds, "i") << c.name << ": the detail comes last";
    }
    ReadResult missing = readThrough(CLSID_WavSource, dir + "/none.wav");
    EXPECT_EQ(missing.lastError(), "Cannot open source file\n");

    // A failed Open leaves the source closed: it opens again once the file is there.
    IConvSource* s = create<IConvSource>(CLSID_WavSource, IID_IConvSource);
    s->SetPath((dir + "/later.wav").c_str());
    EXPECT_FALSE(s->Open());
    writeFile(dir + "/later.wav", RiffBuilder().fmt(f).chunk("data", pcm).bytes());
    EXPECT_TRUE(s->Open());
    s->Release();
}

TEST(WavPcm, DamageAfterCompleteAudioIsReadPastWithAWarning) {
    std::string path = scratchDir() + "/tail.wav";
    WAVEFORMATEX f = pcmFormat(8000, 2, 16);
    Bytes pcm = tone(f, 500);
    // A tag chunk whose size runs past the end of the file, as broken taggers leave it.
    Bytes file = RiffBuilder().fmt(f).chunk("data", pcm).chunk("LIST", Bytes(20, 'x'), 100000).bytes();
    writeFile(path, file);
    ReadResult r = readThrough(CLSID_WavSource, path);
    ASSERT_TRUE(r.opened) << r.lastError();
    EXPECT_TRUE(r.ran);
    EXPECT_EQ(r.pcm, pcm);
    EXPECT_EQ(r.length, pcm.size());
    EXPECT_EQ(r.lastError(), "");
    EXPECT_EQ(r.detail(), "Ignoring the rest of the file: chunk 'LIST' at offset " + std::to_string(44 + pcm.size()) +
                              " declares 100000 bytes, the RIFF form ends at " + std::to_string(file.size()) + "\n");

    // Before the audio is complete the same damage is a refusal.
    Bytes early = RiffBuilder().fmt(f).chunk("LIST", Bytes(20, 'x'), 100000).chunk("data", pcm).bytes();
    writeFile(path, early);
    ReadResult refused = readThrough(CLSID_WavSource, path);
    EXPECT_FALSE(refused.opened);
    EXPECT_EQ(refused.lastError(), "The file format is invalid or corrupted\n");
}

TEST(WavPcm, TruncatedDataEndsCleanly) {
    std::string path = scratchDir() + "/cut.wav";
    WAVEFORMATEX f = pcmFormat(8000, 2, 16);
    Bytes pcm = tone(f, 1000);
    Bytes file = RiffBuilder().fmt(f).chunk("data", pcm).bytes();
    // Cut inside a sample frame, as a broken download is.
    writeFile(path, Bytes(file.begin(), file.begin() + static_cast<long>(file.size()) - 1001));
    ReadResult r = readThrough(CLSID_WavSource, path);
    ASSERT_TRUE(r.opened) << r.lastError();
    EXPECT_TRUE(r.ran);
    EXPECT_EQ(r.length, pcm.size() - 1001);
    EXPECT_TRUE(std::equal(r.pcm.begin(), r.pcm.end(), pcm.begin()));
    EXPECT_EQ(r.pcm.size(), pcm.size() - 1001);
}

TEST(WavPcm, StartTimeStaysInsideTheDataChunk) {
    std::string path = scratchDir() + "/start.wav";
    WAVEFORMATEX f = pcmFormat(8000, 2, 16);  // 32000 bytes per second
    Bytes pcm = tone(f, 8000);
    writeFile(path, RiffBuilder().fmt(f).chunk("data", pcm).chunk("LIST", Bytes(5000, 0x7F)).bytes());
    ReadResult r = readThrough(CLSID_WavSource, path, 250);
    ASSERT_TRUE(r.ran);
    ASSERT_EQ(r.pcm.size(), pcm.size() - 8000);
    EXPECT_TRUE(std::equal(r.pcm.begin(), r.pcm.end(), pcm.begin() + 8000));
    // A start past the end delivers nothing rather than the following chunk.
    EXPECT_TRUE(readThrough(CLSID_WavSource, path, 5000).pcm.empty());
}

TEST(WavPcm, SinkRefusalAndRunStates) {
    std::string path = scratchDir() + "/big.wav";
    WAVEFORMATEX f = pcmFormat(44100, 2, 24);
    Bytes pcm = tone(f, 50000);
    ASSERT_TRUE(writeThrough(CLSID_WavTarget, path, f, pcm));
    IConvSource* s = create<IConvSource>(CLSID_WavSource, IID_IConvSource);
    RecordingProgress progress;
    s->SetProgress(&progress);
    s->SetPath(path.c_str());
    CollectingSink sink;
    EXPECT_FALSE(s->Run(&sink));
    EXPECT_EQ(progress.lastText(), "Source object is not opened\n");
    ASSERT_TRUE(s->Open());
    EXPECT_FALSE(s->Open());
    EXPECT_EQ(progress.lastText(), "Source file or track is already opened\n");
    sink.refuseAfter = 2;
    EXPECT_FALSE(s->Run(&sink));
    EXPECT_EQ(sink.writes, 2u);
    // Blocks hold whole sample frames, so 24-bit stereo never splits a sample.
    EXPECT_EQ(sink.data.size() % 6, 0u);
    s->Close();
    s->Release();
}

TEST(WavTarget, FailuresAreReportedAndLeaveNothingOpen) {
    std::string dir = scratchDir();
    WAVEFORMATEX f = pcmFormat(8000, 1, 16);
    Bytes pcm = tone(f, 100);
    IConvTarget* t = create<IConvTarget>(CLSID_WavTarget, IID_IConvTarget);
    RecordingProgress progress;
    t->SetProgress(&progress);
    t->SetFormat(&f);
    // A directory where the file should be: Open fails, and Write after it fails cleanly.
    tallory::platform::createDirectories(dir + "/taken.wav/x");
    progress.overwriteAnswer = 1;
    t->SetPath((dir + "/taken.wav").c_str());
    EXPECT_FALSE(t->Open());
    EXPECT_FALSE(t->Write(static_cast<uint32_t>(pcm.size()), pcm.data()));
    EXPECT_EQ(progress.lastText(), "Cannot write to output file\n");
    EXPECT_TRUE(t->Close());

    // A tag with no codec: the suggestion fails with the codec's result code.
    t->SetPath((dir + "/x.wav").c_str());
    WAVEFORMATEX odd = f;
    odd.wFormatTag = 0x1234;
    t->SetFormat(&odd);
    EXPECT_FALSE(t->Open());
    EXPECT_EQ(progress.lastText(), "ACM failed to suggest a PCM format for the wave file (error #512)\n");
    t->Release();
}

// Hostile files kept from fuzzing and by hand, named after what they once did.
TEST(WavPcm, HostileFilesEndCleanly) {
    std::string data = std::string(std::getenv("TALLORY_SOURCE_DIR")) + "/tests/data/wav";
    DIR* d = ::opendir(data.c_str());
    ASSERT_NE(d, nullptr);
    int seen = 0;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 5 || name.substr(name.size() - 4) != ".wav") continue;
        ++seen;
        ReadResult r = readThrough(CLSID_WavSource, data + "/" + name);
        if (!r.opened) {
            EXPECT_FALSE(r.lastError().empty()) << name << " failed without a message";
        } else {
            EXPECT_TRUE(r.ran) << name;
            EXPECT_LE(r.pcm.size(), size_t{r.length} + 65536) << name;
        }
    }
    ::closedir(d);
    EXPECT_GE(seen, 5);
}

}  // namespace
