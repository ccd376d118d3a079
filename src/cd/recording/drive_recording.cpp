#include "cd/recording/drive_recording.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "cd/cd_drives.h"
#include "cd/recording/data_burn.h"
#include "core/report.h"
#include "core/settings_store.h"

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

// Kinds 2 and 3: the items' paths as an ISO9660 track, the request's
// per-file value turning the Joliet set on and its second value keeping the
// names' case.
HRESULT recordDataDisc(CDDrive& drive, IConvProgress* progress, const CDRecordRequest& request,
                       const RecordOptions& options) {
    if (request.itemCount <= 0 || request.itemCount > CD_RECORD_MAX_ITEMS) return E_INVALIDARG;
    DataBurnRequest data;
    for (int i = 0; i < request.itemCount; ++i) {
        const CDRecordItem& item = request.items[i];
        const size_t length = strnlen(item.path, sizeof item.path);
        if (length == 0 || length == sizeof item.path) return E_INVALIDARG;
        data.paths.emplace_back(item.path, length);
    }
    data.volumeLabel.assign(request.volumeLabel, strnlen(request.volumeLabel, sizeof request.volumeLabel));
    data.joliet = request.perFileData != 0;
    data.keepCase = request.secondData != 0;
    data.testMode = options.testMode || core::settings::readInt(kBurnSection, "TestMode", 0) != 0;
    data.underrunProtection = options.underrunProtection;
    platform::scsi::ScsiTransport& transport = drive.device().transport();
    data.transferBytes = std::min(drive.device().transferSize(), transport.maxTransferLength());
    DataBurnResult burned;
    HRESULT hr = burnDataDisc(transport, data, progress, &burned);
    if (hr == S_OK && options.verify && !data.testMode) {
        hr = verifyDataDisc(transport, burned, data, progress);
        if (hr == S_FALSE) hr = E_FAIL;
    }
    return hr;
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
    if (request.kind != CD_RECORD_AUDIO) {
        const HRESULT hr = recordDataDisc(drive, progress, request, options);
        if (hr == S_OK) drive.RefreshTOC();
        return hr;
    }

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
