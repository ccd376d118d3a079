// From what the transport reports to the engine's error codes: request,
// adapter and target status as the ASPI-era layer saw them, then the code.
#ifndef TALLORY_CD_ENGINE_SCSI_STATUS_MAP_H
#define TALLORY_CD_ENGINE_SCSI_STATUS_MAP_H

#include <cstdint>

#include "platform/scsi/scsi_transport.h"
#include "platform/scsi/sense.h"

namespace tallory::cd::engine::scsi {

// Request status values (1 done, 2 aborted, 4 error, 0x80.. invalid requests,
// 0xE0.. manager faults) and adapter status values (0x09 timeout ... 0x14).
struct RequestStatus {
    uint8_t request = 1;
    uint8_t adapter = 0;
    uint8_t target = 0;
    platform::scsi::SenseInfo sense;
};

RequestStatus requestStatusOf(const platform::scsi::ScsiResult& result);
// 0 for success, else the engine code (-5 .. -49).
int32_t statusToCode(const RequestStatus& status);

}  // namespace tallory::cd::engine::scsi

#endif
