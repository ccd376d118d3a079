// The MP3 target: LAME or BladeEnc through the encoder-library interface, or
// the codec manager's MPEG Layer-3 codec.
#ifndef TALLORY_FORMATS_MP3_TARGET_H
#define TALLORY_FORMATS_MP3_TARGET_H

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/target_base.h"
#include "formats/mp3/encoder_library.h"
#include "formats/mp3/mp3_settings.h"
#include "platform/acm/acm.h"

namespace tallory::formats::mp3 {

// Where the help pages named in messages live.
inline constexpr const char* kHelpPageBase = "https://www.veshna.com/tallory/help/";

class Mp3Target final : public core::TargetBase {
public:
    Mp3Target();
    ~Mp3Target() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Write(uint32_t byteCount, const void* data) override;
    bool Close() override;
    bool OpenTag(IMetadataFile** tag) override;
    bool EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) override;
    bool ShowSettings(HWND parent, IConvTarget** others) override;
    bool GetSettingsText(char* buffer, uint32_t capacity) override;
    bool SetOption(const char* name, const char* value, char* errorText) override;

    const Mp3Settings& settings() const { return settings_; }
    void setSettings(const Mp3Settings& s) { settings_ = s; }

private:
    bool openLibraryEncoder();
    bool openCodec();
    // Picks the codec format closest to the bitrate; false if none fits the filters.
    bool chooseCodecFormat(const platform::acm::FormatBlob& input, platform::acm::FormatBlob& chosen, bool& exact);
    // Runs PCM through the ACM stream (if any); the result is in converted_.
    bool convertBlock(const uint8_t* data, uint32_t length, bool last, const uint8_t*& out, uint32_t& outLength);
    bool encodeFifo(bool last);
    bool writeOutput(const uint8_t* data, size_t length);

    Mp3Settings settings_;
    Mp3Settings working_;
    std::unique_ptr<platform::acm::Stream> stream_;
    std::vector<uint8_t> carry_;      // input the stream has not consumed yet
    std::vector<uint8_t> converted_;  // the stream's output for one block
    EncoderLibrary library_;
    HBE_STREAM encoder_ = 0;
    bool encoderOpen_ = false;
    uint32_t chunkSamples_ = 0;
    std::vector<uint8_t> output_;
    std::vector<int16_t> chunk_;  // one chunk, aligned for the encoder
    std::vector<uint8_t> fifo_;
    size_t fifoRead_ = 0, fifoWrite_ = 0;
    std::FILE* file_ = nullptr;
};

IUnknown* createMp3Target();

}  // namespace tallory::formats::mp3

#endif
