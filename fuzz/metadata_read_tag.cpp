// ReadTag over arbitrary file contents: the tag checks, id3lib's parsers behind
// them, and the display texts, rendering and copying of every frame read.
// (WriteTag is left out: its fsync would slow each run a thousandfold.)
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "tallory/metadata.h"

namespace {

std::string scratchPath() {
    static const std::string path = "/tmp/tallory-fuzz-tag-" + std::to_string(::getpid()) + ".mp3";
    return path;
}

bool writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = scratchPath();
    if (!writeFile(path, data, size)) return 0;
    IMetadataFile* file = nullptr;
    if (MetadataCreateFromFile(path.c_str(), &file) != S_OK) return 0;
    IMetadataTag* tag = nullptr;
    if (file->ReadTag(&tag) == S_OK) {
        char16_t text[256];
        for (int id = 1; id <= 94; ++id) {
            void* frame = nullptr;
            if (tag->GetFrame(id, IID_IMetadataFrame, &frame) != S_OK) continue;
            auto* f = static_cast<IMetadataFrame*>(frame);
            f->GetDisplayText(text, 256);
            (void)f->GetName();
            void* copy = nullptr;
            if (MetadataCreateFrame(id, IID_IMetadataFrame, &copy) == S_OK) {
                auto* c = static_cast<IMetadataFrame*>(copy);
                f->CopyTo(c);
                (void)c->IsEqual(f);
                c->Release();
            }
            f->Release();
        }
        tag->Release();
    }
    file->Release();
    ::unlink(path.c_str());
    return 0;
}
