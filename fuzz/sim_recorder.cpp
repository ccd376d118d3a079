// The simulated recorder's parameter parsing: the input is split into a
// write parameters page and an MMC cue sheet, sent as MODE SELECT(10) and
// SEND CUE SHEET, then a few WRITE(10) and SYNCHRONIZE CACHE, then the
// track-at-once commands and the reading side of whatever was burned.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sim_recorder.h"

namespace ps = tallory::platform::scsi;

namespace {

ps::ScsiResult send(ps::ScsiTransport& t, std::vector<uint8_t> cdb, std::vector<uint8_t>& data) {
    ps::ScsiCommand c{cdb, data.empty() ? ps::DataDirection::None : ps::DataDirection::ToDevice,
                      data.empty() ? nullptr : data.data(), uint32_t(data.size())};
    return t.execute(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t pageBytes = data[0] % 80;
    const size_t rest = size - 1;
    const size_t split = pageBytes < rest ? pageBytes : rest;
    std::vector<uint8_t> page(data + 1, data + 1 + split);
    std::vector<uint8_t> cue(data + 1 + split, data + size);
    ps::SimulatedDrive drive;
    ps::SimulatedRecorder recorder(drive, 2000);
    std::vector<uint8_t> none;
    uint8_t tur[] = {0, 0, 0, 0, 0, 0};
    send(drive, {tur, tur + 6}, none);
    send(drive, {0x55, 0x10, 0, 0, 0, 0, 0, uint8_t(page.size() >> 8), uint8_t(page.size()), 0}, page);
    const uint32_t n = uint32_t(cue.size());
    send(drive, {0x5D, 0, 0, 0, 0, 0, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0}, cue);
    std::vector<uint8_t> sectors(2352 * 40);
    for (int32_t lba = -150; lba < 60; lba += 40) {
        const uint32_t u = uint32_t(lba);
        send(drive, {0x2A, 0, uint8_t(u >> 24), uint8_t(u >> 16), uint8_t(u >> 8), uint8_t(u), 0, 0, 40, 0}, sectors);
    }
    send(drive, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, none);
    // The track-at-once side, for a page that asked for it.
    std::vector<uint8_t> info(36);
    ps::ScsiCommand rti{std::span<const uint8_t>{}, ps::DataDirection::FromDevice, info.data(), 36};
    const uint8_t rtiCdb[10] = {0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, 36, 0};
    rti.cdb = rtiCdb;
    (void)drive.execute(rti);
    std::vector<uint8_t> blocks(2048 * 20);
    send(drive, {0x2A, 0, 0, 0, 0, 0, 0, 0, 20, 0}, blocks);
    send(drive, {0x5B, 0, 0x01, 0, 0, 1, 0, 0, 0, 0}, none);
    send(drive, {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}, none);
    if (recorder.burnedDisc()) {
        (void)recorder.burnedDisc()->validate();
        // The burned disc answers the reading commands, CD-TEXT included.
        recorder.reloadBurnedDisc();
        std::vector<uint8_t> toc(4096);
        for (uint8_t format : {0, 5}) {
            const uint8_t cdb[10] = {0x43, 0, format, 0, 0, 0, 0, 0x10, 0x00, 0};
            ps::ScsiCommand c{cdb, ps::DataDirection::FromDevice, toc.data(), uint32_t(toc.size())};
            for (int i = 0; i < 3; ++i) (void)drive.execute(c);
        }
    }
    return 0;
}
