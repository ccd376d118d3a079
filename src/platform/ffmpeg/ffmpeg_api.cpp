#define TALLORY_FFMPEG_NO_REDIRECT
#include "platform/ffmpeg/ffmpeg_api.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/log/log.h"

namespace tallory::platform::ffmpeg {

namespace {

struct Loaded {
    Api api;
    bool complete = false;
    std::string error;
};

#define TALLORY_STR2(x) #x
#define TALLORY_STR(x) TALLORY_STR2(x)

Loaded load() {
    Loaded l;
    // The sonames of the versions these headers describe.
    const char* sonames[] = {"libavutil.so." TALLORY_STR(LIBAVUTIL_VERSION_MAJOR),
                             "libswresample.so." TALLORY_STR(LIBSWRESAMPLE_VERSION_MAJOR),
                             "libavcodec.so." TALLORY_STR(LIBAVCODEC_VERSION_MAJOR),
                             "libavformat.so." TALLORY_STR(LIBAVFORMAT_VERSION_MAJOR)};
    void* handles[4] = {};
    for (int i = 0; i < 4; ++i) {
        // Never unloaded: FFmpeg keeps global state for the life of the process.
        handles[i] = ::dlopen(sonames[i], RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (handles[i] == nullptr) {
            const char* why = ::dlerror();
            l.error = std::string("cannot load ") + sonames[i] + ": " + (why != nullptr ? why : "unknown error");
            return l;
        }
    }
    auto find = [&](const char* name) -> void* {
        for (void* h : handles) {
            if (void* p = ::dlsym(h, name)) return p;
        }
        return nullptr;
    };
#define TALLORY_FFMPEG_RESOLVE(name)                                            \
    l.api.name = reinterpret_cast<decltype(&::name)>(find(#name));              \
    if (l.api.name == nullptr && l.error.empty()) l.error = "FFmpeg lacks " #name;
    TALLORY_FFMPEG_FUNCTIONS(TALLORY_FFMPEG_RESOLVE)
#undef TALLORY_FFMPEG_RESOLVE
    l.complete = l.error.empty();
    return l;
}

// FFmpeg's lines arrive in pieces from any thread; each whole line goes to our log.
struct LogLine {
    std::mutex lock;
    std::string pending;
    int printPrefix = 1;
};

LogLine& logLine() {
    static LogLine line;
    return line;
}

void routeLog(void* context, int level, const char* format, va_list args) {
    const int ours = logLevelOf(level);
    if (ours < TALLORY_LOG_ERROR || !log::enabled(ours)) return;
    LogLine& l = logLine();
    std::lock_guard<std::mutex> guard(l.lock);
    char piece[1024];
    va_list copy;
    va_copy(copy, args);
    const int n = ::tallory::platform::ffmpeg::api().av_log_format_line2(context, level, format, copy, piece,
                                                                          sizeof piece, &l.printPrefix);
    va_end(copy);
    if (n < 0) return;
    l.pending += piece;
    for (size_t end = l.pending.find('\n'); end != std::string::npos; end = l.pending.find('\n')) {
        std::string line = l.pending.substr(0, end);
        l.pending.erase(0, end + 1);
        if (!line.empty()) log::write(ours, "FFmpeg: " + line);
    }
}

const Loaded& loaded() {
    static const Loaded instance = [] {
        Loaded l = load();
        if (!l.complete) {
            std::fprintf(stderr, "tallory: %s\n", l.error.c_str());
        } else {
            // Lines are filtered by our level in the callback.
            l.api.av_log_set_level(AV_LOG_VERBOSE);
            l.api.av_log_set_callback(&routeLog);
        }
        return l;
    }();
    return instance;
}

}  // namespace

const Api& api() { return loaded().api; }
bool available() { return loaded().complete; }
const std::string& loadError() { return loaded().error; }

int logLevelOf(int ffmpegLevel) {
    if (ffmpegLevel <= AV_LOG_ERROR) return TALLORY_LOG_WARNING;
    if (ffmpegLevel <= AV_LOG_WARNING) return TALLORY_LOG_INFO;
    if (ffmpegLevel <= AV_LOG_VERBOSE) return TALLORY_LOG_DEBUG;
    return -2;
}

}  // namespace tallory::platform::ffmpeg
