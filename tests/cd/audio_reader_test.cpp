// The engine's audio read over the simulated drive: what it delivers must be
// the image's bytes exactly, whatever the drive does.
#include <gtest/gtest.h>

#include <cstring>

#include "cd/engine/scsi/audio_reader.h"
#include "cd/engine/scsi/scsi_layer.h"
#include "cd_test_support.h"
#include "platform/scsi/cue_image.h"
#include "platform/scsi/sim_drive.h"

using namespace tallory::cd::engine::scsi;
namespace ps = tallory::platform::scsi;

namespace {

struct Rig {
    std::shared_ptr<ps::SimulatedDrive> drive;
    std::unique_ptr<Device> device;
    cdtest::Image image;
};

Rig makeRig(const std::vector<cdtest::TrackSpec>& tracks, ps::SimFaults faults, uint32_t transfer = 65000,
            uint32_t seed = 7) {
    Rig rig;
    rig.image = cdtest::makeImage(tracks, seed);
    rig.drive = std::make_shared<ps::SimulatedDrive>(ps::SimDriveIdentity{}, faults);
    auto loaded = ps::loadCueImage(rig.image.cuePath);
    EXPECT_TRUE(loaded.disc) << loaded.error;
    rig.drive->loadDisc(std::shared_ptr<ps::DiscModel>(std::move(loaded.disc)));
    cdtest::clearAttention(*rig.drive);
    cdtest::clearAttention(*rig.drive);
    DeviceRecord rec;
    EXPECT_TRUE(classifyDevice(*rig.drive, "", rec));
    rig.device = std::make_unique<Device>(rig.drive, rec, transfer);
    return rig;
}

struct Ripped {
    std::vector<uint8_t> bytes;
    AudioReadReport report;
    std::vector<std::string> notes;
};

Ripped rip(Rig& rig, int32_t start, int32_t count, AudioReadOptions o = {}) {
    Ripped r;
    o.deliver = [&](const uint8_t* d, uint32_t n) {
        r.bytes.insert(r.bytes.end(), d, d + std::size_t(n) * 2352);
        return true;
    };
    o.note = [&](const std::string& line) { r.notes.push_back(line); };
    r.report = readAudioSectors(*rig.device, start, count, o);
    return r;
}

std::vector<uint8_t> imageBytes(const Rig& rig, int32_t start, int32_t count) {
    return {rig.image.bin.begin() + std::ptrdiff_t(start) * 2352,
            rig.image.bin.begin() + std::ptrdiff_t(start + count) * 2352};
}

// Where the first difference is, for a readable failure.
std::string firstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return "first difference at byte " + std::to_string(i) + " (sector " + std::to_string(i / 2352) + ")";
    return "equal";
}

}  // namespace

TEST(AudioRead, JitterIsCorrectedToTheExactBytes) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        ps::SimFaults f;
        f.seed = seed;
        f.jitterShare = 0.4;
        f.jitterMaxSamples = 300;
        Rig rig = makeRig({{1500}}, f);
        AudioReadOptions o;
        o.jitterSetting = 2;
        Ripped r = rip(rig, 0, 1500, o);
        const auto want = imageBytes(rig, 0, 1500);
        EXPECT_TRUE(r.bytes == want) << "seed " << seed << ": " << firstDifference(r.bytes, want);
        EXPECT_GT(r.report.matchesOffPosition, 0u);
        // Without correction the same drive delivers damaged audio.
        AudioReadOptions off;
        off.jitterSetting = 1;
        EXPECT_FALSE(rip(rig, 0, 1500, off).bytes == want);
    }
}

TEST(AudioRead, UnitAttentionsOnTheWayAreRetried) {
    ps::SimFaults f;
    f.unitAttentionEvery = 5;
    f.jitterShare = 0.2;
    f.jitterMaxSamples = 40;
    Rig rig = makeRig({{600}}, f);
    AudioReadOptions o;
    o.jitterSetting = 2;
    Ripped r = rip(rig, 0, 600, o);
    const auto want = imageBytes(rig, 0, 600);
    EXPECT_TRUE(r.bytes == want) << firstDifference(r.bytes, want);
}

TEST(AudioRead, UnreadableSectorsByErrorMode) {
    ps::SimFaults f;
    f.jitterShare = 0.3;
    f.jitterMaxSamples = 100;
    f.badSectors = {100, 101, 555};
    f.flakySectors = {{300, 2}};
    Rig rig = makeRig({{800}}, f);
    AudioReadOptions o;
    o.jitterSetting = 2;
    o.errorMode = 1;
    Ripped r = rip(rig, 0, 800, o);
    auto want = imageBytes(rig, 0, 800);
    for (int s : {100, 101, 555}) std::fill(want.begin() + s * 2352, want.begin() + (s + 1) * 2352, uint8_t(0));
    EXPECT_TRUE(r.bytes == want) << firstDifference(r.bytes, want);
    EXPECT_EQ(r.report.silencedSectors, (std::vector<int32_t>{100, 101, 555}));
    ASSERT_FALSE(r.notes.empty());
    EXPECT_NE(r.notes[0].find("Sector 100"), std::string::npos);
    // Error mode 0: the read fails with the transfer's range.
    o.errorMode = 0;
    try {
        rip(rig, 0, 800, o);
        FAIL() << "read over an unreadable sector succeeded";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrReadAudio);
        EXPECT_EQ(e.detailCode(), kErrMedium);
        EXPECT_NE(e.mainText().find("Unable to read AUDIO sectors"), std::string::npos);
        EXPECT_NE(e.detailText().find("03h 11h 00h"), std::string::npos) << e.detailText();
    }
}

TEST(AudioRead, AWindowTooSmallForTheJitterFails) {
    ps::SimFaults f;
    f.jitterShare = 1.0;
    f.jitterMaxSamples = 8000;  // mostly more than the 3 x 588 samples searched
    Rig rig = makeRig({{400}}, f);
    AudioReadOptions o;
    o.jitterSetting = 2;
    try {
        Ripped r = rip(rig, 0, 400, o);
        FAIL() << "no jitter failure: " << r.report.transfers << " transfers, " << r.report.matchesOffPosition
               << " off position, " << r.notes.size() << " notes";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.mainText(), "Unexpected jitter correction failure") << e.what();
    }
}

TEST(AudioRead, SilenceEndsWithoutLoopingAndShortTransfersAreRetried) {
    ps::SimFaults f;
    f.jitterShare = 0.3;
    f.jitterMaxSamples = 50;
    f.shortReadShare = 0.2;
    Rig rig = makeRig({{600, false, 600}, {300, false, 100}}, f);
    AudioReadOptions o;
    o.jitterSetting = 2;
    Ripped silent = rip(rig, 0, 600, o);
    EXPECT_TRUE(silent.bytes == std::vector<uint8_t>(600 * 2352, 0));
    EXPECT_LT(silent.report.transfers, 200u);  // bounded work, not a loop
    bool noted = false;
    for (const auto& n : silent.notes) noted = noted || n.find("silence") != std::string::npos;
    EXPECT_TRUE(noted);
    // A track that starts silent and then plays: exact.
    Ripped r = rip(rig, 600, 300, o);
    const auto want = imageBytes(rig, 600, 300);
    EXPECT_TRUE(r.bytes == want) << firstDifference(r.bytes, want);
    EXPECT_GT(r.report.shortReadRetries, 0u);
}

TEST(AudioRead, ReadOffsetIsCorrectedExactlyWithSilenceAtTheEdges) {
    ps::SimFaults f;
    f.readOffsetSamples = 667;
    Rig rig = makeRig({{200}, {200}}, f);
    AudioReadOptions o;
    o.jitterSetting = 1;
    o.readOffset = 667;
    o.discEnd = 400;
    // A track in the middle: its own bytes exactly.
    Ripped r = rip(rig, 200, 200, o);
    // The drive reads 667 samples early; corrected, the bytes are the image's,
    // except the last 667 samples, which lie where the drive cannot read (past
    // the lead-out's start): silence there.
    auto want = imageBytes(rig, 200, 200);
    std::fill(want.end() - 667 * 4, want.end(), uint8_t(0));
    EXPECT_TRUE(r.bytes == want) << firstDifference(r.bytes, want);
    Ripped first = rip(rig, 0, 200, o);
    const auto wantFirst = imageBytes(rig, 0, 200);
    EXPECT_TRUE(first.bytes == wantFirst) << firstDifference(first.bytes, wantFirst);
    // Negative offsets read earlier: the first samples of the disc are silence.
    ps::SimFaults g;
    g.readOffsetSamples = -30;
    Rig rig2 = makeRig({{100}}, g);
    o.readOffset = -30;
    o.discEnd = 100;
    Ripped r2 = rip(rig2, 0, 100, o);
    // The drive reads 30 samples late: the disc's first 30 samples would need
    // a sector before LBA 0, so they are silence.
    auto want2 = imageBytes(rig2, 0, 100);
    std::fill(want2.begin(), want2.begin() + 30 * 4, uint8_t(0));
    ASSERT_EQ(r2.bytes.size(), want2.size());
    EXPECT_TRUE(r2.bytes == want2) << firstDifference(r2.bytes, want2);
    // Uncorrected, a drive with an offset is off.
    o.readOffset = 0;
    EXPECT_FALSE(rip(rig2, 0, 100, o).bytes == want2);
}

TEST(AudioRead, SecureModeVerifiesOrReportsTheRanges) {
    Rig clean = makeRig({{500}}, {});
    AudioReadOptions o;
    o.secure = true;
    o.jitterSetting = 2;
    Ripped r = rip(clean, 0, 500, o);
    EXPECT_TRUE(r.report.secureVerified);
    EXPECT_TRUE(r.bytes == imageBytes(clean, 0, 500));
    // A drive that returns different samples each time (jitter, uncorrected):
    ps::SimFaults f;
    f.jitterShare = 1.0;
    f.jitterMinSamples = 1;
    f.jitterMaxSamples = 400;
    Rig noisy = makeRig({{500}}, f);
    o.jitterSetting = 1;
    Ripped bad = rip(noisy, 0, 500, o);
    EXPECT_FALSE(bad.report.secureVerified);
    EXPECT_FALSE(bad.report.unsureRanges.empty());
    EXPECT_EQ(bad.bytes.size(), 500u * 2352);
}

TEST(AudioRead, BufferTooSmallForTheOverlapAndStop) {
    Rig rig = makeRig({{100}}, {}, 3 * 2352);
    AudioReadOptions o;
    o.jitterSetting = 2;
    try {
        rip(rig, 0, 100, o);
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrText);
        EXPECT_NE(e.mainText().find("needs 4"), std::string::npos) << e.mainText();
    }
    Rig rig2 = makeRig({{300}}, {});
    std::atomic<bool> stop{false};
    AudioReadOptions s;
    s.stop = &stop;
    int calls = 0;
    s.deliver = [&](const uint8_t*, uint32_t) {
        if (++calls == 2) stop = true;
        return true;
    };
    try {
        readAudioSectors(*rig2.device, 0, 300, s);
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrUserAborted);
        EXPECT_EQ(e.mainText(), "");
    }
    EXPECT_EQ(calls, 2);
}
