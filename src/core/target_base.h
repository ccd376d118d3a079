// The shared part of every target: output path, PCM format, attached source,
// output preparation and reference counting.
#ifndef TALLORY_CORE_TARGET_BASE_H
#define TALLORY_CORE_TARGET_BASE_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files/output_file.h"
#include "tallory/conv.h"
#include "core/ref_count.h"

namespace tallory::core {

inline constexpr const char* kMsgCannotCreateDirectory = "Cannot create directory: %s";
inline constexpr const char* kMsgOutputExists = "Output file already exists";
inline constexpr const char* kMsgCannotOverwrite = "Cannot overwrite output file";

inline constexpr const char* kMsgCannotWriteOutput = "Cannot write to output file";

class TargetBase : public IConvTarget {
public:
    HRESULT QueryInterface(const IID& riid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    int GetFormatIndex() override;
    bool SetPath(const char* path) override;
    bool GetPath(char* buffer, int capacity) override;
    // Prepares the output location; derived classes call it first.
    bool Open() override;
    bool Write(uint32_t byteCount, const void* data) override;
    bool Close() override;
    bool OpenTag(IMetadataFile** tag) override;
    bool SetSource(IConvSource* source) override;
    bool EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) override;
    bool SetFormat(const WAVEFORMATEX* format) override;
    bool GetSettingsText(char* buffer, uint32_t capacity) override;
    bool SetOption(const char* name, const char* value, char* errorText) override;
    void SetProgress(IConvProgress* progress) override;
    // Called by the engine when the conversion failed or was cancelled, before
    // Close: Close then removes the output instead of giving it its name.
    void abandonOutput() { abandoned_ = true; }

    const std::string& path() const { return path_; }
    IConvSource* source() const { return source_; }

protected:
    // classId is the class's own target identifier; it fixes the format index.
    explicit TargetBase(const CLSID& classId);
    virtual ~TargetBase();
    virtual void* queryExtra(const IID& riid);
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Reports why the output could not be made: the fixed message, then the system's reason.
    void reportFileFailure(const char* message, const platform::FileStatus& status);
    // True once the engine said the conversion failed: Close removes the output.
    bool abandoned() const { return abandoned_; }
    // What naming the finished output does with a file already there: replaced
    // only when Open was allowed to overwrite it.
    platform::ExistingKind existingKind() const {
        return replaceExisting_ ? platform::ExistingKind::replace : platform::ExistingKind::keep;
    }
    // Names a finished output, or removes it after AbandonOutput. False, with
    // the reason reported, when it could not be named.
    bool finishOutput(platform::OutputFile& output);
    // Starts outputFile_ for path_ and returns its stream, or reports `message` with
    // the reason and returns null.
    std::FILE* createOutput(const char* message);
    // For encoders that take whole frames of `frameBytes`: hands the frames of
    // one Write to `encode(const uint8_t* pcm, size_t frames)` (false stops),
    // completing a frame that the previous Write cut with the bytes of this one.
    template <class Encode>
    bool writeWholeFrames(const void* data, uint32_t byteCount, size_t frameBytes, Encode&& encode);
    // Forgets a cut frame (a new output starts, or the bytes are not a frame at the end).
    void dropPartialFrame() { partialFrame_.clear(); }

    // Field order as the contract gives it.
    IConvProgress* progress_ = nullptr;
    int formatIndex_ = -1;
    std::string path_;
    WAVEFORMATEX format_{};
    IConvSource* source_ = nullptr;
    // The file being written, for targets that write through stdio.
    platform::OutputFile outputFile_;

private:
    core::RefCount refCount_;
    bool abandoned_ = false;
    bool replaceExisting_ = false;
    std::vector<uint8_t> partialFrame_;
};

template <class Encode>
bool TargetBase::writeWholeFrames(const void* data, uint32_t byteCount, size_t frameBytes, Encode&& encode) {
    if (byteCount == 0 || data == nullptr || frameBytes == 0) return true;
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t left = byteCount;
    if (!partialFrame_.empty()) {
        const size_t take = std::min(left, frameBytes - partialFrame_.size());
        partialFrame_.insert(partialFrame_.end(), bytes, bytes + take);
        bytes += take;
        left -= take;
        if (partialFrame_.size() < frameBytes) return true;
        std::vector<uint8_t> frame;
        frame.swap(partialFrame_);
        if (!encode(static_cast<const uint8_t*>(frame.data()), size_t{1})) return false;
    }
    const size_t frames = left / frameBytes;
    if (frames > 0 && !encode(bytes, frames)) return false;
    partialFrame_.assign(bytes + frames * frameBytes, bytes + left);
    return true;
}

// Copies text into a caller's buffer of `capacity` bytes, cut to fit; nothing for a null buffer.
void copyTruncated(const std::string& text, char* buffer, size_t capacity);
// Writes an option refusal into a caller's error buffer (TALLORY_MAX_PATH bytes) when present.
void setOptionError(char* errorText, const std::string& text);

}  // namespace tallory::core

#endif
