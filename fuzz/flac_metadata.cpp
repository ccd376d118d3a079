// The FLAC metadata reader and rebuild over arbitrary bytes: whatever the
// reader accepts, rebuilt with its own comments and pictures, reads back with
// the same blocks, comments and pictures, and the audio where the padding
// says.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats/flac/flac_metadata_blocks.h"

using namespace tallory::formats::flac;

namespace {

std::FILE* open(const uint8_t* data, size_t size) {
    return size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : nullptr;
}

std::vector<std::vector<uint8_t>> rendered(const std::vector<tallory::metadata::VorbisPicture>& pictures) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& p : pictures) out.push_back(tallory::metadata::renderPictureBlock(p));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* in = open(data, size);
    if (in == nullptr) return 0;
    std::string why;
    const auto layout = readFlacLayout(in, &why);
    std::fclose(in);
    if (!layout) {
        if (why.empty()) std::abort();
        return 0;
    }
    if (layout->audioOffset > size) std::abort();
    const tallory::metadata::CommentPacket comments = commentsOf(*layout);
    std::vector<tallory::metadata::VorbisPicture> pictures;
    for (auto& p : picturesOf(*layout)) {
        bool printable = true;
        for (char c : p.mimeType) printable = printable && c >= 0x20 && c <= 0x7E;
        if (printable) pictures.push_back(std::move(p));
    }
    const auto head = renderWithTags(*layout, comments, pictures, &why);
    if (!head) return 0;
    std::FILE* again = open(head->data(), head->size());
    const auto back = readFlacLayout(again, &why);
    std::fclose(again);
    if (!back || back->audioOffset != head->size() || back->prefix != layout->prefix) std::abort();
    const tallory::metadata::CommentPacket backComments = commentsOf(*back);
    if (backComments.vendor != comments.vendor || backComments.comments != comments.comments) std::abort();
    if (rendered(picturesOf(*back)) != rendered(pictures)) std::abort();
    // Every block that is no tag or padding is there, in its order, with its bytes.
    std::vector<const FlacBlock*> kept, keptBack;
    for (const FlacBlock& b : layout->blocks) {
        if (b.type != 1 && b.type != 4 && b.type != 6) kept.push_back(&b);
    }
    for (const FlacBlock& b : back->blocks) {
        if (b.type != 1 && b.type != 4 && b.type != 6) keptBack.push_back(&b);
    }
    if (kept.size() != keptBack.size()) std::abort();
    for (size_t i = 0; i < kept.size(); ++i) {
        if (kept[i]->type != keptBack[i]->type || kept[i]->body != keptBack[i]->body) std::abort();
    }
    return 0;
}
