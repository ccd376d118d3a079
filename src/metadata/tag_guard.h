// Checks an MP3 file's tags before id3lib reads it. id3lib trusts the sizes a
// tag declares and can read past its buffers or allocate without bound on a
// hostile or truncated tag, and its inflater of compressed frames writes a
// 64-bit length into a 32-bit variable: a file that fails these checks is read
// as tag-less, and the ID3v2 tag that passes is handed over rewritten in a form
// id3lib reads safely.
#ifndef TALLORY_METADATA_TAG_GUARD_H
#define TALLORY_METADATA_TAG_GUARD_H

#include <cstdint>
#include <string>
#include <vector>

namespace tallory::metadata {

struct TagCheck {
    bool trusted = false;
    // Why the file is not trusted, with the numbers.
    std::string reason;
    // The file's ID3v2 tag for id3lib: ID3v2.4 frames in the ID3v2.3 layout, no
    // unsynchronisation, no extended header, compressed frames inflated, and the
    // frames it cannot be trusted with (encrypted and compressed, or ID3v2.4 frames
    // with format flags) left out. Empty when the file has no ID3v2 frames.
    std::vector<uint8_t> id3v2;
    // The bytes the ID3v2 tag takes at the start of the file (0 without one).
    uint64_t id3v2Bytes = 0;
    // Frames left out of id3v2.
    size_t droppedFrames = 0;
};

// Checks the bytes of a whole file (the fuzzer and the tests use this directly).
TagCheck checkTagBytes(const std::vector<uint8_t>& file);
// Reads the file's head and tail and checks them; a file that cannot be read is not trusted.
TagCheck checkTagFile(const std::string& path);

}  // namespace tallory::metadata

#endif
