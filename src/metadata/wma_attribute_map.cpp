#include "metadata/wma_attribute_map.h"

#include <id3/readers.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "metadata/frame_kinds.h"
#include "metadata/id3_support.h"
#include "metadata/metadata_frame.h"
#include "metadata/tag_guard.h"
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
// never make or match a frame; their attributes are still replaced by a write.
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

// The library's frame number of a four-letter identifier in any case; 0 when unknown.
int frameIdOf(std::u16string_view text) {
    if (text.size() != 4) return 0;
    char id[5] = {};
    for (size_t i = 0; i < 4; ++i) {
        const char16_t c = text[i];
        if (c > 0x7F) return 0;
        id[i] = static_cast<char>(c >= u'a' && c <= u'z' ? c - 32 : c);
    }
    return frameIdOfText(id);
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
std::unique_ptr<ID3_Frame> parseFrameBytes(const std::vector<uint8_t>& bytes, int frameId) {
    if (frameId == 0 || bytes.size() < kId3HeaderBytes || bytes.size() >= (size_t{1} << 28)) return nullptr;
    std::vector<uint8_t> wrapped = {'I', 'D', '3', 3, 0, 0};
    const size_t n = bytes.size();
    for (int shift = 21; shift >= 0; shift -= 7) wrapped.push_back(static_cast<uint8_t>((n >> shift) & 0x7F));
    wrapped.insert(wrapped.end(), bytes.begin(), bytes.end());
    ID3_Tag parsed;
    if (!parseTagBytes(wrapped, parsed)) return nullptr;
    // A frame of another identifier than its name says is not taken for it.
    ID3_Frame* frame = id3::firstFrame(parsed, static_cast<ID3_FrameID>(frameId));
    if (frame == nullptr) return nullptr;
    return std::unique_ptr<ID3_Frame>(id3::cloneFrame(*frame));
}

// The frame an attribute makes, or null.
std::unique_ptr<ID3_Frame> frameOf(const Attribute& a, bool fileHasTrackNumber) {
    const std::u16string_view name = a.name;
    for (const MapRow& row : kRows) {
        if (!equalsIgnoringCase(name, row.attribute)) continue;
        const std::optional<std::u16string> text = textOf(a);
        if (!text) return nullptr;
        if (std::strcmp(row.frame, "UFID") == 0) return identifierFrame(*text);
        return textFrame(frameIdOfText(row.frame), *text);
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
    if (name.size() > kGenericPrefix.size() && equalsIgnoringCase(name.substr(0, kGenericPrefix.size()), kGenericPrefix)) {
        const int frameId = frameIdOf(name.substr(kGenericPrefix.size()));
        if (a.type == AttributeType::Binary) return parseFrameBytes(a.value, frameId);
        if (a.type == AttributeType::String) return textFrame(frameId, platform::media::stringOf(a.value));
    }
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

const MapRow* rowForFrame(int frameId) {
    for (const MapRow& row : kRows) {
        if (row.writes && frameIdOfText(row.frame) == frameId) return &row;
    }
    return nullptr;
}

void setString(MetadataEditor& editor, std::u16string_view name, std::u16string_view text) {
    // A refused value leaves the others to be written.
    (void)editor.SetAttribute(0, name, AttributeType::String, platform::media::stringValue(text));
}

void writeGeneric(const ID3_Frame& frame, MetadataEditor& editor) {
    const char* id = frameIdText(frame.GetID());
    if (id == nullptr) return;
    const std::u16string name = std::u16string(kGenericPrefix) + utf16FromLatin1(id);
    if (frame.NumFields() == 2 && frame.Contains(ID3FN_TEXTENC) && frame.Contains(ID3FN_TEXT)) {
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
    (void)editor.SetAttribute(0, name, AttributeType::Binary, *bytes);
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

}  // namespace

void readWmaAttributes(std::span<const Attribute* const> attributes, ID3_Tag& tag) {
    const bool trackNumber = hasTrackNumber(attributes);
    for (const Attribute* a : attributes) {
        if (equalsIgnoringCase(a->name, u"ID3")) {
            if (a->type != AttributeType::Binary) continue;
            tag.Clear();
            (void)parseTagBytes(a->value, tag);
            continue;
        }
        std::unique_ptr<ID3_Frame> frame = frameOf(*a, trackNumber);
        if (frame == nullptr || id3::firstFrame(tag, frame->GetID()) != nullptr) continue;
        tag.AttachFrame(frame.release());
    }
}

void readWmaAttributes(const MetadataEditor& editor, ID3_Tag& tag) {
    // Each attribute by its index: a name given several values is read value by value.
    std::vector<const Attribute*> attributes;
    for (uint16_t i = 0; i < editor.GetAttributeCount(0); ++i) {
        if (const Attribute* a = editor.GetAttributeByIndex(0, i)) attributes.push_back(a);
    }
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
    uint16_t i = 0;
    while (i < editor.GetAttributeCount(0)) {
        const Attribute* a = editor.GetAttributeByIndex(0, i);
        // The following attributes move down after a deletion.
        if (a != nullptr && isOwnedAttribute(a->name) && editor.DeleteAttribute(0, i)) continue;
        ++i;
    }
}

void writeWmaAttributes(const ID3_Tag& tag, MetadataEditor& editor) {
    id3::forEachFrame(tag, [&](ID3_Frame& frame) {
        const int id = frame.GetID();
        if (id == ID3FID_UNIQUEFILEID) {
            writeIdentifier(frame, editor);
            return true;
        }
        const MapRow* row = rowForFrame(id);
        if (row == nullptr) {
            writeGeneric(frame, editor);
            return true;
        }
        const ID3_FieldID field = frame.Contains(ID3FN_TEXT) ? ID3FN_TEXT : ID3FN_URL;
        if (auto text = id3::fieldText(frame, field)) setString(editor, row->attribute, *text);
        return true;
    });
}

}  // namespace tallory::metadata
