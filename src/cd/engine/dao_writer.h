// The disc-at-once pass: a laid-out disc written to an MMC recorder in one
// session-at-once stream (write parameters, cue sheet, every gap and track
// from LBA -150 in order, then the cache synchronised and the drive polled
// until the disc is closed).
#ifndef TALLORY_CD_ENGINE_DAO_WRITER_H
#define TALLORY_CD_ENGINE_DAO_WRITER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "cd/engine/disc_layout.h"
#include "platform/scsi/scsi_transport.h"

namespace tallory::cd::engine {

// A generic MMC recorder: the operations the pass needs, each a SCSI command
// sequence; a failed command throws EngineError -105 with its name and the
// drive's sense as the detail text.
class MmcRecorderDrive {
public:
    explicit MmcRecorderDrive(platform::scsi::ScsiTransport& transport) : transport_(transport) {}
    virtual ~MmcRecorderDrive() = default;

    // TEST UNIT READY until the drive is ready (at most `checks` times).
    virtual void waitReady(int checks = 30);
    // Mode page 05h (session-at-once, raw 2352-byte audio) and the cue sheet.
    virtual void start(const DiscLayout& layout, bool testMode, bool underrunProtection);
    // WRITE(10) of whole 2352-byte sectors at `lba`.
    virtual void write(int32_t lba, std::span<const uint8_t> sectors);
    // SYNCHRONIZE CACHE, then polls until the drive has closed the disc.
    virtual void finish();
    // Best effort after a failure: nothing of it throws.
    virtual void abort() noexcept;

    // The 8-byte entries of the session-at-once cue sheet for `layout`.
    static std::vector<uint8_t> cueSheetBytes(const DiscLayout& layout);

protected:
    platform::scsi::ScsiResult run(const char* name, std::span<const uint8_t> cdb,
                                   platform::scsi::DataDirection dir, uint8_t* data, uint32_t length,
                                   uint32_t timeoutMs = 60000, bool throwOnError = true);

    platform::scsi::ScsiTransport& transport_;
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
};

struct DaoOptions {
    bool testMode = false;
    bool underrunProtection = true;
    bool progressEvents = true;
    uint32_t transferBytes = 65000;
    const std::atomic<bool>* stop = nullptr;   // set: the pass ends with -100 after the write in progress
    std::function<void(int event, int a, int b)> progress;
};

// Writes `layout` in one pass; throws EngineError (after drive.abort()) on failure.
void writeDiscAtOnce(MmcRecorderDrive& drive, const DiscLayout& layout, const DaoOptions& options);

}  // namespace tallory::cd::engine

#endif
