// Audio CD recording: every item of a request converted into raw CD audio in
// a temporary file, the disc laid out from them (with CD-TEXT when asked),
// written disc-at-once with a retry through the UI bridge, and optionally read
// back and compared. The temporary files are removed on every path.
#ifndef TALLORY_CD_RECORDING_AUDIO_RECORDING_H
#define TALLORY_CD_RECORDING_AUDIO_RECORDING_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cd/engine/cd_text.h"
#include "cd/engine/cue_sheet.h"
#include "cd/engine/scsi/device.h"
#include "platform/scsi/scsi_transport.h"
#include "tallory/audio_burn.h"
#include "tallory/cd.h"

namespace tallory::cd::recording {

inline constexpr const char* kBurnSection = "BurnCD";
inline constexpr const char* kTempPrefix = "bcd";
inline constexpr const char* kMsgConverting = "Converting audio files to Red-book format...\n";
inline constexpr const char* kMsgTooLong = "Total disc time (%02u:%02u:%02u) exceeds 74 minutes!\n";
inline constexpr const char* kMsgTestMode = "Recording Options: Test mode enabled\n";
inline constexpr const char* kMsgBurnProof = "Recording Options: BURN-Proof enabled\n";
inline constexpr const char* kMsgWriting = "Writing the disc using disc-at-once recording...\n";

// The recorder a recording writes to.
struct RecorderTarget {
    platform::scsi::ScsiTransport* transport = nullptr;
    int maxSpeedIndex = 0;             // into the speed table
    uint32_t transferBytes = 65000;    // bytes per WRITE command
    // For the read-back: the drive's reading side and its read offset (samples).
    engine::scsi::Device* reader = nullptr;
    int readOffset = 0;
    // Called after a successful write, before the read-back (a simulated
    // recorder puts its burned disc in here).
    std::function<void()> afterWrite;
};

struct RecordOptions {
    HWND parent = nullptr;
    bool underrunProtection = true;
    bool testMode = false;             // on top of the "TestMode" setting
    int speedFactor = 0;               // times 1x; 0: the drive's highest speed index
    bool verify = false;
    TalloryBurnStatusFn status = nullptr;
    void* statusContext = nullptr;
};

// One range of a track that read back differently from its source.
struct DifferingRange {
    int track = 0;
    uint32_t firstSample = 0, lastSample = 0;  // stereo samples from the track's start, inclusive
    int32_t firstSector = 0, lastSector = 0;   // LBAs
};

struct RecordOutcome {
    bool testMode = false;             // the laser stayed off: nothing was written
    bool verified = false;
    uint32_t tracksCompared = 0;
    uint64_t samplesCompared = 0;
    std::vector<DifferingRange> differences;
    // Whether track data was ever converted (for the tests of early refusals).
    uint32_t itemsConverted = 0;
};

// The CD-TEXT record a request asks for: disc texts in entry 0, item texts
// in entries 1 to itemCount.
engine::CdTextRecord cdTextFromRequest(const CDRecordRequest& request);

// The audio recording of a request of kind 1. S_OK; S_FALSE when the
// read-back found differences; E_ABORT when cancelled or Cancel was chosen
// after a failure; E_INVALIDARG for a bad request (nothing converted);
// E_FAIL otherwise.
HRESULT recordAudio(const RecorderTarget& target, IConvProgress* progress, const CDRecordRequest& request,
                    const RecordOptions& options, RecordOutcome* outcome);

// The fill of a drive's buffer in percent from a READ BUFFER CAPACITY answer
// of `length` bytes; -1 when the answer is short or makes no sense.
int bufferFillPercent(const uint8_t* data, size_t length) noexcept;

// Copies an outcome into the caller's report record (which may be null).
void fillReport(const RecordOutcome& outcome, TalloryBurnReport* report);

// The speed index of a drive's highest speed, given as a multiple of 1x:
// the fastest entry of the speed table it reaches; 0 for none.
int speedIndexForFactor(int factor) noexcept;

}  // namespace tallory::cd::recording

#endif
