// An in-process MMC drive over a DiscModel, as strict as a real one: CDB
// lengths and fields checked, ILLEGAL REQUEST with the proper ASC/ASCQ,
// NOT READY and UNIT ATTENTION sequences, allocation lengths honoured with a
// residue. Faults can be seeded: sample jitter, unreadable sectors, short
// transfers, unit attentions. Commands are a table of handlers by operation
// code, so a recorder adds its own (sim_recorder.cpp) with registerCommand.
#ifndef TALLORY_PLATFORM_SCSI_SIM_DRIVE_H
#define TALLORY_PLATFORM_SCSI_SIM_DRIVE_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/scsi/disc_model.h"
#include "platform/scsi/scsi_transport.h"
#include "platform/scsi/sense.h"

namespace tallory::platform::scsi {

struct SimDriveIdentity {
    std::string vendor = "TALLORY";     // INQUIRY 8-15, blank padded
    std::string product = "SIMULATED CD";  // 16-31
    std::string revision = "1.0";        // 32-35
    uint8_t peripheralType = 0x05;       // CD/DVD device
    uint8_t peripheralQualifier = 0;     // non-zero: not a device at this LUN
    bool recorder = false;               // CD-R writing in GET CONFIGURATION and page 2Ah
    bool bufferUnderrunProtection = false;
    bool cdTextWriting = false;
    uint16_t maxReadSpeedKBs = 7056;     // 40x (176.4 kB/s per x, MMC rounds to 176)
    uint16_t maxWriteSpeedKBs = 0;
    uint16_t bufferKB = 2048;
    uint32_t maxTransferBytes = 65536 * 2;  // like a typical sg limit
    ScsiAddress address{};
    std::string devicePath = "sim:";
};

struct SimFaults {
    uint32_t seed = 1;
    // Share (0..1) of audio READ CD commands that start off position, by a
    // uniform whole number of stereo samples in [-jitterMaxSamples, jitterMaxSamples].
    double jitterShare = 0;
    int jitterMaxSamples = 0;
    // The smallest size of a jitter that happens (0: any).
    int jitterMinSamples = 0;
    // The drive's read offset as rippers state it: the correction to apply.
    // What it returns for LBA n starts readOffsetSamples samples early.
    int readOffsetSamples = 0;
    // Sectors that always fail with MEDIUM ERROR 11h/00h (unrecovered read error).
    std::set<int32_t> badSectors;
    // Sectors that fail this many times, then read.
    std::map<int32_t, int> flakySectors;
    // Share of READ CD commands that move fewer sectors than asked, GOOD
    // status with a residue (a misbehaving bridge).
    double shortReadShare = 0;
    // Every n-th command (0: never) meets a UNIT ATTENTION 29h/00h (reset).
    int unitAttentionEvery = 0;
    // After a disc is loaded: commands needing the medium answer NOT READY
    // 04h/01h (becoming ready) this many times.
    int becomingReadyCommands = 0;
};

class SimulatedDrive;

// One command being executed, handed to a handler.
class SimCommand {
public:
    SimCommand(SimulatedDrive& drive, const ScsiCommand& command, ScsiResult& result)
        : drive_(drive), command_(command), result_(result) {}
    SimulatedDrive& drive() { return drive_; }
    const ScsiCommand& command() const { return command_; }
    uint8_t cdb(std::size_t i) const { return i < command_.cdb.size() ? command_.cdb[i] : 0; }
    uint16_t cdb16(std::size_t i) const { return uint16_t((cdb(i) << 8) | cdb(i + 1)); }
    uint32_t cdb24(std::size_t i) const { return (uint32_t(cdb(i)) << 16) | (uint32_t(cdb(i + 1)) << 8) | cdb(i + 2); }
    uint32_t cdb32(std::size_t i) const { return (uint32_t(cdb16(i)) << 16) | cdb16(i + 2); }
    // CHECK CONDITION with fixed sense; the command ends there.
    void fail(uint8_t key, uint8_t asc, uint8_t ascq, bool infoValid = false, uint32_t information = 0);
    void invalidField() { fail(0x05, 0x24, 0x00); }
    bool failed() const { return failed_; }
    // Device-to-host data phase: `bytes` cut to `allocationLength` and to the
    // host's buffer; residue set. Sending more than the buffer holds is an
    // overrun (host status Error), as the HBA reports it.
    void sendData(const uint8_t* bytes, std::size_t length, std::size_t allocationLength);
    // Host-to-device data phase: at most `expected` bytes; false (and
    // ILLEGAL REQUEST 24h/00h, parameter list) when the host sent fewer.
    bool receiveData(std::vector<uint8_t>& out, std::size_t expected);
    ScsiResult& result() { return result_; }

private:
    SimulatedDrive& drive_;
    const ScsiCommand& command_;
    ScsiResult& result_;
    bool failed_ = false;
};

struct SimCommandEntry {
    uint8_t opcode = 0;
    uint8_t cdbLength = 0;          // checked against the CDB handed in
    const char* name = "";
    bool needsMedium = false;       // NOT READY without a (ready) disc
    bool reportsUnitAttention = true;  // INQUIRY, REQUEST SENSE, GET CONFIGURATION do not (MMC-6 4.1.6.1)
    std::function<void(SimCommand&)> run;
};

class SimulatedDrive final : public ScsiTransport {
public:
    explicit SimulatedDrive(SimDriveIdentity identity = {}, SimFaults faults = {});
    ~SimulatedDrive() override;

    ScsiResult execute(const ScsiCommand& command) override;
    uint32_t maxTransferLength() const override { return identity_.maxTransferBytes; }
    ScsiAddress address() const override { return identity_.address; }
    std::string devicePath() const override { return identity_.devicePath; }

    // Adds or replaces the handler of an operation code.
    void registerCommand(SimCommandEntry entry);

    // Puts a disc in and closes the tray (UNIT ATTENTION 28h/00h follows);
    // null leaves the drive empty with the tray closed.
    void loadDisc(std::shared_ptr<DiscModel> disc);
    void ejectDisc();
    std::shared_ptr<DiscModel> disc() const;

    const SimDriveIdentity& identity() const { return identity_; }
    SimFaults& faults() { return faults_; }
    // Current read/write speed in kB/s as set by SET CD SPEED.
    uint16_t readSpeedKBs() const { return readSpeed_; }
    uint16_t writeSpeedKBs() const { return writeSpeed_; }
    uint64_t commandCount() const { return commands_; }
    uint64_t sectorsRead() const { return sectorsRead_; }
    // Queues a unit attention condition (key 6) for the next command that reports it.
    void queueUnitAttention(uint8_t asc, uint8_t ascq);
    // Feature descriptors of GET CONFIGURATION past the reader's own; a
    // recorder appends its features here (each a complete descriptor).
    std::vector<std::vector<uint8_t>>& extraFeatures() { return extraFeatures_; }
    // Under the drive lock: handlers run with it held already.
    std::mt19937& random() { return rng_; }

    // The built-in commands (reader side); public so that a recorder may
    // wrap one.
    void inquiry(SimCommand& c);
    void testUnitReady(SimCommand& c);
    void requestSense(SimCommand& c);
    void readToc(SimCommand& c);
    void readSubChannel(SimCommand& c);
    void readCd(SimCommand& c);
    void read10(SimCommand& c);
    void readCapacity(SimCommand& c);
    void setCdSpeed(SimCommand& c);
    void modeSense10(SimCommand& c);
    void getConfiguration(SimCommand& c);
    void startStopUnit(SimCommand& c);
    void preventAllow(SimCommand& c);

private:
    bool checkReady(SimCommand& c);
    void readAudioSectors(SimCommand& c, int32_t lba, uint32_t count, uint32_t bytesPerSector, bool c2, int subchannel);

    SimDriveIdentity identity_;
    SimFaults faults_;
    mutable std::mutex mutex_;
    std::array<SimCommandEntry, 256> commands_table_{};
    std::shared_ptr<DiscModel> disc_;
    std::vector<std::pair<uint8_t, uint8_t>> unitAttentions_;
    int notReadyLeft_ = 0;
    bool trayOpen_ = false;
    bool preventRemoval_ = false;
    std::array<uint8_t, kFixedSenseBytes> lastSense_{};
    uint16_t readSpeed_ = 0;
    uint16_t writeSpeed_ = 0;
    uint64_t commands_ = 0;
    uint64_t sectorsRead_ = 0;
    std::mt19937 rng_;
    std::vector<std::vector<uint8_t>> extraFeatures_;
};

}  // namespace tallory::platform::scsi

#endif
