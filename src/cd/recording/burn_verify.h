// Reading a burned audio disc back and comparing each track, sample for
// sample, with the file it was written from.
#ifndef TALLORY_CD_RECORDING_BURN_VERIFY_H
#define TALLORY_CD_RECORDING_BURN_VERIFY_H

#include <atomic>
#include <string>
#include <vector>

#include "cd/engine/scsi/device.h"
#include "cd/recording/audio_recording.h"

namespace tallory::cd::recording {

// Ranges further apart than this many samples are reported apart; closer
// ones are one range (a damaged sector rarely differs in every sample).
inline constexpr uint32_t kRangeJoinSamples = 588;

// Collects differing samples of one track into ranges.
class RangeCollector {
public:
    explicit RangeCollector(int track, int32_t trackStartLba) : track_(track), start_(trackStartLba) {}
    // Compares `count` stereo samples starting at track sample `at`.
    void compare(uint32_t at, const uint8_t* expected, const uint8_t* actual, uint32_t count);
    // Samples of the disc beyond what the source has (or missing from it) count as differing.
    void markDiffering(uint32_t first, uint32_t last);
    std::vector<DifferingRange> finish();

private:
    void add(uint32_t sample);
    int track_;
    int32_t start_;
    bool open_ = false;
    DifferingRange current_;
    std::vector<DifferingRange> ranges_;
};

// Reads every track of the disc in `reader` and compares it with the data
// files of `tracks` (raw little-endian CD audio, in order). Fills the
// outcome's comparison fields; reports each differing range to `progress`.
// Returns false with `error` when the disc cannot be read or does not hold
// the tracks that were written. Raises EngineError -100 when `stop` is set.
bool verifyBurnedDisc(engine::scsi::Device& reader, int readOffset, const std::vector<engine::TrackListEntry>& tracks,
                      IConvProgress* progress, const std::atomic<bool>* stop, RecordOutcome& outcome,
                      std::string* error);

}  // namespace tallory::cd::recording

#endif
