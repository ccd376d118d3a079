// The Ogg Vorbis target: PCM in, a Vorbis stream in an Ogg file out, through
// libvorbisenc and libogg.
#ifndef TALLORY_FORMATS_OGG_OGG_TARGET_H
#define TALLORY_FORMATS_OGG_OGG_TARGET_H

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/target_base.h"
#include "formats/ogg/ogg_settings.h"

namespace tallory::formats::ogg {

inline constexpr const char* kMsgOggBitsPerSample = "Source file must have either 8 or 16 bits/sample.";
inline constexpr const char* kMsgOggCannotOpenOutput = "Cannot open output file for writing";
inline constexpr const char* kMsgOggSetupFailed = "Encoding setup failed (error %d)";
inline constexpr const char* kMsgOggWriteFailed = "Failed to write output file (error #%d)";

class OggTarget final : public core::TargetBase, public IOggSettings {
public:
    OggTarget();
    ~OggTarget() override;

    HRESULT QueryInterface(const IID& riid, void** object) override { return TargetBase::QueryInterface(riid, object); }
    uint32_t AddRef() override { return TargetBase::AddRef(); }
    uint32_t Release() override { return TargetBase::Release(); }

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Write(uint32_t byteCount, const void* data) override;
    bool Close() override;
    // The output's Vorbis comments, written after Close.
    bool OpenTag(IMetadataFile** tag) override;
    bool EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) override;
    bool ShowSettings(HWND parent, IConvTarget** others) override;
    bool GetSettingsText(char* buffer, uint32_t capacity) override;
    // Keys "vbr-quality", "bitrate", "min-bitrate", "max-bitrate".
    bool SetOption(const char* name, const char* value, char* errorText) override;

    void GetSettings(OggSettings* settings) override;
    void PutSettings(const OggSettings* settings) override;

    static IUnknown* create();

private:
    void* queryExtra(const IID& riid) override;
    // The set-up calls of the encoder for the working settings; 0 or the library's error.
    int setUpEncoder();
    void clearEncoder();
    // Feeds whole frames of 16-bit (or unsigned 8-bit) PCM to the encoder.
    bool encodeFrames(const uint8_t* pcm, size_t frames);
    // Moves finished blocks into packets and full pages, and writes the pages.
    bool drainPackets();
    bool writePage(const ogg_page& page);
    bool finishStream();

    OggSettings settings_;
    OggSettings working_;
    std::FILE* file_ = nullptr;
    bool encoderReady_ = false;
    vorbis_info info_{};
    vorbis_comment comment_{};
    vorbis_dsp_state dsp_{};
    vorbis_block block_{};
    ogg_stream_state stream_{};
};

}  // namespace tallory::formats::ogg

#endif
