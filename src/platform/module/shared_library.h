// A shared object loaded at run time by path (the MP3 encoder module).
#ifndef TALLORY_PLATFORM_MODULE_SHARED_LIBRARY_H
#define TALLORY_PLATFORM_MODULE_SHARED_LIBRARY_H

#include <string>

namespace tallory::platform {

class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary() { close(); }
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads the file with all its symbols bound now and kept to itself; false
    // with the loader's reason in `error`. A library already open is closed first.
    [[nodiscard]] bool open(const std::string& path, std::string& error);
    // The address of an exported symbol, or null.
    void* symbol(const char* name) const;
    void close();
    bool isOpen() const { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

}  // namespace tallory::platform

#endif
