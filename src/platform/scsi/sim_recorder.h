// A CD-R recorder on top of the simulated drive, checked as strictly as an
// MMC drive checks its host:
// - write parameters (mode page 05h): session-at-once or track-at-once, test
//   write, buffer-underrun protection only when the drive has it;
// - session-at-once: SEND CUE SHEET (positions, MCN and ISRC entries, a
//   lead-in carrying CD-TEXT as R-W subcode), then WRITE(10) of the lead-in
//   subcode, the pregap and every track in one stream, SYNCHRONIZE CACHE;
// - track-at-once: READ TRACK INFORMATION for the next writable address,
//   WRITE(10) of 2048-byte Mode 1 blocks from it, SYNCHRONIZE CACHE, CLOSE
//   TRACK/SESSION.
// A command out of order, a gap, an overlap, a write past the medium or after
// the disc is closed gets the sense a drive returns. In test mode nothing
// reaches the disc. The burned disc is kept (sectors, table of contents,
// MCN, ISRCs, CD-TEXT) and can be loaded into the drive or saved as cue/bin
// or, for a data track, as an ISO image.
#ifndef TALLORY_PLATFORM_SCSI_SIM_RECORDER_H
#define TALLORY_PLATFORM_SCSI_SIM_RECORDER_H

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/scsi/cd_text_packs.h"
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

// Where the lead-in of the blank CD-R starts (ATIP 97:26:66, LBA -11634).
inline constexpr int32_t kSimLeadInStart = -11634;

class SimulatedRecorder {
public:
    // Registers the recorder's commands on `drive` (which must outlive this
    // object) and loads a blank CD-R of `capacitySectors`.
    SimulatedRecorder(SimulatedDrive& drive, int32_t capacitySectors = 360000);

    // After a completed write: the disc as burned (null before, and after a
    // test write). The drive keeps answering for the blank disc until
    // reloadBurnedDisc() puts this one in.
    std::shared_ptr<DiscModel> burnedDisc() const { return burned_; }
    void reloadBurnedDisc();
    // Writes `cuePath` and a .bin beside it (same name) holding LBA 0 up to
    // the lead-out, with CATALOG, ISRC and the CD-TEXT as cue commands.
    // False with `error` set on failure or before a burn.
    bool exportCueBin(const std::string& cuePath, std::string* error) const;
    // The user data (2048 bytes a sector) of data track `track` of the burned
    // disc, or an empty vector with `error` set.
    std::vector<uint8_t> dataTrackUserData(int track, std::string* error) const;
    // The CD-TEXT the lead-in carried, decoded (empty without CD-TEXT).
    const DecodedCdText& cdText() const { return cdText_; }

    // Test hook: the sector at `lba` comes out damaged. Bytes of it are flipped
    // as it is written, or at once when it is on the disc already; the sync
    // and header of a data sector are left so that it still reads as the
    // sector at its address (a miscompare, not a read error).
    void damageSector(int32_t lba);
    // The same for every LBA listed (comma-separated) in the environment
    // variable TALLORY_SIM_DAMAGE_SECTORS: how the command-line tests show
    // that verification catches a bad sector. Entries outside the disc are ignored.
    void damageSectorsFromEnvironment();

    const std::vector<RecorderCueEntry>& cueSheet() const { return cue_; }
    int32_t nextWritableLba() const { return nextLba_; }
    uint8_t writeType() const { return writeType_; }
    bool testWrite() const { return testWrite_; }
    bool underrunProtection() const { return bufe_; }
    uint64_t writeCommands() const { return writeCommands_; }
    // Lead-in sectors received with R-W subcode.
    int32_t leadInSectorsWritten() const { return leadInWritten_; }

private:
    enum class StateKind { Blank, SessionOpen, Complete };
    struct TaoTrack {
        int number = 1;
        int32_t start = 0;
        int32_t length = 0;
    };

    void modeSelect10(SimCommand& c);
    void sendCueSheet(SimCommand& c);
    void write10(SimCommand& c);
    void synchronizeCache(SimCommand& c);
    void readDiscInformation(SimCommand& c);
    void readTrackInformation(SimCommand& c);
    void closeTrackSession(SimCommand& c);
    bool parseCue(SimCommand& c, const std::vector<uint8_t>& data);
    // Bytes a host sends for the sector at `lba` in the open session-at-once stream.
    uint32_t saoSectorBytes(int32_t lba) const;
    uint8_t saoDataForm(int32_t lba) const;
    void storeSector(int32_t lba, const uint8_t* raw);
    void finishSao();
    void finishTao();
    void resetSession();
    void damageStored(int32_t lba);

    SimulatedDrive& drive_;
    int32_t capacity_;
    bool paramsSet_ = false;
    uint8_t writeType_ = 0xFF;
    bool testWrite_ = false;
    bool bufe_ = false;
    uint8_t trackMode_ = 0;
    uint8_t blockType_ = 0;
    StateKind state_ = StateKind::Blank;
    // Session-at-once.
    std::vector<RecorderCueEntry> cue_;  // positions only (ADR 1), lead-in first
    std::string catalog_;
    std::vector<std::pair<int, std::string>> isrcs_;
    bool leadInText_ = false;
    int32_t leadOut_ = 0;
    std::vector<uint8_t> leadInSubcode_;
    int32_t leadInWritten_ = 0;
    // Track-at-once.
    std::vector<TaoTrack> taoTracks_;
    bool taoTrackOpen_ = false;

    int32_t nextLba_ = -150;
    std::shared_ptr<MemorySectorStore> store_;  // raw sectors from LBA -150
    std::shared_ptr<DiscModel> burned_;
    DecodedCdText cdText_;
    uint64_t writeCommands_ = 0;
    std::set<int32_t> damaged_;
};

}  // namespace tallory::platform::scsi

#endif
