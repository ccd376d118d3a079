// Helpers of the format tests: generated PCM, driving sources and targets
// through their interfaces, and the independent tools used as oracles.
#ifndef TALLORY_TESTS_FORMATS_AUDIO_TEST_UTIL_H
#define TALLORY_TESTS_FORMATS_AUDIO_TEST_UTIL_H

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

namespace testutil {

using Bytes = std::vector<uint8_t>;

inline WAVEFORMATEX pcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
    WAVEFORMATEX w{};
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = static_cast<uint16_t>(channels * ((bits + 7) / 8));
    w.nAvgBytesPerSec = rate * w.nBlockAlign;
    w.wBitsPerSample = bits;
    return w;
}

// A tone of two sines per channel plus a little noise, full use of the sample
// width so that any byte-order or sign slip shows.
inline Bytes tone(const WAVEFORMATEX& f, uint32_t frames, double amplitude = 0.6) {
    Bytes out;
    int bytes = (f.wBitsPerSample + 7) / 8;
    uint32_t noise = 1;
    for (uint32_t i = 0; i < frames; ++i) {
        for (int c = 0; c < f.nChannels; ++c) {
            noise = noise * 1664525u + 1013904223u;
            double t = static_cast<double>(i) / f.nSamplesPerSec;
            double v = amplitude * (0.7 * std::sin(2 * M_PI * (440.0 + 110 * c) * t) + 0.3 * std::sin(2 * M_PI * 1234.5 * t)) +
                       ((noise >> 16) / 65536.0 - 0.5) * 0.002;
            int64_t s = static_cast<int64_t>(std::llround(v * 2147483647.0));
            uint32_t u = static_cast<uint32_t>(static_cast<int32_t>(s));
            for (int b = 0; b < bytes; ++b) {
                uint8_t byte = static_cast<uint8_t>(u >> (32 - 8 * bytes + 8 * b));
                if (bytes == 1) byte = static_cast<uint8_t>(byte ^ 0x80);  // 8-bit WAV PCM is unsigned
                out.push_back(byte);
            }
        }
    }
    return out;
}

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A folder of its own for the running test, under the test's HOME.
inline std::string scratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string leaf = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : leaf) if (c == '/') c = '_';
    std::string dir = std::string(std::getenv("HOME")) + "/" + leaf;
    std::system(("rm -rf '" + dir + "'").c_str());
    tallory::platform::createDirectories(dir);
    return dir;
}

// Standard output of a shell command; the exit status in *status.
inline std::string run(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = ::pclose(p);
    if (status != nullptr) *status = rc;
    return out;
}

inline Bytes runBytes(const std::string& command) {
    std::string s = run(command);
    return Bytes(s.begin(), s.end());
}

// One ffprobe stream field ("codec_name", "sample_rate", ...).
inline std::string probe(const std::string& path, const std::string& field) {
    std::string out = run("ffprobe -v error -select_streams a:0 -show_entries stream=" + field +
                          " -of default=nw=1:nk=1 '" + path + "' 2>/dev/null");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

class CollectingSink : public IConvSink {
public:
    Bytes data;
    size_t writes = 0;
    size_t refuseAfter = SIZE_MAX;
    bool Write(const void* bytes, uint32_t count) override {
        const uint8_t* p = static_cast<const uint8_t*>(bytes);
        data.insert(data.end(), p, p + count);
        return ++writes < refuseAfter;
    }
};

template <typename T>
T* create(const CLSID& cls, const IID& iid) {
    void* object = nullptr;
    EXPECT_EQ(ConvCreateObject(cls, &iid, &object), S_OK);
    return static_cast<T*>(object);
}

// Writes pcm through a new target of class `cls`, in pieces of `piece` bytes.
// `configure` may set options first. False when a step failed.
template <typename Configure>
bool writeThrough(const CLSID& cls, const std::string& path, const WAVEFORMATEX& format, const Bytes& pcm,
                  size_t piece, Configure configure, RecordingProgress* progress = nullptr) {
    IConvTarget* t = create<IConvTarget>(cls, IID_IConvTarget);
    if (t == nullptr) return false;
    RecordingProgress local;
    t->SetProgress(progress != nullptr ? progress : &local);
    configure(t);
    bool ok = t->SetPath(path.c_str()) && t->SetFormat(&format) && t->Open();
    for (size_t at = 0; ok && at < pcm.size(); at += piece) {
        ok = t->Write(static_cast<uint32_t>(std::min(piece, pcm.size() - at)), pcm.data() + at);
    }
    ok = t->Close() && ok;
    t->Release();
    return ok;
}

inline bool writeThrough(const CLSID& cls, const std::string& path, const WAVEFORMATEX& format, const Bytes& pcm,
                         size_t piece = 65536) {
    return writeThrough(cls, path, format, pcm, piece, [](IConvTarget*) {});
}

struct ReadResult {
    bool opened = false;
    bool ran = false;
    WAVEFORMATEX format{};
    uint32_t length = 0;
    Bytes pcm;
    std::vector<RecordedMessage> messages;
    // The last error message (kinds "e").
    std::string lastError() const {
        for (auto m = messages.rbegin(); m != messages.rend(); ++m) {
            if (m->kinds.find('e') != std::string::npos) return m->text;
        }
        return {};
    }
    // The last detail line (kinds "i"): the check that failed under a refusal,
    // or a warning about what an opened source read past.
    std::string detail() const {
        for (auto m = messages.rbegin(); m != messages.rend(); ++m) {
            if (m->kinds == "i") return m->text;
        }
        return {};
    }
};

inline ReadResult readThrough(const CLSID& cls, const std::string& path, int startMs = -1) {
    ReadResult r;
    IConvSource* s = create<IConvSource>(cls, IID_IConvSource);
    if (s == nullptr) return r;
    RecordingProgress progress;
    s->SetProgress(&progress);
    s->SetPath(path.c_str());
    s->SetStartTime(startMs);
    r.opened = s->Open();
    if (r.opened) {
        s->GetFormat(&r.format);
        s->GetLength(&r.length, -1, -1);
        CollectingSink sink;
        r.ran = s->Run(&sink);
        r.pcm = std::move(sink.data);
        s->Close();
    }
    r.messages = progress.messages;
    s->Release();
    return r;
}

// Signal-to-noise ratio in dB of 16-bit little-endian `test` against `reference`
// over their common length.
inline double snr16(const Bytes& reference, const Bytes& test) {
    size_t n = std::min(reference.size(), test.size()) / 2;
    double signal = 0, noise = 0;
    for (size_t i = 0; i < n; ++i) {
        int16_t a = static_cast<int16_t>(reference[2 * i] | reference[2 * i + 1] << 8);
        int16_t b = static_cast<int16_t>(test[2 * i] | test[2 * i + 1] << 8);
        signal += double(a) * a;
        noise += double(a - b) * (a - b);
    }
    if (noise == 0) return 200;
    return 10 * std::log10(signal / noise);
}

}  // namespace testutil

#endif
