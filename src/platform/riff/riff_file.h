// RIFF chunk I/O over stdio: descend, ascend, create chunk, read, write and
// seek, the layer the WAV classes use in place of the multimedia file I/O of
// the original platform. Sizes and offsets are 32-bit as RIFF requires.
#ifndef TALLORY_PLATFORM_RIFF_RIFF_FILE_H
#define TALLORY_PLATFORM_RIFF_RIFF_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/files/output_file.h"

namespace tallory::platform::riff {

// A four-character code as it appears in the file, first character lowest.
constexpr uint32_t fourCC(const char (&s)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) | static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}
inline constexpr uint32_t kRiff = fourCC("RIFF");
inline constexpr uint32_t kList = fourCC("LIST");

// One chunk: identifier, declared data size, form type (RIFF and LIST only)
// and the file offset of its data. As in the multimedia I/O layer, the data of
// a RIFF or LIST chunk starts with its form type and the size counts it.
struct ChunkInfo {
    uint32_t id = 0;
    uint32_t size = 0;
    uint32_t formType = 0;
    uint32_t dataOffset = 0;
    // Set by createChunk: ascend rewrites the size of a chunk that was written.
    bool dirty = false;
};

enum class DescendKind {
    next,       // the next chunk, whatever its identifier
    findChunk,  // the next chunk whose id equals ck.id
    findRiff,   // the next RIFF chunk whose form type equals ck.formType
    findList,   // the next LIST chunk whose form type equals ck.formType
};

enum class OpenMode { read, create };

class RiffFile {
public:
    RiffFile() = default;
    ~RiffFile();
    RiffFile(const RiffFile&) = delete;
    RiffFile& operator=(const RiffFile&) = delete;

    // Opens path for reading, or starts a new file for writing that appears
    // under path only when it is closed (see platform/files/output_file.h).
    [[nodiscard]] bool open(const std::string& path, OpenMode mode);
    // Closes the file; a new file takes its name, replacing what is there.
    // False if buffered data could not be written or the file not named.
    bool close();
    // Closes a new file and names it; `existing` says what a taken name means.
    [[nodiscard]] FileStatus finish(ExistingKind existing);
    // Closes a new file and removes it: nothing appears under its name.
    void abandon();
    // Why the last open, close or finish of a new file failed.
    const FileStatus& lastStatus() const { return status_; }
    bool isOpen() const { return file_ != nullptr; }

    // Reads the header at the current position into ck and leaves the position at
    // the chunk's data. With a parent, no chunk is looked for past the parent's end
    // and a header that does not fit inside it fails. Chunks that do not match
    // the search are skipped (with their pad byte). False when none is found.
    [[nodiscard]] bool descend(ChunkInfo& ck, const ChunkInfo* parent, DescendKind kind);
    // Leaves the chunk: a chunk written by createChunk gets its size fixed and a
    // pad byte when odd; the position moves past the chunk and its pad byte.
    [[nodiscard]] bool ascend(ChunkInfo& ck);
    // Writes a header at the current position (size 0 until ascend); for RIFF
    // and LIST (riffForm) also the form type.
    [[nodiscard]] bool createChunk(ChunkInfo& ck, bool riffForm);

    // Bytes read; may be fewer than asked at the end of the file.
    size_t read(void* buffer, size_t size);
    // True when all bytes were written.
    [[nodiscard]] bool write(const void* data, size_t size);
    // Seeks like fseek; false when the result would leave the 32-bit range or the seek fails.
    [[nodiscard]] bool seek(int64_t offset, int whence);
    // The current position, or -1.
    int64_t tell() const;
    // The file's size in bytes (at open for reading), or -1.
    int64_t fileSize() const { return fileSize_; }

private:
    std::FILE* file_ = nullptr;
    OutputFile output_;
    FileStatus status_;
    OpenMode mode_ = OpenMode::read;
    int64_t fileSize_ = -1;
};

}  // namespace tallory::platform::riff

#endif
