#include "cd/recording/audio_recording.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "cd/engine/dao_writer.h"
#include "cd/engine/engine_error.h"
#include "cd/engine/scsi/engine_error.h"
#include "cd/recording/burn_verify.h"
#include "cd/recording/red_book_writer.h"
#include "cd/recording/write_speed.h"
#include "core/report.h"
#include "core/settings_store.h"
#include "core/ui_bridge.h"
#include "platform/files/temp_file.h"
#include "tallory/convert.h"
#include "tallory/ref.h"

namespace tallory::cd::recording {

namespace {

using engine::EngineError;
namespace scsi = platform::scsi;

// The drive is asked for its buffer fill this often while writing.
constexpr auto kBufferPollInterval = std::chrono::milliseconds(250);

// The converted tracks: removed when the recording ends, however it ends.
class TemporaryTracks {
public:
    TemporaryTracks() = default;
    TemporaryTracks(const TemporaryTracks&) = delete;
    TemporaryTracks& operator=(const TemporaryTracks&) = delete;
    ~TemporaryTracks() {
        for (const std::string& p : paths_) ::unlink(p.c_str());
    }
    void add(std::string path) { paths_.push_back(std::move(path)); }

private:
    std::vector<std::string> paths_;
};

// Messages go nowhere when the caller gave no progress object; the
// conversion engine needs one.
class SilentProgress final : public IConvProgress {
public:
    int ConfirmOverwrite(const char*) override { return 1; }
    void Message(const char*) override {}
    void MessageEx(const char*, const char*) override {}
    void SetRange(uint32_t) override {}
    void SetPos(uint32_t) override {}
    void Advance(uint32_t) override {}
    void SetAction(const char*) override {}
    int IsCancelled() override { return 0; }
    void SetItem(const char*, int) override {}
    void Throughput(const CLSID&, int, uint32_t, uint32_t) override {}
    void Destroy() override {}
    void Cancel() override {}
    HWND GetWindow() override { return nullptr; }
    HWND GetItemControl() override { return nullptr; }
    void Create(HWND) override {}
    void Finish() override {}
};

double threadCpuSeconds() {
    timespec t{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The recorder as the pass sees it, with the processor time spent inside its
// commands counted: that part is the drive's (the kernel's transfer, or a
// simulated recorder's own work), the rest of the pass is the engine's.
class TimedTransport final : public scsi::ScsiTransport {
public:
    explicit TimedTransport(scsi::ScsiTransport& inner) : inner_(inner) {}
    scsi::ScsiResult execute(const scsi::ScsiCommand& command) override {
        const double before = threadCpuSeconds();
        scsi::ScsiResult r = inner_.execute(command);
        seconds_ += threadCpuSeconds() - before;
        return r;
    }
    uint32_t maxTransferLength() const override { return inner_.maxTransferLength(); }
    scsi::ScsiAddress address() const override { return inner_.address(); }
    std::string devicePath() const override { return inner_.devicePath(); }
    double seconds() const { return seconds_; }

private:
    scsi::ScsiTransport& inner_;
    double seconds_ = 0;
};

std::string text(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

enum class RunResult { Done, Retry, Aborted };

class AudioRecording {
public:
    AudioRecording(const RecorderTarget& target, IConvProgress* progress, const CDRecordRequest& request,
                   const RecordOptions& options, RecordOutcome& outcome)
        : target_(target), progress_(progress), request_(request), options_(options), outcome_(outcome) {}

    HRESULT run();

private:
    HRESULT convertItems();
    RunResult recordOnce(std::vector<engine::TrackListEntry> tracks);
    void onEvent(int event, int a, int b);
    void pollBuffer(bool force);
    void setSpeed();
    void reportStatus();
    HRESULT verify();

    const RecorderTarget& target_;
    IConvProgress* progress_;
    const CDRecordRequest& request_;
    const RecordOptions& options_;
    RecordOutcome& outcome_;
    TemporaryTracks temporaries_;
    std::vector<engine::TrackListEntry> tracks_;
    std::atomic<bool> stop_{false};
    uint32_t range_ = 0;
    TalloryBurnStatus status_{sizeof(TalloryBurnStatus), 0, 0, 0, -1};
    bool bufferQueryWorks_ = true;
    std::chrono::steady_clock::time_point lastPoll_{};
};

HRESULT AudioRecording::convertItems() {
    progress_->Message(kMsgConverting);
    const std::string dir = platform::temporaryDirectory(core::settings::readString("Settings", "TempPath", ""));
    Ref<RedBookWriter> writer = Ref<RedBookWriter>::share(new RedBookWriter(&tracks_));
    const bool cdText = request_.cdTextWanted != 0;
    for (int i = 0; i < request_.itemCount; ++i) {
        const CDRecordItem& item = request_.items[i];
        char path[TALLORY_MAX_PATH];
        if (item.source->GetPath(path, sizeof path)) progress_->Message((std::string(path) + "\n").c_str());
        std::string temp = platform::createNamedTempFile(dir, kTempPrefix);
        if (temp.empty()) {
            core::report(progress_, "e", "Cannot create a temporary file in \"%s\": %s", dir.c_str(),
                         std::strerror(errno));
            return E_FAIL;
        }
        temporaries_.add(temp);
        engine::TrackListEntry entry;
        entry.path = temp;
        entry.sectorSize = engine::kAudioSectorSize;
        entry.fileType = engine::CueFileKind::Binary;
        entry.mode = engine::TrackModeKind::Audio;
        if (cdText) entry.title = text(item.texts[CD_TRACK_TITLE]);
        tracks_.push_back(std::move(entry));
        const HRESULT hr = AudioConvert(item.source, writer.get(), progress_, 0, 0, -1, -1);
        ++outcome_.itemsConverted;
        if (progress_->IsCancelled() != 0) return E_ABORT;
        if (FAILED(hr)) return E_FAIL;
        struct stat st{};
        if (::stat(temp.c_str(), &st) != 0 || st.st_size == 0) {
            // A track needs at least one sector; the cue sheet would refuse it after all the work.
            core::report(progress_, "e", "Item %d delivered no audio: a track needs at least one sample", i + 1);
            return E_FAIL;
        }
    }
    return S_OK;
}

void AudioRecording::reportStatus() {
    if (options_.status != nullptr) options_.status(options_.statusContext, &status_);
}

void AudioRecording::pollBuffer(bool force) {
    if (options_.status == nullptr || !bufferQueryWorks_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastPoll_ < kBufferPollInterval) return;
    lastPoll_ = now;
    // READ BUFFER CAPACITY (MMC-5 6.20): buffer length and blank length in bytes.
    const uint8_t cdb[10] = {0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0};
    uint8_t data[12] = {};
    scsi::ScsiCommand c{cdb, scsi::DataDirection::FromDevice, data, sizeof data, 5000};
    const scsi::ScsiResult r = target_.transport->execute(c);
    const int fill = r.good() ? bufferFillPercent(data, r.transferred(sizeof data)) : -1;
    // A drive that cannot tell is not asked again.
    if (fill < 0) bufferQueryWorks_ = false;
    status_.bufferFillPercent = fill;
}

void AudioRecording::onEvent(int event, int a, int b) {
    char item[32];
    switch (event) {
        case engine::kEventTrackStart:
            std::snprintf(item, sizeof item, "Track %d", a);
            progress_->SetItem(item, 0);
            status_.track = a;
            pollBuffer(true);
            reportStatus();
            break;
        case engine::kEventTrackSectors:
            progress_->Advance(uint32_t(b));
            status_.sectorsWritten += uint32_t(b);
            pollBuffer(false);
            reportStatus();
            break;
        case engine::kEventLeadOut:
            progress_->SetItem("Lead-out track", 0);
            break;
        case engine::kEventFinished:  // the disc is closed: the bar ends full
            progress_->SetPos(range_);
            break;
        default:
            break;
    }
    if (progress_->IsCancelled() != 0) stop_ = true;
}

void AudioRecording::setSpeed() {
    const uint32_t factor = options_.speedFactor > 0 ? uint32_t(options_.speedFactor)
                                                     : speedFactor(target_.maxSpeedIndex);
    if (factor == 0) return;
    // SET CD SPEED (MMC-5 6.37): kB/s, 1x = 176; reading at the drive's best.
    const uint32_t kbs = std::min<uint32_t>(factor * 176, 0xFFFE);
    const uint8_t cdb[12] = {0xBB, 0, 0xFF, 0xFF, uint8_t(kbs >> 8), uint8_t(kbs), 0, 0, 0, 0, 0, 0};
    scsi::ScsiCommand c{cdb, scsi::DataDirection::None, nullptr, 0, 10000};
    // A drive that keeps its own speed still records; the choice is only a wish.
    if (!target_.transport->execute(c).good())
        core::report(progress_, "i", "The recorder did not accept %ux as its speed; it writes at its own", factor);
}

RunResult AudioRecording::recordOnce(std::vector<engine::TrackListEntry> tracks) {
    try {
        engine::DiscLayout layout = engine::layOutDisc(engine::makeCueSheetLines(engine::DiscInfo{}, tracks));
        // The request's texts replace what the TITLE lines set; without
        // CD-TEXT the lead-in carries none.
        layout.cdText = request_.cdTextWanted != 0 ? cdTextFromRequest(request_) : engine::CdTextRecord{};
        std::vector<engine::CdTextPack> packs;
        if (request_.cdTextWanted != 0) packs = engine::buildCdTextPacks(layout.cdText);

        range_ = layout.totalSectors();
        progress_->SetPos(0);
        progress_->SetRange(range_);
        status_ = TalloryBurnStatus{sizeof(TalloryBurnStatus), 0, 0, range_, -1};
        if (range_ > engine::kRedBookSectors) {
            const uint32_t t = range_ + uint32_t(engine::kFirstPregapSectors);
            core::report(progress_, "i", "Total disc time (%02u:%02u:%02u) exceeds 74 minutes!", t / 4500, t / 75 % 60,
                         t % 75);
        }
        progress_->SetAction("Recording:");
        progress_->SetItem("Preparing...", 0);

        TimedTransport timed(*target_.transport);
        engine::MmcRecorderDrive drive(timed);
        const bool testMode = options_.testMode || core::settings::readInt(kBurnSection, "TestMode", 0) != 0;
        // Protection the drive does not offer is not asked for, nor announced.
        const bool underrun = options_.underrunProtection && drive.capabilities().bufferUnderrunProtection;
        outcome_.testMode = testMode;
        if (testMode) progress_->MessageEx(kMsgTestMode, "i");
        if (underrun) progress_->MessageEx(kMsgBurnProof, "i");
        if (!packs.empty() && !drive.capabilities().cdText)
            progress_->MessageEx("The recorder cannot write CD-TEXT; the disc is recorded without it\n", "i");

        engine::DaoOptions dao;
        dao.testMode = testMode;
        dao.underrunProtection = underrun;
        dao.cdTextPacks = std::move(packs);
        dao.transferBytes = target_.transferBytes;
        dao.stop = &stop_;
        dao.progress = [this](int e, int a, int b) { onEvent(e, a, b); };
        progress_->Message(kMsgWriting);
        setSpeed();
        const double cpuBefore = threadCpuSeconds(), driveBefore = timed.seconds();
        engine::writeDiscAtOnce(drive, layout, dao);
        const double cpu = threadCpuSeconds() - cpuBefore, inDrive = timed.seconds() - driveBefore;
        progress_->SetPos(range_);
        // The pass runs on this thread: what it costs beyond the drive's commands
        // is the engine's, which must never be what holds a fast drive up.
        core::report(progress_, "i",
                     "Disc written: %.3f s of processor time in the engine, %.3f s in the recorder's commands, "
                     "for %.2f minutes of audio",
                     cpu - inDrive, inDrive, double(range_) / 4500.0);
        return RunResult::Done;
    } catch (const EngineError& e) {
        // A stop the user asked for is no failure to retry.
        if (e.code() == engine::kErrUserAbort) {
            progress_->MessageEx("User aborted operation!\n", "e");
            return RunResult::Aborted;
        }
        const std::string main = e.mainText().empty() ? std::string(e.what()) : e.mainText();
        progress_->MessageEx((main + "\n").c_str(), "e");
        if (!e.detailText().empty()) progress_->MessageEx((e.detailText() + "\n").c_str(), "e");
        const std::string box = "Error: " + main + "\n" + e.detailText();
        const int answer = core::ui::messageBox(options_.parent, box.c_str(), "Tallory", MB_RETRYCANCEL | MB_ICONERROR);
        return answer == IDRETRY ? RunResult::Retry : RunResult::Aborted;
    }
}

HRESULT AudioRecording::verify() {
    if (!options_.verify) return S_OK;
    if (outcome_.testMode) {
        progress_->MessageEx("Test mode: nothing was written, so nothing is verified\n", "i");
        return S_OK;
    }
    if (target_.reader == nullptr) {
        progress_->MessageEx("This recorder cannot read the disc back; it is not verified\n", "e");
        return E_FAIL;
    }
    progress_->Message("Reading the disc back to compare it with the sources...\n");
    std::string error;
    try {
        engine::MmcRecorderDrive(*target_.transport).waitReady();
        if (!verifyBurnedDisc(*target_.reader, target_.readOffset, tracks_, progress_, &stop_, outcome_, &error)) {
            core::report(progress_, "e", "Verification failed: %s", error.c_str());
            return E_FAIL;
        }
    } catch (const engine::scsi::EngineError& e) {
        if (e.code() == engine::scsi::kErrUserAborted || progress_->IsCancelled() != 0) return E_ABORT;
        core::report(progress_, "e", "Verification failed: %s", e.what());
        return E_FAIL;
    } catch (const EngineError& e) {
        if (e.code() == engine::kErrUserAbort) return E_ABORT;
        core::report(progress_, "e", "Verification failed: %s %s", e.mainText().c_str(), e.detailText().c_str());
        return E_FAIL;
    }
    if (!outcome_.differences.empty()) {
        core::report(progress_, "e", "Verification: %zu differing range%s", outcome_.differences.size(),
                     outcome_.differences.size() == 1 ? "" : "s");
        return S_FALSE;
    }
    core::report(progress_, "i", "Verification: all %u tracks equal their sources sample for sample",
                 outcome_.tracksCompared);
    return S_OK;
}

HRESULT AudioRecording::run() {
    HRESULT hr = convertItems();
    if (hr != S_OK) return hr;
    RunResult r;
    // Retries write again from the same converted files.
    while ((r = recordOnce(tracks_)) == RunResult::Retry) {
    }
    if (r == RunResult::Aborted) return E_ABORT;
    if (target_.afterWrite) target_.afterWrite();
    return verify();
}

}  // namespace

int bufferFillPercent(const uint8_t* data, size_t length) noexcept {
    if (data == nullptr || length < 12) return -1;
    auto be32 = [&](size_t at) {
        return (uint32_t(data[at]) << 24) | (uint32_t(data[at + 1]) << 16) | (uint32_t(data[at + 2]) << 8) | data[at + 3];
    };
    const uint32_t size = be32(4), blank = be32(8);
    if (size == 0 || blank > size) return -1;
    return int(uint64_t(size - blank) * 100 / size);
}

int speedIndexForFactor(int factor) noexcept {
    int best = 0;
    for (int i = 0; i < kSpeedTableSize; ++i)
        if (int(speedFactor(i)) <= factor) best = i;
    return best;
}

engine::CdTextRecord cdTextFromRequest(const CDRecordRequest& r) {
    engine::CdTextRecord record;
    const int items = std::max(0, std::min(r.itemCount, CD_RECORD_MAX_AUDIO_TRACKS));
    record.setTrackCount(items);
    record.discId = text(r.discTexts[CD_DISC_ID]);
    record.genreText = text(r.discTexts[CD_DISC_GENRE_TEXT]);
    record.genreCode = uint16_t(r.cdTextGenreCode);
    record.reserved1 = r.cdTextReserved[0];
    record.reserved2 = r.cdTextReserved[1];
    // Disc texts title .. UPC/EAN in the order of the pack types.
    for (int f = 0; f < engine::kCdTextFieldCount; ++f) record.entries[0][f] = text(r.discTexts[CD_DISC_TITLE + f]);
    for (int t = 0; t < items; ++t)
        for (int f = 0; f < engine::kCdTextFieldCount; ++f)
            record.entries[std::size_t(t) + 1][f] = text(r.items[t].texts[f]);
    return record;
}

void fillReport(const RecordOutcome& o, TalloryBurnReport* report) {
    if (report == nullptr || report->size < sizeof(TalloryBurnReport)) return;
    std::memset(report, 0, sizeof *report);
    report->size = sizeof *report;
    report->testMode = o.testMode ? 1 : 0;
    report->verified = o.verified ? 1 : 0;
    report->tracksCompared = o.tracksCompared;
    report->samplesCompared = o.samplesCompared;
    report->rangeCount = uint32_t(o.differences.size());
    for (std::size_t i = 0; i < o.differences.size() && i < TALLORY_BURN_MAX_RANGES; ++i) {
        const DifferingRange& d = o.differences[i];
        report->ranges[i] = TalloryBurnRange{d.track, d.firstSample, d.lastSample, d.firstSector, d.lastSector};
    }
}

HRESULT recordAudio(const RecorderTarget& target, IConvProgress* progress, const CDRecordRequest& request,
                    const RecordOptions& options, RecordOutcome* outcome) {
    SilentProgress silent;
    if (progress == nullptr) progress = &silent;
    RecordOutcome local;
    RecordOutcome& out = outcome != nullptr ? *outcome : local;
    out = RecordOutcome{};
    if (target.transport == nullptr) return E_INVALIDARG;
    if (request.itemCount < 1 || request.itemCount > CD_RECORD_MAX_ITEMS) {
        core::report(progress, "e", "A recording takes 1 to %d items; the request has %d", CD_RECORD_MAX_ITEMS,
                     request.itemCount);
        return E_INVALIDARG;
    }
    // Refused before anything is converted: a disc holds 99 tracks.
    if (request.itemCount > CD_RECORD_MAX_AUDIO_TRACKS) {
        core::report(progress, "e", "An audio CD holds at most %d tracks; the request has %d",
                     CD_RECORD_MAX_AUDIO_TRACKS, request.itemCount);
        return E_INVALIDARG;
    }
    for (int i = 0; i < request.itemCount; ++i)
        if (request.items[i].source == nullptr) {
            core::report(progress, "e", "Item %d of the recording has no source", i + 1);
            return E_INVALIDARG;
        }
    // Texts that cannot become CD-TEXT are refused now rather than after
    // every track has been converted.
    if (request.cdTextWanted != 0) {
        try {
            (void)engine::countCdTextPacks(cdTextFromRequest(request));
        } catch (const EngineError& e) {
            progress->MessageEx((std::string(e.what()) + "\n").c_str(), "e");
            if (!e.detailText().empty()) progress->MessageEx((e.detailText() + "\n").c_str(), "e");
            return E_INVALIDARG;
        }
    }
    AudioRecording recording(target, progress, request, options, out);
    return recording.run();
}

}  // namespace tallory::cd::recording
