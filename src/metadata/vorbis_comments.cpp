#include "metadata/vorbis_comments.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>

#include "metadata/frame_kinds.h"
#include "metadata/genre_table.h"
#include "metadata/id3_support.h"
#include "metadata/metadata_frame.h"
#include "metadata/text_codec.h"

namespace tallory::metadata {

namespace {

struct FieldRow {
    const char* field;
    ID3_FrameID frame;
    bool writes;  // aliases are read but never written
};

// The field names follow the common practice of Vorbis comment writers
// (the Xiph recommendations plus ALBUMARTIST, DISCNUMBER and the like).
constexpr FieldRow kFields[] = {
    {"TITLE", ID3FID_TITLE, true},
    {"ARTIST", ID3FID_LEADARTIST, true},
    {"ALBUM", ID3FID_ALBUM, true},
    {"ALBUMARTIST", ID3FID_BAND, true},
    {"ALBUM ARTIST", ID3FID_BAND, false},
    {"TRACKNUMBER", ID3FID_TRACKNUM, true},
    {"DISCNUMBER", ID3FID_PARTINSET, true},
    {"DATE", ID3FID_YEAR, true},
    {"YEAR", ID3FID_YEAR, false},
    {"GENRE", ID3FID_CONTENTTYPE, true},
    {"COMMENT", ID3FID_COMMENT, true},
    {"DESCRIPTION", ID3FID_COMMENT, false},
    {"COMPOSER", ID3FID_COMPOSER, true},
    {"CONDUCTOR", ID3FID_CONDUCTOR, true},
    {"REMIXER", ID3FID_MIXARTIST, true},
    {"COPYRIGHT", ID3FID_COPYRIGHT, true},
    {"ENCODEDBY", ID3FID_ENCODEDBY, true},
    {"ENCODED-BY", ID3FID_ENCODEDBY, false},
    {"ENCODERSETTINGS", ID3FID_ENCODERSETTINGS, true},
    {"ISRC", ID3FID_ISRC, true},
    {"LYRICIST", ID3FID_LYRICIST, true},
    {"ORGANIZATION", ID3FID_PUBLISHER, true},
    {"LABEL", ID3FID_PUBLISHER, false},
    {"PUBLISHER", ID3FID_PUBLISHER, false},
    {"GROUPING", ID3FID_CONTENTGROUP, true},
    {"SUBTITLE", ID3FID_SUBTITLE, true},
    {"BPM", ID3FID_BPM, true},
    {"LANGUAGE", ID3FID_LANGUAGE, true},
    {"ORIGINALDATE", ID3FID_ORIGYEAR, true},
    {"ORIGINALYEAR", ID3FID_ORIGYEAR, false},
    {"KEY", ID3FID_INITIALKEY, true},
    {"MEDIA", ID3FID_MEDIATYPE, true},
};

// The totals that Vorbis comments keep apart and ID3v2 writes as "n/total".
constexpr const char* kTrackTotalFields[] = {"TRACKTOTAL", "TOTALTRACKS"};
constexpr const char* kDiscTotalFields[] = {"DISCTOTAL", "TOTALDISCS"};

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

const FieldRow* rowOfField(const std::string& upperName) {
    for (const FieldRow& row : kFields) {
        if (upperName == row.field) return &row;
    }
    return nullptr;
}

const FieldRow* rowOfFrame(ID3_FrameID id) {
    for (const FieldRow& row : kFields) {
        if (row.writes && row.frame == id) return &row;
    }
    return nullptr;
}

bool isOneOf(const std::string& upperName, std::span<const char* const> names) {
    for (const char* n : names) {
        if (upperName == n) return true;
    }
    return false;
}

std::unique_ptr<ID3_Frame> newFrame(ID3_FrameID id) {
    auto frame = std::make_unique<ID3_Frame>(id);
    const FrameKind kind = frameKindOf(id);
    if (kind != FrameKind::None) applyDefaults(kind, *frame);
    return frame;
}

// A frame holding `text` in its text field; a TXXX or COMM takes `description` too.
std::unique_ptr<ID3_Frame> textFrame(ID3_FrameID id, std::u16string_view text, std::u16string_view description = {}) {
    auto frame = newFrame(id);
    if (!frame->Contains(ID3FN_TEXT)) return nullptr;
    if (frame->Contains(ID3FN_DESCRIPTION)) (void)id3::setFieldText(*frame, ID3FN_DESCRIPTION, description);
    (void)id3::setFieldText(*frame, ID3FN_TEXT, text);
    return frame;
}

std::u16string frameText(const ID3_Frame& frame) {
    return id3::fieldText(frame, ID3FN_TEXT).value_or(std::u16string());
}

// "(17)" and "(17)Rock" as ID3v1 genre references, written out as names.
std::u16string genreText(const std::u16string& text) {
    if (text.size() >= 3 && text[0] == u'(') {
        size_t close = text.find(u')');
        if (close != std::u16string::npos && close > 1 && close <= 4) {
            long long number = 0;
            bool digits = true;
            for (size_t i = 1; i < close; ++i) {
                if (text[i] < u'0' || text[i] > u'9') {
                    digits = false;
                    break;
                }
                number = number * 10 + (text[i] - u'0');
            }
            if (digits) {
                if (close + 1 < text.size()) return text.substr(close + 1);
                std::string_view name = genreName(number);
                if (!name.empty()) return utf16FromLatin1(name);
            }
        }
    }
    return text;
}

// DATE is a full date ("2004-05-17"); the year frame holds its year. A value
// that does not start with four digits is not a date we can shorten: cutting
// it at a byte count could split a UTF-8 sequence, so it is kept whole.
std::string yearOfDate(const std::string& value) {
    if (value.size() < 4) return value;
    for (size_t i = 0; i < 4; ++i) {
        if (value[i] < '0' || value[i] > '9') return value;
    }
    return value.substr(0, 4);
}

void put32be(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void put32le(std::vector<uint8_t>& out, uint32_t v) {
    const uint8_t bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    out.insert(out.end(), bytes, bytes + 4);
}

// A bounded reader over outside bytes: every read checks what is left.
class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool u32be(uint32_t& v) {
        if (left() < 4) return false;
        v = static_cast<uint32_t>(bytes_[at_]) << 24 | static_cast<uint32_t>(bytes_[at_ + 1]) << 16 |
            static_cast<uint32_t>(bytes_[at_ + 2]) << 8 | bytes_[at_ + 3];
        at_ += 4;
        return true;
    }
    bool u32le(uint32_t& v) {
        if (left() < 4) return false;
        v = static_cast<uint32_t>(bytes_[at_ + 3]) << 24 | static_cast<uint32_t>(bytes_[at_ + 2]) << 16 |
            static_cast<uint32_t>(bytes_[at_ + 1]) << 8 | bytes_[at_];
        at_ += 4;
        return true;
    }
    bool bytes(size_t n, std::span<const uint8_t>& out) {
        if (left() < n) return false;
        out = bytes_.subspan(at_, n);
        at_ += n;
        return true;
    }
    size_t left() const { return bytes_.size() - at_; }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

std::string asString(std::span<const uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

bool isValidFieldName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (c < 0x20 || c > 0x7D || c == '=') return false;
    }
    return true;
}

void readVorbisComments(std::span<const std::string> comments, ID3_Tag& tag) {
    // Values gathered per field in the file's order; a field's first
    // appearance fixes where its frame goes.
    std::vector<std::string> order;
    std::map<std::string, std::pair<std::string, std::vector<std::string>>> values;  // upper -> (name, values)
    std::string trackTotal, discTotal;
    for (const std::string& comment : comments) {
        const size_t eq = comment.find('=');
        if (eq == std::string::npos || !isValidFieldName(std::string_view(comment).substr(0, eq))) continue;
        const std::string name = comment.substr(0, eq);
        const std::string key = upper(name);
        std::string value = comment.substr(eq + 1);
        if (key == kPictureField) {
            if (auto bytes = base64Decode(value)) {
                if (auto picture = parsePictureBlock(*bytes)) addPicture(*picture, tag);
            }
            continue;
        }
        if (isOneOf(key, kTrackTotalFields)) {
            if (trackTotal.empty()) trackTotal = value;
            continue;
        }
        if (isOneOf(key, kDiscTotalFields)) {
            if (discTotal.empty()) discTotal = value;
            continue;
        }
        if (value.empty()) continue;
        // Aliases gather under the field they stand for.
        const FieldRow* row = rowOfField(key);
        std::string slot = key;
        if (row != nullptr) slot = std::string("#") + std::to_string(static_cast<int>(row->frame));
        auto [it, added] = values.try_emplace(slot, name, std::vector<std::string>{});
        if (added) order.push_back(slot);
        it->second.second.push_back(std::move(value));
    }
    for (const std::string& slot : order) {
        const auto& [name, list] = values[slot];
        std::string joined;
        for (const std::string& v : list) {
            if (!joined.empty()) joined += "; ";
            joined += v;
        }
        const FieldRow* row = rowOfField(upper(name));
        std::unique_ptr<ID3_Frame> frame;
        if (row == nullptr) {
            frame = textFrame(ID3FID_USERTEXT, utf16FromUtf8(joined), utf16FromUtf8(name));
        } else {
            if (row->frame == ID3FID_TRACKNUM && !trackTotal.empty() && joined.find('/') == std::string::npos) {
                joined += "/" + trackTotal;
            }
            if (row->frame == ID3FID_PARTINSET && !discTotal.empty() && joined.find('/') == std::string::npos) {
                joined += "/" + discTotal;
            }
            if (row->frame == ID3FID_YEAR || row->frame == ID3FID_ORIGYEAR) joined = yearOfDate(joined);
            frame = textFrame(row->frame, utf16FromUtf8(joined));
        }
        if (frame != nullptr) tag.AttachFrame(frame.release());
    }
}

std::vector<std::string> writeVorbisComments(const ID3_Tag& tag, bool picturesAsComments) {
    std::vector<std::string> out;
    id3::forEachFrame(tag, [&](ID3_Frame& frame) {
        const ID3_FrameID id = frame.GetID();
        if (id == ID3FID_PICTURE) return true;  // after the texts, below
        if (id == ID3FID_USERTEXT) {
            const std::string name = utf8FromUtf16(id3::fieldText(frame, ID3FN_DESCRIPTION).value_or(u""));
            const std::string text = utf8FromUtf16(frameText(frame));
            // A picture must come from an APIC frame, never from free text.
            if (isValidFieldName(name) && upper(name) != kPictureField && !text.empty()) out.push_back(name + "=" + text);
            return true;
        }
        const FieldRow* row = rowOfFrame(id);
        if (row == nullptr) return true;
        std::u16string text = frameText(frame);
        if (text.empty()) return true;
        if (id == ID3FID_CONTENTTYPE) text = genreText(text);
        std::string value = utf8FromUtf16(text);
        if (id == ID3FID_TRACKNUM || id == ID3FID_PARTINSET) {
            const size_t slash = value.find('/');
            if (slash != std::string::npos) {
                const std::string total = value.substr(slash + 1);
                value.resize(slash);
                if (value.empty()) return true;  // a total alone has nothing to count
                out.push_back(std::string(row->field) + "=" + value);
                if (!total.empty()) out.push_back(std::string(id == ID3FID_TRACKNUM ? "TRACKTOTAL" : "DISCTOTAL") + "=" + total);
                return true;
            }
        }
        out.push_back(std::string(row->field) + "=" + value);
        return true;
    });
    // An ID3v2.4 tag dates its recording in TDRC, not in the year frame.
    const bool dated = std::any_of(out.begin(), out.end(), [](const std::string& c) { return c.rfind("DATE=", 0) == 0; });
    if (!dated) {
        const std::string recorded = id3::recordingTime(tag);
        if (!recorded.empty()) out.push_back("DATE=" + recorded);
    }
    if (picturesAsComments) {
        for (const VorbisPicture& p : picturesOf(tag)) {
            const std::vector<uint8_t> block = renderPictureBlock(p);
            if (!block.empty()) out.push_back(std::string(kPictureField) + "=" + base64Encode(block));
        }
    }
    return out;
}

std::vector<VorbisPicture> picturesOf(const ID3_Tag& tag) {
    std::vector<VorbisPicture> out;
    id3::forEachFrame(tag, [&](ID3_Frame& frame) {
        if (frame.GetID() != ID3FID_PICTURE) return true;
        const ID3_Field* data = frame.GetField(ID3FN_DATA);
        if (data == nullptr || data->GetRawBinary() == nullptr || data->Size() == 0) return true;
        VorbisPicture p;
        p.type = id3::fieldInt(frame, ID3FN_PICTURETYPE).value_or(3);
        p.mimeType = latin1FromUtf16(id3::fieldText(frame, ID3FN_MIMETYPE).value_or(u""));
        if (p.mimeType.empty()) p.mimeType = "image/";
        p.description = utf8FromUtf16(id3::fieldText(frame, ID3FN_DESCRIPTION).value_or(u""));
        p.data.assign(data->GetRawBinary(), data->GetRawBinary() + data->Size());
        out.push_back(std::move(p));
        return true;
    });
    return out;
}

void addPicture(const VorbisPicture& picture, ID3_Tag& tag) {
    if (picture.data.empty()) return;
    auto frame = newFrame(ID3FID_PICTURE);
    (void)id3::setFieldText(*frame, ID3FN_MIMETYPE, utf16FromLatin1(picture.mimeType));
    (void)id3::setFieldText(*frame, ID3FN_DESCRIPTION, utf16FromUtf8(picture.description));
    // ID3v2 knows picture types 0 to 20.
    id3::setFieldInt(*frame, ID3FN_PICTURETYPE, picture.type <= 20 ? picture.type : 0);
    ID3_Field* data = frame->GetField(ID3FN_DATA);
    if (data == nullptr) return;
    data->Set(picture.data.data(), picture.data.size());
    tag.AttachFrame(frame.release());
}

std::optional<VorbisPicture> parsePictureBlock(std::span<const uint8_t> bytes) {
    if (bytes.size() > kMaxPictureBlockBytes) return std::nullopt;
    ByteReader r(bytes);
    VorbisPicture p;
    uint32_t length = 0;
    std::span<const uint8_t> field;
    if (!r.u32be(p.type) || !r.u32be(length) || !r.bytes(length, field)) return std::nullopt;
    p.mimeType = asString(field);
    if (!r.u32be(length) || !r.bytes(length, field)) return std::nullopt;
    p.description = asString(field);
    if (!r.u32be(p.width) || !r.u32be(p.height) || !r.u32be(p.depth) || !r.u32be(p.colors)) return std::nullopt;
    if (!r.u32be(length) || !r.bytes(length, field)) return std::nullopt;
    p.data.assign(field.begin(), field.end());
    return p;
}

std::vector<uint8_t> renderPictureBlock(const VorbisPicture& p) {
    const size_t total = 32 + p.mimeType.size() + p.description.size() + p.data.size();
    if (total > kMaxPictureBlockBytes) return {};
    std::vector<uint8_t> out;
    out.reserve(total);
    put32be(out, p.type);
    put32be(out, static_cast<uint32_t>(p.mimeType.size()));
    out.insert(out.end(), p.mimeType.begin(), p.mimeType.end());
    put32be(out, static_cast<uint32_t>(p.description.size()));
    out.insert(out.end(), p.description.begin(), p.description.end());
    put32be(out, p.width);
    put32be(out, p.height);
    put32be(out, p.depth);
    put32be(out, p.colors);
    put32be(out, static_cast<uint32_t>(p.data.size()));
    out.insert(out.end(), p.data.begin(), p.data.end());
    return out;
}

std::optional<CommentPacket> parseCommentPacket(std::span<const uint8_t> bytes) {
    ByteReader r(bytes);
    CommentPacket packet;
    uint32_t length = 0, count = 0;
    std::span<const uint8_t> field;
    if (!r.u32le(length) || !r.bytes(length, field)) return std::nullopt;
    packet.vendor = asString(field);
    if (!r.u32le(count)) return std::nullopt;
    // Each comment takes at least its 4-byte length: a count beyond that is a lie.
    if (count > r.left() / 4) return std::nullopt;
    packet.comments.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (!r.u32le(length) || !r.bytes(length, field)) return std::nullopt;
        packet.comments.push_back(asString(field));
    }
    return packet;
}

std::vector<uint8_t> renderCommentPacket(const CommentPacket& packet) {
    size_t total = 8 + packet.vendor.size();
    for (const std::string& c : packet.comments) total += 4 + c.size();
    std::vector<uint8_t> out;
    out.reserve(total);
    put32le(out, static_cast<uint32_t>(packet.vendor.size()));
    out.insert(out.end(), packet.vendor.begin(), packet.vendor.end());
    put32le(out, static_cast<uint32_t>(packet.comments.size()));
    for (const std::string& c : packet.comments) {
        put32le(out, static_cast<uint32_t>(c.size()));
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

std::string base64Encode(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16 | static_cast<uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    if (i + 1 == bytes.size()) {
        const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16;
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16 | static_cast<uint32_t>(bytes[i + 1]) << 8;
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t v = 0;
        int padding = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            uint32_t d = 0;
            if (c == '=') {
                // Padding only at the end, at most two characters.
                if (i + 4 != text.size() || k < 2) return std::nullopt;
                ++padding;
            } else {
                if (padding > 0) return std::nullopt;
                if (c >= 'A' && c <= 'Z') d = static_cast<uint32_t>(c - 'A');
                else if (c >= 'a' && c <= 'z') d = static_cast<uint32_t>(c - 'a' + 26);
                else if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0' + 52);
                else if (c == '+') d = 62;
                else if (c == '/') d = 63;
                else return std::nullopt;
            }
            v = v << 6 | d;
        }
        out.push_back(static_cast<uint8_t>(v >> 16));
        if (padding < 2) out.push_back(static_cast<uint8_t>(v >> 8));
        if (padding < 1) out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

}  // namespace tallory::metadata
