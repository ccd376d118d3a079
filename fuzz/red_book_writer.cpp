// Any PCM format a source may report, with any data in blocks of any size,
// through the Red Book writer into a scratch file; and drive answers of READ
// BUFFER CAPACITY through their reader.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cd/recording/audio_recording.h"
#include "cd/recording/red_book_writer.h"
#include "tallory/ref.h"

using namespace tallory::cd::recording;

namespace {
// Rates outside what audio files use would only make the run slow (every
// input byte becoming thousands of output bytes), not reach other code.
constexpr uint32_t kMinRate = 4000;
constexpr uint32_t kMaxRate = 768000;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fill = bufferFillPercent(data, size);
    if (fill < -1 || fill > 100) __builtin_trap();
    if (size < sizeof(WAVEFORMATEX) + 1) return 0;
    WAVEFORMATEX format;
    std::memcpy(&format, data, sizeof format);
    if (format.nSamplesPerSec < kMinRate || format.nSamplesPerSec > kMaxRate) return 0;
    const uint32_t block = 1u + data[sizeof format] * 7u;
    data += sizeof format + 1;
    size -= sizeof format + 1;

    char name[] = "/tmp/tallory_fuzz_redbook_XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) return 0;
    ::close(fd);
    std::vector<tallory::cd::engine::TrackListEntry> tracks(1);
    tracks[0].path = name;
    {
        auto writer = tallory::Ref<RedBookWriter>::share(new RedBookWriter(&tracks));
        writer->SetFormat(&format);
        if (writer->Open()) {
            for (size_t at = 0; at < size; at += block) {
                const uint32_t n = uint32_t(std::min<size_t>(block, size - at));
                if (!writer->Write(n, data + at)) break;
            }
            writer->Close();
        }
    }
    ::unlink(name);
    return 0;
}
