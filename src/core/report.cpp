#include "core/report.h"

#include <cstdarg>
#include <cstdio>

namespace tallory::core {

void report(IConvProgress* progress, const char* kinds, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vreport(progress, kinds, format, args);
    va_end(args);
}

void vreport(IConvProgress* progress, const char* kinds, const char* format, va_list args) {
    if (progress == nullptr) return;
    char text[kReportBufferSize + 1];  // +1 keeps room for the line feed after a full buffer
    int n = std::vsnprintf(text, kReportBufferSize, format, args);
    if (n < 0) n = 0;
    if (n > kReportBufferSize - 1) n = kReportBufferSize - 1;
    text[n] = '\n';
    text[n + 1] = '\0';
    progress->MessageEx(text, kinds);
}

}  // namespace tallory::core
