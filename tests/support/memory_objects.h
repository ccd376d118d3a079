// A source that makes PCM in memory and a target that keeps what it is given,
// for driving the engine without files.
#ifndef TALLORY_TESTS_MEMORY_OBJECTS_H
#define TALLORY_TESTS_MEMORY_OBJECTS_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <vector>

#include "core/source_base.h"
#include "core/target_base.h"

// 44.1 kHz 16-bit stereo PCM held in memory, delivered in fixed blocks.
class MemorySource : public tallory::core::SourceBase {
public:
    std::vector<uint8_t> pcm;
    uint32_t blockSize = 4410 * 4;
    CLSID classId = CLSID_WavSource;
    std::function<void()> onRun;  // called once when Run starts
    bool failRun = false;
    bool throwInOpen = false, throwInRun = false;

    static WAVEFORMATEX cdFormat() { return WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0}; }

    bool GetClassId(CLSID* id) override {
        *id = classId;
        return true;
    }
    bool Open() override {
        if (!SourceBase::Open()) return false;
        if (throwInOpen) throw std::runtime_error("source open threw");
        format_ = cdFormat();
        totalLength_ = static_cast<uint32_t>(pcm.size());
        return true;
    }
    bool Run(IConvSink* sink) override {
        if (!SourceBase::Run(sink)) return false;
        if (onRun) onRun();
        if (throwInRun) throw std::runtime_error("source run threw");
        if (failRun) {
            error("Decoder failed");
            return false;
        }
        size_t pos = startTimeMs_ > 0 ? static_cast<size_t>(format_.nAvgBytesPerSec * 0.001 * startTimeMs_) : 0;
        pos -= pos % format_.nBlockAlign;
        while (pos < pcm.size()) {
            uint32_t n = static_cast<uint32_t>(std::min<size_t>(blockSize, pcm.size() - pos));
            if (!sink->Write(pcm.data() + pos, n)) return false;
            pos += n;
        }
        return true;
    }
};

// Keeps every byte written; can fail on a chosen block.
class MemoryTarget : public tallory::core::TargetBase {
public:
    std::vector<uint8_t> data;
    std::vector<uint32_t> blocks;
    int failOnBlock = -1;
    int throwOnBlock = -1;
    bool throwInClose = false;
    bool opened = false, closed = false;

    MemoryTarget() : TargetBase(CLSID_WavTarget) {}
    bool GetClassId(CLSID* id) override {
        *id = CLSID_WavTarget;
        return true;
    }
    bool Open() override {
        if (!TargetBase::Open()) return false;
        opened = true;
        return true;
    }
    bool Write(uint32_t n, const void* bytes) override {
        if (static_cast<int>(blocks.size()) == throwOnBlock) throw std::bad_alloc();
        if (static_cast<int>(blocks.size()) == failOnBlock) {
            error("Cannot write to file (error #%d)", 28);
            return false;
        }
        blocks.push_back(n);
        const uint8_t* p = static_cast<const uint8_t*>(bytes);
        data.insert(data.end(), p, p + n);
        return true;
    }
    bool Close() override {
        closed = true;
        if (throwInClose) throw std::logic_error("target close threw");
        return true;
    }
    bool ShowSettings(HWND, IConvTarget**) override { return false; }
    const WAVEFORMATEX& format() const { return format_; }
};

inline void putSample(std::vector<uint8_t>& pcm, size_t index, int value) {
    uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(value));
    pcm[2 * index] = static_cast<uint8_t>(u & 0xFF);
    pcm[2 * index + 1] = static_cast<uint8_t>(u >> 8);
}

inline int getSample(const std::vector<uint8_t>& pcm, size_t index) {
    return static_cast<int16_t>(pcm[2 * index] | (pcm[2 * index + 1] << 8));
}

// A metronome: stereo clicks at `bpm` for `seconds`, the first of every four
// beats accented, as a bar of 4/4 sounds. Each click is a decaying burst whose
// magnitude is smooth, so a coarse envelope sees the same shape every time.
inline std::vector<uint8_t> clickTrack(double bpm, double seconds, int accent = 24000, int beat = 4000) {
    size_t frames = static_cast<size_t>(seconds * 44100);
    std::vector<uint8_t> pcm(frames * 4, 0);
    double period = 44100.0 * 60.0 / bpm;
    int index = 0;
    for (double at = 0; at < frames; at += period, ++index) {
        size_t start = static_cast<size_t>(at);
        double amplitude = index % 4 == 0 ? accent : beat;
        for (size_t f = 0; f < 6615 && start + f < frames; ++f) {
            double v = amplitude * std::exp(-static_cast<double>(f) / 2205.0) * ((f & 1) ? -1 : 1);
            putSample(pcm, 2 * (start + f), static_cast<int>(v));
            putSample(pcm, 2 * (start + f) + 1, static_cast<int>(v));
        }
    }
    return pcm;
}

#endif
