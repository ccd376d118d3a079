#include "cd/recording/drive_recording.h"

#include <mutex>

#include "cd/cd_drives.h"
#include "core/report.h"

namespace tallory::cd::recording {

namespace {

// The engine keeps one stop event and one progress callback: one recording at a time.
std::mutex recordingMutex;

}  // namespace

RecordOptions optionsFrom(const TalloryBurnOptions* o, HWND parent) {
    RecordOptions r;
    r.parent = parent;
    if (o == nullptr || o->size < sizeof(TalloryBurnOptions)) return r;
    r.testMode = (o->flags & TALLORY_BURN_TEST) != 0;
    r.verify = (o->flags & TALLORY_BURN_VERIFY) != 0;
    r.underrunProtection = (o->flags & TALLORY_BURN_NO_UNDERRUN_PROTECTION) == 0;
    r.speedFactor = o->speed > 0 ? o->speed : 0;
    r.status = o->status;
    r.statusContext = o->statusContext;
    return r;
}

HRESULT recordDataDisc(CDDrive&, IConvProgress* progress, const CDRecordRequest&, const RecordOptions&) {
    // The ISO9660 recording is joined to this dispatch where the data-disc
    // burner is merged; until then data requests are refused as unavailable.
    core::report(progress, "e", "Recording data CDs is not available in this build");
    return E_NOTIMPL;
}

HRESULT recordOnDrive(CDDrive& drive, IConvProgress* progress, const CDRecordRequest& request,
                      const RecordOptions& options, RecordOutcome* outcome) {
    if (request.kind != CD_RECORD_AUDIO && request.kind != CD_RECORD_DATA && request.kind != CD_RECORD_DATA_ALT)
        return E_INVALIDARG;
    std::unique_lock lock(recordingMutex, std::try_to_lock);
    if (!lock.owns_lock()) return E_PENDING;
    if ((drive.GetCapabilities() & CD_CAPABILITY_RECORDS) == 0) {
        char description[TALLORY_MAX_PATH * 2] = "";
        drive.GetDescription(description, sizeof description);
        core::report(progress, "e", "The drive %s cannot record discs at once", description);
        return E_FAIL;
    }
    if (request.kind != CD_RECORD_AUDIO) return recordDataDisc(drive, progress, request, options);

    RecorderTarget target;
    target.transport = &drive.device().transport();
    target.maxSpeedIndex = drive.GetMaxWriteSpeed();
    // The transfer size the drive collection was started with, within what the transport moves.
    target.transferBytes = std::min(drive.device().transferSize(), target.transport->maxTransferLength());
    target.reader = &drive.device();
    target.readOffset = drive.readOffset();
    const HRESULT hr = recordAudio(target, progress, request, options, outcome);
    // The disc changed: the table of contents is read again when asked for.
    if (SUCCEEDED(hr) && !(outcome != nullptr && outcome->testMode)) drive.RefreshTOC();
    return hr;
}

}  // namespace tallory::cd::recording
