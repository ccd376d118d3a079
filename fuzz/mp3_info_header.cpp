// The Xing/Info and LAME header parser of the MP3 length over arbitrary bytes
// (the start of a file after its ID3v2 tag).
#include <cstdint>
#include <span>

#include "formats/wm/mp3_info_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto header = tallory::formats::wm::parseMp3InfoHeader(std::span<const uint8_t>(data, size));
    if (header) (void)header->samples();
    return 0;
}
