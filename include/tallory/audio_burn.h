// Beyond the Windows interface: audio CD recording with options (test mode,
// speed, verification by reading the disc back) on a drive of the collection
// or onto a simulated recorder whose burned disc is saved as a cue/bin image.
#ifndef TALLORY_AUDIO_BURN_H
#define TALLORY_AUDIO_BURN_H

#include "tallory/cd.h"
#include "tallory/conv.h"
#include "tallory/types.h"

// The message box a failed recording shows (Windows values).
#ifndef MB_RETRYCANCEL
#define MB_RETRYCANCEL 0x00000005u
#endif
#ifndef IDRETRY
#define IDRETRY 4
#endif

#define TALLORY_BURN_OVERWRITE 0x1u               // image: replace an existing cue sheet and bin file
#define TALLORY_BURN_TEST 0x2u                    // laser off, as the "TestMode" setting
#define TALLORY_BURN_VERIFY 0x4u                  // read the disc back and compare every track
#define TALLORY_BURN_NO_UNDERRUN_PROTECTION 0x8u  // leave the drive's buffer-underrun protection off

// What a recording is doing, for a front end's display.
struct TalloryBurnStatus {
    uint32_t size;              // sizeof(TalloryBurnStatus)
    int32_t track;              // the track being written, 0 before the first
    uint32_t sectorsWritten;    // track data sectors written so far
    uint32_t totalSectors;
    int32_t bufferFillPercent;  // the drive's buffer, -1 when it does not say
};
typedef void (*TalloryBurnStatusFn)(void* context, const TalloryBurnStatus* status);

struct TalloryBurnOptions {
    uint32_t size;              // sizeof(TalloryBurnOptions)
    uint32_t flags;             // TALLORY_BURN_*
    int32_t speed;              // times 1x (16 = 16x); 0: the drive's highest
    TalloryBurnStatusFn status; // may be null; called on the recording thread
    void* statusContext;
};

#define TALLORY_BURN_MAX_RANGES 64

// A stretch of one track that read back differently from its source.
struct TalloryBurnRange {
    int32_t track;
    uint32_t firstSample;       // stereo samples from the track's start, inclusive
    uint32_t lastSample;
    int32_t firstSector;        // on the disc (LBA)
    int32_t lastSector;
};

struct TalloryBurnReport {
    uint32_t size;              // sizeof(TalloryBurnReport)
    int32_t testMode;           // nothing was written
    int32_t verified;           // the disc was read back and compared
    uint32_t tracksCompared;
    uint64_t samplesCompared;
    uint32_t rangeCount;        // ranges found; the first TALLORY_BURN_MAX_RANGES are below
    TalloryBurnRange ranges[TALLORY_BURN_MAX_RANGES];
};

extern "C" {
// ICDDrive::Record with options; `options` and `report` may be null. An audio
// request: S_OK; S_FALSE when verification found differences (listed in the
// report and as error messages); E_ABORT when cancelled; E_INVALIDARG for a
// bad request (nothing converted); E_PENDING while another recording runs;
// E_FAIL otherwise. Data requests as ICDDrive::Record.
TALLORY_API HRESULT TalloryRecordAudio(ICDDrive* drive, HWND parent, IConvProgress* progress,
                                       const CDRecordRequest* request, const TalloryBurnOptions* options,
                                       TalloryBurnReport* report) noexcept;

// Records an audio request onto a simulated 80-minute CD-R and saves the
// burned disc as `cuePath` and a .bin beside it, both appearing only when
// complete. Results as TalloryRecordAudio; E_ABORT also when the image exists
// and TALLORY_BURN_OVERWRITE is not set. In test mode no image is saved.
TALLORY_API HRESULT TalloryBurnAudioImage(const CDRecordRequest* request, const char* cuePath,
                                          const TalloryBurnOptions* options, IConvProgress* progress,
                                          TalloryBurnReport* report) noexcept;
}  // extern "C"

#endif
