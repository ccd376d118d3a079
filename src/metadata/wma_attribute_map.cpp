#include "metadata/wma_attribute_map.h"

#include <id3/readers.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "metadata/display_text.h"
#include "metadata/frame_kinds.h"
#include "metadata/id3_support.h"
#include "metadata/metadata_frame.h"
#include "metadata/tag_guard.h"
#include "metadata/tag_render.h"
#include "metadata/text_codec.h"

namespace tallory::metadata {

namespace {

using platform::media::Attribute;
using platform::media::AttributeType;
using platform::media::MetadataEditor;

struct MapRow {
    const char16_t* attribute;
    const char* frame;
    bool writes;  // "WM/Comments" is read into COMM, but COMM is written as "Description"
};

// Rows whose frame the tag library does not know (TMOO, TSOA, TSOP, TSOT, TSST)
// make frames that id3lib keeps by their identifier, so that their values are
// carried like the others.
constexpr MapRow kRows[] = {
    {u"Author", "TPE1", true},
    {u"Copyright", "TCOP", true},
    {u"CopyrightURL", "WCOP", true},
    {u"Description", "COMM", true},
    {u"Title", "TIT2", true},
    {u"WM/AlbumArtist", "TPE2", true},
    {u"WM/AlbumSortOrder", "TSOA", true},
    {u"WM/AlbumTitle", "TALB", true},
    {u"WM/ArtistSortOrder", "TSOP", true},
    {u"WM/AudioFileURL", "WOAF", true},
    {u"WM/AudioSourceURL", "WOAS", true},
    {u"WM/AuthorURL", "WOAR", true},
    {u"WM/BeatsPerMinute", "TBPM", true},
    {u"WM/Comments", "COMM", false},
    {u"WM/Composer", "TCOM", true},
    {u"WM/Conductor", "TPE3", true},
    {u"WM/ContentGroupDescription", "TIT1", true},
    {u"WM/EncodedBy", "TENC", true},
    {u"WM/EncodingSettings", "TSSE", true},
    {u"WM/GenreID", "TCON", true},
    {u"WM/Genre", "TCON", false},  // written beside "WM/GenreID" as genre names
    {u"WM/Writer", "TEXT", true},
    {u"WM/InitialKey", "TKEY", true},
    {u"WM/ISRC", "TSRC", true},
    {u"WM/Language", "TLAN", true},
    {u"WM/ModifiedBy", "TPE4", true},
    {u"WM/Mood", "TMOO", true},
    {u"WM/OriginalAlbumTitle", "TOAL", true},
    {u"WM/OriginalArtist", "TOPE", true},
    {u"WM/OriginalFilename", "TOFN", true},
    {u"WM/OriginalLyricist", "TOLY", true},
    {u"WM/OriginalReleaseYear", "TORY", true},
    {u"WM/PartOfSet", "TPOS", true},
    {u"WM/PlaylistDelay", "TDLY", true},
    {u"WM/Publisher", "TPUB", true},
    {u"WM/RadioStationName", "TRSN", true},
    {u"WM/RadioStationOwner", "TRSO", true},
    {u"WM/SetSubTitle", "TSST", true},
    {u"WM/SubTitle", "TIT3", true},
    {u"WM/TitleSortOrder", "TSOT", true},
    {u"WM/TrackNumber", "TRCK", true},
    {u"WM/UniqueFileIdentifier", "UFID", true},
    {u"WM/Year", "TYER", true},
};

constexpr std::u16string_view kGenericPrefix = u"ID3/";
constexpr size_t kId3HeaderBytes = 10;

char16_t lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool equalsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::u16string decimal(uint64_t v) { return utf16FromLatin1(std::to_string(v)); }

// The text of a mapped attribute. Strings as they are; the runtime's number
// types in decimal (tools store "WM/TrackNumber" or "WM/BeatsPerMinute" as
// numbers); binary, bool and GUID values carry no text.
std::optional<std::u16string> textOf(const Attribute& a) {
    switch (a.type) {
        case AttributeType::String: return platform::media::stringOf(a.value);
        case AttributeType::Dword:
            if (a.value.size() != 4) return std::nullopt;
            return decimal(platform::media::numberOf(a.value));
        case AttributeType::Qword:
            if (a.value.size() != 8) return std::nullopt;
            return decimal(platform::media::numberOf(a.value));
        case AttributeType::Word:
            if (a.value.size() != 2) return std::nullopt;
            return decimal(platform::media::numberOf(a.value));
        default: return std::nullopt;
    }
}

std::optional<uint64_t> numberIf(const Attribute& a, AttributeType type, size_t bytes) {
    if (a.type != type || a.value.size() != bytes) return std::nullopt;
    return platform::media::numberOf(a.value);
}

// A new text frame of an identifier id3lib does not know (TMOO, TDRC ...).
std::unique_ptr<ID3_Frame> unknownTextFrame(const char* id, std::u16string_view text) {
    if (text.empty() || id == nullptr || id[0] != 'T') return nullptr;
    return std::unique_ptr<ID3_Frame>(id3::newTextFrame(id, {std::u16string(text)}));
}

// A new frame of that identifier holding text in its text field or, for W***
// frames, its URL field. Null for empty text or a frame with neither field.
std::unique_ptr<ID3_Frame> textFrame(int frameId, std::u16string_view text) {
    if (frameId == 0 || text.empty()) return nullptr;
    auto frame = std::make_unique<ID3_Frame>(static_cast<ID3_FrameID>(frameId));
    const FrameKind kind = frameKindOf(frameId);
    if (kind != FrameKind::None) applyDefaults(kind, *frame);
    if (frame->Contains(ID3FN_TEXT)) {
        id3::setFieldText(*frame, ID3FN_TEXT, text);
    } else if (frame->Contains(ID3FN_URL)) {
        id3::setFieldText(*frame, ID3FN_URL, text);
    } else {
        return nullptr;
    }
    return frame;
}

// The identifier as a UFID frame of our owner, so that it is carried and written back.
std::unique_ptr<ID3_Frame> identifierFrame(std::u16string_view text) {
    if (text.empty()) return nullptr;
    auto frame = std::make_unique<ID3_Frame>(ID3FID_UNIQUEFILEID);
    ID3_Field* owner = frame->GetField(ID3FN_OWNER);
    ID3_Field* data = frame->GetField(ID3FN_DATA);
    if (owner == nullptr || data == nullptr) return nullptr;
    owner->Set(kWmIdentifierOwner);
    const std::string bytes = utf8FromUtf16(text);
    data->Set(reinterpret_cast<const uchar*>(bytes.data()), bytes.size());
    return frame;
}

// Parses a whole ID3v2 tag through the tag checks into `tag`. False when the
// bytes are refused.
bool parseTagBytes(const std::vector<uint8_t>& bytes, ID3_Tag& tag) {
    const TagCheck check = checkTagBytes(bytes);
    if (!check.trusted) return false;
    if (!check.id3v2.empty()) {
        ID3_MemoryReader reader(check.id3v2.data(), check.id3v2.size());
        tag.Parse(reader);
    }
    return true;
}

// One rendered frame (header and body) of the identifier the name gives. It is
// wrapped in an ID3v2.3 tag so that it meets the same checks as a file's tag.
std::unique_ptr<ID3_Frame> parseFrameBytes(const std::vector<uint8_t>& bytes, std::string_view id) {
    if (id.size() != 4 || bytes.size() < kId3HeaderBytes || bytes.size() >= (size_t{1} << 28)) return nullptr;
    std::vector<uint8_t> wrapped = {'I', 'D', '3', 3, 0, 0};
    const size_t n = bytes.size();
    for (int shift = 21; shift >= 0; shift -= 7) wrapped.push_back(static_cast<uint8_t>((n >> shift) & 0x7F));
    wrapped.insert(wrapped.end(), bytes.begin(), bytes.end());
    ID3_Tag parsed;
    if (!parseTagBytes(wrapped, parsed)) return nullptr;
    // A frame of another identifier than its name says is not taken for it.
    std::unique_ptr<ID3_Frame> found;
    id3::forEachFrame(parsed, [&](ID3_Frame& frame) {
        if (id3::frameIdString(frame) != id) return true;
        found.reset(id3::cloneFrame(frame));
        return false;
    });
    return found;
}

// The four-letter identifier after "ID3/", upper-cased; empty when malformed.
std::string genericId(std::u16string_view name) {
    if (name.size() != kGenericPrefix.size() + 4) return {};
    std::string id;
    for (char16_t c : name.substr(kGenericPrefix.size())) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        if (!((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9'))) return {};
        id += static_cast<char>(c);
    }
    return id;
}

// "WM/Picture": picture type (1 byte), data size (4 bytes), MIME type and
// description (UTF-16LE, NUL-terminated), then the picture data.
std::unique_ptr<ID3_Frame> pictureFrame(const std::vector<uint8_t>& v) {
    if (v.size() < 5) return nullptr;
    const uint8_t type = v[0];
    const uint32_t size = static_cast<uint32_t>(v[1] | (v[2] << 8) | (v[3] << 16) | (uint32_t{v[4]} << 24));
    size_t pos = 5;
    auto string = [&](std::u16string& out) {
        while (pos + 1 < v.size()) {
            const char16_t c = static_cast<char16_t>(v[pos] | (v[pos + 1] << 8));
            pos += 2;
            if (c == 0) return true;
            out += c;
        }
        return false;
    };
    std::u16string mime, description;
    if (!string(mime) || !string(description) || v.size() - pos != size || type > 20) return nullptr;
    auto frame = std::make_unique<ID3_Frame>(ID3FID_PICTURE);
    applyDefaults(FrameKind::Picture, *frame);
    id3::setFieldText(*frame, ID3FN_MIMETYPE, mime);
    id3::setFieldText(*frame, ID3FN_DESCRIPTION, description);
    id3::setFieldInt(*frame, ID3FN_PICTURETYPE, type);
    if (ID3_Field* data = frame->GetField(ID3FN_DATA)) data->Set(v.data() + pos, size);
    return frame;
}

std::optional<std::vector<uint8_t>> pictureValue(const ID3_Frame& frame) {
    const std::u16string mime = id3::fieldText(frame, ID3FN_MIMETYPE).value_or(u"");
    // A link ("-->") or an empty type has no picture to carry.
    if (mime.empty() || mime == u"-->") return std::nullopt;
    const ID3_Field* data = frame.GetField(ID3FN_DATA);
    if (data == nullptr || data->GetRawBinary() == nullptr) return std::nullopt;
    const size_t size = data->Size();
    if (size > 0xFFFFFFF0u) return std::nullopt;
    std::vector<uint8_t> v;
    v.reserve(size + 64);
    v.push_back(static_cast<uint8_t>(id3::fieldInt(frame, ID3FN_PICTURETYPE).value_or(0)));
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(size >> (8 * i)));
    auto put = [&](std::u16string_view text) {
        for (char16_t c : text) {
            v.push_back(static_cast<uint8_t>(c));
            v.push_back(static_cast<uint8_t>(c >> 8));
        }
        v.push_back(0);
        v.push_back(0);
    };
    put(mime);
    put(id3::fieldText(frame, ID3FN_DESCRIPTION).value_or(u""));
    v.insert(v.end(), data->GetRawBinary(), data->GetRawBinary() + size);
    return v;
}

// String attributes of the runtime and of encoders, which describe the file, not its content.
bool isTechnicalName(std::u16string_view name) {
    static constexpr std::u16string_view kPrefixes[] = {u"WMFSDK", u"DRM_", u"WM/WMContentID", u"WM/WMCollection",
                                                        u"WM/MediaClass", u"WM/Provider", u"WM/ToolName",
                                                        u"WM/ToolVersion", u"WM/EncodingTime", u"IsVBR",
                                                        u"WM/MCDI", u"WM/Lyrics_Synchronised"};
    for (std::u16string_view p : kPrefixes) {
        if (name.substr(0, p.size()) == p) return true;
    }
    return false;
}

const MapRow* rowOfName(std::u16string_view name) {
    for (const MapRow& row : kRows) {
        if (equalsIgnoringCase(name, row.attribute)) return &row;
    }
    return nullptr;
}

bool isSpecialName(std::u16string_view name) {
    return equalsIgnoringCase(name, u"Duration") || equalsIgnoringCase(name, u"FileSize") ||
           equalsIgnoringCase(name, u"WM/Track") || equalsIgnoringCase(name, u"ID3") ||
           equalsIgnoringCase(name, u"WM/Picture") ||
           (name.size() >= kGenericPrefix.size() &&
            equalsIgnoringCase(name.substr(0, kGenericPrefix.size()), kGenericPrefix));
}

// A string attribute of no row and no special name: a user text (TXXX) by its name.
bool isUserTextAttribute(const Attribute& a) {
    // Values in another language than the default are left to the tools that wrote them.
    return a.type == AttributeType::String && a.stream == 0 && a.language == 0 && !a.name.empty() &&
           rowOfName(a.name) == nullptr &&
           !isSpecialName(a.name) && !isTechnicalName(a.name);
}

std::unique_ptr<ID3_Frame> userTextFrame(std::u16string_view description, std::u16string_view text) {
    if (text.empty()) return nullptr;
    auto frame = std::make_unique<ID3_Frame>(ID3FID_USERTEXT);
    applyDefaults(FrameKind::UserText, *frame);
    id3::setFieldText(*frame, ID3FN_DESCRIPTION, description);
    id3::setFieldText(*frame, ID3FN_TEXT, text);
    return frame;
}

// The frame an attribute makes, or null.
std::unique_ptr<ID3_Frame> frameOf(const Attribute& a, bool fileHasTrackNumber) {
    const std::u16string_view name = a.name;
    if (const MapRow* row = rowOfName(name)) {
        const std::optional<std::u16string> text = textOf(a);
        if (!text) return nullptr;
        if (std::strcmp(row->frame, "UFID") == 0) return identifierFrame(*text);
        const int id = frameIdOfText(row->frame);
        return id != 0 ? textFrame(id, *text) : unknownTextFrame(row->frame, *text);
    }
    if (equalsIgnoringCase(name, u"Duration")) {
        const auto v = numberIf(a, AttributeType::Qword, 8);
        return v ? textFrame(ID3FID_SONGLEN, decimal(*v / 10000)) : nullptr;
    }
    if (equalsIgnoringCase(name, u"FileSize")) {
        const auto v = numberIf(a, AttributeType::Qword, 8);
        return v ? textFrame(ID3FID_SIZE, decimal(*v)) : nullptr;
    }
    if (equalsIgnoringCase(name, u"WM/Track")) {
        // The zero-based number is a fallback: "WM/TrackNumber" is what a write
        // updates, so a stale "WM/Track" earlier in the file must not win.
        if (fileHasTrackNumber) return nullptr;
        const auto v = numberIf(a, AttributeType::Dword, 4);
        return v ? textFrame(ID3FID_TRACKNUM, decimal(*v + 1)) : nullptr;
    }
    if (equalsIgnoringCase(name, u"WM/Picture")) {
        return a.type == AttributeType::Binary ? pictureFrame(a.value) : nullptr;
    }
    if (name.size() > kGenericPrefix.size() && equalsIgnoringCase(name.substr(0, kGenericPrefix.size()), kGenericPrefix)) {
        const std::string id = genericId(name);
        if (id.empty()) return nullptr;
        if (a.type == AttributeType::Binary) return parseFrameBytes(a.value, id);
        if (a.type == AttributeType::String) {
            const int frameId = frameIdOfText(id.c_str());
            return frameId != 0 ? textFrame(frameId, platform::media::stringOf(a.value))
                                : unknownTextFrame(id.c_str(), platform::media::stringOf(a.value));
        }
        return nullptr;
    }
    if (isUserTextAttribute(a)) return userTextFrame(name, platform::media::stringOf(a.value));
    return nullptr;
}

bool hasTrackNumber(std::span<const Attribute* const> attributes) {
    for (const Attribute* a : attributes) {
        if (!equalsIgnoringCase(a->name, u"WM/TrackNumber")) continue;
        const auto text = textOf(*a);
        if (text && !text->empty()) return true;
    }
    return false;
}

// Frames of which a tag holds one (per identifier) and frames of which it may hold several.
bool isSingleFrame(const std::string& id) {
    if (id == "TXXX" || id == "COMM" || id == "APIC" || id == "WXXX" || id == "USLT" || id == "SYLT" ||
        id == "UFID" || id == "PRIV" || id == "GEOB" || id == "POPM" || id == "AENC" || id == "LINK" ||
        id == "ENCR" || id == "GRID" || id == "RVA2" || id == "EQU2" || id == "SIGN" || id == "COMR" ||
        id == "USER" || id == "WCOM" || id == "WOAR") {
        return false;
    }
    return true;
}

// What the tag gathered so far holds, kept beside it so that reading stays linear.
class Gathered {
public:
    explicit Gathered(ID3_Tag& tag) : tag_(tag) {}
    void clear() {
        tag_.Clear();
        single_.clear();
        userTexts_.clear();
        later_.clear();
    }
    // Repeatable frames of generic attributes follow the others, so that the
    // frame a table row made (the main comment) is the first of its identifier.
    void finish() {
        for (auto& frame : later_) tag_.AttachFrame(frame.release());
        later_.clear();
    }
    // A frame of a table row or of a computed attribute is one per identifier;
    // generic ("ID3/...") frames of identifiers that may repeat are all kept.
    void add(std::unique_ptr<ID3_Frame> frame, const Attribute& a, bool generic) {
        const std::string id = id3::frameIdString(*frame);
        if (frame->GetID() == ID3FID_USERTEXT) {
            const std::u16string description = id3::fieldText(*frame, ID3FN_DESCRIPTION).value_or(u"");
            auto found = userTexts_.find(description);
            if (found != userTexts_.end()) {
                // A name given several values: the values of one TXXX frame.
                appendValue(found->second, *frame);
                return;
            }
            userTexts_[description] = frame.get();
            tag_.AttachFrame(frame.release());
            return;
        }
        if (!generic || isSingleFrame(id)) {
            auto found = single_.find(id);
            if (found != single_.end()) {
                // The first attribute of an identifier wins; further values of the same name join it.
                if (found->second.name == a.name && id[0] == 'T') appendValue(found->second.frame, *frame);
                return;
            }
            single_[id] = Single{frame.get(), a.name};
        } else if (generic) {
            later_.push_back(std::move(frame));
            return;
        }
        tag_.AttachFrame(frame.release());
    }

private:
    struct Single {
        ID3_Frame* frame;
        std::u16string name;
    };
    void appendValue(ID3_Frame*& into, const ID3_Frame& more) {
        std::vector<std::u16string> values = id3::fieldValues(*into, ID3FN_TEXT);
        const std::vector<std::u16string> added = id3::fieldValues(more, ID3FN_TEXT);
        if (added.empty()) return;
        values.insert(values.end(), added.begin(), added.end());
        if (into->GetID() == ID3FID_USERTEXT) {
            // TXXX: the description, then the values.
            values.insert(values.begin(), id3::fieldText(*into, ID3FN_DESCRIPTION).value_or(u""));
        }
        std::unique_ptr<ID3_Frame> merged(id3::newTextFrame(id3::frameIdString(*into).c_str(), values));
        if (merged == nullptr) return;
        ID3_Frame* old = tag_.RemoveFrame(into);
        delete old;
        into = merged.get();
        tag_.AttachFrame(merged.release());
    }

    ID3_Tag& tag_;
    std::map<std::string, Single> single_;
    std::map<std::u16string, ID3_Frame*> userTexts_;
    std::vector<std::unique_ptr<ID3_Frame>> later_;
};

const MapRow* rowForFrame(const std::string& id) {
    for (const MapRow& row : kRows) {
        if (row.writes && id == row.frame) return &row;
    }
    return nullptr;
}

void setString(MetadataEditor& editor, std::u16string_view name, std::u16string_view text) {
    // A refused value leaves the others to be written.
    (void)editor.SetAttribute(0, name, AttributeType::String, platform::media::stringValue(text));
}

void addString(MetadataEditor& editor, std::u16string_view name, std::u16string_view text) {
    (void)editor.AddAttribute(0, name, AttributeType::String, platform::media::stringValue(text));
}

void writeGeneric(const ID3_Frame& frame, MetadataEditor& editor) {
    const std::string id = id3::frameIdString(frame);
    if (id.empty()) return;
    const std::u16string name = std::u16string(kGenericPrefix) + utf16FromLatin1(id);
    const bool plainText = frame.NumFields() == 2 && frame.Contains(ID3FN_TEXTENC) && frame.Contains(ID3FN_TEXT);
    if (plainText) {
        if (auto text = id3::fieldText(frame, ID3FN_TEXT)) setString(editor, name, *text);
        return;
    }
    if (frame.NumFields() == 1 && frame.Contains(ID3FN_URL)) {
        if (auto url = id3::fieldText(frame, ID3FN_URL)) setString(editor, name, *url);
        return;
    }
    // Rendered in the ID3v2.3 layout, which a read wraps it in again.
    std::unique_ptr<ID3_Frame> copy(id3::cloneFrame(frame));
    if (copy == nullptr) throw std::bad_alloc();
    copy->SetSpec(ID3V2_3_0);
    const auto bytes = id3::renderFrame(*copy);
    if (!bytes || bytes->empty()) return;
    // Several frames of one identifier (TXXX, COMM, APIC ...) each keep an attribute.
    if (isSingleFrame(id)) {
        (void)editor.SetAttribute(0, name, AttributeType::Binary, *bytes);
    } else {
        (void)editor.AddAttribute(0, name, AttributeType::Binary, *bytes);
    }
}

// A UFID frame of our owner goes back to "WM/UniqueFileIdentifier"; others keep their bytes.
void writeIdentifier(const ID3_Frame& frame, MetadataEditor& editor) {
    const ID3_Field* owner = frame.GetField(ID3FN_OWNER);
    const ID3_Field* data = frame.GetField(ID3FN_DATA);
    if (owner != nullptr && data != nullptr && owner->GetRawText() != nullptr &&
        std::strcmp(owner->GetRawText(), kWmIdentifierOwner) == 0) {
        const uchar* raw = data->GetRawBinary();
        const std::string bytes = raw != nullptr ? std::string(reinterpret_cast<const char*>(raw), data->Size()) : "";
        setString(editor, u"WM/UniqueFileIdentifier", utf16FromUtf8(bytes));
        return;
    }
    writeGeneric(frame, editor);
}

// A TXXX frame as an attribute of its description's name, where that name is free.
bool writeUserText(const ID3_Frame& frame, MetadataEditor& editor) {
    const std::u16string description = id3::fieldText(frame, ID3FN_DESCRIPTION).value_or(u"");
    Attribute probe;
    probe.name = description;
    probe.type = AttributeType::String;
    if (!isUserTextAttribute(probe) || description.size() > 1024) return false;
    std::vector<std::u16string> values = id3::fieldValues(frame, ID3FN_TEXT);
    if (values.empty()) values.push_back(u"");
    for (const std::u16string& v : values) addString(editor, description, v);
    return true;
}

// The text of a TDRC frame (kept by its identifier): its year.
std::u16string recordingYear(const ID3_Frame& frame) {
    const auto bytes = id3::renderFrame(frame);
    if (!bytes || bytes->size() <= kId3HeaderBytes) return {};
    std::vector<uint8_t> body(bytes->begin() + kId3HeaderBytes, bytes->end());
    const auto values = textValues(body.data(), body.size());
    if (values.empty() || values.front().size() < 4) return {};
    const std::u16string year = values.front().substr(0, 4);
    for (char16_t c : year) {
        if (c < u'0' || c > u'9') return {};
    }
    return year;
}

}  // namespace

void readWmaAttributes(std::span<const Attribute* const> attributes, ID3_Tag& tag) {
    const bool trackNumber = hasTrackNumber(attributes);
    Gathered gathered(tag);
    for (const Attribute* a : attributes) {
        if (equalsIgnoringCase(a->name, u"ID3")) {
            if (a->type != AttributeType::Binary) continue;
            gathered.clear();
            ID3_Tag parsed;
            if (!parseTagBytes(a->value, parsed)) continue;
            std::vector<ID3_Frame*> frames;
            id3::forEachFrame(parsed, [&](ID3_Frame& f) {
                frames.push_back(&f);
                return true;
            });
            for (ID3_Frame* f : frames) gathered.add(std::unique_ptr<ID3_Frame>(parsed.RemoveFrame(f)), *a, true);
            continue;
        }
        std::unique_ptr<ID3_Frame> frame = frameOf(*a, trackNumber);
        const bool generic = a->name.size() > kGenericPrefix.size() &&
                             equalsIgnoringCase(std::u16string_view(a->name).substr(0, kGenericPrefix.size()),
                                                kGenericPrefix);
        const bool picture = equalsIgnoringCase(a->name, u"WM/Picture");
        if (frame != nullptr) gathered.add(std::move(frame), *a, generic || picture);
    }
    gathered.finish();
}

void readWmaAttributes(const MetadataEditor& editor, ID3_Tag& tag) {
    // Each attribute by its index: a name given several values is read value by value.
    std::vector<const Attribute*> attributes;
    editor.forEachAttribute(0, [&](const Attribute& a) { attributes.push_back(&a); });
    readWmaAttributes(attributes, tag);
}

bool isOwnedAttribute(std::u16string_view name) {
    if (name == u"ID3" || name.substr(0, kGenericPrefix.size()) == kGenericPrefix) return true;
    for (const MapRow& row : kRows) {
        if (name == row.attribute) return true;
    }
    return false;
}

void deleteOwnedAttributes(MetadataEditor& editor) {
    // Besides the owned names: the pictures and user texts a read turns into frames.
    editor.deleteAttributesIf(0, [](const Attribute& a) {
        if (isOwnedAttribute(a.name)) return true;
        if (a.name == u"WM/Picture") return a.type == AttributeType::Binary && pictureFrame(a.value) != nullptr;
        return isUserTextAttribute(a);
    });
}

void writeWmaAttributes(const ID3_Tag& tag, MetadataEditor& editor) {
    bool descriptionWritten = false;
    const ID3_Frame* mainComment = nullptr;
    // The comment without a description is the description; failing that, the first.
    id3::forEachFrame(tag, [&](ID3_Frame& frame) {
        if (frame.GetID() != ID3FID_COMMENT) return true;
        if (mainComment == nullptr) mainComment = &frame;
        if (id3::fieldText(frame, ID3FN_DESCRIPTION).value_or(u"").empty()) {
            mainComment = &frame;
            return false;
        }
        return true;
    });
    const bool hasYear = id3::firstFrame(tag, ID3FID_YEAR) != nullptr;
    id3::forEachFrame(tag, [&](ID3_Frame& frame) {
        const int id = frame.GetID();
        const std::string textId = id3::frameIdString(frame);
        if (id == ID3FID_UNIQUEFILEID) {
            writeIdentifier(frame, editor);
            return true;
        }
        if (id == ID3FID_COMMENT) {
            if (&frame == mainComment && !descriptionWritten) {
                if (auto text = id3::fieldText(frame, ID3FN_TEXT)) setString(editor, u"Description", *text);
                descriptionWritten = true;
            } else {
                writeGeneric(frame, editor);
            }
            return true;
        }
        if (id == ID3FID_USERTEXT) {
            if (!writeUserText(frame, editor)) writeGeneric(frame, editor);
            return true;
        }
        if (id == ID3FID_PICTURE) {
            if (auto value = pictureValue(frame)) {
                (void)editor.AddAttribute(0, u"WM/Picture", AttributeType::Binary, std::move(*value));
            } else {
                writeGeneric(frame, editor);
            }
            return true;
        }
        if (textId == "TDRC" && !hasYear) {
            const std::u16string year = recordingYear(frame);
            if (!year.empty()) setString(editor, u"WM/Year", year);
        }
        const MapRow* row = rowForFrame(textId);
        if (row == nullptr) {
            writeGeneric(frame, editor);
            return true;
        }
        const ID3_FieldID field = frame.Contains(ID3FN_TEXT) ? ID3FN_TEXT : ID3FN_URL;
        std::vector<std::u16string> values;
        if (field == ID3FN_TEXT) {
            values = id3::fieldValues(frame, ID3FN_TEXT);
        } else if (auto url = id3::fieldText(frame, ID3FN_URL)) {
            values.push_back(*url);
        }
        if (frame.GetID() == ID3FID_NOFRAME) {
            // A frame id3lib keeps by its identifier: the values from its bytes.
            if (const auto bytes = id3::renderFrame(frame); bytes && bytes->size() > kId3HeaderBytes) {
                std::vector<uint8_t> body(bytes->begin() + kId3HeaderBytes, bytes->end());
                values = textValues(body.data(), body.size());
            }
        }
        if (values.empty()) {
            if (auto text = id3::fieldText(frame, field)) values.push_back(*text);
        }
        if (values.empty()) return true;
        setString(editor, row->attribute, values.front());
        for (size_t i = 1; i < values.size(); ++i) addString(editor, row->attribute, values[i]);
        if (id == ID3FID_CONTENTTYPE) {
            // The genre also by name, as players read it.
            for (const std::u16string& v : values) {
                const std::u16string shown = genreDisplay(v);
                if (!shown.empty()) addString(editor, u"WM/Genre", shown);
            }
        }
        return true;
    });
}

}  // namespace tallory::metadata
