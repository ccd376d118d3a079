// An image file as the ISO9660 writer's sink: written under a hidden name in
// the destination folder and renamed over the destination only when complete.
#ifndef TALLORY_CD_RECORDING_ISO_FILE_SINK_H
#define TALLORY_CD_RECORDING_ISO_FILE_SINK_H

#include <cstdio>
#include <string>

#include "cd/engine/iso_image.h"

namespace tallory::cd::recording {

class IsoFileSink : public engine::IsoSectorSink {
public:
    // Throws EngineError -109 when the file cannot be created.
    explicit IsoFileSink(const std::string& destination);
    ~IsoFileSink() override;  // removes the partial file unless committed
    IsoFileSink(const IsoFileSink&) = delete;
    IsoFileSink& operator=(const IsoFileSink&) = delete;

    void writeSectors(const uint8_t* data, uint32_t count) override;  // -113 on a failed write
    // Flushes, closes and renames into place; throws -113 on failure.
    void commit();

private:
    std::string destination_;
    std::string temporary_;
    std::FILE* file_ = nullptr;
    bool committed_ = false;
};

}  // namespace tallory::cd::recording

#endif
