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
    int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) {
        throw EngineError::make(engine::kErrCreateFile, destination.c_str())
            .withDetail(engine::kErrText, std::strerror(errno));
    }
    temporary_ = buffer.data();
    fd_ = fd;
    ::fchmod(fd_, 0644);  // mkstemp makes 0600; an image is an ordinary file
}

IsoFileSink::~IsoFileSink() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

void IsoFileSink::writeSectors(const uint8_t* data, uint32_t count) {
    size_t bytes = static_cast<size_t>(count) * engine::kIsoSectorSize;
    size_t done = 0;
    while (done < bytes) {
        ssize_t n = ::pwrite(fd_, data + done, bytes - done, static_cast<off_t>(written_ + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            throw EngineError::make(engine::kErrWriteFile)
                .withDetail(engine::kErrText, (destination_ + ": " + std::strerror(n < 0 ? errno : ENOSPC)).c_str());
        }
        done += static_cast<size_t>(n);
    }
    written_ += bytes;
}

uint64_t IsoFileSink::copyFromFile(int fd, uint64_t offset, uint64_t bytes) {
    if (!copyWorks_) return 0;
    uint64_t done = 0;
    while (done < bytes) {
        auto in = static_cast<off_t>(offset + done);
        auto out = static_cast<off_t>(written_ + done);
        ssize_t n = ::copy_file_range(fd, &in, fd_, &out, static_cast<size_t>(bytes - done), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                      errno == EBADF || errno == EPERM)) {
            // Not between these files: the writer's own reads take over, now and later.
            copyWorks_ = false;
            break;
        }
        if (n < 0) {
            throw EngineError::make(engine::kErrWriteFile)
                .withDetail(engine::kErrText, (destination_ + ": " + std::strerror(errno)).c_str());
        }
        if (n == 0) break;  // the source ended early; the writer's read reports it
        done += static_cast<uint64_t>(n);
    }
    // Whole sectors only: a partial sector copied is written again by what follows.
    done = done / engine::kIsoSectorSize * engine::kIsoSectorSize;
    written_ += done;
    return done;
}

void IsoFileSink::reserve(uint64_t bytes) {
    struct statvfs fs{};
    if (::fstatvfs(fd_, &fs) != 0) return;  // unknown: the writes will tell
    uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    if (free < bytes) {
        throw EngineError::make(engine::kErrWriteFile)
            .withDetail(engine::kErrText, ("the image needs " + std::to_string(bytes) + " bytes; the file system of \"" +
                                           destination_ + "\" has " + std::to_string(free) + " free")
                                              .c_str());
    }
}

void IsoFileSink::commit() {
    // What a partial copy left past the end is cut off.
    bool ok = ::ftruncate(fd_, static_cast<off_t>(written_)) == 0;
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
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
