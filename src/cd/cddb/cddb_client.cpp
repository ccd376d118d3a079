#include "cd/cddb/cddb_client.h"

#include <cstdio>
#include <cstdlib>

#include "cd/cd_drives.h"
#include "cd/cddb/xmcd.h"
#include "core/settings_store.h"
#include "platform/net/http_client.h"

namespace tallory::cd::cddb {

namespace {

constexpr const char* kHello = "&hello=unknown+localhost+tallo+v4.5&proto=6";

}  // namespace

CddbSettings CddbSettings::read() {
    namespace st = core::settings;
    CddbSettings s;
    s.useProxy = st::readInt(kAudioCdSection, "CDDB_UseProxy", 0) != 0;
    s.proxy = st::readString(kAudioCdSection, "CDDB_ProxyAddress", "");
    s.proxyPort = st::readInt(kAudioCdSection, "CDDB_ProxyPort", 0);
    s.server = st::readString(kAudioCdSection, "CDDB_Server", kDefaultServer);
    // Beyond the fixed port 80: a server on another port (a local mirror, tests).
    s.port = st::readInt(kAudioCdSection, "CDDB_Port", 80);
    s.cgi = st::readString(kAudioCdSection, "CDDB_CGI", kDefaultCgi);
    s.email = st::readString(kAudioCdSection, "CDDB_EMailAddress", "");
    s.timeoutMs = st::readInt(kAudioCdSection, "CDDB_TimeoutMs", kDefaultTimeoutMs);
    if (s.timeoutMs <= 0 || s.timeoutMs > 120000) s.timeoutMs = kDefaultTimeoutMs;
    return s;
}

std::string queryBody(const DiscQuery& q) {
    char head[64];
    std::snprintf(head, sizeof head, "cmd=cddb+query+%08x+%zu", q.discId, q.frameOffsets.size());
    std::string body = head;
    for (uint32_t f : q.frameOffsets) body += "+" + std::to_string(f);
    return body + plusEncode("+" + std::to_string(q.leadOutSeconds) + kHello);
}

std::string readBody(const CDDBMatch& m) {
    return std::string("cmd=cddb+read+") + m.category + "+" + m.discId + plusEncode(kHello);
}

std::optional<std::string> post(const CddbSettings& s, const std::string& body) {
    const bool proxy = s.useProxy && !s.proxy.empty();
    std::string request = "POST " + (proxy ? "http://" + s.server + s.cgi : s.cgi) +
                          " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nUser-Agent: Tallory\r\n";
    if (!proxy) request += "Host: " + s.server + "\r\n";
    request += "Content-Length: " + std::to_string(body.size() + 2) + "\r\n\r\n" + body + "\r\n";
    const auto x = platform::net::exchange(proxy ? s.proxy : s.server, proxy ? s.proxyPort : s.port, request,
                                           s.timeoutMs, kMaxAnswerBytes);
    if (!x.ok) return std::nullopt;
    return platform::net::httpBody(x.response);
}

HRESULT runLookup(CDDrive& drive, ICDDBCallback* cb) {
    int32_t leadOut = 0;
    const auto toc = drive.tocTracks(&leadOut);
    if (drive.audioTrackCount() == 0 || toc.empty()) return E_UNEXPECTED;
    const CddbSettings settings = CddbSettings::read();
    DiscQuery q;
    q.discId = drive.GetDiscId();
    for (const TocTrack& t : toc) q.frameOffsets.push_back(uint32_t(t.lba + 150));
    q.leadOutSeconds = uint32_t((leadOut + 150) / 75);
    cb->ShowStatus("Contacting CDDB Server...");
    std::vector<CDDBMatch> matches;
    if (const auto answer = post(settings, queryBody(q))) parseQueryAnswer(*answer, matches, nullptr);
    if (matches.empty()) {
        cb->ShowStatus("No matches in CDDB database.");
        return 1;
    }
    int chosen = 0;
    if (matches.size() > 1) {
        cb->ShowStatus("Multiple CDDB Matches");
        if (cb->ChooseMatch(matches.data(), int(matches.size()), &chosen) < 0 || chosen < 0 ||
            chosen >= int(matches.size())) {
            cb->ShowStatus("");
            return 1;
        }
    }
    const CDDBMatch& m = matches[std::size_t(chosen)];
    cb->ShowStatus("Retrieving CD information...");
    std::string entryText;
    const auto answer = post(settings, readBody(m));
    if (!answer || !parseReadAnswer(*answer, entryText)) {
        cb->ShowStatus("Unable to retrieve CDDB information.");
        return 1;
    }
    const auto entries = parseXmcd(entryText);
    drive.SetTitle(m.title);
    drive.SetArtist(m.artist);
    drive.SetCategory(m.category);
    if (const std::string* g = findValue(entries, "DGENRE")) drive.SetGenre(g->c_str());
    if (const std::string* y = findValue(entries, "DYEAR")) {
        char* end = nullptr;
        const long v = std::strtol(y->c_str(), &end, 10);
        drive.SetYear(end != y->c_str() ? int(v) : -1);
    }
    for (int i = 0;; ++i) {
        const std::string* t = findValue(entries, "TTITLE" + std::to_string(i));
        if (t == nullptr) break;
        drive.SetTrackTitle(i, t->c_str());
    }
    for (int i = 0;; ++i) {
        const std::string* t = findValue(entries, "EXTT" + std::to_string(i));
        if (t == nullptr) break;
        drive.SetTrackExtra(i, t->c_str());
    }
    return 0;
}

}  // namespace tallory::cd::cddb
