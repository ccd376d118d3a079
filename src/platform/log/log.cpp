#include "platform/log/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "core/export_guard.h"

namespace tallory::platform::log {

namespace {

std::atomic<int> currentLevel{TALLORY_LOG_WARNING};

struct Handler {
    std::mutex lock;
    TalloryLogHandler handler = nullptr;
    void* context = nullptr;
};

Handler& handlerState() {
    static Handler h;
    return h;
}

}  // namespace

bool enabled(int level) { return level <= currentLevel.load(std::memory_order_relaxed); }

void write(int level, const std::string& line) {
    if (!enabled(level)) return;
    Handler& h = handlerState();
    std::lock_guard<std::mutex> guard(h.lock);
    if (h.handler != nullptr) {
        h.handler(h.context, level, line.c_str());
    } else {
        std::fprintf(stderr, "tallory: %s\n", line.c_str());
    }
}

void setLevel(int level) {
    if (level < TALLORY_LOG_QUIET) level = TALLORY_LOG_QUIET;
    if (level > TALLORY_LOG_DEBUG) level = TALLORY_LOG_DEBUG;
    currentLevel.store(level, std::memory_order_relaxed);
}

int level() { return currentLevel.load(std::memory_order_relaxed); }

void setHandler(TalloryLogHandler handler, void* context) {
    Handler& h = handlerState();
    std::lock_guard<std::mutex> guard(h.lock);
    h.handler = handler;
    h.context = context;
}

}  // namespace tallory::platform::log

extern "C" {

TALLORY_API void TalloryLogSetLevel(int level) noexcept {
    tallory::core::guardExportVoid("TalloryLogSetLevel", [&] { tallory::platform::log::setLevel(level); });
}
TALLORY_API int TalloryLogGetLevel(void) noexcept {
    return tallory::core::guardExport("TalloryLogGetLevel", -1, [&] { return tallory::platform::log::level(); });
}
TALLORY_API void TalloryLogSetHandler(TalloryLogHandler handler, void* context) noexcept {
    tallory::core::guardExportVoid("TalloryLogSetHandler",
                                   [&] { tallory::platform::log::setHandler(handler, context); });
}

}  // extern "C"
