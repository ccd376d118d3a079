#include "metadata/tag_render.h"

#include <set>
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

namespace {

// A frame as id3lib renders it (the ID3v2.3 layout), taken apart.
struct Frame {
    std::string id;
    uint8_t status = 0;
    uint8_t format = 0;
    std::vector<uint8_t> body;
};

std::optional<Frame> split(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < kHeaderBytes) return std::nullopt;
    Frame f;
    f.id.assign(reinterpret_cast<const char*>(bytes.data()), 4);
    f.status = bytes[8];
    f.format = bytes[9];
    f.body.assign(bytes.begin() + kHeaderBytes, bytes.end());
    return f;
}

bool isTextId(const std::string& id) { return id.size() == 4 && id[0] == 'T' && id != "TXXX"; }

// The frames ID3v2.4 added (ID3v2.4 frames section 4 and its changes from 2.3).
bool isV24Only(const std::string& id) {
    static const char* const kIds[] = {"ASPI", "EQU2", "RVA2", "SEEK", "SIGN", "TDEN", "TDOR", "TDRC", "TDRL",
                                       "TDTG", "TIPL", "TMCL", "TMOO", "TPRO", "TSOA", "TSOP", "TSOT", "TSST"};
    for (const char* k : kIds) {
        if (id == k) return true;
    }
    return false;
}

std::u16string joined(const std::vector<std::u16string>& values, std::u16string_view separator) {
    std::u16string out;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += separator;
        out += values[i];
    }
    return out;
}

bool allDigits(std::u16string_view text) {
    if (text.empty()) return false;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return false;
    }
    return true;
}

// ID3v2.3 4.2.1: genres by number in parentheses, then the refinement text.
std::u16string v23Genre(const std::vector<std::u16string>& values) {
    std::u16string numbers;
    std::vector<std::u16string> texts;
    for (const std::u16string& v : values) {
        if (allDigits(v)) {
            numbers += u"(" + v + u")";
        } else {
            texts.push_back(v);
        }
    }
    return numbers + joined(texts, u"/");
}

// A text body: ISO-8859-1 when every value fits, else UTF-16 with a byte-order mark.
std::vector<uint8_t> textBody(const std::vector<std::u16string>& values, bool latin1Allowed = true) {
    bool latin1 = latin1Allowed;
    for (const std::u16string& v : values) latin1 = latin1 && fitsLatin1(v);
    std::vector<uint8_t> out{static_cast<uint8_t>(latin1 ? 0 : 1)};
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out.push_back(0);
            if (!latin1) out.push_back(0);
        }
        if (latin1) {
            for (char16_t c : values[i]) out.push_back(static_cast<uint8_t>(c));
        } else {
            out.push_back(0xFF);
            out.push_back(0xFE);
            for (char16_t c : values[i]) {
                out.push_back(static_cast<uint8_t>(c & 0xFF));
                out.push_back(static_cast<uint8_t>(c >> 8));
            }
        }
    }
    return out;
}

Frame textFrame(const char* id, const std::vector<std::u16string>& values) {
    return Frame{id, 0, 0, textBody(values)};
}

std::u16string firstValue(const Frame& f) {
    const auto values = textValues(f.body.data(), f.body.size());
    return values.empty() ? std::u16string() : values.front();
}

std::u16string digitsAt(std::u16string_view text, size_t at, size_t n) {
    if (text.size() < at + n) return {};
    const std::u16string_view piece = text.substr(at, n);
    return allDigits(piece) ? std::u16string(piece) : std::u16string();
}

// TDRC's "yyyy-MM-ddTHH:mm:ss" as the ID3v2.3 year, date (DDMM) and time (HHMM).
void splitRecordingTime(std::u16string_view text, std::vector<Frame>& out, const std::set<std::string>& ids) {
    auto has = [&](const char* id) { return ids.count(id) != 0; };
    const std::u16string year = digitsAt(text, 0, 4);
    if (year.empty()) {
        // Not a timestamp: kept as text.
        out.push_back(Frame{"TXXX", 0, 0, textBody({u"TDRC", std::u16string(text)})});
        return;
    }
    if (!has("TYER")) out.push_back(textFrame("TYER", {year}));
    const std::u16string month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
    if (!month.empty() && !day.empty() && !has("TDAT")) out.push_back(textFrame("TDAT", {day + month}));
    const std::u16string hour = digitsAt(text, 11, 2), minute = digitsAt(text, 14, 2);
    if (!hour.empty() && !minute.empty() && !has("TIME")) out.push_back(textFrame("TIME", {hour + minute}));
}

// Frames for an ID3v2.3 tag: several values joined, ID3v2.4 frames converted.
std::vector<Frame> forV23(std::vector<Frame> frames) {
    std::vector<Frame> out;
    out.reserve(frames.size());
    std::set<std::string> ids;
    for (const Frame& f : frames) ids.insert(f.id);
    auto has = [&](const char* id) { return ids.count(id) != 0; };
    for (Frame& f : frames) {
        if (!isTextId(f.id) && f.id != "TXXX") {
            out.push_back(std::move(f));
            continue;
        }
        const auto values = textValues(f.body.data(), f.body.size());
        if (f.id == "TDRC") {
            splitRecordingTime(values.empty() ? u"" : values.front(), out, ids);
        } else if (f.id == "TDOR") {
            const std::u16string year = values.empty() ? u"" : digitsAt(values.front(), 0, 4);
            if (!year.empty() && !has("TORY")) {
                out.push_back(textFrame("TORY", {year}));
            } else if (!values.empty()) {
                out.push_back(Frame{"TXXX", 0, 0, textBody({u"TDOR", values.front()})});
            }
        } else if (f.id == "TIPL" && !has("IPLS")) {
            f.id = "IPLS";
            out.push_back(std::move(f));
        } else if (isV24Only(f.id)) {
            out.push_back(Frame{"TXXX", 0, 0, textBody({utf16FromLatin1(f.id), joined(values, u"/")})});
        } else if (f.id == "TXXX") {
            // A description and several values: the values joined.
            if (values.size() > 2) {
                std::vector<std::u16string> rest(values.begin() + 1, values.end());
                f.body = textBody({values.front(), joined(rest, u"/")});
            }
            out.push_back(std::move(f));
        } else if (values.size() > 1) {
            f.body = textBody({f.id == "TCON" ? v23Genre(values) : joined(values, u"/")});
            out.push_back(std::move(f));
        } else {
            out.push_back(std::move(f));
        }
    }
    return out;
}

// Frames for an ID3v2.4 tag: the ID3v2.3 date frames become TDRC, TORY TDOR.
std::vector<Frame> forV24(std::vector<Frame> frames) {
    const Frame *year = nullptr, *date = nullptr, *time = nullptr, *recorded = nullptr, *original = nullptr,
                *originalTime = nullptr;
    for (const Frame& f : frames) {
        if (f.id == "TYER") year = &f;
        if (f.id == "TDAT") date = &f;
        if (f.id == "TIME") time = &f;
        if (f.id == "TDRC") recorded = &f;
        if (f.id == "TORY") original = &f;
        if (f.id == "TDOR") originalTime = &f;
    }
    std::vector<Frame> added;
    bool dropDates = false, dropRecorded = false, dropOriginal = false;
    if (year != nullptr) {
        const std::u16string y = digitsAt(firstValue(*year), 0, 4);
        const std::u16string current = recorded != nullptr ? firstValue(*recorded) : u"";
        if (!y.empty()) {
            dropDates = true;
            if (recorded == nullptr || current.substr(0, 4) != y) {
                std::u16string stamp = y;
                const std::u16string d = date != nullptr ? digitsAt(firstValue(*date), 0, 4) : u"";
                if (!d.empty()) {
                    // TDAT is DDMM, TIME HHMM; TDRC is yyyy-MM-ddTHH:mm.
                    stamp.append(u"-").append(d, 2, 2).append(u"-").append(d, 0, 2);
                    const std::u16string t = time != nullptr ? digitsAt(firstValue(*time), 0, 4) : u"";
                    if (!t.empty()) stamp.append(u"T").append(t, 0, 2).append(u":").append(t, 2, 2);
                }
                added.push_back(textFrame("TDRC", {stamp}));
                dropRecorded = recorded != nullptr;
            }
        }
    }
    if (original != nullptr && originalTime == nullptr) {
        const std::u16string y = digitsAt(firstValue(*original), 0, 4);
        if (!y.empty()) {
            added.push_back(textFrame("TDOR", {y}));
            dropOriginal = true;
        }
    }
    std::vector<Frame> out;
    out.reserve(frames.size() + added.size());
    for (Frame& f : frames) {
        if (dropDates && (f.id == "TYER" || f.id == "TDAT" || f.id == "TIME")) continue;
        if (dropRecorded && f.id == "TDRC") continue;
        if (dropOriginal && f.id == "TORY") continue;
        out.push_back(std::move(f));
    }
    out.insert(out.end(), added.begin(), added.end());
    return out;
}

void appendV23(std::vector<uint8_t>& out, const Frame& f) {
    out.insert(out.end(), f.id.begin(), f.id.end());
    const auto n = static_cast<uint32_t>(f.body.size());
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(n >> shift));
    out.push_back(f.status);
    out.push_back(f.format);
    out.insert(out.end(), f.body.begin(), f.body.end());
}

// ID3v2.4 4.1: a sync-safe size, status flags one bit lower, grouping as 0x40.
bool appendV24(std::vector<uint8_t>& out, const Frame& f, std::string& why) {
    if ((f.format & 0xC0) != 0) {
        why = "the frame '" + f.id + "' is compressed or encrypted in the ID3v2.3 way and cannot be written into "
              "an ID3v2.4 tag; the file is unchanged";
        return false;
    }
    out.insert(out.end(), f.id.begin(), f.id.end());
    const auto n = static_cast<uint32_t>(f.body.size());
    for (int shift = 21; shift >= 0; shift -= 7) out.push_back(static_cast<uint8_t>((n >> shift) & 0x7F));
    out.push_back(static_cast<uint8_t>((f.status >> 1) & 0x70));
    out.push_back((f.format & 0x20) != 0 ? 0x40 : 0);
    out.insert(out.end(), f.body.begin(), f.body.end());
    return true;
}

}  // namespace

std::vector<std::u16string> textValues(const uint8_t* body, size_t size) {
    std::vector<std::u16string> values;
    if (size == 0) return values;
    const uint8_t encoding = body[0];
    std::u16string current;
    if (encoding == 1 || encoding == 2) {
        bool little = encoding == 1;
        bool atStart = true;
        for (size_t i = 1; i + 1 < size; i += 2) {
            const char16_t raw = little ? static_cast<char16_t>(body[i] | (body[i + 1] << 8))
                                        : static_cast<char16_t>((body[i] << 8) | body[i + 1]);
            if (atStart && encoding == 1 && (raw == 0xFEFF || raw == 0xFFFE)) {
                // A byte-order mark starts each value.
                if (raw == 0xFFFE) little = !little;
                atStart = false;
                continue;
            }
            atStart = false;
            if (raw == 0) {
                values.push_back(std::move(current));
                current.clear();
                atStart = true;
                continue;
            }
            current += raw;
        }
    } else {
        std::string piece;
        for (size_t i = 1; i <= size; ++i) {
            if (i < size && body[i] != 0) {
                piece += static_cast<char>(body[i]);
                continue;
            }
            if (i == size && piece.empty()) break;
            values.push_back(encoding == 3 ? utf16FromUtf8(piece) : utf16FromLatin1(piece));
            piece.clear();
        }
        return values;
    }
    if (!current.empty()) values.push_back(std::move(current));
    return values;
}

std::optional<std::vector<uint8_t>> renderId3v2(ID3_Tag& tag, const std::vector<RawFrame>& raw, int major,
                                                uint64_t audioBytes, std::string& why) {
    std::vector<Frame> frames;
    bool tooBig = false;
    uint64_t total = 0;
    id3::forEachFrame(tag, [&](ID3_Frame& frame) {
        frame.SetSpec(ID3V2_3_0);
        const auto bytes = id3::renderFrame(frame);
        if (!bytes) {
            tooBig = true;
            return false;
        }
        if (auto f = split(*bytes)) {
            total += bytes->size();
            frames.push_back(std::move(*f));
        }
        return total <= kMaxTagBodyBytes;
    });
    if (tooBig || total > kMaxTagBodyBytes) {
        why = "the tag would exceed the 256 MiB an ID3v2 tag holds; the file is unchanged";
        return std::nullopt;
    }
    if (major != 4) {
        // A frame that only ID3v2.4 can hold (RVA2, SIGN ...) keeps the tag at ID3v2.4.
        for (const Frame& f : frames) {
            if (isV24Only(f.id) && !isTextId(f.id)) major = 4;
        }
        for (const RawFrame& r : raw) {
            if (r.major == 4) major = 4;
        }
    }
    for (const RawFrame& r : raw) {
        if (r.major != major) {
            why = "the frame '" + r.id + "' is kept as it was read from an ID3v2." + std::to_string(r.major) +
                  " tag and cannot be written into an ID3v2." + std::to_string(major) + " tag; the file is unchanged";
            return std::nullopt;
        }
    }
    frames = major == 4 ? forV24(std::move(frames)) : forV23(std::move(frames));
    std::vector<uint8_t> body;
    for (const Frame& f : frames) {
        if (major == 4) {
            if (!appendV24(body, f, why)) return std::nullopt;
        } else {
            appendV23(body, f);
        }
    }
    for (const RawFrame& r : raw) body.insert(body.end(), r.bytes.begin(), r.bytes.end());
    if (body.size() > kMaxTagBodyBytes) {
        why = "the tag would exceed the 256 MiB an ID3v2 tag holds; the file is unchanged";
        return std::nullopt;
    }
    if (body.empty()) return body;
    const uint64_t unpadded = kHeaderBytes + body.size() + audioBytes;
    uint64_t padding = (unpadded / kPadMultiple + 1) * kPadMultiple - unpadded;
    if (body.size() + padding > kMaxTagBodyBytes) padding = 0;
    const uint64_t size = body.size() + padding;
    std::vector<uint8_t> out = {'I', 'D', '3', static_cast<uint8_t>(major), 0, 0,
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
