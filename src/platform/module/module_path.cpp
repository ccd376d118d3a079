#include "platform/module/module_path.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include "platform/files/file_system.h"

namespace tallory::platform {

std::string moduleDirectory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&moduleDirectory), &info) == 0 || info.dli_fname == nullptr) return {};
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved) == nullptr) return directoryOf(info.dli_fname);
    return directoryOf(resolved);
}

}  // namespace tallory::platform
