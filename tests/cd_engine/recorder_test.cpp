// The simulated recorder's own behaviour: the sector-damage hook that the
// verification tests rely on.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cd/engine/cue_sheet.h"
#include "cd/engine/dao_writer.h"
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
