#include "core/source_base.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/export_guard.h"
#include "core/report.h"
#include "platform/files/file_system.h"

namespace tallory::core {

SourceBase::SourceBase() = default;
SourceBase::~SourceBase() = default;

HRESULT SourceBase::QueryInterface(const IID& riid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IConvSource) {
        *object = static_cast<IConvSource*>(this);
    } else {
        *object = queryExtra(riid);
    }
    if (*object == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

uint32_t SourceBase::AddRef() { return refCount_.increment(); }

uint32_t SourceBase::Release() {
    const uint32_t left = refCount_.decrement();
    if (left == 0) delete this;
    return left;
}

void* SourceBase::queryExtra(const IID&) { return nullptr; }

void SourceBase::error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vreport(progress_, "e", format, args);
    va_end(args);
}

void SourceBase::detail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vreport(progress_, "i", format, args);
    va_end(args);
}

bool SourceBase::SetPath(const char* path) {
    if (path == nullptr) return false;
    // The one slot that allocates: an interface slot lets no exception out.
    return guardExport("SetPath", false, [&] {
        path_ = path;
        return true;
    }, progress_);
}

bool SourceBase::GetPath(char* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0 || path_.size() >= static_cast<size_t>(capacity)) return false;
    std::memcpy(buffer, path_.c_str(), path_.size() + 1);
    return true;
}

bool SourceBase::GetFileName(char* buffer, int capacity) {
    if (path_.empty() || buffer == nullptr || capacity <= 0) return false;
    std::string name = platform::fileNameOf(path_);
    size_t n = std::min(name.size(), static_cast<size_t>(capacity - 1));
    std::memcpy(buffer, name.data(), n);
    buffer[n] = '\0';
    return true;
}

bool SourceBase::GetDirectory(char* buffer, int capacity) {
    if (path_.empty() || buffer == nullptr || capacity <= 0) return false;
    std::string dir = platform::directoryOf(path_);
    // A cut directory would name another folder, so one that does not fit fails.
    if (dir.empty() || dir.size() >= static_cast<size_t>(capacity)) return false;
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return true;
}

bool SourceBase::Open() {
    if (open_) {
        error("%s", kMsgSourceAlreadyOpened);
        return false;
    }
    // Refused before anything opens it: opening a pipe would wait for a writer.
    if (!path_.empty() && platform::isSpecialFile(path_)) {
        error("%s is not a regular file (a folder, pipe or device cannot be converted)", path_.c_str());
        return false;
    }
    open_ = true;
    return true;
}

bool SourceBase::SetStartTime(int milliseconds) {
    startTimeMs_ = milliseconds;
    return true;
}

bool SourceBase::Run(IConvSink*) {
    if (!open_) {
        error("%s", kMsgSourceNotOpened);
        return false;
    }
    return true;
}

bool SourceBase::Close() {
    open_ = false;
    return true;
}

bool SourceBase::GetTag(IMetadataFile** tag) {
    if (tag != nullptr) *tag = nullptr;
    return false;
}

bool SourceBase::GetLength(uint32_t* bytes, int startMs, int endMs) {
    if (bytes == nullptr || !open_) return false;
    double perMs = format_.nAvgBytesPerSec * 0.001;
    double length = totalLength_;
    if (endMs != -1) {
        length = perMs * (static_cast<double>(endMs) - (startMs == -1 ? 0 : startMs));
    } else if (startMs != -1) {
        length = totalLength_ - perMs * startMs;
    }
    // A range that ends before it starts is empty; converting a negative or
    // oversized double to unsigned would be undefined.
    if (!(length > 0)) length = 0;
    if (length > 4294967295.0) length = 4294967295.0;
    *bytes = static_cast<uint32_t>(length);
    return true;
}

bool SourceBase::GetFormat(WAVEFORMATEX* format) {
    if (format == nullptr || !open_) return false;
    std::memcpy(format, &format_, sizeof(WAVEFORMATEX));
    return true;
}

void SourceBase::SetProgress(IConvProgress* progress) { progress_ = progress; }

}  // namespace tallory::core
