// SuggestOutputFile on Linux paths: elements, tag cleaning, the fallback to
// the source name, collisions, playlist names and every failure message.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "fake_tag.h"
#include "platform/files/file_system.h"
#include "tallory/guids.h"
#include "tallory/ref.h"
#include "tallory/tallory.h"

namespace {

namespace fs = tallory::platform;

constexpr int kWave = 1;   // registry row of ".wav"
constexpr int kAiff = 3;   // registry row of ".aif"

std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + dir + "'").c_str());
    fs::createDirectories(dir);
    return dir;
}

class Naming : public ::testing::Test {
protected:
    void SetUp() override {
        PutProfileString("Settings", nullptr, nullptr);
        source_ = new TaggedSource;
        source_->AddRef();
    }
    void TearDown() override { source_->Release(); }

    // The path, or "FAIL: reason".
    std::string suggest(const char* scheme, int format = kAiff, int capacity = 4096) {
        std::string buffer(static_cast<size_t>(capacity), '#');
        int ok = SuggestOutputFile(scheme, format, source_, buffer.data(), capacity);
        std::string text(buffer.c_str());
        return ok == 1 ? text : "FAIL: " + text;
    }
    void tag(FakeFrames frames) { source_->frames = std::move(frames); }

    TaggedSource* source_;
};

TEST_F(Naming, TagValuesLoseReservedCharactersAndTrailingSpaces) {
    source_->SetPath("/Music/a.wav");
    tag({{METADATA_FRAME_TPE1, u"AC/DC"}, {METADATA_FRAME_TIT2, u"Back?"}});
    // "\" in a scheme is a separator as "/" is.
    EXPECT_EQ(suggest("<sourcedir>\\<artist> - <title>"), "/Music/AC DC - Back.aif");
    tag({{METADATA_FRAME_TIT2, u"a\"b*c:d<e>f?g\\h|i/j"}});
    EXPECT_EQ(suggest("/o/<title>", kWave), "/o/a b c d e f g h i j.wav");
    // Defaults of frames that are absent; a present but empty frame stays empty.
    tag({{METADATA_FRAME_TIT2, u""}});
    EXPECT_EQ(suggest("/o/<artist>|<album>|<year>|<genre>|<tracknum>|<title>", kWave),
              "/o/Unknown|Unknown|0000|Unknown|00|.wav");
    // A value of dots alone must not climb out of the folder.
    tag({{METADATA_FRAME_TPE1, u".."}, {METADATA_FRAME_TIT2, u"."}});
    EXPECT_EQ(suggest("/o/<artist>/<title>", kWave), "/o/__/_.wav");
}

// An ID3v2.4 tag dates the recording in TDRC only; its year names the file.
TEST(NamingRealTags, YearOfAnId3v24RecordingTime) {
    PutProfileString("Settings", nullptr, nullptr);
    const std::string path =
        std::string(std::getenv("TALLORY_SOURCE_DIR")) + "/tests/data/id3/v24_unsync_length_indicator.mp3";
    tallory::Ref<IConvSource> source;
    ASSERT_EQ(ConvCreateObject(CLSID_Mp3WmaSource, &IID_IConvSource, reinterpret_cast<void**>(source.out())), S_OK);
    ASSERT_TRUE(source->SetPath(path.c_str()));
    std::string buffer(4096, '\0');
    ASSERT_EQ(SuggestOutputFile("/o/<year> <title>", kWave, source.get(), buffer.data(), 4096), 1);
    EXPECT_STREQ(buffer.c_str(), "/o/2001 caf\xC3\xA9 \xC3\xBF\xC3\xA0 \xC3\xBF.wav");
}

TEST_F(Naming, TrackNumbers) {
    source_->SetPath("/m/a.wav");
    for (auto [text, expected] : {std::pair{u"7/12", "07"}, {u"12/12", "12"}, {u"7", "07"}, {u"", ""},
                                  {u"3 ", "3 "}, {u"1?", "1 "}}) {
        tag({{METADATA_FRAME_TRCK, text}});
        EXPECT_EQ(suggest("/o/<tracknum>x", kWave), std::string("/o/") + expected + "x.wav");
    }
}

TEST_F(Naming, SourcePathSkipsComponentsWithTheRootFirst) {
    source_->SetPath("/Music/Rock/Album/t1.wav");
    tag({{METADATA_FRAME_TIT2, u"T"}});
    EXPECT_EQ(suggest("/Out/<sourcepath:2>/<sourcename>"), "/Out/Rock/Album/t1.aif");
    EXPECT_EQ(suggest("<sourcepath>"), "Music/Rock/Album.aif");
    EXPECT_EQ(suggest("/Out/<sourcepath:+1>/x"), "/Out/Music/Rock/Album/x.aif");
    EXPECT_EQ(suggest("/Out/<sourcepath:0>/x"), "/Out//Music/Rock/Album/x.aif");
    EXPECT_EQ(suggest("/Out<sourcepath:-3>/x"), "/Out/Music/Rock/Album/x.aif");
    EXPECT_EQ(suggest("/Out/<sourcepath:99>/x"), "/Out/x.aif");
    EXPECT_EQ(suggest("/Out/<sourcepath:99999999999999999999>/x"), "/Out/x.aif");
    // A relative source path is resolved against the working folder first.
    source_->SetPath("music/rock/t.wav");
    char here[4096];
    ASSERT_NE(::getcwd(here, sizeof here), nullptr);
    const std::string cwd = here;
    EXPECT_EQ(suggest("/Out/<sourcepath:+1>/x"), "/Out" + cwd + "/music/rock/x.aif");
    source_->SetPath("./t.wav");
    EXPECT_EQ(suggest("<sourcedir>/<sourcename>"), cwd + "/t.aif");
}

TEST_F(Naming, ElementNames) {
    source_->SetPath("/m/song.name.wav");
    tag({{METADATA_FRAME_TIT2, u"T"}});
    EXPECT_EQ(suggest("/o/<SourceName>-<TITLE>"), "/o/song.name-T.aif");
    EXPECT_EQ(suggest("<SOURCEDIR>/x"), "/m/x.aif");
    EXPECT_EQ(suggest("/o/<SourcePath>"), "FAIL: Unknown naming scheme element 'SourcePath'");
    EXPECT_EQ(suggest("/o/<sourcepath:x>"), "FAIL: Expected number after 'sourcepath:'");
    EXPECT_EQ(suggest("/o/<sourcepath:>"), "FAIL: Expected number after 'sourcepath:'");
    EXPECT_EQ(suggest("/o/<sourcepath:2x>"), "FAIL: Expected number after 'sourcepath:'");
    EXPECT_EQ(suggest("/o/<sourcepath:->"), "FAIL: Expected number after 'sourcepath:'");
    EXPECT_EQ(suggest("/o/<sourcepathx>"), "FAIL: Unknown naming scheme element 'sourcepathx'");
    EXPECT_EQ(suggest("/o/<composer>"), "FAIL: Unknown naming scheme element 'composer'");
    EXPECT_EQ(suggest("/o/<title"), "FAIL: Naming scheme element 'title' not closed with a '>' character.");
    EXPECT_EQ(suggest("/o/<a/b"), "FAIL: Naming scheme element 'a/b' not closed with a '>' character.");
    EXPECT_EQ(suggest("/o/<sourcedir>"),
              "FAIL: Naming scheme element 'sourcedir' can only be used on the first position.");
}

TEST_F(Naming, SourceElementsNeedAPath) {
    tag({{METADATA_FRAME_TIT2, u"T"}});  // no path set, as a CD track that gives none
    EXPECT_EQ(suggest("<sourcedir>/x"), "FAIL: Naming scheme element 'sourcedir' cannot be used with CD audio tracks.");
    EXPECT_EQ(suggest("/o/<sourcename>"),
              "FAIL: Naming scheme element 'sourcename' cannot be used with CD audio tracks.");
    EXPECT_EQ(suggest("/o/<sourcepath:1>"),
              "FAIL: Naming scheme element 'sourcepath' cannot be used with CD audio tracks.");
    EXPECT_EQ(suggest("/o/<title>"), "/o/T.aif");
}

TEST_F(Naming, WithoutTagTheFileNameComesFromTheSource) {
    source_->SetPath("/m/a.wav");
    source_->hasTag = false;
    EXPECT_EQ(suggest("/Out/<artist>/<title>"), "/Out/Unknown/a.aif");
    EXPECT_EQ(suggest("/Out/<artist>/<title>/"), "/Out/Unknown/a.aif");
    EXPECT_EQ(suggest("<title>"), "a.aif");
    // A tag without any of the six frames counts as none.
    source_->hasTag = true;
    tag({{METADATA_FRAME_TCOM, u"x"}});
    EXPECT_EQ(suggest("/Out/<title>"), "/Out/a.aif");
    PutProfileInt("Settings", "UseOriginalFileNameIfNoID3Tag", 0);
    EXPECT_EQ(suggest("/Out/<artist>/<title>"), "/Out/Unknown/Unknown.aif");
}

TEST_F(Naming, SpacesSeparatorsAndSpecialNames) {
    source_->SetPath("/m/a.wav");
    tag({{METADATA_FRAME_TIT2, u"T"}});
    EXPECT_EQ(suggest(" \t /o/<title> \r\n"), "/o/T.aif");
    EXPECT_EQ(suggest("/o//\\\\x\\/<title>"), "/o/x/T.aif");
    EXPECT_EQ(suggest("conOUT$"), "conOUT$");
    EXPECT_EQ(suggest("  "), "FAIL: Empty output file name specifed");
    tag({{METADATA_FRAME_TIT2, u"???"}});
    EXPECT_EQ(suggest("<title>"), "FAIL: Empty output file name specifed");
}

TEST_F(Naming, UnicodeTagTextAndItsLimit) {
    source_->SetPath("/m/a.wav");
    tag({{METADATA_FRAME_TIT2, u"\u00e9t\u00e9 \U0001D11E"}, {METADATA_FRAME_TPE1, std::u16string(1500, u'x')}});
    EXPECT_EQ(suggest("/o/<title>", kWave), "/o/\xc3\xa9t\xc3\xa9 \xf0\x9d\x84\x9e.wav");
    // Tag texts are read 1024 characters at most.
    EXPECT_EQ(suggest("<artist>", kWave), std::string(1024, 'x') + ".wav");
    tag({{METADATA_FRAME_TIT2, std::u16string(1, char16_t(0xD800)) + u"a"}});
    EXPECT_EQ(suggest("/o/<title>", kWave), "/o/\xef\xbf\xbd" "a.wav");
}

TEST_F(Naming, CollisionsAreNumbered) {
    std::string dir = scratch();
    source_->SetPath("/m/a.wav");
    tag({{METADATA_FRAME_TIT2, u"x"}});
    std::string scheme = dir + "/<title>";
    std::ofstream(dir + "/x.aif").put('1');
    std::ofstream(dir + "/x (2).aif").put('2');
    // Not stored: the default is to number.
    EXPECT_EQ(suggest(scheme.c_str()), dir + "/x (3).aif");
    fs::createDirectories(dir + "/x (3).aif");
    EXPECT_EQ(suggest(scheme.c_str()), dir + "/x (4).aif");
    PutProfileInt("Settings", "RenameOnCollision", 0);
    EXPECT_EQ(suggest(scheme.c_str()), dir + "/x.aif");
}

TEST_F(Naming, PlaylistNamesAndFormats) {
    source_->SetPath("/m/a.wav");
    tag({{METADATA_FRAME_TIT2, u"T"}});
    EXPECT_EQ(suggest("/Lists/Best Of", -1), "/Lists/Best Of.m3u");
    EXPECT_EQ(suggest("/Lists/Vol.2", -1), "/Lists/Vol.m3u");
    EXPECT_EQ(suggest("/Lists/Vol.2 x", -1), "/Lists/Vol.2 x.m3u");
    EXPECT_EQ(suggest("/Li.sts/x", -1), "/Li.sts/x.m3u");
    EXPECT_EQ(suggest("/o/<title>", 7), "/o/T.flac");
    EXPECT_EQ(suggest("/o/<title>", 8), "/o/T.opus");
    EXPECT_EQ(suggest("/o/<title>", 9), "FAIL: Invalid output format");
    EXPECT_EQ(suggest("/o/<title>", -2), "FAIL: Invalid output format");
    EXPECT_EQ(suggest("/o/<title>", 0), "/o/T.mp3");
}

TEST_F(Naming, ALongNameIsRefusedNotCut) {
    source_->SetPath("/m/a.wav");
    tag({{METADATA_FRAME_TIT2, u"title"}});
    EXPECT_EQ(suggest("/o/<title>", kWave, 13), "/o/title.wav");
    std::string refused = suggest("/o/<title>", kWave, 12);
    EXPECT_EQ(refused.rfind("FAIL: Output file", 0), 0u) << refused;
    EXPECT_EQ(refused.size(), 11u + 6);
    char buffer[4] = "abc";
    EXPECT_EQ(SuggestOutputFile("/o/x", kWave, source_, buffer, 0), 0);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(SuggestOutputFile("/o/x", kWave, source_, nullptr, 10), 0);
    // No source at all: no path, no tag, so no source name to fall back on.
    char out[128];
    EXPECT_EQ(SuggestOutputFile("/o/<artist>", kWave, nullptr, out, sizeof out), 0);
    EXPECT_STREQ(out, "Naming scheme element 'sourcename' cannot be used with CD audio tracks.");
    PutProfileInt("Settings", "UseOriginalFileNameIfNoID3Tag", 0);
    EXPECT_EQ(SuggestOutputFile("/o/<artist>", kWave, nullptr, out, sizeof out), 1);
    EXPECT_STREQ(out, "/o/Unknown.wav");
}

}  // namespace
