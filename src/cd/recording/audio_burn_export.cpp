// TalloryRecordAudio and TalloryBurnAudioImage: the audio recording with
// options, on a drive of the collection or onto a simulated recorder whose
// burned disc becomes a cue/bin image.
#include "tallory/audio_burn.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cd/cd_drives.h"
#include "cd/engine/scsi/scsi_layer.h"
#include "cd/recording/audio_recording.h"
#include "cd/recording/drive_recording.h"
#include "core/export_guard.h"
#include "core/report.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sim_recorder.h"

namespace tallory::cd::recording {

namespace {

// An 80-minute CD-R.
constexpr int32_t kRecorderCapacity = 360000;
// The simulated recorder writes as fast as the host lets it; it says 52x.
constexpr uint16_t kSimulatedWriteKBs = 52 * 176;

bool exists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

std::string binPathOf(std::string cue) {
    const auto dot = cue.rfind('.');
    const auto slash = cue.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) cue.resize(dot);
    return cue + ".bin";
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A folder beside the image that holds it until both files are complete.
class StagingFolder {
public:
    explicit StagingFolder(const std::string& besides) {
        std::string pattern = folderOf(besides) + "/.tallory-burn-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) != nullptr) path_ = name.data();
    }
    ~StagingFolder() {
        for (const std::string& f : files_) ::unlink((path_ + "/" + f).c_str());
        if (!path_.empty()) ::rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::string add(const std::string& name) {
        files_.push_back(name);
        return path_ + "/" + name;
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

HRESULT burnImage(const CDRecordRequest& request, const std::string& cuePath, const RecordOptions& options,
                  uint32_t flags, IConvProgress* progress, RecordOutcome& outcome) {
    if (request.kind != CD_RECORD_AUDIO) return E_INVALIDARG;
    const std::string binPath = binPathOf(cuePath);
    if ((flags & TALLORY_BURN_OVERWRITE) == 0 && (exists(cuePath) || exists(binPath))) {
        core::report(progress, "e", "\"%s\" exists; not replaced", exists(cuePath) ? cuePath.c_str() : binPath.c_str());
        return E_ABORT;
    }
    platform::scsi::SimDriveIdentity id;
    id.product = "IMAGE RECORDER";
    id.recorder = true;
    id.bufferUnderrunProtection = true;
    id.cdTextWriting = true;
    id.maxWriteSpeedKBs = kSimulatedWriteKBs;
    id.devicePath = cuePath;
    auto drive = std::make_shared<platform::scsi::SimulatedDrive>(id);
    platform::scsi::SimulatedRecorder recorder(*drive, kRecorderCapacity);
    recorder.damageSectorsFromEnvironment();
    engine::scsi::DeviceRecord record;
    if (!engine::scsi::classifyDevice(*drive, "", record)) return E_FAIL;
    engine::scsi::Device device(drive, record, 65000);

    RecorderTarget target;
    target.transport = drive.get();
    target.maxSpeedIndex = speedIndexForFactor(record.maxSpeedIndex);
    target.reader = &device;
    target.afterWrite = [&recorder] { recorder.reloadBurnedDisc(); };
    const HRESULT hr = recordAudio(target, progress, request, options, &outcome);
    if (FAILED(hr) || outcome.testMode) {
        if (outcome.testMode && SUCCEEDED(hr)) core::report(progress, "i", "Test mode: no image was saved");
        return hr;
    }
    // The image appears whole or not at all: written in a folder beside it,
    // then the bin moved into place and the cue sheet, which names it, last.
    StagingFolder staging(cuePath);
    if (staging.path().empty()) {
        core::report(progress, "e", "Cannot create a folder beside \"%s\": %s", cuePath.c_str(), std::strerror(errno));
        return E_FAIL;
    }
    const std::string stagedCue = staging.add(nameOf(cuePath));
    const std::string stagedBin = staging.add(nameOf(binPathOf(stagedCue)));
    std::string error;
    if (!recorder.exportCueBin(stagedCue, &error)) {
        core::report(progress, "e", "%s", error.c_str());
        return E_FAIL;
    }
    if (::rename(stagedBin.c_str(), binPath.c_str()) != 0 || ::rename(stagedCue.c_str(), cuePath.c_str()) != 0) {
        core::report(progress, "e", "Cannot save \"%s\": %s", cuePath.c_str(), std::strerror(errno));
        ::unlink(binPath.c_str());
        return E_FAIL;
    }
    return hr;
}

}  // namespace

}  // namespace tallory::cd::recording

using namespace tallory;

extern "C" TALLORY_API HRESULT TalloryRecordAudio(ICDDrive* drive, HWND parent, IConvProgress* progress,
                                                  const CDRecordRequest* request, const TalloryBurnOptions* options,
                                                  TalloryBurnReport* report) noexcept {
    return core::guardExport("TalloryRecordAudio", E_FAIL, [&]() -> HRESULT {
        if (drive == nullptr || request == nullptr) return E_INVALIDARG;
        cd::recording::RecordOutcome outcome;
        const HRESULT hr = cd::recording::recordOnDrive(*static_cast<cd::CDDrive*>(drive), progress, *request,
                                                        cd::recording::optionsFrom(options, parent), &outcome);
        cd::recording::fillReport(outcome, report);
        return hr;
    }, progress);
}

extern "C" TALLORY_API HRESULT TalloryBurnAudioImage(const CDRecordRequest* request, const char* cuePath,
                                                     const TalloryBurnOptions* options, IConvProgress* progress,
                                                     TalloryBurnReport* report) noexcept {
    return core::guardExport("TalloryBurnAudioImage", E_FAIL, [&]() -> HRESULT {
        if (request == nullptr || cuePath == nullptr || cuePath[0] == '\0') return E_INVALIDARG;
        cd::recording::RecordOutcome outcome;
        const uint32_t flags = options != nullptr && options->size >= sizeof(TalloryBurnOptions) ? options->flags : 0;
        const HRESULT hr = cd::recording::burnImage(*request, cuePath, cd::recording::optionsFrom(options, nullptr),
                                                    flags, progress, outcome);
        cd::recording::fillReport(outcome, report);
        return hr;
    }, progress);
}
