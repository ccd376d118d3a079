// Loading a cue/bin image into a DiscModel: FILE (BINARY), TRACK (AUDIO,
// MODE1/2048, MODE1/2352, MODE2/2352), INDEX 00/01, PREGAP, FLAGS, ISRC,
// CATALOG, TITLE, PERFORMER; "REM SESSION nn" starts a new session, laid out
// kSessionGapSectors after the previous session's lead-out (enhanced CDs).
#ifndef TALLORY_PLATFORM_SCSI_CUE_IMAGE_H
#define TALLORY_PLATFORM_SCSI_CUE_IMAGE_H

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/scsi/disc_model.h"

namespace tallory::platform::scsi {

// A cue sheet larger than this is not a cue sheet (99 tracks with every
// command fit in a few kilobytes).
inline constexpr std::size_t kMaxCueSheetBytes = 1 << 20;

struct CueLoadResult {
    std::unique_ptr<DiscModel> disc;  // null on failure
    std::string error;                // "line 7: ..." on failure
};

// Opens the file a FILE command names (relative names against the cue's folder).
using CueFileOpener = std::function<std::shared_ptr<SectorStore>(const std::string& name, std::string* error)>;

CueLoadResult parseCueSheet(std::string_view text, const CueFileOpener& openFile);
CueLoadResult loadCueImage(const std::string& cuePath);

}  // namespace tallory::platform::scsi

#endif
