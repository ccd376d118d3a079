// Builds RIFF/WAVE files chunk by chunk, with sizes that may lie.
#ifndef TALLORY_TESTS_FORMATS_WAV_RIFF_BUILDER_H
#define TALLORY_TESTS_FORMATS_WAV_RIFF_BUILDER_H

#include <cstring>
#include <string>
#include <vector>

#include "tallory/types.h"

namespace testutil {

inline void putLe(std::vector<uint8_t>& v, uint32_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

struct RiffBuilder {
    std::vector<uint8_t> body;  // everything after "RIFF" size "WAVE"

    // A chunk with its real size, or `declared` when given; padded when odd.
    RiffBuilder& chunk(const char* id, const std::vector<uint8_t>& data, int64_t declared = -1, bool pad = true) {
        body.insert(body.end(), id, id + 4);
        putLe(body, declared >= 0 ? static_cast<uint32_t>(declared) : static_cast<uint32_t>(data.size()), 4);
        body.insert(body.end(), data.begin(), data.end());
        if (pad && (data.size() & 1) != 0) body.push_back(0);
        return *this;
    }
    RiffBuilder& fmt(const WAVEFORMATEX& f, size_t size = 16) {
        std::vector<uint8_t> d(size, 0);
        std::memcpy(d.data(), &f, std::min(size, sizeof f));
        return chunk("fmt ", d);
    }
    std::vector<uint8_t> bytes(int64_t riffSize = -1) const {
        std::vector<uint8_t> out = {'R', 'I', 'F', 'F'};
        putLe(out, riffSize >= 0 ? static_cast<uint32_t>(riffSize) : static_cast<uint32_t>(body.size() + 4), 4);
        out.insert(out.end(), {'W', 'A', 'V', 'E'});
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
};

}  // namespace testutil

#endif
