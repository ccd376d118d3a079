// The big-endian chunk layer of the AIFF classes (IFF: "FORM" with a form
// type, sub-chunks with 32-bit sizes) and the 80-bit extended number of COMM.
#ifndef TALLORY_FORMATS_AIFF_AIFF_CHUNKS_H
#define TALLORY_FORMATS_AIFF_AIFF_CHUNKS_H

#include <cstdint>
#include <cstdio>

namespace tallory::formats::aiff {

// A four-character code as a big-endian number ("FORM" is 0x464F524D).
constexpr uint32_t chunkId(const char (&s)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) << 24 | static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 8 | static_cast<uint32_t>(static_cast<uint8_t>(s[3]));
}
inline constexpr uint32_t kForm = chunkId("FORM");

struct AiffChunk {
    uint32_t id = 0;
    uint32_t size = 0;      // data bytes; for FORM without the form type
    uint32_t formType = 0;  // FORM only
    uint32_t dataOffset = 0;  // after the form type for FORM
};

// The file's length in bytes, keeping its position; -1 if it cannot be told.
int64_t fileSize(std::FILE* file);
uint32_t readBe32(const uint8_t* p);
uint16_t readBe16(const uint8_t* p);
void putBe32(uint8_t* p, uint32_t v);
void putBe16(uint8_t* p, uint16_t v);

// Writes the header (size 0 until endChunk) and, for FORM, the form type.
[[nodiscard]] bool beginChunk(std::FILE* file, AiffChunk& ck);
// Sets the size from the current offset, rewrites the header, returns to the end.
[[nodiscard]] bool endChunk(std::FILE* file, AiffChunk& ck);
// Finds the first chunk with ck.id: at top level from offset 0, or inside a
// FORM `parent`. Other chunks are skipped with their pad byte; nothing is
// looked for past the parent or the file. Leaves the position at the data.
[[nodiscard]] bool findChunk(std::FILE* file, AiffChunk& ck, const AiffChunk* parent);

// IEEE 754 80-bit extended, as COMM stores the sample rate.
void encodeExtended(double value, uint8_t out[10]);
double decodeExtended(const uint8_t in[10]);

}  // namespace tallory::formats::aiff

#endif
