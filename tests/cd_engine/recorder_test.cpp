// The simulated recorder as strict as a drive: the track-at-once and
// session-at-once sequences with every sense it returns, and the
// sector-damage hook that the verification tests rely on.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <tuple>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cd/engine/cd_text.h"
#include "cd/engine/cue_sheet.h"
#include "cd/engine/dao_writer.h"
#include "platform/scsi/sense.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sim_recorder.h"

using namespace tallory::cd::engine;
namespace ps = tallory::platform::scsi;
namespace fs = std::filesystem;

namespace {

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tallory_recorder_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& n) const { return dir_ + "/" + n; }

    std::vector<uint8_t> writeNoise(const std::string& name, std::size_t bytes, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> v(bytes);
        for (auto& b : v) b = uint8_t(rng());
        std::ofstream out(path(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(v.data()), std::streamsize(v.size()));
        return v;
    }
    std::vector<uint8_t> readFile(const std::string& name) {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::string dir_;
};

}  // namespace

TEST_F(RecorderTest, DamagedSectorsDifferAndNoOthers) {
    const auto audio = writeNoise("a.raw", 2352 * 20, 7);
    DiscLayout layout = layOutDisc({"FILE \"" + path("a.raw") + "\" BINARY", "TRACK 01 AUDIO", "INDEX 01 00:00:00"});
    ps::SimulatedDrive drive;
    ps::SimulatedRecorder recorder(drive);
    MmcRecorderDrive mmc(drive);
    recorder.damageSector(3);   // before the write: damaged as it arrives
    ASSERT_NO_THROW(writeDiscAtOnce(mmc, layout, {}));
    recorder.damageSector(19);  // after the burn: damaged in place
    recorder.damageSector(19);  // twice is once (no flip back)
    std::string err;
    ASSERT_TRUE(recorder.exportCueBin(path("d.cue"), &err)) << err;
    const auto bin = readFile("d.bin");
    ASSERT_EQ(bin.size(), audio.size());
    for (int s = 0; s < 20; ++s) {
        const bool same = std::equal(audio.begin() + s * 2352, audio.begin() + (s + 1) * 2352, bin.begin() + s * 2352);
        EXPECT_EQ(same, s != 3 && s != 19) << "sector " << s;
        // The first 16 bytes (a data sector's sync and header) are never touched.
        EXPECT_TRUE(std::equal(audio.begin() + s * 2352, audio.begin() + s * 2352 + 16, bin.begin() + s * 2352));
    }
}

namespace {

// Raw commands for the strictness cases.
ps::ScsiResult sendTo(ps::ScsiTransport& t, std::vector<uint8_t> cdb, std::vector<uint8_t> data = {}) {
    ps::ScsiCommand c{cdb, data.empty() ? ps::DataDirection::None : ps::DataDirection::ToDevice,
                      data.empty() ? nullptr : data.data(), uint32_t(data.size())};
    return t.execute(c);
}
std::vector<uint8_t> readFrom(ps::ScsiTransport& t, std::vector<uint8_t> cdb, uint32_t length) {
    std::vector<uint8_t> out(length);
    ps::ScsiCommand c{cdb, ps::DataDirection::FromDevice, out.data(), length};
    auto r = t.execute(c);
    if (!r.good()) return {};
    out.resize(r.transferred(length));
    return out;
}
// Key, ASC and ASCQ of a result; 0/0/0 for GOOD.
std::tuple<int, int, int> sense(const ps::ScsiResult& r) {
    if (r.good()) return {0, 0, 0};
    auto s = ps::parseSense(r.senseBytes());
    return {s.key, s.asc, s.ascq};
}
std::vector<uint8_t> writePage(uint8_t type, uint8_t trackMode, uint8_t blockType, bool bufe = false, bool test = false) {
    std::vector<uint8_t> page(8 + 2 + 0x32);
    page[8] = 0x05;
    page[9] = 0x32;
    page[10] = uint8_t(type | (bufe ? 0x40 : 0) | (test ? 0x10 : 0));
    page[11] = trackMode;
    page[12] = blockType;
    return page;
}
ps::ScsiResult modeSelect(ps::ScsiTransport& t, std::vector<uint8_t> page) {
    return sendTo(t, {0x55, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(page.size()), 0}, page);
}
ps::ScsiResult writeBlocks(ps::ScsiTransport& t, int32_t lba, uint16_t count, uint32_t bytesEach = 2048) {
    const uint32_t u = uint32_t(lba);
    return sendTo(t, {0x2A, 0, uint8_t(u >> 24), uint8_t(u >> 16), uint8_t(u >> 8), uint8_t(u), 0, uint8_t(count >> 8),
                      uint8_t(count), 0},
                  std::vector<uint8_t>(std::size_t(count) * bytesEach, 0x5A));
}
uint32_t be32(const std::vector<uint8_t>& v, std::size_t at) {
    return (uint32_t(v[at]) << 24) | (uint32_t(v[at + 1]) << 16) | (uint32_t(v[at + 2]) << 8) | v[at + 3];
}
void settle(ps::ScsiTransport& t) {
    for (int i = 0; i < 4; ++i) sendTo(t, {0, 0, 0, 0, 0, 0});  // power-on and new-medium attentions
}

}  // namespace

TEST_F(RecorderTest, TrackAtOnceSequenceAndEverySenseADriveGives) {
    ps::SimDriveIdentity id;
    id.recorder = true;
    ps::SimulatedDrive drive(id);
    ps::SimulatedRecorder recorder(drive, 40);
    settle(drive);
    using S = std::tuple<int, int, int>;
    const S good{0, 0, 0}, sequence{5, 0x2C, 0}, badParameter{5, 0x26, 0}, badAddress{5, 0x21, 2},
        outOfRange{5, 0x21, 0}, badField{5, 0x24, 0};

    // Writes before any write parameters; BUFE on a drive without protection;
    // TAO with a block type other than Mode 1; packet writing.
    EXPECT_EQ(sense(writeBlocks(drive, 0, 1)), sequence);
    EXPECT_EQ(sense(modeSelect(drive, writePage(1, 4, 8, true))), badParameter);
    EXPECT_EQ(sense(modeSelect(drive, writePage(1, 4, 0))), badParameter);
    EXPECT_EQ(sense(modeSelect(drive, writePage(0, 4, 8))), badParameter);
    ASSERT_EQ(sense(modeSelect(drive, writePage(1, 4, 8))), good);
    // A cue sheet does not belong to track-at-once.
    std::vector<uint8_t> cue(24);
    EXPECT_EQ(sense(sendTo(drive, {0x5D, 0, 0, 0, 0, 0, 0, 0, 24, 0}, cue)), sequence);
    // Nothing to close yet.
    EXPECT_EQ(sense(sendTo(drive, {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0})), sequence);

    // READ TRACK INFORMATION of the invisible track: NWA 0, every block free.
    auto info = readFrom(drive, {0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, 36, 0}, 36);
    ASSERT_EQ(info.size(), 36u);
    EXPECT_EQ(info[2], 1);
    EXPECT_EQ(info[7] & 0x01, 0x01);
    EXPECT_EQ(be32(info, 12), 0u);
    EXPECT_EQ(be32(info, 16), 40u);

    // Only the next writable address: not past it (a gap), not before it (an overlap), never past the medium.
    EXPECT_EQ(sense(writeBlocks(drive, 5, 1)), badAddress);
    ASSERT_EQ(sense(writeBlocks(drive, 0, 10)), good);
    EXPECT_EQ(sense(writeBlocks(drive, 9, 1)), badAddress);
    EXPECT_EQ(sense(writeBlocks(drive, 11, 1)), badAddress);
    EXPECT_EQ(sense(writeBlocks(drive, 10, 1, 2047)), S(5, 0x1A, 0));  // fewer bytes than the blocks
    info = readFrom(drive, {0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, 36, 0}, 36);
    EXPECT_EQ(be32(info, 12), 10u);
    EXPECT_EQ(be32(info, 16), 30u);
    EXPECT_EQ(sense(writeBlocks(drive, 10, 31)), outOfRange);
    // The write parameters cannot change inside a session.
    EXPECT_EQ(sense(modeSelect(drive, writePage(1, 4, 8))), sequence);
    // SYNCHRONIZE CACHE does not close a track-at-once track.
    EXPECT_EQ(sense(sendTo(drive, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0})), good);
    EXPECT_FALSE(recorder.burnedDisc());
    // CLOSE TRACK names the open track; a short track is padded towards 300
    // blocks, as far as the medium goes.
    EXPECT_EQ(sense(sendTo(drive, {0x5B, 0, 0x01, 0, 0, 2, 0, 0, 0, 0})), badField);
    ASSERT_EQ(sense(sendTo(drive, {0x5B, 0, 0x01, 0, 0, 1, 0, 0, 0, 0})), good);
    EXPECT_EQ(recorder.nextWritableLba(), 40);
    ASSERT_EQ(sense(sendTo(drive, {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0})), good);
    ASSERT_TRUE(recorder.burnedDisc());
    EXPECT_EQ(recorder.burnedDisc()->leadOutLba(), 40);
    EXPECT_EQ(recorder.burnedDisc()->validate(), "");

    // The disc is closed: writes and closes are refused, the disc says complete.
    EXPECT_EQ(sense(writeBlocks(drive, 40, 1)), sequence);
    EXPECT_EQ(sense(sendTo(drive, {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0})), sequence);
    auto disc = readFrom(drive, {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34);
    ASSERT_EQ(disc.size(), 34u);
    EXPECT_EQ(disc[2] & 0x03, 2);
    EXPECT_TRUE(readFrom(drive, {0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, 36, 0}, 36).empty());  // no invisible track
    std::string err;
    auto user = recorder.dataTrackUserData(1, &err);
    ASSERT_EQ(user.size(), 40u * 2048) << err;
    EXPECT_TRUE(std::all_of(user.begin(), user.begin() + 10 * 2048, [](uint8_t b) { return b == 0x5A; }));
    EXPECT_TRUE(std::all_of(user.begin() + 10 * 2048, user.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(RecorderTest, SessionAtOnceCueSheetsAreCheckedLikeADrive) {
    ps::SimDriveIdentity id;
    id.recorder = true;
    ps::SimulatedDrive drive(id);
    ps::SimulatedRecorder recorder(drive, 10000);
    settle(drive);
    using S = std::tuple<int, int, int>;
    const S good{0, 0, 0}, badParameter{5, 0x26, 0}, sequence{5, 0x2C, 0};
    ASSERT_EQ(sense(modeSelect(drive, writePage(2, 0, 0))), good);
    // Track-at-once commands do not belong to session-at-once.
    EXPECT_EQ(sense(sendTo(drive, {0x5B, 0, 0x01, 0, 0, 1, 0, 0, 0, 0})), sequence);
    auto entry = [](uint8_t ca, uint8_t t, uint8_t i, uint8_t form, uint8_t m, uint8_t s, uint8_t f) {
        return std::vector<uint8_t>{ca, t, i, form, 0, m, s, f};
    };
    auto sheet = [&](std::vector<std::vector<uint8_t>> entries) {
        std::vector<uint8_t> out;
        for (auto& e : entries) out.insert(out.end(), e.begin(), e.end());
        return out;
    };
    auto mcn = [](const char* d) {
        std::vector<uint8_t> v{0x02};
        v.insert(v.end(), d, d + 7);
        v.push_back(0x02);
        v.insert(v.end(), d + 7, d + 13);
        v.push_back(0);
        return v;
    };
    auto isrc = [](uint8_t track, const char* c) {
        std::vector<uint8_t> v{0x03, track};
        v.insert(v.end(), c, c + 6);
        v.insert(v.end(), {0x03, track});
        v.insert(v.end(), c + 6, c + 12);
        return v;
    };
    auto leadIn = entry(0x01, 0, 0, 0x01, 0, 0, 0), t1i0 = entry(0x01, 1, 0, 0x00, 0, 0, 0),
         t1i1 = entry(0x01, 1, 1, 0x00, 0, 2, 0), leadOut = entry(0x01, 0xAA, 1, 0x01, 0, 4, 0);
    auto send = [&](const std::vector<uint8_t>& cue) {
        return sense(sendTo(drive, {0x5D, 0, 0, 0, 0, 0, 0, 0, uint8_t(cue.size()), 0}, cue));
    };
    auto cat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const auto body = sheet({leadIn, t1i0, t1i1, leadOut});
    // An MCN with a letter, an MCN after the lead-in, an ISRC with a bad
    // character or not before its track's first entry; a data form that
    // does not match the track's control; a lead-in asking for host subcode
    // from a drive without CD-TEXT writing; a lead-out past the medium.
    EXPECT_EQ(send(cat(mcn("073145234567X"), body)), badParameter);
    EXPECT_EQ(send(sheet({leadIn, mcn("0731452345672"), t1i0, t1i1, leadOut})), badParameter);
    EXPECT_EQ(send(sheet({leadIn, isrc(1, "usabc0400001"), t1i0, t1i1, leadOut})), badParameter);
    EXPECT_EQ(send(sheet({leadIn, t1i0, isrc(1, "USABC0400001"), t1i1, leadOut})), badParameter);
    EXPECT_EQ(send(sheet({leadIn, t1i0, entry(0x01, 1, 1, 0x10, 0, 2, 0), leadOut})), badParameter);
    EXPECT_EQ(send(sheet({entry(0x01, 0, 0, 0x41, 0, 0, 0), t1i0, t1i1, leadOut})), badParameter);
    EXPECT_EQ(send(sheet({leadIn, t1i0, t1i1, entry(0x01, 0xAA, 1, 0x01, 9, 0, 0)})), S(5, 0x21, 0));
    // A sound sheet with both kinds of entry is taken, once.
    const auto sound = cat(mcn("0731452345672"), sheet({leadIn, isrc(1, "USABC0400001"), t1i0, t1i1, leadOut}));
    ASSERT_EQ(send(sound), good);
    EXPECT_EQ(send(sound), sequence);
    // Audio sectors are 2352 bytes: a data-sized write is short of them.
    EXPECT_EQ(sense(writeBlocks(drive, -150, 1, 2048)), S(5, 0x1A, 0));
    for (int32_t lba = -150; lba < 150; lba += 50) ASSERT_EQ(sense(writeBlocks(drive, lba, 50, 2352)), good);
    ASSERT_EQ(sense(sendTo(drive, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0})), good);
    ASSERT_TRUE(recorder.burnedDisc());
    EXPECT_EQ(recorder.burnedDisc()->catalog, "0731452345672");
    EXPECT_EQ(recorder.burnedDisc()->tracks.at(0).isrc, "USABC0400001");
}

TEST_F(RecorderTest, LeadInSubcodeGivesBackThePacksAndTheirTexts) {
    tallory::cd::engine::CdTextRecord r;
    r.setTrackCount(3);
    r.entries[0][tallory::cd::engine::kCdTitle] = "Caf\xC3\xA9 M\xC3\xBCller";  // ISO 8859-1 on the disc
    r.entries[1][tallory::cd::engine::kCdTitle] = "Eins";
    r.entries[3][tallory::cd::engine::kCdTitle] = "Drei, a title that runs over two packs";
    r.entries[2][tallory::cd::engine::kCdPerformer] = "Zwei";
    r.entries[1][tallory::cd::engine::kCdCode] = "DEABC0400001";
    r.discId = "ID-42";
    r.genreCode = 5;
    r.genreText = "Klassik";
    const auto packs = tallory::cd::engine::buildCdTextPacks(r);
    std::vector<uint8_t> sub(packs.size() * 24);
    tallory::cd::engine::spreadCdTextToSubcode(packs.data(), packs.size(), sub.data());
    // The lead-in repeats the packs and a reader may start anywhere in the cycle;
    // one copy of a pack is damaged.
    std::vector<uint8_t> leadIn(sub.begin() + 24 * 3, sub.end());
    for (int i = 0; i < 3; ++i) leadIn.insert(leadIn.end(), sub.begin(), sub.end());
    leadIn[24 * 2 + 5] ^= 0x01;
    const auto gathered = ps::gatherCdTextPacks(leadIn);
    const auto* p = reinterpret_cast<const uint8_t*>(packs.data());
    EXPECT_EQ(gathered, std::vector<uint8_t>(p, p + packs.size() * 18));
    const ps::DecodedCdText t = ps::decodeCdTextPacks(gathered);
    ASSERT_EQ(t.entries.size(), 4u);
    EXPECT_EQ(t.characterCode, 0x00);
    EXPECT_EQ(t.entries[0][0], "Caf\xC3\xA9 M\xC3\xBCller");
    EXPECT_EQ(t.entries[1][0], "Eins");
    EXPECT_EQ(t.entries[2][0], "");
    EXPECT_EQ(t.entries[3][0], "Drei, a title that runs over two packs");
    EXPECT_EQ(t.entries[2][1], "Zwei");
    EXPECT_EQ(t.entries[1][6], "DEABC0400001");
    EXPECT_EQ(t.discId, "ID-42");
    EXPECT_EQ(t.genreCode, 5);
    EXPECT_EQ(t.genreText, "Klassik");
    // Without the size packs there is no complete block: nothing is made up.
    EXPECT_TRUE(ps::gatherCdTextPacks(std::span<const uint8_t>(sub.data(), sub.size() - 3 * 24)).empty());
}
