// A CD-R recorder on top of the simulated drive: write parameters (mode page
// 05h, session-at-once), SEND CUE SHEET, WRITE(10) from LBA -150 and
// SYNCHRONIZE CACHE, checked as strictly as an MMC drive checks them (a
// command out of order, a gap or an overlap gets the sense a drive returns).
// The burned disc is kept and can be saved as a cue/bin image.
#ifndef TALLORY_PLATFORM_SCSI_SIM_RECORDER_H
#define TALLORY_PLATFORM_SCSI_SIM_RECORDER_H

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/scsi/disc_model.h"
#include "platform/scsi/sim_drive.h"

namespace tallory::platform::scsi {

// One 8-byte entry of an MMC session-at-once cue sheet.
struct RecorderCueEntry {
    uint8_t controlAdr = 0;
    uint8_t track = 0;     // 0 lead-in, 1..99, AAh lead-out
    uint8_t index = 0;
    uint8_t dataForm = 0;
    uint8_t scms = 0;
    int32_t lba = 0;       // from the entry's MSF
};

class SimulatedRecorder {
public:
    // Registers the recorder's commands on `drive` (which must outlive this
    // object) and loads a blank CD-R of `capacitySectors`.
    SimulatedRecorder(SimulatedDrive& drive, int32_t capacitySectors = 360000);

    // After a completed write and SYNCHRONIZE CACHE: the disc as burned
    // (null before). The drive itself keeps answering for the blank disc
    // until reloadBurnedDisc() puts this one in.
    std::shared_ptr<DiscModel> burnedDisc() const { return burned_; }
    void reloadBurnedDisc();
    // Writes `cuePath` and a .bin beside it (same name) holding LBA 0 up to
    // the lead-out. False with `error` set on failure or before a burn.
    bool exportCueBin(const std::string& cuePath, std::string* error) const;

    // Test hook: the sector at `lba` comes out damaged. Bytes of it are flipped
    // as it is written, or at once when it is on the disc already; the sync
    // and header of a data sector are left so that it still reads as the
    // sector at its address (a miscompare, not a read error).
    void damageSector(int32_t lba);

    const std::vector<RecorderCueEntry>& cueSheet() const { return cue_; }
    int32_t nextWritableLba() const { return nextLba_; }
    uint8_t writeType() const { return writeType_; }
    uint64_t writeCommands() const { return writeCommands_; }

private:
    void modeSelect10(SimCommand& c);
    void sendCueSheet(SimCommand& c);
    void write10(SimCommand& c);
    void synchronizeCache(SimCommand& c);
    void readDiscInformation(SimCommand& c);
    void finishDisc();
    void damageStored(int32_t lba);

    SimulatedDrive& drive_;
    int32_t capacity_;
    bool paramsSet_ = false;
    uint8_t writeType_ = 0xFF;
    bool testWrite_ = false;
    std::vector<RecorderCueEntry> cue_;
    int32_t leadOut_ = 0;
    int32_t nextLba_ = -150;
    std::shared_ptr<MemorySectorStore> store_;  // sectors from LBA -150
    std::shared_ptr<DiscModel> burned_;
    uint64_t writeCommands_ = 0;
    std::set<int32_t> damaged_;
};

}  // namespace tallory::platform::scsi

#endif
