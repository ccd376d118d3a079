#include "platform/riff/riff_file.h"

#include <cerrno>
#include <cstring>

namespace tallory::platform::riff {

namespace {

constexpr int64_t kMaxOffset = 0xFFFFFFFFll;
constexpr uint32_t kHeaderSize = 8;

uint32_t readLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void putLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

bool isForm(uint32_t id) { return id == kRiff || id == kList; }

}  // namespace

namespace {
constexpr size_t kStreamBufferSize = 256 * 1024;
}  // namespace

RiffFile::~RiffFile() { close(); }

bool RiffFile::open(const std::string& path, OpenMode mode) {
    close();
    status_ = FileStatus::ok();
    if (mode == OpenMode::create) {
        status_ = output_.create(path);
        if (!status_) return false;
        file_ = output_.stream();
        if (file_ == nullptr) {
            status_ = FileStatus::fromErrno(errno, path);
            output_.discard();
            return false;
        }
        mode_ = mode;
        fileSize_ = 0;
        return true;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) return false;
    // Audio moves in large blocks; stdio's default of one page per system call is
    // thousands of calls for a song.
    std::setvbuf(file_, nullptr, _IOFBF, kStreamBufferSize);
    mode_ = mode;
    fileSize_ = 0;
    if (mode == OpenMode::read) {
        if (std::fseek(file_, 0, SEEK_END) != 0 || (fileSize_ = std::ftell(file_)) < 0 ||
            std::fseek(file_, 0, SEEK_SET) != 0) {
            close();
            return false;
        }
    }
    return true;
}

bool RiffFile::close() {
    if (file_ == nullptr) return true;
    if (mode_ == OpenMode::create) return static_cast<bool>(finish(ExistingKind::replace));
    bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    fileSize_ = -1;
    return ok;
}

FileStatus RiffFile::finish(ExistingKind existing) {
    if (file_ == nullptr || mode_ != OpenMode::create) return FileStatus::ok();
    // The stream belongs to the output file, which flushes and closes it.
    file_ = nullptr;
    fileSize_ = -1;
    status_ = output_.commit(existing);
    return status_;
}

void RiffFile::abandon() {
    if (mode_ == OpenMode::create && file_ != nullptr) {
        file_ = nullptr;
        fileSize_ = -1;
        output_.discard();
        return;
    }
    (void)close();
}

bool RiffFile::descend(ChunkInfo& ck, const ChunkInfo* parent, DescendKind kind) {
    if (file_ == nullptr) return false;
    int64_t end = parent != nullptr ? int64_t{parent->dataOffset} + parent->size : kMaxOffset;
    // Every step reads a header that is really in the file and moves at least
    // eight bytes on, so the search ends on any input.
    for (;;) {
        int64_t pos = tell();
        if (pos < 0 || pos + kHeaderSize > end) return false;
        uint8_t header[kHeaderSize];
        if (read(header, kHeaderSize) != kHeaderSize) return false;
        ChunkInfo found;
        found.id = readLe32(header);
        found.size = readLe32(header + 4);
        found.dataOffset = static_cast<uint32_t>(pos + kHeaderSize);
        bool form = isForm(found.id);
        if (form) {
            uint8_t type[4];
            if (found.size < 4 || read(type, 4) != 4) return false;
            found.formType = readLe32(type);
        }
        bool match = kind == DescendKind::next || (kind == DescendKind::findChunk && found.id == ck.id) ||
                     (kind == DescendKind::findRiff && found.id == kRiff && found.formType == ck.formType) ||
                     (kind == DescendKind::findList && found.id == kList && found.formType == ck.formType);
        if (match) {
            ck = found;
            return true;
        }
        if (!seek(int64_t{found.dataOffset} + found.size + (found.size & 1), SEEK_SET)) return false;
    }
}

bool RiffFile::ascend(ChunkInfo& ck) {
    if (file_ == nullptr) return false;
    if (ck.dirty) {
        int64_t pos = tell();
        if (pos < ck.dataOffset || pos > kMaxOffset) return false;
        ck.size = static_cast<uint32_t>(pos - ck.dataOffset);
        if ((ck.size & 1) != 0) {
            uint8_t pad = 0;
            if (!write(&pad, 1)) return false;
        }
        uint8_t size[4];
        putLe32(size, ck.size);
        int64_t after = tell();
        if (!seek(int64_t{ck.dataOffset} - 4, SEEK_SET) || !write(size, 4) || !seek(after, SEEK_SET)) return false;
        ck.dirty = false;
        return true;
    }
    return seek(int64_t{ck.dataOffset} + ck.size + (ck.size & 1), SEEK_SET);
}

bool RiffFile::createChunk(ChunkInfo& ck, bool riffForm) {
    if (file_ == nullptr || mode_ != OpenMode::create) return false;
    int64_t pos = tell();
    if (pos < 0 || pos + kHeaderSize + 4 > kMaxOffset) return false;
    uint8_t header[12];
    putLe32(header, ck.id);
    putLe32(header + 4, 0);
    putLe32(header + 8, ck.formType);
    size_t n = riffForm ? 12 : kHeaderSize;
    if (!write(header, n)) return false;
    ck.size = riffForm ? 4 : 0;
    ck.dataOffset = static_cast<uint32_t>(pos + kHeaderSize);
    ck.dirty = true;
    return true;
}

size_t RiffFile::read(void* buffer, size_t size) {
    if (file_ == nullptr || size == 0) return 0;
    return std::fread(buffer, 1, size, file_);
}

bool RiffFile::write(const void* data, size_t size) {
    if (file_ == nullptr || mode_ != OpenMode::create) return false;
    if (size == 0) return true;
    int64_t pos = tell();
    if (pos < 0 || pos + static_cast<int64_t>(size) > kMaxOffset) return false;
    return std::fwrite(data, 1, size, file_) == size;
}

bool RiffFile::seek(int64_t offset, int whence) {
    if (file_ == nullptr) return false;
    int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = tell();
    } else if (whence == SEEK_END) {
        if (std::fseek(file_, 0, SEEK_END) != 0) return false;
        base = tell();
    }
    if (base < 0) return false;
    int64_t target = base + offset;
    if (target < 0 || target > kMaxOffset) return false;
    return std::fseek(file_, static_cast<long>(target), SEEK_SET) == 0;
}

int64_t RiffFile::tell() const {
    if (file_ == nullptr) return -1;
    return std::ftell(file_);
}

}  // namespace tallory::platform::riff
