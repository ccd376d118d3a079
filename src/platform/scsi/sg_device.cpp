#include "platform/scsi/sg_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tallory::platform::scsi {

std::unique_ptr<SgDevice> SgDevice::open(const std::string& node, ScsiAddress address, std::string* error) {
    int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error != nullptr) *error = "cannot open " + node + ": " + std::strerror(errno);
        return nullptr;
    }
    int version = 0;
    if (::ioctl(fd, SG_GET_VERSION_NUM, &version) < 0 || version < 30000) {
        if (error != nullptr) *error = node + " does not take SG_IO commands";
        ::close(fd);
        return nullptr;
    }
    // The queue's limit in 512-byte sectors; 64 KiB when the kernel does not say.
    unsigned short sectors = 0;
    uint32_t maxTransfer = 65536;
    if (::ioctl(fd, BLKSECTGET, &sectors) == 0 && sectors > 0) maxTransfer = uint32_t(sectors) * 512u;
    return std::unique_ptr<SgDevice>(new SgDevice(fd, node, address, maxTransfer));
}

SgDevice::~SgDevice() { ::close(fd_); }

ScsiResult SgDevice::execute(const ScsiCommand& command) {
    ScsiResult result;
    if (command.cdb.empty() || command.cdb.size() > 16) {
        result.transportError = EINVAL;
        return result;
    }
    if (command.dataLength > maxTransfer_) {
        result.transportError = ENOMEM;
        return result;
    }
    sg_io_hdr_t io{};
    uint8_t cdb[16];
    std::memcpy(cdb, command.cdb.data(), command.cdb.size());
    io.interface_id = 'S';
    io.cmdp = cdb;
    io.cmd_len = uint8_t(command.cdb.size());
    io.dxferp = command.data;
    io.dxfer_len = command.dataLength;
    io.dxfer_direction = command.direction == DataDirection::FromDevice ? SG_DXFER_FROM_DEV
                         : command.direction == DataDirection::ToDevice ? SG_DXFER_TO_DEV
                                                                        : SG_DXFER_NONE;
    if (command.dataLength == 0) io.dxfer_direction = SG_DXFER_NONE;
    io.sbp = result.sense.data();
    io.mx_sb_len = uint8_t(result.sense.size());
    io.timeout = command.timeoutMs;
    std::lock_guard lock(mutex_);
    int rc;
    do {
        rc = ::ioctl(fd_, SG_IO, &io);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        result.transportError = errno;
        return result;
    }
    result.status = io.status;
    result.hostStatus = HostStatus(io.host_status);
    result.driverStatus = uint8_t(io.driver_status & ~0x08);  // DRIVER_SENSE only says sense is there
    result.senseLength = io.sb_len_wr;
    result.residue = io.resid > 0 ? uint32_t(io.resid) : 0;
    result.durationMs = io.duration;
    return result;
}

}  // namespace tallory::platform::scsi
