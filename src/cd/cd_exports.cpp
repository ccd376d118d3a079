// The CD exports: the drive collection, image drives, read options and the
// rip report.
#include <cstdio>
#include <cstring>

#include "cd/cd_drives.h"
#include "cd/cd_track_source.h"
#include "cd/engine/scsi/scsi_layer.h"
#include "core/export_guard.h"
#include "platform/cdio/audiocd.h"
#include "platform/scsi/cue_image.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sysfs_scan.h"

using namespace tallory;

extern "C" {

TALLORY_API HRESULT CreateAudioCDDevices(ICDDrives** drives) noexcept {
    return core::guardExport("CreateAudioCDDevices", E_OUTOFMEMORY, [&] { return cd::CDDrives::get(drives); });
}

TALLORY_API HRESULT CDUseImageDrives(const char* const* cuePaths, int count, char* error, int capacity) noexcept {
    return core::guardExport("CDUseImageDrives", E_FAIL, [&]() -> HRESULT {
        auto say = [&](const std::string& text) {
            if (error != nullptr && capacity > 0) std::snprintf(error, std::size_t(capacity), "%s", text.c_str());
        };
        if (cuePaths == nullptr || count < 0 || std::size_t(count) > cd::kMaxDrives) return E_INVALIDARG;
        if (cd::CDDrives::exists()) {
            say("the drive collection exists already");
            return E_UNEXPECTED;
        }
        std::vector<std::shared_ptr<platform::scsi::SimulatedDrive>> drives;
        for (int i = 0; i < count; ++i) {
            if (cuePaths[i] == nullptr) return E_INVALIDARG;
            auto loaded = platform::scsi::loadCueImage(cuePaths[i]);
            if (!loaded.disc) {
                say(loaded.error);
                return E_FAIL;
            }
            platform::scsi::SimDriveIdentity id;
            id.product = "IMAGE DRIVE";
            id.address = {0, 0, uint32_t(i), 0};
            id.devicePath = cuePaths[i];
            auto drive = std::make_shared<platform::scsi::SimulatedDrive>(id);
            drive->loadDisc(std::shared_ptr<platform::scsi::DiscModel>(std::move(loaded.disc)));
            drives.push_back(std::move(drive));
        }
        std::vector<platform::cdio::AudioCdDevice> library;
        for (const auto& d : drives)
            library.push_back({uint8_t(d->address().host), uint8_t(d->address().target), uint8_t(d->address().lun),
                               d->devicePath()});
        platform::cdio::setAudioCdDevices(std::move(library));
        cd::engine::scsi::setDeviceProvider([drives] {
            std::vector<cd::engine::scsi::FoundTransport> out;
            for (const auto& d : drives) out.push_back({d, ""});
            return out;
        });
        return S_OK;
    });
}

TALLORY_API HRESULT CDSetReadOptions(const CDReadOptions* options) noexcept {
    return core::guardExport("CDSetReadOptions", E_FAIL, [&]() -> HRESULT {
        if (options == nullptr || options->size < sizeof(CDReadOptions)) return E_INVALIDARG;
        cd::setReadOptions(*options);
        return S_OK;
    });
}

TALLORY_API HRESULT CDGetRipReport(IConvSource* source, CDRipReport* report) noexcept {
    return core::guardExport("CDGetRipReport", E_INVALIDARG, [&]() -> HRESULT {
        if (source == nullptr || report == nullptr) return E_INVALIDARG;
        CLSID cls{};
        if (!source->GetClassId(&cls) || cls != CLSID_CDTrackSource) return E_INVALIDARG;
        return static_cast<cd::CDTrackSource*>(source)->report(report) ? S_OK : E_INVALIDARG;
    });
}

TALLORY_API HRESULT CDGetAccurateRipIds(ICDDrive* drive, uint32_t* id1, uint32_t* id2, uint32_t* freedbId,
                                        int* audioTracks) noexcept {
    return core::guardExport("CDGetAccurateRipIds", E_FAIL, [&]() -> HRESULT {
        if (drive == nullptr) return E_INVALIDARG;
        int32_t leadOut = 0;
        const auto toc = static_cast<cd::CDDrive*>(drive)->tocTracks(&leadOut);
        if (toc.empty()) return E_FAIL;
        const auto ids = cd::accurateRipIds(toc, leadOut);
        if (id1 != nullptr) *id1 = ids.id1;
        if (id2 != nullptr) *id2 = ids.id2;
        if (freedbId != nullptr) *freedbId = ids.freedb;
        if (audioTracks != nullptr) *audioTracks = ids.audioTracks;
        return S_OK;
    });
}

}  // extern "C"
