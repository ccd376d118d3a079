// The printf-style reporting helper shared by sources, targets and the engine.
#ifndef TALLORY_CORE_REPORT_H
#define TALLORY_CORE_REPORT_H

#include <cstdarg>

#include "tallory/conv.h"

namespace tallory::core {

// Size of the formatting buffer; longer messages are cut at this length.
inline constexpr int kReportBufferSize = 1024;

// Formats the message, appends "\n" and sends it to progress->MessageEx with
// `kinds`. Nothing is sent when progress is null.
void report(IConvProgress* progress, const char* kinds, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The same with a va_list, for helpers that take printf arguments of their own.
void vreport(IConvProgress* progress, const char* kinds, const char* format, va_list args);

}  // namespace tallory::core

#endif
