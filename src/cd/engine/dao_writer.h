// The disc-at-once pass: a laid-out disc written to an MMC recorder in one
// session-at-once stream (write parameters, cue sheet, the lead-in's CD-TEXT
// as R-W subcode when there is any, every gap and track from LBA -150 in
// order, then the cache synchronised and the drive polled until the disc is
// closed). The generic MMC recorder class here also carries the
// track-at-once operations that tao_writer.h drives.
#ifndef TALLORY_CD_ENGINE_DAO_WRITER_H
#define TALLORY_CD_ENGINE_DAO_WRITER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cd/engine/cd_text.h"
#include "cd/engine/disc_layout.h"
#include "platform/scsi/scsi_transport.h"

namespace tallory::cd::engine {

// What a recorder says it can do (GET CONFIGURATION features 002Dh and 002Eh,
// or, from a drive without it, the capabilities page 2Ah).
struct RecorderCapabilities {
    bool sessionAtOnce = false;
    bool trackAtOnce = false;
    bool testWrite = false;
    bool bufferUnderrunProtection = false;
    bool cdText = false;  // R-W subcode in the lead-in (session-at-once)
};

// The track a track-at-once write goes to (READ TRACK INFORMATION).
struct TrackInfo {
    int number = 0;
    int32_t start = 0;
    int32_t nextWritable = 0;
    uint32_t freeBlocks = 0;
};

// A generic MMC recorder: the operations the passes need, each a SCSI command
// sequence; a failed command throws EngineError -105 with its name and the
// drive's sense as the detail text.
class MmcRecorderDrive {
public:
    explicit MmcRecorderDrive(platform::scsi::ScsiTransport& transport) : transport_(transport) {}
    virtual ~MmcRecorderDrive() = default;

    // TEST UNIT READY until the drive is ready (at most `checks` times).
    virtual void waitReady(int checks = 30);
    // Asked once, then kept.
    virtual const RecorderCapabilities& capabilities();
    // Mode page 05h (session-at-once, raw 2352-byte audio) and the cue sheet.
    // Buffer-underrun protection is asked for only from a drive that has it;
    // test mode from a drive without it is refused (-101). With `cdText`
    // packs and a drive that writes CD-TEXT the lead-in carries them.
    virtual void start(const DiscLayout& layout, bool testMode, bool underrunProtection,
                       std::span<const CdTextPack> cdText = {});
    // WRITE(10) of whole sectors of `sectorBytes` at `lba`.
    virtual void write(int32_t lba, std::span<const uint8_t> sectors, uint32_t sectorBytes = kAudioSectorSize);
    // SYNCHRONIZE CACHE, then polls until the drive has closed the disc.
    virtual void finish();
    // Best effort after a failure: nothing of it throws.
    virtual void abort() noexcept;
    // Where the lead-in starts (READ DISC INFORMATION), for writing CD-TEXT into it.
    virtual int32_t leadInStart();

    // Track-at-once: page 05h for a Mode 1 data track of 2048-byte blocks
    // ("START TAO RECORDING"), the highest write speed, then the track to write. -300 when the disc
    // takes nothing more, -304 without a next writable address.
    virtual TrackInfo startTrack(bool testMode, bool underrunProtection);
    // SYNCHRONIZE CACHE and CLOSE TRACK ("FINISH TAO RECORDING").
    virtual void finishTrack(int track);
    // CLOSE SESSION, then polls until the drive is done ("CLOSE SESSION").
    virtual void closeSession();

    // The 8-byte entries of the session-at-once cue sheet for `layout`: the
    // MCN (ADR 2) when the layout has a catalog, the lead-in (with host R-W
    // subcode when `leadInText`), ISRCs (ADR 3) before their tracks, every cue
    // point with its data form, the lead-out.
    static std::vector<uint8_t> cueSheetBytes(const DiscLayout& layout, bool leadInText = false);

    // The largest data phase of one command.
    uint32_t maxTransferBytes() const { return transport_.maxTransferLength(); }

protected:
    platform::scsi::ScsiResult run(const char* name, std::span<const uint8_t> cdb,
                                   platform::scsi::DataDirection dir, uint8_t* data, uint32_t length,
                                   uint32_t timeoutMs = 60000, bool throwOnError = true);
    void selectWriteParameters(const char* name, uint8_t writeType, bool testMode, bool underrunProtection,
                               uint8_t trackMode, uint8_t blockType);
    void pollUntilReady(const char* name);

    platform::scsi::ScsiTransport& transport_;
    std::optional<RecorderCapabilities> caps_;
};

// Progress events of the pass.
enum DaoEvent : int {
    kEventGapStart = 17,   // a = gap kind (0 pregap in the previous mode, 1 own pregap, 2 postgap), b = sectors
    kEventGapSectors = 18, // a = track, b = sectors written
    kEventGapEnd = 19,
    kEventDiscLength = 20, // a = total sectors (layout + 150)
    kEventTracksDone = 21,
    kEventTrackStart = 22, // a = track, b = its total sectors
    kEventTrackSectors = 23,
    kEventTrackEnd = 24,
    kEventLeadOut = 27,    // the drive writes the lead-out (the finish step begins)
    kEventFinished = 28,   // the disc is closed
};

struct DaoOptions {
    bool testMode = false;
    bool underrunProtection = true;
    bool progressEvents = true;
    // Bytes of one write command's data: at least one sector (-101 otherwise),
    // and never more than the transport carries.
    uint32_t transferBytes = 65000;
    const std::atomic<bool>* stop = nullptr;   // set: the pass ends with -100 after the write in progress
    std::function<void(int event, int a, int b)> progress;
    // Packs for the lead-in (empty: no CD-TEXT). A drive that cannot write
    // CD-TEXT records the disc without it (see RecorderCapabilities::cdText).
    std::vector<CdTextPack> cdTextPacks;
};

// Writes `layout` in one pass; throws EngineError (after drive.abort()) on failure.
void writeDiscAtOnce(MmcRecorderDrive& drive, const DiscLayout& layout, const DaoOptions& options);

// The sectors of one write command for `sectorBytes`-byte sectors: the
// transfer size (cut to what the transport carries) over the sector size.
// Throws EngineError -101 when not even one sector fits.
uint32_t sectorsPerWrite(uint32_t transferBytes, uint32_t transportMax, uint32_t sectorBytes);

}  // namespace tallory::cd::engine

#endif
