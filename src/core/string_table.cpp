#include "core/string_table.h"

namespace tallory::core {

namespace {
struct StringEntry {
    uint32_t id;
    const char* text;
};

constexpr StringEntry kStrings[] = {
    {8, "MP3 Audio Files (.mp3)"},
    {9, "MP2 Audio Files (.mp2)"},
    {10, "MP1 Audio Files (.mp1)"},
    {11, "Wave Audio Files (.wav)"},
    {12, "Windows Media Audio Files (.wma)"},
    {13, "Audio Interchange Files (.aif)"},
    {14, "TwinVQ Files (.vqf)"},
    {15, "CD Audio Tracks (.cda)"},
    {28, "Vorbis OGG Files (.ogg)"},
    {29, "FLAC Audio Files (.flac)"},
    {30, "Opus Audio Files (.opus)"},
};
}  // namespace

const char* loadString(uint32_t id) {
    for (const StringEntry& entry : kStrings) {
        if (entry.id == id) return entry.text;
    }
    return nullptr;
}

}  // namespace tallory::core
