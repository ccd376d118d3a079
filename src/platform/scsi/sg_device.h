// A real drive through the Linux SG_IO ioctl on its block node (/dev/srN),
// opened read-write and non-blocking (read-only as a fallback).
#ifndef TALLORY_PLATFORM_SCSI_SG_DEVICE_H
#define TALLORY_PLATFORM_SCSI_SG_DEVICE_H

#include <memory>
#include <mutex>
#include <string>

#include "platform/scsi/scsi_transport.h"

namespace tallory::platform::scsi {

class SgDevice final : public ScsiTransport {
public:
    // Null with `error` set when the node cannot be opened.
    static std::unique_ptr<SgDevice> open(const std::string& node, ScsiAddress address, std::string* error);
    ~SgDevice() override;
    ScsiResult execute(const ScsiCommand& command) override;
    uint32_t maxTransferLength() const override { return maxTransfer_; }
    ScsiAddress address() const override { return address_; }
    std::string devicePath() const override { return node_; }

private:
    SgDevice(int fd, std::string node, ScsiAddress address, uint32_t maxTransfer)
        : fd_(fd), node_(std::move(node)), address_(address), maxTransfer_(maxTransfer) {}
    int fd_;
    std::string node_;
    ScsiAddress address_;
    uint32_t maxTransfer_;
    std::mutex mutex_;
};

}  // namespace tallory::platform::scsi

#endif
