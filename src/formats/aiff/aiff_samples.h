// Sample order between AIFF (big-endian, signed 8-bit) and PCM (little-endian,
// unsigned 8-bit). The same operation goes both ways.
#ifndef TALLORY_FORMATS_AIFF_AIFF_SAMPLES_H
#define TALLORY_FORMATS_AIFF_AIFF_SAMPLES_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tallory::formats::aiff {

// Reverses the bytes of each sample, or flips the sign bit of 8-bit samples,
// so that a round trip through AIFF gives back the same PCM. `size` is a
// multiple of bytesPerSample. With `swap` false only 8-bit samples change.
inline void convertSamples(uint8_t* data, size_t size, uint32_t bytesPerSample, bool swap) {
    if (bytesPerSample == 1) {
        for (size_t i = 0; i < size; ++i) data[i] ^= 0x80;
    } else if (swap) {
        for (size_t i = 0; i + bytesPerSample <= size; i += bytesPerSample) std::reverse(data + i, data + i + bytesPerSample);
    }
}

}  // namespace tallory::formats::aiff

#endif
