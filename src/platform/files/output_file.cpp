#include "platform/files/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/files/file_system.h"

namespace tallory::platform {

namespace {

constexpr const char kMarker[] = ".tallory~";
constexpr size_t kMarkerLength = sizeof kMarker - 1;
constexpr size_t kRandomLength = 8;
// A hidden name must still fit one path element.
constexpr size_t kNameMax = NAME_MAX;
// Names are random: this many clashes in a row means something else is wrong.
constexpr int kNameAttempts = 64;
constexpr size_t kCopyBlock = 1 << 16;
// Large blocks of audio: a bigger buffer saves thousands of system calls.
constexpr size_t kStreamBuffer = 256 * 1024;

std::atomic<int> injectedStep{static_cast<int>(FileStepKind::none)};
std::atomic<int> injectedError{0};
std::atomic<bool> unnamedDisabled{false};

// True (with errno set) when a test asked this step to fail.
bool injected(FileStepKind step) {
    int expected = static_cast<int>(step);
    if (step == FileStepKind::none ||
        !injectedStep.compare_exchange_strong(expected, static_cast<int>(FileStepKind::none))) {
        return false;
    }
    errno = injectedError.load();
    return true;
}

bool unnamedFilesUsable() {
    if (unnamedDisabled.load()) return false;
    // Naming an unnamed file goes through its /proc link (linkat with
    // AT_EMPTY_PATH needs a privilege users do not have).
    static const bool procMounted = ::access("/proc/self/fd", X_OK) == 0;
    return procMounted;
}

std::string randomLetters() {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[kRandomLength];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static std::atomic<uint64_t> counter{0};
        uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                        (static_cast<uint64_t>(::getpid()) << 32) ^ counter.fetch_add(0x9E3779B97F4A7C15ull);
        for (unsigned char& b : bytes) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            b = static_cast<unsigned char>(seed >> 56);
        }
    }
    std::string s;
    for (unsigned char b : bytes) s += kAlphabet[b % (sizeof kAlphabet - 1)];
    return s;
}

std::string folderOf(const std::string& path) {
    std::string dir = directoryOf(path);
    return dir.empty() ? std::string(".") : dir;
}

// ".<name>.tallory~XXXXXXXX" beside path, the name cut so that it fits.
std::string hiddenNameFor(const std::string& path) {
    std::string base = fileNameOf(path);
    const size_t room = kNameMax - 1 - kMarkerLength - kRandomLength;
    if (base.size() > room) base.resize(room);
    std::string dir = directoryOf(path);
    std::string prefix = dir.empty() ? std::string() : (dir == "/" ? dir : dir + "/");
    return prefix + "." + base + kMarker + randomLetters();
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The data reach the disk and so does the folder entry that names them.
void syncFolder(const std::string& path) {
    int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    (void)::fsync(dir);
    ::close(dir);
}

// stdio over an OutputFile, so that stream writes meet the same checks.
ssize_t cookieRead(void* cookie, char* buffer, size_t size) {
    auto* out = static_cast<OutputFile*>(cookie);
    for (;;) {
        ssize_t n = ::read(out->descriptor(), buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

ssize_t cookieWrite(void* cookie, const char* data, size_t size) {
    auto* out = static_cast<OutputFile*>(cookie);
    return out->write(data, size) ? static_cast<ssize_t>(size) : 0;
}

int cookieSeek(void* cookie, off64_t* offset, int whence) {
    auto* out = static_cast<OutputFile*>(cookie);
    off_t at = ::lseek(out->descriptor(), static_cast<off_t>(*offset), whence);
    if (at < 0) return -1;
    *offset = at;
    return 0;
}

int cookieClose(void*) { return 0; }

}  // namespace

FileStatus FileStatus::fromErrno(int error, const std::string& what) {
    FileStatus s;
    s.error = error != 0 ? error : EIO;
    s.message = what + ": " + std::strerror(s.error);
    return s;
}

OutputFile::~OutputFile() { discard(); }

FileStatus OutputFile::create(const std::string& path, mode_t mode) {
    discard();
    if (path.empty() || path.back() == '/') return FileStatus::fromErrno(EINVAL, path.empty() ? "(no name)" : path);
    path_ = path;
    const std::string folder = folderOf(path);
    (void)removeStaleTemporaries(folder);
    if (injected(FileStepKind::create)) return fail(errno, path);
    if (unnamedFilesUsable()) {
        fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (fd_ < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return fail(errno, path);
    }
    if (fd_ < 0) {
        for (int attempt = 0; attempt < kNameAttempts && fd_ < 0; ++attempt) {
            hiddenPath_ = hiddenNameFor(path);
            fd_ = ::open(hiddenPath_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
            if (fd_ < 0 && errno != EEXIST) break;
        }
        if (fd_ < 0) {
            hiddenPath_.clear();
            return fail(errno, path);
        }
    }
    // Held until the file is closed: a free lock marks a dead writer's leftover.
    (void)::flock(fd_, LOCK_EX | LOCK_NB);
    streamFailed_ = false;
    writeError_ = 0;
    return FileStatus::ok();
}

std::string OutputFile::accessPath() const {
    if (fd_ < 0) return {};
    return hiddenPath_.empty() ? "/proc/self/fd/" + std::to_string(fd_) : hiddenPath_;
}

std::FILE* OutputFile::stream() {
    if (stream_ != nullptr || fd_ < 0) return stream_;
    cookie_io_functions_t io{cookieRead, cookieWrite, cookieSeek, cookieClose};
    stream_ = ::fopencookie(this, "w+b", io);
    if (stream_ != nullptr) std::setvbuf(stream_, nullptr, _IOFBF, kStreamBuffer);
    return stream_;
}

bool OutputFile::write(const void* data, size_t size) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    if (injected(FileStepKind::write) || !writeAll(fd_, static_cast<const uint8_t*>(data), size)) {
        // Remembered: a file with a hole where a write failed is never named.
        if (writeError_ == 0) writeError_ = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

bool OutputFile::copyModeAndOwner(const struct stat& other) {
    if (fd_ < 0) return false;
    // Only root may give a file away; a refusal keeps the writer as owner.
    if (other.st_uid != ::geteuid() || other.st_gid != ::getegid()) (void)!::fchown(fd_, other.st_uid, other.st_gid);
    return ::fchmod(fd_, other.st_mode & 07777) == 0;
}

void OutputFile::closeStream() {
    if (stream_ == nullptr) return;
    if (std::fflush(stream_) != 0) streamFailed_ = true;
    std::fclose(stream_);
    stream_ = nullptr;
}

FileStatus OutputFile::fail(int error, const std::string& what) {
    FileStatus s = FileStatus::fromErrno(error, what);
    discard();
    return s;
}

FileStatus OutputFile::commit(ExistingKind existing) {
    if (fd_ < 0) return FileStatus::fromErrno(EBADF, path_);
    int savedErrno = 0;
    if (stream_ != nullptr) {
        errno = 0;
        if (std::fflush(stream_) != 0 || std::ferror(stream_) != 0) {
            savedErrno = errno != 0 ? errno : EIO;
            streamFailed_ = true;
        }
        closeStream();
    }
    if (writeError_ != 0) return fail(writeError_, path_);
    if (streamFailed_) return fail(savedErrno != 0 ? savedErrno : EIO, path_);
    if (injected(FileStepKind::sync) || ::fsync(fd_) != 0) return fail(errno, path_);

    if (hiddenPath_.empty()) {
        const std::string self = accessPath();
        if (existing == ExistingKind::keep) {
            if (injected(FileStepKind::link) ||
                ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                return fail(errno, path_);
            }
        } else {
            // A name of its own first: rename is the one atomic replacement.
            bool linked = false;
            for (int attempt = 0; attempt < kNameAttempts && !linked; ++attempt) {
                hiddenPath_ = hiddenNameFor(path_);
                if (injected(FileStepKind::link)) break;
                linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, hiddenPath_.c_str(), AT_SYMLINK_FOLLOW) == 0;
                if (!linked && errno != EEXIST) break;
            }
            if (!linked) {
                hiddenPath_.clear();
                return fail(errno, path_);
            }
            if (injected(FileStepKind::rename) || ::rename(hiddenPath_.c_str(), path_.c_str()) != 0) {
                return fail(errno, path_);
            }
            hiddenPath_.clear();
        }
    } else if (existing == ExistingKind::replace) {
        if (injected(FileStepKind::rename) || ::rename(hiddenPath_.c_str(), path_.c_str()) != 0) {
            return fail(errno, path_);
        }
        hiddenPath_.clear();
    } else {
        if (injected(FileStepKind::rename)) return fail(errno, path_);
        if (::renameat2(AT_FDCWD, hiddenPath_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno != EINVAL && errno != ENOSYS) return fail(errno, path_);
            // A file system without the flag: a new link fails as well when the name is taken.
            if (::link(hiddenPath_.c_str(), path_.c_str()) != 0) return fail(errno, path_);
            ::unlink(hiddenPath_.c_str());
        }
        hiddenPath_.clear();
    }
    syncFolder(path_);
    ::close(fd_);
    fd_ = -1;
    return FileStatus::ok();
}

void OutputFile::discard() {
    if (stream_ != nullptr) {
        // Nothing buffered matters any more; the stream must not write through a closed descriptor.
        streamFailed_ = true;
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!hiddenPath_.empty()) {
        ::unlink(hiddenPath_.c_str());
        hiddenPath_.clear();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool isTemporaryName(const std::string& name) {
    if (name.size() < 1 + kMarkerLength + kRandomLength || name[0] != '.') return false;
    const size_t at = name.size() - kRandomLength - kMarkerLength;
    if (name.compare(at, kMarkerLength, kMarker) != 0) return false;
    return std::all_of(name.end() - kRandomLength, name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

int removeStaleTemporaries(const std::string& folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()), &::closedir);
    if (!dir) return 0;
    const int dirFd = ::dirfd(dir.get());
    int removed = 0;
    while (struct dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (!isTemporaryName(name)) continue;
        int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        // Only our own regular files, and only when no living writer holds them.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlinkat(dirFd, name.c_str(), 0) == 0) {
            ++removed;
        }
        ::close(fd);
    }
    return removed;
}

FileStatus replaceFile(const std::string& path, const ReplacementPlan& plan, int original) {
    // Replace the file a link names, not the link.
    std::string target = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    int ownFd = -1;
    if (original < 0) {
        ownFd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
        if (ownFd < 0) return FileStatus::fromErrno(errno, path);
        original = ownFd;
    }
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{ownFd};
    struct stat st {};
    if (::fstat(original, &st) != 0) return FileStatus::fromErrno(errno, path);
    if (!S_ISREG(st.st_mode)) return FileStatus::fromErrno(EINVAL, path + " (not a regular file)");
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (plan.keepOffset > size || plan.keepLength > size - plan.keepOffset) {
        return FileStatus::fromErrno(EINVAL, path + " (shorter than the range to keep)");
    }

    OutputFile out;
    if (FileStatus s = out.create(target, 0600); !s) return s;
    if (!out.copyModeAndOwner(st)) return FileStatus::fromErrno(errno, path);
    if (!out.write(plan.head.data(), plan.head.size())) return FileStatus::fromErrno(errno, path);
    std::unique_ptr<uint8_t[]> block(new uint8_t[kCopyBlock]);
    uint64_t offset = plan.keepOffset, left = plan.keepLength;
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kCopyBlock));
        const ssize_t n = ::pread(original, block.get(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FileStatus::fromErrno(errno, path);
        if (n == 0) return FileStatus::fromErrno(EIO, path + " (became shorter while it was copied)");
        if (!out.write(block.get(), static_cast<size_t>(n))) return FileStatus::fromErrno(errno, path);
        offset += static_cast<uint64_t>(n);
        left -= static_cast<uint64_t>(n);
    }
    if (!out.write(plan.tail.data(), plan.tail.size())) return FileStatus::fromErrno(errno, path);
    return out.commit(ExistingKind::replace);
}

namespace testing {

void failNextStep(FileStepKind step, int error) {
    injectedError.store(error);
    injectedStep.store(static_cast<int>(step));
}

void disableUnnamedFiles(bool disabled) { unnamedDisabled.store(disabled); }

}  // namespace testing

}  // namespace tallory::platform
