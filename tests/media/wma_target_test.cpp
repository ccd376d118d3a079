// The WMA target: files it writes are read by ffprobe, mutagen and our own
// reader; options, stored defaults and the settings text.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <set>

#include "core/settings_store.h"
#include "formats/wm/wma_settings.h"
#include "formats/wm/wma_target.h"
#include "media_test_support.h"
#include "platform/media/media_reader.h"
#include "recording_progress.h"
#include "tallory/formats.h"
#include "tallory/settings.h"

namespace {

using namespace mediatest;
namespace media = tallory::platform::media;
namespace wm = tallory::formats::wm;

IConvTarget* newTarget() {
    IConvTarget* t = nullptr;
    EXPECT_EQ(ConvCreateObject(CLSID_WmaTarget, &IID_IConvTarget, reinterpret_cast<void**>(&t)), S_OK);
    return t;
}

// PCM of the WAV file's data chunk (the tone maker writes a plain 44-byte header).
std::vector<uint8_t> wavData(const std::string& wav) {
    std::vector<uint8_t> bytes = readBytes(wav);
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 | static_cast<uint32_t>(bytes[at + 7]) << 24;
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            return std::vector<uint8_t>(bytes.begin() + at + 8, bytes.begin() + at + 8 + size);
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

// Writes PCM through a target set up by options, in blocks as the engine would.
bool encode(const std::string& path, const std::vector<uint8_t>& pcm, const WAVEFORMATEX& f, const char* codec,
            const char* format, RecordingProgress* progress, size_t block = 16384) {
    IConvTarget* t = newTarget();
    char err[TALLORY_MAX_PATH] = "";
    bool ok = t->SetOption("wma-codec", codec, err) && t->SetOption("wma-format", format, err);
    EXPECT_TRUE(ok) << err;
    t->SetPath(path.c_str());
    t->SetFormat(&f);
    t->SetProgress(progress);
    if (ok && t->Open()) {
        for (size_t at = 0; ok && at < pcm.size(); at += block) {
            ok = t->Write(static_cast<uint32_t>(std::min<size_t>(block, pcm.size() - at)), pcm.data() + at);
        }
        ok = t->Close() && ok;
    } else {
        ok = false;
    }
    t->Release();
    return ok;
}

std::vector<uint8_t> decoded(const std::string& path) {
    media::MediaReader reader;
    EXPECT_TRUE(reader.open(path));
    std::vector<uint8_t> pcm;
    EXPECT_TRUE(reader.run(0, [&](const uint8_t* p, size_t n) {
        pcm.insert(pcm.end(), p, p + n);
        return true;
    }));
    return pcm;
}

TEST(WmaProfile, EachCodecListsFormatsItsEncoderAccepts) {
    ASSERT_EQ(media::wmaCodecCount(), 2);
    EXPECT_EQ(media::wmaCodecName(0), "Windows Media Audio V2");
    EXPECT_EQ(media::wmaCodecName(1), "Windows Media Audio V1");
    for (int codec = 0; codec < 2; ++codec) {
        const auto& formats = media::wmaCodecFormats(codec);
        ASSERT_GT(formats.size(), 30u) << "the stored default index 29 should name a format";
        std::set<std::string> seen;
        for (size_t i = 0; i < formats.size(); ++i) {
            EXPECT_TRUE(seen.insert(formats[i].description).second) << formats[i].description;
            EXPECT_TRUE(formats[i].description.ends_with(" CBR"));
            if (i > 0) {
                EXPECT_LE(formats[i].bitRate, formats[i - 1].bitRate) << "highest bitrate first";
            }
        }
        EXPECT_TRUE(seen.count("128 kbps, 44 kHz, stereo CBR"));
        EXPECT_TRUE(seen.count("32 kbps, 22 kHz, mono CBR"));
    }
}

TEST(WmaTarget, FilesAreReadByFfprobeMutagenAndOurReader) {
    std::string dir = scratch();
    struct Case {
        const char* codec;
        const char* format;
        int rate, channels;  // of the input
        const char* ffCodec;
        int outRate, outChannels;
    };
    const Case cases[] = {
        {"Windows Media Audio V2", "128 kbps, 44 kHz, stereo CBR", 44100, 2, "wmav2", 44100, 2},
        {"windows media audio v1", "64 KBPS, 44 KHZ, STEREO CBR", 44100, 2, "wmav1", 44100, 2},
        {"Windows Media Audio V2", "32 kbps, 22 kHz, mono CBR", 44100, 2, "wmav2", 22050, 1},
        {"Windows Media Audio V2", "96 kbps, 48 kHz, stereo CBR", 22050, 1, "wmav2", 48000, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.codec) + " / " + c.format);
        const double seconds = 3.7;
        std::string wav = makeTone(dir, "in.wav", seconds, c.rate, c.channels);
        WAVEFORMATEX f{WAVE_FORMAT_PCM, static_cast<uint16_t>(c.channels), static_cast<uint32_t>(c.rate),
                       static_cast<uint32_t>(c.rate * c.channels * 2), static_cast<uint16_t>(c.channels * 2), 16, 0};
        std::string out = dir + "/sub/out.wma";
        RecordingProgress progress;
        progress.overwriteAnswer = 1;
        ASSERT_TRUE(encode(out, wavData(wav), f, c.codec, c.format, &progress)) << progress.lastText();

        EXPECT_EQ(probe(out, "stream=codec_name"), c.ffCodec);
        EXPECT_EQ(probe(out, "stream=sample_rate"), std::to_string(c.outRate));
        EXPECT_EQ(probe(out, "stream=channels"), std::to_string(c.outChannels));
        // One coded frame of 2048 samples is the granularity of the format.
        const double frame = 2048.0 / c.outRate;
        EXPECT_NEAR(std::stod(probe(out, "format=duration")), seconds, 2 * frame);

        std::string py = run("/usr/bin/python3 -c \"import mutagen.asf,sys; f=mutagen.asf.ASF(sys.argv[1]); "
                             "print(f.info.length, f.info.sample_rate, f.info.channels)\" '" + out + "'");
        double length = 0;
        int rate = 0, channels = 0;
        ASSERT_EQ(std::sscanf(py.c_str(), "%lf %d %d", &length, &rate, &channels), 3) << py;
        EXPECT_NEAR(length, seconds, 2 * frame);
        EXPECT_EQ(rate, c.outRate);
        EXPECT_EQ(channels, c.outChannels);

        media::MediaReader reader;
        ASSERT_TRUE(reader.open(out));
        EXPECT_NEAR(reader.info().durationHns / 1e7, seconds, 2 * frame);
        size_t samples = 0;
        double energy = 0;
        ASSERT_TRUE(reader.run(0, [&](const uint8_t* p, size_t n) {
            for (size_t i = 0; i + 1 < n; i += 2) energy += std::abs(static_cast<int16_t>(p[i] | p[i + 1] << 8));
            samples += n / 2;
            return true;
        }));
        EXPECT_NEAR(static_cast<double>(samples) / c.outChannels / c.outRate, seconds, 2 * frame);
        EXPECT_GT(energy / samples, 1000.0) << "the signal did not survive";
    }
}

TEST(WmaTarget, OtherSampleSizesAreCodedAndUnknownOnesRefused) {
    std::string dir = scratch();
    std::vector<uint8_t> pcm(44100 * 2 * 3);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(128 + 100 * std::sin(i * 0.05));
    for (uint16_t bits : {8, 24}) {
        uint16_t align = static_cast<uint16_t>(2 * bits / 8);
        WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, 44100, 44100u * align, align, bits, 0};
        RecordingProgress progress;
        std::string out = dir + "/b" + std::to_string(bits) + ".wma";
        std::vector<uint8_t> block(pcm.begin(), pcm.begin() + (pcm.size() / align) * align);
        ASSERT_TRUE(encode(out, block, f, "Windows Media Audio V2", "128 kbps, 44 kHz, stereo CBR", &progress))
            << progress.lastText();
        EXPECT_NEAR(std::stod(probe(out, "format=duration")), static_cast<double>(block.size()) / f.nAvgBytesPerSec,
                    0.1);
        // Blocks that end inside a sample frame code the same audio as whole ones.
        std::string cut = dir + "/cut" + std::to_string(bits) + ".wma";
        ASSERT_TRUE(encode(cut, block, f, "Windows Media Audio V2", "128 kbps, 44 kHz, stereo CBR", &progress, 1001));
        EXPECT_TRUE(decoded(cut) == decoded(out)) << bits << " bits";
    }
    WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 12, 0};
    RecordingProgress progress;
    EXPECT_FALSE(encode(dir + "/b12.wma", pcm, f, "Windows Media Audio V2", "128 kbps, 44 kHz, stereo CBR", &progress));
    ASSERT_EQ(progress.messages.size(), 3u);
    EXPECT_EQ(progress.messages[0].text, "Failed to set input properties (error #80070057)\n");
    EXPECT_EQ(progress.messages[1].text, "PCM of 12 bits per sample cannot be coded\n");
    EXPECT_EQ(progress.messages[2].text, "Source format is 44 kHz, 12 bit, stereo\n");
    EXPECT_EQ(progress.messages[2].kinds, "i");
    EXPECT_FALSE(tallory::platform::pathExists(dir + "/b12.wma"));
}

TEST(WmaTarget, OptionsNameCodecsAndFormatsWithoutRegardToCase) {
    IConvTarget* t = newTarget();
    char err[TALLORY_MAX_PATH];
    char text[64];
    std::strcpy(err, "x");
    EXPECT_FALSE(t->SetOption("wma-codec", "Windows Media Audio 9", err));
    EXPECT_STREQ(err, "There is no WMA codec with this name.");
    EXPECT_FALSE(t->SetOption("wma-codec", nullptr, err));
    EXPECT_STREQ(err, "There is no WMA codec with this name.");
    EXPECT_TRUE(t->SetOption("WMA-CODEC", "WINDOWS MEDIA AUDIO V1", err));
    EXPECT_FALSE(t->SetOption("wma-format", "129 kbps, 44 kHz, stereo CBR", err));
    EXPECT_STREQ(err, "There is no WMA format with this name.");
    EXPECT_FALSE(t->SetOption("wma-format", "128 kbps, 44 kHz, stereo CBR (A/V)", err));
    EXPECT_TRUE(t->SetOption("wma-format", "48 kbps, 32 kHz, mono cbr", err));
    ASSERT_TRUE(t->GetSettingsText(text, sizeof text));
    EXPECT_STREQ(text, "48 kbps, 32 kHz, mono CBR");
    ASSERT_TRUE(t->GetSettingsText(text, 6));
    EXPECT_STREQ(text, "48 kb");
    std::strcpy(err, "x");
    EXPECT_FALSE(t->SetOption("vbr-quality", "5", err));
    EXPECT_STREQ(err, "");
    auto* target = static_cast<wm::WmaTarget*>(t);
    // Copied out: gtest binds a reference, and the record is packed.
    EXPECT_EQ(static_cast<int>(target->settings().codecIndex), 1);
    EXPECT_EQ(static_cast<int>(target->settings().mode), 0);

    WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    uint32_t bytes = 0;
    ASSERT_TRUE(t->EstimateSize(176400 * 10, &f, &bytes));
    EXPECT_EQ(bytes, 48000u / 8 * 10);
    f.nAvgBytesPerSec = 0;
    EXPECT_FALSE(t->EstimateSize(176400, &f, &bytes));
    // Without a user interface module the dialog answers "cancelled".
    EXPECT_FALSE(t->ShowSettings(nullptr, nullptr));
    EXPECT_EQ(t->GetFormatIndex(), 2);
    t->Release();
}

TEST(WmaTarget, TheStoredDefaultDecidesNewTargetsAndTheDefaultText) {
    tallory::core::settings::openStore();
    FormatInfo row{};
    ASSERT_EQ(ConvGetFormatByName(&row, "Windows Media"), S_OK);
    const auto& v1 = media::wmaCodecFormats(1);
    char text[128], viaExport[128];

    wm::WmaSettings stored{1, 7, 0};
    ASSERT_TRUE(wm::saveWmaSettings(stored));
    ASSERT_EQ(ConvDefOutputSettingsString(viaExport, sizeof viaExport, &row), S_OK);
    EXPECT_EQ(viaExport, v1[7].description);
    IConvTarget* t = newTarget();
    ASSERT_TRUE(t->GetSettingsText(text, sizeof text));
    EXPECT_STREQ(text, viaExport);
    t->Release();

    // A shorter stored value overwrites only the fields it holds.
    int32_t codecOnly = 1;
    ASSERT_TRUE(PutProfileBinary("WMA9", "General", &codecOnly, sizeof codecOnly));
    wm::WmaSettings loaded = wm::loadWmaSettings();
    EXPECT_EQ(loaded.codecIndex, 1);
    EXPECT_EQ(loaded.formatIndex, wm::kDefaultWmaFormatIndex);
    EXPECT_EQ(loaded.mode, 0);
    ASSERT_EQ(ConvDefOutputSettingsString(viaExport, sizeof viaExport, &row), S_OK);
    EXPECT_STREQ(viaExport, "128 kbps, 44 kHz, stereo CBR");
    // A stored index reads as the row it names, 29 included.
    wm::WmaSettings stored29{1, 29, 0};
    ASSERT_TRUE(wm::saveWmaSettings(stored29));
    ASSERT_EQ(ConvDefOutputSettingsString(viaExport, sizeof viaExport, &row), S_OK);
    EXPECT_EQ(viaExport, v1[29].description);

    // Indices beyond the lists fall back to codec 0 and a sound format.
    wm::WmaSettings wild{7, 100000, 2};
    ASSERT_TRUE(wm::saveWmaSettings(wild));
    ASSERT_EQ(ConvDefOutputSettingsString(viaExport, sizeof viaExport, &row), S_OK);
    EXPECT_STREQ(viaExport, "128 kbps, 44 kHz, stereo CBR");
    uint32_t size = 0;
    ASSERT_TRUE(GetProfileBinary("WMA9", "General", nullptr, &size));
    EXPECT_EQ(size, 12u);
    PutProfileString("WMA9", nullptr, nullptr);
}

TEST(WmaTarget, WithNothingStoredAFileIsWrittenAt128KbpsAnd44kHz) {
    tallory::core::settings::openStore();
    PutProfileString("WMA9", nullptr, nullptr);
    std::string dir = scratch();
    std::string wav = makeTone(dir, "in.wav", 2.0, 22050, 1);
    WAVEFORMATEX f{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    IConvTarget* t = newTarget();
    RecordingProgress progress;
    std::string out = dir + "/default.wma";
    t->SetPath(out.c_str());
    t->SetFormat(&f);
    t->SetProgress(&progress);
    ASSERT_TRUE(t->Open()) << progress.lastText();
    std::vector<uint8_t> pcm = wavData(wav);
    ASSERT_TRUE(t->Write(static_cast<uint32_t>(pcm.size()), pcm.data()));
    ASSERT_TRUE(t->Close()) << progress.lastText();
    t->Release();
    EXPECT_EQ(probe(out, "stream=codec_name"), "wmav2");
    EXPECT_EQ(probe(out, "stream=sample_rate"), "44100");
    EXPECT_EQ(probe(out, "stream=channels"), "2");
    EXPECT_EQ(probe(out, "stream=bit_rate"), "128000");
}

TEST(WmaTarget, ACancelledConversionStillEndsAReadableFile) {
    std::string dir = scratch();
    std::string wav = makeTone(dir, "in.wav", 1.0, 44100, 2);
    std::vector<uint8_t> pcm = wavData(wav);
    WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    IConvTarget* t = newTarget();
    RecordingProgress progress;
    std::string out = dir + "/cancelled.wma";
    t->SetPath(out.c_str());
    t->SetFormat(&f);
    t->SetProgress(&progress);
    ASSERT_TRUE(t->Open());
    ASSERT_TRUE(t->Write(static_cast<uint32_t>(pcm.size() / 2), pcm.data()));
    EXPECT_EQ(static_cast<wm::WmaTarget*>(t)->time(), 5000000);
    progress.cancelled = true;
    EXPECT_TRUE(t->Close());
    EXPECT_TRUE(progress.messages.empty());
    t->Release();
    EXPECT_NEAR(std::stod(probe(out, "format=duration")), 0.5, 0.2);
}

TEST(WmaTarget, WriteAndCloseWithoutOpenFailQuietly) {
    IConvTarget* t = newTarget();
    RecordingProgress progress;
    t->SetProgress(&progress);
    uint8_t pcm[16] = {};
    EXPECT_FALSE(t->Write(sizeof pcm, pcm));
    EXPECT_TRUE(t->Close());
    EXPECT_TRUE(progress.messages.empty());
    t->Release();
}

}  // namespace
