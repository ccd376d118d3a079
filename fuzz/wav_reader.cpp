// The Wave source (RIFF chunk walk, format records, every codec's decoder) on any bytes.
#include "source_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::runSource(CLSID_WavSource, ".wav", data, size);
    return 0;
}
