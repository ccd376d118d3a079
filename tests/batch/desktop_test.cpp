// The desktop stand-ins a batch uses: deletion to the freedesktop.org Trash
// (checked against its .trashinfo records), AddToMediaLibrary through a
// stand-in xdg-open, and sounds on the ALSA "null" device.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/batch_convert.h"
#include "core/batch_sounds.h"
#include "fake_tag.h"
#include "platform/audioout/sound_player.h"
#include "platform/desktop/trash.h"
#include "platform/files/file_system.h"
#include "recording_progress.h"
#include "tallory/tallory.h"

namespace {

namespace fs = tallory::platform;

std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + dir + "'").c_str());
    fs::createDirectories(dir);
    return dir;
}

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write(const std::string& path, const std::string& bytes) {
    fs::createDirectories(fs::directoryOf(path));
    std::ofstream(path, std::ios::binary) << bytes;
}

int entriesIn(const std::string& dir) {
    std::string out;
    std::string command = "ls -A '" + dir + "' | wc -l";
    FILE* p = popen(command.c_str(), "r");
    char line[32] = "";
    if (p != nullptr && fgets(line, sizeof line, p) == nullptr) line[0] = '\0';
    if (p != nullptr) pclose(p);
    return std::atoi(line);
}

// "YYYY-MM-DDThh:mm:ss" and a line feed.
bool looksLikeDeletionDate(const std::string& text) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd\n";
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
    }
    return true;
}

class Desktop : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = scratch();
        setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
        PutProfileString("Settings", nullptr, nullptr);
        PutProfileString("Sounds", nullptr, nullptr);
    }
    std::string dir_;
};

TEST_F(Desktop, TrashKeepsTheFileAndRecordsWhereItCameFrom) {
    std::string a = dir_ + "/in/my song%1.wav";
    std::string b = dir_ + "/other/my song%1.wav";
    write(a, "first");
    write(b, "second");
    auto failures = fs::moveToTrash({a, b, dir_ + "/in/missing.wav"});
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].path, dir_ + "/in/missing.wav");
    EXPECT_FALSE(fs::pathExists(a));
    EXPECT_FALSE(fs::pathExists(b));
    std::string trash = dir_ + "/data/Trash";
    EXPECT_EQ(read(trash + "/files/my song%1.wav"), "first");
    // The second file of the same name gets a name of its own.
    EXPECT_EQ(read(trash + "/files/my song%1.2.wav"), "second");
    std::string info = read(trash + "/info/my song%1.wav.trashinfo");
    std::string head = "[Trash Info]\nPath=" + dir_ + "/in/my%20song%251.wav\nDeletionDate=";
    ASSERT_EQ(info.rfind(head, 0), 0u) << info;
    EXPECT_TRUE(looksLikeDeletionDate(info.substr(head.size()))) << info;
    EXPECT_NE(read(trash + "/info/my song%1.2.wav.trashinfo").find("/other/my%20song%251.wav\n"),
              std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(trash.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(Desktop, BatchMovesOnlyConvertedSourcesToTheTrash) {
    std::vector<TaggedSource*> sources;
    std::vector<MemoryTarget*> targets;
    std::vector<BatchItem> items;
    for (int i = 0; i < 3; ++i) {
        std::string path = dir_ + "/in/s" + std::to_string(i) + ".wav";
        write(path, "pcm");
        auto* s = new TaggedSource;
        s->AddRef();
        s->hasTag = false;
        s->SetPath(path.c_str());
        s->pcm.assign(4000, 1);
        s->failRun = i == 1;
        auto* t = new MemoryTarget;
        t->AddRef();
        BatchItem item{};
        std::snprintf(item.scheme, sizeof item.scheme, "%s/out/<sourcename>", dir_.c_str());
        item.startMs = item.endMs = -1;
        item.source = s;
        item.target = t;
        items.push_back(item);
        sources.push_back(s);
        targets.push_back(t);
    }
    items.push_back(BatchItem{});
    ::testing::internal::CaptureStderr();
    BatchResult result{};
    EXPECT_EQ(BatchConvertEx(items.data(), nullptr, 0, 1, nullptr, &result), S_FALSE);
    ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fs::pathExists(dir_ + "/in/s0.wav"));
    EXPECT_TRUE(fs::pathExists(dir_ + "/in/s1.wav"));
    EXPECT_FALSE(fs::pathExists(dir_ + "/in/s2.wav"));
    EXPECT_EQ(read(dir_ + "/data/Trash/files/s2.wav"), "pcm");
    EXPECT_TRUE(fs::pathExists(dir_ + "/data/Trash/info/s0.wav.trashinfo"));
    EXPECT_FALSE(fs::pathExists(dir_ + "/data/Trash/info/s1.wav.trashinfo"));
    for (auto* s : sources) s->Release();
    for (auto* t : targets) t->Release();
}

TEST_F(Desktop, AddToMediaLibraryWritesAndOpensTheScript) {
    // A stand-in xdg-open that keeps what it was asked to open.
    std::string bin = dir_ + "/bin";
    write(bin + "/xdg-open", "#!/bin/sh\ncp \"$1\" '" + dir_ + "/opened'\necho \"$1\" > '" + dir_ + "/name'\n");
    chmod((bin + "/xdg-open").c_str(), 0755);
    std::string path = std::string(std::getenv("PATH"));
    setenv("PATH", (bin + ":" + path).c_str(), 1);
    PutProfileString("Settings", "TempPath", (dir_ + "/tmp").c_str());
    fs::createDirectories(dir_ + "/tmp");

    EXPECT_EQ(AddToMediaLibrary(nullptr, "/music/a.mp3"), S_FALSE);
    EXPECT_FALSE(fs::pathExists(dir_ + "/opened"));

    PutProfileInt("Settings", "AddToMediaLibrary", 1);
    EXPECT_EQ(AddToMediaLibrary(nullptr, "/music/say \"hi\".mp3"), S_OK);
    EXPECT_EQ(read(dir_ + "/opened"),
              "On Error Resume Next\r\nDim Player\r\nSet Player = CreateObject(\"WMPlayer.OCX\")\r\n"
              "Player.MediaCollection.add(\"/music/say \"\"hi\"\".mp3\")");
    std::string opened = read(dir_ + "/name");
    std::string prefix = dir_ + "/tmp/vbs";
    EXPECT_EQ(opened.rfind(prefix, 0), 0u) << opened;
    EXPECT_EQ(opened.size(), prefix.size() + 6 + 5) << opened;
    EXPECT_EQ(opened.substr(opened.size() - 5), ".vbs\n") << opened;
    // Both the temporary file and its ".vbs" copy are gone.
    EXPECT_EQ(entriesIn(dir_ + "/tmp"), 0);

    PutProfileString("Settings", "TempPath", (dir_ + "/no/such/dir").c_str());
    EXPECT_EQ(AddToMediaLibrary(nullptr, "/music/a.mp3"), E_FAIL);
    setenv("PATH", path.c_str(), 1);
}

TEST_F(Desktop, SoundsPlayOnTheNullDevice) {
    setenv("TALLORY_AUDIO_DEVICE", "null", 1);
    EXPECT_EQ(fs::soundDevice(), "null");
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    std::vector<uint8_t> pcm(44100 / 5 * 4, 0);
    ASSERT_TRUE(fs::playSound(format, pcm));
    EXPECT_EQ(fs::waitForSound(), 44100u / 5);
    // A new sound replaces the one playing.
    ASSERT_TRUE(fs::playSound(format, std::vector<uint8_t>(44100 * 4 * 20, 0)));
    ASSERT_TRUE(fs::playSound(format, std::vector<uint8_t>(4 * 1000, 0)));
    EXPECT_EQ(fs::waitForSound(), 1000u);
    fs::stopSound();
    WAVEFORMATEX adpcm = format;
    adpcm.wFormatTag = 2;
    EXPECT_FALSE(fs::playSound(adpcm, pcm));
    setenv("TALLORY_AUDIO_DEVICE", "no-such-device", 1);
    ASSERT_TRUE(fs::playSound(format, pcm));
    EXPECT_EQ(fs::waitForSound(), 0u);

    // Named sounds: nothing without a value, a file, or a source for its format.
    using namespace tallory::core;
    EXPECT_FALSE(playNamedSound(kSoundConversionDone));
    PutProfileString("Sounds", kSoundConversionDone, (dir_ + "/missing.wav").c_str());
    EXPECT_FALSE(playNamedSound(kSoundConversionDone));
    write(dir_ + "/done.xyz", "not a sound");
    PutProfileString("Sounds", kSoundConversionDone, (dir_ + "/done.xyz").c_str());
    EXPECT_FALSE(playNamedSound(kSoundConversionDone));

    // A WAV file made by sox is decoded by our own reader and played whole.
    setenv("TALLORY_AUDIO_DEVICE", "null", 1);
    std::string wav = dir_ + "/done.wav";
    ASSERT_EQ(std::system(("sox -n -r 22050 -c 1 -b 16 '" + wav + "' synth 0.1 sine 440").c_str()), 0);
    PutProfileString("Sounds", kSoundConversionDone, wav.c_str());
    ASSERT_TRUE(playNamedSound(kSoundConversionDone));
    EXPECT_EQ(fs::waitForSound(), 2205u);
}

}  // namespace
