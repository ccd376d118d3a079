// Shared pieces of the Ogg Vorbis tests: generated PCM, a WAV writer for the
// reference tools, running oggdec/ffprobe/ffmpeg, and driving our source and
// target through their interfaces.
#ifndef TALLORY_TESTS_FORMATS_OGG_TEST_SUPPORT_H
#define TALLORY_TESTS_FORMATS_OGG_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/files/file_system.h"
#include "recording_progress.h"
#include "tallory/conv.h"
#include "tallory/formats.h"

namespace oggtest {

inline std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + dir + "'").c_str());
    tallory::platform::createDirectories(dir);
    return dir;
}

inline WAVEFORMATEX pcmFormat(int channels, int rate, int bits) {
    uint16_t align = static_cast<uint16_t>(channels * bits / 8);
    return WAVEFORMATEX{WAVE_FORMAT_PCM, static_cast<uint16_t>(channels), static_cast<uint32_t>(rate),
                        align * static_cast<uint32_t>(rate), align, static_cast<uint16_t>(bits), 0};
}

// Interleaved 16-bit sines: channel c at amplitudes[c] (full scale 1.0) and frequencies[c] Hz.
inline std::vector<int16_t> sines(size_t frames, int rate, const std::vector<double>& amplitudes,
                                  const std::vector<double>& frequencies) {
    const size_t channels = amplitudes.size();
    std::vector<int16_t> pcm(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        for (size_t c = 0; c < channels; ++c) {
            double v = amplitudes[c] * std::sin(2 * M_PI * frequencies[c] * static_cast<double>(i) / rate);
            pcm[i * channels + c] = static_cast<int16_t>(std::lround(v * 32767));
        }
    }
    return pcm;
}

// Reproducible white noise at `amplitude` of full scale.
inline std::vector<int16_t> whiteNoise(size_t samples, double amplitude) {
    std::vector<int16_t> out(samples);
    uint32_t state = 1;
    for (auto& s : out) {
        state = state * 1664525u + 1013904223u;
        s = static_cast<int16_t>(std::lround((static_cast<double>(state >> 16) - 32768.0) * amplitude));
    }
    return out;
}

inline std::vector<uint8_t> bytesOf(const std::vector<int16_t>& pcm) {
    std::vector<uint8_t> out(pcm.size() * 2);
    for (size_t i = 0; i < pcm.size(); ++i) {
        out[2 * i] = static_cast<uint8_t>(pcm[i] & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>((static_cast<uint16_t>(pcm[i]) >> 8) & 0xFF);
    }
    return out;
}

inline std::vector<int16_t> samplesOf(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    }
    return out;
}

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A canonical 44-byte-header WAV file for the reference encoder.
inline void writeWav(const std::string& path, const WAVEFORMATEX& f, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i))); };
    auto u16 = [&](uint16_t v) { out.push_back(static_cast<uint8_t>(v)); out.push_back(static_cast<uint8_t>(v >> 8)); };
    auto tag = [&](const char* t) { out.insert(out.end(), t, t + 4); };
    tag("RIFF"); u32(static_cast<uint32_t>(36 + data.size())); tag("WAVE");
    tag("fmt "); u32(16); u16(f.wFormatTag); u16(f.nChannels); u32(f.nSamplesPerSec); u32(f.nAvgBytesPerSec);
    u16(f.nBlockAlign); u16(f.wBitsPerSample);
    tag("data"); u32(static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    writeFile(path, out);
}

// Runs a shell command; its standard output, or "<failed>" when it exits non-zero.
inline std::string run(const std::string& command) {
    std::string out;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "<failed>";
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    return ::pclose(pipe) == 0 ? out : "<failed>";
}

// One ffprobe stream entry of the first audio stream, e.g. "duration_ts".
inline std::string probe(const std::string& path, const std::string& entry) {
    std::string out = run("ffprobe -v error -select_streams a:0 -show_entries stream=" + entry +
                          " -of default=nw=1:nk=1 '" + path + "'");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// oggdec's decoding as raw signed 16-bit little-endian samples (Vorbis channel order).
inline std::vector<int16_t> oggdecRaw(const std::string& path) {
    std::string raw = path + ".oggdec.raw";
    if (run("oggdec -Q -R -b 16 -e 0 -s 1 -o '" + raw + "' '" + path + "'") == "<failed>") return {};
    return samplesOf(readFile(raw));
}

// ffmpeg's own Vorbis decoder (WAV channel order) as signed 16-bit samples.
inline std::vector<int16_t> ffmpegRaw(const std::string& path) {
    std::string raw = path + ".ffmpeg.raw";
    if (run("ffmpeg -v error -y -i '" + path + "' -f s16le '" + raw + "'") == "<failed>") return {};
    return samplesOf(readFile(raw));
}

// Root mean square of channel c of interleaved samples, in dB below full scale.
inline double rmsDb(const std::vector<int16_t>& pcm, size_t channels, size_t c) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = c; i < pcm.size(); i += channels, ++n) sum += static_cast<double>(pcm[i]) * pcm[i];
    if (n == 0 || sum == 0) return -200;
    return 10 * std::log10(sum / n / (32768.0 * 32768.0));
}

// The target through its interface: options, open, PCM in blocks of `block` bytes, close.
struct EncodeResult {
    bool opened = false;
    bool written = false;
    bool closed = false;
    RecordingProgress progress;
};

inline IConvTarget* newTarget() {
    IConvTarget* target = nullptr;
    EXPECT_EQ(ConvCreateObject(CLSID_OggTarget, &IID_IConvTarget, reinterpret_cast<void**>(&target)), S_OK);
    return target;
}

inline IConvSource* newSource() {
    IConvSource* source = nullptr;
    EXPECT_EQ(ConvCreateObject(CLSID_OggSource, &IID_IConvSource, reinterpret_cast<void**>(&source)), S_OK);
    return source;
}

// Any target class, created through the factory.
inline void encodeAs(const CLSID& classId, EncodeResult& r, const std::string& path, const WAVEFORMATEX& f,
                     const std::vector<uint8_t>& pcm, const std::vector<std::pair<std::string, std::string>>& options = {},
                     size_t block = 16384) {
    IConvTarget* target = nullptr;
    ASSERT_EQ(ConvCreateObject(classId, &IID_IConvTarget, reinterpret_cast<void**>(&target)), S_OK);
    ASSERT_NE(target, nullptr);
    char err[TALLORY_MAX_PATH];
    for (const auto& [name, value] : options) ASSERT_TRUE(target->SetOption(name.c_str(), value.c_str(), err)) << name;
    target->SetProgress(&r.progress);
    target->SetPath(path.c_str());
    target->SetFormat(&f);
    r.opened = target->Open();
    r.written = r.opened;
    for (size_t at = 0; r.opened && at < pcm.size(); at += block) {
        uint32_t n = static_cast<uint32_t>(std::min(block, pcm.size() - at));
        if (!target->Write(n, pcm.data() + at)) {
            r.written = false;
            break;
        }
    }
    r.closed = target->Close();
    target->Release();
}

inline void encode(EncodeResult& r, const std::string& path, const WAVEFORMATEX& f, const std::vector<uint8_t>& pcm,
                   const std::vector<std::pair<std::string, std::string>>& options = {}, size_t block = 16384) {
    encodeAs(CLSID_OggTarget, r, path, f, pcm, options, block);
}

// Collects what a source delivers.
class CollectingSink : public IConvSink {
public:
    std::vector<uint8_t> bytes;
    size_t stopAfter = SIZE_MAX;  // answer false once this many bytes have arrived
    size_t calls = 0;
    bool Write(const void* data, uint32_t byteCount) override {
        ++calls;
        const auto* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + byteCount);
        return bytes.size() < stopAfter;
    }
};

}  // namespace oggtest

#endif
