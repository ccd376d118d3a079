// Checks an MP3 file's tags before id3lib reads it. id3lib trusts the sizes a
// tag declares and can read past its buffers or allocate without bound on a
// hostile or truncated tag, and its inflater of compressed frames writes a
// 64-bit length into a 32-bit variable: a file that fails these checks is read
// as tag-less, and the ID3v2 tag that passes is handed over rewritten in a form
// id3lib reads safely. A damaged frame is kept raw or stops the reading of the
// frames after it, never the frames before it.
#ifndef TALLORY_METADATA_TAG_GUARD_H
#define TALLORY_METADATA_TAG_GUARD_H

#include <cstdint>
#include <string>
#include <vector>

namespace tallory::metadata {

// A frame kept as the bytes it was read as (header and body, in the layout of
// its tag's version), because its content cannot be read: it is written back
// unchanged into a tag of the same version.
struct RawFrame {
    std::string id;  // the four-character identifier
    int major = 3;   // 3 or 4: the ID3v2 version whose layout the bytes have
    std::vector<uint8_t> bytes;
};

struct TagCheck {
    bool trusted = false;
    // Why the file is not trusted, with the numbers.
    std::string reason;
    // The file's ID3v2 tag for id3lib: every frame in the ID3v2.3 layout (ID3v2.2
    // frames under their ID3v2.3 identifiers, ID3v2.4 frames with their flags
    // undone), texts in encodings id3lib returns, no unsynchronisation, no extended
    // header, compressed frames inflated. Empty when the file has no such frames.
    std::vector<uint8_t> id3v2;
    // The ID3v2 version the tag came as (2, 3 or 4); 0 without an ID3v2 tag.
    int major = 0;
    // The bytes the ID3v2 tag takes at the start of the file (0 without one).
    uint64_t id3v2Bytes = 0;
    // Frames whose content cannot be read, kept as they are.
    std::vector<RawFrame> rawFrames;
    // Not empty when part of the tag cannot be read (a frame runs past the tag's
    // end, an identifier is damaged, an ID3v2.2 frame has no ID3v2.3 form): the
    // frames before it are read, and a write that would lose the rest is refused.
    std::string damage;
    // False when the tags at the file's end fail the checks: they are not read,
    // and their bytes are kept as part of the audio.
    bool trailerTrusted = true;
    std::string trailerReason;
};

// Checks the bytes of a whole file (the fuzzer and the tests use this directly).
TagCheck checkTagBytes(const std::vector<uint8_t>& file);
// Reads the file's head and tail and checks them; a file that cannot be read is not trusted.
TagCheck checkTagFile(const std::string& path);

}  // namespace tallory::metadata

#endif
