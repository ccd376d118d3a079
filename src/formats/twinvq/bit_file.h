// A file read bit by bit, most significant bit of each byte first, through a
// 1024-byte buffer. At most kMaxOpenBitFiles are open at once in the process:
// the slots of a fixed table, shared by every thread under one lock.
#ifndef TALLORY_FORMATS_TWINVQ_BIT_FILE_H
#define TALLORY_FORMATS_TWINVQ_BIT_FILE_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace tallory::formats::twinvq {

inline constexpr int kMaxOpenBitFiles = 50;
inline constexpr size_t kBitFileBufferBytes = 1024;

class BitFile {
public:
    // Opens `path` for reading in a free slot; null when the file cannot be
    // opened or every slot is taken (then *tableFull is set).
    static std::unique_ptr<BitFile> open(const std::string& path, bool* tableFull = nullptr);
    // Slots in use, for tests.
    static int openCount();
    ~BitFile();
    BitFile(const BitFile&) = delete;
    BitFile& operator=(const BitFile&) = delete;

    // Reads `count` bits (at most 32) into *value, the first bit highest; bits
    // past the end read as 0. Returns how many bits really came from the file.
    int readBits(int count, uint32_t* value);
    // Reads `count` 8-bit characters; returns how many came whole.
    size_t readChars(size_t count, std::string* text);
    // Whole bytes from the cursor to the end of the file (a partly read byte counts as read).
    uint64_t bytesLeft() const;
    // Moves the cursor to a bit offset from the start of the file.
    void seekToBit(uint64_t bit) { bitPosition_ = bit; }
    uint64_t bitPosition() const { return bitPosition_; }
    // The cursor in bytes (rounded down).
    uint64_t bytePosition() const { return bitPosition_ / 8; }
    uint64_t fileSize() const { return fileSize_; }

private:
    BitFile(std::FILE* file, int slot, uint64_t size);
    bool fillBuffer();

    std::FILE* file_;
    int slot_;
    uint64_t fileSize_;
    uint64_t bitPosition_ = 0;     // bits consumed from the start of the file
    uint64_t bufferStart_ = 0;     // file offset of buffer_[0]
    size_t bufferBytes_ = 0;
    uint8_t buffer_[kBitFileBufferBytes];
};

}  // namespace tallory::formats::twinvq

#endif
