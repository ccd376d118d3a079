#include "core/export_guard.h"

#include <cstdio>

namespace tallory::core {

void reportEscapedException(IConvProgress* progress, const char* function, const char* what) noexcept {
    if (what == nullptr) what = "unknown exception";
    if (progress != nullptr) {
        char text[512];
        std::snprintf(text, sizeof text, "Internal error in %s: %s\n", function, what);
        try {
            progress->MessageEx(text, "e");
            return;
        } catch (...) {
            // A callback that throws is told nothing more; standard error still is.
        }
    }
    std::fprintf(stderr, "tallory: internal error in %s: %s\n", function, what);
}

}  // namespace tallory::core
