// TalloryBurnAudioImage: the disc-at-once pass onto the simulated recorder.
#include "tallory/audio_burn.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "cd/engine/cue_sheet.h"
#include "cd/engine/dao_writer.h"
#include "cd/engine/engine_error.h"
#include "core/export_guard.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sim_recorder.h"

namespace tallory::cd::recording {

namespace {

using namespace engine;

// An 80-minute CD-R.
constexpr int32_t kRecorderCapacity = 360000;

void reportError(IConvProgress* progress, const EngineError& e) {
    if (progress == nullptr) return;
    if (!e.mainText().empty()) progress->MessageEx((e.mainText() + "\n").c_str(), "e");
    if (!e.detailText().empty()) progress->MessageEx((e.detailText() + "\n").c_str(), "e");
    if (e.mainText().empty() && e.detailText().empty()) progress->MessageEx((std::string(e.what()) + "\n").c_str(), "e");
}

bool endsWith(const std::string& s, const char* tail) {
    const std::string t = tail;
    if (s.size() < t.size()) return false;
    for (size_t i = 0; i < t.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - t.size() + i])) != t[i]) return false;
    return true;
}

std::string binPathOf(std::string cue) {
    const auto dot = cue.rfind('.');
    const auto slash = cue.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) cue.resize(dot);
    return cue + ".bin";
}

bool exists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

HRESULT burn(const char* const* files, uint32_t count, const std::string& cuePath, uint32_t flags,
             IConvProgress* progress) {
    const std::string binPath = binPathOf(cuePath);
    if ((flags & TALLORY_BURN_OVERWRITE) == 0 && (exists(cuePath) || exists(binPath))) return E_ABORT;
    std::vector<TrackListEntry> tracks;
    for (uint32_t i = 0; i < count; ++i) {
        if (files[i] == nullptr || files[i][0] == '\0') return E_INVALIDARG;
        TrackListEntry t;
        t.path = files[i];
        if (endsWith(t.path, ".wav")) t.fileType = CueFileKind::Wave;
        else if (endsWith(t.path, ".aif") || endsWith(t.path, ".aiff")) t.fileType = CueFileKind::Aiff;
        // Two seconds between tracks, as audio CDs usually have.
        if (i > 0) t.pregap = 150;
        tracks.push_back(t);
    }
    try {
        DiscLayout layout = layOutDisc(makeCueSheetLines(DiscInfo{}, tracks));
        platform::scsi::SimulatedDrive drive;
        platform::scsi::SimulatedRecorder recorder(drive, kRecorderCapacity);
        MmcRecorderDrive mmc(drive);
        std::atomic<bool> stop{false};
        DaoOptions o;
        o.stop = &stop;
        uint32_t done = 0;
        o.progress = [&](int e, int a, int b) {
            if (progress == nullptr) return;
            if (e == kEventDiscLength) progress->SetRange(uint32_t(a));
            if (e == kEventTrackSectors || e == kEventGapSectors) progress->SetPos(done += uint32_t(b));
            if (progress->IsCancelled() != 0) stop = true;
        };
        writeDiscAtOnce(mmc, layout, o);
        std::string error;
        if (!recorder.exportCueBin(cuePath, &error)) {
            ::unlink(cuePath.c_str());
            ::unlink(binPath.c_str());
            if (progress) progress->MessageEx((error + "\n").c_str(), "e");
            return E_FAIL;
        }
        return S_OK;
    } catch (const EngineError& e) {
        if (e.code() == kErrUserAbort) {
            if (progress) progress->MessageEx("User aborted operation!\n", "e");
            return E_ABORT;
        }
        reportError(progress, e);
        return E_FAIL;
    }
}

}  // namespace

}  // namespace tallory::cd::recording

extern "C" TALLORY_API HRESULT TalloryBurnAudioImage(const char* const* files, uint32_t fileCount, const char* cuePath,
                                                     uint32_t flags, IConvProgress* progress) noexcept {
    return tallory::core::guardExport(
        "TalloryBurnAudioImage", E_FAIL,
        [&]() -> HRESULT {
            if (files == nullptr || fileCount == 0 || fileCount > 99 || cuePath == nullptr || cuePath[0] == '\0')
                return E_INVALIDARG;
            return tallory::cd::recording::burn(files, fileCount, cuePath, flags, progress);
        },
        progress);
}
