#include "cd/recording/iso_file_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cd/engine/engine_error.h"

namespace tallory::cd::recording {

using engine::EngineError;

namespace {

// A large stdio buffer: the writer sends 31 sectors at a time.
constexpr size_t kFileBuffer = 1 << 20;

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

IsoFileSink::IsoFileSink(const std::string& destination) : destination_(destination) {
    std::string name = destination.substr(destination.find_last_of('/') + 1);
    std::string pattern = folderOf(destination) + "/." + name + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    int fd = ::mkstemp(buffer.data());
    if (fd < 0) {
        throw EngineError::make(engine::kErrCreateFile, destination.c_str())
            .withDetail(engine::kErrText, std::strerror(errno));
    }
    temporary_ = buffer.data();
    ::fchmod(fd, 0644);  // mkstemp makes 0600; an image is an ordinary file
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
        ::close(fd);
        ::unlink(temporary_.c_str());
        throw EngineError::make(engine::kErrCreateFile, destination.c_str());
    }
    std::setvbuf(file_, nullptr, _IOFBF, kFileBuffer);
}

IsoFileSink::~IsoFileSink() {
    if (file_ != nullptr) std::fclose(file_);
    if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

void IsoFileSink::writeSectors(const uint8_t* data, uint32_t count) {
    size_t bytes = static_cast<size_t>(count) * engine::kIsoSectorSize;
    if (std::fwrite(data, 1, bytes, file_) != bytes) {
        throw EngineError::make(engine::kErrWriteFile).withDetail(engine::kErrText, std::strerror(errno));
    }
}

void IsoFileSink::reserve(uint64_t bytes) {
    struct statvfs fs{};
    if (::fstatvfs(::fileno(file_), &fs) != 0) return;  // unknown: the writes will tell
    uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    if (free < bytes) {
        throw EngineError::make(engine::kErrWriteFile)
            .withDetail(engine::kErrText, ("the image needs " + std::to_string(bytes) + " bytes; the file system of \"" +
                                           destination_ + "\" has " + std::to_string(free) + " free")
                                              .c_str());
    }
}

void IsoFileSink::commit() {
    bool ok = std::fflush(file_) == 0;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok || ::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        throw EngineError::make(engine::kErrWriteFile).withDetail(engine::kErrText, std::strerror(errno));
    }
    committed_ = true;
}

IsoFileReader::~IsoFileReader() {
    if (fd_ >= 0) ::close(fd_);
}

bool IsoFileReader::open(const std::string& path, std::string* why) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (why) *why = fd < 0 ? std::strerror(errno) : "not a regular file";
        if (fd >= 0) ::close(fd);
        return false;
    }
    uint64_t sectors = (static_cast<uint64_t>(st.st_size) + engine::kIsoSectorSize - 1) / engine::kIsoSectorSize;
    if (sectors > UINT32_MAX) {
        if (why) *why = "larger than 2^32 sectors";
        ::close(fd);
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    bytes_ = static_cast<uint64_t>(st.st_size);
    sectors_ = static_cast<uint32_t>(sectors);
    return true;
}

engine::IsoBlockReader IsoFileReader::blockReader() {
    return [this](uint32_t lba, uint32_t count, uint8_t* out) {
        if (fd_ < 0 || static_cast<uint64_t>(lba) + count > sectors_) return false;
        size_t want = static_cast<size_t>(count) * engine::kIsoSectorSize;
        auto offset = static_cast<off_t>(static_cast<uint64_t>(lba) * engine::kIsoSectorSize);
        size_t got = 0;
        while (got < want) {
            ssize_t n = ::pread(fd_, out + got, want - got, offset + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            got += static_cast<size_t>(n);
        }
        // Only the file's partial last sector may come short; it reads as zeros.
        if (got < want && static_cast<uint64_t>(offset) + got != bytes_) return false;
        std::memset(out + got, 0, want - got);
        return true;
    };
}

}  // namespace tallory::cd::recording
