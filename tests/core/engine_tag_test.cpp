// Tags after a conversion: the source's frames carried into a target that takes
// tags, with the encoder-settings and tempo frames; none for other targets or
// after a failed conversion. Files are read back by mutagen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "external_tools.h"
#include "memory_objects.h"
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

// Every ID3 frame mutagen finds, as "ID=text" lines sorted by identifier.
std::string mutagenFrames(const std::string& path) {
    return runCommand("/usr/bin/python3 -c \"import sys, mutagen.id3 as m\n"
                      "try:\n t = m.ID3(sys.argv[1])\nexcept m.ID3NoHeaderError:\n sys.exit(0)\n"
                      "for k in sorted(t.keys()): print(k + '=' + str(t[k]))\" '" + path + "'");
}

template <class T>
T* create(const CLSID& cls, const IID& iid) {
    void* p = nullptr;
    EXPECT_EQ(ConvCreateObject(cls, &iid, &p), S_OK);
    return static_cast<T*>(p);
}

class CancelAfter : public RecordingProgress {
public:
    int left = 2;
    void Advance(uint32_t d) override {
        RecordingProgress::Advance(d);
        if (--left <= 0) cancelled = true;
    }
};

TEST(EngineTags, TaglessSourceGetsOnlyTheEncoderAndTempoFrames) {
    std::string dir = scratch();
    PutProfileInt("Settings", "BPMAnalysis", 1);
    auto* source = new MemorySource;
    source->AddRef();
    source->SetPath((dir + "/clicks.raw").c_str());
    source->pcm = clickTrack(120, 20);
    IConvTarget* target = create<IConvTarget>(CLSID_Mp3Target, IID_IConvTarget);
    ASSERT_NE(target, nullptr);
    std::string out = dir + "/clicks.mp3";
    target->SetPath(out.c_str());
    RecordingProgress p;
    ASSERT_EQ(AudioConvert(source, target, &p, 0, 0, -1, -1), S_OK) << p.lastText();
    std::string frames = mutagenFrames(out);
    EXPECT_NE(frames.find("TSSE=Tallory, L.A.M.E.; 128 kbps; auto kHz; CRC off"), std::string::npos) << frames;
    // The tempo frame: ten times the tempo rounded to four digits, then a 0 (120.34 gives 12030).
    size_t at = frames.find("TBPM=");
    ASSERT_NE(at, std::string::npos) << frames;
    std::string text = frames.substr(at + 5, frames.find('\n', at) - at - 5);
    ASSERT_EQ(text.size(), 5u) << text;
    EXPECT_EQ(text.back(), '0');
    EXPECT_NEAR(std::atoi(text.c_str()) / 100.0, 120.0, 1.0);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), '\n'), 2) << frames;

    // A cancelled conversion writes no tag, and leaves the earlier output as it was.
    std::ifstream before(out, std::ios::binary);
    std::string earlier((std::istreambuf_iterator<char>(before)), {});
    CancelAfter c;
    c.overwriteAnswer = 1;
    ASSERT_NE(AudioConvert(source, target, &c, 0, 0, -1, -1), S_OK);
    std::ifstream after(out, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), earlier);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), '\n'), 2) << frames;
    PutProfileInt("Settings", "BPMAnalysis", 0);
    target->Release();
    source->Release();
}

TEST(EngineTags, TaggedSourceFramesAreCarriedAndTheSettingsFrameReplaced) {
    std::string dir = scratch();
    std::string in = dir + "/in.mp3";
    runCommand("sox -n -r 44100 -c 2 -b 16 '" + dir + "/tone.wav' synth 2 sine 330 && lame --quiet -b 96 '" + dir +
               "/tone.wav' '" + in + "'");
    // The source's tag, written by mutagen: an old settings frame that must go, and frames that must stay.
    runCommand("/usr/bin/python3 -c \"import sys, mutagen.id3 as m\n"
               "t = m.ID3()\nt.add(m.TIT2(encoding=1, text='Tïtle ☃'))\nt.add(m.TPE1(encoding=0, text='Artist'))\n"
               "t.add(m.TRCK(encoding=0, text='7/12'))\nt.add(m.TSSE(encoding=0, text='old encoder'))\n"
               "t.add(m.COMM(encoding=0, lang='eng', desc='d', text='a comment'))\nt.save(sys.argv[1], v2_version=3)\" '" +
               in + "'");
    IConvSource* source = create<IConvSource>(CLSID_Mp3WmaSource, IID_IConvSource);
    IConvTarget* target = create<IConvTarget>(CLSID_Mp3Target, IID_IConvTarget);
    ASSERT_TRUE(source && target);
    source->SetPath(in.c_str());
    std::string out = dir + "/out.mp3";
    target->SetPath(out.c_str());
    char err[TALLORY_MAX_PATH];
    ASSERT_TRUE(target->SetOption("bitrate", "160", err));
    RecordingProgress p;
    ASSERT_EQ(AudioConvert(source, target, &p, 0, 0, -1, -1), S_OK) << p.lastText();
    std::string frames = mutagenFrames(out);
    EXPECT_NE(frames.find("TIT2=Tïtle ☃\n"), std::string::npos) << frames;
    EXPECT_NE(frames.find("TPE1=Artist\n"), std::string::npos) << frames;
    EXPECT_NE(frames.find("TRCK=7/12\n"), std::string::npos) << frames;
    EXPECT_NE(frames.find("COMM:d:eng=a comment\n"), std::string::npos) << frames;
    EXPECT_NE(frames.find("TSSE=Tallory, L.A.M.E.; 160 kbps; auto kHz; CRC off\n"), std::string::npos) << frames;
    EXPECT_EQ(frames.find("old encoder"), std::string::npos) << frames;
    EXPECT_EQ(frames.find("TBPM"), std::string::npos) << frames;  // tempo analysis is off
    source->Release();
    target->Release();
}

TEST(EngineTags, TargetsWithoutTagsGetNone) {
    std::string dir = scratch();
    std::string in = dir + "/in.mp3";
    runCommand("sox -n -r 44100 -c 1 -b 16 '" + dir + "/tone.wav' synth 1 sine 330 && lame --quiet '" + dir +
               "/tone.wav' '" + in + "' && /usr/bin/python3 -c \"import sys, mutagen.id3 as m\nt = m.ID3()\n"
               "t.add(m.TIT2(encoding=0, text='x'))\nt.save(sys.argv[1], v2_version=3)\" '" + in + "'");
    IConvSource* source = create<IConvSource>(CLSID_Mp3WmaSource, IID_IConvSource);
    IConvTarget* target = create<IConvTarget>(CLSID_WavTarget, IID_IConvTarget);
    source->SetPath(in.c_str());
    std::string out = dir + "/out.wav";
    target->SetPath(out.c_str());
    RecordingProgress p;
    ASSERT_EQ(AudioConvert(source, target, &p, 0, 0, -1, -1), S_OK) << p.lastText();
    // The WAV holds exactly its RIFF form: nothing was appended or prepended.
    auto bytes = readFileBytes(out);
    ASSERT_GE(bytes.size(), 12u);
    uint32_t riffSize = bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) | (uint32_t(bytes[7]) << 24);
    EXPECT_EQ(riffSize + 8 + (riffSize & 1), bytes.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    source->Release();
    target->Release();
}

}  // namespace
