// MPEG audio frame headers, the info headers of the first frame and the frame
// counter, checked against files that the lame command writes and against
// ffprobe's own packet count.
#include "formats/mp3/mpeg_audio_frame.h"

#include <gtest/gtest.h>

#include <random>

#include "../ogg/ogg_test_support.h"

namespace {

using namespace oggtest;
namespace mp3 = tallory::formats::mp3;

TEST(MpegFrameHeader, FieldsOfEachVersionAndLayer) {
    struct Case {
        uint8_t bytes[4];
        mp3::MpegVersionKind version;
        int layer, bitRate, sampleRate, channels, frameBytes, samples;
        bool crc;
    } cases[] = {
        // MPEG-1 layer III, 128 kbps, 44.1 kHz, joint stereo: 144 * 128000 / 44100 = 417.
        {{0xFF, 0xFB, 0x90, 0x64}, mp3::MpegVersionKind::mpeg1, 3, 128000, 44100, 2, 417, 1152, false},
        // The same with padding and a CRC.
        {{0xFF, 0xFA, 0x92, 0x64}, mp3::MpegVersionKind::mpeg1, 3, 128000, 44100, 2, 418, 1152, true},
        // MPEG-2 layer III, 64 kbps, 22.05 kHz, mono: 72 * 64000 / 22050 = 208.
        {{0xFF, 0xF3, 0x80, 0xC4}, mp3::MpegVersionKind::mpeg2, 3, 64000, 22050, 1, 208, 576, false},
        // MPEG 2.5 layer III, 8 kbps, 8 kHz.
        {{0xFF, 0xE3, 0x18, 0xC4}, mp3::MpegVersionKind::mpeg25, 3, 8000, 8000, 1, 72, 576, false},
        // MPEG-1 layer II, 192 kbps, 48 kHz: 144 * 192000 / 48000 = 576.
        {{0xFF, 0xFD, 0xA4, 0x00}, mp3::MpegVersionKind::mpeg1, 2, 192000, 48000, 2, 576, 1152, false},
        // MPEG-1 layer I, 384 kbps, 32 kHz: (12 * 384000 / 32000) * 4 = 576.
        {{0xFF, 0xFF, 0xC8, 0x00}, mp3::MpegVersionKind::mpeg1, 1, 384000, 32000, 2, 576, 384, false},
    };
    for (const Case& c : cases) {
        mp3::MpegFrameHeader h;
        ASSERT_TRUE(mp3::parseFrameHeader(c.bytes, h)) << int(c.bytes[1]) << " " << int(c.bytes[2]);
        EXPECT_EQ(h.version, c.version);
        EXPECT_EQ(h.layer, c.layer);
        EXPECT_EQ(h.bitRate, c.bitRate);
        EXPECT_EQ(h.sampleRate, c.sampleRate);
        EXPECT_EQ(h.channels, c.channels);
        EXPECT_EQ(h.frameBytes, c.frameBytes);
        EXPECT_EQ(h.samplesPerFrame, c.samples);
        EXPECT_EQ(h.crc, c.crc);
    }
    // No sync, reserved version, reserved layer, free format, bad bit rate, reserved rate.
    const uint8_t refused[][4] = {{0xFE, 0xFB, 0x90, 0x64}, {0xFF, 0xEB, 0x90, 0x64}, {0xFF, 0xF9, 0x90, 0x64},
                                  {0xFF, 0xFB, 0x00, 0x64}, {0xFF, 0xFB, 0xF0, 0x64}, {0xFF, 0xFB, 0x9C, 0x64}};
    for (const auto& b : refused) {
        mp3::MpegFrameHeader h;
        EXPECT_FALSE(mp3::parseFrameHeader(b, h)) << int(b[1]) << " " << int(b[2]);
    }
}

// Counts the frames of a file, fed in pieces of `piece` bytes.
mp3::MpegFrameCounter countFile(const std::vector<uint8_t>& bytes, size_t piece) {
    mp3::MpegFrameCounter counter;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        counter.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    counter.finish();
    return counter;
}

TEST(MpegFrameCounter, FilesOfTheLameCommandAgreeWithFfprobe) {
    const std::string dir = scratch();
    const size_t samples = 44100 * 3 + 123;
    writeFile(dir + "/in.raw", bytesOf(sines(samples, 44100, {0.5, 0.3}, {440, 880})));
    struct Case {
        const char* args;
        mp3::InfoHeaderKind kind;
        int samplesPerFrame;
    } cases[] = {
        {"-b 128", mp3::InfoHeaderKind::info, 1152},
        {"-V 2", mp3::InfoHeaderKind::xing, 1152},
        // 64 kbps: a 32 kbps frame at 16 kHz is too small for the info frame, and LAME leaves it out.
        {"-b 64 --resample 16 -m m", mp3::InfoHeaderKind::info, 576},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const std::string out = dir + "/lame.mp3";
        ASSERT_NE(run(std::string("lame --quiet -r -s 44.1 --bitwidth 16 --signed --little-endian ") + c.args + " '" +
                      dir + "/in.raw' '" + out + "'"),
                  "<failed>");
        const std::vector<uint8_t> bytes = readFile(out);
        // ffprobe counts audio packets; the info frame is not one of them.
        const std::string packets = run("ffprobe -v error -count_packets -select_streams a:0 -show_entries "
                                        "stream=nb_read_packets -of default=nw=1:nk=1 '" + out + "'");
        const uint64_t ffPackets = std::stoull(packets);
        mp3::MpegFrameCounter whole = countFile(bytes, bytes.size());
        EXPECT_EQ(whole.frames(), ffPackets + 1);
        EXPECT_EQ(whole.firstHeader().samplesPerFrame, c.samplesPerFrame);
        const mp3::InfoHeader& info = whole.infoHeader();
        EXPECT_EQ(info.kind, c.kind);
        ASSERT_TRUE(info.hasFrames);
        EXPECT_EQ(info.frames, ffPackets);
        ASSERT_TRUE(info.hasBytes);
        EXPECT_EQ(info.bytes, bytes.size());
        ASSERT_TRUE(info.hasLame);
        EXPECT_EQ(std::string(info.encoder).rfind("LAME", 0), 0u) << info.encoder;
        // Delay, the input and padding fill the audio frames exactly.
        const uint64_t filled = info.encoderDelay + samples + info.encoderPadding;
        // (With -m m the raw input reads as mono: only the other cases have a known input length.)
        if (c.samplesPerFrame == 1152) EXPECT_NEAR(double(filled), double(info.frames) * c.samplesPerFrame, 1.0);
        EXPECT_EQ(info.encoderDelay, 576);
        EXPECT_EQ(whole.skippedBytes(), 0u);
        // Any piece size gives the same count.
        for (size_t piece : {1u, 7u, 417u, 4096u}) {
            mp3::MpegFrameCounter pieces = countFile(bytes, piece);
            EXPECT_EQ(pieces.frames(), whole.frames()) << piece;
            EXPECT_EQ(pieces.infoHeader().frames, info.frames) << piece;
        }
    }
}

TEST(MpegFrameCounter, DamageIsSkippedNotCounted) {
    const std::string dir = scratch();
    writeFile(dir + "/in.raw", bytesOf(sines(44100, 44100, {0.5, 0.3}, {440, 880})));
    ASSERT_NE(run("lame --quiet -r -s 44.1 --bitwidth 16 --signed --little-endian -b 128 '" + dir + "/in.raw' '" + dir +
                  "/a.mp3'"),
              "<failed>");
    const std::vector<uint8_t> clean = readFile(dir + "/a.mp3");
    const uint64_t frames = countFile(clean, 4096).frames();
    ASSERT_GT(frames, 30u);

    // Junk with stray sync bytes before the stream, and a cut last frame.
    std::vector<uint8_t> damaged = {0xFF, 0xFB, 0x00, 0x00, 0xFF, 0xE0, 0x12, 0xFF};
    std::mt19937 noise(7);
    for (int i = 0; i < 3000; ++i) damaged.push_back(static_cast<uint8_t>(noise() & 0x7F));
    const size_t junk = damaged.size();
    damaged.insert(damaged.end(), clean.begin(), clean.end() - 100);
    mp3::MpegFrameCounter counter = countFile(damaged, 1000);
    EXPECT_EQ(counter.frames(), frames - 1);
    EXPECT_GE(counter.skippedBytes(), junk);

    // Nothing but noise: no frame at all.
    std::vector<uint8_t> only(20000);
    for (auto& b : only) b = static_cast<uint8_t>(noise());
    EXPECT_EQ(countFile(only, 333).frames(), 0u);
    EXPECT_EQ(countFile({}, 1).frames(), 0u);
}

TEST(MpegInfoHeader, NeverReadsPastTheFrame) {
    // An "Xing" tag announcing every field in a frame too short for them.
    uint8_t frame[417] = {0xFF, 0xFB, 0x90, 0x64};
    mp3::MpegFrameHeader h;
    ASSERT_TRUE(mp3::parseFrameHeader(frame, h));
    std::memcpy(frame + 36, "Xing\0\0\0\x0F", 8);
    mp3::InfoHeader info;
    for (size_t size : {size_t{0}, size_t{40}, size_t{44}, size_t{47}}) {
        EXPECT_FALSE(mp3::parseInfoHeader(frame, size, h, info)) << size;
    }
    EXPECT_TRUE(mp3::parseInfoHeader(frame, sizeof frame, h, info));
    EXPECT_EQ(info.kind, mp3::InfoHeaderKind::xing);
    EXPECT_FALSE(info.hasLame);
}

}  // namespace
