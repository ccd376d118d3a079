// The recorder side's parsers of outside input on any bytes. The first byte
// picks one: 0 lead-in R-W subcode gathered into CD-TEXT packs and decoded,
// 1 CD-TEXT packs decoded, 2 a recorder's answers (GET CONFIGURATION, MODE
// SENSE, READ DISC INFORMATION, READ TRACK INFORMATION) read by the MMC
// recorder class.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cd/engine/dao_writer.h"
#include "cd/engine/engine_error.h"
#include "platform/scsi/cd_text_packs.h"

namespace {

namespace ps = tallory::platform::scsi;

// A device that answers every command with the same bytes.
class EchoTransport final : public ps::ScsiTransport {
public:
    EchoTransport(const uint8_t* data, std::size_t size) : bytes_(data, data + size) {}
    ps::ScsiResult execute(const ps::ScsiCommand& c) override {
        ps::ScsiResult r;
        const std::size_t n = c.direction == ps::DataDirection::FromDevice ? std::min<std::size_t>(c.dataLength, bytes_.size()) : 0;
        if (c.data != nullptr && n > 0) std::memcpy(c.data, bytes_.data(), n);
        r.residue = c.direction == ps::DataDirection::FromDevice ? uint32_t(c.dataLength - n) : 0;
        return r;
    }
    uint32_t maxTransferLength() const override { return 65536; }
    ps::ScsiAddress address() const override { return {}; }
    std::string devicePath() const override { return "echo"; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::span<const uint8_t> rest(data + 1, size - 1);
    switch (data[0] % 3) {
        case 0: {
            const auto packs = ps::gatherCdTextPacks(rest);
            (void)ps::decodeCdTextPacks(packs);
            break;
        }
        case 1:
            (void)ps::decodeCdTextPacks(rest);
            break;
        default: {
            EchoTransport echo(rest.data(), rest.size());
            tallory::cd::engine::MmcRecorderDrive drive(echo);
            (void)drive.capabilities();
            try {
                (void)drive.leadInStart();
            } catch (const tallory::cd::engine::EngineError&) {
            }
            try {
                (void)drive.startTrack(false, true);
            } catch (const tallory::cd::engine::EngineError&) {
            }
            break;
        }
    }
    return 0;
}
