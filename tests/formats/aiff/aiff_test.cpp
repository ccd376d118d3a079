// AIFF and AIFC through the AIFF target and source: exact round trips checked
// by sox and ffprobe, files written by sox and ffmpeg, and damaged files.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>

#include "audio_test_util.h"
#include "formats/aiff/aiff_chunks.h"

namespace {

using namespace testutil;
namespace aiff = tallory::formats::aiff;

uint32_t be32(const Bytes& b, size_t at) { return uint32_t(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]; }

void putBe(Bytes& v, uint32_t x, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// An IFF file built chunk by chunk; odd chunks get their pad byte.
struct IffBuilder {
    Bytes body;
    IffBuilder& chunk(const char* id, const Bytes& data, int64_t declared = -1) {
        body.insert(body.end(), id, id + 4);
        putBe(body, declared >= 0 ? uint32_t(declared) : uint32_t(data.size()), 4);
        body.insert(body.end(), data.begin(), data.end());
        if (data.size() & 1) body.push_back(0);
        return *this;
    }
    static Bytes comm(uint16_t channels, uint32_t frames, uint16_t bits, double rate, const char* type = nullptr,
                      const std::string& name = "") {
        Bytes d;
        putBe(d, channels, 2);
        putBe(d, frames, 4);
        putBe(d, bits, 2);
        uint8_t ext[10];
        aiff::encodeExtended(rate, ext);
        d.insert(d.end(), ext, ext + 10);
        if (type != nullptr) {
            d.insert(d.end(), type, type + 4);
            d.push_back(static_cast<uint8_t>(name.size()));
            d.insert(d.end(), name.begin(), name.end());
            if ((name.size() & 1) == 0) d.push_back(0);
        }
        return d;
    }
    static Bytes ssnd(const Bytes& sound) {
        Bytes d(8, 0);
        d.insert(d.end(), sound.begin(), sound.end());
        return d;
    }
    Bytes bytes(const char* form = "AIFF") const {
        Bytes out = {'F', 'O', 'R', 'M'};
        putBe(out, uint32_t(body.size() + 4), 4);
        out.insert(out.end(), form, form + 4);
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
};

// Big-endian signed samples of little-endian WAV PCM (8-bit: unsigned to signed).
Bytes toAiffOrder(Bytes pcm, int bytes) {
    for (size_t i = 0; i + bytes <= pcm.size(); i += bytes) {
        if (bytes == 1) pcm[i] ^= 0x80;
        else std::reverse(pcm.begin() + long(i), pcm.begin() + long(i + bytes));
    }
    return pcm;
}

TEST(AiffExtended, EncodesAndDecodesSampleRates) {
    uint8_t ext[10];
    aiff::encodeExtended(44100, ext);
    const uint8_t expected[10] = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(ext, expected, 10), 0);
    for (double rate : {8000.0, 11025.0, 22050.0, 48000.0, 96000.0, 192000.0, 1.0, 0.5, -44100.0, 0.0}) {
        aiff::encodeExtended(rate, ext);
        EXPECT_EQ(aiff::decodeExtended(ext), rate);
    }
    const uint8_t infinite[10] = {0x7F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(aiff::decodeExtended(infinite), 0);
}

struct AiffCase {
    uint32_t rate;
    uint16_t channels;
    uint16_t bits;
};

class AiffRoundTrip : public ::testing::TestWithParam<AiffCase> {};

TEST_P(AiffRoundTrip, ExactAndReadBySox) {
    const AiffCase c = GetParam();
    std::string path = scratchDir() + "/tone.aiff";
    WAVEFORMATEX f = pcmFormat(c.rate, c.channels, c.bits);
    Bytes pcm = tone(f, c.rate / 4 + 3);
    ASSERT_TRUE(writeThrough(CLSID_AiffTarget, path, f, pcm, 1001));  // pieces that cut samples
    Bytes file = readFile(path);
    ASSERT_EQ(file.size(), 54 + pcm.size());
    EXPECT_EQ(be32(file, 4), 46 + pcm.size());
    EXPECT_EQ(be32(file, 22), pcm.size() / f.nBlockAlign);  // frames
    EXPECT_EQ(be32(file, 42), 8 + pcm.size());
    EXPECT_TRUE(Bytes(file.begin() + 54, file.end()) == toAiffOrder(pcm, c.bits / 8));

    std::string enc = c.bits == 8 ? "-e unsigned" : "-e signed";
    Bytes soxed = runBytes("sox '" + path + "' -t raw " + enc + " -b " + std::to_string(c.bits) + " -L - 2>/dev/null");
    EXPECT_TRUE(soxed == pcm) << "sox read " << soxed.size() << " bytes";
    EXPECT_EQ(probe(path, "sample_rate"), std::to_string(c.rate));
    EXPECT_EQ(probe(path, "channels"), std::to_string(c.channels));

    ReadResult r = readThrough(CLSID_AiffSource, path);
    ASSERT_TRUE(r.opened) << r.lastError();
    EXPECT_TRUE(r.ran);
    EXPECT_EQ(std::memcmp(&r.format, &f, sizeof f), 0);
    EXPECT_EQ(r.length, pcm.size());
    EXPECT_TRUE(r.pcm == pcm);
}

INSTANTIATE_TEST_SUITE_P(Formats, AiffRoundTrip,
                         ::testing::Values(AiffCase{8000, 1, 8}, AiffCase{22050, 2, 8}, AiffCase{44100, 2, 16},
                                           AiffCase{11025, 1, 16}, AiffCase{48000, 2, 24}, AiffCase{96000, 1, 24}));

TEST(AiffSource, ReadsWhatSoxAndFfmpegWrite) {
    std::string dir = scratchDir();
    WAVEFORMATEX f = pcmFormat(22050, 2, 16);
    Bytes pcm = tone(f, 5000);
    writeFile(dir + "/in.raw", pcm);
    std::string in = " -t raw -r 22050 -c 2 -e signed -b 16 -L '" + dir + "/in.raw' ";
    struct {
        std::string command, file;
    } cases[] = {
        {"sox" + in + "'" + dir + "/sox.aiff'", "sox.aiff"},
        {"sox" + in + "-t aifc '" + dir + "/sox.aifc'", "sox.aifc"},
        // ffmpeg writes little-endian AIFC as compression "sowt".
        {"ffmpeg -v error -f s16le -ar 22050 -ac 2 -i '" + dir + "/in.raw' -c:a pcm_s16le -f aiff '" + dir +
             "/sowt.aif'",
         "sowt.aif"},
    };
    for (const auto& c : cases) {
        int status = 0;
        run(c.command, &status);
        ASSERT_EQ(status, 0) << c.command;
        ReadResult r = readThrough(CLSID_AiffSource, dir + "/" + c.file);
        ASSERT_TRUE(r.opened) << c.file << ": " << r.lastError();
        EXPECT_EQ(uint32_t(r.format.nSamplesPerSec), 22050u) << c.file;
        EXPECT_TRUE(r.pcm == pcm) << c.file;
    }
}

TEST(AiffSource, ChunkLayoutEdgeCases) {
    std::string path = scratchDir() + "/edge.aiff";
    WAVEFORMATEX f = pcmFormat(8000, 1, 16);
    Bytes pcm = tone(f, 301);
    Bytes sound = toAiffOrder(pcm, 2);
    // An odd chunk before COMM (padded as IFF requires), and a chunk after SSND.
    writeFile(path, IffBuilder()
                        .chunk("NAME", {'t', 'o', 'n'})
                        .chunk("COMM", IffBuilder::comm(1, 301, 16, 8000))
                        .chunk("SSND", IffBuilder::ssnd(sound))
                        .chunk("ANNO", Bytes(999, 0x41))
                        .bytes());
    ReadResult r = readThrough(CLSID_AiffSource, path);
    ASSERT_TRUE(r.opened) << r.lastError();
    EXPECT_TRUE(r.pcm == pcm);

    // COMM announcing more frames than SSND holds: only the sound data is delivered.
    writeFile(path, IffBuilder()
                        .chunk("COMM", IffBuilder::comm(1, 100000, 16, 8000))
                        .chunk("SSND", IffBuilder::ssnd(sound))
                        .chunk("ANNO", Bytes(999, 0x41))
                        .bytes());
    r = readThrough(CLSID_AiffSource, path);
    EXPECT_EQ(r.length, pcm.size());
    EXPECT_TRUE(r.pcm == pcm);

    // A start time skips whole frames.
    writeFile(path, IffBuilder()
                        .chunk("COMM", IffBuilder::comm(1, 301, 16, 8000))
                        .chunk("SSND", IffBuilder::ssnd(sound))
                        .bytes());
    r = readThrough(CLSID_AiffSource, path, 10);
    EXPECT_TRUE(r.pcm == Bytes(pcm.begin() + 160, pcm.end()));

    // 12-bit samples sit in two bytes each.
    writeFile(path, IffBuilder()
                        .chunk("COMM", IffBuilder::comm(2, 100, 12, 8000))
                        .chunk("SSND", IffBuilder::ssnd(Bytes(400, 0x10)))
                        .bytes());
    r = readThrough(CLSID_AiffSource, path);
    ASSERT_TRUE(r.opened) << r.lastError();
    EXPECT_EQ(uint32_t(r.format.nBlockAlign), 4u);
    EXPECT_EQ(r.pcm.size(), 400u);
}

TEST(AiffSource, RefusalsNameTheProblem) {
    std::string dir = scratchDir(), path = dir + "/bad.aiff";
    Bytes ssnd = IffBuilder::ssnd(Bytes(200, 1));
    Bytes comm = IffBuilder::comm(1, 100, 16, 8000);
    const std::string invalid = "This file is not a valid AIFF/AIFC file\n";
    const std::string onlyPcm = "only 'NONE', 'sowt' and 'SONE' sample data are read\n";
    // Each refusal keeps its fixed message and adds one line naming the check.
    struct Case {
        const char* name;
        Bytes file;
        std::string message;
        std::string detail;
    } cases[] = {
        {"not IFF", Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 4, 'A', 'I', 'F', 'F'}, invalid,
         "no 'FORM' chunk in the file's 12 bytes\n"},
        {"8SVX", IffBuilder().chunk("COMM", comm).bytes("8SVX"),
         "This file doesn't contain an AIFF/AIFC standard audio recording.\n",
         "the FORM type is '8SVX', not 'AIFF' or 'AIFC'\n"},
        {"no COMM", IffBuilder().chunk("SSND", ssnd).bytes(), "The COMM chunk was not found\n",
         "no 'COMM' chunk in the FORM's 216 bytes\n"},
        {"no SSND", IffBuilder().chunk("COMM", comm).bytes(), "The SSND chunk was not found\n",
         "no 'SSND' chunk in the FORM's 26 bytes\n"},
        {"no frames", IffBuilder().chunk("COMM", IffBuilder::comm(1, 0, 16, 8000)).chunk("SSND", ssnd).bytes(),
         "The audio file does not contain audio\n", "'COMM' chunk declares 0 sample frames\n"},
        {"compressed",
         IffBuilder().chunk("COMM", IffBuilder::comm(1, 100, 16, 8000, "ACE2", "ACE 2-to-1")).chunk("SSND", ssnd).bytes("AIFC"),
         "The compression type ACE 2-to-1 (ACE2) is not supported.\n", onlyPcm},
        {"ima4 without a name",
         IffBuilder().chunk("COMM", IffBuilder::comm(1, 100, 16, 8000, "ima4")).chunk("SSND", ssnd).bytes("AIFC"),
         "The compression type ??? (ima4) is not supported.\n", onlyPcm},
        {"zero channels", IffBuilder().chunk("COMM", IffBuilder::comm(0, 100, 16, 8000)).chunk("SSND", ssnd).bytes(),
         invalid,
         "'COMM' chunk declares 0 channels, 16 bits, 8000 Hz; this source reads 1 to 64 channels, 1 to 32 bits, 1 to "
         "4e+06 Hz\n"},
        {"infinite rate", IffBuilder().chunk("COMM", IffBuilder::comm(1, 100, 16, 1e300)).chunk("SSND", ssnd).bytes(),
         invalid,
         "'COMM' chunk declares 1 channels, 16 bits, 1e+300 Hz; this source reads 1 to 64 channels, 1 to 32 bits, 1 to "
         "4e+06 Hz\n"},
        {"short COMM", IffBuilder().chunk("COMM", Bytes(6, 1)).chunk("SSND", ssnd).bytes(), invalid,
         "'COMM' chunk holds 6 bytes; AIFF needs 18\n"},
        {"short SSND", IffBuilder().chunk("COMM", comm).chunk("SSND", Bytes(4, 0)).bytes(), invalid,
         "'SSND' chunk holds 4 bytes; its offset and block size need 8\n"},
        {"SSND offset past its data",
         IffBuilder().chunk("COMM", comm).chunk("SSND", Bytes{0, 0, 1, 0, 0, 0, 0, 0, 1, 2}).bytes(), invalid,
         "'SSND' chunk puts its first sample 256 bytes in, past its 2 bytes of sound data\n"},
    };
    for (const Case& c : cases) {
        writeFile(path, c.file);
        ReadResult r = readThrough(CLSID_AiffSource, path);
        EXPECT_FALSE(r.opened) << c.name;
        EXPECT_EQ(r.lastError(), c.message) << c.name;
        EXPECT_EQ(r.detail(), c.detail) << c.name;
    }
    EXPECT_EQ(readThrough(CLSID_AiffSource, dir + "/none.aiff").lastError(), "Cannot open source file for reading\n");
}

TEST(AiffTarget, SettingsAndFailures) {
    std::string dir = scratchDir();
    IConvTarget* t = create<IConvTarget>(CLSID_AiffTarget, IID_IConvTarget);
    RecordingProgress progress;
    t->SetProgress(&progress);
    char text[TALLORY_MAX_PATH];
    ASSERT_TRUE(t->GetSettingsText(text, sizeof text));
    EXPECT_STREQ(text, "None");
    EXPECT_FALSE(t->ShowSettings(nullptr, nullptr));
    EXPECT_FALSE(t->SetOption("wave-codec", "PCM", text));
    WAVEFORMATEX f = pcmFormat(44100, 2, 16);
    uint32_t out = 0;
    ASSERT_TRUE(t->EstimateSize(123457, &f, &out));
    EXPECT_EQ(out, 123457u);
    t->SetFormat(&f);
    tallory::platform::createDirectories(dir + "/dir.aiff");
    t->SetPath((dir + "/dir.aiff").c_str());
    progress.overwriteAnswer = 1;
    EXPECT_FALSE(t->Open());
    uint8_t pcm[8] = {};
    EXPECT_FALSE(t->Write(sizeof pcm, pcm));
    EXPECT_EQ(progress.lastText(), "Cannot write to file (error #0)\n");
    EXPECT_TRUE(t->Close());
    t->Release();
}

TEST(AiffSource, HostileFilesEndCleanly) {
    std::string data = std::string(std::getenv("TALLORY_SOURCE_DIR")) + "/tests/data/aiff";
    DIR* d = ::opendir(data.c_str());
    ASSERT_NE(d, nullptr);
    int seen = 0;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 6 || name.substr(name.size() - 5) != ".aiff") continue;
        ++seen;
        ReadResult r = readThrough(CLSID_AiffSource, data + "/" + name);
        if (!r.opened) {
            EXPECT_FALSE(r.lastError().empty()) << name;
        } else {
            EXPECT_TRUE(r.ran) << name;
            EXPECT_LE(r.pcm.size(), r.length) << name;
        }
    }
    ::closedir(d);
    EXPECT_GE(seen, 4);
}

}  // namespace
