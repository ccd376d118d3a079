// The simulated drive answers like a strict MMC drive; the cue loader lays
// images out as a disc.
#include <gtest/gtest.h>

#include <cstring>

#include "cd_test_support.h"
#include "platform/scsi/cue_image.h"
#include "platform/scsi/sim_drive.h"

using namespace tallory::platform::scsi;
using cdtest::run;
using cdtest::senseOf;

namespace {

std::shared_ptr<DiscModel> load(const cdtest::Image& img) {
    CueLoadResult r = loadCueImage(img.cuePath);
    EXPECT_TRUE(r.disc) << r.error;
    return std::shared_ptr<DiscModel>(std::move(r.disc));
}

std::vector<uint8_t> readCdCdb(int32_t lba, uint32_t count, uint8_t type = 0x04) {
    return {0xBE, type, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
            uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count), 0x10, 0, 0};
}

void expectSense(const ScsiResult& r, uint8_t key, uint8_t asc, uint8_t ascq) {
    ASSERT_EQ(r.status, kStatusCheckCondition);
    const SenseInfo s = senseOf(r);
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.key, key);
    EXPECT_EQ(s.asc, asc);
    EXPECT_EQ(s.ascq, ascq);
}

}  // namespace

TEST(CueImage, LaysOutTracksPregapsAndSessions) {
    auto img = cdtest::makeImage({{300}, {200, false, 0, 150}, {400, true, 0, 0, 2}});
    auto disc = load(img);
    ASSERT_TRUE(disc);
    ASSERT_EQ(disc->tracks.size(), 3u);
    EXPECT_EQ(disc->tracks[0].startLba, 0);
    EXPECT_EQ(disc->tracks[0].lengthSectors, 300);
    EXPECT_EQ(disc->tracks[1].pregapLba, 300);
    EXPECT_EQ(disc->tracks[1].startLba, 450);
    EXPECT_EQ(disc->tracks[1].lengthSectors, 200);
    ASSERT_EQ(disc->sessions.size(), 2u);
    EXPECT_EQ(disc->sessions[0].leadOutLba, 650);
    // The second session starts after lead-out, lead-in and pregap.
    EXPECT_EQ(disc->tracks[2].startLba, 650 + kSessionGapSectors);
    EXPECT_FALSE(disc->tracks[2].audio());
    EXPECT_EQ(disc->leadOutLba(), 650 + kSessionGapSectors + 400);
    // Sector bytes come from the right place in the file.
    uint8_t sector[2352];
    ASSERT_TRUE(disc->readRawSector(455, sector));
    EXPECT_EQ(0, std::memcmp(sector, img.bin.data() + img.trackOffset[1] + 5 * 2352, 2352));
    EXPECT_FALSE(disc->readRawSector(700, sector));  // inside the session gap
}

TEST(CueImage, RefusesBadSheetsWithTheLine) {
    auto img = cdtest::makeImage({{100}});
    const std::string bin = img.binPath;
    auto opener = [&](const std::string&, std::string*) -> std::shared_ptr<SectorStore> {
        return FileSectorStore::open(bin, false, nullptr);
    };
    struct Case {
        const char* text;
        const char* fragment;
    } cases[] = {
        {"TRACK 01 AUDIO\n", "before any FILE"},
        {"FILE \"a\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:75\n", "frames"},
        {"FILE \"a\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 03 AUDIO\n", "line 4"},
        {"FILE \"a\" BINARY\nTRACK 01 AUDIO\n", "no INDEX 01"},
        {"FILE \"a\" WAVE\n", "not supported"},
        {"FILE \"a\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n", "follow"},
        {"FILE \"a BINARY\n", "unterminated"},
        {"FILE \"a\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:02:00\n", "no data"},
        {"", "no TRACK"},
        {"FILE \"a\" BINARY\nTRACK 100 AUDIO\n", "outside"},
        {"FILE \"a\" BINARY\nTRACK 01 AUDIO\nBOGUS\n", "unknown command"},
    };
    for (const Case& c : cases) {
        CueLoadResult r = parseCueSheet(c.text, opener);
        EXPECT_FALSE(r.disc) << c.text;
        EXPECT_NE(r.error.find(c.fragment), std::string::npos) << c.text << " -> " << r.error;
    }
    CueLoadResult missing = loadCueImage(img.folder + "/absent.cue");
    EXPECT_FALSE(missing.disc);
    EXPECT_NE(missing.error.find("absent.cue"), std::string::npos);
}

TEST(SimDrive, UnitAttentionAndNotReadySequences) {
    SimFaults faults;
    faults.becomingReadyCommands = 2;
    SimulatedDrive drive({}, faults);
    const std::vector<uint8_t> tur = {0, 0, 0, 0, 0, 0};
    // INQUIRY does not report the power-on reset ...
    std::vector<uint8_t> inq(36);
    EXPECT_TRUE(run(drive, {0x12, 0, 0, 0, 36, 0}, &inq).good());
    // ... the first other command does, once.
    expectSense(run(drive, tur), 6, 0x29, 0x00);
    expectSense(run(drive, tur), 2, 0x3A, 0x01);  // no medium, tray closed
    auto img = cdtest::makeImage({{100}});
    drive.loadDisc(load(img));
    expectSense(run(drive, tur), 6, 0x28, 0x00);
    expectSense(run(drive, tur), 2, 0x04, 0x01);
    expectSense(run(drive, tur), 2, 0x04, 0x01);
    EXPECT_TRUE(run(drive, tur).good());
    // Eject through START STOP UNIT, refused while removal is prevented.
    EXPECT_TRUE(run(drive, {0x1E, 0, 0, 0, 1, 0}).good());
    expectSense(run(drive, {0x1B, 0, 0, 0, 0x02, 0}), 5, 0x53, 0x02);
    EXPECT_TRUE(run(drive, {0x1E, 0, 0, 0, 0, 0}).good());
    EXPECT_TRUE(run(drive, {0x1B, 0, 0, 0, 0x02, 0}).good());
    drive.ejectDisc();
    expectSense(run(drive, tur), 2, 0x3A, 0x02);  // tray open
    // REQUEST SENSE returns the last failure's sense.
    std::vector<uint8_t> sense(18);
    EXPECT_TRUE(run(drive, {0x03, 0, 0, 0, 18, 0}, &sense).good());
    EXPECT_EQ(sense[2] & 0x0F, 2);
    EXPECT_EQ(sense[12], 0x3A);
}

TEST(SimDrive, ChecksCdbsAndHonoursAllocationLengths) {
    SimulatedDrive drive;
    cdtest::clearAttention(drive);
    expectSense(run(drive, {0xEE, 0, 0, 0, 0, 0}), 5, 0x20, 0x00);          // unknown operation code
    expectSense(run(drive, {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0}), 5, 0x24, 0x00);  // INQUIRY with 10 bytes
    expectSense(run(drive, {0x12, 0, 0x80, 0, 36, 0}), 5, 0x24, 0x00);       // page without EVPD
    expectSense(run(drive, {0x12, 1, 0x83, 0, 36, 0}), 5, 0x24, 0x00);       // unsupported VPD page
    expectSense(run(drive, {0x00, 0, 0, 0, 0, 1}), 5, 0x24, 0x00);           // LINK bit
    std::vector<uint8_t> inq(64, 0xCC);
    ScsiResult r = run(drive, {0x12, 0, 0, 0, 5, 0}, &inq);
    ASSERT_TRUE(r.good());
    EXPECT_EQ(r.residue, 64u - 5u);
    EXPECT_EQ(inq[0], 0x05);
    EXPECT_EQ(inq[5], 0xCC);  // nothing past the allocation length
    r = run(drive, {0x12, 0, 0, 0, 64, 0}, &inq);
    EXPECT_EQ(r.residue, 64u - 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&inq[8]), 8), "TALLORY ");
    // A buffer smaller than the allocation length: overrun reported by the host.
    std::vector<uint8_t> small(8);
    r = run(drive, {0x12, 0, 0, 0, 36, 0}, &small);
    EXPECT_EQ(r.hostStatus, HostStatus::Error);
    // A transfer past the drive's limit never reaches it.
    std::vector<uint8_t> huge(drive.maxTransferLength() + 1);
    EXPECT_NE(run(drive, readCdCdb(0, 1), &huge).transportError, 0);
}

TEST(SimDrive, ReadTocFormats) {
    SimulatedDrive drive;
    cdtest::clearAttention(drive);
    auto img = cdtest::makeImage({{300}, {200}, {400, true, 0, 0, 2}});
    drive.loadDisc(load(img));
    cdtest::clearAttention(drive);
    std::vector<uint8_t> toc(804);
    ScsiResult r = run(drive, {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0}, &toc);
    ASSERT_TRUE(r.good());
    EXPECT_EQ((toc[0] << 8) | toc[1], 2 + 4 * 8);
    EXPECT_EQ(toc[2], 1);
    EXPECT_EQ(toc[3], 3);
    EXPECT_EQ(toc[4 + 1], 0x10);       // audio
    EXPECT_EQ(toc[4 + 16 + 1], 0x14);  // data
    EXPECT_EQ(toc[4 + 24 + 2], 0xAA);
    auto be32 = [&](int at) { return (toc[at] << 24) | (toc[at + 1] << 16) | (toc[at + 2] << 8) | toc[at + 3]; };
    EXPECT_EQ(be32(4 + 8 + 4), 300);
    EXPECT_EQ(be32(4 + 16 + 4), 500 + kSessionGapSectors);
    EXPECT_EQ(r.residue, 804u - 36u);
    // Allocation length 12: the header still tells the whole length.
    std::vector<uint8_t> part(804, 0xCC);
    r = run(drive, {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, &part);
    ASSERT_TRUE(r.good());
    EXPECT_EQ((part[0] << 8) | part[1], 34);
    EXPECT_EQ(part[12], 0xCC);
    // MSF addressing: track 2 at 300 + 150 = 00:06:00.
    r = run(drive, {0x43, 0x02, 0, 0, 0, 0, 2, 0x03, 0x24, 0}, &toc);
    ASSERT_TRUE(r.good());
    EXPECT_EQ(toc[4 + 2], 2);
    EXPECT_EQ(toc[4 + 5], 0);
    EXPECT_EQ(toc[4 + 6], 6);
    EXPECT_EQ(toc[4 + 7], 0);
    expectSense(run(drive, {0x43, 0, 0, 0, 0, 0, 9, 0x03, 0x24, 0}, &toc), 5, 0x24, 0x00);
    expectSense(run(drive, {0x43, 0, 7, 0, 0, 0, 0, 0x03, 0x24, 0}, &toc), 5, 0x24, 0x00);
    // Session info: the last session starts with track 3.
    r = run(drive, {0x43, 0, 1, 0, 0, 0, 0, 0, 12, 0}, &toc);
    ASSERT_TRUE(r.good());
    EXPECT_EQ(toc[3], 2);
    EXPECT_EQ(toc[6], 3);
    // Full TOC: A0, A1, A2 and two tracks for session 1, then B0; session 2 after.
    r = run(drive, {0x43, 0x02, 2, 0, 0, 0, 0, 0x03, 0x24, 0}, &toc);
    ASSERT_TRUE(r.good());
    const int len = (toc[0] << 8) | toc[1];
    EXPECT_EQ((len - 2) % 11, 0);
    EXPECT_EQ((len - 2) / 11, 3 + 2 + 1 + 3 + 1);
    EXPECT_EQ(toc[4 + 3], 0xA0);
    EXPECT_EQ(toc[4 + 22 + 3], 0xA2);
    const Msf lo = lbaToMsf(500);
    EXPECT_EQ(toc[4 + 22 + 8], lo.minutes);
    EXPECT_EQ(toc[4 + 22 + 9], lo.seconds);
    EXPECT_EQ(toc[4 + 22 + 10], lo.frames);
    EXPECT_EQ(toc[4 + 55 + 3], 0xB0);
}

TEST(SimDrive, ReadCdDeliversTheImageAndRefusesWhatARealDriveRefuses) {
    SimFaults faults;
    faults.badSectors = {120};
    SimulatedDrive drive({}, faults);
    auto img = cdtest::makeImage({{300}, {100, true}});
    drive.loadDisc(load(img));
    cdtest::clearAttention(drive);
    cdtest::clearAttention(drive);
    std::vector<uint8_t> buf(27 * 2352);
    ScsiResult r = run(drive, readCdCdb(10, 27), &buf);
    ASSERT_TRUE(r.good());
    EXPECT_EQ(r.residue, 0u);
    EXPECT_EQ(0, std::memcmp(buf.data(), img.bin.data() + 10 * 2352, buf.size()));
    expectSense(run(drive, readCdCdb(399, 2), &buf), 5, 0x21, 0x00);   // past the lead-out
    expectSense(run(drive, readCdCdb(-1, 1), &buf), 5, 0x21, 0x00);
    expectSense(run(drive, readCdCdb(300, 1), &buf), 5, 0x64, 0x00);   // CD-DA asked of a data track
    expectSense(run(drive, readCdCdb(299, 2, 0), &buf), 5, 0x64, 0x00); // audio and data in one read
    expectSense(run(drive, readCdCdb(10, 1, 0x08), &buf), 5, 0x64, 0x00); // Mode 1 asked of audio
    // The unreadable sector: the sectors before it move, then MEDIUM ERROR naming it.
    r = run(drive, readCdCdb(110, 20), &buf);
    expectSense(r, 3, 0x11, 0x00);
    const SenseInfo s = senseOf(r);
    EXPECT_TRUE(s.infoValid);
    EXPECT_EQ(s.information, 120u);
    EXPECT_EQ(r.residue, buf.size() - 10 * 2352);
    // Data track through READ CD (user data only) and READ(10).
    std::vector<uint8_t> data(2048);
    ASSERT_TRUE(run(drive, {0xBE, 0x08, 0, 0, 0x01, 0x2C, 0, 0, 1, 0x10, 0, 0}, &data).good());
    EXPECT_EQ(0, std::memcmp(data.data(), img.bin.data() + 300 * 2352 + 16, 2048));
    ASSERT_TRUE(run(drive, {0x28, 0, 0, 0, 0x01, 0x2D, 0, 0, 1, 0}, &data).good());
    EXPECT_EQ(0, std::memcmp(data.data(), img.bin.data() + 301 * 2352 + 16, 2048));
    expectSense(run(drive, {0x28, 0, 0, 0, 0, 5, 0, 0, 1, 0}, &data), 5, 0x64, 0x00);
}

TEST(SimDrive, JitterAndReadOffsetShiftByWholeSamples) {
    SimFaults faults;
    faults.jitterShare = 1.0;
    faults.jitterMaxSamples = 5;
    faults.readOffsetSamples = 30;
    SimulatedDrive drive({}, faults);
    auto img = cdtest::makeImage({{300}});
    drive.loadDisc(load(img));
    cdtest::clearAttention(drive);
    cdtest::clearAttention(drive);
    std::vector<uint8_t> buf(4 * 2352);
    int shifted = 0;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(run(drive, readCdCdb(100, 4), &buf).good());
        bool found = false;
        for (int d = -35; d <= -25 && !found; ++d) {
            if (std::memcmp(buf.data(), img.bin.data() + 100 * 2352 + d * 4, buf.size()) == 0) {
                found = true;
                shifted += d != -30;
            }
        }
        EXPECT_TRUE(found);
    }
    EXPECT_GT(shifted, 0);
}

TEST(SimDrive, CapabilitiesPageAndConfiguration) {
    SimDriveIdentity id;
    id.recorder = true;
    id.bufferUnderrunProtection = true;
    id.maxWriteSpeedKBs = 8467;
    SimulatedDrive drive(id);
    cdtest::clearAttention(drive);
    std::vector<uint8_t> page(64);
    ScsiResult r = run(drive, {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 64, 0}, &page);
    ASSERT_TRUE(r.good());
    EXPECT_EQ(page[8], 0x2A);
    EXPECT_EQ(page[8 + 3] & 0x01, 1);
    EXPECT_EQ(page[8 + 4] & 0x80, 0x80);
    expectSense(run(drive, {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 64, 0}, &page), 5, 0x24, 0x00);
    expectSense(run(drive, {0x5A, 0, 0xEA, 0, 0, 0, 0, 0, 64, 0}, &page), 5, 0x39, 0x00);
    // SET CD SPEED clamps to the maximum.
    ASSERT_TRUE(run(drive, {0xBB, 0, 0x01, 0x60, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}).good());
    EXPECT_EQ(drive.readSpeedKBs(), 352);
    ASSERT_TRUE(run(drive, {0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}).good());
    EXPECT_EQ(drive.readSpeedKBs(), id.maxReadSpeedKBs);
    // GET CONFIGURATION: profile list names CD-R; one feature on request.
    std::vector<uint8_t> conf(256);
    r = run(drive, {0x46, 0x02, 0x00, 0x2E, 0, 0, 0, 0x01, 0x00, 0}, &conf);
    ASSERT_TRUE(r.good());
    const uint32_t len = (conf[0] << 24) | (conf[1] << 16) | (conf[2] << 8) | conf[3];
    ASSERT_EQ(len, 4u + 8u);
    EXPECT_EQ((conf[8] << 8) | conf[9], 0x002E);
    r = run(drive, {0x46, 0x00, 0, 0, 0, 0, 0, 0x01, 0x00, 0}, &conf);
    ASSERT_TRUE(r.good());
    EXPECT_EQ((conf[8] << 8) | conf[9], 0x0000);
    EXPECT_EQ((conf[12] << 8) | conf[13], 0x0009);  // CD-R first
    expectSense(run(drive, {0x46, 0x03, 0, 0, 0, 0, 0, 0x01, 0x00, 0}, &conf), 5, 0x24, 0x00);
}

TEST(SimDrive, ExtraCommandsCanBeRegistered) {
    SimulatedDrive drive;
    cdtest::clearAttention(drive);
    int calls = 0;
    drive.registerCommand({0x51, 10, "READ DISC INFORMATION", false, true, [&](SimCommand& c) {
                               ++calls;
                               uint8_t info[34] = {0, 32};
                               c.sendData(info, sizeof info, c.cdb16(7));
                           }});
    std::vector<uint8_t> info(34);
    EXPECT_TRUE(run(drive, {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, &info).good());
    EXPECT_EQ(calls, 1);
    expectSense(run(drive, {0x51, 0, 0, 0, 0, 0}, &info), 5, 0x24, 0x00);  // wrong length never reaches it
    EXPECT_EQ(calls, 1);
}

TEST(Sense, DecodesBothFormatsWithinTheBuffer) {
    uint8_t fixed[18];
    buildFixedSense(fixed, 3, 0x11, 0x05, true, 123456);
    fixed[2] |= 0x40;
    SenseInfo s = parseSense({fixed, 18});
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.key, 3);
    EXPECT_EQ(s.asc, 0x11);
    EXPECT_EQ(s.ascq, 0x05);
    EXPECT_TRUE(s.endOfMedium);
    EXPECT_EQ(s.information, 123456u);
    // Cut short: the key survives, the ASC is not invented.
    s = parseSense({fixed, 8});
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.asc, 0);
    // An additional length claiming more than is there.
    fixed[7] = 250;
    s = parseSense({fixed, 18});
    EXPECT_EQ(s.asc, 0x11);
    const uint8_t desc[] = {0x72, 0x05, 0x24, 0x00, 0, 0, 0, 12, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02};
    s = parseSense({desc, sizeof desc});
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.key, 5);
    EXPECT_EQ(s.asc, 0x24);
    EXPECT_TRUE(s.infoValid);
    EXPECT_EQ(s.information, 0x0102u);
    const uint8_t junk[] = {0x12, 0x34};
    EXPECT_FALSE(parseSense({junk, 2}).valid);
    EXPECT_FALSE(parseSense({}).valid);
    EXPECT_EQ(describeSense(parseSense({fixed, 18})), "MEDIUM ERROR 11h/05h");
}
