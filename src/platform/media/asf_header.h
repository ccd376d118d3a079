// The header of an ASF file as a list of objects and the attributes held by
// the Content Description, Extended Content Description, Metadata and
// Metadata Library objects. Parsing and rendering work on bytes in memory;
// the metadata editor does the file work.
#ifndef TALLORY_PLATFORM_MEDIA_ASF_HEADER_H
#define TALLORY_PLATFORM_MEDIA_ASF_HEADER_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/media/media_status.h"

namespace tallory::platform::media {

// Attribute value types, numbered as the runtime numbers them.
enum class AttributeType : uint16_t { Dword = 0, String = 1, Binary = 2, Bool = 3, Qword = 4, Word = 5, Guid = 6 };

// The header object an attribute lives in.
enum class AttributeHomeKind : uint8_t { ContentDescription, ExtendedContent, Metadata, MetadataLibrary };

// One attribute. The value is in the runtime's form: strings UTF-16LE with a
// terminating NUL, Bool as 4 bytes, numbers little-endian.
struct Attribute {
    uint16_t stream = 0;
    std::u16string name;
    AttributeType type = AttributeType::String;
    std::vector<uint8_t> value;
    uint16_t language = 0;  // index into the Language List object
    AttributeHomeKind home = AttributeHomeKind::ExtendedContent;
};

// A header object other than the attribute holders, kept byte for byte.
struct AsfObject {
    GUID id{};
    std::vector<uint8_t> body;  // without the 24-byte object header
};

struct AsfFileProperties {
    uint64_t fileSize = 0;
    uint64_t playDuration = 0;  // 100-ns units, preroll included
    uint64_t prerollMs = 0;
    uint32_t flags = 0;
};

// A whole header parsed from the bytes of the Header Object.
struct AsfHeader {
    // Top-level children in file order. The attribute holders stay in the list
    // as empty markers so that rendering puts them back where they were.
    std::vector<AsfObject> objects;
    // Children of the Header Extension object, in order, holders as markers.
    std::vector<AsfObject> extensionObjects;
    bool hasExtension = false;
    GUID extensionReserved{};
    uint16_t extensionReserved2 = 6;
    uint8_t reserved1 = 1, reserved2 = 2;
    bool hasFileProperties = false;
    AsfFileProperties fileProperties;
    std::vector<Attribute> attributes;
};

// Where an attribute of this stream, name, type and size can be stored when it is new.
AttributeHomeKind homeFor(uint16_t stream, const std::u16string& name, AttributeType type, size_t valueSize,
                          uint16_t language);
// Checks a value's size against its type (and a string's termination).
MediaStatus checkValue(AttributeType type, const std::vector<uint8_t>& value);

// The size the Header Object declares, from its first 30 bytes.
MediaStatus peekHeaderSize(std::span<const uint8_t> first30, uint64_t* size);
// Parses the complete Header Object (its declared size in bytes).
MediaStatus parseAsfHeader(std::span<const uint8_t> bytes, AsfHeader* header);
// Renders the Header Object; the File Properties size becomes
// headerSize + bytesAfterHeader.
MediaStatus renderAsfHeader(const AsfHeader& header, uint64_t bytesAfterHeader, std::vector<uint8_t>* out);

// Identifiers used by the editor and tests.
extern const GUID kAsfHeaderObject;
extern const GUID kAsfDataObject;
extern const GUID kAsfFilePropertiesObject;

}  // namespace tallory::platform::media

#endif
