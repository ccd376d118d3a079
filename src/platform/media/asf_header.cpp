#include "platform/media/asf_header.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tallory::platform::media {

const GUID kAsfHeaderObject = {0x75B22630, 0x668E, 0x11CF, {0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}};
const GUID kAsfDataObject = {0x75B22636, 0x668E, 0x11CF, {0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}};
const GUID kAsfFilePropertiesObject = {0x8CABDCA1, 0xA947, 0x11CF, {0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65}};

namespace {

const GUID kContentDescription = {0x75B22633, 0x668E, 0x11CF, {0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}};
const GUID kExtendedContent = {0xD2D0A440, 0xE307, 0x11D2, {0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50}};
const GUID kHeaderExtension = {0x5FBF03B5, 0xA92E, 0x11CF, {0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65}};
const GUID kExtensionReserved = {0xABD3D211, 0xA9BA, 0x11CF, {0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65}};
const GUID kMetadata = {0xC5F8CBEA, 0x5BAF, 0x4877, {0x84, 0x67, 0xAA, 0x8C, 0x44, 0xFA, 0x4C, 0xCA}};
const GUID kMetadataLibrary = {0x44231C94, 0x9498, 0x49D1, {0xA1, 0x41, 0x1D, 0x13, 0x4E, 0x45, 0x70, 0x54}};
const GUID kPadding = {0x1806D474, 0xCADF, 0x4509, {0xA4, 0xBA, 0x9A, 0xAB, 0xCB, 0x96, 0xAA, 0xE8}};

constexpr size_t kObjectHeaderSize = 24;  // GUID and 64-bit size
constexpr size_t kHeaderObjectFixed = 30;  // plus object count and two reserved bytes
// The five Content Description fields, in their order in the object.
constexpr const char16_t* kContentNames[5] = {u"Title", u"Author", u"Copyright", u"Description", u"Rating"};

// Disk type numbers of the attribute objects (0 string ... 6 GUID) to runtime numbers.
constexpr AttributeType kDiskTypes[7] = {AttributeType::String, AttributeType::Binary, AttributeType::Bool,
                                         AttributeType::Dword, AttributeType::Qword, AttributeType::Word,
                                         AttributeType::Guid};

uint16_t diskType(AttributeType t) {
    for (uint16_t i = 0; i < 7; ++i) {
        if (kDiskTypes[i] == t) return i;
    }
    return 1;
}

const char* typeName(AttributeType t) {
    switch (t) {
        case AttributeType::Dword: return "DWORD";
        case AttributeType::String: return "string";
        case AttributeType::Binary: return "binary";
        case AttributeType::Bool: return "BOOL";
        case AttributeType::Qword: return "QWORD";
        case AttributeType::Word: return "WORD";
        case AttributeType::Guid: return "GUID";
    }
    return "unknown";
}

std::string narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

MediaStatus bad(const char* format, ...) __attribute__((format(printf, 1, 2)));
MediaStatus bad(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return {kInvalidData, text};
}

// A bounds-checked little-endian reader over one object's bytes.
class Cursor {
public:
    explicit Cursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    size_t left() const { return bytes_.size() - pos_; }
    size_t pos() const { return pos_; }
    bool u16(uint16_t* v) { return fixed(v, 2); }
    bool u32(uint32_t* v) { return fixed(v, 4); }
    bool u64(uint64_t* v) { return fixed(v, 8); }
    bool guid(GUID* g) {
        if (left() < 16) return false;
        std::memcpy(&g->Data1, &bytes_[pos_], 4);
        std::memcpy(&g->Data2, &bytes_[pos_ + 4], 2);
        std::memcpy(&g->Data3, &bytes_[pos_ + 6], 2);
        std::memcpy(g->Data4, &bytes_[pos_ + 8], 8);
        pos_ += 16;
        return true;
    }
    bool take(size_t n, std::span<const uint8_t>* out) {
        if (left() < n) return false;
        *out = bytes_.subspan(pos_, n);
        pos_ += n;
        return true;
    }

private:
    template <typename T>
    bool fixed(T* v, size_t n) {
        if (left() < n) return false;
        T x = 0;
        for (size_t i = 0; i < n; ++i) x |= static_cast<T>(static_cast<T>(bytes_[pos_ + i]) << (8 * i));
        *v = x;
        pos_ += n;
        return true;
    }
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

class Writer {
public:
    explicit Writer(std::vector<uint8_t>* out) : out_(out) {}
    void u8(uint8_t v) { out_->push_back(v); }
    void u16(uint16_t v) { le(v, 2); }
    void u32(uint32_t v) { le(v, 4); }
    void u64(uint64_t v) { le(v, 8); }
    void guid(const GUID& g) {
        le(g.Data1, 4);
        le(g.Data2, 2);
        le(g.Data3, 2);
        out_->insert(out_->end(), g.Data4, g.Data4 + 8);
    }
    void bytes(std::span<const uint8_t> b) { out_->insert(out_->end(), b.begin(), b.end()); }
    void utf16z(const std::u16string& s) {
        for (char16_t c : s) u16(c);
        u16(0);
    }
    // Starts an object; finish() fills in its size.
    size_t begin(const GUID& id) {
        size_t at = out_->size();
        guid(id);
        u64(0);
        return at;
    }
    void finish(size_t at) {
        uint64_t size = out_->size() - at;
        for (int i = 0; i < 8; ++i) (*out_)[at + 16 + i] = static_cast<uint8_t>(size >> (8 * i));
    }

private:
    void le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out_->push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t>* out_;
};

std::u16string utf16(std::span<const uint8_t> b) {
    std::u16string s;
    for (size_t i = 0; i + 1 < b.size(); i += 2) s += static_cast<char16_t>(b[i] | (b[i + 1] << 8));
    while (!s.empty() && s.back() == 0) s.pop_back();
    return s;
}

// Names are rendered with a 16-bit byte count that includes the terminator.
constexpr size_t kMaxNameChars = 0x7FFE;

MediaStatus checkName(const std::u16string& name, const char* what, uint32_t index) {
    if (name.size() <= kMaxNameChars) return MediaStatus::ok();
    return bad("%s %u has a name of %zu characters; at most 32766 fit", what, index, name.size());
}

// A stored value in the runtime's form: strings terminated, Bool widened to 4 bytes.
MediaStatus takeValue(AttributeType type, std::span<const uint8_t> raw, const std::u16string& name,
                      std::vector<uint8_t>* value) {
    value->assign(raw.begin(), raw.end());
    size_t need = 0;
    switch (type) {
        case AttributeType::String:
            if (value->size() % 2 != 0) {
                return bad("attribute '%s' is a string of odd length %zu", narrow(name).c_str(), value->size());
            }
            if (value->size() < 2 || (*value)[value->size() - 1] != 0 || (*value)[value->size() - 2] != 0) {
                value->push_back(0);
                value->push_back(0);
            }
            return MediaStatus::ok();
        case AttributeType::Binary: return MediaStatus::ok();
        case AttributeType::Bool:
            // Written as 4 bytes in the Extended Content Description object, as 2 in the Metadata objects.
            if (value->size() != 2 && value->size() != 4) break;
            value->resize(4, 0);
            if ((*value)[0] | (*value)[1] | (*value)[2] | (*value)[3]) *value = {1, 0, 0, 0};
            return MediaStatus::ok();
        case AttributeType::Dword: need = 4; break;
        case AttributeType::Qword: need = 8; break;
        case AttributeType::Word: need = 2; break;
        case AttributeType::Guid: need = 16; break;
    }
    if (need != 0 && value->size() == need) return MediaStatus::ok();
    return bad("attribute '%s' of type %s has %zu bytes", narrow(name).c_str(), typeName(type), raw.size());
}

MediaStatus parseContentDescription(std::span<const uint8_t> body, std::vector<Attribute>* attrs) {
    Cursor c(body);
    uint16_t lengths[5];
    for (uint16_t& n : lengths) {
        if (!c.u16(&n)) return bad("Content Description object of %zu bytes is too short", body.size());
    }
    for (int i = 0; i < 5; ++i) {
        std::span<const uint8_t> raw;
        if (!c.take(lengths[i], &raw)) {
            return bad("Content Description field %d declares %u bytes; %zu are left", i + 1, lengths[i], c.left());
        }
        if (utf16(raw).empty()) continue;
        Attribute a;
        a.name = kContentNames[i];
        a.home = AttributeHomeKind::ContentDescription;
        if (MediaStatus s = takeValue(AttributeType::String, raw, a.name, &a.value); !s) return s;
        attrs->push_back(std::move(a));
    }
    return MediaStatus::ok();
}

MediaStatus parseExtendedContent(std::span<const uint8_t> body, std::vector<Attribute>* attrs) {
    Cursor c(body);
    uint16_t count = 0;
    if (!c.u16(&count)) return bad("Extended Content Description object has no descriptor count");
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t nameLength = 0, type = 0, valueLength = 0;
        std::span<const uint8_t> name, raw;
        if (!c.u16(&nameLength) || !c.take(nameLength, &name) || !c.u16(&type) || !c.u16(&valueLength) ||
            !c.take(valueLength, &raw)) {
            return bad("Extended Content Description descriptor %u of %u runs past the object's end", i + 1, count);
        }
        if (type > 5) return bad("Extended Content Description descriptor %u has unknown type %u", i + 1, type);
        Attribute a;
        a.name = utf16(name);
        a.type = kDiskTypes[type];
        a.home = AttributeHomeKind::ExtendedContent;
        if (MediaStatus s = checkName(a.name, "Extended Content Description descriptor", i + 1); !s) return s;
        if (MediaStatus s = takeValue(a.type, raw, a.name, &a.value); !s) return s;
        attrs->push_back(std::move(a));
    }
    return MediaStatus::ok();
}

// The Metadata and Metadata Library objects share one record layout.
MediaStatus parseMetadata(std::span<const uint8_t> body, AttributeHomeKind home, std::vector<Attribute>* attrs) {
    const char* what = home == AttributeHomeKind::Metadata ? "Metadata" : "Metadata Library";
    Cursor c(body);
    uint16_t count = 0;
    if (!c.u16(&count)) return bad("%s object has no record count", what);
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t language = 0, stream = 0, nameLength = 0, type = 0;
        uint32_t dataLength = 0;
        std::span<const uint8_t> name, raw;
        if (!c.u16(&language) || !c.u16(&stream) || !c.u16(&nameLength) || !c.u16(&type) || !c.u32(&dataLength)) {
            return bad("%s record %u of %u runs past the object's end", what, i + 1, count);
        }
        if (!c.take(nameLength, &name) || !c.take(dataLength, &raw)) {
            return bad("%s record %u declares %u + %u bytes; %zu are left", what, i + 1, nameLength, dataLength,
                       c.left());
        }
        if (type > 6) return bad("%s record %u has unknown type %u", what, i + 1, type);
        if (stream > 127) return bad("%s record %u names stream %u; streams are 0 to 127", what, i + 1, stream);
        Attribute a;
        a.stream = stream;
        a.language = language;
        a.name = utf16(name);
        a.type = kDiskTypes[type];
        a.home = home;
        if (MediaStatus s = checkName(a.name, what, i + 1); !s) return s;
        if (MediaStatus s = takeValue(a.type, raw, a.name, &a.value); !s) return s;
        attrs->push_back(std::move(a));
    }
    return MediaStatus::ok();
}

// The attribute objects: two at the top level, two inside the Header Extension.
bool isHolder(const GUID& id, bool inExtension) {
    return inExtension ? (id == kMetadata || id == kMetadataLibrary)
                       : (id == kContentDescription || id == kExtendedContent);
}

// Splits a run of objects; holders are parsed into attributes and kept as markers.
MediaStatus parseObjects(std::span<const uint8_t> bytes, uint32_t declared, bool inExtension, AsfHeader* h) {
    Cursor c(bytes);
    uint32_t n = 0;
    while (c.left() > 0 && (inExtension || n < declared)) {
        GUID id{};
        uint64_t size = 0;
        size_t at = c.pos();
        if (!c.guid(&id) || !c.u64(&size)) return bad("object %u at byte %zu: header cut short", n + 1, at);
        if (size < kObjectHeaderSize || size - kObjectHeaderSize > c.left()) {
            return bad("object %u at byte %zu declares %llu bytes; %zu are left", n + 1, at,
                       static_cast<unsigned long long>(size), c.left() + kObjectHeaderSize);
        }
        std::span<const uint8_t> body;
        (void)c.take(static_cast<size_t>(size - kObjectHeaderSize), &body);
        ++n;
        AsfObject marker{id, {}};
        MediaStatus s;
        if (id == kPadding) continue;
        if (isHolder(id, inExtension)) {
            // One of each: a second one would be merged into the first and reorder the attributes.
            for (const AsfObject& o : inExtension ? h->extensionObjects : h->objects) {
                if (o.id == id) return bad("object %u at byte %zu repeats an attribute object", n, at);
            }
        }  // every flush writes a new file, so padding serves nothing
        if (id == kContentDescription && !inExtension) {
            s = parseContentDescription(body, &h->attributes);
        } else if (id == kExtendedContent && !inExtension) {
            s = parseExtendedContent(body, &h->attributes);
        } else if (id == kMetadata && inExtension) {
            s = parseMetadata(body, AttributeHomeKind::Metadata, &h->attributes);
        } else if (id == kMetadataLibrary && inExtension) {
            s = parseMetadata(body, AttributeHomeKind::MetadataLibrary, &h->attributes);
        } else if (id == kHeaderExtension && !inExtension) {
            if (h->hasExtension) return bad("the header holds two Header Extension objects");
            Cursor e(body);
            uint32_t dataSize = 0;
            std::span<const uint8_t> data;
            if (!e.guid(&h->extensionReserved) || !e.u16(&h->extensionReserved2) || !e.u32(&dataSize) ||
                !e.take(dataSize, &data)) {
                return bad("Header Extension object of %zu bytes declares %u bytes of objects", body.size(),
                           dataSize);
            }
            h->hasExtension = true;
            s = parseObjects(data, 0, true, h);
        } else {
            if (id == kAsfFilePropertiesObject && !inExtension) {
                Cursor f(body);
                GUID fileId{};
                uint64_t created = 0, packets = 0, sendDuration = 0;
                AsfFileProperties& p = h->fileProperties;
                if (!f.guid(&fileId) || !f.u64(&p.fileSize) || !f.u64(&created) || !f.u64(&packets) ||
                    !f.u64(&p.playDuration) || !f.u64(&sendDuration) || !f.u64(&p.prerollMs) || !f.u32(&p.flags)) {
                    return bad("File Properties object of %zu bytes is too short", body.size());
                }
                h->hasFileProperties = true;
            }
            marker.body.assign(body.begin(), body.end());
        }
        if (!s) return s;
        (inExtension ? h->extensionObjects : h->objects).push_back(std::move(marker));
    }
    if (!inExtension && n < declared) return bad("the header declares %u objects but holds %u", declared, n);
    return MediaStatus::ok();
}

// Where an attribute is written: a value grown past what its object's 16-bit
// counts hold moves to the Metadata Library object.
AttributeHomeKind writtenHome(const Attribute& a) {
    bool small = a.home == AttributeHomeKind::ContentDescription || a.home == AttributeHomeKind::ExtendedContent;
    if (small && (a.value.size() > 0xFFFF || a.type == AttributeType::Guid)) return AttributeHomeKind::MetadataLibrary;
    if (a.home == AttributeHomeKind::ContentDescription && a.type != AttributeType::String) {
        return AttributeHomeKind::ExtendedContent;
    }
    return a.home;
}

MediaStatus renderHolder(const AsfHeader& h, const GUID& id, Writer& w) {
    AttributeHomeKind home = id == kContentDescription ? AttributeHomeKind::ContentDescription
                             : id == kExtendedContent  ? AttributeHomeKind::ExtendedContent
                             : id == kMetadata         ? AttributeHomeKind::Metadata
                                                       : AttributeHomeKind::MetadataLibrary;
    std::vector<const Attribute*> mine;
    for (const Attribute& a : h.attributes) {
        if (writtenHome(a) == home) mine.push_back(&a);
    }
    if (mine.empty()) return MediaStatus::ok();
    if (mine.size() > 0xFFFF) return bad("%zu attributes do not fit one header object", mine.size());
    size_t at = w.begin(id);
    if (home == AttributeHomeKind::ContentDescription) {
        const Attribute* fields[5] = {};
        for (const Attribute* a : mine) {
            for (int i = 0; i < 5; ++i) {
                if (a->name == kContentNames[i] && fields[i] == nullptr) fields[i] = a;
            }
        }
        for (const Attribute* a : fields) w.u16(a ? static_cast<uint16_t>(a->value.size()) : 0);
        for (const Attribute* a : fields) {
            if (a) w.bytes(a->value);
        }
    } else {
        w.u16(static_cast<uint16_t>(mine.size()));
        for (const Attribute* a : mine) {
            std::vector<uint8_t> value = a->value;
            if (a->type == AttributeType::Bool && home != AttributeHomeKind::ExtendedContent) value.resize(2);
            uint16_t nameBytes = static_cast<uint16_t>((a->name.size() + 1) * 2);
            if (home == AttributeHomeKind::ExtendedContent) {
                w.u16(nameBytes);
                w.utf16z(a->name);
                w.u16(diskType(a->type));
                w.u16(static_cast<uint16_t>(value.size()));
            } else {
                w.u16(a->language);
                w.u16(a->stream);
                w.u16(nameBytes);
                w.u16(diskType(a->type));
                w.u32(static_cast<uint32_t>(value.size()));
                w.utf16z(a->name);
            }
            w.bytes(value);
        }
    }
    w.finish(at);
    return MediaStatus::ok();
}

void renderPlain(const AsfObject& o, Writer& w) {
    size_t at = w.begin(o.id);
    w.bytes(o.body);
    w.finish(at);
}

}  // namespace

AttributeHomeKind homeFor(uint16_t stream, const std::u16string& name, AttributeType type, size_t valueSize,
                          uint16_t language) {
    if (stream == 0 && language == 0) {
        for (const char16_t* n : kContentNames) {
            if (name == n && type == AttributeType::String && valueSize <= 0xFFFF) {
                return AttributeHomeKind::ContentDescription;
            }
        }
        if (type != AttributeType::Guid && valueSize <= 0xFFFF) return AttributeHomeKind::ExtendedContent;
    } else if (language == 0 && type != AttributeType::Guid && valueSize <= 0xFFFF) {
        return AttributeHomeKind::Metadata;
    }
    return AttributeHomeKind::MetadataLibrary;
}

MediaStatus checkValue(AttributeType type, const std::vector<uint8_t>& value) {
    size_t need = 0;
    switch (type) {
        case AttributeType::String:
            if (value.size() < 2 || value.size() % 2 != 0 || value[value.size() - 1] != 0 ||
                value[value.size() - 2] != 0) {
                return {E_INVALIDARG, "a string value is UTF-16 ending in a NUL character"};
            }
            return MediaStatus::ok();
        case AttributeType::Binary: return MediaStatus::ok();
        case AttributeType::Bool:
        case AttributeType::Dword: need = 4; break;
        case AttributeType::Qword: need = 8; break;
        case AttributeType::Word: need = 2; break;
        case AttributeType::Guid: need = 16; break;
        default: return {E_INVALIDARG, "unknown attribute type"};
    }
    if (value.size() != need) {
        return {E_INVALIDARG, std::string("a ") + typeName(type) + " value has " + std::to_string(need) + " bytes"};
    }
    return MediaStatus::ok();
}

MediaStatus peekHeaderSize(std::span<const uint8_t> first30, uint64_t* size) {
    Cursor c(first30);
    GUID id{};
    if (!c.guid(&id) || id != kAsfHeaderObject || !c.u64(size)) {
        return {kInvalidInputFormat, "the file does not begin with an ASF Header Object"};
    }
    if (*size < kHeaderObjectFixed) {
        return bad("the Header Object declares %llu bytes; it has at least 30", static_cast<unsigned long long>(*size));
    }
    return MediaStatus::ok();
}

MediaStatus parseAsfHeader(std::span<const uint8_t> bytes, AsfHeader* header) {
    *header = AsfHeader{};
    uint64_t size = 0;
    if (bytes.size() < kHeaderObjectFixed) return {kInvalidInputFormat, "the file is too short for an ASF header"};
    if (MediaStatus s = peekHeaderSize(bytes.first(kHeaderObjectFixed), &size); !s) return s;
    if (size != bytes.size()) {
        return bad("the Header Object declares %llu bytes; %zu were given", static_cast<unsigned long long>(size),
                   bytes.size());
    }
    Cursor c(bytes.subspan(24));
    uint32_t count = 0;
    (void)c.u32(&count);
    header->reserved1 = bytes[28];
    header->reserved2 = bytes[29];
    return parseObjects(bytes.subspan(kHeaderObjectFixed), count, false, header);
}

MediaStatus renderAsfHeader(const AsfHeader& h, uint64_t bytesAfterHeader, std::vector<uint8_t>* out) {
    out->clear();
    Writer w(out);
    w.begin(kAsfHeaderObject);
    w.u32(0);
    w.u8(h.reserved1);
    w.u8(h.reserved2);
    bool placed[4] = {};  // holders already in the list: CD, ECD, Metadata, Metadata Library
    bool extensionPlaced = false;
    auto holderSlot = [](const GUID& id) {
        return id == kContentDescription ? 0 : id == kExtendedContent ? 1 : id == kMetadata ? 2 : 3;
    };
    bool needExtension = false;
    for (const Attribute& a : h.attributes) {
        AttributeHomeKind home = writtenHome(a);
        if (home == AttributeHomeKind::Metadata || home == AttributeHomeKind::MetadataLibrary) needExtension = true;
    }
    auto renderExtension = [&]() -> MediaStatus {
        size_t at = w.begin(kHeaderExtension);
        w.guid(h.hasExtension ? h.extensionReserved : kExtensionReserved);
        w.u16(h.hasExtension ? h.extensionReserved2 : 6);
        size_t sizeAt = out->size();
        w.u32(0);
        size_t dataStart = out->size();
        for (const AsfObject& o : h.extensionObjects) {
            if (isHolder(o.id, true)) {
                if (placed[holderSlot(o.id)]) continue;
                placed[holderSlot(o.id)] = true;
                if (MediaStatus s = renderHolder(h, o.id, w); !s) return s;
            } else {
                renderPlain(o, w);
            }
        }
        for (const GUID* id : {&kMetadata, &kMetadataLibrary}) {
            if (!placed[holderSlot(*id)]) {
                placed[holderSlot(*id)] = true;
                if (MediaStatus s = renderHolder(h, *id, w); !s) return s;
            }
        }
        uint64_t dataSize = out->size() - dataStart;
        if (dataSize > 0xFFFFFFFFu) return bad("the Header Extension objects exceed 4 GiB");
        for (int i = 0; i < 4; ++i) (*out)[sizeAt + i] = static_cast<uint8_t>(dataSize >> (8 * i));
        w.finish(at);
        extensionPlaced = true;
        return MediaStatus::ok();
    };
    size_t filePropsAt = SIZE_MAX;
    for (const AsfObject& o : h.objects) {
        if (o.id == kHeaderExtension) {
            if (MediaStatus s = renderExtension(); !s) return s;
        } else if (isHolder(o.id, false)) {
            if (placed[holderSlot(o.id)]) continue;
            placed[holderSlot(o.id)] = true;
            if (MediaStatus s = renderHolder(h, o.id, w); !s) return s;
        } else {
            if (o.id == kAsfFilePropertiesObject) filePropsAt = out->size() + kObjectHeaderSize + 16;
            renderPlain(o, w);
        }
    }
    for (const GUID* id : {&kContentDescription, &kExtendedContent}) {
        if (!placed[holderSlot(*id)]) {
            placed[holderSlot(*id)] = true;
            if (MediaStatus s = renderHolder(h, *id, w); !s) return s;
        }
    }
    if (!extensionPlaced && (needExtension || h.hasExtension)) {
        if (MediaStatus s = renderExtension(); !s) return s;
    }
    uint32_t count = 0;
    {
        Cursor c(std::span<const uint8_t>(*out).subspan(kHeaderObjectFixed));
        GUID id{};
        uint64_t size = 0;
        while (c.guid(&id) && c.u64(&size) && size >= kObjectHeaderSize) {
            std::span<const uint8_t> skip;
            if (!c.take(static_cast<size_t>(size - kObjectHeaderSize), &skip)) break;
            ++count;
        }
    }
    for (int i = 0; i < 4; ++i) (*out)[24 + i] = static_cast<uint8_t>(count >> (8 * i));
    w.finish(0);
    if (filePropsAt != SIZE_MAX) {
        uint64_t fileSize = out->size() + bytesAfterHeader;
        for (int i = 0; i < 8; ++i) (*out)[filePropsAt + i] = static_cast<uint8_t>(fileSize >> (8 * i));
    }
    return MediaStatus::ok();
}

}  // namespace tallory::platform::media
