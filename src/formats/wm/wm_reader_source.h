// The MP3 and Windows Media source: decodes any file the media reader opens
// (MP3, WMA, ASF and the rest) to 16-bit PCM, and answers WMASourceGetInfo.
#ifndef TALLORY_FORMATS_WM_WM_READER_SOURCE_H
#define TALLORY_FORMATS_WM_WM_READER_SOURCE_H

#include "core/source_base.h"
#include "core/wma_source_info.h"
#include "platform/media/media_reader.h"

namespace tallory::formats::wm {

inline constexpr const char* kMsgNoAudio = "The Windows Media file does not contain audio";
inline constexpr const char* kMsgOpenFailed = "Failed to open source file (error #%lX)";
inline constexpr const char* kMsgStartFailed = "Failed to start the Windows Media reader (error #%lX)";
inline constexpr const char* kMsgStreamFailed = "Error while reading the Windows Media file (error #%lX)";

class WmReaderSource : public core::SourceBase, public IWmaSourceInfo {
public:
    WmReaderSource() = default;

    // IUnknown of both interfaces: one object, one count.
    HRESULT QueryInterface(const IID& riid, void** object) override { return SourceBase::QueryInterface(riid, object); }
    uint32_t AddRef() override { return SourceBase::AddRef(); }
    uint32_t Release() override { return SourceBase::Release(); }

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Run(IConvSink* sink) override;
    bool Close() override;

    HRESULT GetCodecInfo(char* codecName, char* streamLine) override;

    // The codec name WMASourceGetInfo gives for a container's format tag; empty if none.
    static const char* codecNameOf(uint32_t formatTag);

protected:
    void* queryExtra(const IID& riid) override;

private:
    // Opens a reader on the path and reports a failure as the source does.
    bool openReader(platform::media::MediaReader& reader);
    void explain(const platform::media::MediaStatus& status);

    platform::media::MediaReader reader_;
};

// A new source with a count of 0, for the class factory.
IUnknown* createWmReaderSource();

}  // namespace tallory::formats::wm

#endif
