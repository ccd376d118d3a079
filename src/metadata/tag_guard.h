// Checks an MP3 file's tags before id3lib reads it. id3lib trusts the sizes a
// tag declares and can read past its buffers or allocate without bound on a
// hostile or truncated tag; a file that fails these checks is read as tag-less.
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
};

// Checks the bytes of a whole file (the fuzzer and the tests use this directly).
TagCheck checkTagBytes(const std::vector<uint8_t>& file);
// Reads the file's head and tail and checks them; a file that cannot be read is not trusted.
TagCheck checkTagFile(const std::string& path);

}  // namespace tallory::metadata

#endif
