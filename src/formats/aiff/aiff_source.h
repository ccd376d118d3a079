// The AIFF source: reads uncompressed AIFF and AIFC files and delivers
// little-endian PCM.
#ifndef TALLORY_FORMATS_AIFF_AIFF_SOURCE_H
#define TALLORY_FORMATS_AIFF_AIFF_SOURCE_H

#include <cstdio>
#include <string>

#include "core/source_base.h"

namespace tallory::formats::aiff {

class AiffSource : public core::SourceBase {
public:
    AiffSource();
    ~AiffSource() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Run(IConvSink* sink) override;
    bool Close() override;

    // The four-character compression type of the file ("NONE" for AIFF).
    const std::string& compressionType() const { return compression_; }

private:
    bool openFile();

    std::FILE* file_ = nullptr;
    std::string compression_;
    bool littleEndian_ = false;  // "sowt": samples already in PCM byte order
    uint32_t bytesPerSample_ = 0;
};

IUnknown* createAiffSource();

}  // namespace tallory::formats::aiff

#endif
