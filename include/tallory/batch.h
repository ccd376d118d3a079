// Output naming, batch conversion and the media library link.
#ifndef TALLORY_BATCH_H
#define TALLORY_BATCH_H

#include "tallory/conv.h"
#include "tallory/types.h"

#pragma pack(push, 1)
// One item of a batch. The caller's array ends with an item whose target is null.
struct BatchItem {
    char scheme[TALLORY_MAX_PATH];  // naming scheme, NUL-terminated
    int32_t startMs;                // -1: from the beginning
    int32_t endMs;                  // -1: to the end
    IConvSource* source;            // path set
    IConvTarget* target;            // format and options set
};
#pragma pack(pop)
static_assert(offsetof(BatchItem, startMs) == 260, "BatchItem layout");
static_assert(offsetof(BatchItem, endMs) == 264, "BatchItem layout");
static_assert(offsetof(BatchItem, source) == 268, "BatchItem layout");
static_assert(offsetof(BatchItem, target) == 268 + sizeof(void*), "BatchItem layout");
static_assert(sizeof(BatchItem) == 268 + 2 * sizeof(void*), "BatchItem has no gaps");

// Beyond the Windows interface: how a batch runs and what came of it.
#define BATCH_OVERWRITE_ASK 0
#define BATCH_OVERWRITE_ALWAYS 1
#define BATCH_OVERWRITE_NEVER 2

struct BatchOptions {
    uint32_t size;   // sizeof(BatchOptions)
    int jobs;        // items converted at once; 1 (or less) converts one after another
    int overwrite;   // BATCH_OVERWRITE_*: the console progress's answer to an existing output
    int quiet;       // nonzero: the console progress prints errors only
};

struct BatchResult {
    int items;
    int converted;
    int failed;      // naming or conversion failed
    int cancelled;   // nonzero if the user stopped the batch
};

extern "C" {

// Expands `scheme` for `source` into an output path with the extension of
// registry row `formatIndex` (-1: a ".m3u" playlist name). 1 with the path in
// buffer; 0 with the reason in buffer instead. A path that does not fit in
// `capacity` bytes fails.
TALLORY_API int SuggestOutputFile(const char* scheme, int formatIndex, IConvSource* source, char* buffer,
                                  int capacity) noexcept;

// Converts every item in the batch progress window (the console's standard
// error without a UI module), names outputs by their schemes, collects CD
// tracks into album playlists and, with deleteSources, moves converted source
// files to the Trash. *window (may be null) holds the window during the call.
// Returns 0; the outcome is shown to the user.
TALLORY_API int BatchConvert(const BatchItem* items, HWND* window, int normalize, int deleteSources) noexcept;

// BatchConvert with options (null: the defaults) and the outcome in *result
// (may be null). Several jobs run items at once, each through AudioConvert,
// while the log stays per item and in item order. S_OK when every item
// converted, S_FALSE when some failed, E_ABORT when cancelled.
TALLORY_API HRESULT BatchConvertEx(const BatchItem* items, HWND* window, int normalize, int deleteSources,
                                   const BatchOptions* options, BatchResult* result) noexcept;

// With "AddToMediaLibrary" set in "Settings", writes a script that adds the
// file to the media library and opens it with the desktop's default handler.
// S_FALSE when the feature is off, E_FAIL when the script cannot be made, S_OK otherwise.
TALLORY_API HRESULT AddToMediaLibrary(HWND owner, const char* path) noexcept;

}  // extern "C"

#endif
