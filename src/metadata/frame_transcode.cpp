#include "metadata/frame_transcode.h"

#include <cstring>
#include <string>
#include <string_view>

#include "metadata/text_codec.h"

namespace tallory::metadata {

namespace {

constexpr uint8_t kUtf16WithMark = 1;
constexpr uint8_t kUtf16BigEndian = 2;
constexpr uint8_t kUtf8 = 3;

// How a frame's data is laid out around its encoded strings (ID3v2.4 frames section 4).
struct Layout {
    size_t fixedBefore;    // bytes after the encoding byte before the first encoded string
    bool latin1Before;     // a NUL-terminated ISO-8859-1 string and one byte precede (APIC: MIME type, picture type)
    size_t encodedStrings; // 0: every remaining byte is a list of encoded strings
    bool restIsRaw;        // bytes after the encoded strings are copied as they are
};

std::optional<Layout> layoutOf(const uint8_t* id) {
    const std::string_view name(reinterpret_cast<const char*>(id), 4);
    if (name == "TXXX") return Layout{0, false, 2, false};
    if (name == "COMM" || name == "USLT") return Layout{3, false, 2, false};
    if (name == "WXXX") return Layout{0, false, 1, true};
    if (name == "APIC") return Layout{0, true, 1, true};
    if (name[0] == 'T') return Layout{0, false, 0, false};
    return std::nullopt;
}

// Reads one encoded string from data[pos...], advancing past its terminator.
std::u16string readString(const uint8_t* data, size_t size, size_t& pos, uint8_t encoding) {
    std::u16string out;
    if (encoding == kUtf8) {
        const size_t start = pos;
        while (pos < size && data[pos] != 0) ++pos;
        out = utf16FromUtf8(std::string_view(reinterpret_cast<const char*>(data + start), pos - start));
        if (pos < size) ++pos;
        return out;
    }
    while (pos + 1 < size) {
        const char16_t unit = static_cast<char16_t>((data[pos] << 8) | data[pos + 1]);
        pos += 2;
        if (unit == 0) return out;
        out += unit;
    }
    pos = size;
    return out;
}

void writeString(std::vector<uint8_t>& out, const std::u16string& text) {
    out.push_back(0xFF);
    out.push_back(0xFE);
    for (char16_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

}  // namespace

TranscodeResult transcodeFrameData(const uint8_t* id, const uint8_t* data, size_t size) {
    TranscodeResult result;
    if (id[0] != 'T' && std::memcmp(id, "COMM", 4) != 0 && std::memcmp(id, "USLT", 4) != 0 &&
        std::memcmp(id, "WXXX", 4) != 0 && std::memcmp(id, "APIC", 4) != 0) {
        // Other frames with an encoding byte (SYLT, GEOB, USER, OWNE ...) are kept only with 0 or 1.
        const bool encoded = std::memcmp(id, "SYLT", 4) == 0 || std::memcmp(id, "GEOB", 4) == 0 ||
                             std::memcmp(id, "USER", 4) == 0 || std::memcmp(id, "OWNE", 4) == 0 ||
                             std::memcmp(id, "COMR", 4) == 0 || std::memcmp(id, "IPLS", 4) == 0;
        if (encoded && size > 0 && data[0] > kUtf16WithMark) result.kind = TranscodeKind::Unreadable;
        return result;
    }
    const auto layout = layoutOf(id);
    if (!layout || size == 0 || (data[0] != kUtf16BigEndian && data[0] != kUtf8)) return result;
    const uint8_t encoding = data[0];
    std::vector<uint8_t>& out = result.data;
    out.push_back(kUtf16WithMark);
    size_t pos = 1;
    if (size - pos < layout->fixedBefore) return TranscodeResult{TranscodeKind::Unreadable, {}};
    out.insert(out.end(), data + pos, data + pos + layout->fixedBefore);
    pos += layout->fixedBefore;
    if (layout->latin1Before) {
        const size_t start = pos;
        while (pos < size && data[pos] != 0) ++pos;
        if (pos + 2 > size) return TranscodeResult{TranscodeKind::Unreadable, {}};
        pos += 2;  // the terminator and the picture type
        out.insert(out.end(), data + start, data + pos);
    }
    if (layout->encodedStrings == 0) {
        while (pos < size) writeString(out, readString(data, size, pos, encoding));
    } else {
        for (size_t i = 0; i < layout->encodedStrings; ++i) writeString(out, readString(data, size, pos, encoding));
        if (layout->restIsRaw && pos < size) out.insert(out.end(), data + pos, data + size);
    }
    result.kind = TranscodeKind::Rewritten;
    return result;
}

}  // namespace tallory::metadata
