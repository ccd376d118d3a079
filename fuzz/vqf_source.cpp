// Feeds arbitrary bytes, as a .vqf file, through the TwinVQ source: the header
// chunks, the frame count, decoding, close. Also through the chunk classes
// directly, as a header chunk list.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/twinvq/vqf_chunks.h"
#include "formats/twinvq/vqf_source.h"

namespace {

// A small file may describe a long stream; a fuzz run must stay fast.
constexpr size_t kMaxDecodedBytes = 4 << 20;

class BoundedSink : public IConvSink {
public:
    size_t total = 0;
    bool Write(const void*, uint32_t byteCount) override {
        total += byteCount;
        return total < kMaxDecodedBytes;
    }
};

const std::string& scratchFile() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir != nullptr ? dir : "/tmp") + "/fuzz_vqf_XXXXXX";
        int fd = ::mkstemp(pattern.data());
        if (fd >= 0) ::close(fd);
        std::atexit([] { std::remove(scratchFile().c_str()); });
        return pattern;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tallory::formats::twinvq;
    try {
        CHeaderManager header(CChunkChunk("TWIN", std::vector<uint8_t>(data, data + size)));
        (void)header.getComm();
    } catch (const std::exception&) {
        // every header fault is one of the chunk classes' errors
    }

    const std::string& path = scratchFile();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    auto* source = new VQFConvSource;
    source->AddRef();
    source->SetPath(path.c_str());
    if (source->Open()) {
        WAVEFORMATEX format;
        uint32_t length = 0;
        source->GetFormat(&format);
        source->GetLength(&length, -1, -1);
        BoundedSink sink;
        source->Run(&sink);
        source->Close();
    }
    source->Release();
    return 0;
}
