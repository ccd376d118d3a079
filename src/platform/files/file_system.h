// File system stand-ins: existence tests, directory creation, deletion and the
// same-file test, over POSIX calls.
#ifndef TALLORY_PLATFORM_FILE_SYSTEM_H
#define TALLORY_PLATFORM_FILE_SYSTEM_H

#include <cstdint>
#include <string>
#include <string_view>

namespace tallory::platform {

// True if anything (file, directory, link, even a dangling one) is at path.
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
// True when something other than a regular file is at path (following links):
// a folder, pipe, socket or device, which a reader could block on or misread.
bool isSpecialFile(const std::string& path);
// Creates each missing directory of path, outermost first. True if the whole
// directory exists afterwards.
bool createDirectories(const std::string& path);
// Removes a non-directory entry.
bool removeFile(const std::string& path);
// Same device and inode, following links; false if either cannot be examined.
bool sameFile(const std::string& a, const std::string& b);
// The part of path before its last '/', without that separator; "/" for a file in the root.
std::string directoryOf(std::string_view path);
// The part of path after its last '/'.
std::string fileNameOf(std::string_view path);
// path itself when absolute, else path resolved against the working folder
// (a leading "./" dropped); path itself when the working folder is unknown.
std::string absoluteFromWorkingFolder(const std::string& path);
// The last modification time in seconds since 1970 (UTC); false if path cannot be examined.
bool lastWriteTime(const std::string& path, int64_t* seconds);
// The reason text of the last failed system call.
std::string lastSystemError();

}  // namespace tallory::platform

#endif
