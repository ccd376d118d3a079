// Checks that a WAVE or AIFF file holds CD audio (PCM, 2 channels, 44100
// samples/s, 16 bits) and finds where its samples are.
#ifndef TALLORY_CD_ENGINE_AUDIO_FILE_PROBE_H
#define TALLORY_CD_ENGINE_AUDIO_FILE_PROBE_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tallory::cd::engine {

struct AudioDataSpan {
    uint64_t offset = 0;
    uint64_t bytes = 0;
};

// Reads `size` bytes at `offset`; false when the bytes are not all there.
using ReadAt = std::function<bool(uint64_t offset, void* out, size_t size)>;

// 0, or -117 when the file is not a CD-compatible WAVE file.
[[nodiscard]] int probeWaveFile(const ReadAt& read, uint64_t fileSize, AudioDataSpan& span);
// 0, or -118 when the file is not a CD-compatible AIFF file (AIFF, or AIFC
// without compression).
[[nodiscard]] int probeAiffFile(const ReadAt& read, uint64_t fileSize, AudioDataSpan& span);

}  // namespace tallory::cd::engine

#endif
