#include "cd/cddb/xmcd.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace tallory::cd::cddb {

namespace {

constexpr std::size_t kMaxLine = 256;
constexpr std::size_t kMaxListLines = 100;
constexpr std::size_t kMaxMatches = 10;

std::string unescape(const std::string& v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\') {
            out += v[i];
            continue;
        }
        if (i + 1 >= v.size()) break;
        const char c = v[++i];
        if (c == '\\') out += '\\';
        else if (c == 'n') out += '\n';
        else if (c == 't') out += '\t';
        // any other escape drops both characters
    }
    return out;
}

// The escaped pieces of a value, one per source character, so that a chunk
// boundary never falls inside one.
std::vector<std::string> escapedPieces(const std::string& v) {
    std::vector<std::string> out;
    for (char c : v) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n') out.push_back("\\n");
        else if (c == '\t') out.push_back("\\t");
        else if (c == '\\') out.push_back("\\\\");
        else if (u < 32 || u == 127) out.push_back("_");
        else out.push_back(std::string(1, c));
    }
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(std::move(line));
        pos = end + 1;
    }
    return out;
}

}  // namespace

std::vector<XmcdEntry> parseXmcd(const std::string& text) {
    std::vector<XmcdEntry> entries;
    for (std::string line : lines(text)) {
        // Lines longer than the protocol's 256 characters go on as the next line.
        while (!line.empty()) {
            std::string part = line.substr(0, kMaxLine);
            line.erase(0, part.size());
            if (part[0] == '#') {
                entries.push_back({"", part.substr(1)});
                continue;
            }
            const std::size_t eq = part.find('=');
            if (eq == std::string::npos || eq == 0) continue;
            const std::string key = part.substr(0, eq);
            const std::string value = unescape(part.substr(eq + 1));
            auto it = std::find_if(entries.begin(), entries.end(), [&](const XmcdEntry& e) {
                return !e.key.empty() && strcasecmp(e.key.c_str(), key.c_str()) == 0;
            });
            if (it != entries.end()) it->value += value;
            else entries.push_back({key, value});
        }
    }
    return entries;
}

std::string writeXmcd(const std::vector<XmcdEntry>& entries) {
    std::string out;
    for (const XmcdEntry& e : entries) {
        if (e.key.empty()) {
            out += "#" + e.value + "\r\n";
            continue;
        }
        const std::size_t room = e.key.size() < 250 ? 253 - e.key.size() : 3;
        const auto pieces = escapedPieces(e.value);
        std::size_t i = 0;
        do {
            std::string chunk;
            while (i < pieces.size() && chunk.size() + pieces[i].size() <= room) chunk += pieces[i++];
            out += e.key + "=" + chunk + "\r\n";
        } while (i < pieces.size());
    }
    return out + "\r\n\r\n";
}

const std::string* findValue(const std::vector<XmcdEntry>& entries, const std::string& key) {
    for (const XmcdEntry& e : entries)
        if (!e.key.empty() && strcasecmp(e.key.c_str(), key.c_str()) == 0) return &e.value;
    return nullptr;
}

bool parseMatchLine(const std::string& line, CDDBMatch& m, bool exact) {
    std::memset(&m, 0, sizeof m);
    std::size_t p = 0;
    const std::size_t catEnd = line.find(' ');
    if (catEnd == std::string::npos || catEnd == 0 || catEnd > 11) return false;
    std::memcpy(m.category, line.data(), catEnd);
    p = catEnd;
    while (p < line.size() && line[p] == ' ') ++p;
    std::size_t idEnd = p;
    while (idEnd < line.size() && std::isxdigit(static_cast<unsigned char>(line[idEnd])) && idEnd - p < 8) ++idEnd;
    if (idEnd == p || idEnd >= line.size() || line[idEnd] != ' ') return false;
    std::memcpy(m.discId, line.data() + p, idEnd - p);
    p = idEnd;
    while (p < line.size() && line[p] == ' ') ++p;
    const std::size_t slash = line.find('/', p);
    if (slash == std::string::npos) return false;
    std::string artist = line.substr(p, slash - p);
    if (!artist.empty() && artist.back() == ' ') artist.pop_back();
    std::size_t t = slash + 1;
    while (t < line.size() && line[t] == ' ') ++t;
    std::string title = line.substr(t);
    if (!title.empty() && (title.back() == '\r' || title.back() == '\n')) title.pop_back();
    std::memcpy(m.artist, artist.data(), std::min<std::size_t>(artist.size(), 80));
    std::memcpy(m.title, title.data(), std::min<std::size_t>(title.size(), 80));
    m.exact = exact ? 1 : 0;
    return true;
}

bool parseQueryAnswer(const std::string& answer, std::vector<CDDBMatch>& matches, int* status) {
    matches.clear();
    const auto ls = lines(answer);
    if (ls.empty() || ls[0].size() < 3 || !std::isdigit(static_cast<unsigned char>(ls[0][0]))) return false;
    const int code = std::atoi(ls[0].substr(0, 3).c_str());
    if (status != nullptr) *status = code;
    if (code == 200) {
        CDDBMatch m;
        if (ls[0].size() > 4 && parseMatchLine(ls[0].substr(4), m, true)) matches.push_back(m);
        return true;
    }
    if (code == 210 || code == 211) {
        for (std::size_t i = 1; i < ls.size() && i <= kMaxListLines; ++i) {
            if (ls[i] == ".") return true;
            CDDBMatch m;
            // 210 lists exact matches, 211 inexact ones.
            if (matches.size() < kMaxMatches && parseMatchLine(ls[i], m, code == 210)) matches.push_back(m);
        }
        matches.clear();  // no closing line: cut off
        return false;
    }
    return code == 202;
}

bool parseReadAnswer(const std::string& answer, std::string& entry) {
    entry.clear();
    if (answer.compare(0, 3, "210") != 0) return false;
    const std::size_t nl = answer.find('\n');
    if (nl == std::string::npos) return false;
    // The record ends at a line holding only ".".
    const std::string body = answer.substr(nl + 1);
    std::size_t pos = 0;
    while (pos < body.size()) {
        std::size_t end = body.find('\n', pos);
        if (end == std::string::npos) end = body.size();
        std::string line = body.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == ".") {
            entry = body.substr(0, pos);
            return true;
        }
        pos = end + 1;
    }
    return false;
}

std::string plusEncode(const std::string& text) {
    std::string out = text;
    for (std::size_t i = 1; i < out.size(); ++i)
        if (out[i] == '@' || out[i] == ' ') out[i] = '+';
    return out;
}

}  // namespace tallory::cd::cddb
