// BatchConvert: items named by their schemes and converted one after another
// (or several at once), CD tracks collected into album playlists, converted
// sources moved to the Trash.
#ifndef TALLORY_CORE_BATCH_CONVERT_H
#define TALLORY_CORE_BATCH_CONVERT_H

#include <cstdint>
#include <string>

#include "tallory/batch.h"

namespace tallory::core {

inline constexpr const char* kSupportAddress = "support@veshna.com";
inline constexpr const char* kUpdatePageUrl = "https://www.veshna.com/tallory/update?code=";
inline constexpr const char* kMsgPlaylistNotWritten = "Cannot write playlist file\n";
inline constexpr const char* kMsgPlaylistAdded = "Created output file was added to playlist\n";
inline constexpr const char* kMsgAborted = "Conversion aborted by user\n";
inline constexpr const char* kMsgDoneWithFailures =
    "Conversion done! %d of %d item(s) could not be converted. See Details for more information.";
inline constexpr const char* kMsgDoneAll = "Conversion done! %d item(s) successfully converted.";
inline constexpr const char* kMsgNotTrashed = "Cannot move %s to the Trash: %s\n";

// The library's date in the log header, "MMMM d, yyyy" in the user's locale,
// from seconds since 1970 (its UTC date); "(unknown)" for a negative time.
std::string libraryDateText(int64_t seconds);
// The update code: "45", the date as yyMMdd ("000000" if unknown, negative),
// and two check digits.
std::string updateCode(int64_t seconds);

// The batch with a progress the caller made (Create and Destroy stay the
// caller's), for BatchConvertEx and for tests.
BatchResult runBatch(const BatchItem* items, IConvBatchProgress* progress, int normalize, int deleteSources, int jobs);

}  // namespace tallory::core

#endif
