#include "platform/module/shared_library.h"

#include <dlfcn.h>

namespace tallory::platform {

bool SharedLibrary::open(const std::string& path, std::string& error) {
    close();
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        error = path + ": " + (why != nullptr ? why : "cannot be loaded");
        return false;
    }
    return true;
}

void* SharedLibrary::symbol(const char* name) const { return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr; }

void SharedLibrary::close() {
    if (handle_ != nullptr) ::dlclose(handle_);
    handle_ = nullptr;
}

}  // namespace tallory::platform
