#include "platform/module/module_path.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include "platform/files/file_system.h"

namespace tallory::platform {

std::string modulePath() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&moduleDirectory), &info) == 0 || info.dli_fname == nullptr) return {};
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
    return resolved;
}

std::string moduleDirectory() {
    std::string path = modulePath();
    return path.empty() ? path : directoryOf(path);
}

}  // namespace tallory::platform
