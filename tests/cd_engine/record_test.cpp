// The audio recording end to end against the simulated recorder: sources
// converted into temporary tracks (removed on every path), the disc written
// and ripped back by cd-paranoia, the refusals, a failed write retried or
// cancelled through the message box, the 74-minute warning, the read-back
// catching a damaged sector, and ICDDrive::Record on a drive of the collection.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cd/engine/cue_sheet.h"
#include "cd/engine/scsi/scsi_layer.h"
#include "cd/recording/audio_recording.h"
#include "external_tools.h"
#include "memory_objects.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sim_recorder.h"
#include "recording_progress.h"
#include "tallory/tallory.h"

using namespace tallory::cd::recording;
namespace ps = tallory::platform::scsi;
namespace es = tallory::cd::engine::scsi;
namespace engine = tallory::cd::engine;
namespace fs = std::filesystem;
using tallory::Ref;

namespace {

// A transport in front of the simulated recorder that fails one WRITE with a
// medium error and answers READ BUFFER CAPACITY as a drive does.
class FlakyTransport final : public ps::ScsiTransport {
public:
    explicit FlakyTransport(std::shared_ptr<ps::SimulatedDrive> drive) : drive_(std::move(drive)) {}
    int failWrite = 0;  // the n-th WRITE (from 1) fails once
    int writes = 0;
    int bufferQueries = 0;

    ps::ScsiResult execute(const ps::ScsiCommand& c) override {
        if (!c.cdb.empty() && c.cdb[0] == 0x2A && ++writes == failWrite) {
            ps::ScsiResult r;
            r.status = ps::kStatusCheckCondition;
            r.sense[0] = 0x70;
            r.sense[2] = 0x03;  // MEDIUM ERROR
            r.sense[7] = 10;
            r.sense[12] = 0x0C;  // write error
            r.senseLength = 18;
            return r;
        }
        if (!c.cdb.empty() && c.cdb[0] == 0x5C && c.dataLength >= 12) {
            ++bufferQueries;
            const uint32_t size = 2u << 20, blank = size / 4;
            uint8_t d[12] = {0, 10, 0, 0};
            for (int i = 0; i < 4; ++i) {
                d[4 + i] = uint8_t(size >> (24 - 8 * i));
                d[8 + i] = uint8_t(blank >> (24 - 8 * i));
            }
            std::memcpy(c.data, d, 12);
            return {};
        }
        return drive_->execute(c);
    }
    uint32_t maxTransferLength() const override { return drive_->maxTransferLength(); }
    ps::ScsiAddress address() const override { return drive_->address(); }
    std::string devicePath() const override { return drive_->devicePath(); }

private:
    std::shared_ptr<ps::SimulatedDrive> drive_;
};

// What the message box hook answers and saw.
struct BoxScript {
    std::vector<int> answers;
    std::vector<std::string> texts, captions;
    std::vector<uint32_t> styles;
    std::function<void()> onShow;
};
BoxScript* box = nullptr;

int scriptedBox(HWND, const char* text, const char* caption, uint32_t style) {
    if (box == nullptr) return IDCANCEL;
    box->texts.emplace_back(text);
    box->captions.emplace_back(caption);
    box->styles.push_back(style);
    if (box->onShow) box->onShow();
    if (box->answers.empty()) return IDCANCEL;
    const int a = box->answers.front();
    box->answers.erase(box->answers.begin());
    return a;
}

// PCM noise of a given number of stereo samples: every sample differs, so a
// shift or a lost tail shows.
std::vector<uint8_t> noise(size_t samples, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(samples * 4);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

// Zeros of any length without holding them: for a 75-minute selection.
class SilenceSource : public tallory::core::SourceBase {
public:
    explicit SilenceSource(uint64_t bytes) : bytes_(bytes) {}
    bool GetClassId(CLSID* id) override {
        *id = CLSID_WavSource;
        return true;
    }
    bool Open() override {
        if (!SourceBase::Open()) return false;
        format_ = MemorySource::cdFormat();
        totalLength_ = uint32_t(bytes_);
        return true;
    }
    bool Run(IConvSink* sink) override {
        if (!SourceBase::Run(sink)) return false;
        std::vector<uint8_t> block(1 << 20);
        for (uint64_t left = bytes_; left > 0;) {
            const uint32_t n = uint32_t(std::min<uint64_t>(block.size(), left));
            if (!sink->Write(block.data(), n)) return false;
            left -= n;
        }
        return true;
    }

private:
    uint64_t bytes_;
};

class RecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tallory_record_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        temp_ = dir_ + "/temp";
        fs::create_directory(temp_);
        ASSERT_TRUE(PutProfileString("Settings", "TempPath", temp_.c_str()));
        PutProfileInt("BurnCD", "TestMode", 0);

        ps::SimDriveIdentity id;
        id.recorder = true;
        id.bufferUnderrunProtection = true;
        id.cdTextWriting = true;
        id.maxWriteSpeedKBs = 52 * 176;
        drive_ = std::make_shared<ps::SimulatedDrive>(id);
        recorder_ = std::make_unique<ps::SimulatedRecorder>(*drive_);
        transport_ = std::make_shared<FlakyTransport>(drive_);
        ASSERT_TRUE(es::classifyDevice(*drive_, "", record_));
        device_ = std::make_unique<es::Device>(drive_, record_, 65000);
        target_.transport = transport_.get();
        target_.maxSpeedIndex = speedIndexForFactor(record_.maxSpeedIndex);
        target_.reader = device_.get();
        target_.afterWrite = [this] { recorder_->reloadBurnedDisc(); };

        TalloryUiHooks hooks{};
        hooks.size = sizeof hooks;
        hooks.messageBox = scriptedBox;
        TalloryRegisterUi(&hooks);
        box = &script_;
    }
    void TearDown() override {
        box = nullptr;
        TalloryRegisterUi(nullptr);
        PutProfileString("Settings", "TempPath", nullptr);
        PutProfileInt("BurnCD", "TestMode", 0);
        fs::remove_all(dir_);
    }

    // Sources of noise with odd lengths (a partial last sector each).
    void addSources(const std::vector<size_t>& samples) {
        for (size_t i = 0; i < samples.size(); ++i) {
            auto s = std::make_unique<MemorySource>();
            s->pcm = noise(samples[i], uint32_t(11 + i));
            s->SetPath((dir_ + "/track" + std::to_string(i + 1) + ".wav").c_str());
            MemorySource* raw = s.get();
            s->onRun = [this, raw] { ++runs_[raw]; };
            sources_.push_back(std::move(s));
        }
    }
    std::unique_ptr<CDRecordRequest> request() {
        auto r = std::make_unique<CDRecordRequest>();
        std::memset(r.get(), 0, sizeof *r);
        r->kind = CD_RECORD_AUDIO;
        r->itemCount = int(sources_.size());
        for (size_t i = 0; i < sources_.size(); ++i) {
            r->items[i].source = sources_[i].get();
            sources_[i]->GetPath(r->items[i].path, TALLORY_MAX_PATH);
        }
        return r;
    }
    int tempFiles() const {
        int n = 0;
        for (const auto& e : fs::directory_iterator(temp_)) {
            (void)e;
            ++n;
        }
        return n;
    }
    int runsOf(size_t i) { return runs_[sources_[i].get()]; }
    // The burned disc ripped by cd-paranoia, each track compared with its source.
    void expectRippedEqualToSources() {
        std::string error;
        ASSERT_TRUE(recorder_->exportCueBin(dir_ + "/disc.cue", &error)) << error;
        for (size_t i = 0; i < sources_.size(); ++i) {
            const std::string wav = dir_ + "/rip" + std::to_string(i + 1) + ".wav";
            runCommand("cd-paranoia -q -c -d '" + dir_ + "/disc.cue' " + std::to_string(i + 1) + " '" + wav +
                       "' >/dev/null 2>&1");
            auto ripped = readFileBytes(wav);
            ASSERT_GT(ripped.size(), 44u) << "cd-paranoia ripped nothing of track " << i + 1;
            ripped.erase(ripped.begin(), ripped.begin() + 44);
            std::vector<uint8_t> want = sources_[i]->pcm;
            want.resize((want.size() + 2351) / 2352 * 2352, 0);  // the last sector padded with silence
            EXPECT_TRUE(ripped == want) << "track " << i + 1 << ": " << ripped.size() << " vs " << want.size();
        }
    }

    std::string dir_, temp_;
    std::shared_ptr<ps::SimulatedDrive> drive_;
    std::unique_ptr<ps::SimulatedRecorder> recorder_;
    std::shared_ptr<FlakyTransport> transport_;
    es::DeviceRecord record_;
    std::unique_ptr<es::Device> device_;
    RecorderTarget target_;
    std::vector<std::unique_ptr<MemorySource>> sources_;
    std::map<MemorySource*, int> runs_;
    BoxScript script_;
};

std::vector<std::string> texts(const RecordingProgress& p) {
    std::vector<std::string> out;
    for (const auto& m : p.messages) out.push_back(m.text);
    return out;
}

bool has(const RecordingProgress& p, const std::string& text, const std::string& kinds = "*") {
    for (const auto& m : p.messages)
        if (m.text == text && (kinds == "*" || m.kinds == kinds)) return true;
    return false;
}

struct StatusLog {
    std::vector<TalloryBurnStatus> seen;
    static void add(void* c, const TalloryBurnStatus* s) { static_cast<StatusLog*>(c)->seen.push_back(*s); }
};

}  // namespace

TEST_F(RecordTest, TracksAreConvertedWrittenAndRippedBackSampleForSample) {
    addSources({44100 * 2 + 37, 588 * 10, 3001});
    auto r = request();
    RecordingProgress progress;
    RecordOptions o;
    o.verify = true;
    o.speedFactor = 16;
    StatusLog status;
    o.status = &StatusLog::add;
    o.statusContext = &status;
    RecordOutcome outcome;
    ASSERT_EQ(recordAudio(target_, &progress, *r, o, &outcome), S_OK) << progress.lastText();
    EXPECT_EQ(tempFiles(), 0);
    EXPECT_TRUE(outcome.verified);
    EXPECT_EQ(outcome.tracksCompared, 3u);
    EXPECT_TRUE(outcome.differences.empty());
    EXPECT_EQ(script_.texts.size(), 0u);
    // The messages of the recording, in order.
    const auto m = texts(progress);
    ASSERT_GE(m.size(), 4u);
    EXPECT_EQ(m[0], "Converting audio files to Red-book format...\n");
    EXPECT_EQ(m[1], dir_ + "/track1.wav\n");
    EXPECT_TRUE(has(progress, "Recording Options: BURN-Proof enabled\n", "i"));
    EXPECT_FALSE(has(progress, "Recording Options: Test mode enabled\n"));
    EXPECT_TRUE(has(progress, "Writing the disc using disc-at-once recording...\n", ""));
    // The speed asked for reached the drive; the buffer fill reached the status.
    EXPECT_EQ(drive_->writeSpeedKBs(), 16 * 176);
    ASSERT_FALSE(status.seen.empty());
    EXPECT_EQ(status.seen.back().bufferFillPercent, 75);
    EXPECT_EQ(status.seen.back().track, 3);
    EXPECT_EQ(status.seen.back().sectorsWritten, status.seen.back().totalSectors);
    ASSERT_TRUE(recorder_->burnedDisc());
    EXPECT_EQ(recorder_->burnedDisc()->tracks.size(), 3u);
    expectRippedEqualToSources();
}

TEST_F(RecordTest, ReadOffsetOfTheDriveIsAllowedFor) {
    addSources({44100 + 5, 20000});
    drive_->faults().readOffsetSamples = 48;
    auto r = request();
    RecordingProgress progress;
    RecordOptions o;
    o.verify = true;
    RecordOutcome outcome;
    target_.readOffset = 48;
    ASSERT_EQ(recordAudio(target_, &progress, *r, o, &outcome), S_OK) << progress.lastText();
    EXPECT_TRUE(outcome.verified);
    EXPECT_TRUE(outcome.differences.empty());
    // Without the correction every sample is off by 48.
    recorder_ = std::make_unique<ps::SimulatedRecorder>(*drive_);
    target_.readOffset = 0;
    RecordingProgress again;
    EXPECT_EQ(recordAudio(target_, &again, *r, o, &outcome), S_FALSE);
    EXPECT_FALSE(outcome.differences.empty());
}

TEST_F(RecordTest, OneDamagedSectorIsReportedAsItsRange) {
    addSources({588 * 100 + 9, 588 * 60 + 100});
    // Track 2 starts at sector 101 (track 1 has 101 sectors); damage its 21st.
    recorder_->damageSector(121);
    auto r = request();
    RecordingProgress progress;
    RecordOptions o;
    o.verify = true;
    RecordOutcome outcome;
    ASSERT_EQ(recordAudio(target_, &progress, *r, o, &outcome), S_FALSE);
    ASSERT_EQ(outcome.differences.size(), 1u);
    const DifferingRange& d = outcome.differences[0];
    EXPECT_EQ(d.track, 2);
    EXPECT_EQ(d.firstSector, 121);
    EXPECT_EQ(d.lastSector, 121);
    EXPECT_GE(d.firstSample, 20u * 588);
    EXPECT_LE(d.lastSample, 21u * 588 - 1);
    bool reported = false;
    for (const auto& m : progress.messages)
        if (m.kinds == "e" && m.text.find("Track 2 differs from its source") == 0 &&
            m.text.find("sectors 121 to 121") != std::string::npos)
            reported = true;
    EXPECT_TRUE(reported);
    EXPECT_EQ(tempFiles(), 0);
    TalloryBurnReport report{};
    report.size = sizeof report;
    fillReport(outcome, &report);
    EXPECT_EQ(report.rangeCount, 1u);
    EXPECT_EQ(report.ranges[0].firstSector, 121);
}

TEST_F(RecordTest, RequestsRefusedBeforeAnythingIsConverted) {
    addSources({100});
    for (int i = 1; i < 100; ++i) {
        sources_.push_back(std::make_unique<MemorySource>());
        sources_.back()->pcm = noise(100, 1);
        MemorySource* raw = sources_.back().get();
        raw->onRun = [this, raw] { ++runs_[raw]; };
    }
    auto r = request();
    ASSERT_EQ(r->itemCount, 100);
    RecordingProgress progress;
    RecordOutcome outcome;
    EXPECT_EQ(recordAudio(target_, &progress, *r, {}, &outcome), E_INVALIDARG);
    EXPECT_EQ(outcome.itemsConverted, 0u);
    EXPECT_EQ(runs_.size(), 0u);
    EXPECT_EQ(tempFiles(), 0);
    EXPECT_EQ(progress.lastText(), "An audio CD holds at most 99 tracks; the request has 100\n");
    for (int count : {0, 101, -1}) {
        r->itemCount = count;
        EXPECT_EQ(recordAudio(target_, &progress, *r, {}, &outcome), E_INVALIDARG) << count;
    }
    // A source missing, or a CD-TEXT that ISO 8859-1 cannot hold: nothing converted either.
    r->itemCount = 2;
    r->items[1].source = nullptr;
    EXPECT_EQ(recordAudio(target_, &progress, *r, {}, &outcome), E_INVALIDARG);
    r->items[1].source = sources_[1].get();
    r->cdTextWanted = 1;
    r->items[0].texts[CD_TRACK_TITLE] = "\xE6\x97\xA5\xE6\x9C\xAC";
    EXPECT_EQ(recordAudio(target_, &progress, *r, {}, &outcome), E_INVALIDARG);
    EXPECT_EQ(runs_.size(), 0u);
    EXPECT_EQ(tempFiles(), 0);
    EXPECT_FALSE(recorder_->burnedDisc());
}

TEST_F(RecordTest, TemporaryFilesGoWhenAConversionFailsOrIsCancelled) {
    addSources({5000, 5000, 5000});
    sources_[1]->failRun = true;
    auto r = request();
    RecordingProgress progress;
    EXPECT_EQ(recordAudio(target_, &progress, *r, {}, nullptr), E_FAIL);
    EXPECT_EQ(tempFiles(), 0);
    EXPECT_EQ(runsOf(2), 0);  // the recording ended at the failed item
    EXPECT_FALSE(recorder_->burnedDisc());

    // A source that throws fails its conversion like one that reports an error.
    sources_[1]->failRun = false;
    sources_[1]->throwInRun = true;
    EXPECT_EQ(recordAudio(target_, &progress, *r, {}, nullptr), E_FAIL);
    EXPECT_EQ(tempFiles(), 0);

    // A source without a single sample would make an empty track.
    sources_[1]->throwInRun = false;
    sources_[1]->pcm.clear();
    EXPECT_EQ(recordAudio(target_, &progress, *r, {}, nullptr), E_FAIL);
    EXPECT_EQ(progress.lastText(), "Item 2 delivered no audio: a track needs at least one sample\n");
    EXPECT_EQ(tempFiles(), 0);
    EXPECT_TRUE(script_.texts.empty());

    sources_[1]->pcm = noise(5000, 2);
    RecordingProgress cancelling;
    sources_[1]->onRun = [&] { cancelling.cancelled = true; };
    EXPECT_EQ(recordAudio(target_, &cancelling, *r, {}, nullptr), E_ABORT);
    EXPECT_EQ(tempFiles(), 0);
    EXPECT_FALSE(recorder_->burnedDisc());
}

TEST_F(RecordTest, CancelWhileWritingStopsWithoutAskingToRetry) {
    addSources({588 * 200, 588 * 200});
    auto r = request();
    struct CancelAtTrack2 : RecordingProgress {
        void SetItem(const char* text, int) override {
            if (std::string(text) == "Track 2") cancelled = true;
        }
    } progress;
    EXPECT_EQ(recordAudio(target_, &progress, *r, {}, nullptr), E_ABORT);
    EXPECT_TRUE(script_.texts.empty());
    EXPECT_TRUE(has(progress, "User aborted operation!\n", "e"));
    EXPECT_EQ(tempFiles(), 0);
    EXPECT_FALSE(recorder_->burnedDisc());
}

TEST_F(RecordTest, RetryAfterAFailedWriteRecordsAgainFromTheSameFiles) {
    addSources({588 * 90 + 1, 588 * 40 + 3});
    transport_->failWrite = 3;
    script_.answers = {IDRETRY};
    // The user puts a new blank disc in before choosing Retry.
    script_.onShow = [this] { recorder_ = std::make_unique<ps::SimulatedRecorder>(*drive_); };
    auto r = request();
    RecordingProgress progress;
    ASSERT_EQ(recordAudio(target_, &progress, *r, {}, nullptr), S_OK) << progress.lastText();
    ASSERT_EQ(script_.texts.size(), 1u);
    EXPECT_EQ(script_.texts[0].rfind("Error: 'WRITE' command failed on device", 0), 0u) << script_.texts[0];
    EXPECT_EQ(script_.captions[0], "Tallory");
    EXPECT_EQ(script_.styles[0], MB_RETRYCANCEL | MB_ICONERROR);
    // Shown as errors too: the main and the detail text.
    int errors = 0;
    for (const auto& m : progress.messages) errors += m.kinds == "e";
    EXPECT_GE(errors, 2);
    // Converted once, written twice.
    EXPECT_EQ(runsOf(0), 1);
    EXPECT_EQ(runsOf(1), 1);
    EXPECT_EQ(tempFiles(), 0);
    expectRippedEqualToSources();
}

TEST_F(RecordTest, CancelAfterAFailedWriteGivesAbort) {
    addSources({588 * 50});
    transport_->failWrite = 2;
    script_.answers = {IDCANCEL};
    auto r = request();
    RecordingProgress progress;
    EXPECT_EQ(recordAudio(target_, &progress, *r, {}, nullptr), E_ABORT);
    EXPECT_EQ(script_.texts.size(), 1u);
    EXPECT_EQ(tempFiles(), 0);
    EXPECT_FALSE(recorder_->burnedDisc());
}

TEST_F(RecordTest, SeventyFiveMinutesAreRecordedAfterTheWarning) {
    // Test mode from the setting: the recorder checks every command but keeps nothing.
    PutProfileInt("BurnCD", "TestMode", 1);
    SilenceSource a(uint64_t(45) * 60 * 176400), b(uint64_t(30) * 60 * 176400);
    auto r = request();
    r->itemCount = 2;
    r->items[0].source = &a;
    r->items[1].source = &b;
    RecordingProgress progress;
    RecordOutcome outcome;
    ASSERT_EQ(recordAudio(target_, &progress, *r, {}, &outcome), S_OK) << progress.lastText();
    // 337500 sectors, shown with the two-second lead as 75:02:00.
    EXPECT_TRUE(has(progress, "Total disc time (75:02:00) exceeds 74 minutes!\n", "i"));
    EXPECT_TRUE(has(progress, "Recording Options: Test mode enabled\n", "i"));
    EXPECT_TRUE(outcome.testMode);
    EXPECT_EQ(progress.range, 337500u);
    EXPECT_EQ(progress.position, 337500u);
    EXPECT_GT(recorder_->writeCommands(), 337500u / 27);
    EXPECT_FALSE(recorder_->burnedDisc());
    EXPECT_EQ(tempFiles(), 0);
}

TEST(RecordCdText, RequestTextsReachTheCueSheetAndTheCdTextRecordIntact) {
    auto r = std::make_unique<CDRecordRequest>();
    std::memset(r.get(), 0, sizeof *r);
    r->cdTextWanted = 1;
    r->itemCount = 2;
    r->cdTextGenreCode = 9;
    r->discTexts[CD_DISC_TITLE] = "Live at \"The Hall\"";
    r->discTexts[CD_DISC_PERFORMER] = "Band";
    r->discTexts[CD_DISC_UPC_EAN] = "1234567890123";
    r->items[0].texts[CD_TRACK_TITLE] = "Say \"Hi\" \\ there";
    r->items[1].texts[CD_TRACK_PERFORMER] = "Guest";
    r->items[1].texts[CD_TRACK_ISRC] = "USABC9900001";
    const engine::CdTextRecord t = cdTextFromRequest(*r);
    ASSERT_EQ(t.trackCount(), 2);
    EXPECT_EQ(t.entries[0][engine::kCdTitle], "Live at \"The Hall\"");
    EXPECT_EQ(t.entries[0][engine::kCdPerformer], "Band");
    EXPECT_EQ(t.entries[0][engine::kCdCode], "1234567890123");
    EXPECT_EQ(t.entries[1][engine::kCdTitle], "Say \"Hi\" \\ there");
    EXPECT_EQ(t.entries[2][engine::kCdPerformer], "Guest");
    EXPECT_EQ(t.entries[2][engine::kCdCode], "USABC9900001");
    EXPECT_EQ(t.genreCode, 9);
    EXPECT_GT(engine::countCdTextPacks(t), 3);

    // The title as the recording puts it into the track list survives the cue sheet.
    const std::string file = "/tmp/tallory_record_cdtext.raw";
    {
        std::ofstream out(file, std::ios::binary);
        std::vector<char> zeros(2352 * 3);
        out.write(zeros.data(), std::streamsize(zeros.size()));
    }
    engine::TrackListEntry e;
    e.path = file;
    e.title = r->items[0].texts[CD_TRACK_TITLE];
    const auto layout = engine::layOutDisc(engine::makeCueSheetLines(engine::DiscInfo{}, {e}));
    ::unlink(file.c_str());
    EXPECT_EQ(layout.cdText.entries.at(1)[engine::kCdTitle], "Say \"Hi\" \\ there");
}

TEST(RecordSpeeds, SpeedIndexesOfDrives) {
    EXPECT_EQ(speedIndexForFactor(52), 22);
    EXPECT_EQ(speedIndexForFactor(48), 21);  // the fastest entry it reaches: 42x
    EXPECT_EQ(speedIndexForFactor(72), 23);
    EXPECT_EQ(speedIndexForFactor(1), 0);
    EXPECT_EQ(speedIndexForFactor(0), 0);
}

// ICDDrive::Record and the speed slots on a recorder of the collection.
class RecordOnDrive : public ::testing::Test {
protected:
    void SetUp() override {
        ps::SimDriveIdentity id;
        id.recorder = true;
        id.maxWriteSpeedKBs = 52 * 176;
        id.devicePath = "/dev/sr7";
        drive_ = std::make_shared<ps::SimulatedDrive>(id);
        recorder_ = std::make_unique<ps::SimulatedRecorder>(*drive_);
        auto d = drive_;
        es::setDeviceProvider([d] { return std::vector<es::FoundTransport>{{d, ""}}; });
        ASSERT_EQ(CreateAudioCDDevices(drives_.out()), S_OK);
        ASSERT_EQ(drives_->GetDrive(0, cd_.out()), S_OK);
        char temp[] = "/tmp/tallory_record_drive_XXXXXX";
        ASSERT_NE(::mkdtemp(temp), nullptr);
        temp_ = temp;
        PutProfileString("Settings", "TempPath", temp_.c_str());
    }
    void TearDown() override {
        cd_ = {};
        drives_ = {};
        es::setDeviceProvider({});
        PutProfileString("Settings", "TempPath", nullptr);
        fs::remove_all(temp_);
    }
    std::shared_ptr<ps::SimulatedDrive> drive_;
    std::unique_ptr<ps::SimulatedRecorder> recorder_;
    Ref<ICDDrives> drives_;
    Ref<ICDDrive> cd_;
    std::string temp_;
};

TEST_F(RecordOnDrive, KindsSpeedsAndARecording) {
    EXPECT_NE(cd_->GetCapabilities() & CD_CAPABILITY_RECORDS, 0);
    EXPECT_EQ(cd_->GetMaxWriteSpeed(), 22);
    // (333000 + 52 x 4500 + 19999) / (52 x 4500)
    EXPECT_EQ(cd_->EstimateWriteMinutes(22, 333000), 2);
    EXPECT_EQ(cd_->EstimateWriteMinutes(0, 333000), (333000 + 4500 + 19999) / 4500);
    EXPECT_EQ(cd_->EstimateWriteMinutes(24, 333000), 0);
    EXPECT_EQ(cd_->EstimateWriteMinutes(-1, 333000), 0);

    MemorySource source;
    source.pcm = noise(588 * 30 + 7, 3);
    int runs = 0;
    source.onRun = [&] { ++runs; };
    auto r = std::make_unique<CDRecordRequest>();
    std::memset(r.get(), 0, sizeof *r);
    r->itemCount = 1;
    r->items[0].source = &source;
    RecordingProgress progress;
    for (int kind : {0, 4, -1}) {
        r->kind = kind;
        EXPECT_EQ(cd_->Record(nullptr, &progress, r.get(), 0, true), E_INVALIDARG) << kind;
    }
    EXPECT_EQ(cd_->Record(nullptr, &progress, nullptr, 0, true), E_INVALIDARG);
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(progress.messages.empty());
    EXPECT_FALSE(recorder_->burnedDisc());
    // A data request whose item names no file is refused before the drive is touched.
    r->kind = CD_RECORD_DATA;
    EXPECT_EQ(cd_->Record(nullptr, &progress, r.get(), 0, true), E_INVALIDARG);
    EXPECT_EQ(runs, 0);
    EXPECT_FALSE(recorder_->burnedDisc());

    r->kind = CD_RECORD_AUDIO;
    ASSERT_EQ(cd_->Record(nullptr, &progress, r.get(), 0, false), S_OK) << progress.lastText();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(has(progress, "Recording Options: BURN-Proof enabled\n"));
    ASSERT_TRUE(recorder_->burnedDisc());
    EXPECT_EQ(recorder_->burnedDisc()->tracks.size(), 1u);
    EXPECT_EQ(recorder_->burnedDisc()->tracks[0].lengthSectors, 31);
    EXPECT_EQ(fs::is_empty(temp_), true);
}

// Kinds 2 and 3 burn the items as an ISO9660 track: the per-file value turns
// Joliet on, the second value keeps the case of names.
TEST_F(RecordOnDrive, DataKindBurnsTheItemsAsAnIsoTrack) {
    const std::string src = temp_ + "/src";
    fs::create_directories(src + "/folder");
    {
        std::ofstream(src + "/folder/inner.txt") << "inside";
        std::ofstream(src + "/a long name.txt") << std::string(5000, 'x');
    }
    auto r = std::make_unique<CDRecordRequest>();
    std::memset(r.get(), 0, sizeof *r);
    r->kind = CD_RECORD_DATA_ALT;
    r->itemCount = 2;
    std::snprintf(r->items[0].path, sizeof r->items[0].path, "%s/folder", src.c_str());
    std::snprintf(r->items[1].path, sizeof r->items[1].path, "%s/a long name.txt", src.c_str());
    r->perFileData = 1;
    std::snprintf(r->volumeLabel, sizeof r->volumeLabel, "%s", "BACKUP");
    RecordingProgress progress;
    ASSERT_EQ(cd_->Record(nullptr, &progress, r.get(), 0, false), S_OK) << progress.lastText();
    EXPECT_TRUE(has(progress, "Writing the ISO9660 disc using disc-at-once recording...\n"));
    ASSERT_TRUE(recorder_->burnedDisc());
    ASSERT_EQ(recorder_->burnedDisc()->tracks.size(), 1u);
    EXPECT_NE(recorder_->burnedDisc()->tracks[0].mode, ps::TrackModeKind::Audio);
    std::string why;
    const std::vector<uint8_t> iso = recorder_->dataTrackUserData(1, &why);
    ASSERT_FALSE(iso.empty()) << why;
    const std::string image = temp_ + "/burned.iso";
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(iso.data()), std::streamsize(iso.size()));
    // xorriso, an independent reader, gets back both items under their Joliet names.
    const std::string out = temp_ + "/out";
    ASSERT_EQ(std::system(("xorriso -osirrox on -indev '" + image + "' -extract / '" + out + "' >/dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(std::system(("cmp -s '" + src + "/folder/inner.txt' '" + out + "/folder/inner.txt'").c_str()), 0);
    EXPECT_EQ(std::system(("cmp -s '" + src + "/a long name.txt' '" + out + "/a long name.txt'").c_str()), 0);
}

TEST_F(RecordTest, CdTextOfTheRequestIsInTheBurnedLeadIn) {
    addSources({588 * 20, 588 * 25 + 4});
    auto r = request();
    r->cdTextWanted = 1;
    r->discTexts[CD_DISC_TITLE] = "Live at \"The Hall\"";
    r->discTexts[CD_DISC_PERFORMER] = "Band";
    r->items[0].texts[CD_TRACK_TITLE] = "Say \"Hi\"";
    r->items[1].texts[CD_TRACK_TITLE] = "Caf\xC3\xA9";  // ISO 8859-1 on the disc
    r->items[1].texts[CD_TRACK_PERFORMER] = "Guest";
    RecordingProgress progress;
    ASSERT_EQ(recordAudio(target_, &progress, *r, {}, nullptr), S_OK) << progress.lastText();
    const auto& text = recorder_->cdText();
    ASSERT_EQ(text.entries.size(), 3u);
    EXPECT_EQ(text.entries[0][0], "Live at \"The Hall\"");
    EXPECT_EQ(text.entries[0][1], "Band");
    EXPECT_EQ(text.entries[1][0], "Say \"Hi\"");
    EXPECT_EQ(text.entries[2][0], "Caf\xC3\xA9");
    EXPECT_EQ(text.entries[2][1], "Guest");
    EXPECT_EQ(text.characterCode, 0x00);
    EXPECT_GT(recorder_->leadInSectorsWritten(), 0);

    // Without CD-TEXT wanted the lead-in carries none, whatever the request holds.
    recorder_ = std::make_unique<ps::SimulatedRecorder>(*drive_);
    r->cdTextWanted = 0;
    ASSERT_EQ(recordAudio(target_, &progress, *r, {}, nullptr), S_OK) << progress.lastText();
    EXPECT_TRUE(recorder_->cdText().empty());
}

TEST_F(RecordOnDrive, ASecondRecordingWhileOneRunsIsRefused) {
    MemorySource first, second;
    first.pcm = noise(588 * 10, 4);
    second.pcm = noise(588 * 10, 5);
    std::promise<void> converting, release;
    std::shared_future<void> go = release.get_future().share();
    first.onRun = [&] {
        converting.set_value();
        go.wait();
    };
    int secondRuns = 0;
    second.onRun = [&] { ++secondRuns; };
    auto a = std::make_unique<CDRecordRequest>();
    std::memset(a.get(), 0, sizeof *a);
    a->kind = CD_RECORD_AUDIO;
    a->itemCount = 1;
    a->items[0].source = &first;
    auto b = std::make_unique<CDRecordRequest>(*a);
    b->items[0].source = &second;
    HRESULT firstResult = E_FAIL;
    std::thread t([&] { firstResult = cd_->Record(nullptr, nullptr, a.get(), 0, true); });
    converting.get_future().wait();
    EXPECT_EQ(cd_->Record(nullptr, nullptr, b.get(), 0, true), E_PENDING);
    release.set_value();
    t.join();
    EXPECT_EQ(firstResult, S_OK);
    EXPECT_EQ(secondRuns, 0);
    // Once the first has ended, the next one runs.
    recorder_ = std::make_unique<ps::SimulatedRecorder>(*drive_);
    EXPECT_EQ(cd_->Record(nullptr, nullptr, b.get(), 0, true), S_OK);
    EXPECT_EQ(secondRuns, 1);
}
