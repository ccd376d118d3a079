// One drive as the engine sees it: its device record (identity from INQUIRY,
// class and capabilities from GET CONFIGURATION and the capabilities page)
// and the commands of the reading side. Every failure raises EngineError.
#ifndef TALLORY_CD_ENGINE_SCSI_DEVICE_H
#define TALLORY_CD_ENGINE_SCSI_DEVICE_H

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cd/engine/scsi/engine_error.h"
#include "cd/engine/scsi/status_map.h"
#include "platform/scsi/scsi_transport.h"

namespace tallory::cd::engine::scsi {

// Peripheral types of the device record.
inline constexpr uint8_t kDeviceDisk = 0;
inline constexpr uint8_t kDeviceRecorder = 4;
inline constexpr uint8_t kDeviceReader = 5;
inline constexpr uint8_t kDeviceTransporter = 8;

// Model feature flags.
inline constexpr uint32_t kFeatureReadsCdda = 1u << 0;       // READ CD of audio sectors (capability bit 1)
inline constexpr uint32_t kFeatureWritesDao = 1u << 1;       // disc-at-once writing (capability bit 2)
inline constexpr uint32_t kFeatureJitterCorrection = 1u << 6; // reading audio needs jitter correction
inline constexpr uint32_t kFeatureDataReadCd = 1u << 8;      // data sectors through READ CD
// Capability flags.
inline constexpr uint32_t kCapabilityBufferUnderrun = 0x400;
inline constexpr uint32_t kCapabilityCdText = 0x200;

struct DeviceRecord {
    uint8_t peripheralType = kDeviceReader;
    uint8_t modelClass = 1;
    uint8_t hostAdapter = 0;
    uint8_t target = 0;
    uint8_t lun = 0;
    char vendor[9] = {};
    char product[17] = {};
    char revision[5] = {};
    uint32_t featureFlags = 0;
    uint32_t sectorSize = 2352;
    uint32_t capabilityFlags = 0;
    int maxSpeedIndex = 0;        // highest write speed as a multiple of 1x (176 kB/s)
    uint16_t maxReadSpeedKBs = 0;
    uint16_t maxWriteSpeedKBs = 0;
    int readOffset = 0;           // from the quirk table; 0 when unknown
};

// A track entry of READ TOC format 0.
struct TocEntry {
    uint8_t control = 0;
    uint8_t track = 0;
    int32_t lba = 0;
};

class Device {
public:
    Device(std::shared_ptr<platform::scsi::ScsiTransport> transport, DeviceRecord record, uint32_t transferSize);
    const DeviceRecord& record() const { return record_; }
    platform::scsi::ScsiTransport& transport() { return *transport_; }
    std::string devicePath() const { return transport_->devicePath(); }
    uint32_t transferSize() const { return transferSize_; }

    // Sends one command; on failure raises -105 with the command name and the
    // device error (code with request, adapter, target status, key, ASC, ASCQ)
    // as detail. `requireFull`: a residue or overrun is a failure (-31).
    // One UNIT ATTENTION is retried: it reports a state change, not a fault.
    platform::scsi::ScsiResult command(const char* name, std::span<const uint8_t> cdb,
                                       platform::scsi::DataDirection direction, uint8_t* data, uint32_t length,
                                       bool requireFull);
    // The same without raising: 0 or the engine code; `detail` gets the six values.
    int32_t tryCommand(std::span<const uint8_t> cdb, platform::scsi::DataDirection direction, uint8_t* data,
                       uint32_t length, bool requireFull, uint32_t detail[6]);

    // READ TOC format 0 into `out` (804 bytes, the first `*length` valid).
    void readToc(uint8_t* out, uint32_t capacity, uint32_t* length);
    // SET CD SPEED: -1 or 0 the drive's maximum, else that many times 1x.
    void setSpeed(int speed);
    // One attempt of READ CD for CD-DA sectors; 0 or the engine code, the
    // device error in detail. A short transfer is a failure.
    int32_t readAudio(int32_t lba, uint32_t count, uint8_t* out, uint32_t detail[6]);
    bool testUnitReady();

private:
    std::shared_ptr<platform::scsi::ScsiTransport> transport_;
    DeviceRecord record_;
    uint32_t transferSize_;
};

// Decodes a READ TOC format 0 answer, checked: 1 <= first <= last <= 99,
// entries inside both the returned length and the buffer, track numbers
// first..last in order with increasing starts, then the lead-out (AAh).
// False with a reason when the answer is not a sound table.
bool parseToc(std::span<const uint8_t> data, std::vector<TocEntry>& entries, int* first, int* last,
              std::string* reason);

}  // namespace tallory::cd::engine::scsi

#endif
