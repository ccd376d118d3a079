// The burned data track read back through the drive and compared, file by
// file, with the sources it was made from.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "cd/engine/engine_error.h"
#include "cd/engine/iso_image.h"
#include "cd/engine/iso_verify.h"
#include "cd/recording/data_burn.h"
#include "cd/recording/iso_verify_report.h"
#include "core/export_guard.h"
#include "platform/scsi/sense.h"

namespace tallory::cd::recording {

namespace {

using namespace engine;
using platform::scsi::DataDirection;
using platform::scsi::ScsiCommand;
using platform::scsi::ScsiTransport;

// Sectors per READ(10): a data phase of 64 KiB, which every SG_IO driver moves.
constexpr uint32_t kSectorsPerRead = 32;
// Tries of one read while the drive reports a changed medium or is becoming ready.
constexpr int kAttempts = 20;

// READ(10) of whole 2048-byte user-data blocks; a short transfer is a failed read.
IsoBlockReader driveReader(ScsiTransport& transport) {
    return [&transport](uint32_t lba, uint32_t count, uint8_t* out) {
        const uint32_t bytes = count * kIsoSectorSize;
        const uint8_t cdb[10] = {0x28, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
                                 0, uint8_t(count >> 8), uint8_t(count), 0};
        ScsiCommand c;
        c.cdb = cdb;
        c.direction = DataDirection::FromDevice;
        c.data = out;
        c.dataLength = bytes;
        c.timeoutMs = 60000;
        // A disc just burned or reloaded first answers UNIT ATTENTION (medium
        // changed), and a drive still settling NOT READY (becoming ready).
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            const auto r = transport.execute(c);
            if (r.good()) return r.residue == 0;
            if (r.transportError != 0 || r.status != platform::scsi::kStatusCheckCondition) return false;
            const auto sense = platform::scsi::parseSense(r.senseBytes());
            const bool settling = sense.key == platform::scsi::kSenseUnitAttention ||
                                  (sense.key == platform::scsi::kSenseNotReady && sense.asc == 0x04 && sense.ascq == 0x01);
            if (!settling) return false;
            if (sense.key == platform::scsi::kSenseNotReady) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
}

HRESULT verify(ScsiTransport& transport, const DataBurnResult& burned, const DataBurnRequest& request,
               IConvProgress* progress) {
    std::vector<IsoExpectedFile> expected;
    try {
        IsoTree tree;
        buildDataTree(request, tree);
        expected = expectedFilesOf(tree, request.joliet);
    } catch (const EngineError& e) {
        if (progress) progress->MessageEx((std::string(e.what()) + "\n").c_str(), "e");
        return E_FAIL;
    }
    IsoReadOptions options;
    options.firstSector = static_cast<uint32_t>(burned.trackStart);
    options.endSector = options.firstSector + burned.trackSectors;
    const uint32_t limit = transport.maxTransferLength() / kIsoSectorSize;
    options.sectorsPerRead = std::max<uint32_t>(1, std::min(kSectorsPerRead, limit));
    std::atomic<bool> stop{false};
    IsoVerifyBar bar(progress, stop);
    IsoVerifyResult result = verifyIsoImage(driveReader(transport), expected, options, bar.events(), &stop);
    if (result.identical()) bar.complete();
    return reportIsoVerify(result, expected.size(), "the data track", "The data track", progress);
}

}  // namespace

HRESULT verifyDataDisc(ScsiTransport& transport, const DataBurnResult& burned, const DataBurnRequest& request,
                       IConvProgress* progress) noexcept {
    return core::guardExport("verifyDataDisc", E_FAIL, [&] { return verify(transport, burned, request, progress); },
                             progress);
}

}  // namespace tallory::cd::recording
