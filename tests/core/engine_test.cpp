// The conversion engine: limits, cancellation, same-file refusal, failures,
// normalization through a temporary file, priority and the tempo estimate.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "core/tempo_estimator.h"
#include "memory_objects.h"
#include "platform/files/file_system.h"
#include "platform/priority/priority.h"
#include "recording_progress.h"
#include "tallory/tallory.h"

namespace {

namespace fs = tallory::platform;

std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + dir + "'").c_str());
    fs::createDirectories(dir);
    return dir;
}

int entriesIn(const std::string& dir) {
    int n = 0;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) n += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
    closedir(d);
    return n;
}

// Cancels itself after a number of Advance calls.
class CancellingProgress : public RecordingProgress {
public:
    int advancesLeft = 1 << 30;
    void Advance(uint32_t delta) override {
        RecordingProgress::Advance(delta);
        if (--advancesLeft <= 0) cancelled = true;
    }
};

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = scratch();
        PutProfileInt("Settings", "BPMAnalysis", 0);
        PutProfileInt("Settings", "HighPriority", 0);
        PutProfileString("Settings", "TempPath", (dir_ + "/tmp").c_str());
        fs::createDirectories(dir_ + "/tmp");
        source_ = new MemorySource;
        source_->AddRef();
        target_ = new MemoryTarget;
        target_->AddRef();
        source_->SetPath((dir_ + "/in.wav").c_str());
        target_->SetPath((dir_ + "/out/out.wav").c_str());
    }
    void TearDown() override {
        source_->Release();
        target_->Release();
    }
    HRESULT convert(IConvProgress& p, int normalize = 0, int startMs = -1, int endMs = -1) {
        return AudioConvert(source_, target_, &p, 0, normalize, startMs, endMs);
    }
    std::string dir_;
    MemorySource* source_;
    MemoryTarget* target_;
};

TEST_F(Engine, NullObjectsAreInvalid) {
    RecordingProgress p;
    EXPECT_EQ(AudioConvert(nullptr, target_, &p, 0, 0, -1, -1), E_INVALIDARG);
    EXPECT_EQ(AudioConvert(source_, nullptr, &p, 0, 0, -1, -1), E_INVALIDARG);
    EXPECT_EQ(AudioConvert(source_, target_, nullptr, 0, 0, -1, -1), E_INVALIDARG);
}

TEST_F(Engine, DirectPassCopiesEveryByteAndDetaches) {
    source_->pcm = clickTrack(120, 3);
    RecordingProgress p;
    ASSERT_EQ(convert(p), S_OK);
    EXPECT_EQ(target_->data, source_->pcm);
    EXPECT_EQ(p.range, source_->pcm.size());
    EXPECT_EQ(p.position, source_->pcm.size());
    EXPECT_EQ(target_->format().nSamplesPerSec, 44100u);
    EXPECT_TRUE(target_->closed);
    EXPECT_FALSE(source_->isOpen());
    EXPECT_EQ(target_->source(), nullptr);
    EXPECT_TRUE(fs::isDirectory(dir_ + "/out"));
    // No second Open needed: the source can be converted again.
    target_->data.clear();
    ASSERT_EQ(convert(p), S_OK);
    EXPECT_EQ(target_->data.size(), source_->pcm.size());
}

TEST_F(Engine, LimitsStopTheSourceAfterTheCrossingBlock) {
    source_->pcm = clickTrack(120, 3);   // 529200 bytes
    source_->blockSize = 10000;         // not a divisor of the limits below
    RecordingProgress p;

    ASSERT_EQ(convert(p, 0, -1, 1000), S_OK);  // end only: 176400 bytes
    EXPECT_EQ(target_->data.size(), 180000u);  // the crossing block is written whole
    EXPECT_EQ(p.range, 176400u);

    target_->data.clear();
    ASSERT_EQ(convert(p, 0, 2000, -1), S_OK);  // start only: the remaining second
    EXPECT_EQ(p.range, 176400u);
    EXPECT_EQ(target_->data.size(), 176400u);  // the source ran out first
    EXPECT_TRUE(std::equal(target_->data.begin(), target_->data.end(), source_->pcm.begin() + 352800));

    target_->data.clear();
    ASSERT_EQ(convert(p, 0, 500, 1001), S_OK);  // both: 88376.4 bytes rounded down to whole frames
    EXPECT_EQ(p.range, 88376u);
    EXPECT_EQ(target_->data.size(), 90000u);
}

TEST_F(Engine, FailuresAndCancellation) {
    source_->pcm = clickTrack(120, 2);
    RecordingProgress p;
    source_->failRun = true;
    EXPECT_EQ(convert(p), E_FAIL);
    EXPECT_EQ(p.lastText(), "Decoder failed\n");

    source_->failRun = false;
    target_->failOnBlock = 3;
    RecordingProgress q;
    EXPECT_EQ(convert(q), E_FAIL);
    EXPECT_EQ(q.lastText(), "Cannot write to file (error #28)\n");
    EXPECT_EQ(q.messages.back().kinds, "e");
    EXPECT_TRUE(target_->closed);

    target_->failOnBlock = -1;
    target_->data.clear();
    CancellingProgress c;
    c.advancesLeft = 2;
    EXPECT_EQ(convert(c), E_FAIL);
    EXPECT_EQ(target_->data.size(), 2u * source_->blockSize);
}

TEST_F(Engine, SameFileIsRefusedBeforeTheTargetOpens) {
    std::string in = dir_ + "/in.wav";
    std::ofstream(in) << "precious";
    source_->pcm = clickTrack(120, 1);
    for (std::string out : {in, dir_ + "/link.wav", dir_ + "/hard.wav"}) {
        if (out == dir_ + "/link.wav") {
            ASSERT_EQ(symlink(in.c_str(), out.c_str()), 0);
        } else if (out == dir_ + "/hard.wav") {
            ASSERT_EQ(link(in.c_str(), out.c_str()), 0);
        }
        target_->SetPath(out.c_str());
        target_->opened = false;
        RecordingProgress p;
        p.overwriteAnswer = 1;
        EXPECT_EQ(convert(p), E_FAIL) << out;
        EXPECT_EQ(p.lastText(), "The source file is equal to the destination file\n");
        EXPECT_FALSE(target_->opened);
        EXPECT_TRUE(fs::pathExists(in));
    }
}

TEST_F(Engine, NormalizedPassesScaleToFullScaleAndLeaveNoTempFile) {
    source_->pcm.assign(176400, 0);
    for (size_t i = 0; i < 88200; ++i) putSample(source_->pcm, i, (i % 7) * 2000 - 6000);  // peak 6000
    putSample(source_->pcm, 1000, -16384);  // the loudest sample sets the gain to 2
    RecordingProgress p;
    ASSERT_EQ(convert(p, 1), S_OK);
    ASSERT_EQ(target_->data.size(), source_->pcm.size());
    EXPECT_EQ(getSample(target_->data, 1000), -32768);
    EXPECT_EQ(getSample(target_->data, 5), 8000);   // 4000 doubled
    EXPECT_EQ(getSample(target_->data, 0), -12000);
    EXPECT_EQ(entriesIn(dir_ + "/tmp"), 0);

    // Cancelled in the first pass: the temporary file is gone too.
    CancellingProgress c;
    c.advancesLeft = 1;
    target_->data.clear();
    EXPECT_EQ(convert(c, 1), E_FAIL);
    EXPECT_TRUE(target_->data.empty());
    EXPECT_EQ(entriesIn(dir_ + "/tmp"), 0);
}

TEST_F(Engine, UnusableTempFolderFailsWithTheMessage) {
    PutProfileString("Settings", "TempPath", (dir_ + "/no/such/folder").c_str());
    source_->pcm = clickTrack(120, 1);
    RecordingProgress p;
    EXPECT_EQ(convert(p, 1), E_FAIL);
    EXPECT_EQ(p.lastText(), "Cannot create temorary file\n");
}

double measuredTempo(const RecordingProgress& p) {
    for (const auto& m : p.messages) {
        double bpm = 0;
        if (std::sscanf(m.text.c_str(), "Tempo: %lf BPM", &bpm) == 1) return bpm;
    }
    return 0;
}

TEST_F(Engine, TempoOfClickTracks) {
    PutProfileInt("Settings", "BPMAnalysis", 1);
    for (double bpm : {80.0, 120.0, 159.0}) {
        source_->pcm = clickTrack(bpm, 30);
        target_->data.clear();
        RecordingProgress p;
        ASSERT_EQ(convert(p), S_OK);
        EXPECT_NEAR(measuredTempo(p), bpm, 1.0) << bpm;
    }
    // Cancelled: no tempo at all.
    CancellingProgress c;
    c.advancesLeft = 3;
    EXPECT_EQ(convert(c), E_FAIL);
    EXPECT_EQ(measuredTempo(c), 0);
}

TEST(TempoEstimator, SilenceAndShortAudioHaveNoTempo) {
    auto silent = tallory::core::EnvelopeCollector::create(176400 * 20);
    std::vector<uint8_t> zeros(176400, 0);
    for (int i = 0; i < 20; ++i) silent->add(zeros.data(), static_cast<uint32_t>(zeros.size()));
    EXPECT_EQ(silent->estimateBpm(), 0);

    auto shortOne = tallory::core::EnvelopeCollector::create(176400);  // one second: under four beats at 160
    std::vector<uint8_t> clicks = clickTrack(120, 1);
    shortOne->add(clicks.data(), static_cast<uint32_t>(clicks.size()));
    EXPECT_EQ(shortOne->estimateBpm(), 0);
}

TEST(TempoEstimator, DifferenceSumMatchesTheDefinition) {
    std::vector<uint8_t> e(1000);
    for (size_t i = 0; i < e.size(); ++i) e[i] = static_cast<uint8_t>((i * 37) ^ (i >> 3));
    for (uint32_t lag : {1u, 15u, 16u, 17u, 500u, 999u, 1000u}) {
        uint64_t expected = 0;
        for (uint32_t i = lag; i < e.size(); ++i) expected += std::abs(int(e[i]) - int(e[i - lag]));
        EXPECT_EQ(tallory::core::envelopeDifference(e.data(), static_cast<uint32_t>(e.size()), lag), expected);
    }
}

TEST_F(Engine, PriorityRule) {
    if (geteuid() != 0) GTEST_SKIP() << "raising priority needs privilege";
    source_->pcm = clickTrack(120, 1);
    int before = fs::currentThreadNice();
    int seen = before;
    source_->onRun = [&] { seen = fs::currentThreadNice(); };
    RecordingProgress p;

    PutProfileInt("Settings", "HighPriority", 1);
    ASSERT_EQ(convert(p), S_OK);
    EXPECT_EQ(seen, before);  // a Wave source is not raised

    source_->classId = CLSID_CDTrackSource;
    ASSERT_EQ(convert(p), S_OK);
    EXPECT_LT(seen, before);  // a CD track is

    source_->classId = CLSID_WavSource;
    PutProfileInt("Settings", "HighPriority", 2);
    ASSERT_EQ(convert(p), S_OK);
    EXPECT_LT(seen, before);  // 2 raises every source
    EXPECT_EQ(fs::currentThreadNice(), before);  // and everything is put back
}

}  // namespace
