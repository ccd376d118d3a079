// The FLAC source and target: round trips through real files checked by the
// flac tools and ffprobe, tags and pictures read by mutagen, damaged files.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "../audio_test_util.h"
#include "formats/flac/flac_metadata_file.h"
#include "metadata/metadata_tag.h"
#include "metadata/vorbis_comments.h"
#include "tallory/tallory.h"

using namespace testutil;

namespace {

std::string md5Of(const Bytes& bytes, const std::string& dir) {
    writeFile(dir + "/md5.raw", bytes);
    std::string out = run("md5sum '" + dir + "/md5.raw'");
    return out.substr(0, 32);
}

// The bytes FLAC's MD5 covers: signed samples, little-endian, in the stream's width.
Bytes signedSamples(const Bytes& pcm, int bits) {
    Bytes out = pcm;
    if (bits == 8) {
        for (uint8_t& b : out) b ^= 0x80;
    }
    return out;
}

void setText(IMetadataTag* tag, int id, const char16_t* text) {
    ITextFrame* f = nullptr;
    ASSERT_EQ(MetadataCreateFrame(id, IID_ITextFrame, reinterpret_cast<void**>(&f)), S_OK);
    f->SetText(text);
    f->AttachTo(tag);
    f->Release();
}

std::u16string textOf(IMetadataTag* tag, int id) {
    ITextFrame* f = nullptr;
    if (FAILED(tag->GetFrame(id, IID_ITextFrame, reinterpret_cast<void**>(&f))) || f == nullptr) return u"";
    char16_t buffer[256] = {};
    f->GetText(buffer, 255);
    f->Release();
    return buffer;
}

}  // namespace

TEST(FlacTarget, RoundTripsCheckedByTheFlacToolsAndFfprobe) {
    const std::string dir = scratchDir();
    struct Case {
        uint32_t rate;
        uint16_t channels;
        uint16_t bits;
    };
    const Case cases[] = {{44100, 2, 16}, {96000, 2, 24}, {8000, 1, 8}, {48000, 6, 24}, {22050, 3, 16}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch, " + std::to_string(c.bits));
        const WAVEFORMATEX f = pcmFormat(c.rate, c.channels, c.bits);
        const uint32_t frames = c.rate * 2 + 333;  // not a multiple of any block size
        const Bytes pcm = tone(f, frames);
        const std::string path = dir + "/t" + std::to_string(c.rate) + "_" + std::to_string(c.channels) + ".flac";
        // Pieces of 1001 bytes cut frames between writes.
        ASSERT_TRUE(writeThrough(CLSID_FlacTarget, path, f, pcm, 1001));

        int status = -1;
        run("flac -s -t '" + path + "' 2>&1", &status);
        EXPECT_EQ(status, 0) << "flac -t rejects the file";
        std::string md5 = run("metaflac --show-md5sum '" + path + "'");
        EXPECT_EQ(md5.substr(0, 32), md5Of(signedSamples(pcm, c.bits), dir));
        EXPECT_EQ(std::stoul(run("metaflac --show-total-samples '" + path + "'")), frames);
        EXPECT_EQ(probe(path, "bits_per_raw_sample"), std::to_string(c.bits));
        EXPECT_EQ(probe(path, "duration_ts"), std::to_string(frames));

        // The reference decoder and ours give the input back exactly.
        const Bytes decoded = runBytes("flac -s -d -c --force-raw-format --endian=little --sign=signed '" + path + "'");
        EXPECT_EQ(decoded == signedSamples(pcm, c.bits), true);
        const ReadResult r = readThrough(CLSID_FlacSource, path);
        ASSERT_TRUE(r.ran) << r.lastError();
        EXPECT_EQ(uint32_t{r.format.nChannels}, uint32_t{c.channels});
        EXPECT_EQ(uint32_t{r.format.nSamplesPerSec}, c.rate);
        EXPECT_EQ(uint32_t{r.format.wBitsPerSample}, uint32_t{c.bits});
        EXPECT_EQ(r.length, pcm.size());
        EXPECT_TRUE(r.pcm == pcm);
    }
}

TEST(FlacSource, ReadsFilesOfTheFlacCommandIncludingOddDepthsAndStartTimes) {
    const std::string dir = scratchDir();
    run("sox -n -r 32000 -c 2 -b 24 '" + dir + "/src.wav' synth 1.5 sine 300 sine 500 gain -4");
    run("sox '" + dir + "/src.wav' -b 16 '" + dir + "/s16.wav' && flac -s -f -8 -o '" + dir + "/b.flac' '" + dir +
        "/s16.wav'");
    const ReadResult full = readThrough(CLSID_FlacSource, dir + "/b.flac");
    ASSERT_TRUE(full.ran) << full.lastError();
    EXPECT_EQ(uint32_t{full.format.wBitsPerSample}, 16u);
    EXPECT_EQ(full.pcm.size(), 48000u * 4);
    const Bytes reference = runBytes("sox '" + dir + "/s16.wav' -t raw -");
    EXPECT_TRUE(full.pcm == reference);

    const ReadResult later = readThrough(CLSID_FlacSource, dir + "/b.flac", 500);
    ASSERT_TRUE(later.ran) << later.lastError();
    ASSERT_EQ(later.pcm.size(), reference.size() - 16000u * 4);
    EXPECT_TRUE(std::equal(later.pcm.begin(), later.pcm.end(), reference.begin() + 16000 * 4));
    const ReadResult past = readThrough(CLSID_FlacSource, dir + "/b.flac", 60000);
    EXPECT_TRUE(past.ran);
    EXPECT_TRUE(past.pcm.empty());

    run("sox '" + dir + "/s16.wav' -b 24 -t raw - | flac -s -f --bps=24 --sample-rate=32000 --channels=2 "
        "--endian=little --sign=signed --force-raw-format -o '" + dir + "/d.flac' -");
    const ReadResult deep = readThrough(CLSID_FlacSource, dir + "/d.flac");
    ASSERT_TRUE(deep.ran) << deep.lastError();
    EXPECT_EQ(uint32_t{deep.format.wBitsPerSample}, 24u);
    EXPECT_EQ(deep.pcm.size(), 48000u * 6);

    // Through the engine the target knows the length: a seek point per 10 s.
    run("sox -n -r 44100 -c 2 -b 16 '" + dir + "/long.wav' synth 25 sine 440");
    IConvSource* s = create<IConvSource>(CLSID_WavSource, IID_IConvSource);
    IConvTarget* t = create<IConvTarget>(CLSID_FlacTarget, IID_IConvTarget);
    s->SetPath((dir + "/long.wav").c_str());
    t->SetPath((dir + "/long.flac").c_str());
    RecordingProgress progress;
    EXPECT_EQ(AudioConvert(s, t, &progress, 0, 0, -1, -1), S_OK);
    s->Release();
    t->Release();
    EXPECT_NE(run("metaflac --list --block-type=SEEKTABLE '" + dir + "/long.flac'").find("seek points: 3"), std::string::npos);
    EXPECT_EQ(std::stoul(run("metaflac --show-total-samples '" + dir + "/long.flac'")), 44100u * 25);
}

TEST(FlacTarget, LevelOptionAndRefusedFormats) {
    const std::string dir = scratchDir();
    IConvTarget* t = create<IConvTarget>(CLSID_FlacTarget, IID_IConvTarget);
    ASSERT_NE(t, nullptr);
    char why[TALLORY_MAX_PATH] = "";
    for (const char* bad : {"9", "", "-1", "5x", "55"}) {
        EXPECT_FALSE(t->SetOption("flac-level", bad, why)) << bad;
        EXPECT_STREQ(why, "Value must be a compression level from 0 (fastest) to 8 (smallest)");
    }
    EXPECT_FALSE(t->SetOption("flac-level", nullptr, why));
    EXPECT_FALSE(t->SetOption("bitrate", "128", why));
    EXPECT_STREQ(why, "");
    EXPECT_TRUE(t->SetOption("FLAC-Level", "8", why));
    char text[64];
    ASSERT_TRUE(t->GetSettingsText(text, sizeof text));
    EXPECT_STREQ(text, "Level 8");
    t->Release();

    const WAVEFORMATEX f = pcmFormat(44100, 2, 16);
    const Bytes pcm = tone(f, 44100 * 3);
    ASSERT_TRUE(writeThrough(CLSID_FlacTarget, dir + "/l0.flac", f, pcm, 65536,
                             [](IConvTarget* x) { char e[TALLORY_MAX_PATH]; x->SetOption("flac-level", "0", e); }));
    ASSERT_TRUE(writeThrough(CLSID_FlacTarget, dir + "/l8.flac", f, pcm, 65536,
                             [](IConvTarget* x) { char e[TALLORY_MAX_PATH]; x->SetOption("flac-level", "8", e); }));
    EXPECT_LT(readFile(dir + "/l8.flac").size(), readFile(dir + "/l0.flac").size());

    // 12-bit PCM and nine channels have no FLAC stream of ours; nothing is created.
    RecordingProgress progress;
    EXPECT_FALSE(writeThrough(CLSID_FlacTarget, dir + "/bad.flac", pcmFormat(44100, 2, 12), pcm, 65536,
                              [](IConvTarget*) {}, &progress));
    EXPECT_FALSE(writeThrough(CLSID_FlacTarget, dir + "/nine.flac", pcmFormat(44100, 9, 16), pcm, 65536));
    EXPECT_FALSE(tallory::platform::pathExists(dir + "/bad.flac"));
    EXPECT_FALSE(tallory::platform::pathExists(dir + "/nine.flac"));
}

TEST(FlacMetadataFile, TagsAndPictureReadByMutagenAndBack) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/tagged.flac";
    const WAVEFORMATEX f = pcmFormat(44100, 2, 16);
    ASSERT_TRUE(writeThrough(CLSID_FlacTarget, path, f, tone(f, 44100)));
    const std::string md5Before = run("metaflac --show-md5sum '" + path + "'");

    IMetadataTag* tag = nullptr;
    ASSERT_EQ(MetadataCreateTag(&tag), S_OK);
    setText(tag, METADATA_FRAME_TIT2, u"Šum vody");
    setText(tag, METADATA_FRAME_TPE1, u"Artist");
    setText(tag, METADATA_FRAME_TALB, u"Album");
    setText(tag, METADATA_FRAME_TRCK, u"3/12");
    setText(tag, METADATA_FRAME_TCON, u"(17)");
    IUserTextFrame* user = nullptr;
    ASSERT_EQ(MetadataCreateFrame(METADATA_FRAME_TXXX, IID_IUserTextFrame, reinterpret_cast<void**>(&user)), S_OK);
    user->SetDescription(u"CATALOGNUMBER");
    user->SetText(u"XY-42");
    user->AttachTo(tag);
    user->Release();
    // A cover larger than the padding: the file is rewritten, the audio kept.
    tallory::metadata::VorbisPicture cover;
    cover.mimeType = "image/png";
    cover.description = "front";
    for (int i = 0; i < 20000; ++i) cover.data.push_back(static_cast<uint8_t>(i * 7));
    tallory::metadata::addPicture(cover, tallory::metadata::asMetadataTag(tag)->library());

    IMetadataFile* file = nullptr;
    IConvTarget* t = create<IConvTarget>(CLSID_FlacTarget, IID_IConvTarget);
    t->SetPath(path.c_str());
    ASSERT_TRUE(t->OpenTag(&file));
    t->Release();
    EXPECT_EQ(file->GetCapabilities(), METADATA_CAN_READ | METADATA_CAN_WRITE);
    ASSERT_EQ(file->WriteTag(tag), S_OK);
    tag->Release();

    int status = -1;
    run("flac -s -t '" + path + "' 2>&1", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run("metaflac --show-md5sum '" + path + "'"), md5Before);
    const std::string py =
        "/usr/bin/python3 -c \"import sys; from mutagen.flac import FLAC; f=FLAC(sys.argv[1]); "
        "print(f['title'][0], f['tracknumber'][0], f['tracktotal'][0], f['genre'][0], f['catalognumber'][0], "
        "len(f.pictures), f.pictures[0].type, f.pictures[0].mime, f.pictures[0].desc, "
        "f.pictures[0].data == bytes((i*7)%256 for i in range(20000)))\" '" + path + "'";
    EXPECT_EQ(run(py), "Šum vody 3 12 Rock XY-42 1 3 image/png front True\n");

    // And back into frames: the same texts, the picture's bytes.
    ASSERT_EQ(file->ReadTag(&tag), S_OK);
    EXPECT_EQ(textOf(tag, METADATA_FRAME_TIT2), u"Šum vody");
    EXPECT_EQ(textOf(tag, METADATA_FRAME_TRCK), u"3/12");
    EXPECT_EQ(textOf(tag, METADATA_FRAME_TCON), u"Rock");
    const auto pictures = tallory::metadata::picturesOf(tallory::metadata::asMetadataTag(tag)->library());
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].data, cover.data);
    EXPECT_EQ(pictures[0].mimeType, "image/png");
    tag->Release();

    // Tags written by metaflac come in through the same mapping.
    run("metaflac --remove-all-tags --set-tag=ALBUM=Other --set-tag='ALBUM ARTIST=Band' --set-tag=DATE=1999-04-01 '" +
        path + "'");
    ASSERT_EQ(file->ReadTag(&tag), S_OK);
    EXPECT_EQ(textOf(tag, METADATA_FRAME_TALB), u"Other");
    EXPECT_EQ(textOf(tag, METADATA_FRAME_TPE2), u"Band");
    EXPECT_EQ(textOf(tag, METADATA_FRAME_TYER), u"1999");
    tag->Release();
    file->Release();

    tallory::formats::flac::FlacMetadataFile notFlac(dir + "/missing.flac");
    IMetadataTag* none = nullptr;
    EXPECT_EQ(notFlac.ReadTag(&none), E_FAIL);
}

TEST(FlacSource, DamagedFilesStopWithAClearError) {
    const std::string dir = scratchDir();
    const std::string good = dir + "/good.flac";
    const WAVEFORMATEX f = pcmFormat(44100, 2, 16);
    ASSERT_TRUE(writeThrough(CLSID_FlacTarget, good, f, tone(f, 44100 * 2)));
    const Bytes bytes = readFile(good);

    Bytes cut(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 2));
    writeFile(dir + "/cut.flac", cut);
    ReadResult r = readThrough(CLSID_FlacSource, dir + "/cut.flac");
    EXPECT_TRUE(r.opened);
    EXPECT_FALSE(r.ran);
    EXPECT_NE(r.lastError().find("cut.flac"), std::string::npos) << r.lastError();

    Bytes flipped = bytes;
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) flipped[i] ^= 0x5A;
    writeFile(dir + "/flipped.flac", flipped);
    r = readThrough(CLSID_FlacSource, dir + "/flipped.flac");
    EXPECT_FALSE(r.ran);
    EXPECT_NE(r.lastError().find("flipped.flac"), std::string::npos) << r.lastError();

    // A wrong MD5 signature: the audio is delivered, with a warning naming the file.
    Bytes badSum = bytes;
    badSum[30] ^= 0xFF;  // inside STREAMINFO's MD5 (bytes 26 to 41)
    writeFile(dir + "/badsum.flac", badSum);
    r = readThrough(CLSID_FlacSource, dir + "/badsum.flac");
    EXPECT_TRUE(r.ran);
    bool warned = false;
    for (const auto& m : r.messages) warned |= m.text.find("badsum.flac") != std::string::npos && m.text.find("MD5") != std::string::npos;
    EXPECT_TRUE(warned);
    r = readThrough(CLSID_FlacSource, good);
    EXPECT_TRUE(r.ran);
    EXPECT_TRUE(r.messages.empty());

    writeFile(dir + "/text.flac", Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    r = readThrough(CLSID_FlacSource, dir + "/text.flac");
    EXPECT_FALSE(r.opened);
    EXPECT_NE(r.lastError().find("not a FLAC file"), std::string::npos);
    writeFile(dir + "/header.flac", Bytes(bytes.begin(), bytes.begin() + 20));
    r = readThrough(CLSID_FlacSource, dir + "/header.flac");
    EXPECT_FALSE(r.opened);
    r = readThrough(CLSID_FlacSource, dir + "/absent.flac");
    EXPECT_FALSE(r.opened);
}
