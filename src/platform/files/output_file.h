// Whole or absent: every output and every rewritten file is built where no
// user mistakes it for the result and appears under its name only once it is
// complete and on disk.
//
// On Linux the new file is an unnamed O_TMPFILE in the destination folder: a
// killed process leaves nothing behind. Completing it links it to its name,
// or, to replace a file, links it under a hidden name and renames that over
// the original. Where the file system has no O_TMPFILE the file carries the
// hidden name from the start. Hidden names end in ".tallory~" and eight
// letters; a writer holds an flock on its file while it lives, so one whose
// lock is free was left by a process that died, and is removed.
#ifndef TALLORY_PLATFORM_OUTPUT_FILE_H
#define TALLORY_PLATFORM_OUTPUT_FILE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tallory::platform {

// The steps of an output's life, as a test names them to make one fail.
enum class FileStepKind { none, create, write, sync, link, rename };

// A result with the system's reason: ok, or errno and a message naming the file.
struct FileStatus {
    int error = 0;
    std::string message;

    static FileStatus ok() { return {}; }
    static FileStatus fromErrno(int error, const std::string& what);
    explicit operator bool() const { return error == 0; }
};

// What completing an output does when its name is taken by then.
enum class ExistingKind {
    keep,     // fail with EEXIST: the file there stays
    replace,  // the new file takes the name atomically
};

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Starts a file that will be named `path` (permission bits `mode` before
    // the umask). Leftovers of dead writers in that folder are removed first.
    [[nodiscard]] FileStatus create(const std::string& path, mode_t mode = 0666);
    bool isOpen() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }
    // The name it will get.
    const std::string& path() const { return path_; }
    // A name that opens this same file while it is open, for libraries that
    // want a name rather than a descriptor (/proc/self/fd/N or the hidden name).
    std::string accessPath() const;
    // A stdio stream over the file, owned here and closed by commit or
    // discard; its writes go through write() below. Null on failure.
    std::FILE* stream();
    // Writes every byte at the current position, or fails with errno set; after
    // a failed write, commit fails too.
    [[nodiscard]] bool write(const void* data, size_t size);
    // Gives the file the permission bits and, where allowed, the owner of `other`.
    [[nodiscard]] bool copyModeAndOwner(const struct stat& other);
    // Flushes the stream, syncs the data and names the file; closes it on
    // every path and removes it when it cannot be named.
    [[nodiscard]] FileStatus commit(ExistingKind existing);
    // Closes and removes the file without naming it; nothing if not open.
    void discard();

private:
    FileStatus fail(int error, const std::string& what);
    void closeStream();

    int fd_ = -1;
    std::FILE* stream_ = nullptr;
    std::string path_;
    // Empty while the file has no name (O_TMPFILE).
    std::string hiddenPath_;
    bool streamFailed_ = false;
    int writeError_ = 0;
};

// How a file is rebuilt: `head`, then `keepLength` bytes of the original from
// `keepOffset`, then `tail`.
struct ReplacementPlan {
    std::vector<uint8_t> head;
    uint64_t keepOffset = 0;
    uint64_t keepLength = 0;
    std::vector<uint8_t> tail;
};

// Rebuilds the regular file `path` (the file a link names, not the link) as
// the plan says, with its mode and owner, and puts it in place atomically.
// `original` is a descriptor open on it for reading, or -1 to open it here.
// On any failure the original is byte for byte what it was and nothing new remains.
[[nodiscard]] FileStatus replaceFile(const std::string& path, const ReplacementPlan& plan, int original = -1);

// Removes the hidden leftovers of dead writers from `folder`; the count removed.
int removeStaleTemporaries(const std::string& folder);
// True for a name this module gives its hidden files.
bool isTemporaryName(const std::string& fileName);

namespace testing {
// Makes the next time `step` runs fail with `error` (errno value); `none` clears it.
// For tests that check that a failure at that step leaves nothing behind.
void failNextStep(FileStepKind step, int error);
// Turns the O_TMPFILE way off (true) to test the hidden-name way.
void disableUnnamedFiles(bool disabled);
}  // namespace testing

}  // namespace tallory::platform

#endif
