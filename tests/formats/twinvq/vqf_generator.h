// Makes VQF files for the tests: the identifier, a header chunk list (COMM and
// optional text chunks, an optional "SCND" list), "DATA" and a bit stream of
// frames of the mode's exact bit count, each starting with a window type.
// The frames' other bits are pseudo-random: any pattern is a valid frame, and
// random ones decode loud enough to reach the clamp.
#ifndef TALLORY_TESTS_VQF_GENERATOR_H
#define TALLORY_TESTS_VQF_GENERATOR_H

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vqfgen {

// A TwinVQ mode: COMM sampling rate (kHz), bit rate per channel (kbit/s), samples per frame.
struct Mode {
    int khz;
    int kbpsPerChannel;
    int frameSize;
};
// The modes FFmpeg's decoder (our oracle) knows.
inline const std::vector<Mode>& supportedModes() {
    static const std::vector<Mode> modes = {{8, 8, 512},    {11, 8, 512},   {11, 10, 512},
                                            {16, 16, 1024}, {22, 20, 1024}, {22, 24, 1024},
                                            {22, 32, 512},  {44, 40, 2048}, {44, 48, 2048}};
    return modes;
}

inline int sampleRateOf(int khz) { return khz == 11 ? 11025 : khz == 22 ? 22050 : khz == 44 ? 44100 : khz * 1000; }

struct Options {
    std::string version = "TWIN97012000";
    int channels = 1;
    Mode mode{22, 20, 1024};
    int frames = 12;
    uint32_t seed = 1;
    bool writeComm = true;
    bool writeData = true;
    int32_t commBitRate = -1;      // -1: from the mode
    int32_t commSamplingRate = -1; // -1: from the mode
    uint32_t commBytes = 16;
    std::vector<std::pair<std::string, std::string>> extraChunks;     // before COMM
    std::vector<std::pair<std::string, std::string>> secondaryChunks; // inside "SCND"
    int64_t headerSizeDelta = 0;   // added to the true header size
    uint32_t lastFrameBits = 0;    // a cut-off frame of this many bits after the whole ones
    int invalidWindowAtFrame = -1; // this frame gets window type 15
    int fixedWindowType = -1;      // every frame gets this window type (-1: random 0..8)
    bool silentFrames = false;     // all bits after the window type are 0
};

inline int frameBits(const Options& o) {
    const int bitRate = o.mode.kbpsPerChannel * o.channels * 1000;
    return static_cast<int>(static_cast<int64_t>(bitRate) * o.mode.frameSize / sampleRateOf(o.mode.khz));
}

class BitWriter {
public:
    std::vector<uint8_t> bytes;
    uint64_t count = 0;
    void put(uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            if (count % 8 == 0) bytes.push_back(0);
            if ((value >> i) & 1u) bytes.back() |= static_cast<uint8_t>(0x80u >> (count % 8));
            ++count;
        }
    }
};

inline void putBe32(std::string& s, uint32_t v) {
    s.push_back(static_cast<char>(v >> 24));
    s.push_back(static_cast<char>(v >> 16));
    s.push_back(static_cast<char>(v >> 8));
    s.push_back(static_cast<char>(v));
}

inline std::string chunk(const std::string& id, const std::string& contents) {
    std::string s = id;
    putBe32(s, static_cast<uint32_t>(contents.size()));
    return s + contents;
}

inline std::vector<uint8_t> make(const Options& o) {
    std::string header;
    for (const auto& [id, text] : o.extraChunks) header += chunk(id, text);
    if (o.writeComm) {
        std::string comm;
        putBe32(comm, static_cast<uint32_t>(o.channels - 1));
        putBe32(comm, static_cast<uint32_t>(o.commBitRate >= 0 ? o.commBitRate : o.mode.kbpsPerChannel * o.channels));
        putBe32(comm, static_cast<uint32_t>(o.commSamplingRate >= 0 ? o.commSamplingRate : o.mode.khz));
        putBe32(comm, 0);
        comm.resize(o.commBytes, '\0');
        header += chunk("COMM", comm);
    }
    if (!o.secondaryChunks.empty()) {
        std::string list;
        for (const auto& [id, text] : o.secondaryChunks) list += chunk(id, text);
        header += chunk("SCND", list);
    }
    std::string file = o.version;
    putBe32(file, static_cast<uint32_t>(static_cast<int64_t>(header.size()) + o.headerSizeDelta));
    file += header;
    if (o.writeData) file += "DATA";

    std::mt19937 random(o.seed);
    BitWriter bits;
    const int n = frameBits(o);
    auto frame = [&](int index, int length) {
        int wtype = o.fixedWindowType >= 0 ? o.fixedWindowType : static_cast<int>(random() % 9);
        if (index == o.invalidWindowAtFrame) wtype = 15;
        bits.put(static_cast<uint32_t>(wtype), 4);
        for (int b = 4; b < length; ++b) bits.put(o.silentFrames ? 0u : (random() & 1u), 1);
    };
    for (int f = 0; f < o.frames; ++f) frame(f, n);
    if (o.lastFrameBits > 0) frame(o.frames, static_cast<int>(o.lastFrameBits));
    std::vector<uint8_t> out(file.begin(), file.end());
    out.insert(out.end(), bits.bytes.begin(), bits.bytes.end());
    return out;
}

inline bool write(const std::string& path, const Options& o) {
    std::vector<uint8_t> data = make(o);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace vqfgen

#endif
