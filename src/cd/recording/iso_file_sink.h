// An image file as the ISO9660 writer's sink: written under a hidden name in
// the destination folder and renamed over the destination only when complete.
#ifndef TALLORY_CD_RECORDING_ISO_FILE_SINK_H
#define TALLORY_CD_RECORDING_ISO_FILE_SINK_H

#include <cstdint>
#include <string>

#include "cd/engine/iso_image.h"
#include "cd/engine/iso_verify.h"

namespace tallory::cd::recording {

class IsoFileSink : public engine::IsoSectorSink {
public:
    // Throws EngineError -109 when the file cannot be created.
    explicit IsoFileSink(const std::string& destination);
    ~IsoFileSink() override;  // removes the partial file unless committed
    IsoFileSink(const IsoFileSink&) = delete;
    IsoFileSink& operator=(const IsoFileSink&) = delete;

    void writeSectors(const uint8_t* data, uint32_t count) override;  // -113 on a failed write
    // copy_file_range: the kernel copies between the page caches, the data never
    // passes through our buffers. 0 where the file systems cannot (the writer then reads).
    uint64_t copyFromFile(int fd, uint64_t offset, uint64_t bytes) override;
    // Throws -113 when the destination's file system has less than `bytes` free.
    void reserve(uint64_t bytes);
    // Flushes, closes and renames into place; throws -113 on failure.
    void commit();

private:
    std::string destination_;
    std::string temporary_;
    int fd_ = -1;
    uint64_t written_ = 0;  // bytes; every write goes to this offset
    bool copyWorks_ = true;
    bool committed_ = false;
};

// An image file read back sector by sector, for the verifier.
class IsoFileReader {
public:
    IsoFileReader() = default;
    ~IsoFileReader();
    IsoFileReader(const IsoFileReader&) = delete;
    IsoFileReader& operator=(const IsoFileReader&) = delete;

    // False, with the reason in `why`, when the file cannot be opened.
    bool open(const std::string& path, std::string* why);
    // Whole sectors in the file (a partial last sector reads as zero-filled).
    uint32_t sectors() const { return sectors_; }
    // A reader over the open file; valid while this object lives.
    engine::IsoBlockReader blockReader();

private:
    int fd_ = -1;
    uint32_t sectors_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace tallory::cd::recording

#endif
