#include "metadata/frame_transcode.h"

#include <cstring>
#include <string>
#include <string_view>

#include "metadata/text_codec.h"

namespace tallory::metadata {

namespace {

constexpr uint8_t kLatin1 = 0;
constexpr uint8_t kUtf16WithMark = 1;
constexpr uint8_t kUtf16BigEndian = 2;
constexpr uint8_t kUtf8 = 3;

// One piece of a frame's data after its encoding byte (ID3v2.4 frames section 4).
enum class Piece : uint8_t {
    Encoded,       // one string in the frame's encoding, terminated
    EncodedList,   // strings in the frame's encoding up to the end of the frame
    Latin1,        // one ISO-8859-1 string, terminated
    Byte,          // one raw byte
    Language,      // three raw bytes
    Date,          // eight raw bytes
    Rest,          // every remaining byte, raw
    SyncedLyrics,  // (string, 4-byte time stamp) pairs up to the end
};

struct Layout {
    const char* id;
    Piece pieces[6];
    size_t count;
};

// The frames with an encoding byte, by their ID3v2.3/2.4 identifiers.
constexpr Layout kLayouts[] = {
    {"TXXX", {Piece::Encoded, Piece::EncodedList}, 2},
    {"COMM", {Piece::Language, Piece::Encoded, Piece::EncodedList}, 3},
    {"USLT", {Piece::Language, Piece::Encoded, Piece::EncodedList}, 3},
    {"WXXX", {Piece::Encoded, Piece::Rest}, 2},
    {"APIC", {Piece::Latin1, Piece::Byte, Piece::Encoded, Piece::Rest}, 4},
    {"SYLT", {Piece::Language, Piece::Byte, Piece::Byte, Piece::Encoded, Piece::SyncedLyrics}, 5},
    {"GEOB", {Piece::Latin1, Piece::Encoded, Piece::Encoded, Piece::Rest}, 4},
    {"USER", {Piece::Language, Piece::EncodedList}, 2},
    {"OWNE", {Piece::Latin1, Piece::Date, Piece::EncodedList}, 3},
    {"IPLS", {Piece::EncodedList}, 1},
};

const Layout* layoutOf(const uint8_t* id) {
    for (const Layout& l : kLayouts) {
        if (std::memcmp(l.id, id, 4) == 0) return &l;
    }
    static constexpr Layout kText = {"T***", {Piece::EncodedList}, 1};
    return id[0] == 'T' ? &kText : nullptr;
}

// Frames with an encoding byte whose layout is not rewritten here (COMR's
// strings sit between fields of variable length): kept raw when not 0 or 1.
bool hasEncodingByte(const uint8_t* id) { return std::memcmp(id, "COMR", 4) == 0; }

class Reader {
public:
    Reader(const uint8_t* data, size_t size, uint8_t encoding) : data_(data), size_(size), encoding_(encoding) {}
    bool atEnd() const { return pos_ >= size_; }
    size_t pos() const { return pos_; }
    // Raw bytes; false when fewer are left.
    bool raw(size_t n, std::vector<uint8_t>& out) {
        if (size_ - pos_ < n) return false;
        out.insert(out.end(), data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return true;
    }
    // A terminated ISO-8859-1 string, copied with its terminator.
    bool latin1(std::vector<uint8_t>& out) {
        const size_t start = pos_;
        while (pos_ < size_ && data_[pos_] != 0) ++pos_;
        if (pos_ >= size_) return false;
        ++pos_;
        out.insert(out.end(), data_ + start, data_ + pos_);
        return true;
    }
    // One string in the frame's encoding; a missing terminator at the frame's end is tolerated.
    std::u16string encoded() {
        if (encoding_ == kUtf8 || encoding_ == kLatin1) {
            const size_t start = pos_;
            while (pos_ < size_ && data_[pos_] != 0) ++pos_;
            const std::string_view bytes(reinterpret_cast<const char*>(data_ + start), pos_ - start);
            if (pos_ < size_) ++pos_;
            return encoding_ == kUtf8 ? utf16FromUtf8(bytes) : utf16FromLatin1(bytes);
        }
        // The string's extent: up to a NUL unit on an even offset from its start.
        const size_t start = pos_;
        size_t end = start;
        while (end + 1 < size_ && !(data_[end] == 0 && data_[end + 1] == 0)) end += 2;
        size_t stop = end + 2;
        if (end + 1 >= size_) {
            // No terminator: the string runs to the frame's end (an odd last byte is no unit).
            end = start + ((size_ - start) & ~size_t{1});
            stop = size_;
        }
        bool little = encoding_ != kUtf16BigEndian;
        size_t i = start;
        if (encoding_ == kUtf16WithMark) {
            if (end - start >= 2 && data_[i] == 0xFF && data_[i + 1] == 0xFE) {
                i += 2;
            } else if (end - start >= 2 && data_[i] == 0xFE && data_[i + 1] == 0xFF) {
                little = false;
                i += 2;
            } else {
                little = guessLittleEndian(data_ + start, end - start);
            }
        }
        std::u16string out;
        out.reserve((end - i) / 2);
        for (; i + 1 < end; i += 2) {
            out += little ? static_cast<char16_t>(data_[i] | (data_[i + 1] << 8))
                          : static_cast<char16_t>((data_[i] << 8) | data_[i + 1]);
        }
        pos_ = stop;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    uint8_t encoding_;
};

void writeString(std::vector<uint8_t>& out, std::u16string_view text, bool terminate) {
    out.push_back(0xFF);
    out.push_back(0xFE);
    for (char16_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (terminate) {
        out.push_back(0);
        out.push_back(0);
    }
}

}  // namespace

bool guessLittleEndian(const uint8_t* data, size_t size) {
    bool evenAllZero = true, oddAnySet = false;
    for (size_t i = 0; i + 1 < size; i += 2) {
        if (data[i] != 0) evenAllZero = false;
        if (data[i + 1] != 0) oddAnySet = true;
    }
    return !(evenAllZero && oddAnySet);
}

TranscodeResult transcodeFrameData(const uint8_t* id, const uint8_t* data, size_t size) {
    TranscodeResult result;
    const Layout* layout = layoutOf(id);
    if (layout == nullptr) {
        if (hasEncodingByte(id) && size > 0 && data[0] > kUtf16WithMark) result.kind = TranscodeKind::Unreadable;
        return result;
    }
    if (size == 0) return result;
    const uint8_t encoding = data[0];
    if (encoding > kUtf8) return TranscodeResult{TranscodeKind::Unreadable, {}};
    if (encoding == kLatin1) {
        // Only the layout is checked: id3lib reads past an APIC or GEOB that lacks its terminators.
        Reader check(data + 1, size - 1, encoding);
        std::vector<uint8_t> scratch;
        for (size_t p = 0; p < layout->count; ++p) {
            if (layout->pieces[p] == Piece::Latin1 && !check.latin1(scratch)) return {TranscodeKind::Unreadable, {}};
            if (layout->pieces[p] == Piece::Byte && !check.raw(1, scratch)) return {TranscodeKind::Unreadable, {}};
            if (layout->pieces[p] == Piece::Language && !check.raw(3, scratch)) return {TranscodeKind::Unreadable, {}};
            if (layout->pieces[p] == Piece::Date && !check.raw(8, scratch)) return {TranscodeKind::Unreadable, {}};
            if (layout->pieces[p] == Piece::Encoded) (void)check.encoded();
        }
        return result;
    }
    Reader in(data + 1, size - 1, encoding);
    std::vector<uint8_t>& out = result.data;
    out.reserve(size * 2 + 16);
    out.push_back(kUtf16WithMark);
    for (size_t p = 0; p < layout->count; ++p) {
        bool ok = true;
        switch (layout->pieces[p]) {
            case Piece::Encoded: writeString(out, in.encoded(), true); break;
            case Piece::EncodedList: {
                // Several values are kept as several terminated strings; the last one unterminated,
                // as the frame had it, so that a single value reads back exactly.
                bool first = true;
                while (!in.atEnd() || first) {
                    const std::u16string value = in.encoded();
                    writeString(out, value, !in.atEnd());
                    first = false;
                    if (in.atEnd()) break;
                }
                break;
            }
            case Piece::Latin1: ok = in.latin1(out); break;
            case Piece::Byte: ok = in.raw(1, out); break;
            case Piece::Language: ok = in.raw(3, out); break;
            case Piece::Date: ok = in.raw(8, out); break;
            case Piece::Rest: ok = in.raw(size - 1 - in.pos(), out); break;
            case Piece::SyncedLyrics:
                while (!in.atEnd()) {
                    writeString(out, in.encoded(), true);
                    if (!in.raw(4, out)) return TranscodeResult{TranscodeKind::Unreadable, {}};
                }
                break;
        }
        if (!ok) return TranscodeResult{TranscodeKind::Unreadable, {}};
    }
    result.kind = TranscodeKind::Rewritten;
    return result;
}

}  // namespace tallory::metadata
