// The length `tallory info` gives an MP3 is the number of samples a conversion
// delivers (FFmpeg's decoder as the oracle), taken from the LAME/Xing header;
// FFmpeg's own log lines go through the library's log at the level chosen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "formats/wm/mp3_info_header.h"
#include "media_test_support.h"

namespace {

using namespace mediatest;
using tallory::formats::wm::parseMp3InfoHeader;

std::string bin() {
    const char* b = std::getenv("TALLORY_TEST_BIN");
    return b != nullptr ? b : "bin";
}

// "length: N bytes" of `tallory info`.
long long infoBytes(const std::string& path) {
    const std::string out = run("'" + bin() + "/tallory' info '" + path + "'");
    const size_t at = out.find("length: ");
    return at == std::string::npos ? -1 : std::atoll(out.c_str() + at + 8);
}

long long decodedBytes(const std::string& path) {
    const std::string out = run("ffmpeg -nostdin -v error -i '" + path + "' -f s16le - | wc -c");
    return std::atoll(out.c_str());
}

TEST(Mp3Length, InfoGivesTheDecodedLengthToTheSample) {
    const std::string dir = scratch();
    struct Case {
        const char* name;
        const char* options;
    };
    const Case cases[] = {
        {"cbr.mp3", "-ac 2 -ar 44100 -b:a 128k"},
        {"vbr.mp3", "-ac 1 -ar 22050 -q:a 4"},
        {"low.mp3", "-ac 1 -ar 8000 -b:a 16k"},
        {"tagged.mp3", "-ac 2 -ar 48000 -b:a 96k -metadata title=T -id3v2_version 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/" + c.name;
        bool ok = false;
        run("ffmpeg -nostdin -y -v error -f lavfi -i sine=duration=1.2345 " + std::string(c.options) +
                " -c:a libmp3lame '" + path + "'",
            &ok);
        ASSERT_TRUE(ok);
        const long long decoded = decodedBytes(path);
        ASSERT_GT(decoded, 0);
        EXPECT_EQ(infoBytes(path), decoded);
    }
    // A large ID3v2 tag before the first frame changes nothing.
    const std::string big = dir + "/big.mp3";
    run("/usr/bin/python3 -c \"import mutagen.id3 as id3; t=id3.ID3(); t.add(id3.TXXX(encoding=0, desc='pad', "
        "text=['x'*300000])); t.save('" + dir + "/cbr.mp3')\"");
    EXPECT_EQ(infoBytes(dir + "/cbr.mp3"), decodedBytes(dir + "/cbr.mp3"));
    (void)big;
}

TEST(Mp3Length, InfoHeaderParserBoundaries) {
    // MPEG-1 layer III, 128 kbit/s, 44.1 kHz, joint stereo; "Info" after 32 bytes of side information.
    std::vector<uint8_t> frame = {0xFF, 0xFB, 0x90, 0x64};
    frame.resize(4 + 32, 0);
    for (char c : std::string("Info")) frame.push_back(static_cast<uint8_t>(c));
    frame.insert(frame.end(), {0, 0, 0, 1, 0, 0, 0, 10});  // frames only: 10
    frame.resize(frame.size() + 21, 'L');
    frame.insert(frame.end(), {0x24, 0x05, 0xAD});         // delay 576, padding 1453
    auto h = parseMp3InfoHeader(frame);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->frames, 10u);
    EXPECT_EQ(h->encoderDelay, 576u);
    EXPECT_EQ(h->padding, 1453u);
    EXPECT_EQ(h->samples(), 10u * 1152 - 576 - 1453);
    // Every cut of the frame parses without reading past it.
    for (size_t n = 0; n < frame.size(); ++n) (void)parseMp3InfoHeader(std::span<const uint8_t>(frame.data(), n));
    // Delay and padding beyond the frames give 0 samples, not a wrapped count.
    std::vector<uint8_t> tiny = frame;
    tiny[4 + 32 + 11] = 1;
    EXPECT_EQ(parseMp3InfoHeader(tiny)->samples(), 0u);
    // No frame count, no header; no Xing tag, no header.
    std::vector<uint8_t> noCount = frame;
    noCount[4 + 32 + 7] = 0;
    EXPECT_FALSE(parseMp3InfoHeader(noCount).has_value());
    std::vector<uint8_t> plain = frame;
    plain[4 + 32] = 'X';
    plain[4 + 33] = 'X';
    EXPECT_FALSE(parseMp3InfoHeader(plain).has_value());
}

TEST(Mp3Length, FfmpegLinesFollowTheLogLevel) {
    const std::string dir = scratch();
    const std::string path = dir + "/noxing.mp3";
    run("ffmpeg -nostdin -y -v error -f lavfi -i sine=duration=1 -c:a libmp3lame -write_xing 0 '" + path + "'");
    auto stderrOf = [&](const std::string& args) {
        const std::string log = dir + "/stderr.txt";
        run("'" + bin() + "/tallory' " + args + " >/dev/null 2>'" + log + "'; true");
        const auto bytes = readBytes(log);
        return std::string(bytes.begin(), bytes.end());
    };
    // FFmpeg's warnings are information: hidden by default, shown with -v, never with -q.
    EXPECT_EQ(stderrOf("info '" + path + "'"), "");
    EXPECT_EQ(stderrOf("tags show '" + path + "'"), "");
    const std::string verbose = stderrOf("-v info '" + path + "'");
    EXPECT_NE(verbose.find("tallory: FFmpeg: "), std::string::npos) << verbose;
    EXPECT_NE(verbose.find("Estimating duration from bitrate"), std::string::npos) << verbose;
    EXPECT_EQ(stderrOf("-q -v info '" + path + "'"), "");
    EXPECT_EQ(stderrOf("convert '" + path + "' --to wav -q -o '" + dir + "/out.wav'"), "");
}

}  // namespace
