// The CD parsers of outside input on any bytes. The first byte picks one:
// 0 READ TOC answers, 1 sense data, 2 cue sheets, 3 a device's answers to
// INQUIRY, GET CONFIGURATION and MODE SENSE during classification.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cd/engine/scsi/device.h"
#include "cd/engine/scsi/scsi_layer.h"
#include "platform/scsi/cue_image.h"
#include "platform/scsi/sense.h"

namespace {

namespace ps = tallory::platform::scsi;

// A device that answers every command with the same bytes.
class EchoTransport final : public ps::ScsiTransport {
public:
    EchoTransport(const uint8_t* data, std::size_t size) : bytes_(data, data + size) {}
    ps::ScsiResult execute(const ps::ScsiCommand& c) override {
        ps::ScsiResult r;
        const std::size_t n = std::min<std::size_t>(c.dataLength, bytes_.size());
        if (c.data != nullptr && n > 0) std::memcpy(c.data, bytes_.data(), n);
        r.residue = uint32_t(c.dataLength - n);
        return r;
    }
    uint32_t maxTransferLength() const override { return 65536; }
    ps::ScsiAddress address() const override { return {}; }
    std::string devicePath() const override { return "fuzz"; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t which = data[0] % 4;
    ++data;
    --size;
    if (which == 0) {
        std::vector<tallory::cd::engine::scsi::TocEntry> entries;
        int first = 0, last = 0;
        std::string why;
        tallory::cd::engine::scsi::parseToc({data, size}, entries, &first, &last, &why);
    } else if (which == 1) {
        const ps::SenseInfo s = ps::parseSense({data, size});
        (void)ps::describeSense(s);
    } else if (which == 2) {
        const std::string text(reinterpret_cast<const char*>(data), size);
        auto opener = [](const std::string&, std::string*) -> std::shared_ptr<ps::SectorStore> {
            return std::make_shared<ps::MemorySectorStore>(std::vector<uint8_t>(2352 * 40));
        };
        auto r = ps::parseCueSheet(text, opener);
        if (r.disc) {
            uint8_t sector[2352];
            for (const auto& t : r.disc->tracks) r.disc->readRawSector(t.startLba, sector);
        }
    } else {
        EchoTransport t(data, size);
        tallory::cd::engine::scsi::DeviceRecord rec;
        tallory::cd::engine::scsi::classifyDevice(t, "ahci", rec);
    }
    return 0;
}
