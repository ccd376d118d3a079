// The ASF header parser over arbitrary bytes. Whatever parses must render, and
// the rendering must parse again to the same attributes.
#include <algorithm>
#include <cstdint>
#include <tuple>
#include <cstdlib>
#include <vector>

#include "platform/media/asf_header.h"

using namespace tallory::platform::media;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    uint64_t declared = 0;
    if (size < 30 || !peekHeaderSize(bytes.first(30), &declared) || declared > size) return 0;
    AsfHeader header;
    if (!parseAsfHeader(bytes.first(static_cast<size_t>(declared)), &header)) return 0;
    std::vector<uint8_t> rendered;
    if (!renderAsfHeader(header, size - declared, &rendered)) return 0;
    AsfHeader again;
    if (!parseAsfHeader(rendered, &again)) std::abort();
    // A value too large for its object moves to another one, so compare without order.
    auto key = [](const Attribute& a) {
        return std::make_tuple(a.stream, a.name, static_cast<int>(a.type), a.value, a.language);
    };
    std::vector<decltype(key(header.attributes[0]))> before, after;
    for (const Attribute& a : header.attributes) before.push_back(key(a));
    for (const Attribute& a : again.attributes) after.push_back(key(a));
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    if (before != after) std::abort();
    return 0;
}
