#include "cd/engine/tao_writer.h"

#include <algorithm>

#include "cd/engine/engine_error.h"

namespace tallory::cd::engine {

DriveSectorSink::DriveSectorSink(MmcRecorderDrive& drive, int32_t firstLba, uint32_t limit, const TaoOptions& options)
    : drive_(drive), next_(firstLba), limit_(limit), options_(options) {
    perWrite_ = sectorsPerWrite(options.transferBytes, drive.maxTransferBytes(), kIsoSectorSize);
}

void DriveSectorSink::writeSectors(const uint8_t* data, uint32_t count) {
    // More than the layout announced would overrun what the drive was told.
    if (uint64_t(written_) + count > limit_) throw EngineError::make(kErrBugcheck);
    while (count > 0) {
        const uint32_t n = std::min(count, perWrite_);
        drive_.write(next_, std::span<const uint8_t>(data, std::size_t(n) * kIsoSectorSize), kIsoSectorSize);
        next_ += int32_t(n);
        written_ += n;
        data += std::size_t(n) * kIsoSectorSize;
        count -= n;
        if (options_.stop && options_.stop->load()) throw EngineError::make(kErrUserAbort);
    }
}

int32_t writeTrackAtOnce(MmcRecorderDrive& drive, const TaoProducer& producer, const TaoOptions& options) {
    (void)sectorsPerWrite(options.transferBytes, drive.maxTransferBytes(), kIsoSectorSize);
    try {
        drive.waitReady();
        const TrackInfo track = drive.startTrack(options.testMode, options.underrunProtection);
        const uint64_t end = uint64_t(track.nextWritable) + track.freeBlocks;
        const uint32_t length = producer.layOut(uint32_t(track.nextWritable), uint32_t(std::min<uint64_t>(end, UINT32_MAX)));
        if (uint64_t(track.nextWritable) + length > end) throw EngineError::make(kErrImageTooLarge);
        if (options.progress) options.progress(kEventDataTrackLength, length);
        DriveSectorSink sink(drive, track.nextWritable, length, options);
        producer.produce(sink);
        // Whatever the producer left short of its announced length becomes zero blocks.
        std::vector<uint8_t> zeros(std::size_t(std::min<uint32_t>(kFilePieceSectors, std::max<uint32_t>(length, 1))) *
                                   kIsoSectorSize);
        while (sink.written() < length) {
            const uint32_t n = std::min<uint32_t>(length - sink.written(), uint32_t(zeros.size() / kIsoSectorSize));
            sink.writeSectors(zeros.data(), n);
        }
        if (options.progress) options.progress(kEventDataDone, length);
        drive.finishTrack(track.number);
        drive.closeSession();
        return track.nextWritable;
    } catch (...) {
        drive.abort();
        throw;
    }
}

}  // namespace tallory::cd::engine
