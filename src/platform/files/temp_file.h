// Scratch files that vanish on every path.
#ifndef TALLORY_PLATFORM_TEMP_FILE_H
#define TALLORY_PLATFORM_TEMP_FILE_H

#include <cstdio>
#include <memory>
#include <string>

namespace tallory::platform {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// A new file "<dir>/<prefix>XXXXXX" open for binary reading and writing. Its
// name is removed at once, so the data goes away when it is closed, even if
// the process dies. Null (with errno) on failure.
UniqueFile createTempFile(const std::string& dir, const std::string& prefix);

// A new empty file "<dir>/<prefix>XXXXXX" that stays until it is removed; its
// path, or empty (with errno) on failure.
std::string createNamedTempFile(const std::string& dir, const std::string& prefix);

// "TempPath" of section "Settings", else $TMPDIR, else /tmp.
std::string temporaryDirectory(const std::string& configured);

}  // namespace tallory::platform

#endif
