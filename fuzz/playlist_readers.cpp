// The M3U, PLS and ASX readers over arbitrary bytes. The first byte chooses
// the reader, so one corpus reaches all three.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "playlist/playlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tallory::playlist;
    if (size == 0) return 0;
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string folder = "/fuzz/lists";
    std::vector<std::string> entries;
    switch (data[0] % 3) {
        case 0: entries = parseM3u(text, folder); break;
        case 1: entries = parsePls(text, folder); break;
        default: {
            XmlParseError error;
            parseAsx(text, "fuzz.wax", entries, error);
            break;
        }
    }
    // Every entry must fit the entry limit, and a written list
    // must read back naming the same files ("a//b" and "a/x/../b" are "a/b").
    for (const std::string& e : entries) {
        if (e.size() >= kMaxEntryBytes) __builtin_trap();
    }
    if (data[0] % 3 == 0) {
        std::vector<std::string> again = parseM3u(formatM3u(entries, folder), folder);
        if (again.size() != entries.size()) __builtin_trap();
        auto folded = [](const std::string& e) { return e[0] == '/' ? resolveEntry("/", e.substr(1)) : e; };
        for (size_t i = 0; i < entries.size(); ++i) {
            if (folded(again[i]) != folded(entries[i])) __builtin_trap();
        }
    }
    return 0;
}
