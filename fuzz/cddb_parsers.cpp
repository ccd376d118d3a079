// The CDDB answer and xmcd parsers on any bytes: query answers, read
// answers, entry lists (and writing what was read back out).
#include <cstdint>
#include <string>
#include <vector>

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
    return 0;
}
