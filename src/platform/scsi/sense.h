// Sense data: decoding of fixed (70h/71h) and descriptor (72h/73h) formats
// (SPC-4 4.5) and building of fixed-format sense for the simulated drive.
#ifndef TALLORY_PLATFORM_SCSI_SENSE_H
#define TALLORY_PLATFORM_SCSI_SENSE_H

#include <cstdint>
#include <span>
#include <string>

namespace tallory::platform::scsi {

// Sense keys (SPC-4 table 49).
enum SenseKey : uint8_t {
    kSenseNoSense = 0x0,
    kSenseRecoveredError = 0x1,
    kSenseNotReady = 0x2,
    kSenseMediumError = 0x3,
    kSenseHardwareError = 0x4,
    kSenseIllegalRequest = 0x5,
    kSenseUnitAttention = 0x6,
    kSenseDataProtect = 0x7,
    kSenseBlankCheck = 0x8,
    kSenseVendorSpecific = 0x9,
    kSenseCopyAborted = 0xA,
    kSenseAbortedCommand = 0xB,
    kSenseVolumeOverflow = 0xD,
    kSenseMiscompare = 0xE,
};

struct SenseInfo {
    bool valid = false;        // a response code this decoder knows, enough bytes for the key
    bool deferred = false;     // response code 71h/73h: about an earlier command
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    bool endOfMedium = false;  // EOM bit (fixed byte 2 bit 6)
    bool illegalLength = false;
    bool infoValid = false;
    uint64_t information = 0;  // e.g. the LBA of an unreadable sector
};

// Never reads past `bytes`; an additional length larger than the buffer is cut
// to what is there.
SenseInfo parseSense(std::span<const uint8_t> bytes) noexcept;

// 18 bytes of fixed-format current sense.
inline constexpr std::size_t kFixedSenseBytes = 18;
void buildFixedSense(uint8_t* out, uint8_t key, uint8_t asc, uint8_t ascq, bool infoValid = false,
                     uint32_t information = 0) noexcept;

// "MEDIUM ERROR 11h/00h" style text for logs.
std::string describeSense(const SenseInfo& sense);

}  // namespace tallory::platform::scsi

#endif
