// The AIFF target: writes PCM as an uncompressed big-endian AIFF file.
#ifndef TALLORY_FORMATS_AIFF_AIFF_TARGET_H
#define TALLORY_FORMATS_AIFF_AIFF_TARGET_H

#include <cstdio>
#include <vector>

#include "core/target_base.h"
#include "formats/aiff/aiff_chunks.h"

namespace tallory::formats::aiff {

class AiffTarget : public core::TargetBase {
public:
    AiffTarget();
    ~AiffTarget() override;

    bool GetClassId(CLSID* classId) override;
    bool Open() override;
    bool Write(uint32_t byteCount, const void* data) override;
    bool Close() override;
    bool EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) override;
    bool ShowSettings(HWND parent, IConvTarget** others) override;

private:
    bool writeComm(uint32_t frames);

    std::FILE* file_ = nullptr;
    AiffChunk form_, comm_, ssnd_;
    uint64_t byteCount_ = 0;
    std::vector<uint8_t> partial_;  // the start of a sample that the last Write cut
};

IUnknown* createAiffTarget();

}  // namespace tallory::formats::aiff

#endif
