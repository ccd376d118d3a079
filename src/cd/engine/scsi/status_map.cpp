#include "cd/engine/scsi/status_map.h"

#include <cerrno>

namespace tallory::cd::engine::scsi {

using platform::scsi::HostStatus;
using platform::scsi::ScsiResult;

RequestStatus requestStatusOf(const ScsiResult& r) {
    RequestStatus s;
    if (r.transportError != 0) {
        switch (r.transportError) {
            case ENOMEM:
            case E2BIG:
            case EOVERFLOW: s.request = 0xE6; break;  // buffer too big
            case ENODEV:
            case ENXIO:
            case ENOENT: s.request = 0x82; break;     // no such device
            case EINVAL: s.request = 0x80; break;     // invalid request
            case EBUSY: s.request = 0xE5; break;      // busy
            case ETIMEDOUT: s.request = 4; s.adapter = 0x09; break;
            default: s.request = 0xFF; break;
        }
        return s;
    }
    s.target = r.status;
    s.sense = platform::scsi::parseSense(r.senseBytes());
    switch (r.hostStatus) {
        case HostStatus::Ok: s.adapter = 0x00; break;
        case HostStatus::NoConnect:
        case HostStatus::BadTarget: s.adapter = 0x11; break;
        case HostStatus::BusBusy: s.adapter = 0x14; break;
        case HostStatus::TimeOut: s.adapter = 0x09; break;
        case HostStatus::Abort: s.request = 2; return s;
        case HostStatus::Parity: s.adapter = 0x0F; break;
        case HostStatus::Error: s.adapter = 0x12; break;
        case HostStatus::Reset: s.adapter = 0x0E; break;
        default: s.adapter = 0x14; break;
    }
    s.request = (r.status == 0 && s.adapter == 0 && r.driverStatus == 0) ? 1 : 4;
    return s;
}

int32_t statusToCode(const RequestStatus& s) {
    switch (s.request) {
        case 1: return 0;
        case 2: return -5;
        case 3: return -6;
        case 0x80: return -7;
        case 0x81: return -8;
        case 0x82: return -9;
        case 4: break;
        default:
            if (s.request >= 0xE0 && s.request <= 0xE9) return -10 - (s.request - 0xE0);
            return -20;
    }
    switch (s.target) {
        case 0x00:
            switch (s.adapter) {
                case 0x09: return -24;
                case 0x0B: return -25;
                case 0x0D: return -26;
                case 0x0E: return -27;
                case 0x0F: return -28;
                case 0x10: return -29;
                case 0x11: return -30;
                case 0x12: return 0;  // over/underrun: reads check the residue themselves
                case 0x13: return -32;
                case 0x14: return -33;
                case 0x00: return -20;
                default: return -34;
            }
        case 0x02:
            if (!s.sense.valid) return -29;  // check condition without sense data
            switch (s.sense.key) {
                case 0x1: return 0;
                case 0x2: return -39;
                case 0x3: return -40;
                case 0x4: return -41;
                case 0x5: return -42;
                case 0x6: return -43;
                case 0x8: return -44;
                case 0x9: return -45;
                case 0xB: return -46;
                case 0xD: return -47;
                default:
                    // DATA PROTECT, COPY ABORTED, MISCOMPARE and the rest are
                    // failures too, never success.
                    return s.sense.endOfMedium ? -48 : -49;
            }
        case 0x08: return -35;
        case 0x18: return -36;
        default: return -37;
    }
}

}  // namespace tallory::cd::engine::scsi
