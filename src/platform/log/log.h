// The library's log of diagnostics that belong to no conversion: lines from
// FFmpeg's own log and reasons behind refused tag writes. Each line has a level;
// lines above the level the user chose are dropped. The default handler writes
// "tallory: " and the line to standard error.
#ifndef TALLORY_PLATFORM_LOG_LOG_H
#define TALLORY_PLATFORM_LOG_LOG_H

#include <string>

#include "tallory/library.h"

namespace tallory::platform::log {

// True when a line of that level is shown.
bool enabled(int level);
// Sends one line (without a line feed) at that level; thread-safe.
void write(int level, const std::string& line);
void setLevel(int level);
int level();
// A null handler restores the default one.
void setHandler(TalloryLogHandler handler, void* context);

}  // namespace tallory::platform::log

#endif
