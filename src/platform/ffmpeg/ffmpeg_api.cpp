#define TALLORY_FFMPEG_NO_REDIRECT
#include "platform/ffmpeg/ffmpeg_api.h"

#include <dlfcn.h>

#include <cstdio>

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

const Loaded& loaded() {
    static const Loaded instance = [] {
        Loaded l = load();
        if (!l.complete) std::fprintf(stderr, "tallory: %s\n", l.error.c_str());
        return l;
    }();
    return instance;
}

}  // namespace

const Api& api() { return loaded().api; }
bool available() { return loaded().complete; }
const std::string& loadError() { return loaded().error; }

}  // namespace tallory::platform::ffmpeg
