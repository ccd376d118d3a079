// CD/DVD devices the kernel knows, found through sysfs: /sys/class/block/srN
// whose device link ends in host:channel:target:lun, with the vendor, model
// and revision the kernel read by INQUIRY.
#ifndef TALLORY_PLATFORM_SCSI_SYSFS_SCAN_H
#define TALLORY_PLATFORM_SCSI_SYSFS_SCAN_H

#include <string>
#include <vector>

#include "platform/scsi/scsi_transport.h"

namespace tallory::platform::scsi {

struct SysfsDevice {
    int number = 0;              // N of srN
    std::string node;            // "/dev/srN"
    ScsiAddress address;
    std::string vendor, model, revision;
    int type = -1;               // peripheral type from sysfs, -1 unknown
    std::string adapter;         // the host's driver name (proc_name), e.g. "ahci"
};

// Devices in order of N. `sysRoot` is "/sys" except in tests.
std::vector<SysfsDevice> scanSysfs(const std::string& sysRoot = "/sys", const std::string& devRoot = "/dev");

}  // namespace tallory::platform::scsi

#endif
