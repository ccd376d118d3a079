#include "metadata/tag_render.h"

#include <string>

#include "metadata/id3_support.h"
#include "metadata/text_codec.h"
#include "tallory/metadata.h"

namespace tallory::metadata {

namespace {

constexpr size_t kHeaderBytes = 10;
// The ID3v2 size field is 28 bits, sync-safe.
constexpr uint64_t kMaxTagBodyBytes = (uint64_t{1} << 28) - 1;
// id3lib rounds the whole file up to this multiple with padding.
constexpr uint64_t kPadMultiple = 2048;
constexpr size_t kId3v1Bytes = 128;
constexpr uint8_t kNoGenre = 255;

std::string latin1Text(const ID3_Tag& tag, ID3_FrameID id, ID3_FieldID field = ID3FN_TEXT) {
    const ID3_Frame* frame = id3::firstFrame(tag, id);
    if (frame == nullptr) return {};
    return latin1FromUtf16(id3::fieldText(*frame, field).value_or(std::u16string()));
}

unsigned leadingNumber(const std::string& text, size_t from = 0) {
    unsigned v = 0;
    for (size_t i = from; i < text.size() && text[i] >= '0' && text[i] <= '9' && v < 100000; ++i) v = v * 10 + (text[i] - '0');
    return v;
}

bool startsWithDigit(const std::string& text, size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; }

// "(17)", "17" or a genre name; 255 when none fits a byte.
uint8_t genreByte(std::string text) {
    while (!text.empty() && text.front() == ' ') text.erase(0, 1);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    unsigned n = 0;
    if (text.size() > 1 && text[0] == '(' && startsWithDigit(text, 1)) {
        n = leadingNumber(text, 1);
    } else if (startsWithDigit(text, 0)) {
        n = leadingNumber(text);
    } else {
        const int found = text.empty() ? -1 : GenreToNum(text.c_str());
        return found < 0 ? kNoGenre : static_cast<uint8_t>(found);
    }
    return n < kNoGenre ? static_cast<uint8_t>(n) : kNoGenre;
}

void put(std::vector<uint8_t>& out, size_t at, const std::string& text, size_t width) {
    for (size_t i = 0; i < width && i < text.size(); ++i) out[at + i] = static_cast<uint8_t>(text[i]);
}

}  // namespace

std::optional<std::vector<uint8_t>> renderId3v2(ID3_Tag& tag, uint64_t audioBytes) {
    std::vector<uint8_t> body;
    std::optional<std::vector<uint8_t>> failed;
    bool tooBig = false;
    id3::forEachFrame(tag, [&](ID3_Frame& frame) {
        frame.SetSpec(ID3V2_3_0);
        if (const auto bytes = id3::renderFrame(frame); bytes && !bytes->empty()) {
            if (body.size() + bytes->size() > kMaxTagBodyBytes) {
                tooBig = true;
                return false;
            }
            body.insert(body.end(), bytes->begin(), bytes->end());
        }
        return true;
    });
    if (tooBig) return failed;
    if (body.empty()) return body;
    const uint64_t unpadded = kHeaderBytes + body.size() + audioBytes;
    uint64_t padding = (unpadded / kPadMultiple + 1) * kPadMultiple - unpadded;
    if (body.size() + padding > kMaxTagBodyBytes) padding = 0;
    const uint64_t size = body.size() + padding;
    std::vector<uint8_t> out = {'I', 'D', '3', 3, 0, 0,
                                static_cast<uint8_t>((size >> 21) & 0x7F), static_cast<uint8_t>((size >> 14) & 0x7F),
                                static_cast<uint8_t>((size >> 7) & 0x7F), static_cast<uint8_t>(size & 0x7F)};
    out.reserve(kHeaderBytes + size);
    out.insert(out.end(), body.begin(), body.end());
    out.resize(kHeaderBytes + size, 0);
    return out;
}

std::vector<uint8_t> renderId3v1(const ID3_Tag& tag) {
    if (tag.NumFrames() == 0) return {};
    std::vector<uint8_t> out(kId3v1Bytes, 0);
    put(out, 0, "TAG", 3);
    put(out, 3, latin1Text(tag, ID3FID_TITLE), 30);
    put(out, 33, latin1Text(tag, ID3FID_LEADARTIST), 30);
    put(out, 63, latin1Text(tag, ID3FID_ALBUM), 30);
    put(out, 93, latin1Text(tag, ID3FID_YEAR), 4);
    const std::string track = latin1Text(tag, ID3FID_TRACKNUM);
    const unsigned trackNumber = leadingNumber(track);
    // ID3v1.1: a track number takes the last two bytes of the comment.
    const bool hasTrack = trackNumber > 0 && trackNumber < 256;
    put(out, 97, latin1Text(tag, ID3FID_COMMENT), hasTrack ? 28 : 30);
    if (hasTrack) out[126] = static_cast<uint8_t>(trackNumber);
    out[127] = genreByte(latin1Text(tag, ID3FID_CONTENTTYPE));
    return out;
}

}  // namespace tallory::metadata
