// The AIFF source (IFF chunk search, COMM and SSND) on any bytes.
#include "source_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::runSource(CLSID_AiffSource, ".aiff", data, size);
    return 0;
}
