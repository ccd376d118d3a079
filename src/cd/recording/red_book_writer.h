// The Red Book writer: a conversion target that turns any PCM into raw CD
// audio (44100 Hz, 16-bit, stereo, little-endian) in the file of the last
// entry of a track list. Used by the audio recording only.
#ifndef TALLORY_CD_RECORDING_RED_BOOK_WRITER_H
#define TALLORY_CD_RECORDING_RED_BOOK_WRITER_H

#include <memory>
#include <string>
#include <vector>

#include "cd/engine/cue_sheet.h"
#include "core/ref_count.h"
#include "platform/acm/acm.h"
#include "platform/files/temp_file.h"
#include "tallory/conv.h"

namespace tallory::cd::recording {

// {6DD6FEDD-1A33-4A6E-8050-5BCF7E635197}: the class identifier the writer reports.
inline constexpr CLSID CLSID_RedBookWriter = {0x6DD6FEDD, 0x1A33, 0x4A6E,
                                              {0x80, 0x50, 0x5B, 0xCF, 0x7E, 0x63, 0x51, 0x97}};

inline constexpr const char* kMsgTrackCountZero = "Track count is zero";
inline constexpr const char* kMsgAcmOpen = "ACM failed to open the conversion stream (error #%d)";
inline constexpr const char* kMsgAcmSize = "ACM failed to estimate stream size (error #%d)";
inline constexpr const char* kMsgAcmPrepare = "ACM failed to prepare the stream header (error #%d)";
inline constexpr const char* kMsgAcmConvert = "ACM failed to convert a stream";
inline constexpr const char* kMsgWriteFailed = "Cannot write to a file";

class RedBookWriter final : public IConvTarget {
public:
    // `tracks` outlives the writer; Open writes the file of its last entry.
    explicit RedBookWriter(const std::vector<engine::TrackListEntry>* tracks) : tracks_(tracks) {}

    HRESULT QueryInterface(const IID& riid, void** object) override;
    TALLORY_REFCOUNTED_METHODS

    int GetFormatIndex() override { return -1; }
    bool GetClassId(CLSID* classId) override;
    bool SetPath(const char*) override { return false; }
    bool GetPath(char*, int) override { return false; }
    bool Open() override;
    bool Write(uint32_t byteCount, const void* data) override;
    bool Close() override;
    bool OpenTag(IMetadataFile**) override { return false; }
    bool SetSource(IConvSource*) override { return false; }
    bool EstimateSize(uint32_t, const WAVEFORMATEX*, uint32_t*) override { return false; }
    bool SetFormat(const WAVEFORMATEX* format) override;
    bool ShowSettings(HWND, IConvTarget**) override { return false; }
    bool GetSettingsText(char*, uint32_t) override { return false; }
    bool SetOption(const char*, const char*, char*) override { return false; }
    void SetProgress(IConvProgress* progress) override { progress_ = progress; }

    // True when the last Open converts (the source is not CD audio already).
    bool converting() const { return stream_ != nullptr; }

private:
    ~RedBookWriter();
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool writeAll(const uint8_t* data, size_t size);
    // Runs the stream over `size` bytes; `last` flushes it.
    bool convert(const uint8_t* data, uint32_t size, bool last);

    core::RefCount refs_;
    const std::vector<engine::TrackListEntry>* tracks_;
    IConvProgress* progress_ = nullptr;
    WAVEFORMATEX format_{};
    platform::UniqueFile file_;
    std::unique_ptr<platform::acm::Stream> stream_;
    std::vector<uint8_t> carry_;   // a partial frame the stream did not take
    std::vector<uint8_t> output_;
};

// True when `format` is CD audio already: 44100 Hz, 2 channels, 16-bit PCM.
bool isRedBookFormat(const WAVEFORMATEX& format) noexcept;

}  // namespace tallory::cd::recording

#endif
