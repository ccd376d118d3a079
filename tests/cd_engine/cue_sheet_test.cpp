// Cue sheet handling: layouts of real files, every check's code, and the lines
// made from a track list.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cd/engine/audio_file_probe.h"
#include "cd/engine/cue_sheet.h"
#include "cd/engine/engine_error.h"
#include "external_tools.h"

using namespace tallory::cd::engine;
namespace fs = std::filesystem;

namespace {

class CueSheetTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tallory_cue_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string rawFile(const std::string& name, uint64_t bytes) {
        std::string p = path(name);
        std::ofstream out(p, std::ios::binary);
        for (uint64_t i = 0; i < bytes; ++i) out.put(static_cast<char>(i * 7));
        return p;
    }

    // A CD-format WAVE file of `bytes` sample bytes, with a LIST chunk before the data.
    std::string waveFile(const std::string& name, uint32_t bytes, uint16_t channels = 2, uint32_t rate = 44100) {
        std::string p = path(name);
        std::ofstream out(p, std::ios::binary);
        auto u32 = [&out](uint32_t v) { for (int i = 0; i < 4; ++i) out.put(static_cast<char>(v >> (8 * i))); };
        auto u16 = [&out](uint16_t v) { out.put(static_cast<char>(v)); out.put(static_cast<char>(v >> 8)); };
        out.write("RIFF", 4);
        u32(4 + 24 + 12 + 8 + bytes);
        out.write("WAVE", 4);
        out.write("fmt ", 4);
        u32(16);
        u16(1);
        u16(channels);
        u32(rate);
        u32(rate * 2u * channels);
        u16(static_cast<uint16_t>(2 * channels));
        u16(16);
        out.write("LIST", 4);
        u32(4);
        out.write("INFO", 4);
        out.write("data", 4);
        u32(bytes);
        for (uint32_t i = 0; i < bytes; ++i) out.put(static_cast<char>(i));
        return p;
    }

    std::string dir_;
};

int firstError(const std::vector<std::string>& lines) {
    CueSheetBuilder b;
    for (const std::string& l : lines) {
        if (int c = b.apply(l); c != 0) return c;
    }
    return b.finish();
}

std::string cueMsf(const CuePoint& p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", p.minutes, p.seconds, p.frames);
    return buf;
}

TEST_F(CueSheetTest, SingleAudioTrackGetsPregapIndexAndLeadOut) {
    // 100 bytes short of 10 sectors: the last sector is padded.
    std::string wav = waveFile("one.wav", 10 * 2352 - 100);
    DiscLayout d = layOutDisc({"FILE " + quoteCueText(wav) + " WAVE", "TRACK 01 AUDIO", "INDEX 01 00:00:00"});
    ASSERT_EQ(d.cuePoints.size(), 3u);
    EXPECT_EQ(d.cuePoints[0].track, 1);
    EXPECT_EQ(d.cuePoints[0].index, 0);
    EXPECT_EQ(cueMsf(d.cuePoints[0]), "00:00:00");
    EXPECT_EQ(d.cuePoints[1].index, 1);
    EXPECT_EQ(cueMsf(d.cuePoints[1]), "00:02:00");
    EXPECT_EQ(d.cuePoints[2].track, kLeadOutTrack);
    EXPECT_EQ(cueMsf(d.cuePoints[2]), "00:02:10");
    EXPECT_EQ(d.totalSectors(), 10u);
    ASSERT_EQ(d.tracks.size(), 1u);
    const LayoutTrack& t = d.tracks[0];
    EXPECT_EQ(t.pregapOwn, 150u);
    EXPECT_EQ(t.start, 0);
    EXPECT_EQ(t.pregapStart, -150);
    ASSERT_EQ(t.data.size(), 1u);
    EXPECT_EQ(t.data[0].offset, 0u);
    EXPECT_EQ(t.data[0].bytes, 10u * 2352 - 100);
    EXPECT_EQ(t.data[0].sectors, 10u);
    EXPECT_EQ(d.files[0].dataOffset, 12u + 24 + 12 + 8);  // past RIFF, fmt, LIST and data headers
}

TEST_F(CueSheetTest, TwoTracksInOneFileSplitAtTheirIndexes) {
    std::string bin = rawFile("disc.bin", 2352ull * 300);
    DiscLayout d = layOutDisc({"FILE \"" + bin + "\" BINARY", "TRACK 1 AUDIO", "INDEX 1 00:00:00",
                               "TRACK 2 AUDIO", "INDEX 0 00:01:00", "INDEX 1 00:01:50", "INDEX 2 00:03:00",
                               "POSTGAP 00:00:10"});
    ASSERT_EQ(d.tracks.size(), 2u);
    EXPECT_EQ(d.tracks[0].dataSectors(), 75u);
    EXPECT_EQ(d.tracks[1].dataSectors(), 225u);
    EXPECT_EQ(d.tracks[1].data[0].offset, 75u * 2352);
    EXPECT_EQ(d.tracks[1].start, 125);
    EXPECT_EQ(d.tracks[1].postgap, 10u);
    std::vector<std::string> got;
    for (const CuePoint& p : d.cuePoints) got.push_back(std::to_string(p.track) + "." + std::to_string(p.index) + "@" + cueMsf(p));
    EXPECT_EQ(got, (std::vector<std::string>{"1.0@00:00:00", "1.1@00:02:00", "2.0@00:03:00", "2.1@00:03:50",
                                             "2.2@00:05:00", "170.1@00:06:10"}));
    EXPECT_EQ(d.totalSectors(), 310u);
}

TEST_F(CueSheetTest, DataTrackAfterAudioNeedsAThreeSecondPregap) {
    std::string wav = waveFile("a.wav", 2352 * 20);
    std::string iso = rawFile("d.iso", 2048 * 30);
    std::vector<std::string> head = {"FILE \"" + wav + "\" WAVE", "TRACK 1 AUDIO", "INDEX 01 00:00:00",
                                     "FILE \"" + iso + "\" BINARY", "TRACK 2 MODE1/2048"};
    // With a two-second pregap, and with none at all: refused at the first index.
    std::vector<std::string> two = head;
    two.push_back("PREGAP 00:02:00");
    two.push_back("INDEX 01 00:00:00");
    EXPECT_EQ(firstError(two), kErrTwoPartPregap);
    std::vector<std::string> none = head;
    none.push_back("INDEX 01 00:00:00");
    EXPECT_EQ(firstError(none), kErrTwoPartPregap);

    std::vector<std::string> three = head;
    three.push_back("PREGAP 00:03:00");
    three.push_back("INDEX 01 00:00:00");
    DiscLayout d = layOutDisc(three);
    const LayoutTrack& t = d.tracks[1];
    EXPECT_EQ(t.pregapPrevious, 75u);
    EXPECT_EQ(t.previousMode, TrackModeKind::Audio);
    EXPECT_EQ(t.previousSectorSize, 2352);
    EXPECT_EQ(t.pregapOwn, 150u);
    EXPECT_EQ(t.start, 20 + 225);
    EXPECT_EQ(d.totalSectors(), 20u + 225 + 30);

    // A data file that is not whole sectors is refused when it is closed.
    std::string odd = rawFile("odd.iso", 2048 * 3 + 5);
    EXPECT_EQ(firstError({"FILE \"" + odd + "\" BINARY", "TRACK 1 MODE1/2048", "INDEX 01 00:00:00"}),
              kErrNotBlockMultiple);
    EXPECT_EQ(firstError({"FILE \"" + odd + "\" BINARY", "TRACK 1 MODE1/2048", "INDEX 01 00:00:00", "FILE \"" + wav +
                          "\" WAVE"}),
              kErrNotBlockMultiple);
}

TEST_F(CueSheetTest, EveryCheckGivesItsCode) {
    std::string bin = rawFile("x.bin", 2352 * 100);
    std::string wav = waveFile("x.wav", 2352 * 10);
    std::string F = "FILE \"" + bin + "\" BINARY";
    std::string W = "FILE \"" + wav + "\" WAVE";
    const std::string T = "TRACK 01 AUDIO", I = "INDEX 01 00:00:00";
    struct Case {
        std::vector<std::string> lines;
        int code;
    } cases[] = {
        {{"CATALOG 0123456789012", "CATALOG 0123456789012"}, kErrOncePerDisc},
        {{"CATALOG 0123456789012 x"}, kErrCueSyntax},
        {{"CATALOG 012345678901"}, kErrCatalog},
        {{"CATALOG 012345678901A"}, kErrCatalog},
        {{"TITLE"}, kErrCueSyntax},
        {{"TITLE two words"}, kErrCueSyntax},
        {{"TITLE \"unterminated"}, kErrCueSyntax},
        {{F, F}, kErrFileWithoutTrack},
        {{F, T, F}, kErrTrackWithoutIndex},
        {{F, T, "INDEX 00 00:00:00", F}, kErrTrackWithoutIndex},
        {{"FILE \"" + bin + "\""}, kErrCueSyntax},
        {{"FILE \"" + bin + "\" MP3"}, kErrFileType},
        {{"FILE \"" + path("missing.bin") + "\" BINARY"}, kErrFindFile},
        {{"FILE \"" + dir_ + "\" BINARY"}, kErrFindFile},
        {{"FILE \"" + bin + "\" WAVE"}, kErrBadWave},
        {{"FILE \"" + wav + "\" AIFF"}, kErrBadAiff},
        {{"FILE \"" + rawFile("empty.bin", 0) + "\" BINARY"}, kErrNoData},
        {{"FILE \"" + waveFile("mono.wav", 400, 1) + "\" WAVE"}, kErrBadWave},
        {{"FILE \"" + waveFile("48k.wav", 400, 2, 48000) + "\" WAVE"}, kErrBadWave},
        {{T}, kErrNoFile},
        {{F, "TRACK 01"}, kErrCueSyntax},
        {{F, "TRACK 0 AUDIO"}, kErrTrackNumber},
        {{F, "TRACK 100 AUDIO"}, kErrTrackNumber},
        {{F, T, I, "TRACK 03 AUDIO"}, kErrTrackOrder},
        {{F, T, "TRACK 02 AUDIO"}, kErrTrackWithoutIndex},
        {{F, "TRACK 01 MODE2/2048"}, kErrBadTrackType},
        {{F, "TRACK 01 VIDEO"}, kErrBadTrackType},
        {{W, "TRACK 01 MODE1/2352"}, kErrBadTrackType},
        {{W, "TRACK 01 CDG"}, kErrBadTrackType},
        {{F, T, "ISRC USABC0400001", "ISRC USABC0400001"}, kErrOncePerTrack},
        {{"ISRC USABC0400001"}, kErrPlacement},
        {{F, T, I, "ISRC USABC0400001"}, kErrPlacement},
        {{F, T, "ISRC"}, kErrCueSyntax},
        {{F, T, "ISRC USABC040000"}, kErrIsrc},
        {{F, T, "ISRC USABCD400001"}, kErrIsrc},
        {{F, T, "ISRC usabc0400001"}, kErrIsrc},
        {{F, T, "FLAGS DCP", "FLAGS PRE"}, kErrOncePerTrack},
        {{F, T, "FLAGS LOUD"}, kErrCueSyntax},
        {{F, T, "FLAGS"}, kErrCueSyntax},
        {{F, T, I, "FLAGS DCP"}, kErrPlacement},
        {{F, T, "PREGAP 00:02:00", "PREGAP 00:02:00"}, kErrOncePerTrack},
        {{"PREGAP 00:02:00"}, kErrPlacement},
        {{F, T, "PREGAP 2"}, kErrCueSyntax},
        {{F, T, "PREGAP 80:00:00"}, kErrTime},
        {{F, T, "PREGAP 00:60:00"}, kErrTime},
        {{F, T, "PREGAP 00:00:75"}, kErrTime},
        {{F, "INDEX 01 00:00:00"}, kErrNoTrack},
        {{F, T, I, "POSTGAP 00:01:00", "INDEX 02 00:00:10"}, kErrPlacement},
        {{F, T, "INDEX 01"}, kErrCueSyntax},
        {{F, T, "INDEX 100 00:00:00"}, kErrIndexNumber},
        {{F, T, "INDEX 01 00:00:75"}, kErrTime},
        {{F, T, "INDEX 02 00:00:00"}, kErrFirstIndex},
        {{F, T, I, "INDEX 03 00:00:10"}, kErrIndexOrder},
        {{F, T, "INDEX 01 00:00:10"}, kErrFirstIndexOfFile},
        {{F, T, I, "INDEX 02 00:00:00"}, kErrIndexTimes},
        {{F, T, I, "INDEX 02 00:01:25"}, kErrIndexPastEnd},
        {{F, T, "POSTGAP 00:01:00"}, kErrPlacement},
        {{F, T, I, "POSTGAP 00:01:00", "POSTGAP 00:01:00"}, kErrOncePerTrack},
        {{F, T, I, "POSTGAP 1:2"}, kErrCueSyntax},
        {{"PERFORMER \"x\""}, -116},
        {{}, kErrNoTracks},
        {{F}, kErrNoTracks},
        {{F, T, I, W}, kErrLastFileWithoutTrack},
        {{F, T}, kErrLastTrackWithoutIndex},
        {{F, T, "INDEX 00 00:00:00"}, kErrLastTrackWithoutIndex},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& l : c.lines) joined += l + " | ";
        EXPECT_EQ(firstError(c.lines), c.code) << joined;
        EXPECT_STRNE(engineMessage(c.code), "") << c.code;
    }
}

TEST_F(CueSheetTest, ErrorsNameTheLine) {
    std::string bin = rawFile("x.bin", 2352 * 4);
    try {
        (void)layOutDisc({"FILE \"" + bin + "\" BINARY", "TRACK 01 AUDIO", "ISRC bad"});
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrIsrc);
        EXPECT_EQ(e.mainText(), "ISRC is wrong length or contains illegal characters");
        EXPECT_EQ(e.detailText(), "Invalid CUE SHEET command at line 3");
    }
    // A failed builder keeps its first code.
    CueSheetBuilder b;
    EXPECT_EQ(b.apply("TRACK 1 AUDIO"), kErrNoFile);
    EXPECT_EQ(b.apply("FILE \"" + bin + "\" BINARY"), kErrNoFile);
    EXPECT_EQ(b.finish(), kErrNoFile);
}

TEST_F(CueSheetTest, TooManyCuePointsAreRefused) {
    // 99 tracks x 11 index points + pregap + lead-out passes 1000.
    std::string bin = rawFile("many.bin", 2352ull * 99 * 12);
    std::vector<std::string> lines = {"FILE \"" + bin + "\" BINARY"};
    uint32_t at = 0;
    for (int t = 1; t <= 99; ++t) {
        lines.push_back("TRACK " + std::to_string(t) + " AUDIO");
        for (int i = 1; i <= 11; ++i, ++at) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "INDEX %02d %02u:%02u:%02u", i, at / 4500, (at / 75) % 60, at % 75);
            lines.push_back(buf);
        }
    }
    EXPECT_EQ(firstError(lines), kErrTooManyCuePoints);
    // Ten index points a track fit: 99 x 10 + 1 + 1 = 992.
    lines.assign(1, "FILE \"" + bin + "\" BINARY");
    at = 0;
    for (int t = 1; t <= 99; ++t) {
        lines.push_back("TRACK " + std::to_string(t) + " AUDIO");
        for (int i = 1; i <= 10; ++i, ++at) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "INDEX %02d %02u:%02u:%02u", i, at / 4500, (at / 75) % 60, at % 75);
            lines.push_back(buf);
        }
    }
    EXPECT_EQ(layOutDisc(lines).cuePoints.size(), 992u);
}

TEST_F(CueSheetTest, TrackListLinesRoundTripThroughTheLayout) {
    std::vector<TrackListEntry> list(3);
    list[0].path = waveFile("first \"quoted\" song.wav", 2352 * 5);
    list[0].fileType = CueFileKind::Wave;
    list[0].title = "Say \"hi\" \\ bye";
    list[1].path = rawFile("second.raw", 2352 * 7);
    list[1].titleFromFileName = true;
    list[1].isrcWanted = true;
    list[1].isrc = "GBAYE0601498";
    list[1].preEmphasis = true;
    list[1].dcp = true;
    list[1].pregap = 75 * 3 + 10;
    list[1].postgap = 20;
    list[2].path = rawFile("third.raw", 2352 * 2);
    list[2].fileType = CueFileKind::Motorola;
    DiscInfo disc;
    disc.title = "Disc \"One\"";
    disc.catalogWanted = true;
    disc.catalog = "1234567890123";
    std::vector<std::string> lines = makeCueSheetLines(disc, list);
    EXPECT_EQ(lines[0], "CATALOG 1234567890123");
    EXPECT_EQ(lines[1], "TITLE \"Disc \\\"One\\\"\"");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "PREGAP 0:3:10"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "FLAGS DCP PRE"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "TITLE \"second\""), lines.end());

    DiscLayout d = layOutDisc(lines);
    EXPECT_EQ(d.catalog, "1234567890123");
    EXPECT_EQ(d.cdText.entries[0][kCdTitle], "Disc \"One\"");
    EXPECT_EQ(d.cdText.entries[1][kCdTitle], "Say \"hi\" \\ bye");
    EXPECT_EQ(d.cdText.entries[2][kCdTitle], "second");
    EXPECT_EQ(d.cdText.trackCount(), 3);
    EXPECT_EQ(d.files[0].path, list[0].path);
    EXPECT_EQ(d.tracks[1].isrc, "GBAYE0601498");
    EXPECT_TRUE(d.tracks[1].preEmphasis && d.tracks[1].dcp && !d.tracks[1].scms);
    EXPECT_EQ(d.tracks[1].pregapOwn, 235u);
    EXPECT_EQ(d.tracks[1].start, 5 + 235);
    EXPECT_EQ(d.tracks[2].start, 5 + 235 + 7 + 20);
    EXPECT_TRUE(d.tracks[2].bigEndian(d.files));
    EXPECT_FALSE(d.tracks[0].bigEndian(d.files));
    EXPECT_EQ(d.totalSectors(), 5u + 235 + 7 + 20 + 2);

    // A mode 2 track of 2048 bytes is written as a word TRACK refuses.
    std::vector<TrackListEntry> m2(1);
    m2[0].path = rawFile("m2.bin", 2048 * 4);
    m2[0].mode = TrackModeKind::Mode2;
    m2[0].sectorSize = 2048;
    std::vector<std::string> m2lines = makeCueSheetLines(DiscInfo{}, m2);
    EXPECT_EQ(m2lines[1], "TRACK 1 MODE2/2048");
    EXPECT_EQ(firstError(m2lines), kErrBadTrackType);
}

TEST_F(CueSheetTest, ProbesAcceptWhatSoxWrites) {
    std::string wav = path("sox.wav"), aif = path("sox.aiff"), aifc = path("sox.aifc");
    int rc = 0;
    runCommand("sox -n -r 44100 -c 2 -b 16 '" + wav + "' synth 0.5 sine 440 2>&1", &rc);
    ASSERT_EQ(rc, 0);
    runCommand("sox '" + wav + "' '" + aif + "' && sox '" + wav + "' -e signed-integer '" + aifc + "' 2>&1", &rc);
    ASSERT_EQ(rc, 0);
    uint64_t samples = std::stoull(runCommand("soxi -s '" + wav + "'"));
    for (const std::string& p : {wav, aif, aifc}) {
        std::FILE* f = std::fopen(p.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        uint64_t size = fs::file_size(p);
        ReadAt read = [f](uint64_t off, void* out, size_t n) {
            return ::fseeko(f, static_cast<off_t>(off), SEEK_SET) == 0 && std::fread(out, 1, n, f) == n;
        };
        AudioDataSpan span;
        int code = p == wav ? probeWaveFile(read, size, span) : probeAiffFile(read, size, span);
        std::fclose(f);
        EXPECT_EQ(code, 0) << p;
        EXPECT_EQ(span.bytes, samples * 4) << p;
        EXPECT_LE(span.offset + span.bytes, size) << p;
    }
    DiscLayout d = layOutDisc({"FILE \"" + aif + "\" AIFF", "TRACK 1 AUDIO", "INDEX 1 00:00:00"});
    EXPECT_EQ(d.files[0].kind, CueFileKind::Aiff);
    EXPECT_EQ(d.tracks[0].dataSectors(), (samples * 4 + 2351) / 2352);

    // A WAVE whose RIFF size runs past the file is refused.
    std::vector<uint8_t> bytes = readFileBytes(wav);
    bytes[4] = 0xFF;
    bytes[5] = 0xFF;
    bytes[6] = 0xFF;
    std::ofstream(path("long.wav"), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    EXPECT_EQ(firstError({"FILE \"" + path("long.wav") + "\" WAVE"}), kErrBadWave);
}

}  // namespace
