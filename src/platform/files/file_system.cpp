#include "platform/files/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tallory::platform {

bool pathExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isSpecialFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

bool createDirectories(const std::string& path) {
    if (path.empty()) return false;
    // Walk component by component so that the outermost missing level is made first.
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string prefix = path.substr(0, pos);
        if (prefix.empty() || prefix.back() == '/' || isDirectory(prefix)) continue;
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return isDirectory(path);
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string directoryOf(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string fileNameOf(std::string_view path) {
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool lastWriteTime(const std::string& path, int64_t* seconds) {
    struct stat st;
    if (seconds == nullptr || ::stat(path.c_str(), &st) != 0) return false;
    *seconds = static_cast<int64_t>(st.st_mtime);
    return true;
}

std::string absoluteFromWorkingFolder(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::string rest = path;
    while (rest.size() > 2 && rest.compare(0, 2, "./") == 0) {
        rest.erase(0, 2);
        while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    }
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return path;
    std::string base = cwd;
    std::free(cwd);
    return base == "/" ? "/" + rest : base + "/" + rest;
}

std::string lastSystemError() { return std::strerror(errno); }

}  // namespace tallory::platform
