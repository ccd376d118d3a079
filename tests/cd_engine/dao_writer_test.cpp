// The disc-at-once pass against the simulated recorder: a layout from cue
// sheet lines burned, exported as cue/bin, and read back by the image loader
// and by cd-paranoia, sample for sample; the drive's refusals and a stop.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cd/engine/cue_sheet.h"
#include "cd/engine/dao_writer.h"
#include "cd/engine/engine_error.h"
#include "platform/scsi/cue_image.h"
#include "platform/scsi/sense.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sim_recorder.h"

using namespace tallory::cd::engine;
namespace ps = tallory::platform::scsi;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> noise(std::size_t bytes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(bytes);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& head, const std::vector<uint8_t>& body) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
    out.write(reinterpret_cast<const char*>(body.data()), std::streamsize(body.size()));
}

std::vector<uint8_t> waveHeader(uint32_t bytes) {
    std::vector<uint8_t> h;
    auto tag = [&](const char* s) { h.insert(h.end(), s, s + 4); };
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) h.push_back(uint8_t(v >> (8 * i))); };
    auto u16 = [&](uint16_t v) { h.push_back(uint8_t(v)); h.push_back(uint8_t(v >> 8)); };
    tag("RIFF"); u32(36 + bytes); tag("WAVE"); tag("fmt "); u32(16); u16(1); u16(2); u32(44100); u32(176400);
    u16(4); u16(16); tag("data"); u32(bytes);
    return h;
}

class DaoWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tallory_dao_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& n) const { return dir_ + "/" + n; }

    std::string dir_;
};

// Raw CDB helper for the refusal cases.
ps::ScsiResult send(ps::ScsiTransport& t, std::vector<uint8_t> cdb, std::vector<uint8_t> data = {}) {
    ps::ScsiCommand c{cdb, data.empty() ? ps::DataDirection::None : ps::DataDirection::ToDevice,
                      data.empty() ? nullptr : data.data(), uint32_t(data.size())};
    return t.execute(c);
}

std::pair<int, int> keyAsc(const ps::ScsiResult& r) {
    auto s = ps::parseSense(r.senseBytes());
    return {s.key, s.asc};
}

}  // namespace

TEST_F(DaoWriterTest, BurnedLayoutReadsBackSampleForSample) {
    // Track 1: raw little-endian, 2.5 sectors' worth. Track 2: WAVE with a
    // 2-second pregap, 100 bytes short of whole sectors. Track 3: MOTOROLA
    // (big-endian) whose samples the writer swaps.
    const auto a = noise(2352 * 40 + 1176, 1);
    const auto b = noise(2352 * 75 - 100, 2);
    const auto c = noise(2352 * 30, 3);
    writeFile(path("a.raw"), {}, a);
    writeFile(path("b.wav"), waveHeader(uint32_t(b.size())), b);
    writeFile(path("c.raw"), {}, c);
    DiscLayout layout = layOutDisc({"FILE \"" + path("a.raw") + "\" BINARY", "TRACK 01 AUDIO", "INDEX 01 00:00:00",
                                    "FILE \"" + path("b.wav") + "\" WAVE", "TRACK 02 AUDIO", "PREGAP 00:02:00",
                                    "INDEX 01 00:00:00", "FILE \"" + path("c.raw") + "\" MOTOROLA",
                                    "TRACK 03 AUDIO", "FLAGS PRE", "INDEX 01 00:00:00"});

    ps::SimulatedDrive drive;
    ps::SimulatedRecorder recorder(drive);
    MmcRecorderDrive mmc(drive);
    std::vector<std::tuple<int, int, int>> events;
    DaoOptions o;
    o.progress = [&](int e, int x, int y) { events.emplace_back(e, x, y); };
    ASSERT_NO_THROW(writeDiscAtOnce(mmc, layout, o));
    ASSERT_TRUE(recorder.burnedDisc());
    EXPECT_EQ(recorder.nextWritableLba(), layout.leadOutStart);

    // Progress: the disc length first, track 2 announces its pregap in its total.
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(std::get<0>(events.front()), kEventDiscLength);
    EXPECT_EQ(std::get<1>(events.front()), int(layout.totalSectors()) + 150);
    int written = 0;
    for (auto& [e, x, y] : events) {
        if (e == kEventTrackStart && x == 2) {
            EXPECT_EQ(y, 150 + 75);
        }
        if (e == kEventTrackSectors || e == kEventGapSectors) written += y;
    }
    EXPECT_EQ(written, int(layout.totalSectors()) + 150);

    const std::string cue = path("burned.cue");
    std::string err;
    ASSERT_TRUE(recorder.exportCueBin(cue, &err)) << err;
    auto loaded = ps::loadCueImage(cue);
    ASSERT_TRUE(loaded.disc) << loaded.error;
    const ps::DiscModel& disc = *loaded.disc;
    ASSERT_EQ(disc.tracks.size(), 3u);
    EXPECT_TRUE(disc.tracks[2].preemphasis);

    auto readTrack = [&](int n) {
        const ps::DiscTrack* t = disc.track(n);
        std::vector<uint8_t> out(std::size_t(t->lengthSectors) * 2352);
        for (int32_t i = 0; i < t->lengthSectors; ++i) EXPECT_TRUE(disc.readRawSector(t->startLba + i, &out[std::size_t(i) * 2352]));
        return out;
    };
    auto expectTrack = [&](int n, std::vector<uint8_t> want) {
        auto got = readTrack(n);
        ASSERT_GE(got.size(), want.size());
        EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "track " << n;
        // Past the file's bytes: zeros up to the end of the last sector.
        for (std::size_t i = want.size(); i < got.size(); ++i) ASSERT_EQ(got[i], 0) << "track " << n << " byte " << i;
    };
    expectTrack(1, a);
    expectTrack(2, b);
    auto cSwapped = c;
    for (std::size_t i = 0; i + 1 < cSwapped.size(); i += 2) std::swap(cSwapped[i], cSwapped[i + 1]);
    expectTrack(3, cSwapped);
    EXPECT_EQ(disc.tracks[1].startLba - disc.tracks[0].startLba, 41 + 150);

    // cd-paranoia (libcdio) rips the same samples from the exported image.
    const std::string cmd = "cd " + dir_ + " && cd-paranoia -q -c -d burned.cue 2 p2.wav > /dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(path("p2.wav"), std::ios::binary);
    std::vector<uint8_t> wav((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(wav.size(), 44u);
    std::vector<uint8_t> p2(wav.begin() + 44, wav.end());
    auto ours = readTrack(2);
    EXPECT_EQ(p2.size(), ours.size());
    EXPECT_TRUE(p2 == ours);
}

TEST_F(DaoWriterTest, RecorderRefusesWhatAnMmcDriveRefuses) {
    const auto a = noise(2352 * 10, 4);
    writeFile(path("a.raw"), {}, a);
    DiscLayout layout = layOutDisc({"FILE \"" + path("a.raw") + "\" BINARY", "TRACK 01 AUDIO", "INDEX 01 00:00:00"});
    ps::SimulatedDrive drive;
    ps::SimulatedRecorder recorder(drive);
    MmcRecorderDrive mmc(drive);
    mmc.waitReady();

    // Audio before any write parameters or cue sheet: command sequence error.
    std::vector<uint8_t> sector(2352);
    auto r = send(drive, {0x2A, 0, 0xFF, 0xFF, 0xFF, 0x6A, 0, 0, 1, 0}, sector);
    EXPECT_EQ(keyAsc(r), std::make_pair(0x05, 0x2C));
    // A cue sheet before the write parameters.
    auto cueBytes = MmcRecorderDrive::cueSheetBytes(layout);
    const uint8_t n = uint8_t(cueBytes.size());
    r = send(drive, {0x5D, 0, 0, 0, 0, 0, 0, 0, n, 0}, cueBytes);
    EXPECT_EQ(keyAsc(r), std::make_pair(0x05, 0x2C));

    // Track-at-once of raw audio blocks is not what this recorder does: the page is refused.
    std::vector<uint8_t> page(8 + 2 + 0x32);
    page[8] = 0x05; page[9] = 0x32; page[10] = 0x01;
    r = send(drive, {0x55, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(page.size()), 0}, page);
    EXPECT_EQ(keyAsc(r), std::make_pair(0x05, 0x26));
    page[10] = 0x02;
    ASSERT_TRUE(send(drive, {0x55, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(page.size()), 0}, page).good());

    // A cue sheet whose addresses go back is refused; a sound one accepted.
    auto bad2 = cueBytes;
    bad2[bad2.size() - 3] = 0x00; bad2[bad2.size() - 2] = 0x01;  // lead-out at 00:01:00, before the track
    r = send(drive, {0x5D, 0, 0, 0, 0, 0, 0, 0, n, 0}, bad2);
    EXPECT_EQ(keyAsc(r), std::make_pair(0x05, 0x26));
    r = send(drive, {0x5D, 0, 0, 0, 0, 0, 0, 0, uint8_t(n - 3), 0}, cueBytes);  // not whole entries
    EXPECT_EQ(keyAsc(r), std::make_pair(0x05, 0x1A));
    ASSERT_TRUE(send(drive, {0x5D, 0, 0, 0, 0, 0, 0, 0, n, 0}, cueBytes).good());

    // The stream must start at -150 and go on without gap or overlap.
    r = send(drive, {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, sector);  // LBA 0: a gap
    EXPECT_EQ(keyAsc(r), std::make_pair(0x05, 0x21));
    EXPECT_TRUE(send(drive, {0x2A, 0, 0xFF, 0xFF, 0xFF, 0x6A, 0, 0, 1, 0}, sector).good());  // -150
    r = send(drive, {0x2A, 0, 0xFF, 0xFF, 0xFF, 0x6A, 0, 0, 1, 0}, sector);  // -150 again: overlap
    EXPECT_EQ(keyAsc(r), std::make_pair(0x05, 0x21));
    EXPECT_EQ(recorder.nextWritableLba(), -149);
    // Closing a short session is refused and leaves no disc.
    r = send(drive, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(keyAsc(r), std::make_pair(0x05, 0x2C));
    EXPECT_FALSE(recorder.burnedDisc());
    std::string err;
    EXPECT_FALSE(recorder.exportCueBin(path("x.cue"), &err));
    // Up to the lead-out and not past it; then the session closes.
    auto writeAt = [&](int32_t lba, uint16_t count) {
        std::vector<uint8_t> data(std::size_t(count) * 2352);
        const uint32_t u = uint32_t(lba);
        return send(drive, {0x2A, 0, uint8_t(u >> 24), uint8_t(u >> 16), uint8_t(u >> 8), uint8_t(u), 0,
                            uint8_t(count >> 8), uint8_t(count), 0}, data);
    };
    EXPECT_TRUE(writeAt(-149, 50).good());
    EXPECT_TRUE(writeAt(-99, 50).good());
    EXPECT_TRUE(writeAt(-49, 49).good());
    EXPECT_EQ(keyAsc(writeAt(0, 11)), std::make_pair(0x05, 0x21));
    EXPECT_TRUE(writeAt(0, 10).good());
    EXPECT_TRUE(send(drive, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}).good());
    ASSERT_TRUE(recorder.burnedDisc());
    // A finalized disc takes no more: READ DISC INFORMATION says complete.
    EXPECT_EQ(keyAsc(writeAt(10, 1)), std::make_pair(0x05, 0x2C));
    std::vector<uint8_t> info(34);
    ps::ScsiCommand rdi{std::span<const uint8_t>{}, ps::DataDirection::FromDevice, info.data(), 34};
    const uint8_t cdb[10] = {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0};
    rdi.cdb = cdb;
    ASSERT_TRUE(drive.execute(rdi).good());
    EXPECT_EQ(info[2] & 0x03, 2);
    EXPECT_EQ(info[6], 1);
}

TEST_F(DaoWriterTest, FailuresAndStopEndThePassWithTheEngineCode) {
    const auto a = noise(2352 * 300, 5);
    writeFile(path("a.raw"), {}, a);
    DiscLayout layout = layOutDisc({"FILE \"" + path("a.raw") + "\" BINARY", "TRACK 01 AUDIO", "INDEX 01 00:00:00"});
    {
        // Stop during the track: -100 after the write in progress, no disc.
        ps::SimulatedDrive drive;
        ps::SimulatedRecorder recorder(drive);
        MmcRecorderDrive mmc(drive);
        std::atomic<bool> stop{false};
        DaoOptions o;
        o.stop = &stop;
        o.progress = [&](int e, int, int) { if (e == kEventTrackSectors) stop = true; };
        try {
            writeDiscAtOnce(mmc, layout, o);
            FAIL() << "no stop";
        } catch (const EngineError& e) {
            EXPECT_EQ(e.code(), kErrUserAbort);
        }
        EXPECT_FALSE(recorder.burnedDisc());
        EXPECT_EQ(recorder.nextWritableLba(), 27);  // 150 gap sectors, then one write of 27
    }
    {
        // A disc too small for the layout: the drive refuses the cue sheet, -105.
        ps::SimulatedDrive drive;
        ps::SimulatedRecorder recorder(drive, 200);
        MmcRecorderDrive mmc(drive);
        try {
            writeDiscAtOnce(mmc, layout, {});
            FAIL() << "no failure";
        } catch (const EngineError& e) {
            EXPECT_EQ(e.code(), kErrCommandFailed);
            EXPECT_NE(e.mainText().find("SEND CUE SHEET"), std::string::npos);
        }
    }
    {
        // The file gone before the pass: -108, the drive's stream left open.
        ps::SimulatedDrive drive;
        ps::SimulatedRecorder recorder(drive);
        MmcRecorderDrive mmc(drive);
        fs::remove(path("a.raw"));
        try {
            writeDiscAtOnce(mmc, layout, {});
            FAIL() << "no failure";
        } catch (const EngineError& e) {
            EXPECT_EQ(e.code(), kErrOpenFile);
        }
        EXPECT_FALSE(recorder.burnedDisc());
    }
}
