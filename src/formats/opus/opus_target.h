// The Opus target: PCM in at any rate (libopusenc resamples to 48 kHz), an
// Ogg Opus file out with pre-skip and end trim set for gapless playback.
#ifndef TALLORY_FORMATS_OPUS_OPUS_TARGET_H
#define TALLORY_FORMATS_OPUS_OPUS_TARGET_H

#include <opusenc.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/target_base.h"

namespace tallory::formats::opus {

inline constexpr const char* kMsgOpusBitsPerSample = "Source file must have 8, 16, 24 or 32 bits/sample.";
inline constexpr const char* kMsgOpusCannotOpenOutput = "Cannot open output file for writing";
inline constexpr const char* kMsgOpusSetupFailed = "Opus encoder setup failed: %s";
inline constexpr const char* kMsgOpusEncodeFailed = "Opus encoding failed: %s";
inline constexpr const char* kErrOpusBitrate = "Value must be a bitrate in kbit/s from 6 to 512";
inline constexpr const char* kErrOpusVbr = "Value must be 1 (variable bitrate) or 0 (constant bitrate)";

// Per channel, so that stereo gets the usual 128 kbit/s.
inline constexpr int kDefaultOpusKbpsPerChannel = 64;

class OpusTarget final : public core::TargetBase {
public:
    OpusTarget();
    ~OpusTarget() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Write(uint32_t byteCount, const void* data) override;
    bool Close() override;
    bool OpenTag(IMetadataFile** tag) override;
    bool EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) override;
    bool ShowSettings(HWND parent, IConvTarget** others) override;
    bool GetSettingsText(char* buffer, uint32_t capacity) override;
    // Keys "opus-bitrate" (kbit/s) and "opus-vbr" (1 or 0).
    bool SetOption(const char* name, const char* value, char* errorText) override;

    static IUnknown* create();

    // libopusenc's page output, public for the C trampoline.
    int onPage(const unsigned char* bytes, opus_int32 length);

private:
    void discardOutput();
    // Says once why encoding stopped: the file's reason for a failed write, else libopusenc's code.
    void reportFailure(int rc);
    void releaseEncoder();
    int bitrateKbps() const;
    bool encodeFrames(const uint8_t* pcm, size_t frames);

    int kbps_ = 0;  // 0: the per-channel default
    bool vbr_ = true;
    std::FILE* file_ = nullptr;
    bool writeFailed_ = false;
    int writeErrno_ = 0;
    bool reported_ = false;
    OggOpusEnc* encoder_ = nullptr;
    OggOpusComments* comments_ = nullptr;
    std::vector<float> samples_;
};

}  // namespace tallory::formats::opus

#endif
