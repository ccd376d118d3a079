// Helpers for the media tests: scratch folders, test signals made by ffmpeg,
// and the outside tools used as oracles.
#ifndef TALLORY_TESTS_MEDIA_TEST_SUPPORT_H
#define TALLORY_TESTS_MEDIA_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/files/file_system.h"

namespace mediatest {

// A fresh folder named after the running test.
inline std::string scratch() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string dir = std::string(std::getenv("HOME")) + "/" + info->test_suite_name() + "." + info->name();
    std::system(("rm -rf '" + dir + "'").c_str());
    tallory::platform::createDirectories(dir);
    return dir;
}

// Runs a shell command; its standard output, or "" with ok false on failure.
inline std::string run(const std::string& command, bool* ok = nullptr) {
    std::string out;
    FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) {
        if (ok) *ok = false;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (ok) *ok = rc == 0;
    return out;
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A two-tone test signal as 16-bit WAV of the given length, rate and channels.
inline std::string makeTone(const std::string& dir, const std::string& name, double seconds, int rate,
                            int channels) {
    std::string path = dir + "/" + name;
    std::string layout = channels == 1 ? "mono" : channels == 2 ? "stereo" : "5.1";
    std::string cmd = "ffmpeg -nostdin -y -loglevel error -f lavfi -i 'aevalsrc=0.4*sin(2*PI*440*t)+0.2*sin(2*PI*" +
                      std::string("1250*t)|0.3*sin(2*PI*660*t):s=") + std::to_string(rate) + ":d=" +
                      std::to_string(seconds) + "' -ac " + std::to_string(channels) + " -c:a pcm_s16le '" + path + "'";
    if (channels > 2) {
        cmd = "ffmpeg -nostdin -y -loglevel error -f lavfi -i 'sine=f=440:r=" + std::to_string(rate) + ":d=" +
              std::to_string(seconds) + "' -af 'pan=" + layout +
              "|c0=c0|c1=0.5*c0|c2=0.25*c0|c3=0*c0|c4=0.1*c0|c5=0.2*c0' -c:a pcm_s16le '" + path + "'";
    }
    bool ok = false;
    run(cmd, &ok);
    EXPECT_TRUE(ok) << cmd;
    return path;
}

// ffmpeg's decode of a file as interleaved 16-bit samples at the file's rate and the given channels.
inline std::vector<int16_t> ffmpegDecode(const std::string& path, int channels) {
    std::string raw = path + ".ffmpeg.raw";
    bool ok = false;
    run("ffmpeg -nostdin -y -loglevel error -i '" + path + "' -ac " + std::to_string(channels) +
            " -f s16le -c:a pcm_s16le '" + raw + "'",
        &ok);
    EXPECT_TRUE(ok) << "ffmpeg could not decode " << path;
    std::vector<uint8_t> bytes = readBytes(raw);
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

// One value of ffprobe's output for a file ("format=duration", "stream=codec_name" ...).
inline std::string probe(const std::string& path, const std::string& entry, const std::string& select = "a:0") {
    std::string out = run("ffprobe -v error -select_streams " + select + " -show_entries " + entry +
                          " -of default=noprint_wrappers=1:nokey=1 '" + path + "'");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace mediatest

#endif
