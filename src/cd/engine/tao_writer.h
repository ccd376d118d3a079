// The track-at-once pass: one Mode 1 data track of 2048-byte blocks written
// to an MMC recorder from its next writable address, the blocks coming from
// a producer (the ISO9660 writer streaming its image), then the track and the
// session closed.
#ifndef TALLORY_CD_ENGINE_TAO_WRITER_H
#define TALLORY_CD_ENGINE_TAO_WRITER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "cd/engine/dao_writer.h"
#include "cd/engine/iso_image.h"

namespace tallory::cd::engine {

// Progress events of the pass (the ISO writer adds 30, 35 and 36).
enum TaoEvent : int {
    kEventDataTrackLength = 29,  // a = sectors of the track
    kEventDataSectors = 30,      // a = sectors sent
    kEventDataDone = 31,
};

struct TaoOptions {
    bool testMode = false;
    bool underrunProtection = true;
    // Bytes of one write command's data: at least one 2048-byte block (-101).
    uint32_t transferBytes = kDefaultTransferSize;
    const std::atomic<bool>* stop = nullptr;  // checked after every write: -100
    std::function<void(int event, uint32_t sectors)> progress;
};

// What the pass writes. `layOut` is told the first writable sector and the
// sector past the last one, and returns the track's length in sectors (run-out
// blocks included), or throws EngineError (-128 when it does not fit);
// `produce` then sends exactly that many sectors to the sink.
struct TaoProducer {
    std::function<uint32_t(uint32_t firstSector, uint32_t capacity)> layOut;
    std::function<void(IsoSectorSink& sink)> produce;
};

// A sink that writes whole 2048-byte sectors to the drive from the track's
// start, as many per WRITE(10) as the transfer size holds.
class DriveSectorSink : public IsoSectorSink {
public:
    DriveSectorSink(MmcRecorderDrive& drive, int32_t firstLba, uint32_t limit, const TaoOptions& options);
    // Throws EngineError: -105 from the drive, -100 on stop, -102 past `limit` sectors.
    void writeSectors(const uint8_t* data, uint32_t count) override;
    uint32_t written() const { return written_; }

private:
    MmcRecorderDrive& drive_;
    int32_t next_;
    uint32_t limit_;
    uint32_t perWrite_;
    uint32_t written_ = 0;
    const TaoOptions& options_;
};

// Runs the whole pass; throws EngineError (after the drive's abort) on failure.
// Returns the track's first sector.
int32_t writeTrackAtOnce(MmcRecorderDrive& drive, const TaoProducer& producer, const TaoOptions& options);

}  // namespace tallory::cd::engine

#endif
