// BatchConvert: per-item log and kinds, counts, naming and conversion
// failures, cancellation, album playlists, the closing message box, and
// several jobs giving the same outputs and log as one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "core/batch_convert.h"
#include "fake_tag.h"
#include "platform/files/file_system.h"
#include "recording_progress.h"
#include "tallory/tallory.h"

namespace {

namespace fs = tallory::platform;
using tallory::core::runBatch;

std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + dir + "'").c_str());
    fs::createDirectories(dir);
    return dir;
}

// The batch window's slots, recorded; safe for items that run at once.
class RecordingBatchProgress : public IConvBatchProgress {
public:
    std::mutex mutex;
    std::vector<RecordedMessage> messages;
    std::vector<std::string> items;
    int started = -1, nextItems = 0, finished = 0;
    bool twoPasses = false;
    std::atomic<bool> cancelled{false};

    int ConfirmOverwrite(const char*) override { return 0; }
    void Message(const char* text) override { MessageEx(text, ""); }
    void MessageEx(const char* text, const char* kinds) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back({text, kinds});
    }
    void SetRange(uint32_t) override {}
    void SetPos(uint32_t) override {}
    void Advance(uint32_t) override {}
    void SetAction(const char*) override {}
    int IsCancelled() override { return cancelled ? 1 : 0; }
    void SetItem(const char* text, int) override {
        std::lock_guard<std::mutex> lock(mutex);
        items.emplace_back(text);
    }
    void Throughput(const CLSID&, int, uint32_t, uint32_t) override {}
    void Destroy() override { destroyed = true; }
    void Cancel() override { cancelled = true; }
    HWND GetWindow() override { return nullptr; }
    HWND GetItemControl() override { return nullptr; }
    void Create(HWND) override {}
    void Finish() override { ++finished; }
    void Show() override {}
    void StartBatch(IConvSource**, IConvTarget**, bool two, int count) override {
        started = count;
        twoPasses = two;
    }
    void NextItem() override { ++nextItems; }

    bool destroyed = false;
    // The whole log as one text, each piece prefixed by its kinds.
    std::string log() {
        std::string all;
        for (const auto& m : messages) all += "[" + m.kinds + "]" + m.text;
        return all;
    }
    bool has(const std::string& text, const std::string& kinds) {
        for (const auto& m : messages) {
            if (m.text == text && m.kinds == kinds) return true;
        }
        return false;
    }
};

// A memory target that leaves a file where a real target would, so that
// collisions are seen by the naming of later items.
class FileTarget : public MemoryTarget {
public:
    bool Open() override {
        if (!MemoryTarget::Open()) return false;
        std::ofstream(path()).put('x');
        return true;
    }
};

// Owns the sources, targets and the item array of one batch.
class Batch {
public:
    ~Batch() {
        for (auto* s : sources) s->Release();
        for (auto* t : targets) t->Release();
    }
    TaggedSource* add(const std::string& scheme, const std::string& sourcePath, size_t bytes = 44100 * 4) {
        auto* s = new TaggedSource;
        s->AddRef();
        s->SetPath(sourcePath.c_str());
        s->pcm.resize(bytes);
        std::mt19937 random(static_cast<unsigned>(sources.size() + 7));
        for (auto& b : s->pcm) b = static_cast<uint8_t>(random());
        s->hasTag = false;
        auto* t = new FileTarget;
        t->AddRef();
        sources.push_back(s);
        targets.push_back(t);
        BatchItem item{};
        std::snprintf(item.scheme, sizeof item.scheme, "%s", scheme.c_str());
        item.startMs = item.endMs = -1;
        item.source = s;
        item.target = t;
        items.push_back(item);
        return s;
    }
    const BatchItem* array() {
        terminated = items;
        terminated.push_back(BatchItem{});
        return terminated.data();
    }
    std::vector<TaggedSource*> sources;
    std::vector<FileTarget*> targets;
    std::vector<BatchItem> items, terminated;
};

struct MessageBoxes {
    static inline std::vector<std::string> texts;
    static inline std::vector<uint32_t> styles;
    static inline RecordingBatchProgress* window = nullptr;
    static int record(HWND, const char* text, const char*, uint32_t style) {
        texts.emplace_back(text);
        styles.push_back(style);
        return IDOK;
    }
    static IConvBatchProgress* create() { return window; }
};

class BatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = scratch();
        PutProfileString("Settings", nullptr, nullptr);
        PutProfileInt("Settings", "HighPriority", 0);
        MessageBoxes::texts.clear();
        MessageBoxes::styles.clear();
    }
    void TearDown() override { TalloryRegisterUi(nullptr); }
    // Routes the window and the message box to recorders, as a UI module would.
    void useRecordingUi(RecordingBatchProgress& window) {
        MessageBoxes::window = &window;
        TalloryUiHooks hooks{};
        hooks.size = sizeof hooks;
        hooks.messageBox = MessageBoxes::record;
        hooks.createBatchProgress = MessageBoxes::create;
        TalloryRegisterUi(&hooks);
    }
    std::string dir_;
};

TEST_F(BatchTest, MixedBatchCountsAndLogs) {
    Batch b;
    b.add(dir_ + "/out/<sourcename>", dir_ + "/in/one.wav");
    // Without a tag the file-name part becomes <sourcename>; the folder part still fails.
    b.add(dir_ + "/out/<bogus>/x", dir_ + "/in/two.wav");
    b.add(dir_ + "/out/<sourcename>", dir_ + "/in/three.wav")->failRun = true;
    b.add(dir_ + "/out/<sourcename>", dir_ + "/in/four.wav");
    RecordingBatchProgress window;
    useRecordingUi(window);
    HWND handle = reinterpret_cast<HWND>(1);
    BatchResult result{};
    EXPECT_EQ(BatchConvertEx(b.array(), &handle, 0, 0, nullptr, &result), S_FALSE);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(window.destroyed);
    EXPECT_EQ(result.items, 4);
    EXPECT_EQ(result.converted, 2);
    EXPECT_EQ(result.failed, 2);
    EXPECT_EQ(result.cancelled, 0);
    EXPECT_EQ(window.started, 4);
    EXPECT_EQ(window.nextItems, 4);
    EXPECT_EQ(window.finished, 1);
    EXPECT_EQ(window.items.back(), "Finished");

    EXPECT_EQ(window.messages[0].text, "Tallory v4.5\n");
    EXPECT_EQ(window.messages[0].kinds, "b");
    EXPECT_EQ(window.messages[1].text.rfind("libtallory.so last updated ", 0), 0u);
    EXPECT_EQ(window.messages[2].text.rfind("\nCheck for updates: https://", 0), 0u);
    EXPECT_TRUE(window.has("Converting to Wave (None):\n", "k"));
    EXPECT_TRUE(window.has(dir_ + "/in/one.wav\n", ""));
    EXPECT_TRUE(window.has("--> " + dir_ + "/out/one.wav\n", ""));
    EXPECT_TRUE(window.has("Unknown naming scheme element 'bogus'\n", "e"));
    EXPECT_TRUE(window.has("Decoder failed\n", "e"));
    EXPECT_TRUE(window.has("Need help? mailto:support@veshna.com\nPlease include the message log when you report a "
                           "problem.\n", ""));
    // The failed naming never reached the target; the others got their paths and data.
    EXPECT_TRUE(b.targets[1]->path().empty());
    EXPECT_EQ(b.targets[0]->data, b.sources[0]->pcm);
    EXPECT_EQ(b.targets[3]->data, b.sources[3]->pcm);
    EXPECT_EQ(b.targets[3]->path(), dir_ + "/out/four.wav");
    ASSERT_EQ(MessageBoxes::texts.size(), 1u);
    EXPECT_EQ(MessageBoxes::texts[0],
              "Conversion done! 2 of 4 item(s) could not be converted. See Details for more information.");
    EXPECT_EQ(MessageBoxes::styles[0], MB_OK | MB_ICONERROR);
}

TEST_F(BatchTest, EmptyBatchStillReports) {
    RecordingBatchProgress window;
    useRecordingUi(window);
    BatchItem end{};
    EXPECT_EQ(BatchConvert(&end, nullptr, 0, 0), 0);
    EXPECT_EQ(window.started, 0);
    EXPECT_EQ(window.messages[0].text, "Tallory v4.5\n");
    ASSERT_EQ(MessageBoxes::texts.size(), 1u);
    EXPECT_EQ(MessageBoxes::texts[0], "Conversion done! 0 item(s) successfully converted.");
    EXPECT_EQ(MessageBoxes::styles[0], MB_OK | MB_ICONINFORMATION);
}

TEST_F(BatchTest, NormalizedHeaderAndTimes) {
    Batch b;
    b.add(dir_ + "/<sourcename>", dir_ + "/in/a.wav", 44100 * 4 * 2);
    b.items[0].startMs = 500;
    b.items[0].endMs = 1000;
    RecordingBatchProgress window;
    BatchResult r = runBatch(b.array(), &window, 1, 0, 1);
    EXPECT_EQ(r.converted, 1);
    EXPECT_TRUE(window.twoPasses);
    EXPECT_TRUE(window.has("Converting to normalized Wave (None):\n", "k"));
    // Half a second of CD audio from 0.5 s on.
    EXPECT_EQ(b.targets[0]->data.size(), 44100u * 4 / 2);
}

TEST_F(BatchTest, CancellationStopsBeforeTheNextItemAndDeletesNothing) {
    Batch b;
    std::vector<std::string> inputs;
    for (const char* name : {"a", "b", "c"}) {
        inputs.push_back(dir_ + "/in/" + name + ".wav");
        fs::createDirectories(dir_ + "/in");
        std::ofstream(inputs.back()).put('x');
        b.add(dir_ + "/out/<sourcename>", inputs.back());
    }
    RecordingBatchProgress window;
    b.sources[1]->onRun = [&window] { window.cancelled = true; };
    setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
    BatchResult r = runBatch(b.array(), &window, 0, 1, 1);
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(r.cancelled, 1);
    EXPECT_EQ(window.nextItems, 2);
    EXPECT_FALSE(b.targets[2]->opened);
    EXPECT_EQ(window.messages.back().text, "Conversion aborted by user\n");
    EXPECT_EQ(window.messages.back().kinds, "e");
    for (const std::string& in : inputs) EXPECT_TRUE(fs::pathExists(in)) << in;
    EXPECT_FALSE(fs::pathExists(dir_ + "/data/Trash/files/a.wav"));
}

TEST_F(BatchTest, CancellationWithSeveralJobsEndsEveryStartedItem) {
    Batch b;
    for (int i = 0; i < 6; ++i) b.add(dir_ + "/out/<sourcename>", dir_ + "/in/s" + std::to_string(i) + ".wav");
    RecordingBatchProgress window;
    b.sources[1]->onRun = [&window] { window.cancelled = true; };
    BatchResult r = runBatch(b.array(), &window, 0, 0, 2);
    EXPECT_EQ(r.cancelled, 1);
    // Items already running end (the cancelled ones as failures); none starts after.
    EXPECT_EQ(r.converted + r.failed, window.nextItems);
    EXPECT_LT(window.nextItems, 6);
    EXPECT_GE(r.failed, 1);
    EXPECT_FALSE(b.targets[5]->opened);
    EXPECT_EQ(window.messages.back().text, "Conversion aborted by user\n");
}

TEST_F(BatchTest, CdTracksGrowTheirAlbumPlaylist) {
    std::string scheme = dir_ + "/Rip/<artist>/<album>/<tracknum> <title>";
    std::string list = dir_ + "/Rip/The Band/Best Of.m3u";
    setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
    std::vector<std::string> outputs;
    for (int track = 1; track <= 3; ++track) {
        Batch b;
        TaggedSource* s = b.add(scheme, "/dev/sr0/Track0" + std::to_string(track) + ".cda");
        s->classId = CLSID_CDTrackSource;
        s->hasTag = true;
        s->frames = {{METADATA_FRAME_TPE1, u"The Band"},
                     {METADATA_FRAME_TALB, u"Best Of"},
                     {METADATA_FRAME_TIT2, track == 2 ? u"Two: Live" : u"Song"},
                     {METADATA_FRAME_TRCK, std::u16string(1, char16_t(u'0' + track)) + u"/3"}};
        RecordingBatchProgress window;
        // Deleting sources never touches CD tracks.
        BatchResult r = runBatch(b.array(), &window, 0, 1, 1);
        ASSERT_EQ(r.converted, 1) << window.log();
        EXPECT_TRUE(window.has("Created output file was added to playlist\n", "i")) << window.log();
        EXPECT_TRUE(window.has("Track0" + std::to_string(track) + ".cda on /dev/sr0\n", ""));
        outputs.push_back(b.targets[0]->path());

        IPlaylist* playlist = nullptr;
        ASSERT_EQ(PlaylistCreateFromFile(list.c_str(), &playlist), S_OK);
        int count = 0;
        playlist->GetCount(&count);
        EXPECT_EQ(count, track);
        playlist->Destroy();
    }
    EXPECT_EQ(outputs[1], dir_ + "/Rip/The Band/Best Of/02 Two  Live.wav");
    std::ifstream in(list, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\r\n./Best Of/01 Song.wav\r\n./Best Of/02 Two  Live.wav\r\n./Best Of/03 Song.wav\r\n"),
              std::string::npos)
        << text;
    EXPECT_FALSE(fs::pathExists(dir_ + "/data/Trash/files"));

    // With the setting off, or a playlist that cannot be written.
    PutProfileInt("Settings", "AddTracksToPlaylist", 0);
    {
        Batch b;
        TaggedSource* s = b.add(dir_ + "/Off/<album>/<title>", "/dev/sr0/Track01.cda");
        s->classId = CLSID_CDTrackSource;
        s->hasTag = true;
        s->frames = {{METADATA_FRAME_TALB, u"A"}, {METADATA_FRAME_TIT2, u"T"}};
        RecordingBatchProgress window;
        runBatch(b.array(), &window, 0, 0, 1);
        EXPECT_FALSE(fs::pathExists(dir_ + "/Off/A.m3u"));
    }
    PutProfileInt("Settings", "AddTracksToPlaylist", 1);
    {
        Batch b;
        TaggedSource* s = b.add(dir_ + "/Bad/<title>", "/dev/sr0/Track01.cda");
        s->classId = CLSID_CDTrackSource;
        s->hasTag = true;
        s->frames = {{METADATA_FRAME_TALB, u"L"}, {METADATA_FRAME_TIT2, u"T"}};
        // No <album> in the scheme: the list goes next to the output.
        fs::createDirectories(dir_ + "/Bad/L.m3u");
        RecordingBatchProgress window;
        runBatch(b.array(), &window, 0, 0, 1);
        EXPECT_TRUE(window.has("Cannot write playlist file\n", "e")) << window.log();
    }
}

// The same batch with 1, 2 and 3 jobs: the same names, bytes and log.
TEST_F(BatchTest, SeveralJobsGiveTheSameOutputsAndLog) {
    struct Run {
        std::vector<std::string> paths;
        std::vector<std::vector<uint8_t>> data;
        std::vector<RecordedMessage> log;
        BatchResult result;
    };
    auto runWith = [&](int jobs) {
        std::string out = dir_ + "/jobs" + std::to_string(jobs);
        Batch b;
        for (int i = 0; i < 7; ++i) {
            // Two sources of one name collide in the output folder.
            std::string name = i == 3 ? "same" : i == 5 ? "same" : "s" + std::to_string(i);
            b.add(i == 4 ? out + "/<nope>/x" : out + "/<sourcename>", dir_ + "/in" + std::to_string(i) + "/" + name + ".wav",
                  static_cast<size_t>(44100 * 4) * static_cast<size_t>(1 + i % 3));
        }
        b.sources[6]->failRun = true;
        RecordingBatchProgress window;
        Run run;
        run.result = runBatch(b.array(), &window, 0, 0, jobs);
        for (auto* t : b.targets) {
            std::string p = t->path();
            run.paths.push_back(p.empty() ? p : p.substr(out.size()));
            run.data.push_back(t->data);
        }
        for (auto m : window.messages) {
            size_t at;
            while ((at = m.text.find(out)) != std::string::npos) m.text.replace(at, out.size(), "OUT");
            run.log.push_back(m);
        }
        EXPECT_EQ(window.nextItems, 7);
        return run;
    };
    Run one = runWith(1);
    EXPECT_EQ(one.result.converted, 5);
    EXPECT_EQ(one.result.failed, 2);
    EXPECT_EQ(one.paths[5], "/same (2).wav");
    for (int jobs : {2, 3}) {
        Run many = runWith(jobs);
        EXPECT_EQ(many.result.converted, one.result.converted);
        EXPECT_EQ(many.paths, one.paths);
        EXPECT_TRUE(many.data == one.data) << jobs;
        ASSERT_EQ(many.log.size(), one.log.size()) << jobs;
        for (size_t i = 0; i < one.log.size(); ++i) {
            EXPECT_EQ(many.log[i].text, one.log[i].text) << jobs << " at " << i;
            EXPECT_EQ(many.log[i].kinds, one.log[i].kinds);
        }
    }
}

TEST_F(BatchTest, ConsoleProgressWithoutUi) {
    Batch b;
    b.add(dir_ + "/out/<sourcename>", dir_ + "/in/ok.wav");
    b.add(dir_ + "/<title/x", dir_ + "/in/bad.wav");
    BatchOptions options{sizeof(BatchOptions), 2, BATCH_OVERWRITE_NEVER, 0};
    BatchResult result{};
    ::testing::internal::CaptureStderr();
    HRESULT hr = BatchConvertEx(b.array(), nullptr, 0, 0, &options, &result);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(result.converted, 1);
    size_t first = err.find("Converting to Wave (None):\n" + dir_ + "/in/ok.wav\n--> " + dir_ + "/out/ok.wav\n");
    size_t second = err.find("Unknown naming scheme element 'title/<sourcename'\n");
    size_t box = err.find("Tallory: Conversion done! 1 of 2 item(s) could not be converted.");
    EXPECT_NE(first, std::string::npos) << err;
    EXPECT_LT(first, second) << err;
    EXPECT_LT(second, box) << err;
}

TEST(LogHeader, UpdateCodeAndDate) {
    setenv("LC_ALL", "C", 1);
    // 2026-12-09: 45261209 / 7 * 3 = 19397661, check digits 61.
    EXPECT_EQ(tallory::core::updateCode(1796774400), "4526120961");
    // Unknown date: 45000000 / 7 * 3 = 19285713.
    EXPECT_EQ(tallory::core::updateCode(-1), "4500000013");
    // 2001-07-01: 45010701 / 7 * 3 = 19290300, a check value below ten keeps its zero.
    EXPECT_EQ(tallory::core::updateCode(993945600), "4501070100");
    EXPECT_EQ(tallory::core::libraryDateText(1796774400), "December 9, 2026");
    EXPECT_EQ(tallory::core::libraryDateText(1796774399), "December 8, 2026");  // its UTC date
    EXPECT_EQ(tallory::core::libraryDateText(-1), "(unknown)");
}

}  // namespace
