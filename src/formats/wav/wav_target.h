// The Wave target: writes a RIFF/WAVE file from PCM, unchanged or through a
// codec of the compression manager stand-in.
#ifndef TALLORY_FORMATS_WAV_WAV_TARGET_H
#define TALLORY_FORMATS_WAV_WAV_TARGET_H

#include <memory>
#include <vector>

#include "core/target_base.h"
#include "formats/wav/wav_settings.h"
#include "platform/acm/acm.h"
#include "platform/riff/riff_file.h"

namespace tallory::formats::wav {

class WavTarget : public core::TargetBase {
public:
    WavTarget();
    ~WavTarget() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Write(uint32_t byteCount, const void* data) override;
    bool Close() override;
    bool EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) override;
    bool ShowSettings(HWND parent, IConvTarget** others) override;
    bool GetSettingsText(char* buffer, uint32_t capacity) override;
    bool SetOption(const char* name, const char* value, char* errorText) override;

    // For the settings dialog of the UI module.
    const WavSettings& settings() const { return settings_; }
    void setSettings(const WavSettings& settings) { settings_ = settings; }

private:
    bool openFile();
    // Runs one buffer through the stream; false after reporting.
    bool convertBuffer(const uint8_t* data, uint32_t length, bool blockAlign, std::vector<uint8_t>& out,
                       uint32_t& consumed);
    bool writeBytes(const void* data, size_t size);

    WavSettings settings_;
    WavSettings active_;  // the copy taken at Open
    platform::riff::RiffFile file_;
    platform::riff::ChunkInfo riffChunk_;
    platform::riff::ChunkInfo dataChunk_;
    std::unique_ptr<platform::acm::Stream> stream_;
    std::vector<uint8_t> carry_;
};

IUnknown* createWavTarget();

}  // namespace tallory::formats::wav

#endif
