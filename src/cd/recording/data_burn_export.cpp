// TalloryBurnDataDisc: the data recording onto a device through SG_IO, or onto
// the simulated recorder with the data track kept as an ISO image file.
#include "tallory/data_burn.h"

#include <sys/stat.h>

#include <string>

#include "cd/recording/data_burn.h"
#include "core/export_guard.h"
#include "platform/files/output_file.h"
#include "platform/scsi/sg_device.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sim_recorder.h"
#include "platform/scsi/sysfs_scan.h"

namespace tallory::cd::recording {

namespace {

// A 80-minute CD-R.
constexpr int32_t kSimulatedCapacity = 360000;

void error(IConvProgress* progress, const std::string& text) {
    if (progress) progress->MessageEx((text + "\n").c_str(), "e");
}

HRESULT verifyIfAsked(const TalloryDataBurnRequest& r, platform::scsi::ScsiTransport& transport,
                      const DataBurnResult& burned, const DataBurnRequest& request, IConvProgress* progress) {
    if ((r.flags & TALLORY_DATA_BURN_VERIFY) == 0 || request.testMode) return S_OK;
    const HRESULT hr = verifyDataDisc(transport, burned, request, progress);
    // A difference is a failed burn for the caller.
    return hr == S_FALSE ? E_FAIL : hr;
}

HRESULT burnExport(const TalloryDataBurnRequest& r, IConvProgress* progress) {
    if (r.size < sizeof(TalloryDataBurnRequest) || r.pathCount == 0 || r.paths == nullptr) return E_INVALIDARG;
    const bool toDevice = r.device != nullptr && r.device[0] != '\0';
    if (!toDevice && (r.image == nullptr || r.image[0] == '\0')) return E_INVALIDARG;
    DataBurnRequest request;
    for (uint32_t i = 0; i < r.pathCount; ++i) {
        if (r.paths[i] == nullptr || r.paths[i][0] == '\0') return E_INVALIDARG;
        request.paths.emplace_back(r.paths[i]);
    }
    request.volumeLabel = r.volumeLabel ? r.volumeLabel : "";
    request.joliet = (r.flags & TALLORY_ISO_JOLIET) != 0;
    request.keepCase = (r.flags & TALLORY_ISO_KEEP_CASE) != 0;
    if (r.bootImage && r.bootImage[0] != '\0') {
        request.bootImage = r.bootImage;
        request.bootEmulation = r.bootEmulation;
        request.bootLoadSegment = r.bootLoadSegment;
        request.bootSectorCount = r.bootSectorCount;
    }
    request.testMode = (r.flags & TALLORY_DATA_BURN_TEST) != 0;
    request.underrunProtection = (r.flags & TALLORY_DATA_BURN_UNDERRUN) != 0;
    DataBurnResult burned;

    if (toDevice) {
        // The bus address names the device in the engine's messages, as the scan saw it.
        platform::scsi::ScsiAddress address{};
        for (const auto& d : platform::scsi::scanSysfs())
            if (d.node == r.device) address = d.address;
        std::string why;
        auto device = platform::scsi::SgDevice::open(r.device, address, &why);
        if (!device) {
            error(progress, why);
            return E_FAIL;
        }
        HRESULT hr = burnDataDisc(*device, request, progress, &burned);
        if (hr != S_OK) return hr;
        return verifyIfAsked(r, *device, burned, request, progress);
    }

    // The image is written whole or not at all; an existing one is kept unless allowed.
    const std::string image = r.image;
    struct stat st{};
    if (::stat(image.c_str(), &st) == 0 && (r.flags & TALLORY_DATA_BURN_OVERWRITE) == 0) return E_ABORT;
    platform::scsi::SimDriveIdentity identity;
    identity.recorder = true;
    identity.bufferUnderrunProtection = true;
    identity.cdTextWriting = true;
    identity.maxWriteSpeedKBs = 7056;
    platform::scsi::SimulatedDrive drive(identity);
    platform::scsi::SimulatedRecorder recorder(drive, kSimulatedCapacity);
    recorder.damageSectorsFromEnvironment();
    HRESULT hr = burnDataDisc(drive, request, progress, &burned);
    if (hr != S_OK) return hr;
    if (request.testMode) {
        if (progress) progress->MessageEx("Test mode: the disc stays blank and no image is saved\n", "i");
        return S_OK;
    }
    recorder.reloadBurnedDisc();
    hr = verifyIfAsked(r, drive, burned, request, progress);
    if (hr != S_OK) return hr;
    std::string why;
    const std::vector<uint8_t> track = recorder.dataTrackUserData(1, &why);
    if (track.empty()) {
        error(progress, why);
        return E_FAIL;
    }
    platform::OutputFile out;
    platform::FileStatus status = out.create(image);
    if (status && !out.write(track.data(), track.size())) status = platform::FileStatus::fromErrno(errno, image);
    if (status) {
        status = out.commit((r.flags & TALLORY_DATA_BURN_OVERWRITE) ? platform::ExistingKind::replace
                                                                   : platform::ExistingKind::keep);
    } else {
        out.discard();
    }
    if (!status) {
        error(progress, status.message);
        return E_FAIL;
    }
    return S_OK;
}

}  // namespace

}  // namespace tallory::cd::recording

extern "C" TALLORY_API HRESULT TalloryBurnDataDisc(const TalloryDataBurnRequest* request,
                                                   IConvProgress* progress) noexcept {
    return tallory::core::guardExport(
        "TalloryBurnDataDisc", E_FAIL,
        [&]() -> HRESULT {
            if (request == nullptr) return E_INVALIDARG;
            return tallory::cd::recording::burnExport(*request, progress);
        },
        progress);
}
