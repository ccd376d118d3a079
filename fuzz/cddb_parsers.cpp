// The CDDB answer and xmcd parsers on any bytes: query answers, read
// answers, entry lists and the local cache file (and writing what was read
// back out).
#include <cstdint>
#include <string>
#include <vector>

#include "cd/cddb/local_cache.h"
#include "cd/cddb/xmcd.h"
#include "platform/net/http_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace cddb = tallory::cd::cddb;
    const std::string text = tallory::platform::net::httpBody(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<CDDBMatch> matches;
    int status = 0;
    cddb::parseQueryAnswer(text, matches, &status);
    std::string entry;
    if (cddb::parseReadAnswer(text, entry)) {
        const auto entries = cddb::parseXmcd(entry);
        const auto again = cddb::parseXmcd(cddb::writeXmcd(entries));
        if (again.size() < entries.size()) __builtin_trap();  // writing loses no entry
    }
    cddb::parseXmcd(text);
    // The cache file: what was read, written and read again, is the same.
    const auto sections = cddb::parseIni(std::string(reinterpret_cast<const char*>(data), size));
    const auto again = cddb::parseIni(cddb::writeIni(sections));
    if (again.size() > sections.size()) __builtin_trap();
    for (std::size_t i = 0; i < again.size(); ++i)
        for (const auto& [key, value] : again[i].keys) {
            const std::string* before = sections[i].find(key);
            if (before == nullptr || *before != value) __builtin_trap();
        }
    return 0;
}
