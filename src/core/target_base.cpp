#include "core/target_base.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/export_guard.h"
#include "core/report.h"
#include "platform/files/file_system.h"
#include "tallory/formats.h"

namespace tallory::core {

TargetBase::TargetBase(const CLSID& classId)
    : formatIndex_(static_cast<int>(ConvGetFormatPosCLSID(&classId))) {}

TargetBase::~TargetBase() {
    if (source_ != nullptr) source_->Release();
}

HRESULT TargetBase::QueryInterface(const IID& riid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IConvTarget) {
        *object = static_cast<IConvTarget*>(this);
    } else {
        *object = queryExtra(riid);
    }
    if (*object == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

uint32_t TargetBase::AddRef() { return refCount_.increment(); }

uint32_t TargetBase::Release() {
    uint32_t left = refCount_.decrement();
    if (left == 0) delete this;
    return left;
}

void* TargetBase::queryExtra(const IID&) { return nullptr; }

void TargetBase::error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vreport(progress_, "e", format, args);
    va_end(args);
}

int TargetBase::GetFormatIndex() { return formatIndex_; }

bool TargetBase::SetPath(const char* path) {
    if (path == nullptr) return false;
    // The one slot that allocates: an interface slot lets no exception out.
    return guardExport("SetPath", false, [&] {
        path_ = path;
        return true;
    }, progress_);
}

bool TargetBase::GetPath(char* buffer, int capacity) {
    if (path_.empty() || buffer == nullptr || capacity <= 0) return false;
    copyTruncated(path_, buffer, static_cast<size_t>(capacity));
    return true;
}

bool TargetBase::Open() {
    std::string dir = platform::directoryOf(path_);
    if (!dir.empty() && !platform::createDirectories(dir)) {
        error(kMsgCannotCreateDirectory, dir.c_str());
        return false;
    }
    abandoned_ = false;
    replaceExisting_ = false;
    // An existing file is not removed here: the new output replaces it when it
    // is complete, so a failed conversion keeps what was there.
    if (platform::pathExists(path_)) {
        if (progress_ == nullptr || progress_->ConfirmOverwrite(path_.c_str()) == 0) {
            error("%s", kMsgOutputExists);
            return false;
        }
        if (platform::isDirectory(path_)) {
            error("%s", kMsgCannotOverwrite);
            return false;
        }
        replaceExisting_ = true;
    }
    return true;
}

void TargetBase::reportFileFailure(const char* message, const platform::FileStatus& status) {
    error("%s", message);
    if (!status.message.empty()) error("%s", status.message.c_str());
}

std::FILE* TargetBase::createOutput(const char* message) {
    platform::FileStatus s = outputFile_.create(path_);
    std::FILE* f = s ? outputFile_.stream() : nullptr;
    if (s && f == nullptr) {
        s = platform::FileStatus::fromErrno(errno, path_);
        outputFile_.discard();
    }
    if (f == nullptr) reportFileFailure(message, s);
    return f;
}

bool TargetBase::finishOutput(platform::OutputFile& output) {
    if (!output.isOpen()) return true;
    if (abandoned_) {
        output.discard();
        return true;
    }
    platform::FileStatus s = output.commit(existingKind());
    if (s) return true;
    if (s.error == EEXIST) {
        // Another writer took the name while this output was written.
        error("%s", kMsgOutputExists);
    } else {
        reportFileFailure(kMsgCannotWriteOutput, s);
    }
    return false;
}

bool TargetBase::Write(uint32_t, const void*) { return true; }

bool TargetBase::Close() { return true; }

bool TargetBase::OpenTag(IMetadataFile** tag) {
    if (tag != nullptr) *tag = nullptr;
    return false;
}

bool TargetBase::SetSource(IConvSource* source) {
    if (source_ != nullptr) {
        source_->Release();
        source_ = nullptr;
    }
    if (source == nullptr) return false;
    source->AddRef();
    source_ = source;
    return true;
}

bool TargetBase::EstimateSize(uint32_t, const WAVEFORMATEX*, uint32_t*) { return false; }

bool TargetBase::SetFormat(const WAVEFORMATEX* format) {
    if (format == nullptr) return false;
    std::memcpy(&format_, format, sizeof(WAVEFORMATEX));
    return true;
}

bool TargetBase::GetSettingsText(char* buffer, uint32_t capacity) {
    if (buffer == nullptr || capacity == 0) return false;
    copyTruncated("None", buffer, capacity);
    return true;
}

bool TargetBase::SetOption(const char*, const char*, char* errorText) {
    setOptionError(errorText, "");
    return false;
}

void TargetBase::SetProgress(IConvProgress* progress) { progress_ = progress; }

void copyTruncated(const std::string& text, char* buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return;
    size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

void setOptionError(char* errorText, const std::string& text) {
    copyTruncated(text, errorText, TALLORY_MAX_PATH);
}

}  // namespace tallory::core
