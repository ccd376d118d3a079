// The Windows Media target: PCM to a WMA file through the media writer, with
// the codec and format chosen by settings, options or the settings dialog.
#ifndef TALLORY_FORMATS_WM_WMA_TARGET_H
#define TALLORY_FORMATS_WM_WMA_TARGET_H

#include "core/target_base.h"
#include "formats/wm/wma_settings.h"
#include "platform/media/media_writer.h"

namespace tallory::formats::wm {

inline constexpr const char* kMsgNoCodec = "There is no WMA codec with this name.";
inline constexpr const char* kMsgNoFormat = "There is no WMA format with this name.";

class WmaTarget : public core::TargetBase {
public:
    WmaTarget();
    ~WmaTarget() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Write(uint32_t byteCount, const void* data) override;
    bool Close() override;
    // A tag file for the output, so that the engine writes the source's tag into it.
    bool OpenTag(IMetadataFile** tag) override;
    bool EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) override;
    bool ShowSettings(HWND parent, IConvTarget** others) override;
    bool GetSettingsText(char* buffer, uint32_t capacity) override;
    bool SetOption(const char* name, const char* value, char* errorText) override;

    const WmaSettings& settings() const { return settings_; }
    void setSettings(const WmaSettings& settings) { settings_ = settings; }
    // Presentation time of the next sample in 100-ns units, and PCM bytes written.
    int64_t time() const { return time_; }
    uint64_t bytesWritten() const { return bytes_; }

private:
    void explain(const platform::media::MediaStatus& status);

    WmaSettings settings_;
    platform::media::MediaWriter writer_;
    bool hasWriter_ = false;
    int64_t time_ = 0;
    uint64_t bytes_ = 0;
};

IUnknown* createWmaTarget();

}  // namespace tallory::formats::wm

#endif
