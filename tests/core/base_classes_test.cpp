// The shared source and target behaviour: paths, lengths, the open guard,
// reference counting and output preparation on a real file system.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "core/report.h"
#include "core/source_base.h"
#include "core/target_base.h"
#include "platform/files/file_system.h"
#include "recording_progress.h"

namespace {

using namespace tallory::core;
namespace fs = tallory::platform;

int liveObjects = 0;

class FakeSource : public SourceBase {
public:
    FakeSource() { ++liveObjects; }
    ~FakeSource() override { --liveObjects; }
    bool GetClassId(CLSID* id) override {
        *id = CLSID_WavSource;
        return true;
    }
    bool Open() override {
        if (!SourceBase::Open()) return false;
        format_ = WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
        totalLength_ = 176400 * 10;
        return true;
    }
};

class FakeTarget : public TargetBase {
public:
    FakeTarget() : TargetBase(CLSID_AiffTarget) { ++liveObjects; }
    ~FakeTarget() override { --liveObjects; }
    bool GetClassId(CLSID* id) override {
        *id = CLSID_AiffTarget;
        return true;
    }
    bool ShowSettings(HWND, IConvTarget**) override { return false; }
};

std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + dir + "'").c_str());
    fs::createDirectories(dir);
    return dir;
}

TEST(SourceBase, PathBuffers) {
    FakeSource s;
    char buf[64];
    EXPECT_FALSE(s.GetFileName(buf, sizeof buf));
    EXPECT_FALSE(s.GetDirectory(buf, sizeof buf));
    EXPECT_FALSE(s.SetPath(nullptr));
    ASSERT_TRUE(s.SetPath("/music/album/song.wav"));
    const int len = 21;
    EXPECT_FALSE(s.GetPath(buf, len));  // no room for the terminator
    ASSERT_TRUE(s.GetPath(buf, len + 1));
    EXPECT_STREQ(buf, "/music/album/song.wav");
    EXPECT_FALSE(s.GetPath(nullptr, 100));

    ASSERT_TRUE(s.GetFileName(buf, sizeof buf));
    EXPECT_STREQ(buf, "song.wav");
    ASSERT_TRUE(s.GetFileName(buf, 5));
    EXPECT_STREQ(buf, "song");
    ASSERT_TRUE(s.GetDirectory(buf, sizeof buf));
    EXPECT_STREQ(buf, "/music/album");
    EXPECT_FALSE(s.GetDirectory(buf, 8));  // a cut directory would name another folder

    s.SetPath("bare.wav");
    EXPECT_FALSE(s.GetDirectory(buf, sizeof buf));
    s.SetPath("/root.wav");
    ASSERT_TRUE(s.GetDirectory(buf, sizeof buf));
    EXPECT_STREQ(buf, "/");
}

TEST(SourceBase, OpenGuardAndMessages) {
    RecordingProgress progress;
    FakeSource s;
    s.SetProgress(&progress);
    EXPECT_FALSE(s.Run(nullptr));
    ASSERT_EQ(progress.messages.size(), 1u);
    EXPECT_EQ(progress.messages[0].text, "Source object is not opened\n");
    EXPECT_EQ(progress.messages[0].kinds, "e");
    ASSERT_TRUE(s.Open());
    EXPECT_FALSE(s.Open());
    EXPECT_EQ(progress.lastText(), "Source file or track is already opened\n");
    EXPECT_TRUE(s.Close());
    EXPECT_TRUE(s.Open());
    s.SetProgress(nullptr);
    EXPECT_FALSE(s.Open());  // still refused, nothing to report to
    EXPECT_EQ(progress.messages.size(), 2u);
}

TEST(SourceBase, LengthsAndFormat) {
    FakeSource s;
    uint32_t bytes = 0;
    WAVEFORMATEX wf{};
    EXPECT_FALSE(s.GetLength(&bytes, -1, -1));
    EXPECT_FALSE(s.GetFormat(&wf));
    ASSERT_TRUE(s.Open());
    EXPECT_FALSE(s.GetLength(nullptr, -1, -1));
    ASSERT_TRUE(s.GetLength(&bytes, -1, -1));
    EXPECT_EQ(bytes, 1764000u);
    ASSERT_TRUE(s.GetLength(&bytes, -1, 500));
    EXPECT_EQ(bytes, 88200u);
    ASSERT_TRUE(s.GetLength(&bytes, 1000, -1));
    EXPECT_EQ(bytes, 1764000u - 176400u);
    ASSERT_TRUE(s.GetLength(&bytes, 250, 251));
    EXPECT_EQ(bytes, 176u);  // 176.4 truncated toward zero
    ASSERT_TRUE(s.GetLength(&bytes, 0, 20000));
    EXPECT_EQ(bytes, 3528000u);  // not clamped to the total
    ASSERT_TRUE(s.GetLength(&bytes, 5000, 1000));
    EXPECT_EQ(bytes, 0u);  // an end before the start is empty, not a wrapped number
    ASSERT_TRUE(s.GetFormat(&wf));
    EXPECT_EQ(wf.nSamplesPerSec, 44100u);
    EXPECT_EQ(wf.nBlockAlign, 4);
}

TEST(ReferenceCounting, QueryInterfaceRules) {
    liveObjects = 0;
    IConvSource* source = new FakeSource;
    void* p = nullptr;
    EXPECT_EQ(source->QueryInterface(IID_IConvTarget, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    ASSERT_EQ(source->QueryInterface(IID_IConvSource, &p), S_OK);
    EXPECT_EQ(p, source);
    ASSERT_EQ(source->QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(source->Release(), 1u);
    EXPECT_EQ(liveObjects, 1);

    IConvTarget* target = new FakeTarget;
    target->AddRef();
    EXPECT_EQ(target->QueryInterface(IID_IConvSource, &p), E_NOINTERFACE);
    EXPECT_EQ(target->GetFormatIndex(), 3);  // the AIFF row
    ASSERT_TRUE(target->SetSource(source));
    EXPECT_EQ(source->Release(), 1u);  // the target holds the source alive
    EXPECT_EQ(liveObjects, 2);
    EXPECT_FALSE(target->SetSource(nullptr));  // releases what it had
    EXPECT_EQ(liveObjects, 1);

    IConvSource* second = new FakeSource;
    second->AddRef();
    target->SetSource(second);
    second->Release();
    EXPECT_EQ(target->Release(), 0u);  // destruction releases the source too
    EXPECT_EQ(liveObjects, 0);
}

TEST(TargetBase, DefaultsAndFormat) {
    FakeTarget t;
    char buf[16];
    EXPECT_FALSE(t.GetPath(buf, sizeof buf));
    t.SetPath("/a/very/long/output/path.aif");
    ASSERT_TRUE(t.GetPath(buf, 8));
    EXPECT_STREQ(buf, "/a/very");
    ASSERT_TRUE(t.GetSettingsText(buf, 3));
    EXPECT_STREQ(buf, "No");
    ASSERT_TRUE(t.GetSettingsText(buf, sizeof buf));
    EXPECT_STREQ(buf, "None");
    char err[TALLORY_MAX_PATH] = "unchanged";
    EXPECT_FALSE(t.SetOption("anything", "1", err));
    EXPECT_STREQ(err, "");
    uint32_t out = 7;
    EXPECT_FALSE(t.EstimateSize(100, nullptr, &out));
    EXPECT_FALSE(t.SetFormat(nullptr));
    IMetadataFile* tag = reinterpret_cast<IMetadataFile*>(&t);
    EXPECT_FALSE(t.OpenTag(&tag));
    EXPECT_EQ(tag, nullptr);
}

TEST(TargetBase, OpenCreatesMissingDirectoriesOutermostFirst) {
    std::string base = scratch();
    RecordingProgress progress;
    FakeTarget t;
    t.SetProgress(&progress);
    t.SetPath((base + "/one/two/out.aif").c_str());
    ASSERT_TRUE(t.Open());
    EXPECT_TRUE(fs::isDirectory(base + "/one"));
    EXPECT_TRUE(fs::isDirectory(base + "/one/two"));
    EXPECT_TRUE(progress.messages.empty());

    // A file where a directory must go cannot be turned into one.
    std::ofstream(base + "/blocker") << "x";
    t.SetPath((base + "/blocker/sub/out.aif").c_str());
    EXPECT_FALSE(t.Open());
    EXPECT_EQ(progress.lastText(), "Cannot create directory: " + base + "/blocker/sub\n");
    EXPECT_EQ(progress.messages.back().kinds, "e");

    t.SetPath("relative-output.aif");  // no directory part: nothing to create
    EXPECT_TRUE(t.Open());
}

TEST(TargetBase, OverwriteRule) {
    std::string base = scratch();
    std::string out = base + "/exists.aif";
    std::ofstream(out) << "keep me";
    RecordingProgress progress;
    FakeTarget t;
    t.SetPath(out.c_str());

    EXPECT_FALSE(t.Open());  // no callback to ask: refused, never replaced
    EXPECT_TRUE(fs::pathExists(out));

    t.SetProgress(&progress);
    progress.overwriteAnswer = 0;
    EXPECT_FALSE(t.Open());
    EXPECT_EQ(progress.lastText(), "Output file already exists\n");
    ASSERT_EQ(progress.overwriteQuestions.size(), 1u);
    EXPECT_EQ(progress.overwriteQuestions[0], out);
    std::ifstream in(out);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");

    // Allowed to overwrite, the old file stays until the new output replaces it whole.
    progress.overwriteAnswer = 1;
    EXPECT_TRUE(t.Open());
    EXPECT_TRUE(fs::pathExists(out));

    // A directory in the way cannot be replaced by a file.
    ASSERT_EQ(std::remove(out.c_str()), 0);
    fs::createDirectories(out);
    EXPECT_FALSE(t.Open());
    EXPECT_EQ(progress.lastText(), "Cannot overwrite output file\n");
}

TEST(Report, FormatsAppendsLineFeedAndCuts) {
    RecordingProgress progress;
    report(&progress, "ib", "%d of %s", 3, "five");
    ASSERT_EQ(progress.messages.size(), 1u);
    EXPECT_EQ(progress.messages[0].text, "3 of five\n");
    EXPECT_EQ(progress.messages[0].kinds, "ib");
    std::string huge(5000, 'x');
    report(&progress, "e", "%s", huge.c_str());
    EXPECT_EQ(progress.messages[1].text.size(), 1024u);  // 1023 characters and the line feed
    EXPECT_EQ(progress.messages[1].text.back(), '\n');
    report(nullptr, "e", "nobody listens");  // must not crash
}

}  // namespace
