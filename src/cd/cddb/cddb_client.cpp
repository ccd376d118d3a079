#include "cd/cddb/cddb_client.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cd/cd_drives.h"
#include "cd/cddb/local_cache.h"
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
    for (uint32_t f : q.frameOffsets) {
        body += '+';
        body += std::to_string(f);
    }
    std::string tail = "+";
    tail += std::to_string(q.leadOutSeconds);
    tail += kHello;
    return body + plusEncode(tail);
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

namespace {

constexpr const char* kSubmitCgi = "/~cddb/submit.cgi";
constexpr const char* kSupportAddress = "cddb-support@tallory.example";
constexpr const char* kMakerNotice = "(Veshna Tallory audio converter)";
constexpr std::size_t kMaxEntryText = 32000;
constexpr std::size_t kMaxMatchCount = 10;

void copyField(char* field, std::size_t width, const std::string& text) {
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), std::min(text.size(), width - 1));
}

bool sameMatch(const CDDBMatch& a, const CDDBMatch& b) {
    return std::strcmp(a.category, b.category) == 0 && std::strcmp(a.discId, b.discId) == 0 &&
           std::strcmp(a.artist, b.artist) == 0 && std::strcmp(a.title, b.title) == 0;
}

// The query of the drive's disc, or false without audio tracks.
bool discQuery(CDDrive& drive, DiscQuery& q) {
    int32_t leadOut = 0;
    const auto toc = drive.tocTracks(&leadOut);
    if (drive.audioTrackCount() == 0 || toc.empty()) return false;
    q.discId = drive.GetDiscId();
    for (const TocTrack& t : toc) q.frameOffsets.push_back(uint32_t(t.lba + 150));
    q.leadOutSeconds = uint32_t((leadOut + 150) / 75);
    return true;
}

// The server's matches of the disc; none when it cannot be reached.
std::vector<CDDBMatch> serverMatches(const CddbSettings& settings, const DiscQuery& q) {
    std::vector<CDDBMatch> matches;
    if (const auto answer = post(settings, queryBody(q))) parseQueryAnswer(*answer, matches, nullptr);
    return matches;
}

// The entry text of a match: from the local cache or read from the server.
bool readEntry(const CddbSettings& settings, const CDDBMatch& m, std::string& text) {
    if (m.cacheSection != 0) {
        const auto section = readCacheSection(m.cacheSection);
        if (!section) return false;
        text = localEntryText(*section, m);
        return true;
    }
    const auto answer = post(settings, readBody(m));
    return answer && parseReadAnswer(*answer, text);
}

void applyEntry(CDDrive& drive, const CDDBMatch& m, const std::vector<XmcdEntry>& entries) {
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
}

}  // namespace

bool localMatch(uint32_t serial, uint32_t discId, CDDBMatch& m) {
    const auto section = readCacheSection(serial);
    if (!section) return false;
    const std::string* n = section->find("NumTracks");
    if (n == nullptr || std::atoi(n->c_str()) == 0) return false;
    auto value = [&](const char* key) {
        const std::string* v = section->find(key);
        return v != nullptr ? *v : std::string();
    };
    std::memset(&m, 0, sizeof m);
    copyField(m.category, sizeof m.category, value("Genre"));
    char id[16];
    std::snprintf(id, sizeof id, "%08x", discId);
    copyField(m.discId, sizeof m.discId, id);
    copyField(m.artist, sizeof m.artist, value("Artist"));
    copyField(m.title, sizeof m.title, value("Title"));
    m.cacheSection = serial;
    m.exact = 1;
    return true;
}

std::string localEntryText(const IniSection& section, const CDDBMatch& m) {
    auto value = [&](const std::string& key) {
        const std::string* v = section.find(key);
        return v != nullptr ? *v : std::string();
    };
    std::vector<XmcdEntry> entries;
    entries.push_back({"DTITLE", std::string(m.artist) + " / " + m.title});
    entries.push_back({"DGENRE", value("ID3Genre")});
    entries.push_back({"DYEAR", value("Year")});
    // A table has at most 100 entries; a larger count is a damaged file.
    const int count = std::clamp(std::atoi(value("NumTracks").c_str()), 0, 100);
    for (int i = 0; i < count; ++i) {
        const std::string* t = section.find(std::to_string(i));
        entries.push_back({"TTITLE" + std::to_string(i), t != nullptr ? *t : "Track " + std::to_string(i + 1)});
        entries.push_back({"EXTT" + std::to_string(i), value("Ext" + std::to_string(i))});
    }
    return writeXmcd(entries);
}

HRESULT runLookup(CDDrive& drive, ICDDBCallback* cb) {
    DiscQuery q;
    if (!discQuery(drive, q)) return E_UNEXPECTED;
    const CddbSettings settings = CddbSettings::read();
    cb->ShowStatus("Contacting CDDB Server...");
    std::vector<CDDBMatch> matches = serverMatches(settings, q);
    // The local cache answers after every query, alone or beside the server.
    CDDBMatch local;
    const auto records = drive.records();
    if (!records.empty() && localMatch(records.front().discSerial, q.discId, local) && matches.size() < kMaxMatchCount &&
        std::none_of(matches.begin(), matches.end(), [&](const CDDBMatch& m) { return sameMatch(m, local); }))
        matches.push_back(local);
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
    if (!readEntry(settings, m, entryText)) {
        cb->ShowStatus("Unable to retrieve CDDB information.");
        return 1;
    }
    applyEntry(drive, m, parseXmcd(entryText));
    return 0;
}

std::string submissionText(const DiscQuery& q, const CDDrive::DiscTexts& t, const std::vector<XmcdEntry>& existing) {
    int revision = 0;
    for (const XmcdEntry& e : existing)
        if (e.key.empty() && e.value.size() >= 11 && strncasecmp(e.value.c_str(), " Revision: ", 11) == 0) {
            revision = std::atoi(e.value.c_str() + 11) + 1;
            break;
        }
    auto comment = [](const std::string& text) { return XmcdEntry{"", text}; };
    std::vector<XmcdEntry> list = {comment(" xmcd"), comment(""), comment(" Track frame offsets:")};
    for (uint32_t f : q.frameOffsets) {
        std::string offset = "\t";
        offset += std::to_string(f);
        list.push_back(comment(offset));
    }
    list.push_back(comment(""));
    list.push_back(comment(" Disc length: " + std::to_string(q.leadOutSeconds) + " seconds"));
    list.push_back(comment(""));
    list.push_back(comment(" Revision: " + std::to_string(revision)));
    list.push_back(comment(std::string(" Submitted via: Tallory v4.5 ") + kMakerNotice));
    list.push_back(comment(""));
    char id[16];
    std::snprintf(id, sizeof id, "%08x", q.discId);
    auto copied = [&](const char* key) {
        const std::string* v = findValue(existing, key);
        return v != nullptr ? *v : std::string();
    };
    list.push_back({"DISCID", id});
    list.push_back({"DTITLE", t.artist + " / " + t.title});
    list.push_back({"DYEAR", t.year == -1 ? "" : std::to_string(t.year)});
    list.push_back({"DGENRE", t.genre});
    for (std::size_t i = 0; i < t.entries.size(); ++i) list.push_back({"TTITLE" + std::to_string(i), t.entries[i].first});
    list.push_back({"EXTD", copied("EXTD")});
    for (std::size_t i = 0; i < t.entries.size(); ++i) list.push_back({"EXTT" + std::to_string(i), t.entries[i].second});
    list.push_back({"PLAYORDER", copied("PLAYORDER")});
    return writeXmcd(list);
}

HRESULT runSubmit(CDDrive& drive, ICDDBCallback* cb) {
    DiscQuery q;
    if (!discQuery(drive, q)) return E_UNEXPECTED;
    const CddbSettings settings = CddbSettings::read();
    const CDDrive::DiscTexts texts = drive.texts();
    const std::string category = texts.category.substr(0, 11);
    auto failed = [&] {
        cb->ShowStatus("Submission failed");
        return E_FAIL;
    };
    cb->ShowStatus("Contacting CDDB Server...");
    const std::vector<CDDBMatch> matches = serverMatches(settings, q);
    std::vector<XmcdEntry> existing;
    for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
        if (it->cacheSection != 0 || strcasecmp(it->category, category.c_str()) != 0) continue;
        if (cb->ShowStatus("REVISION") < 0) return S_OK;
        std::string text;
        if (readEntry(settings, *it, text)) existing = parseXmcd(text);
        break;
    }
    cb->ShowStatus("Submitting to CDDB Server...");
    // Without a sender or a category the server has nothing to file it under;
    // either with a control character would add header lines of its own.
    auto headerSafe = [](const std::string& v) {
        return std::none_of(v.begin(), v.end(), [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; });
    };
    if (settings.email.empty() || category.empty() || !headerSafe(settings.email) || !headerSafe(category) ||
        !headerSafe(settings.server))
        return failed();
    const std::string body = submissionText(q, texts, existing);
    if (body.size() > kMaxEntryText) return failed();
    char id[16];
    std::snprintf(id, sizeof id, "%08x", q.discId);
    std::string request = std::string("POST ") + kSubmitCgi + " HTTP/1.0\r\nHost: " + settings.server +
                          "\r\nUser-Agent: Tallory\r\nSubmit-Mode: submit\r\nCategory: " + category +
                          "\r\nDiscid: " + id + "\r\nUser-Email: " + settings.email + "\r\n";
    request += std::string("X-Cddbd-Note: Tallory Support <") + kSupportAddress + ">\r\n";
    // Protocol level 6: the entry's text is UTF-8.
    request += "Charset: UTF-8\r\n";
    request += "Content-Length: " + std::to_string(body.size() + 2) + "\r\n\r\n" + body + "\r\n";
    // Submissions go to the server itself, never through the proxy.
    const auto x = platform::net::exchange(settings.server, settings.port, request, settings.timeoutMs, kMaxAnswerBytes);
    if (!x.ok || platform::net::httpBody(x.response).compare(0, 3, "200") != 0) return failed();
    cb->ShowStatus("Submission succeeded");
    return S_OK;
}

}  // namespace tallory::cd::cddb
