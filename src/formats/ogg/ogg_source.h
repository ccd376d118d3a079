// The Ogg Vorbis source: decodes a Vorbis stream in an Ogg file to 16-bit PCM
// through libvorbisfile.
#ifndef TALLORY_FORMATS_OGG_OGG_SOURCE_H
#define TALLORY_FORMATS_OGG_OGG_SOURCE_H

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include "core/source_base.h"

namespace tallory::formats::ogg {

inline constexpr const char* kMsgOggCannotOpenSource = "Cannot open source file for reading";
inline constexpr const char* kMsgOggNotOgg = "Input does not appear to be an Ogg bitstream";
inline constexpr const char* kMsgOggNoInfo = "Failed to receive OGG file information";
inline constexpr const char* kMsgOggCannotSeek = "Cannot seek in OGG file. Decoding from the beginning";
inline constexpr const char* kMsgOggStreamError = "Error in the stream";

class OggSource final : public core::SourceBase {
public:
    OggSource();
    ~OggSource() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Run(IConvSink* sink) override;
    bool Close() override;
    // The file's Vorbis comments as a tag file.
    bool GetTag(IMetadataFile** tag) override;

    static IUnknown* create();

private:
    OggVorbis_File file_{};
    // True from a successful hand-over of the file to the decoder until ov_clear,
    // which closes the file.
    bool decoderOpen_ = false;
};

}  // namespace tallory::formats::ogg

#endif
