// Library-wide exports: links to the maker's other software.
#ifndef TALLORY_LIBRARY_H
#define TALLORY_LIBRARY_H

#include "tallory/types.h"

#define TALLORY_PRODUCT_NAME "Tallory"
#define TALLORY_PRODUCT_VERSION "v4.5"

extern "C" {

// Writes url followed by "?ref=" and the referrer code read from "Ref.txt"
// beside the library at load (url alone when there was none). Writes at most
// capacity bytes including the terminator and returns the full length, as
// snprintf does; -1 for a null url.
TALLORY_API int AddReferer(const char* url, char* buffer, int capacity) noexcept;
// Starts the separate CD recorder application ("orlandarecorder" on PATH) with
// the given parameters. When it is missing, asks whether to install it and
// explains that its setup program cannot run here. True if it was started.
TALLORY_API bool RunOrlandaRecorder(HWND parent, const char* parameters) noexcept;
// The library's version text, e.g. "v4.5".
TALLORY_API const char* TalloryVersion(void) noexcept;

// The log of diagnostics outside conversions (FFmpeg's own lines, reasons for
// refused tag writes). A line is shown when its level is at most the chosen
// level; TALLORY_LOG_QUIET shows none. The default is TALLORY_LOG_WARNING.
#define TALLORY_LOG_QUIET (-1)
#define TALLORY_LOG_ERROR 0
#define TALLORY_LOG_WARNING 1
#define TALLORY_LOG_INFO 2
#define TALLORY_LOG_DEBUG 3
TALLORY_API void TalloryLogSetLevel(int level) noexcept;
TALLORY_API int TalloryLogGetLevel(void) noexcept;
// Receives each shown line (no line feed), from any thread, one call at a time.
typedef void (*TalloryLogHandler)(void* context, int level, const char* line);
// Replaces the default handler (standard error, prefixed "tallory: "); null restores it.
TALLORY_API void TalloryLogSetHandler(TalloryLogHandler handler, void* context) noexcept;

}  // extern "C"

#endif
