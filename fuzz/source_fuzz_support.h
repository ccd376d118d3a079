// Shared by the file-reader fuzz targets: the input goes to a scratch file that
// a source of the given class opens and runs to the end.
#ifndef TALLORY_FUZZ_SOURCE_FUZZ_SUPPORT_H
#define TALLORY_FUZZ_SOURCE_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tallory/formats.h"

namespace fuzzsupport {

class NullSink : public IConvSink {
public:
    uint64_t bytes = 0;
    bool Write(const void*, uint32_t count) override {
        bytes += count;
        return true;
    }
};

inline const std::string& scratchPath(const char* suffix) {
    static std::string path = [suffix] {
        std::string p = "/tmp/tallory-fuzz-XXXXXX";
        p += suffix;
        int fd = ::mkstemps(p.data(), static_cast<int>(std::string(suffix).size()));
        if (fd < 0) std::abort();
        ::close(fd);
        std::atexit([] { std::remove(scratchPath("").c_str()); });
        return p;
    }();
    return path;
}

inline void runSource(const CLSID& cls, const char* suffix, const uint8_t* data, size_t size) {
    const std::string& path = scratchPath(suffix);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
    IConvSource* source = nullptr;
    if (FAILED(ConvCreateObject(cls, &IID_IConvSource, reinterpret_cast<void**>(&source)))) std::abort();
    source->SetPath(path.c_str());
    if (source->Open()) {
        WAVEFORMATEX format{};
        uint32_t length = 0;
        source->GetFormat(&format);
        source->GetLength(&length, -1, -1);
        NullSink sink;
        source->Run(&sink);
        // A source never delivers far more than it announced.
        if (sink.bytes > uint64_t{length} + (1u << 20)) std::abort();
        source->Close();
    }
    source->Release();
}

}  // namespace fuzzsupport

#endif
