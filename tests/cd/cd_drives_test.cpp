// Drives and tracks through the exports, over simulated drives: table of
// contents, disc ids of known discs, track records and paths, ripping with
// faults, tags, and drive discovery over a fake sysfs tree.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "cd/disc_id.h"
#include "cd/engine/scsi/scsi_layer.h"
#include "cd_test_support.h"
#include "platform/scsi/cue_image.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sysfs_scan.h"
#include "recording_progress.h"
#include "tallory/ref.h"
#include "tallory/tallory.h"

namespace ps = tallory::platform::scsi;
namespace es = tallory::cd::engine::scsi;
using tallory::Ref;

namespace {

// A disc with tracks at these LBAs (the last entry audio or data) and no
// sample data, for table-of-contents tests; an enhanced CD's data track goes
// into a second session.
std::shared_ptr<ps::DiscModel> layoutDisc(const std::vector<int32_t>& starts, int32_t leadOut, bool lastIsData) {
    auto d = std::make_shared<ps::DiscModel>();
    auto store = std::make_shared<ps::MemorySectorStore>();
    for (std::size_t i = 0; i < starts.size(); ++i) {
        ps::DiscTrack t;
        t.number = int(i) + 1;
        t.startLba = starts[i];
        const bool data = lastIsData && i + 1 == starts.size();
        t.mode = data ? ps::TrackModeKind::Mode1Raw : ps::TrackModeKind::Audio;
        t.session = data ? 2 : 1;
        int32_t end = i + 1 < starts.size() ? starts[i + 1] : leadOut;
        if (lastIsData && i + 2 == starts.size()) end -= ps::kSessionGapSectors;
        t.lengthSectors = end - t.startLba;
        t.store = store;
        d->tracks.push_back(t);
    }
    const int audio = int(starts.size()) - (lastIsData ? 1 : 0);
    d->sessions.push_back({1, 1, audio, d->tracks[std::size_t(audio) - 1].startLba + d->tracks[std::size_t(audio) - 1].lengthSectors});
    if (lastIsData) d->sessions.push_back({2, audio + 1, audio + 1, leadOut});
    EXPECT_EQ(d->validate(), "");
    return d;
}

// Puts drives in place for the next collection.
void useDrives(std::vector<std::shared_ptr<ps::SimulatedDrive>> drives) {
    es::setDeviceProvider([drives] {
        std::vector<es::FoundTransport> out;
        for (const auto& d : drives) out.push_back({d, ""});
        return out;
    });
}

std::shared_ptr<ps::SimulatedDrive> driveWith(std::shared_ptr<ps::DiscModel> disc, ps::SimFaults faults = {},
                                              const std::string& path = "/dev/sr3", uint32_t target = 0) {
    ps::SimDriveIdentity id;
    id.devicePath = path;
    id.address.target = target;
    auto d = std::make_shared<ps::SimulatedDrive>(id, faults);
    d->loadDisc(std::move(disc));
    return d;
}

Ref<ICDDrive> firstDrive(Ref<ICDDrives>& drives) {
    EXPECT_EQ(CreateAudioCDDevices(drives.out()), S_OK);
    Ref<ICDDrive> drive;
    EXPECT_EQ(drives->GetDrive(0, drive.out()), S_OK);
    return drive;
}

struct CollectSink : IConvSink {
    std::vector<uint8_t> bytes;
    std::size_t stopAfter = SIZE_MAX;
    bool Write(const void* data, uint32_t n) override {
        bytes.insert(bytes.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + n);
        return bytes.size() < stopAfter;
    }
};

class CdDrives : public ::testing::Test {
protected:
    void TearDown() override { es::setDeviceProvider({}); }
};

}  // namespace

TEST(DiscIds, KnownDiscsFromPublicRecords) {
    using tallory::cd::TocTrack;
    // Ladyhawke (12 audio tracks and a data track), freedb c60af50d.
    const int32_t lady[] = {0, 15537, 31691, 50866, 66466, 81202, 99409, 115920, 133093, 149847, 161560, 177682, 207106};
    std::vector<TocTrack> t;
    for (int i = 0; i < 13; ++i) t.push_back({i + 1, lady[i], i < 12});
    auto ids = tallory::cd::accurateRipIds(t, 210385);
    EXPECT_EQ(ids.freedb, 0xc60af50du);
    EXPECT_EQ(ids.id1, 0x0013bd5au);
    EXPECT_EQ(ids.id2, 0x00b8d489u);
    EXPECT_EQ(ids.audioTracks, 12);
    // Liquid (10 audio tracks and a data track): freedb 9e11600b.
    const int32_t liquid[] = {0, 12617, 40337, 63075, 93260, 117965, 151715, 184190, 215110, 247305, 281585};
    t.clear();
    for (int i = 0; i < 11; ++i) t.push_back({i + 1, liquid[i], i < 10});
    ids = tallory::cd::accurateRipIds(t, 333651);
    EXPECT_EQ(ids.freedb, 0x9e11600bu);
    EXPECT_EQ(ids.id1, 0x00164419u);
    EXPECT_EQ(ids.id2, 0x00b9f6e2u);
    // Seconds are truncated before the subtraction: a lead-out 74 frames past
    // a second boundary and a first track 1 frame past one.
    t = {{1, 1, true}};
    EXPECT_EQ((tallory::cd::freedbDiscId(t, 75 * 10 + 74) >> 8) & 0xFFFF, 10u);
    EXPECT_EQ(tallory::cd::packedMsf(4500 + 75 * 2 + 3), 0x010203u);
}

TEST_F(CdDrives, EnhancedCdTableThroughTheDrive) {
    const std::vector<int32_t> lady = {0, 15537, 31691, 50866, 66466, 81202, 99409, 115920, 133093, 149847, 161560, 177682, 207106};
    useDrives({driveWith(layoutDisc(lady, 210385, true))});
    Ref<ICDDrives> drives;
    Ref<ICDDrive> drive = firstDrive(drives);
    ASSERT_EQ(drive->RefreshTOC(), S_OK);
    EXPECT_EQ(drive->GetDiscId(), 0xc60af50du);
    int count = 0;
    drive->GetTrackCount(&count);
    EXPECT_EQ(count, 12);
    const uint32_t* layout = drive->GetDiscLayout();
    ASSERT_NE(layout, nullptr);
    EXPECT_EQ(layout[0], 13u);
    EXPECT_EQ(layout[13], 207106u);
    EXPECT_EQ(layout[14], 210385u);
    Ref<ICDTrack> last;
    ASSERT_EQ(drive->OpenTrack(11, last.out()), S_OK);
    CDTrackRecord r{};
    ASSERT_EQ(last->GetTrackRecord(&r), S_OK);
    EXPECT_EQ(r.trackNumber, 12);
    EXPECT_EQ(r.lengthSectors, 207106u - 177682u - 11400u);
    EXPECT_EQ(r.startMsf, tallory::cd::packedMsf(177682 + 150));
    int m = 0, s = 0, f = 0;
    last->GetLength(&m, &s, &f);
    EXPECT_EQ(m * 4500 + s * 75 + f, int(r.lengthSectors));
    uint32_t id1 = 0, id2 = 0, freedb = 0;
    int n = 0;
    ASSERT_EQ(CDGetAccurateRipIds(drive.get(), &id1, &id2, &freedb, &n), S_OK);
    EXPECT_EQ(id1, 0x0013bd5au);
    EXPECT_EQ(id2, 0x00b8d489u);
    char title[64];
    EXPECT_TRUE(drive->GetTrackTitle(0, title, sizeof title));
    EXPECT_STREQ(title, "Track 1");
    EXPECT_FALSE(drive->GetTrackTitle(12, title, sizeof title));  // the data track has no title
    EXPECT_FALSE(drive->GetTrackTitle(13, title, sizeof title));
    char desc[128];
    ASSERT_EQ(drive->GetDescription(desc, sizeof desc), S_OK);
    EXPECT_STREQ(desc, "TALLORY SIMULATED CD 1.0 (/dev/sr3)");
    EXPECT_EQ(drive->GetDriveLetter(), 3);
    EXPECT_EQ(drives->CountDrives(0), 1);
    EXPECT_EQ(drives->CountDrives(CD_CAPABILITY_RECORDS), 0);
    char err[TALLORY_MAX_PATH];
    EXPECT_EQ(drives->GetInitError(err), S_OK);
    EXPECT_EQ(drives->GetDrive(1, drive.out()), E_INVALIDARG);
}

TEST_F(CdDrives, TrackPathsRecordsAndDetach) {
    auto img = cdtest::makeImage({{300}, {200}, {150}});
    auto disc = std::shared_ptr<ps::DiscModel>(ps::loadCueImage(img.cuePath).disc);
    auto sim = driveWith(disc);
    useDrives({sim});
    Ref<ICDDrives> drives;
    Ref<ICDDrive> drive = firstDrive(drives);
    ASSERT_EQ(drive->RefreshTOC(), S_OK);
    // A source made by the factory finds its drive and record from the path.
    Ref<IConvSource> source;
    ASSERT_EQ(ConvCreateObject(CLSID_CDTrackSource, &IID_IConvSource, reinterpret_cast<void**>(source.out())), S_OK);
    EXPECT_FALSE(source->SetPath("/dev/sr3/Track09.cda"));
    EXPECT_FALSE(source->SetPath("/dev/sr4/Track01.cda"));
    EXPECT_FALSE(source->SetPath("/dev/sr3/Track1.wav"));
    ASSERT_TRUE(source->SetPath("/dev/sr3/Track02.cda"));
    char path[TALLORY_MAX_PATH];
    ASSERT_TRUE(source->GetPath(path, sizeof path));
    EXPECT_STREQ(path, "/dev/sr3/Track02.cda");
    EXPECT_FALSE(source->GetPath(path, 10));
    ASSERT_TRUE(source->GetFileName(path, sizeof path));
    EXPECT_STREQ(path, "Track 2");
    Ref<ICDTrack> track;
    ASSERT_EQ(source->QueryInterface(IID_ICDTrack, reinterpret_cast<void**>(track.out())), S_OK);
    CDTrackRecord r{};
    ASSERT_EQ(track->GetTrackRecord(&r), S_OK);
    EXPECT_EQ(r.version, 1);
    EXPECT_EQ(r.startSector, 300u);
    EXPECT_EQ(r.lengthSectors, 200u);
    EXPECT_EQ(r.discSerial, tallory::cd::packedMsf(150) + tallory::cd::packedMsf(450) + tallory::cd::packedMsf(650));
    Ref<ICDTrack> byPath;
    ASSERT_EQ(drive->OpenTrackByPath("/dev/sr3/Track03.cda", byPath.out()), S_OK);
    EXPECT_EQ(drive->OpenTrackByPath("/dev/sr3/Track04.cda", byPath.out()), E_INVALIDARG);
    // Same disc again: the track stays attached. Another disc: it is detached.
    ASSERT_EQ(drive->RefreshTOC(), S_OK);
    EXPECT_EQ(track->GetTrackRecord(&r), S_OK);
    auto other = cdtest::makeImage({{500}, {100}}, 3, "other");
    sim->loadDisc(std::shared_ptr<ps::DiscModel>(ps::loadCueImage(other.cuePath).disc));
    ASSERT_EQ(drive->RefreshTOC(), S_OK);
    EXPECT_EQ(track->GetTrackRecord(&r), E_FAIL);
    Ref<ICDDrive> none;
    EXPECT_EQ(track->GetDrive(none.out()), E_FAIL);
    EXPECT_FALSE(source->Open());
    // No disc: the table read fails and nothing is kept.
    sim->ejectDisc();
    EXPECT_EQ(drive->RefreshTOC(), E_FAIL);
    EXPECT_EQ(drive->GetDiscLayout(), nullptr);
    EXPECT_EQ(drive->GetDiscId(), 0u);
}

TEST_F(CdDrives, RipsWithFaultsEqualTheImage) {
    auto img = cdtest::makeImage({{600}, {400}});
    ps::SimFaults faults;
    faults.jitterShare = 0.3;
    faults.jitterMaxSamples = 200;
    faults.badSectors = {700};
    useDrives({driveWith(std::shared_ptr<ps::DiscModel>(ps::loadCueImage(img.cuePath).disc), faults)});
    PutProfileInt("AudioCD", "JitterCorrection", 2);
    PutProfileInt("AudioCD", "ErrorMode", 1);
    Ref<ICDDrives> drives;
    Ref<ICDDrive> drive = firstDrive(drives);
    ASSERT_EQ(drive->RefreshTOC(), S_OK);
    Ref<ICDTrack> track;
    ASSERT_EQ(drive->OpenTrack(1, track.out()), S_OK);
    Ref<IConvSource> source;
    ASSERT_EQ(track->QueryInterface(IID_IConvSource, reinterpret_cast<void**>(source.out())), S_OK);
    RecordingProgress progress;
    source->SetProgress(&progress);
    ASSERT_TRUE(source->Open());
    WAVEFORMATEX fmt{};
    ASSERT_TRUE(source->GetFormat(&fmt));
    EXPECT_EQ(fmt.nSamplesPerSec, 44100u);
    EXPECT_EQ(fmt.nBlockAlign, 4);
    CollectSink sink;
    ASSERT_TRUE(source->Run(&sink));
    std::vector<uint8_t> want(img.bin.begin() + 600 * 2352, img.bin.end());
    std::fill(want.begin() + 100 * 2352, want.begin() + 101 * 2352, uint8_t(0));
    EXPECT_TRUE(sink.bytes == want);
    bool told = false;
    for (const auto& m : progress.messages) told = told || m.text.find("Sector 700") != std::string::npos;
    EXPECT_TRUE(told);
    CDRipReport rep{};
    rep.size = sizeof rep;
    ASSERT_EQ(CDGetRipReport(source.get(), &rep), S_OK);
    EXPECT_EQ(rep.silencedSectors, 1u);
    EXPECT_EQ(rep.firstSilencedSector, 700);
    EXPECT_FALSE(rep.accurate);
    source->Close();
    // Error mode 0: the run fails with the engine's texts.
    PutProfileInt("AudioCD", "ErrorMode", 0);
    progress.messages.clear();
    ASSERT_TRUE(source->Open());
    CollectSink again;
    EXPECT_FALSE(source->Run(&again));
    bool failed = false;
    for (const auto& m : progress.messages)
        failed = failed || (m.kinds == "e" && m.text.find("Unable to read AUDIO sectors") != std::string::npos);
    EXPECT_TRUE(failed);
    source->Close();
    // A start time of 1000 ms starts 75 sectors in; one past the end delivers nothing.
    PutProfileInt("AudioCD", "ErrorMode", 1);
    source->SetStartTime(1000);
    ASSERT_TRUE(source->Open());
    CollectSink later;
    ASSERT_TRUE(source->Run(&later));
    EXPECT_EQ(later.bytes.size(), (400u - 75u) * 2352u);
    EXPECT_TRUE(std::equal(later.bytes.begin(), later.bytes.begin() + 2352, img.bin.begin() + (600 + 75) * 2352));
    source->Close();
    source->SetStartTime(10000);
    ASSERT_TRUE(source->Open());
    CollectSink nothing;
    EXPECT_TRUE(source->Run(&nothing));
    EXPECT_TRUE(nothing.bytes.empty());
    source->Close();
    // A sink that stops ends the run quietly with false.
    source->SetStartTime(-1);
    ASSERT_TRUE(source->Open());
    CollectSink stopping;
    stopping.stopAfter = 10 * 2352;
    progress.messages.clear();
    EXPECT_FALSE(source->Run(&stopping));
    for (const auto& m : progress.messages) EXPECT_NE(m.kinds, "e") << m.text;
    source->Close();
    PutProfileInt("AudioCD", "JitterCorrection", 0);
}

TEST_F(CdDrives, LibraryWayReadsTheSameBytes) {
    auto img = cdtest::makeImage({{300}, {250}});
    const char* paths[] = {img.cuePath.c_str()};
    char why[256] = "";
    ASSERT_EQ(CDUseImageDrives(paths, 1, why, sizeof why), S_OK) << why;
    PutProfileInt("Settings", "NoGoldenhawk", 1);
    Ref<ICDDrives> drives;
    Ref<ICDDrive> drive = firstDrive(drives);
    ASSERT_EQ(drive->RefreshTOC(), S_OK);
    Ref<ICDTrack> track;
    ASSERT_EQ(drive->OpenTrack(1, track.out()), S_OK);
    Ref<IConvSource> source;
    track->QueryInterface(IID_IConvSource, reinterpret_cast<void**>(source.out()));
    ASSERT_TRUE(source->Open());
    CollectSink sink;
    EXPECT_TRUE(source->Run(&sink));
    EXPECT_TRUE(sink.bytes == std::vector<uint8_t>(img.bin.begin() + 300 * 2352, img.bin.end()));
    source->Close();
    PutProfileInt("Settings", "NoGoldenhawk", 0);
    // A second collection cannot swap its drives while this one lives.
    EXPECT_EQ(CDUseImageDrives(paths, 1, why, sizeof why), E_UNEXPECTED);
    const char* bad[] = {"/nonexistent/disc.cue"};
    track = Ref<ICDTrack>();
    source = Ref<IConvSource>();
    drive = Ref<ICDDrive>();
    drives = Ref<ICDDrives>();
    EXPECT_EQ(CDUseImageDrives(bad, 1, why, sizeof why), E_FAIL);
    EXPECT_NE(std::string(why).find("disc.cue"), std::string::npos);
}

TEST_F(CdDrives, ReadTagBuildsTheFrames) {
    auto img = cdtest::makeImage({{300}, {200}});
    useDrives({driveWith(std::shared_ptr<ps::DiscModel>(ps::loadCueImage(img.cuePath).disc))});
    Ref<ICDDrives> drives;
    Ref<ICDDrive> drive = firstDrive(drives);
    ASSERT_EQ(drive->RefreshTOC(), S_OK);
    Ref<ICDTrack> track;
    ASSERT_EQ(drive->OpenTrack(1, track.out()), S_OK);
    Ref<IMetadataFile> file;
    ASSERT_EQ(track->QueryInterface(IID_IMetadataFile, reinterpret_cast<void**>(file.out())), S_OK);
    EXPECT_EQ(file->GetCapabilities(), METADATA_CAN_READ);
    EXPECT_EQ(file->WriteTag(nullptr), E_NOTIMPL);
    auto textOf = [](IMetadataTag* tag, int id) {
        ITextFrame* f = nullptr;
        if (FAILED(tag->GetFrame(id, IID_ITextFrame, reinterpret_cast<void**>(&f))) || f == nullptr) return std::string("-");
        char16_t buf[256] = {};
        f->GetText(buf, 256);
        f->Release();
        std::string s;
        for (char16_t* p = buf; *p; ++p) s += char(*p);
        return s;
    };
    {
        Ref<IMetadataTag> tag;
        ASSERT_EQ(file->ReadTag(tag.out()), S_OK);
        EXPECT_EQ(textOf(tag.get(), 68), "2/2");
        EXPECT_EQ(textOf(tag.get(), 47), "Track 2");
        char id[16];
        std::snprintf(id, sizeof id, "%08X", drive->GetDiscId());
        EXPECT_EQ(textOf(tag.get(), 29), id);
        EXPECT_EQ(textOf(tag.get(), 51), std::to_string(200 * 1000 / 75));
        EXPECT_EQ(textOf(tag.get(), 53), "CD");
        EXPECT_EQ(textOf(tag.get(), 61), "-");
        EXPECT_EQ(textOf(tag.get(), 80), "-");
    }
    drive->SetTitle("An Album");
    drive->SetArtist("Somebody");
    drive->SetYear(1999);
    drive->SetTrackTitle(1, "Second");
    Ref<IMetadataTag> tag;
    ASSERT_EQ(file->ReadTag(tag.out()), S_OK);
    EXPECT_EQ(textOf(tag.get(), 29), "An Album");
    EXPECT_EQ(textOf(tag.get(), 61), "Somebody");
    EXPECT_EQ(textOf(tag.get(), 80), "1999");
    EXPECT_EQ(textOf(tag.get(), 47), "Second");
    EXPECT_FALSE(drive->SetTrackTitle(5, "x"));
}

TEST(SysfsScan, FindsCdDevicesInAFakeTree) {
    namespace fs = std::filesystem;
    const std::string root = cdtest::makeTempFolder("sysfs");
    auto device = [&](const std::string& name, const std::string& hctl, const std::string& vendor, const std::string& model) {
        const fs::path dev = fs::path(root) / "devices/pci0000:00/ata2/host1" / hctl;
        fs::create_directories(dev);
        std::ofstream(dev / "vendor") << vendor << "\n";
        std::ofstream(dev / "model") << model << "\n";
        std::ofstream(dev / "rev") << "1.02\n";
        std::ofstream(dev / "type") << "5\n";
        fs::create_directories(fs::path(root) / "class/block" / name);
        fs::create_directory_symlink(dev, fs::path(root) / "class/block" / name / "device");
    };
    device("sr1", "1:0:0:0", "HL-DT-ST", "DVDRAM GH24NSD1 ");
    device("sr0", "0:0:1:0", "ASUS    ", "DRW-24B1ST   a");
    device("sda", "2:0:0:0", "ATA", "DISK");  // not a CD node
    fs::create_directories(fs::path(root) / "class/block/sr9");  // no device link
    fs::create_directories(fs::path(root) / "class/scsi_host/host1");
    std::ofstream(fs::path(root) / "class/scsi_host/host1/proc_name") << "ahci\n";
    const auto found = ps::scanSysfs(root, "/dev");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].node, "/dev/sr0");
    EXPECT_EQ(found[0].address, (ps::ScsiAddress{0, 0, 1, 0}));
    EXPECT_EQ(found[0].vendor, "ASUS");
    EXPECT_EQ(found[0].model, "DRW-24B1ST   a");
    EXPECT_EQ(found[1].node, "/dev/sr1");
    EXPECT_EQ(found[1].address.host, 1u);
    EXPECT_EQ(found[1].revision, "1.02");
    EXPECT_EQ(found[1].type, 5);
    EXPECT_EQ(found[1].adapter, "ahci");
    EXPECT_TRUE(ps::scanSysfs(root + "/absent").empty());
    fs::remove_all(root);
}
