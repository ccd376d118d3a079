// The Opus source and target: gapless length checked by opusdec and ffmpeg,
// tags and pictures read by mutagen after the header rewrite, damaged files.
#include <gtest/gtest.h>

#include <string>

#include "../audio_test_util.h"
#include "formats/ogg/ogg_headers.h"
#include "formats/opus/opus_metadata_file.h"
#include "metadata/metadata_tag.h"
#include "metadata/vorbis_comments.h"
#include "tallory/tallory.h"

using namespace testutil;
using tallory::Ref;

namespace {

size_t ffmpegSamples(const std::string& path, int channels) {
    return runBytes("ffmpeg -v error -i '" + path + "' -f s16le -ar 48000 -").size() / (2u * channels);
}

}  // namespace

TEST(OpusTarget, DecodedLengthEqualsTheInputAt48kHz) {
    const std::string dir = scratchDir();
    struct Case {
        uint32_t rate;
        uint16_t channels;
        uint16_t bits;
        uint32_t frames;
    };
    const Case cases[] = {{48000, 2, 16, 77777}, {44100, 2, 16, 100000}, {44100, 1, 24, 44100}, {16000, 6, 16, 16000 * 2 + 5},
                          {8000, 1, 8, 8123}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch");
        const WAVEFORMATEX f = pcmFormat(c.rate, c.channels, c.bits);
        const std::string path = dir + "/t" + std::to_string(c.rate) + "_" + std::to_string(c.channels) + ".opus";
        ASSERT_TRUE(writeThrough(CLSID_OpusTarget, path, f, tone(f, c.frames), 999));
        const size_t expected = static_cast<size_t>(static_cast<uint64_t>(c.frames) * 48000 / c.rate);
        // opusdec resamples to the original rate unless told; at 48 kHz it shows the stored length.
        run("opusdec --quiet --rate 48000 '" + path + "' '" + dir + "/dec.wav' 2>/dev/null");
        const std::string soxi = run("soxi -s '" + dir + "/dec.wav'");
        ASSERT_FALSE(soxi.empty());
        EXPECT_NEAR(static_cast<double>(std::stoul(soxi)), static_cast<double>(expected), 1.0);
        EXPECT_EQ(ffmpegSamples(path, c.channels), std::stoul(soxi));
        EXPECT_EQ(probe(path, "codec_name"), "opus");
        const ReadResult r = readThrough(CLSID_OpusSource, path);
        ASSERT_TRUE(r.ran) << r.lastError();
        EXPECT_EQ(uint32_t{r.format.nSamplesPerSec}, 48000u);
        EXPECT_EQ(uint32_t{r.format.nChannels}, uint32_t{c.channels});
        EXPECT_EQ(r.pcm.size() / (2u * c.channels), std::stoul(soxi));
        EXPECT_EQ(r.length, r.pcm.size());
    }
    // Our decoder and ffmpeg's agree sample for sample within rounding.
    const std::string path = dir + "/t48000_2.opus";
    const ReadResult r = readThrough(CLSID_OpusSource, path);
    EXPECT_GT(snr16(runBytes("ffmpeg -v error -i '" + path + "' -f s16le -"), r.pcm), 40.0);
}

TEST(OpusTarget, BitrateAndVbrOptions) {
    const std::string dir = scratchDir();
    IConvTarget* t = create<IConvTarget>(CLSID_OpusTarget, IID_IConvTarget);
    char why[TALLORY_MAX_PATH] = "";
    for (const char* bad : {"5", "513", "", "12k", "-64"}) {
        EXPECT_FALSE(t->SetOption("opus-bitrate", bad, why)) << bad;
        EXPECT_STREQ(why, "Value must be a bitrate in kbit/s from 6 to 512");
    }
    EXPECT_FALSE(t->SetOption("opus-vbr", "2", why));
    EXPECT_STREQ(why, "Value must be 1 (variable bitrate) or 0 (constant bitrate)");
    EXPECT_FALSE(t->SetOption("flac-level", "5", why));
    char text[64];
    WAVEFORMATEX stereo = pcmFormat(44100, 2, 16);
    t->SetFormat(&stereo);
    ASSERT_TRUE(t->GetSettingsText(text, sizeof text));
    EXPECT_STREQ(text, "VBR 128 kbps");
    EXPECT_TRUE(t->SetOption("Opus-Bitrate", "64", why));
    EXPECT_TRUE(t->SetOption("opus-vbr", "0", why));
    ASSERT_TRUE(t->GetSettingsText(text, sizeof text));
    EXPECT_STREQ(text, "CBR 64 kbps");
    t->Release();

    const WAVEFORMATEX f = pcmFormat(48000, 2, 16);
    const Bytes pcm = tone(f, 48000 * 4);
    auto rate = [&](const char* kbps, const char* vbr, const std::string& name) {
        EXPECT_TRUE(writeThrough(CLSID_OpusTarget, dir + "/" + name, f, pcm, 65536, [&](IConvTarget* x) {
            char e[TALLORY_MAX_PATH];
            x->SetOption("opus-bitrate", kbps, e);
            x->SetOption("opus-vbr", vbr, e);
        }));
        return readFile(dir + "/" + name).size() * 8.0 / 4.0 / 1000.0;  // kbit/s
    };
    EXPECT_NEAR(rate("64", "0", "cbr64.opus"), 64, 6);
    EXPECT_NEAR(rate("160", "0", "cbr160.opus"), 160, 12);
    EXPECT_NE(run("opusinfo '" + dir + "/cbr64.opus'").find("Original sample rate: 48000"), std::string::npos);
}

TEST(OpusMetadataFile, CommentsAndPictureSurviveTheHeaderRewrite) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/tagged.opus";
    const WAVEFORMATEX f = pcmFormat(44100, 2, 16);
    ASSERT_TRUE(writeThrough(CLSID_OpusTarget, path, f, tone(f, 44100 * 3)));
    const size_t before = ffmpegSamples(path, 2);

    IMetadataTag* tag = nullptr;
    ASSERT_EQ(MetadataCreateTag(&tag), S_OK);
    ID3_Tag& library = tallory::metadata::asMetadataTag(tag)->library();
    tallory::metadata::readVorbisComments(
        std::vector<std::string>{"TITLE=Ünïcode", "ARTIST=Someone", "REPLAYGAIN_TRACK_GAIN=-1.00 dB", "R128_TRACK_GAIN=-256"},
        library);
    // A picture of 300 kB spreads the comment header over several pages, so
    // every audio page's sequence number moves.
    tallory::metadata::VorbisPicture cover;
    cover.mimeType = "image/jpeg";
    for (int i = 0; i < 300000; ++i) cover.data.push_back(static_cast<uint8_t>(i * 13 + 1));
    tallory::metadata::addPicture(cover, library);
    tallory::formats::opus::OpusMetadataFile file(path);
    file.AddRef();
    ASSERT_EQ(file.WriteTag(tag), S_OK);
    tag->Release();

    EXPECT_EQ(ffmpegSamples(path, 2), before);
    const std::string info = run("opusinfo '" + path + "' 2>&1");
    // Sequence gaps or holes would mean the renumbered pages are wrong (the
    // picture's bytes are no real JPEG, which opusinfo notes separately).
    EXPECT_EQ(info.find("gap"), std::string::npos) << info;
    EXPECT_EQ(info.find("hole"), std::string::npos) << info;
    EXPECT_EQ(run("/usr/bin/python3 -c \"import sys, base64; from mutagen.oggopus import OggOpus; "
                  "from mutagen.flac import Picture; t=OggOpus(sys.argv[1]).tags; "
                  "p=Picture(base64.b64decode(t['METADATA_BLOCK_PICTURE'][0])); "
                  "print(t['title'][0], t['r128_track_gain'][0], 'REPLAYGAIN_TRACK_GAIN' in t, p.mime, "
                  "p.data == bytes((i*13+1)%256 for i in range(300000)))\" '" + path + "'"),
              "Ünïcode -256 False image/jpeg True\n");

    IMetadataTag* back = nullptr;
    ASSERT_EQ(file.ReadTag(&back), S_OK);
    const auto pictures = tallory::metadata::picturesOf(tallory::metadata::asMetadataTag(back)->library());
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].data, cover.data);
    back->Release();

    // A smaller tag afterwards moves the pages back.
    ASSERT_EQ(MetadataCreateTag(&tag), S_OK);
    ASSERT_EQ(file.WriteTag(tag), S_OK);
    tag->Release();
    EXPECT_EQ(ffmpegSamples(path, 2), before);
    EXPECT_EQ(run("opusinfo '" + path + "' 2>&1").find("WARNING"), std::string::npos);  // no picture left

    tallory::formats::opus::OpusMetadataFile notOpus(dir + "/none.opus");
    EXPECT_EQ(notOpus.ReadTag(&back), E_FAIL);
}

TEST(OpusSource, DamagedFilesStopWithAClearError) {
    const std::string dir = scratchDir();
    const std::string good = dir + "/good.opus";
    const WAVEFORMATEX f = pcmFormat(48000, 2, 16);
    ASSERT_TRUE(writeThrough(CLSID_OpusTarget, good, f, tone(f, 48000 * 3)));
    const Bytes bytes = readFile(good);

    writeFile(dir + "/cut.opus", Bytes(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() * 2 / 3)));
    ReadResult r = readThrough(CLSID_OpusSource, dir + "/cut.opus");
    EXPECT_FALSE(r.opened && r.ran);
    EXPECT_NE(r.lastError().find("cut.opus"), std::string::npos) << r.lastError();

    Bytes flipped = bytes;
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 40; ++i) flipped[i] ^= 0xA5;
    writeFile(dir + "/flipped.opus", flipped);
    r = readThrough(CLSID_OpusSource, dir + "/flipped.opus");
    EXPECT_FALSE(r.opened && r.ran);
    EXPECT_NE(r.lastError().find("flipped.opus"), std::string::npos) << r.lastError();

    writeFile(dir + "/junk.opus", Bytes(5000, 0x42));
    r = readThrough(CLSID_OpusSource, dir + "/junk.opus");
    EXPECT_FALSE(r.opened);
    EXPECT_NE(r.lastError().find("not an Ogg Opus file"), std::string::npos);
    // An Ogg Vorbis file is Ogg, but no Opus.
    run("sox -n -r 44100 -c 1 '" + dir + "/v.ogg' synth 0.5 sine 440 2>/dev/null; cp '" + dir + "/v.ogg' '" + dir + "/v.opus'");
    r = readThrough(CLSID_OpusSource, dir + "/v.opus");
    EXPECT_FALSE(r.opened);
    r = readThrough(CLSID_OpusSource, good, 2000);
    ASSERT_TRUE(r.ran);
    EXPECT_NEAR(static_cast<double>(r.pcm.size() / 4), 48000.0, 2.0);
}

TEST(OpusTarget, ConversionCarriesTheSourcesTagsAndPicture) {
    const std::string dir = scratchDir();
    run("sox -n -r 44100 -c 2 -b 16 '" + dir + "/in.wav' synth 2.2 sine 330 sine 550 gain -3");
    run("printf 'PNGDATA' > '" + dir + "/cover.png'");
    run("flac -s -f --tag=TITLE=Carried --tag=ARTIST=Singer --tag=TRACKNUMBER=2 --tag=TRACKTOTAL=5 "
        "--picture='3|image/png|front|1x1x24|" + dir + "/cover.png' -o '" + dir + "/in.flac' '" + dir + "/in.wav' 2>/dev/null");
    IConvSource* s = create<IConvSource>(CLSID_FlacSource, IID_IConvSource);
    IConvTarget* t = create<IConvTarget>(CLSID_OpusTarget, IID_IConvTarget);
    s->SetPath((dir + "/in.flac").c_str());
    t->SetPath((dir + "/out.opus").c_str());
    RecordingProgress progress;
    ASSERT_EQ(AudioConvert(s, t, &progress, 0, 0, -1, -1), S_OK);
    s->Release();
    t->Release();
    EXPECT_EQ(run("/usr/bin/python3 -c \"import sys, base64; from mutagen.oggopus import OggOpus; "
                  "from mutagen.flac import Picture; t=OggOpus(sys.argv[1]).tags; "
                  "p=Picture(base64.b64decode(t['METADATA_BLOCK_PICTURE'][0])); "
                  "print(t['title'][0], t['artist'][0], t['tracknumber'][0], t['tracktotal'][0], "
                  "t['encodersettings'][0], p.desc, p.data)\" '" + dir + "/out.opus'"),
              "Carried Singer 2 5 Tallory, VBR 128 kbps front b'PNGDATA'\n");
    EXPECT_EQ(ffmpegSamples(dir + "/out.opus", 2), 105600u);  // 2.2 s at 48 kHz
}

// VBR is free VBR, as opusenc makes it: on material that needs fewer bits than
// the target the file comes out as small as opusenc's (constrained VBR kept it
// near 128 kbit/s, a third larger), and 16-bit input is coded as 16-bit.
TEST(OpusTarget, VariableBitrateMatchesOpusenc) {
    const std::string dir = scratchDir();
    run("sox -n -r 44100 -b 16 -c 2 '" + dir + "/in.wav' synth 20 pinknoise synth 20 sine mix 220-880 "
        "synth 20 sine mix 330-660 vol -6dB 2>/dev/null");
    run("opusenc --quiet --bitrate 128 '" + dir + "/in.wav' '" + dir + "/ref.opus'");
    Ref<IConvSource> s(create<IConvSource>(CLSID_WavSource, IID_IConvSource));
    Ref<IConvTarget> t(create<IConvTarget>(CLSID_OpusTarget, IID_IConvTarget));
    s->SetPath((dir + "/in.wav").c_str());
    t->SetPath((dir + "/ours.opus").c_str());
    char why[TALLORY_MAX_PATH];
    ASSERT_TRUE(t->SetOption("opus-bitrate", "128", why));
    RecordingProgress progress;
    ASSERT_EQ(AudioConvert(s.get(), t.get(), &progress, 0, 0, -1, -1), S_OK);
    const double ours = static_cast<double>(readFile(dir + "/ours.opus").size());
    const double theirs = static_cast<double>(readFile(dir + "/ref.opus").size());
    EXPECT_NEAR(ours / theirs, 1.0, 0.05) << ours << " vs " << theirs;
    EXPECT_LT(ours * 8 / 20 / 1000, 115.0);  // kbit/s: clearly under the constrained rate
}

// RFC 7845 5.2: binary data after the comments that starts with a set lowest
// bit is kept through a rewrite; padding (lowest bit clear) is not.
TEST(OpusMetadataFile, KeepsTheDataEditorsMustKeepAndDropsPadding) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/trailer.opus";
    const WAVEFORMATEX f = pcmFormat(48000, 1, 16);
    ASSERT_TRUE(writeThrough(CLSID_OpusTarget, path, f, tone(f, 48000)));
    namespace opus = tallory::formats::opus;
    for (const Bytes& trailer : {Bytes{0x01, 0xAA, 0xBB}, Bytes(10, 0x00)}) {
        SCOPED_TRACE(trailer.size());
        std::string why;
        std::vector<uint8_t> packet = opus::renderOpusTags({"vendor x", {"TITLE=Before"}});
        packet.insert(packet.end(), trailer.begin(), trailer.end());
        ASSERT_TRUE(tallory::formats::ogg::rewriteComment(path, tallory::formats::ogg::kOpusHeaders, packet, &why)) << why;
        ASSERT_TRUE(opus::writeOpusTags(path, {"TITLE=After"}, &why)) << why;
        auto raw = tallory::formats::ogg::readCommentPacket(path, tallory::formats::ogg::kOpusHeaders, &why);
        ASSERT_TRUE(raw);
        std::vector<uint8_t> expected = opus::renderOpusTags({"vendor x", {"TITLE=After"}});
        if (trailer[0] & 1) expected.insert(expected.end(), trailer.begin(), trailer.end());
        EXPECT_EQ(*raw, expected);
        EXPECT_EQ(run("/usr/bin/python3 -c \"import sys; from mutagen.oggopus import OggOpus; "
                      "print(OggOpus(sys.argv[1]).tags['title'][0])\" '" + path + "'"),
                  "After\n");
    }
}
