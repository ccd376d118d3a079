#include "cd/recording/iso_file_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cd/engine/engine_error.h"

namespace tallory::cd::recording {

using engine::EngineError;

namespace {

// A large stdio buffer: the writer sends 31 sectors at a time.
constexpr size_t kFileBuffer = 1 << 20;

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

IsoFileSink::IsoFileSink(const std::string& destination) : destination_(destination) {
    std::string name = destination.substr(destination.find_last_of('/') + 1);
    std::string pattern = folderOf(destination) + "/." + name + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    int fd = ::mkstemp(buffer.data());
    if (fd < 0) {
        throw EngineError::make(engine::kErrCreateFile, destination.c_str())
            .withDetail(engine::kErrText, std::strerror(errno));
    }
    temporary_ = buffer.data();
    ::fchmod(fd, 0644);  // mkstemp makes 0600; an image is an ordinary file
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
        ::close(fd);
        ::unlink(temporary_.c_str());
        throw EngineError::make(engine::kErrCreateFile, destination.c_str());
    }
    std::setvbuf(file_, nullptr, _IOFBF, kFileBuffer);
}

IsoFileSink::~IsoFileSink() {
    if (file_ != nullptr) std::fclose(file_);
    if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

void IsoFileSink::writeSectors(const uint8_t* data, uint32_t count) {
    size_t bytes = static_cast<size_t>(count) * engine::kIsoSectorSize;
    if (std::fwrite(data, 1, bytes, file_) != bytes) {
        throw EngineError::make(engine::kErrWriteFile).withDetail(engine::kErrText, std::strerror(errno));
    }
}

void IsoFileSink::commit() {
    bool ok = std::fflush(file_) == 0;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok || ::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        throw EngineError::make(engine::kErrWriteFile).withDetail(engine::kErrText, std::strerror(errno));
    }
    committed_ = true;
}

}  // namespace tallory::cd::recording
