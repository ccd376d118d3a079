// ICDDrive::Record on a drive of the collection: the request checked and
// handed to the audio or the data recording.
#ifndef TALLORY_CD_RECORDING_DRIVE_RECORDING_H
#define TALLORY_CD_RECORDING_DRIVE_RECORDING_H

#include "cd/recording/audio_recording.h"

namespace tallory::cd {
class CDDrive;
}

namespace tallory::cd::recording {

// Kind 1: the audio recording; kinds 2 and 3: the data recording; any other
// kind E_INVALIDARG with nothing done. One recording at a time in the
// process: E_PENDING while another runs.
HRESULT recordOnDrive(CDDrive& drive, IConvProgress* progress, const CDRecordRequest& request,
                      const RecordOptions& options, RecordOutcome* outcome);

// The ISO9660 data recording of a request of kind 2 or 3.
HRESULT recordDataDisc(CDDrive& drive, IConvProgress* progress, const CDRecordRequest& request,
                       const RecordOptions& options);

// Options from the caller's record (null: the defaults).
RecordOptions optionsFrom(const TalloryBurnOptions* options, HWND parent);

}  // namespace tallory::cd::recording

#endif
