// The engine's device layer: finds the drives (sysfs and SG_IO, or the
// simulated drives a caller put in place), classifies each by INQUIRY, GET
// CONFIGURATION and the capabilities page, and keeps the device records.
#ifndef TALLORY_CD_ENGINE_SCSI_SCSI_LAYER_H
#define TALLORY_CD_ENGINE_SCSI_SCSI_LAYER_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cd/engine/scsi/device.h"

namespace tallory::cd::engine::scsi {

struct FoundTransport {
    std::shared_ptr<platform::scsi::ScsiTransport> transport;
    std::string adapterName;  // the host's driver ("ahci", "usb-storage"), "" unknown
};
using DeviceProvider = std::function<std::vector<FoundTransport>()>;

// Where the next start looks for devices. Empty: the system's drives through
// sysfs. Tests and `--image` put simulated drives here. Process-wide.
void setDeviceProvider(DeviceProvider provider);
DeviceProvider deviceProvider();

struct HostAdapter {
    uint32_t number = 0;
    char managerId[17] = "Linux SG_IO";
    char adapterId[17] = {};
    std::vector<DeviceRecord> devices;
};

// One row of our quirk table: what INQUIRY and the feature lists do not tell.
struct ModelQuirk {
    const char* vendor;
    const char* productPrefix;
    int readOffset;           // samples, as published drive offset lists give it
    bool accurateStream;      // repositions exactly: no jitter correction needed
};
const ModelQuirk* findQuirk(const char* vendor, const char* product);

// Classifies one transport; false when it is not a device to keep (no
// answer, a peripheral qualifier other than 0, a type that is skipped).
bool classifyDevice(platform::scsi::ScsiTransport& transport, const std::string& adapterName, DeviceRecord& record);

class ScsiLayer {
public:
    // Scans; raises EngineError -1 when no device source can be used.
    static std::unique_ptr<ScsiLayer> start(uint32_t transferSize);
    ~ScsiLayer();
    const std::vector<HostAdapter>& adapters() const { return adapters_; }
    const std::vector<std::shared_ptr<Device>>& devices() const { return devices_; }
    uint32_t transferSize() const { return transferSize_; }

private:
    ScsiLayer() = default;
    uint32_t transferSize_ = 65000;
    std::vector<HostAdapter> adapters_;
    std::vector<std::shared_ptr<Device>> devices_;
};

}  // namespace tallory::cd::engine::scsi

#endif
