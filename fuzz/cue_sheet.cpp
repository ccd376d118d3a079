// Cue sheet lines through the layout checks, and the same bytes as a WAVE and
// an AIFF file through the audio probes.
#include <cstring>
#include <string>

#include "cd/engine/audio_file_probe.h"
#include "cd/engine/cue_sheet.h"

using namespace tallory::cd::engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAt read = [data, size](uint64_t offset, void* out, size_t n) {
        if (offset > size || n > size - offset) return false;
        std::memcpy(out, data + offset, n);
        return true;
    };
    AudioDataSpan span;
    if (probeWaveFile(read, size, span) == 0 && span.offset + span.bytes > size) __builtin_trap();
    if (probeAiffFile(read, size, span) == 0 && span.offset + span.bytes > size) __builtin_trap();

    CueSheetBuilder builder;
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        (void)builder.apply(text.substr(start, end - start));
        start = end + 1;
    }
    (void)builder.finish();
    return 0;
}
