// The shared part of every source: path, start time, PCM format, the open
// guard and reference counting.
#ifndef TALLORY_CORE_SOURCE_BASE_H
#define TALLORY_CORE_SOURCE_BASE_H

#include <string>

#include "core/ref_count.h"
#include "tallory/conv.h"
#include "core/ref_count.h"

namespace tallory::core {

inline constexpr const char* kMsgSourceAlreadyOpened = "Source file or track is already opened";
inline constexpr const char* kMsgSourceNotOpened = "Source object is not opened";

class SourceBase : public IConvSource {
public:
    HRESULT QueryInterface(const IID& riid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    bool SetPath(const char* path) override;
    bool GetPath(char* buffer, int capacity) override;
    bool GetFileName(char* buffer, int capacity) override;
    bool GetDirectory(char* buffer, int capacity) override;
    // Derived classes call this first, then open their file and set totalLength_ and format_.
    bool Open() override;
    bool SetStartTime(int milliseconds) override;
    // Derived classes call this first and stop if it fails.
    bool Run(IConvSink* sink) override;
    bool Close() override;
    bool GetTag(IMetadataFile** tag) override;
    bool GetLength(uint32_t* bytes, int startMs, int endMs) override;
    bool GetFormat(WAVEFORMATEX* format) override;
    void SetProgress(IConvProgress* progress) override;

    const std::string& path() const { return path_; }
    bool isOpen() const { return open_; }

protected:
    SourceBase();
    virtual ~SourceBase();
    // Further interface identifiers a class answers; the object itself by default never.
    virtual void* queryExtra(const IID& riid);
    // printf-style message to the attached callback with kinds "e".
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The same with kinds "i": the detail under a fixed error message that names
    // the check that failed, with its numbers; also warnings about damage that
    // the source reads past.
    void detail(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Field order as the contract gives it.
    IConvProgress* progress_ = nullptr;
    int startTimeMs_ = -1;
    std::string path_;
    uint32_t totalLength_ = 0;
    WAVEFORMATEX format_{};
    bool open_ = false;

private:
    // Atomic: the playback thread releases sources the caller also holds.
    core::RefCount refCount_;
};

}  // namespace tallory::core

#endif
