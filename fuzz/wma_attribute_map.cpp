// The mapping of Windows Media attributes to ID3v2 frames over arbitrary
// values. The first byte picks the attribute's name and type, the rest is its
// value; a second attribute in the same run checks the ordering rules. Every
// frame made must render.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "metadata/id3_support.h"
#include "metadata/wma_attribute_map.h"

using namespace tallory::platform::media;

namespace {

const char16_t* const kNames[] = {u"ID3",          u"ID3/APIC", u"ID3/TXXX", u"ID3/TIT2",     u"ID3/COMM",
                                  u"ID3/WXXX",     u"Duration", u"FileSize", u"WM/Track",     u"WM/TrackNumber",
                                  u"Title",        u"CopyrightURL", u"WM/UniqueFileIdentifier", u"ID3/ufid",
                                  u"WM/Picture",   u"Free Name"};
constexpr AttributeType kTypes[] = {AttributeType::Binary, AttributeType::String, AttributeType::Dword,
                                    AttributeType::Qword,  AttributeType::Word,   AttributeType::Bool};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Attribute a;
    a.name = kNames[(data[0] & 0x0F) % (sizeof kNames / sizeof kNames[0])];
    a.type = kTypes[(data[0] >> 4) % (sizeof kTypes / sizeof kTypes[0])];
    a.value.assign(data + 1, data + size);
    Attribute title;
    title.name = u"Title";
    title.value = stringValue(u"before");
    const Attribute* attributes[] = {&title, &a, &a};
    ID3_Tag tag;
    tallory::metadata::readWmaAttributes(attributes, tag);
    tallory::metadata::id3::forEachFrame(tag, [](ID3_Frame& frame) {
        if (!tallory::metadata::id3::renderFrame(frame)) std::abort();
        return true;
    });
    return 0;
}
