// The metadata editor: reads the attributes of an ASF file's header and
// writes a changed header back. The data and index objects are copied
// untouched; a flush writes a new file beside the original and renames it over
// the original, so a failure leaves the original whole.
#ifndef TALLORY_PLATFORM_MEDIA_METADATA_EDITOR_H
#define TALLORY_PLATFORM_MEDIA_METADATA_EDITOR_H

#include <cstdint>
#include <string>
#include <vector>
#include <string_view>
#include <vector>

#include "platform/media/asf_header.h"

namespace tallory::platform::media {

// Headers above this size are refused: no real header comes near it, and the
// whole header is held in memory.
inline constexpr uint64_t kMaxAsfHeaderBytes = 256ull << 20;

class MetadataEditor {
public:
    // Reads the header of the file at path (UTF-8). Any earlier file is forgotten.
    MediaStatus Open(const std::string& path);
    // Forgets the file without writing.
    void Close();
    bool isOpen() const { return open_; }

    // Attributes of a stream (0: the file). Stream 0 begins with "Duration"
    // and "FileSize" from the File Properties object, which cannot be changed.
    uint16_t GetAttributeCount(uint16_t stream) const;
    // The attribute at index among those of the stream, or null.
    const Attribute* GetAttributeByIndex(uint16_t stream, uint16_t index) const;
    // The first attribute of the stream with exactly this name, or null.
    const Attribute* GetAttributeByName(uint16_t stream, std::u16string_view name) const;
    // Replaces the value and type of the stream's first attribute of that name
    // (language 0), or adds one. Values are in the runtime's form (see Attribute).
    MediaStatus SetAttribute(uint16_t stream, std::u16string_view name, AttributeType type,
                             std::vector<uint8_t> value);
    // Adds an attribute even when one of that name exists (multiple values).
    MediaStatus AddAttribute(uint16_t stream, std::u16string_view name, AttributeType type,
                             std::vector<uint8_t> value, uint16_t language = 0);
    // Removes the attribute at index among those of the stream.
    MediaStatus DeleteAttribute(uint16_t stream, uint16_t index);
    // Calls fn for each attribute of the stream in index order (the computed ones
    // first), in time linear in the number of attributes.
    template <class Fn>
    void forEachAttribute(uint16_t stream, Fn&& fn) const {
        if (stream == 0) {
            for (const Attribute& a : computed_) fn(a);
        }
        for (const Attribute& a : header_.attributes) {
            if (a.stream == stream) fn(a);
        }
    }
    // Removes every attribute of the stream for which pred is true (never the
    // computed ones), in one pass; returns how many were removed.
    template <class Pred>
    size_t deleteAttributesIf(uint16_t stream, Pred&& pred) {
        if (!open_) return 0;
        return std::erase_if(header_.attributes, [&](const Attribute& a) { return a.stream == stream && pred(a); });
    }
    // Writes the changed header into the file and closes it.
    MediaStatus Flush();

private:
    int attributeIndex(uint16_t stream, uint16_t index) const;  // into header_.attributes, -1 if none
    void refreshComputed();

    bool open_ = false;
    std::string path_;
    uint64_t headerSize_ = 0;
    AsfHeader header_;
    std::vector<Attribute> computed_;  // "Duration" and "FileSize"
};

// Helpers for building values in the runtime's form.
std::vector<uint8_t> stringValue(std::u16string_view text);
std::u16string stringOf(const std::vector<uint8_t>& value);
std::vector<uint8_t> numberValue(uint64_t v, size_t bytes);
uint64_t numberOf(const std::vector<uint8_t>& value);
// UTF-8 to UTF-16 and back (for names and strings crossing to narrow text).
std::u16string utf8To16(std::string_view s);
std::string utf16To8(std::u16string_view s);

}  // namespace tallory::platform::media

#endif
