#include "formats/twinvq/bit_file.h"

#include <sys/stat.h>

#include <mutex>

namespace tallory::formats::twinvq {

namespace {

// Conversions of a batch run on several threads, each opening its own file.
std::mutex& slotLock() {
    static std::mutex lock;
    return lock;
}

bool slotUsed[kMaxOpenBitFiles] = {};

int takeSlot() {
    std::lock_guard<std::mutex> guard(slotLock());
    for (int i = 0; i < kMaxOpenBitFiles; ++i) {
        if (!slotUsed[i]) {
            slotUsed[i] = true;
            return i;
        }
    }
    return -1;
}

void freeSlot(int slot) {
    std::lock_guard<std::mutex> guard(slotLock());
    if (slot >= 0 && slot < kMaxOpenBitFiles) slotUsed[slot] = false;
}

}  // namespace

std::unique_ptr<BitFile> BitFile::open(const std::string& path, bool* tableFull) {
    if (tableFull != nullptr) *tableFull = false;
    const int slot = takeSlot();
    if (slot < 0) {
        if (tableFull != nullptr) *tableFull = true;
        return nullptr;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    struct stat st {};
    if (file == nullptr || ::fstat(::fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (file != nullptr) std::fclose(file);
        freeSlot(slot);
        return nullptr;
    }
    return std::unique_ptr<BitFile>(new BitFile(file, slot, static_cast<uint64_t>(st.st_size)));
}

int BitFile::openCount() {
    std::lock_guard<std::mutex> guard(slotLock());
    int n = 0;
    for (bool used : slotUsed) n += used ? 1 : 0;
    return n;
}

BitFile::BitFile(std::FILE* file, int slot, uint64_t size) : file_(file), slot_(slot), fileSize_(size) {}

BitFile::~BitFile() {
    std::fclose(file_);
    freeSlot(slot_);
}

bool BitFile::fillBuffer() {
    const uint64_t byte = bitPosition_ / 8;
    if (byte >= bufferStart_ && byte < bufferStart_ + bufferBytes_) return true;
    bufferStart_ = byte;
    bufferBytes_ = 0;
    if (fseeko(file_, static_cast<off_t>(byte), SEEK_SET) != 0) return false;
    bufferBytes_ = std::fread(buffer_, 1, sizeof buffer_, file_);
    return bufferBytes_ > 0;
}

int BitFile::readBits(int count, uint32_t* value) {
    uint64_t v = 0;
    int got = 0;
    if (count > 32) count = 32;
    if (count < 0) count = 0;
    // Fast path: the five bytes that can hold the bits are in the buffer.
    const uint64_t first = bitPosition_ / 8;
    if (count > 0 && bitPosition_ + static_cast<uint64_t>(count) <= fileSize_ * 8 && first >= bufferStart_ &&
        first + 5 <= bufferStart_ + bufferBytes_) {
        const uint8_t* b = buffer_ + (first - bufferStart_);
        const uint64_t word = (static_cast<uint64_t>(b[0]) << 32) | (static_cast<uint64_t>(b[1]) << 24) |
                              (static_cast<uint64_t>(b[2]) << 16) | (static_cast<uint64_t>(b[3]) << 8) | b[4];
        const int offset = static_cast<int>(bitPosition_ % 8);
        const uint64_t bits = (word >> (40 - offset - count)) & ((uint64_t{1} << count) - 1);
        if (value != nullptr) *value = static_cast<uint32_t>(bits);
        bitPosition_ += static_cast<uint64_t>(count);
        return count;
    }
    while (got < count && bitPosition_ / 8 < fileSize_ && fillBuffer()) {
        // Take as many bits as the current byte still holds.
        const uint8_t byte = buffer_[bitPosition_ / 8 - bufferStart_];
        const int offset = static_cast<int>(bitPosition_ % 8);
        int take = 8 - offset;
        if (take > count - got) take = count - got;
        const uint32_t bits = (static_cast<uint32_t>(byte) >> (8 - offset - take)) & ((1u << take) - 1u);
        v = (v << take) | bits;
        got += take;
        bitPosition_ += static_cast<uint64_t>(take);
    }
    v <<= (count - got);  // missing bits read as 0
    if (value != nullptr) *value = static_cast<uint32_t>(v);
    return got;
}

size_t BitFile::readChars(size_t count, std::string* text) {
    size_t whole = 0;
    if (text != nullptr) text->clear();
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = 0;
        if (readBits(8, &c) != 8) break;
        if (text != nullptr) text->push_back(static_cast<char>(c));
        ++whole;
    }
    return whole;
}

uint64_t BitFile::bytesLeft() const {
    const uint64_t used = (bitPosition_ + 7) / 8;
    return used >= fileSize_ ? 0 : fileSize_ - used;
}

}  // namespace tallory::formats::twinvq
