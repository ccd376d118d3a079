#include "platform/files/temp_file.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tallory::platform {

UniqueFile createTempFile(const std::string& dir, const std::string& prefix) {
    std::string pattern = (dir.empty() ? std::string(".") : dir) + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return nullptr;
    ::unlink(name.data());
    std::FILE* f = ::fdopen(fd, "w+b");
    if (f == nullptr) {
        ::close(fd);
        return nullptr;
    }
    return UniqueFile(f);
}

std::string createNamedTempFile(const std::string& dir, const std::string& prefix) {
    std::string pattern = (dir.empty() ? std::string(".") : dir) + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return {};
    ::close(fd);
    return name.data();
}

std::string temporaryDirectory(const std::string& configured) {
    if (!configured.empty()) return configured;
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] != '\0' ? std::string(tmp) : std::string("/tmp");
}

}  // namespace tallory::platform
