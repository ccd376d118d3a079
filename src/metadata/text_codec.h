// Conversions between the UTF-16 text of the tag interfaces, the UTF-8 text of
// this platform and the ISO-8859-1 text of 8-bit ID3 fields.
#ifndef TALLORY_METADATA_TEXT_CODEC_H
#define TALLORY_METADATA_TEXT_CODEC_H

#include <string>
#include <string_view>

namespace tallory::metadata {

// The length of a NUL-terminated UTF-16 string; 0 for null.
size_t utf16Length(const char16_t* text);
std::u16string utf16Of(const char16_t* text);

// Lossless both ways for valid input; an unpaired surrogate becomes U+FFFD in
// UTF-8, an invalid UTF-8 byte is taken as the ISO-8859-1 character of that value.
std::string utf8FromUtf16(std::u16string_view text);
std::u16string utf16FromUtf8(std::string_view text);

// True if every unit is below U+0100, so that ISO-8859-1 holds the text.
bool fitsLatin1(std::u16string_view text);
std::u16string utf16FromLatin1(std::string_view text);
// Units above U+00FF become '?'; callers that must not lose text check fitsLatin1 first.
std::string latin1FromUtf16(std::u16string_view text);

// Copies at most capacity units of value into buffer; terminates it when room is left.
// Nothing is copied into a null buffer or a capacity below 1.
void copyToBuffer(std::u16string_view value, char16_t* buffer, int capacity);

}  // namespace tallory::metadata

#endif
