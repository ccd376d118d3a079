// The MP3 target: files it writes are read back by ffprobe, ffmpeg, lame
// --decode and mutagen; the encoder-library checks, and the codec manager's
// format search with its messages.
#include <gtest/gtest.h>

#include <cstdlib>

#include "../ogg/ogg_test_support.h"
#include "memory_objects.h"
#include "tallory/metadata.h"
#include "formats/mp3/mp3_target.h"
#include "tallory/convert.h"
#include "tallory/settings.h"

// LeakSanitizer (GCC 12, glibc 2.36) reads a stale dynamic-TLS entry and its
// tracer crashes at exit, now and then, once both libmp3lame users (the module
// and FFmpeg's encoder) have run; leaks are still checked, TLS is not scanned.
// GLib's per-thread blocks (the engine's event loop) are held only from TLS.
extern "C" const char* __lsan_default_options() { return "use_tls=0"; }
// glibc grows a thread's dynamic TLS vector when a module with thread-local data is
// loaded after the thread started; the old vector is not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\nleak:_dl_resize_dtv\n"; }

namespace {

using namespace oggtest;
using Options = std::vector<std::pair<std::string, std::string>>;

constexpr int kRate = 44100;
const std::string kHelp = tallory::formats::mp3::kHelpPageBase;

IConvTarget* newMp3Target() {
    IConvTarget* target = nullptr;
    EXPECT_EQ(ConvCreateObject(CLSID_Mp3Target, &IID_IConvTarget, reinterpret_cast<void**>(&target)), S_OK);
    return target;
}

void encodeMp3(EncodeResult& r, const std::string& path, const WAVEFORMATEX& f, const std::vector<uint8_t>& pcm,
               const Options& options = {}, size_t block = 16384) {
    encodeAs(CLSID_Mp3Target, r, path, f, pcm, options, block);
}

bool said(const RecordingProgress& p, const std::string& text, const std::string& kind) {
    for (const auto& m : p.messages) {
        if (m.text == text + "\n" && m.kinds == kind) return true;
    }
    return false;
}

std::string allMessages(const RecordingProgress& p) {
    std::string all;
    for (const auto& m : p.messages) all += "[" + m.kinds + "] " + m.text;
    return all;
}

// Both independent decoders, as interleaved 16-bit samples.
std::vector<int16_t> lameDecode(const std::string& path) {
    std::string raw = path + ".lame.raw";
    if (run("lame --quiet --decode -t '" + path + "' '" + raw + "'") == "<failed>") return {};
    return samplesOf(readFile(raw));
}

// The header of the first MPEG audio frame after any ID3v2 tag.
uint32_t firstFrameHeader(const std::string& path) {
    auto bytes = readFile(path);
    size_t at = 0;
    if (bytes.size() > 10 && bytes[0] == 'I' && bytes[1] == 'D' && bytes[2] == '3') {
        at = 10 + ((bytes[6] & 0x7F) << 21 | (bytes[7] & 0x7F) << 14 | (bytes[8] & 0x7F) << 7 | (bytes[9] & 0x7F));
    }
    for (; at + 4 <= bytes.size(); ++at) {
        if (bytes[at] == 0xFF && (bytes[at + 1] & 0xE0) == 0xE0) {
            return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
        }
    }
    return 0;
}
int headerMode(uint32_t h) { return static_cast<int>((h >> 6) & 3); }       // 0 stereo, 1 joint, 3 mono
int headerVersion(uint32_t h) { return static_cast<int>((h >> 19) & 3); }   // 3 MPEG-1, 2 MPEG-2
bool headerCrc(uint32_t h) { return ((h >> 16) & 1) == 0; }

// Encoder delay of LAME (576 samples) and of the MPEG decoder (529): without
// an info frame a decoder gives them back as leading silence.
constexpr long kCodecDelay = 576 + 529;

// Decoded length and level checks shared by the round trips. Gapless (frame 0):
// the input's length within one sample; otherwise at least the input and at
// most the delay plus one frame of `frame` samples more.
void expectDecodes(const std::string& path, const std::vector<int16_t>& pcm, size_t channels, long frame,
                   double levelTolerance = 1.0) {
    for (const auto& decoded : {ffmpegRaw(path), lameDecode(path)}) {
        ASSERT_FALSE(decoded.empty()) << path;
        const long in = static_cast<long>(pcm.size() / channels), out = static_cast<long>(decoded.size() / channels);
        if (frame == 0) {
            EXPECT_LE(std::labs(out - in), 1) << path << ": " << out << " frames for " << in;
        } else {
            EXPECT_GE(out, in) << path;
            EXPECT_LE(out, in + kCodecDelay + frame) << path;
        }
        for (size_t c = 0; c < channels; ++c) {
            EXPECT_NEAR(rmsDb(decoded, channels, c), rmsDb(pcm, channels, c), levelTolerance) << path << " channel " << c;
        }
    }
}

std::string mutagenFrames(const std::string& path) {
    return run("/usr/bin/python3 -c \"import sys, mutagen.id3 as i; t = i.ID3(sys.argv[1]); "
               "[print(k + '=' + str(t[k])) for k in sorted(t.keys())]\" '" + path + "'");
}

TEST(Mp3Target, ConstantBitrateJointStereoRoundTrip) {
    const std::string out = scratch() + "/cbr.mp3";
    const size_t frames = kRate * 2 + 777;
    auto pcm = sines(frames, kRate, {0.5, 0.25}, {440, 1000});
    EncodeResult r;
    encodeMp3(r, out, pcmFormat(2, kRate, 16), bytesOf(pcm), {{"bitrate", "128"}}, 4099);
    ASSERT_TRUE(r.opened && r.written && r.closed) << allMessages(r.progress);
    // Only the version line: "L.A.M.E DLL v1.32 found (released on ...)".
    ASSERT_EQ(r.progress.messages.size(), 1u) << allMessages(r.progress);
    EXPECT_EQ(r.progress.messages[0].kinds, "i");
    EXPECT_EQ(r.progress.messages[0].text.rfind("L.A.M.E DLL v", 0), 0u) << r.progress.messages[0].text;
    EXPECT_NE(r.progress.messages[0].text.find(" found (released on "), std::string::npos);

    EXPECT_EQ(probe(out, "codec_name"), "mp3");
    EXPECT_EQ(probe(out, "sample_rate"), std::to_string(kRate));
    EXPECT_EQ(probe(out, "channels"), "2");
    EXPECT_EQ(probe(out, "bit_rate"), "128000");
    uint32_t h = firstFrameHeader(out);
    EXPECT_EQ(headerVersion(h), 3);
    EXPECT_EQ(headerMode(h), 1);
    EXPECT_FALSE(headerCrc(h));
    expectDecodes(out, pcm, 2, 1152);
}

TEST(Mp3Target, ConstantBitrateIsGaplessToo) {
    // Seven seconds and an odd tail: neither a whole number of frames nor of chunks.
    const std::string out = scratch() + "/cbr7.mp3";
    const size_t frames = kRate * 7 + 333;
    auto pcm = sines(frames, kRate, {0.4, 0.3}, {440, 1500});
    EncodeResult r;
    encodeMp3(r, out, pcmFormat(2, kRate, 16), bytesOf(pcm), {{"bitrate", "192"}}, 8192);
    ASSERT_TRUE(r.opened && r.written && r.closed) << allMessages(r.progress);
    EXPECT_EQ(probe(out, "bit_rate"), "192000");
    // ffmpeg reads the info frame's delay and padding: exactly the input's samples.
    std::vector<int16_t> decoded = ffmpegRaw(out);
    EXPECT_EQ(decoded.size(), pcm.size());
    expectDecodes(out, pcm, 2, 0, 0.5);
    // The info frame of a constant-bitrate file is "Info", with the LAME extension.
    auto bytes = readFile(out);
    std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("Info"), std::string::npos);
    EXPECT_NE(text.find("LAME"), std::string::npos);
}

TEST(Mp3Target, VariableBitrateIsGapless) {
    const std::string out = scratch() + "/vbr.mp3";
    const size_t frames = kRate * 3 + 1001;
    auto pcm = sines(frames, kRate, {0.4, 0.4}, {300, 2500});
    EncodeResult r;
    encodeMp3(r, out, pcmFormat(2, kRate, 16), bytesOf(pcm),
              {{"enable-vbr", ""}, {"vbr-quality", "2"}, {"bitrate", "64"}, {"max-bitrate", "256"}, {"crc", "on"}}, 10000);
    ASSERT_TRUE(r.opened && r.written && r.closed) << allMessages(r.progress);
    // The info frame carries delay and padding: both decoders give back the input's length.
    expectDecodes(out, pcm, 2, 0, 0.5);
    EXPECT_TRUE(headerCrc(firstFrameHeader(out)));
    // The info frame is a frame of its own: the first header names VBR ("Xing" or "Info" follows).
    auto bytes = readFile(out);
    std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("Xing"), std::string::npos);
}

TEST(Mp3Target, MpegTwoLowRateMono) {
    const std::string out = scratch() + "/low.mp3";
    const int rate = 22050;
    auto pcm = sines(rate * 2, rate, {0.5}, {700});
    EncodeResult r;
    encodeMp3(r, out, pcmFormat(1, rate, 16), bytesOf(pcm), {{"mpeg-ii", "on"}, {"bitrate", "32"}});
    ASSERT_TRUE(r.opened && r.written && r.closed) << allMessages(r.progress);
    EXPECT_EQ(probe(out, "sample_rate"), "22050");
    EXPECT_EQ(probe(out, "channels"), "1");
    EXPECT_EQ(probe(out, "bit_rate"), "32000");
    uint32_t h = firstFrameHeader(out);
    EXPECT_EQ(headerVersion(h), 2);
    EXPECT_EQ(headerMode(h), 3);
    expectDecodes(out, pcm, 1, 576);
}

// A fixed mode that disagrees with the input's channels: the encoder still
// gets the layout it reads, so the length and the level survive.
TEST(Mp3Target, FixedModeMixesTheInputToIt) {
    const std::string dir = scratch();
    auto stereo = sines(kRate, kRate, {0.3, 0.3}, {440, 440});
    EncodeResult a;
    encodeMp3(a, dir + "/mono.mp3", pcmFormat(2, kRate, 16), bytesOf(stereo),
              {{"sample-rate", "44100"}, {"channels", "mono"}});
    ASSERT_TRUE(a.opened && a.written && a.closed) << allMessages(a.progress);
    EXPECT_EQ(probe(dir + "/mono.mp3", "channels"), "1");
    EXPECT_EQ(headerMode(firstFrameHeader(dir + "/mono.mp3")), 3);
    std::vector<int16_t> left(kRate);
    for (size_t i = 0; i < left.size(); ++i) left[i] = stereo[2 * i];
    expectDecodes(dir + "/mono.mp3", left, 1, 1152);

    auto mono = sines(kRate, kRate, {0.3}, {440});
    EncodeResult b;
    encodeMp3(b, dir + "/stereo.mp3", pcmFormat(1, kRate, 16), bytesOf(mono),
              {{"sample-rate", "44100Hz"}, {"channels", "stereo"}});
    ASSERT_TRUE(b.opened && b.written && b.closed) << allMessages(b.progress);
    EXPECT_EQ(headerMode(firstFrameHeader(dir + "/stereo.mp3")), 0);
    // The codec manager's mono-to-stereo mix sets each side 3 dB down; both sides carry the same signal.
    auto decoded = lameDecode(dir + "/stereo.mp3");
    ASSERT_GE(decoded.size(), 2 * mono.size());
    EXPECT_NEAR(rmsDb(decoded, 2, 0), rmsDb(decoded, 2, 1), 0.1);
    EXPECT_NEAR(rmsDb(decoded, 2, 0), rmsDb(mono, 1, 0) - 3, 1.0);
    EXPECT_LE(decoded.size(), 2 * (mono.size() + kCodecDelay + 1152));
}

TEST(Mp3Target, TailShorterThanOneChunk) {
    const std::string dir = scratch();
    // 700 frames: less than one chunk, in writes that split frames.
    for (size_t frames : {700u, 1152u * 5 + 3}) {
        const std::string out = dir + "/tail" + std::to_string(frames) + ".mp3";
        auto pcm = sines(frames, kRate, {0.5, 0.5}, {1000, 1000});
        EncodeResult r;
        encodeMp3(r, out, pcmFormat(2, kRate, 16), bytesOf(pcm), {{"enable-vbr", "on"}}, 1001);
        ASSERT_TRUE(r.opened && r.written && r.closed) << allMessages(r.progress);
        EXPECT_EQ(lameDecode(out).size(), pcm.size()) << frames;
    }
}

TEST(Mp3Target, EightBitAndResampledInputGoThroughTheStream) {
    const std::string dir = scratch();
    const int rate = 22050;
    auto reference = sines(rate * 2, rate, {0.5}, {300});
    std::vector<uint8_t> eight(reference.size());
    for (size_t i = 0; i < eight.size(); ++i) eight[i] = static_cast<uint8_t>(128 + reference[i] / 256);

    EncodeResult a;  // 8 bits at the encoding rate
    encodeMp3(a, dir + "/eight.mp3", pcmFormat(1, rate, 8), eight, {{"mpeg-ii", "on"}, {"bitrate", "64"}}, 777);
    ASSERT_TRUE(a.opened && a.written && a.closed) << allMessages(a.progress);
    EXPECT_EQ(probe(dir + "/eight.mp3", "sample_rate"), "22050");
    auto decoded = lameDecode(dir + "/eight.mp3");
    double mean = 0;
    for (int16_t s : decoded) mean += s;
    EXPECT_LT(std::fabs(mean / static_cast<double>(decoded.size())), 100.0);  // no 128 offset
    expectDecodes(dir + "/eight.mp3", reference, 1, 1152);

    // Resampled to 44.1 kHz, with the 8-bit change in the same stream.
    EncodeResult c;
    encodeMp3(c, dir + "/up.mp3", pcmFormat(1, rate, 8), eight, {{"sample-rate", "44100"}, {"channels", "mono"}}, 777);
    ASSERT_TRUE(c.opened && c.written && c.closed) << allMessages(c.progress);
    EXPECT_EQ(probe(dir + "/up.mp3", "sample_rate"), "44100");
    auto up = sines(kRate * 2, kRate, {0.5}, {300});
    expectDecodes(dir + "/up.mp3", up, 1, 1152);
}

TEST(Mp3Target, TagIsWrittenAfterEncoding) {
    const std::string dir = scratch();
    PutProfileInt("Settings", "BPMAnalysis", 1);
    // The source hands out the tag of an MP3 that ffmpeg tagged.
    const std::string tagged = dir + "/source.mp3";
    ASSERT_NE(run("ffmpeg -v error -f lavfi -i anullsrc=r=44100 -t 0.2 -metadata title=Tock "
                  "-metadata artist='Metronome Ensemble' -id3v2_version 3 '" + tagged + "'"), "<failed>");
    struct Source : MemorySource {
        std::string tagPath;
        bool GetTag(IMetadataFile** tag) override { return SUCCEEDED(MetadataCreateFromFile(tagPath.c_str(), tag)); }
    } source;
    source.AddRef();
    source.tagPath = tagged;
    source.pcm = clickTrack(120, 20);
    IConvTarget* target = newMp3Target();
    char err[TALLORY_MAX_PATH];
    ASSERT_TRUE(target->SetOption("bitrate", "160", err));
    const std::string out = dir + "/tagged.mp3";
    target->SetPath(out.c_str());
    RecordingProgress progress;
    ASSERT_EQ(AudioConvert(&source, target, &progress, 0, 0, -1, -1), S_OK) << allMessages(progress);
    IMetadataFile* tagFile = nullptr;
    ASSERT_TRUE(target->OpenTag(&tagFile));
    IMetadataTag* written = nullptr;
    EXPECT_TRUE(SUCCEEDED(tagFile->ReadTag(&written)));
    if (written != nullptr) written->Release();
    tagFile->Release();
    char settingsText[256];
    ASSERT_TRUE(target->GetSettingsText(settingsText, sizeof settingsText));
    EXPECT_STREQ(settingsText, "L.A.M.E.; 160 kbps; auto kHz; CRC off");
    target->Release();
    PutProfileInt("Settings", "BPMAnalysis", 0);

    std::string frames = mutagenFrames(out);
    EXPECT_NE(frames.find("TSSE=Tallory, L.A.M.E.; 160 kbps; auto kHz; CRC off\n"), std::string::npos) << frames;
    // The tempo is stored in hundredths of a beat per minute.
    size_t bpmAt = frames.find("TBPM=");
    ASSERT_NE(bpmAt, std::string::npos) << frames;
    EXPECT_NEAR(std::atof(frames.c_str() + bpmAt + 5) / 100, 120.0, 1.0) << frames;
    EXPECT_NE(frames.find("TIT2=Tock\n"), std::string::npos) << frames;
    EXPECT_NE(frames.find("TPE1=Metronome Ensemble\n"), std::string::npos) << frames;
    EXPECT_EQ(probe(out, "sample_rate"), std::to_string(kRate));  // the tag did not hide the audio
}

TEST(Mp3Target, WavSourceThroughTheEngine) {
    const std::string dir = scratch();
    auto pcm = sines(kRate + 4321, kRate, {0.3, 0.6}, {500, 800});
    writeWav(dir + "/in.wav", pcmFormat(2, kRate, 16), bytesOf(pcm));
    IConvSource* source = nullptr;
    ASSERT_EQ(ConvCreateObject(CLSID_WavSource, &IID_IConvSource, reinterpret_cast<void**>(&source)), S_OK);
    ASSERT_TRUE(source->SetPath((dir + "/in.wav").c_str()));
    IConvTarget* target = newMp3Target();
    char err[TALLORY_MAX_PATH];
    ASSERT_TRUE(target->SetOption("enable-vbr", nullptr, err));
    target->SetPath((dir + "/out.mp3").c_str());
    RecordingProgress progress;
    ASSERT_EQ(AudioConvert(source, target, &progress, 0, 0, -1, -1), S_OK) << allMessages(progress);
    source->Release();
    target->Release();
    expectDecodes(dir + "/out.mp3", pcm, 2, 0, 0.5);
    EXPECT_NE(mutagenFrames(dir + "/out.mp3").find("TSSE=Tallory, L.A.M.E.; 128 - 320 kbps; VBR quality 5;"),
              std::string::npos);
}

TEST(Mp3Target, EstimateSizeUsesTheNominalBitrate) {
    IConvTarget* target = newMp3Target();
    char err[TALLORY_MAX_PATH];
    ASSERT_TRUE(target->SetOption("bitrate", "192", err));
    ASSERT_TRUE(target->SetOption("enable-vbr", "on", err));
    WAVEFORMATEX f = pcmFormat(2, kRate, 16);
    uint32_t bytes = 0;
    ASSERT_TRUE(target->EstimateSize(176400 * 60, &f, &bytes));
    EXPECT_EQ(bytes, 192000u / 8 * 60);
    ASSERT_TRUE(target->EstimateSize(0xFFFFFFFFu, &f, &bytes));  // 6.7 hours: still fits
    EXPECT_EQ(bytes, static_cast<uint32_t>(4294967295.0 / 176400 * 24000));
    WAVEFORMATEX broken = f;
    broken.nAvgBytesPerSec = 0;
    EXPECT_FALSE(target->EstimateSize(1000, &broken, &bytes));
    target->Release();
}

TEST(Mp3Target, EncoderLibrariesThatCannotBeUsed) {
    const std::string dir = scratch();
    auto pcm = bytesOf(sines(kRate / 4, kRate, {0.2, 0.2}, {440, 440}));
    EncodeResult r;
    encodeMp3(r, dir + "/blade.mp3", pcmFormat(2, kRate, 16), pcm, {{"encoder", "BladeEnc"}});
    EXPECT_FALSE(r.opened);
    EXPECT_TRUE(said(r.progress, "BladeEnc MP3 encoder was not installed, see " + kHelp + "Q1001.php", "e"))
        << allMessages(r.progress);
    EXPECT_FALSE(tallory::platform::pathExists(dir + "/blade.mp3"));

    // A module beside the program that lacks beEncodeChunk is refused by name.
    const std::string module = std::string(std::getenv("TALLORY_TEST_BIN")) + "/bladeenc.so";
    const std::string c = dir + "/broken.c";
    writeFile(c, std::vector<uint8_t>{});
    const std::string code =
        "int beInitStream(void*a,void*b,void*c,void*d){return 0;}int beDeinitStream(void*a,void*b,void*c){return 0;}"
        "int beCloseStream(void*a){return 0;}void beVersion(void*a){}";
    std::ofstream(c) << code;
    ASSERT_NE(run("cc -shared -fPIC -o '" + module + "' '" + c + "'"), "<failed>");
    EncodeResult b;
    encodeMp3(b, dir + "/broken.mp3", pcmFormat(2, kRate, 16), pcm, {{"encoder", "BladeEnc"}});
    std::remove(module.c_str());
    EXPECT_FALSE(b.opened);
    EXPECT_TRUE(said(b.progress, "BladeEnc MP3 encoder cannot be used: beEncodeChunk is missing", "e"))
        << allMessages(b.progress);
}

// The codec manager's MPEG Layer-3 codec offers, at the input's rate and
// channels only, the bitrates of that rate's MPEG version.
class Mp3Codec : public ::testing::Test {
protected:
    EncodeResult r;
    std::string out;
    std::vector<int16_t> pcm = sines(kRate, kRate, {0.4, 0.4}, {440, 660});
    void encodeWith(const Options& options, int rate = kRate) {
        out = scratch() + "/codec.mp3";
        r = EncodeResult();
        Options all = {{"encoder", "Codec"}};
        all.insert(all.end(), options.begin(), options.end());
        pcm = sines(static_cast<size_t>(rate), rate, {0.4, 0.4}, {440, 660});
        encodeMp3(r, out, pcmFormat(2, rate, 16), bytesOf(pcm), all, 5000);
    }
};

TEST_F(Mp3Codec, ExactBitrateSaysNothing) {
    encodeWith({{"bitrate", "192"}});
    ASSERT_TRUE(r.opened && r.written && r.closed) << allMessages(r.progress);
    EXPECT_TRUE(r.progress.messages.empty()) << allMessages(r.progress);
    EXPECT_EQ(probe(out, "bit_rate"), "192000");
    expectDecodes(out, pcm, 2, 2304);
}

TEST_F(Mp3Codec, NearestBitrateIsReported) {
    encodeWith({{"bitrate", "150"}});  // 160 is 10 away, 128 is 22
    ASSERT_TRUE(r.opened && r.written && r.closed) << allMessages(r.progress);
    ASSERT_EQ(r.progress.messages.size(), 1u) << allMessages(r.progress);
    EXPECT_TRUE(said(r.progress, "Bitrate 160 kbps will be used instead of 150 kbps", "i"));
    EXPECT_EQ(probe(out, "bit_rate"), "160000");
    encodeWith({{"bitrate", "144"}});  // 128 and 160 both 16 away: the earlier one stays
    EXPECT_TRUE(said(r.progress, "Bitrate 128 kbps will be used instead of 144 kbps", "i")) << allMessages(r.progress);
}

TEST_F(Mp3Codec, LowBitrateHint) {
    encodeWith({{"bitrate", "8"}});
    ASSERT_TRUE(r.opened && r.written && r.closed) << allMessages(r.progress);
    EXPECT_TRUE(said(r.progress, "To encode high-quality MP3s with bitrates over 56kbps, please see " + kHelp + "Q1006.php", "i"));
    EXPECT_TRUE(said(r.progress, "Bitrate 32 kbps will be used instead of 8 kbps", "i"));
    EXPECT_EQ(probe(out, "bit_rate"), "32000");
    encodeWith({{"bitrate", "56"}});  // exact, still at most 56 kbps
    ASSERT_EQ(r.progress.messages.size(), 1u) << allMessages(r.progress);
    EXPECT_EQ(r.progress.messages[0].text.rfind("To encode high-quality MP3s", 0), 0u);
    encodeWith({{"bitrate", "64"}});
    EXPECT_TRUE(r.progress.messages.empty()) << allMessages(r.progress);
}

TEST_F(Mp3Codec, UnavailableRateIsRetriedWithAutoDetect) {
    encodeWith({{"bitrate", "128"}, {"sample-rate", "48kHz"}, {"channels", "mono"}});
    ASSERT_TRUE(r.opened && r.written && r.closed) << allMessages(r.progress);
    EXPECT_TRUE(said(r.progress,
                     "Installed MP3 codec cannot convert from 44 kHz / stereo to 48 kHz / mono; retrying with auto-detect",
                     "i"))
        << allMessages(r.progress);
    EXPECT_EQ(probe(out, "sample_rate"), "44100");
    EXPECT_EQ(probe(out, "channels"), "2");

    // The target itself forgets the rate and channels it could not have.
    IConvTarget* target = newMp3Target();
    char err[TALLORY_MAX_PATH], text[256];
    for (auto [name, value] : Options{{"encoder", "Codec"}, {"sample-rate", "48000"}, {"channels", "mono"}}) {
        ASSERT_TRUE(target->SetOption(name.c_str(), value.c_str(), err));
    }
    ASSERT_TRUE(target->GetSettingsText(text, sizeof text));
    EXPECT_STREQ(text, "MP3 Codec; 128 kbps; 48 kHz / mono; CRC off");
    WAVEFORMATEX f = pcmFormat(2, kRate, 16);
    target->SetPath((scratch() + "/again.mp3").c_str());
    target->SetFormat(&f);
    ASSERT_TRUE(target->Open());
    EXPECT_TRUE(target->Close());
    ASSERT_TRUE(target->GetSettingsText(text, sizeof text));
    EXPECT_STREQ(text, "MP3 Codec; 128 kbps; auto kHz; CRC off");
    target->Release();
}

TEST_F(Mp3Codec, RateTheCodecCannotTakeFails) {
    encodeWith({{"sample-rate", "48000"}, {"channels", "stereo"}}, 96000);
    EXPECT_FALSE(r.opened);
    EXPECT_TRUE(said(r.progress,
                     "Installed MP3 codec cannot convert from 96 kHz / stereo to 48 kHz / stereo; retrying with auto-detect",
                     "i"));
    EXPECT_TRUE(said(r.progress, "Your MP3 codec does not support the encoding of 96 kHz, stereo", "e"));
    EXPECT_TRUE(said(r.progress, "Please install a better MP3 codec, see " + kHelp + "Q1006.php", "e"));
    EXPECT_EQ(r.progress.messages.size(), 3u) << allMessages(r.progress);
    EXPECT_FALSE(tallory::platform::pathExists(out));
    // Only a rate (no channel value): nothing to relax, so no retry.
    encodeWith({{"sample-rate", "48000"}}, 96000);
    EXPECT_FALSE(r.opened);
    EXPECT_EQ(r.progress.messages.size(), 2u) << allMessages(r.progress);
}

}  // namespace
