// One SCSI command at a time to one device: the stand-in for the ASPI manager's
// "execute SCSI I/O" request. Backends: Linux SG_IO (sg_device) and the
// in-process simulated MMC drive (sim_drive).
#ifndef TALLORY_PLATFORM_SCSI_SCSI_TRANSPORT_H
#define TALLORY_PLATFORM_SCSI_SCSI_TRANSPORT_H

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace tallory::platform::scsi {

enum class DataDirection : uint8_t {
    None,        // no data phase
    FromDevice,  // device to host (reads, INQUIRY ...)
    ToDevice,    // host to device (writes, MODE SELECT, SEND CUE SHEET ...)
};

// SCSI status byte values (SAM-5 5.3).
inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;
inline constexpr uint8_t kStatusBusy = 0x08;
inline constexpr uint8_t kStatusReservationConflict = 0x18;

// Host status as Linux reports it (DID_* of <scsi/scsi.h>); the simulated
// drive uses the same values so that callers see one vocabulary.
enum class HostStatus : uint8_t {
    Ok = 0x00,
    NoConnect = 0x01,
    BusBusy = 0x02,
    TimeOut = 0x03,
    BadTarget = 0x04,
    Abort = 0x05,
    Parity = 0x06,
    Error = 0x07,  // also: the device sent more data than the buffer holds
    Reset = 0x08,
};

// Fixed-format sense data is at most 252 bytes (SPC-4 4.5.3); 64 holds every
// field this layer reads and what Linux sg returns by default.
inline constexpr std::size_t kMaxSenseBytes = 64;

struct ScsiCommand {
    std::span<const uint8_t> cdb;  // 6, 10, 12 or 16 bytes
    DataDirection direction = DataDirection::None;
    uint8_t* data = nullptr;       // FromDevice: filled; ToDevice: sent
    uint32_t dataLength = 0;       // bytes of the buffer (allocation length of the data phase)
    uint32_t timeoutMs = 30000;
};

struct ScsiResult {
    // Non-zero (an errno value) when the command could not be issued at all;
    // then no other field means anything.
    int transportError = 0;
    uint8_t status = kStatusGood;
    HostStatus hostStatus = HostStatus::Ok;
    uint8_t driverStatus = 0;      // Linux DRIVER_* bits; 0 from the simulated drive
    uint8_t senseLength = 0;
    std::array<uint8_t, kMaxSenseBytes> sense{};
    uint32_t residue = 0;          // bytes of the data phase not transferred
    uint32_t durationMs = 0;

    bool good() const {
        return transportError == 0 && status == kStatusGood && hostStatus == HostStatus::Ok && driverStatus == 0;
    }
    // Bytes actually moved for a buffer of `length` bytes.
    uint32_t transferred(uint32_t length) const { return residue >= length ? 0 : length - residue; }
    std::span<const uint8_t> senseBytes() const { return {sense.data(), senseLength}; }
};

// Bus position of a device: Linux host:channel:target:lun (sysfs) or the
// simulated drive's chosen numbers.
struct ScsiAddress {
    uint32_t host = 0;
    uint32_t channel = 0;
    uint32_t target = 0;
    uint32_t lun = 0;
    bool operator==(const ScsiAddress&) const = default;
};

// A device that executes commands. Calls on one transport are serialised by
// the implementation; a transport may be used from any thread.
class ScsiTransport {
public:
    virtual ~ScsiTransport() = default;
    virtual ScsiResult execute(const ScsiCommand& command) = 0;
    // The largest data phase one command may carry (bytes).
    virtual uint32_t maxTransferLength() const = 0;
    virtual ScsiAddress address() const = 0;
    // The device node ("/dev/sr0") or, for a simulated drive, the image path.
    virtual std::string devicePath() const = 0;
};

}  // namespace tallory::platform::scsi

#endif
