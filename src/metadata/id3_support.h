// Safe use of id3lib. Every call into the library's text fields, iterators and
// renderers goes through here, because id3lib 3.8.3 has faults that the rest of
// the layer must never meet:
//  - UTF-16 units are held byte-swapped in memory on this (little-endian)
//    machine: a field read from a file, whichever its byte-order mark, holds
//    swapped units, and a field is written as FF FE followed by its units high
//    byte first. Swapping the units on the way in and out makes both correct.
//  - Get/Set of Unicode text count bytes, not characters; the raw text is read
//    with the field's size instead.
//  - ID3_Tag::Render into a buffer of Size() bytes can overflow it, and
//    ID3_Frame::Size() is wrong for UTF-16: frames are rendered only through a
//    bounded writer, and sizes are taken from what was rendered. Whole tags are
//    laid out by tag_render.h from rendered frames (ID3_Tag::Render copies the
//    tag, which meets the copy fault below).
//  - The tag and frame iterators have no virtual destructor, and id3lib's own
//    frame copy (copy constructor, assignment, ID3_Tag::AddFrame by reference)
//    deletes a frame iterator through its base: frames are copied here by
//    rendering and parsing them instead.
#ifndef TALLORY_METADATA_ID3_SUPPORT_H
#define TALLORY_METADATA_ID3_SUPPORT_H

#include <id3/tag.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallory::metadata::id3 {

// A rendered tag larger than this is refused: the ID3v2 size field holds 28 bits.
inline constexpr size_t kMaxRenderedBytes = (size_t{1} << 28) + 10;

// Calls fn for each frame of tag, in the tag's order, until it returns false.
void forEachFrame(const ID3_Tag& tag, const std::function<bool(ID3_Frame&)>& fn);
// The first frame with that id, in the tag's order (ID3_Tag::Find starts at a cursor).
ID3_Frame* firstFrame(const ID3_Tag& tag, ID3_FrameID id);

// Makes `to` a copy of `from` (identifier, flags and every field). False when the
// frame cannot be rendered; `to` is then an empty frame of the same identifier.
bool copyFrame(const ID3_Frame& from, ID3_Frame& to);
// A new copy of `frame`, owned by the caller; null when out of memory.
ID3_Frame* cloneFrame(const ID3_Frame& frame);

// The text of a text field (its first item); nullopt when the frame lacks the field.
std::optional<std::u16string> fieldText(const ID3_Frame& frame, ID3_FieldID field);
// Every value of a text field: ID3v2.4 frames hold several, NUL-separated.
std::vector<std::u16string> fieldValues(const ID3_Frame& frame, ID3_FieldID field);
// Stores text in a text field. An 8-bit field keeps ISO-8859-1 when the text fits;
// otherwise every encodable field of the frame moves to UTF-16, so nothing is lost
// (the frame has one encoding byte). Fields that cannot carry an encoding (URL,
// language, MIME type) take ISO-8859-1; characters beyond it are percent-encoded as
// UTF-8 in URLs and become '?' elsewhere. False when the frame lacks the field.
bool setFieldText(ID3_Frame& frame, ID3_FieldID field, std::u16string_view text);
// The encoding byte of the frame's text fields: 0 ISO-8859-1, 1 UTF-16; -1 without one.
int frameEncoding(const ID3_Frame& frame);

// The integer of a field, or nullopt when absent.
std::optional<uint32_t> fieldInt(const ID3_Frame& frame, ID3_FieldID field);
void setFieldInt(ID3_Frame& frame, ID3_FieldID field, uint32_t value);
// The byte size of a binary field (0 when absent).
size_t fieldBinarySize(const ID3_Frame& frame, ID3_FieldID field);

// A new frame parsed from one ID3v2.3 frame (header and body), owned by the
// caller; null when the bytes are no frame. Frames id3lib does not know keep
// their identifier (GetTextID) and bytes.
ID3_Frame* frameFromBytes(const std::vector<uint8_t>& frame);
// A new text frame (the ID3v2.3 identifier `id`) holding several values: ISO-8859-1
// when they fit, else UTF-16. Null for a malformed identifier.
ID3_Frame* newTextFrame(const char* id, const std::vector<std::u16string>& values);
// The four-character identifier of any frame, known to id3lib or not ("" if none).
std::string frameIdString(const ID3_Frame& frame);
// The text of the tag's ID3v2.4 recording time (TDRC) as UTF-8, empty when it
// has none: id3lib keeps that frame by its identifier only.
std::string recordingTime(const ID3_Tag& tag);

// The frame as ID3v2 bytes (none for a frame id3lib leaves out); nullopt when too big.
std::optional<std::vector<uint8_t>> renderFrame(const ID3_Frame& frame);

}  // namespace tallory::metadata::id3

#endif
