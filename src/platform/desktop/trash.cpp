#include "platform/desktop/trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/files/file_system.h"

namespace tallory::platform {

namespace {

// Names "a.2.wav", "a.3.wav" ... are tried when "a.wav" is taken; a trash
// with this many copies of one name is not worth searching further.
constexpr int kMaxNameAttempts = 10000;

std::string errnoText(int code) { return std::strerror(code); }

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

// A private directory: made with mode 0700 when missing; a link is not accepted.
bool ensurePrivateDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ensureTrash(const std::string& trash) {
    return createDirectories(directoryOf(trash)) && ensurePrivateDirectory(trash) &&
           ensurePrivateDirectory(trash + "/files") && ensurePrivateDirectory(trash + "/info");
}

// Trash specification: Path is escaped as in URLs (RFC 2396), separators kept.
std::string escapePath(const std::string& path) {
    static const char* unreserved = "-_.!~*'()/";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) != 0 && c < 0x80) {
            out += static_cast<char>(c);
        } else if (c != 0 && std::strchr(unreserved, c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string deletionDate() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

std::string candidateName(const std::string& name, int attempt) {
    if (attempt == 1) return name;
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name + "." + std::to_string(attempt);
    return name.substr(0, dot) + "." + std::to_string(attempt) + name.substr(dot);
}

// The mount point that holds path: the highest ancestor on the same device.
std::string topDirectoryOf(const std::string& path, dev_t device) {
    std::string top = directoryOf(path);
    while (top != "/" && !top.empty()) {
        std::string parent = directoryOf(top);
        struct stat st;
        if (::stat(parent.c_str(), &st) != 0 || st.st_dev != device) break;
        top = parent;
    }
    return top;
}

// Trash specification: $topdir/.Trash/$uid if .Trash is a sticky directory
// that is not a link, else $topdir/.Trash-$uid.
std::string topDirectoryTrash(const std::string& top) {
    std::string base = top == "/" ? "" : top;
    std::string uid = std::to_string(::getuid());
    struct stat st;
    std::string shared = base + "/.Trash";
    if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0) {
        std::string mine = shared + "/" + uid;
        if (ensureTrash(mine)) return mine;
    }
    std::string own = base + "/.Trash-" + uid;
    return ensureTrash(own) ? own : std::string();
}

bool sameDevice(const std::string& a, dev_t device) {
    struct stat st;
    return ::stat(a.c_str(), &st) == 0 && st.st_dev == device;
}

// Claims a name in the trash by creating its info record, then moves the file.
bool moveOne(const std::string& path, std::string& reason) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        reason = errnoText(errno);
        return false;
    }
    std::string home = homeTrashDirectory();
    std::string trash, recorded = path;
    if (ensureTrash(home) && sameDevice(home, st.st_dev)) {
        trash = home;
    } else {
        std::string top = topDirectoryOf(path, st.st_dev);
        trash = topDirectoryTrash(top);
        if (trash.empty()) {
            reason = "no trash folder can be made on the file system of " + top;
            return false;
        }
        // In a trash of its own file system the path is recorded relative to that file system's top.
        recorded = top == "/" ? path.substr(1) : path.substr(top.size() + 1);
    }
    std::string name = fileNameOf(path);
    for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
        std::string candidate = candidateName(name, attempt);
        std::string info = trash + "/info/" + candidate + ".trashinfo";
        int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            reason = "cannot write " + info + ": " + errnoText(errno);
            return false;
        }
        std::string files = trash + "/files/" + candidate;
        if (pathExists(files)) {
            ::close(fd);
            ::unlink(info.c_str());
            continue;
        }
        std::string record = "[Trash Info]\nPath=" + escapePath(recorded) + "\nDeletionDate=" + deletionDate() + "\n";
        bool written = ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
        if (::close(fd) != 0) written = false;
        if (!written || ::rename(path.c_str(), files.c_str()) != 0) {
            reason = written ? errnoText(errno) : "cannot write " + info;
            ::unlink(info.c_str());
            return false;
        }
        return true;
    }
    reason = "every trash name for " + name + " is taken";
    return false;
}

}  // namespace

std::string homeTrashDirectory() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') return std::string(data) + "/Trash";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/share/Trash";
}

std::vector<TrashFailure> moveToTrash(const std::vector<std::string>& paths) {
    std::vector<TrashFailure> failures;
    for (const std::string& p : paths) {
        std::string path = absolutePath(p);
        std::string reason;
        if (!moveOne(path, reason)) failures.push_back({p, reason});
    }
    return failures;
}

}  // namespace tallory::platform
