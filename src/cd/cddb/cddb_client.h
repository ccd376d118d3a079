// The CDDB lookup of a drive's disc on a freedb-protocol server over HTTP/1.0
// (protocol level 6: texts in UTF-8), run on a thread of its own.
#ifndef TALLORY_CD_CDDB_CDDB_CLIENT_H
#define TALLORY_CD_CDDB_CDDB_CLIENT_H

#include <optional>
#include <string>
#include <vector>

#include "tallory/cd.h"

namespace tallory::cd {
class CDDrive;
}

namespace tallory::cd::cddb {

inline constexpr const char* kDefaultServer = "gnudb.gnudb.org";
inline constexpr const char* kDefaultCgi = "/~cddb/cddb.cgi";
// A lookup ends within this time when the server never answers.
inline constexpr int kDefaultTimeoutMs = 20000;
// Answers larger than this are refused, not cut.
inline constexpr std::size_t kMaxAnswerBytes = 1 << 20;

struct CddbSettings {
    bool useProxy = false;
    std::string proxy;
    int proxyPort = 0;
    std::string server = kDefaultServer;
    int port = 80;
    std::string cgi = kDefaultCgi;
    std::string email;
    int timeoutMs = kDefaultTimeoutMs;
    static CddbSettings read();
};

struct DiscQuery {
    uint32_t discId = 0;
    std::vector<uint32_t> frameOffsets;  // LBA + 150 of every table entry
    uint32_t leadOutSeconds = 0;
};

// The request body of a query and of a read.
std::string queryBody(const DiscQuery& q);
std::string readBody(const CDDBMatch& m);
// One POST through the proxy or directly; the answer's body, or nothing.
std::optional<std::string> post(const CddbSettings& s, const std::string& body);

// The lookup of Algorithms 7 on the calling thread: 0 when the disc texts
// were filled, else non-zero (E_UNEXPECTED without audio tracks).
HRESULT runLookup(CDDrive& drive, ICDDBCallback* callback);

}  // namespace tallory::cd::cddb

#endif
