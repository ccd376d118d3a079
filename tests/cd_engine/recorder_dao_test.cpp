// Disc-at-once onto the simulated recorder as a real MMC drive takes it:
// CD-TEXT through the lead-in's R-W subcode, MCN and ISRC cue entries, data
// tracks with addressed empty sectors, test mode, underrun protection and the
// transfer size. Read back by libcdio (cue/bin image, CD-TEXT packs) and
// checked against an ECMA-130 reference written in Python.
#include <gtest/gtest.h>

#include <cdio/cdio.h>
#include <cdio/cdtext.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cd/engine/cd_text.h"
#include "cd/engine/cue_sheet.h"
#include "cd/engine/dao_writer.h"
#include "cd/engine/engine_error.h"
#include "platform/scsi/cd_sector.h"
#include "platform/scsi/sense.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sim_recorder.h"

using namespace tallory::cd::engine;
namespace ps = tallory::platform::scsi;
namespace fs = std::filesystem;

namespace {

class RecorderDaoTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tallory_rdao_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& n) const { return dir_ + "/" + n; }
    std::vector<uint8_t> writeNoise(const std::string& name, std::size_t bytes, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> v(bytes);
        for (auto& b : v) b = uint8_t(rng());
        std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char*>(v.data()), std::streamsize(v.size()));
        return v;
    }
    std::vector<uint8_t> readFile(const std::string& name) {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // The ECMA-130 reference over sectors first..first+count-1 of a bin that starts at LBA 0.
    int ecmaCheck(const std::string& bin, int32_t first, int32_t count) {
        const std::string cmd = "/usr/bin/python3 " TALLORY_TEST_DIR "/ecma130_check.py " + bin + " " +
                                std::to_string(first) + " " + std::to_string(count);
        return std::system(cmd.c_str());
    }
    std::string dir_;
};

ps::SimDriveIdentity recorderIdentity(bool cdText, bool underrun) {
    ps::SimDriveIdentity id;
    id.recorder = true;
    id.cdTextWriting = cdText;
    id.bufferUnderrunProtection = underrun;
    return id;
}

std::vector<uint8_t> command(ps::ScsiTransport& t, std::vector<uint8_t> cdb, uint32_t length, bool* ok = nullptr) {
    std::vector<uint8_t> out(length);
    ps::ScsiCommand c{cdb, ps::DataDirection::FromDevice, out.data(), length};
    auto r = t.execute(c);
    if (ok) *ok = r.good();
    out.resize(r.transferred(length));
    return out;
}

std::vector<uint8_t> packBytes(const std::vector<CdTextPack>& packs) {
    const auto* p = reinterpret_cast<const uint8_t*>(packs.data());
    return {p, p + packs.size() * sizeof(CdTextPack)};
}

struct Cdio {
    CdIo_t* p = nullptr;
    explicit Cdio(const std::string& cue) { p = cdio_open_cue(cue.c_str()); }
    ~Cdio() { if (p) cdio_destroy(p); }
};

std::string owned(char* s) {
    std::string v = s ? s : "";
    cdio_free(s);
    return v;
}

}  // namespace

TEST_F(RecorderDaoTest, CdTextMcnAndIsrcComeBackFromTheBurnedDisc) {
    writeNoise("a.raw", 2352 * 30, 1);
    writeNoise("b.raw", 2352 * 20, 2);
    DiscLayout layout = layOutDisc({"CATALOG 0731452345672", "FILE \"" + path("a.raw") + "\" BINARY", "TRACK 01 AUDIO",
                                    "ISRC USABC0400001", "INDEX 01 00:00:00", "FILE \"" + path("b.raw") + "\" BINARY",
                                    "TRACK 02 AUDIO", "ISRC GBXYZ9912345", "PREGAP 00:02:00", "INDEX 01 00:00:00"});
    CdTextRecord text;
    text.setTrackCount(2);
    text.entries[0][kCdTitle] = "Say \"hello\" Sessions";
    text.entries[0][kCdPerformer] = "The Quartet";
    text.entries[1][kCdTitle] = "Opening";
    text.entries[1][kCdSongwriter] = "A. Writer";
    text.entries[2][kCdTitle] = "A title long enough to cross packs";
    const std::vector<CdTextPack> packs = buildCdTextPacks(text);

    ps::SimulatedDrive drive(recorderIdentity(true, false));
    ps::SimulatedRecorder recorder(drive);
    MmcRecorderDrive mmc(drive);
    DaoOptions o;
    o.cdTextPacks = packs;
    ASSERT_NO_THROW(writeDiscAtOnce(mmc, layout, o));
    ASSERT_TRUE(recorder.burnedDisc());
    // The whole lead-in, from its start up to the pregap, carried subcode.
    EXPECT_EQ(recorder.leadInSectorsWritten(), -150 - ps::kSimLeadInStart);

    // The drive answers READ TOC format 5 with the packs; libcdio parses them.
    recorder.reloadBurnedDisc();
    mmc.waitReady();
    bool ok = false;
    auto toc5 = command(drive, {0x43, 0, 0x05, 0, 0, 0, 0, 0x10, 0x00, 0}, 4096, &ok);
    ASSERT_TRUE(ok);
    ASSERT_GE(toc5.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(toc5.begin() + 4, toc5.end()), packBytes(packs));
    cdtext_t* parsed = cdtext_init();
    ASSERT_EQ(cdtext_data_init(parsed, toc5.data() + 4, toc5.size() - 4), 0);
    EXPECT_STREQ(cdtext_get_const(parsed, CDTEXT_FIELD_TITLE, 0), "Say \"hello\" Sessions");
    EXPECT_STREQ(cdtext_get_const(parsed, CDTEXT_FIELD_TITLE, 2), "A title long enough to cross packs");
    cdtext_destroy(parsed);

    // READ SUB-CHANNEL: the MCN and each track's ISRC.
    auto mcn = command(drive, {0x42, 0, 0x40, 0x02, 0, 0, 0, 0, 24, 0}, 24, &ok);
    ASSERT_TRUE(ok && mcn.size() == 24u);
    EXPECT_EQ(mcn[8] & 0x80, 0x80);
    EXPECT_EQ(std::string(mcn.begin() + 9, mcn.begin() + 22), "0731452345672");
    auto isrc = command(drive, {0x42, 0, 0x40, 0x03, 0, 0, 2, 0, 24, 0}, 24, &ok);
    ASSERT_TRUE(ok && isrc.size() == 24u);
    EXPECT_EQ(std::string(isrc.begin() + 9, isrc.begin() + 21), "GBXYZ9912345");

    // libcdio's image driver reads the exported cue/bin: MCN, ISRCs, CD-TEXT.
    std::string err;
    ASSERT_TRUE(recorder.exportCueBin(path("t.cue"), &err)) << err;
    Cdio cdio(path("t.cue"));
    ASSERT_NE(cdio.p, nullptr);
    EXPECT_EQ(owned(cdio_get_mcn(cdio.p)), "0731452345672");
    EXPECT_EQ(owned(cdio_get_track_isrc(cdio.p, 1)), "USABC0400001");
    EXPECT_EQ(owned(cdio_get_track_isrc(cdio.p, 2)), "GBXYZ9912345");
    cdtext_t* ct = cdio_get_cdtext(cdio.p);
    ASSERT_NE(ct, nullptr);
    // A cue sheet cannot quote a double quote: it becomes an apostrophe there.
    EXPECT_STREQ(cdtext_get_const(ct, CDTEXT_FIELD_TITLE, 0), "Say 'hello' Sessions");
    EXPECT_STREQ(cdtext_get_const(ct, CDTEXT_FIELD_PERFORMER, 0), "The Quartet");
    EXPECT_STREQ(cdtext_get_const(ct, CDTEXT_FIELD_TITLE, 1), "Opening");
    EXPECT_STREQ(cdtext_get_const(ct, CDTEXT_FIELD_SONGWRITER, 1), "A. Writer");
    EXPECT_STREQ(cdtext_get_const(ct, CDTEXT_FIELD_TITLE, 2), "A title long enough to cross packs");
}

TEST_F(RecorderDaoTest, ADriveWithoutCdTextRecordsTheDiscWithoutIt) {
    writeNoise("a.raw", 2352 * 10, 3);
    DiscLayout layout = layOutDisc({"FILE \"" + path("a.raw") + "\" BINARY", "TRACK 01 AUDIO", "INDEX 01 00:00:00"});
    CdTextRecord text;
    text.setTrackCount(1);
    text.entries[1][kCdTitle] = "Lost";
    ps::SimulatedDrive drive(recorderIdentity(false, false));
    ps::SimulatedRecorder recorder(drive);
    MmcRecorderDrive mmc(drive);
    DaoOptions o;
    o.cdTextPacks = buildCdTextPacks(text);
    ASSERT_NO_THROW(writeDiscAtOnce(mmc, layout, o));
    EXPECT_FALSE(mmc.capabilities().cdText);
    EXPECT_EQ(recorder.leadInSectorsWritten(), 0);
    ASSERT_TRUE(recorder.burnedDisc());
    EXPECT_TRUE(recorder.burnedDisc()->cdTextPacks.empty());

    // Sent anyway, such a lead-in is refused by the drive: invalid field in the cue sheet.
    ps::SimulatedDrive plain(recorderIdentity(false, false));
    ps::SimulatedRecorder r2(plain);
    MmcRecorderDrive m2(plain);
    m2.waitReady();
    std::vector<uint8_t> page(8 + 2 + 0x32);
    page[8] = 0x05; page[9] = 0x32; page[10] = 0x02;
    ps::ScsiCommand sel{std::span<const uint8_t>{}, ps::DataDirection::ToDevice, page.data(), uint32_t(page.size())};
    const uint8_t selCdb[10] = {0x55, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(page.size()), 0};
    sel.cdb = selCdb;
    ASSERT_TRUE(plain.execute(sel).good());
    auto cue = MmcRecorderDrive::cueSheetBytes(layout, true);
    const uint8_t cueCdb[10] = {0x5D, 0, 0, 0, 0, 0, 0, 0, uint8_t(cue.size()), 0};
    ps::ScsiCommand sc{cueCdb, ps::DataDirection::ToDevice, cue.data(), uint32_t(cue.size())};
    auto s = ps::parseSense(plain.execute(sc).senseBytes());
    EXPECT_EQ(s.key, 0x05);
    EXPECT_EQ(s.asc, 0x26);
}

TEST_F(RecorderDaoTest, DataTracksCarryAddressedEmptySectorsWithEdcAndEcc) {
    writeNoise("a.raw", 2352 * 10, 4);
    // Track 2's file: raw Mode 1 sectors (whatever bytes; the writer passes them through).
    const auto raw = writeNoise("d.bin", 2352 * 20, 5);
    const auto cooked = writeNoise("e.iso", 2048 * 40, 6);
    DiscLayout layout = layOutDisc({"FILE \"" + path("a.raw") + "\" BINARY", "TRACK 01 AUDIO", "INDEX 01 00:00:00",
                                    "FILE \"" + path("d.bin") + "\" BINARY", "TRACK 02 MODE1/2352", "PREGAP 00:03:00",
                                    "INDEX 01 00:00:00", "POSTGAP 00:01:00", "FILE \"" + path("e.iso") + "\" BINARY",
                                    "TRACK 03 MODE1/2048", "INDEX 01 00:00:00"});
    const LayoutTrack& t2 = layout.tracks[1];
    ASSERT_EQ(t2.pregapPrevious, 75u);
    ASSERT_EQ(t2.pregapOwn, 150u);
    ps::SimulatedDrive drive(recorderIdentity(false, false));
    ps::SimulatedRecorder recorder(drive);
    MmcRecorderDrive mmc(drive);
    ASSERT_NO_THROW(writeDiscAtOnce(mmc, layout, {}));
    std::string err;
    ASSERT_TRUE(recorder.exportCueBin(path("m.cue"), &err)) << err;
    const auto bin = readFile("m.bin");
    const int32_t gapStart = t2.pregapStart;
    // The first part of the pregap keeps the audio track's form: silence.
    for (std::size_t i = std::size_t(gapStart) * 2352; i < std::size_t(gapStart + 75) * 2352; ++i)
        ASSERT_EQ(bin[i], 0) << "byte " << i;
    // The second part, the postgap and the drive-formatted 2048-byte track are
    // complete Mode 1 sectors with their own BCD addresses (independent check).
    EXPECT_EQ(ecmaCheck(path("m.bin"), gapStart + 75, 150), 0);
    EXPECT_EQ(ecmaCheck(path("m.bin"), t2.start + 20, 75), 0);
    EXPECT_EQ(ecmaCheck(path("m.bin"), layout.tracks[2].start, 40), 0);
    // Track 2's own sectors are the file's bytes.
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), bin.begin() + std::ptrdiff_t(t2.start) * 2352));
    // The checker is not blind: a flipped byte fails it.
    {
        std::fstream f(path("m.bin"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(std::streamoff(layout.tracks[2].start) * 2352 + 100);
        f.put(char(bin[std::size_t(layout.tracks[2].start) * 2352 + 100] ^ 1));
    }
    EXPECT_NE(ecmaCheck(path("m.bin"), layout.tracks[2].start, 1), 0);

    // libcdio sees two data tracks after the audio one; our drive reads the
    // 2048-byte track back with READ(10).
    Cdio cdio(path("m.cue"));
    ASSERT_NE(cdio.p, nullptr);
    EXPECT_EQ(cdio_get_track_format(cdio.p, 1), TRACK_FORMAT_AUDIO);
    EXPECT_EQ(cdio_get_track_format(cdio.p, 2), TRACK_FORMAT_DATA);
    EXPECT_EQ(cdio_get_track_format(cdio.p, 3), TRACK_FORMAT_DATA);
    recorder.reloadBurnedDisc();
    mmc.waitReady();
    const uint32_t lba = uint32_t(layout.tracks[2].start);
    bool ok = false;
    auto back = command(drive, {0x28, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, 0, 40, 0},
                        2048 * 40, &ok);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(back == cooked);
}

TEST_F(RecorderDaoTest, TestModeWritesNothingAndUnderrunProtectionOnlyWhereOffered) {
    writeNoise("a.raw", 2352 * 40, 7);
    DiscLayout layout = layOutDisc({"FILE \"" + path("a.raw") + "\" BINARY", "TRACK 01 AUDIO", "INDEX 01 00:00:00"});
    ps::SimulatedDrive drive(recorderIdentity(false, true));
    ps::SimulatedRecorder recorder(drive);
    MmcRecorderDrive mmc(drive);
    DaoOptions o;
    o.testMode = true;
    ASSERT_NO_THROW(writeDiscAtOnce(mmc, layout, o));
    EXPECT_TRUE(recorder.testWrite());
    EXPECT_TRUE(recorder.underrunProtection());
    EXPECT_GT(recorder.writeCommands(), 0u);
    EXPECT_FALSE(recorder.burnedDisc());
    auto info = command(drive, {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34);
    ASSERT_EQ(info.size(), 34u);
    EXPECT_EQ(info[2] & 0x03, 0);  // still an empty disc
    std::string err;
    EXPECT_FALSE(recorder.exportCueBin(path("x.cue"), &err));
    // The same disc then burns for real.
    o.testMode = false;
    ASSERT_NO_THROW(writeDiscAtOnce(mmc, layout, o));
    EXPECT_TRUE(recorder.burnedDisc());

    // A drive without protection is not asked for it (its BUFE bit is reserved).
    ps::SimulatedDrive plain(recorderIdentity(false, false));
    ps::SimulatedRecorder r2(plain);
    MmcRecorderDrive m2(plain);
    ASSERT_NO_THROW(writeDiscAtOnce(m2, layout, {}));
    EXPECT_FALSE(r2.underrunProtection());
    // A drive that cannot test-write refuses test mode before writing anything.
    ps::SimulatedDrive old;
    ps::SimulatedRecorder r3(old);
    MmcRecorderDrive m3(old);
    o.testMode = true;
    EXPECT_THROW(writeDiscAtOnce(m3, layout, o), EngineError);
    EXPECT_EQ(r3.writeCommands(), 0u);
}

TEST_F(RecorderDaoTest, TransferSizeSetsTheWritesAndLessThanASectorIsRefused) {
    writeNoise("a.raw", 2352 * 30, 8);
    DiscLayout layout = layOutDisc({"FILE \"" + path("a.raw") + "\" BINARY", "TRACK 01 AUDIO", "INDEX 01 00:00:00"});
    {
        ps::SimulatedDrive drive;
        ps::SimulatedRecorder recorder(drive);
        MmcRecorderDrive mmc(drive);
        DaoOptions o;
        o.transferBytes = 2352 * 7 + 100;  // 7 sectors a write
        ASSERT_NO_THROW(writeDiscAtOnce(mmc, layout, o));
        // 150 gap sectors and 30 of the track, 7 at a time: 22 + 5 writes.
        EXPECT_EQ(recorder.writeCommands(), 22u + 5u);
    }
    {
        ps::SimulatedDrive drive;
        ps::SimulatedRecorder recorder(drive);
        MmcRecorderDrive mmc(drive);
        DaoOptions o;
        o.transferBytes = 2351;
        const uint64_t before = drive.commandCount();
        try {
            writeDiscAtOnce(mmc, layout, o);
            FAIL() << "accepted";
        } catch (const EngineError& e) {
            EXPECT_EQ(e.code(), kErrText);
            EXPECT_NE(std::string(e.what()).find("2351"), std::string::npos);
        }
        EXPECT_EQ(drive.commandCount(), before);  // the drive was never touched
    }
    // A transfer size past what the transport carries is cut to it.
    EXPECT_EQ(sectorsPerWrite(1u << 20, 65536, 2352), 65536u / 2352u);
}
