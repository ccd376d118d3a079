// The Ogg header reader and comment rewrite over arbitrary bytes, as Vorbis
// and as Opus: whatever the reader accepts must rewrite into a file whose
// headers read back with the new comment and the other header packets as they
// were, and whose bytes after the headers are the original's or the same
// pages renumbered.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats/ogg/ogg_headers.h"

using namespace tallory::formats::ogg;

namespace {

struct MemoryFile {
    std::FILE* file;
    MemoryFile(const uint8_t* data, size_t size)
        : file(size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : nullptr) {}
    ~MemoryFile() {
        if (file != nullptr) std::fclose(file);
    }
};

void check(const uint8_t* data, size_t size, const OggHeaderCodec& codec) {
    MemoryFile in(data, size);
    if (in.file == nullptr) return;
    std::string why;
    const auto headers = readOggHeaders(in.file, codec, &why);
    if (!headers) {
        if (why.empty()) std::abort();  // a refusal always has its reason
        return;
    }
    // A comment of a size taken from the input, up to several pages.
    std::vector<uint8_t> comment(codec.commentMagic.begin(), codec.commentMagic.end());
    comment.resize(comment.size() + (size * 37) % 70000, 0x5A);
    const auto plan = planCommentRewrite(in.file, codec, comment, &why);
    if (!plan) {
        if (why.empty()) std::abort();
        return;
    }
    if (plan->keepOffset + plan->keepLength > size) std::abort();
    std::vector<uint8_t> rebuilt = plan->head;
    rebuilt.insert(rebuilt.end(), data + plan->keepOffset, data + plan->keepOffset + plan->keepLength);
    rebuilt.insert(rebuilt.end(), plan->tail.begin(), plan->tail.end());
    MemoryFile again(rebuilt.data(), rebuilt.size());
    const auto back = readOggHeaders(again.file, codec, &why);
    if (!back || back->packets.size() != headers->packets.size() || back->packets[0] != comment ||
        back->firstPage != headers->firstPage) {
        std::abort();
    }
    for (size_t i = 1; i < back->packets.size(); ++i) {
        if (back->packets[i] != headers->packets[i]) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check(data, size, kVorbisHeaders);
    check(data, size, kOpusHeaders);
    return 0;
}
