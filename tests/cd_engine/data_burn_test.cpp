// Data recording track-at-once onto the simulated recorder: the burned track
// read back through our CD reading layer (READ TOC, READ(10), READ CD), its
// sectors checked by the ECMA-130 reference, the saved image read by xorriso
// (extracted and compared byte for byte) and by pycdlib; the failures.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cd/engine/dao_writer.h"
#include "cd/engine/engine_error.h"
#include "cd/engine/scsi/device.h"
#include "cd/engine/tao_writer.h"
#include "cd/recording/data_burn.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sim_recorder.h"
#include "recording_progress.h"
#include "tallory/data_burn.h"

using namespace tallory::cd;
namespace ps = tallory::platform::scsi;
namespace fs = std::filesystem;

namespace {

class DataBurnTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tallory_dburn_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::create_directories(path("src/sub/deeper"));
        writeNoise("src/big.bin", 300000, 1);
        writeNoise("src/sub/a long name with spaces.dat", 5000, 2);
        writeNoise("src/sub/deeper/tiny.txt", 3, 3);
        writeNoise("src/empty.txt", 0, 4);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& n) const { return dir_ + "/" + n; }
    void writeNoise(const std::string& name, std::size_t bytes, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<char> v(bytes);
        for (auto& b : v) b = char(rng());
        std::ofstream(path(name), std::ios::binary).write(v.data(), std::streamsize(v.size()));
    }
    // The folder's contents as items at the disc's root.
    std::vector<std::string> items() const {
        return {path("src/big.bin"), path("src/sub"), path("src/empty.txt")};
    }
    int run(const std::string& cmd) { return std::system(cmd.c_str()); }
    std::string dir_;
};

ps::SimDriveIdentity recorderIdentity() {
    ps::SimDriveIdentity id;
    id.recorder = true;
    id.maxWriteSpeedKBs = 8467;  // 48x
    id.bufferUnderrunProtection = true;
    return id;
}

bool hasMessage(const RecordingProgress& p, const std::string& part) {
    for (const auto& m : p.messages)
        if (m.text.find(part) != std::string::npos) return true;
    return false;
}

class CancellingProgress : public RecordingProgress {
public:
    void SetPos(uint32_t p) override {
        RecordingProgress::SetPos(p);
        if (p > 40) cancelled = true;
    }
};

}  // namespace

TEST_F(DataBurnTest, BurnedTrackReadsBackThroughTheReadingLayerAndAsAnImage) {
    ps::SimulatedDrive drive(recorderIdentity());
    ps::SimulatedRecorder recorder(drive);
    recording::DataBurnRequest r;
    r.paths = items();
    r.volumeLabel = "BURNTEST";
    r.joliet = true;
    r.underrunProtection = true;
    RecordingProgress progress;
    recording::DataBurnResult burned;
    // Slowed to 4x beforehand: the data recording asks for the highest speed.
    const uint8_t slow[12] = {0xBB, 0, 0xFF, 0xFF, 0x02, 0xC2, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 3 && drive.writeSpeedKBs() != 706; ++i) drive.execute({slow, ps::DataDirection::None, nullptr, 0});
    ASSERT_EQ(drive.writeSpeedKBs(), 706);
    ASSERT_EQ(recording::burnDataDisc(drive, r, &progress, &burned), S_OK) << progress.lastText();
    EXPECT_TRUE(hasMessage(progress, "Recording Options: BURN-Proof enabled"));
    EXPECT_TRUE(hasMessage(progress, "Writing the ISO9660 disc using disc-at-once recording..."));
    EXPECT_EQ(progress.range, burned.trackSectors);
    EXPECT_TRUE(recorder.underrunProtection());
    EXPECT_EQ(recorder.writeType(), 1);
    EXPECT_EQ(drive.writeSpeedKBs(), drive.identity().maxWriteSpeedKBs);
    ASSERT_TRUE(recorder.burnedDisc());
    EXPECT_EQ(burned.trackStart, 0);
    // The ISO writer's run-out: 150 blocks past a track of at least 300.
    EXPECT_GE(burned.trackSectors, 450u);
    EXPECT_EQ(recorder.burnedDisc()->leadOutLba(), int32_t(burned.trackSectors));

    // Our reading layer: the table of contents shows one data track; READ(10)
    // and READ CD give the track's user data.
    recorder.reloadBurnedDisc();
    std::shared_ptr<ps::ScsiTransport> transport(&drive, [](ps::ScsiTransport*) {});
    engine::scsi::Device device(transport, engine::scsi::DeviceRecord{}, 65536);
    ASSERT_TRUE(device.testUnitReady() || device.testUnitReady() || device.testUnitReady());
    std::vector<uint8_t> toc(804);
    uint32_t tocLength = 0;
    device.readToc(toc.data(), uint32_t(toc.size()), &tocLength);
    std::vector<engine::scsi::TocEntry> entries;
    int first = 0, last = 0;
    std::string why;
    ASSERT_TRUE(engine::scsi::parseToc({toc.data(), tocLength}, entries, &first, &last, &why)) << why;
    ASSERT_EQ(first, 1);
    ASSERT_EQ(last, 1);
    EXPECT_EQ(entries[0].control & 0x04, 0x04);
    std::string err;
    const std::vector<uint8_t> user = recorder.dataTrackUserData(1, &err);
    ASSERT_EQ(user.size(), std::size_t(burned.trackSectors) * 2048) << err;
    std::vector<uint8_t> viaRead10(user.size()), viaReadCd(user.size());
    for (uint32_t lba = 0; lba < burned.trackSectors; lba += 30) {
        const uint32_t n = std::min<uint32_t>(30, burned.trackSectors - lba);
        const uint8_t r10[10] = {0x28, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, 0,
                                 uint8_t(n), 0};
        device.command("READ(10)", r10, ps::DataDirection::FromDevice, &viaRead10[std::size_t(lba) * 2048], n * 2048, true);
        // READ CD, expected sector type Mode 1, user data only.
        const uint8_t rcd[12] = {0xBE, 0x08, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, 0,
                                 uint8_t(n), 0x10, 0, 0};
        device.command("READ CD", rcd, ps::DataDirection::FromDevice, &viaReadCd[std::size_t(lba) * 2048], n * 2048, true);
    }
    EXPECT_TRUE(viaRead10 == user);
    EXPECT_TRUE(viaReadCd == user);
    // Sector 16 holds the primary volume descriptor.
    EXPECT_EQ(std::string(user.begin() + 16 * 2048 + 1, user.begin() + 16 * 2048 + 6), "CD001");

    // Every raw sector of the track is a sound Mode 1 sector (ECMA-130 reference).
    ASSERT_TRUE(recorder.exportCueBin(path("disc.cue"), &err)) << err;
    EXPECT_EQ(run("/usr/bin/python3 " TALLORY_TEST_DIR "/ecma130_check.py " + path("disc.bin") + " 0 " +
                  std::to_string(burned.trackSectors)), 0);

    // The track as an image: xorriso extracts files equal to the sources, pycdlib reads both trees.
    std::ofstream(path("disc.iso"), std::ios::binary).write(reinterpret_cast<const char*>(user.data()),
                                                            std::streamsize(user.size()));
    ASSERT_EQ(run("xorriso -osirrox on -indev " + path("disc.iso") + " -extract / " + path("out") + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(run("diff -r " + path("src") + " " + path("out")), 0);
    EXPECT_EQ(run("/usr/bin/python3 " TALLORY_TEST_DIR "/iso_check.py " + path("disc.iso") + " " + path("src") +
                  " > /dev/null"), 0);
}

TEST_F(DataBurnTest, TestModeLeavesTheDiscBlankAndFailuresAreReported) {
    {
        ps::SimulatedDrive drive(recorderIdentity());
        ps::SimulatedRecorder recorder(drive);
        recording::DataBurnRequest r;
        r.paths = items();
        r.volumeLabel = "T";
        r.testMode = true;
        RecordingProgress progress;
        ASSERT_EQ(recording::burnDataDisc(drive, r, &progress), S_OK) << progress.lastText();
        EXPECT_TRUE(hasMessage(progress, "Recording Options: Test mode enabled"));
        EXPECT_TRUE(recorder.testWrite());
        EXPECT_GT(recorder.writeCommands(), 0u);
        EXPECT_FALSE(recorder.burnedDisc());
        // Blank still: a real burn follows on the same disc.
        r.testMode = false;
        ASSERT_EQ(recording::burnDataDisc(drive, r, &progress), S_OK) << progress.lastText();
        EXPECT_TRUE(recorder.burnedDisc());
        // And a closed disc takes no second burn: -300.
        RecordingProgress again;
        EXPECT_EQ(recording::burnDataDisc(drive, r, &again), E_FAIL);
        EXPECT_TRUE(hasMessage(again, "Disc is not writable"));
    }
    {
        // Too large for the medium: -128 before a block is written.
        ps::SimulatedDrive drive(recorderIdentity());
        ps::SimulatedRecorder recorder(drive, 400);
        recording::DataBurnRequest r;
        r.paths = items();
        RecordingProgress progress;
        EXPECT_EQ(recording::burnDataDisc(drive, r, &progress), E_FAIL);
        EXPECT_TRUE(hasMessage(progress, "ISO9660 image is too large to fit on disc"));
        EXPECT_EQ(recorder.writeCommands(), 0u);
    }
    {
        // Cancelled through the progress object: E_ABORT, no disc.
        ps::SimulatedDrive drive(recorderIdentity());
        ps::SimulatedRecorder recorder(drive);
        recording::DataBurnRequest r;
        r.paths = items();
        r.transferBytes = 2048 * 4;
        CancellingProgress progress;
        EXPECT_EQ(recording::burnDataDisc(drive, r, &progress), E_ABORT);
        EXPECT_FALSE(recorder.burnedDisc());
        EXPECT_LT(recorder.writeCommands(), 40u);
    }
    {
        // A missing item, a label too long, a transfer size under one block.
        ps::SimulatedDrive drive(recorderIdentity());
        ps::SimulatedRecorder recorder(drive);
        recording::DataBurnRequest r;
        r.paths = {path("src/big.bin"), path("nowhere")};
        RecordingProgress progress;
        EXPECT_EQ(recording::burnDataDisc(drive, r, &progress), E_FAIL);
        EXPECT_TRUE(hasMessage(progress, "nowhere\" is invalid or does not exist"));
        r.paths = items();
        r.volumeLabel = std::string(33, 'L');
        EXPECT_EQ(recording::burnDataDisc(drive, r, &progress), E_INVALIDARG);
        r.volumeLabel = "OK";
        r.transferBytes = 2047;
        EXPECT_EQ(recording::burnDataDisc(drive, r, &progress), E_FAIL);
        EXPECT_TRUE(hasMessage(progress, "smaller than one 2048-byte sector"));
        EXPECT_EQ(recorder.writeCommands(), 0u);
    }
}

TEST_F(DataBurnTest, TheExportSavesTheTrackWholeOrNotAtAll) {
    const std::vector<std::string> owned = items();
    std::vector<const char*> p;
    for (const auto& s : owned) p.push_back(s.c_str());
    TalloryDataBurnRequest r{};
    r.size = sizeof r;
    r.flags = TALLORY_ISO_JOLIET;
    r.paths = p.data();
    r.pathCount = uint32_t(p.size());
    const std::string image = path("x.iso");
    r.image = image.c_str();
    r.volumeLabel = "EXPORT";
    RecordingProgress progress;
    ASSERT_EQ(TalloryBurnDataDisc(&r, &progress), S_OK) << progress.lastText();
    EXPECT_EQ(run("/usr/bin/python3 " TALLORY_TEST_DIR "/iso_check.py " + image + " " + path("src") + " > /dev/null"), 0);
    // An existing image is kept unless allowed; a test burn saves nothing.
    const auto size = fs::file_size(image);
    EXPECT_EQ(TalloryBurnDataDisc(&r, &progress), E_ABORT);
    r.flags |= TALLORY_DATA_BURN_TEST | TALLORY_DATA_BURN_OVERWRITE;
    fs::remove(image);
    EXPECT_EQ(TalloryBurnDataDisc(&r, &progress), S_OK);
    EXPECT_FALSE(fs::exists(image));
    // Verification reads the burned track back before the image is saved.
    r.flags = TALLORY_DATA_BURN_VERIFY | TALLORY_ISO_JOLIET;
    RecordingProgress verified;
    EXPECT_EQ(TalloryBurnDataDisc(&r, &verified), S_OK) << verified.lastText();
    EXPECT_TRUE(hasMessage(verified, "match their sources"));
    EXPECT_TRUE(fs::exists(image));
    fs::remove(image);
    // A device node that takes no SG_IO commands is an error, not a burn.
    r.flags = 0;
    r.device = "/dev/null";
    RecordingProgress dev;
    EXPECT_EQ(TalloryBurnDataDisc(&r, &dev), E_FAIL);
    EXPECT_TRUE(hasMessage(dev, "does not take SG_IO commands"));
    (void)size;
    EXPECT_EQ(TalloryBurnDataDisc(nullptr, &dev), E_INVALIDARG);
}
