// The FLAC target: PCM in (8, 16, 24 or 32 bits), a native FLAC file out
// through libFLAC's encoder, with STREAMINFO MD5, total sample count, a seek
// table and room for the tags written after the audio.
#ifndef TALLORY_FORMATS_FLAC_FLAC_TARGET_H
#define TALLORY_FORMATS_FLAC_FLAC_TARGET_H

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/target_base.h"

namespace tallory::formats::flac {

inline constexpr const char* kMsgFlacBitsPerSample = "Source file must have 8, 16, 24 or 32 bits/sample.";
inline constexpr const char* kMsgFlacCannotOpenOutput = "Cannot open output file for writing";
inline constexpr const char* kMsgFlacSetupFailed = "FLAC encoder setup failed: %s";
inline constexpr const char* kMsgFlacEncodeFailed = "FLAC encoding failed: %s";
inline constexpr const char* kErrFlacLevel = "Value must be a compression level from 0 (fastest) to 8 (smallest)";

inline constexpr int kDefaultFlacLevel = 5;  // the flac command's default

class FlacTarget final : public core::TargetBase {
public:
    FlacTarget();
    ~FlacTarget() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Write(uint32_t byteCount, const void* data) override;
    bool Close() override;
    bool OpenTag(IMetadataFile** tag) override;
    bool ShowSettings(HWND parent, IConvTarget** others) override;
    bool GetSettingsText(char* buffer, uint32_t capacity) override;
    // Key "flac-level", 0 to 8.
    bool SetOption(const char* name, const char* value, char* errorText) override;

    static IUnknown* create();

    // libFLAC's output callbacks over file_ (the output file's stream), public for the C trampolines.
    FLAC__StreamEncoderWriteStatus onWrite(const FLAC__byte* bytes, size_t count);
    FLAC__StreamEncoderSeekStatus onSeek(FLAC__uint64 offset);
    FLAC__StreamEncoderTellStatus onTell(FLAC__uint64* offset);

private:
    void discardOutput();
    // Says why encoding stopped: the file's reason for a failed write, else the encoder's state.
    void reportEncoderFailure();
    bool encodeFrames(const uint8_t* pcm, size_t frames);
    void releaseEncoder();
    std::string encoderStateText() const;

    int level_ = kDefaultFlacLevel;
    std::FILE* file_ = nullptr;
    FLAC__StreamEncoder* encoder_ = nullptr;
    FLAC__StreamMetadata* seekTable_ = nullptr;
    FLAC__StreamMetadata* padding_ = nullptr;
    bool failed_ = false;
    int writeErrno_ = 0;
    std::vector<FLAC__int32> samples_;
};

}  // namespace tallory::formats::flac

#endif
