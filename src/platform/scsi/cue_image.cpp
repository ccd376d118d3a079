#include "platform/scsi/cue_image.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace tallory::platform::scsi {

namespace {

struct Fail {
    std::string message;
};

std::vector<std::string> tokenize(std::string_view line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i >= line.size()) break;
        std::string tok;
        if (line[i] == '"') {
            ++i;
            while (i < line.size() && line[i] != '"') tok += line[i++];
            if (i >= line.size()) throw Fail{"unterminated quoted text"};
            ++i;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) tok += line[i++];
        }
        out.push_back(std::move(tok));
    }
    return out;
}

std::string upper(std::string s) {
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

int parseNumber(const std::string& s, int lo, int hi, const char* what) {
    if (s.empty() || s.size() > 6) throw Fail{std::string("bad ") + what + " \"" + s + "\""};
    int v = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) throw Fail{std::string("bad ") + what + " \"" + s + "\""};
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi)
        throw Fail{std::string(what) + " " + s + " outside " + std::to_string(lo) + ".." + std::to_string(hi)};
    return v;
}

// mm:ss:ff in frames.
int32_t parseMsf(const std::string& s) {
    const std::size_t a = s.find(':');
    const std::size_t b = a == std::string::npos ? a : s.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) throw Fail{"bad time \"" + s + "\" (want mm:ss:ff)"};
    const int m = parseNumber(s.substr(0, a), 0, 99, "minutes");
    const int sec = parseNumber(s.substr(a + 1, b - a - 1), 0, 59, "seconds");
    const int f = parseNumber(s.substr(b + 1), 0, 74, "frames");
    return (m * 60 + sec) * kSectorsPerSecond + f;
}

struct PendingTrack {
    DiscTrack track;
    int fileIndex = -1;
    int32_t index0 = -1;  // frames into the file
    int32_t index1 = -1;
    int32_t pregap = 0;
};

struct PendingFile {
    std::shared_ptr<SectorStore> store;
};

}  // namespace

CueLoadResult parseCueSheet(std::string_view text, const CueFileOpener& openFile) {
    CueLoadResult result;
    if (text.size() > kMaxCueSheetBytes) {
        result.error = "cue sheet of " + std::to_string(text.size()) + " bytes is larger than " +
                       std::to_string(kMaxCueSheetBytes);
        return result;
    }
    std::vector<PendingFile> files;
    std::vector<PendingTrack> tracks;
    std::vector<int> sessionOfTrack;
    auto disc = std::make_unique<DiscModel>();
    int session = 1;
    int lineNo = 0;
    try {
        std::size_t pos = 0;
        while (pos <= text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            ++lineNo;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (lineNo == 1 && line.size() >= 3 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
            std::vector<std::string> tok;
            try {
                tok = tokenize(line);
            } catch (const Fail& f) {
                throw Fail{"line " + std::to_string(lineNo) + ": " + f.message};
            }
            if (tok.empty()) {
                if (end == text.size()) break;
                continue;
            }
            const std::string cmd = upper(tok[0]);
            auto need = [&](std::size_t n) {
                if (tok.size() < n + 1) throw Fail{cmd + " needs " + std::to_string(n) + " argument(s)"};
            };
            try {
                if (cmd == "REM") {
                    if (tok.size() >= 3 && upper(tok[1]) == "SESSION") {
                        const int s = parseNumber(tok[2], 1, 99, "session");
                        if (s != session && s != session + 1) throw Fail{"sessions must follow each other"};
                        if (s != session && tracks.empty()) throw Fail{"a new session before any track"};
                        session = s;
                    }
                } else if (cmd == "FILE") {
                    need(2);
                    const std::string type = upper(tok[2]);
                    if (type != "BINARY")
                        throw Fail{"file type " + type + " is not supported (only BINARY)"};
                    std::string error;
                    auto store = openFile(tok[1], &error);
                    if (!store) throw Fail{error.empty() ? "cannot open \"" + tok[1] + "\"" : error};
                    files.push_back({std::move(store)});
                } else if (cmd == "TRACK") {
                    need(2);
                    if (files.empty()) throw Fail{"TRACK before any FILE"};
                    if (tracks.size() >= 99) throw Fail{"more than 99 tracks"};
                    PendingTrack t;
                    t.track.number = parseNumber(tok[1], 1, 99, "track number");
                    const std::string mode = upper(tok[2]);
                    if (mode == "AUDIO") t.track.mode = TrackModeKind::Audio;
                    else if (mode == "MODE1/2048") t.track.mode = TrackModeKind::Mode1Cooked;
                    else if (mode == "MODE1/2352") t.track.mode = TrackModeKind::Mode1Raw;
                    else if (mode == "MODE2/2352") t.track.mode = TrackModeKind::Mode2Raw;
                    else throw Fail{"track mode " + mode + " is not supported"};
                    if (!tracks.empty() && t.track.number != tracks.back().track.number + 1)
                        throw Fail{"track " + tok[1] + " does not follow track " + std::to_string(tracks.back().track.number)};
                    if (!tracks.empty() && tracks.back().index1 < 0)
                        throw Fail{"track " + std::to_string(tracks.back().track.number) + " has no INDEX 01"};
                    t.fileIndex = int(files.size()) - 1;
                    t.track.session = session;
                    tracks.push_back(std::move(t));
                } else if (cmd == "INDEX") {
                    need(2);
                    if (tracks.empty()) throw Fail{"INDEX before any TRACK"};
                    PendingTrack& t = tracks.back();
                    if (t.fileIndex != int(files.size()) - 1)
                        throw Fail{"an index in a later FILE than its TRACK is not supported"};
                    const int idx = parseNumber(tok[1], 0, 99, "index number");
                    const int32_t at = parseMsf(tok[2]);
                    // Every index of a file must lie after the previous track's start.
                    if (tracks.size() >= 2 && tracks[tracks.size() - 2].fileIndex == t.fileIndex &&
                        at <= tracks[tracks.size() - 2].index1)
                        throw Fail{"index time does not follow the previous track"};
                    if (idx == 0) {
                        if (t.index1 >= 0 || t.index0 >= 0) throw Fail{"INDEX 00 must come first"};
                        t.index0 = at;
                    } else if (idx == 1) {
                        if (t.index1 >= 0) throw Fail{"INDEX 01 given twice"};
                        if (t.index0 >= 0 && at < t.index0) throw Fail{"INDEX 01 before INDEX 00"};
                        t.index1 = at;
                    } else if (t.index1 < 0) {
                        throw Fail{"INDEX " + tok[1] + " before INDEX 01"};
                    }
                } else if (cmd == "PREGAP") {
                    need(1);
                    if (tracks.empty() || tracks.back().index0 >= 0 || tracks.back().index1 >= 0)
                        throw Fail{"PREGAP must follow its TRACK before any INDEX"};
                    tracks.back().pregap = parseMsf(tok[1]);
                } else if (cmd == "FLAGS") {
                    if (tracks.empty()) throw Fail{"FLAGS before any TRACK"};
                    for (std::size_t i = 1; i < tok.size(); ++i) {
                        const std::string f = upper(tok[i]);
                        if (f == "DCP") tracks.back().track.copyPermitted = true;
                        else if (f == "PRE") tracks.back().track.preemphasis = true;
                        else if (f != "4CH" && f != "SCMS") throw Fail{"unknown flag " + f};
                    }
                } else if (cmd == "ISRC") {
                    need(1);
                    if (tracks.empty()) throw Fail{"ISRC before any TRACK"};
                    if (tok[1].size() != 12) throw Fail{"ISRC \"" + tok[1] + "\" is not 12 characters"};
                    tracks.back().track.isrc = tok[1];
                } else if (cmd == "CATALOG") {
                    need(1);
                    if (tok[1].size() != 13) throw Fail{"CATALOG \"" + tok[1] + "\" is not 13 digits"};
                    disc->catalog = tok[1];
                } else if (cmd == "TITLE" || cmd == "PERFORMER") {
                    need(1);
                    std::string& field = tracks.empty() ? (cmd == "TITLE" ? disc->title : disc->performer)
                                                        : (cmd == "TITLE" ? tracks.back().track.title
                                                                          : tracks.back().track.performer);
                    field = tok[1];
                } else if (cmd == "POSTGAP") {
                    throw Fail{"POSTGAP is not supported"};
                } else if (cmd == "SONGWRITER" || cmd == "CDTEXTFILE" || cmd == "COMPOSER" || cmd == "ARRANGER" ||
                           cmd == "MESSAGE") {
                    // CD-TEXT fields the drive model does not keep.
                } else {
                    throw Fail{"unknown command " + cmd};
                }
            } catch (const Fail& f) {
                throw Fail{"line " + std::to_string(lineNo) + ": " + f.message};
            }
            if (end == text.size()) break;
        }
        if (tracks.empty()) throw Fail{"no TRACK in the cue sheet"};
        if (tracks.back().index1 < 0)
            throw Fail{"track " + std::to_string(tracks.back().track.number) + " has no INDEX 01"};

        // Lay the tracks out on the disc: files follow each other, PREGAP
        // sectors are inserted, a new session starts after the session gap.
        int32_t fileBaseLba = 0;   // LBA of the current file's frame 0
        int64_t fileByte = 0;      // byte offset of the previous track's first file frame
        int32_t fileFrame = 0;     // its frame
        int prevBytes = 0;
        int currentFile = -1;
        int32_t discEnd = 0;       // first LBA after everything laid out so far
        int currentSession = 1;
        for (std::size_t i = 0; i < tracks.size(); ++i) {
            PendingTrack& p = tracks[i];
            DiscTrack& t = p.track;
            if (p.fileIndex != currentFile) {
                fileBaseLba = discEnd;
                fileByte = 0;
                fileFrame = 0;
                prevBytes = fileSectorBytes(t.mode);
                currentFile = p.fileIndex;
            }
            const int32_t first = p.index0 >= 0 ? p.index0 : p.index1;
            if (t.session != currentSession) {
                DiscSession s;
                s.number = currentSession;
                disc->sessions.push_back(s);
                currentSession = t.session;
                // Shift so that INDEX 01 lands kSessionGapSectors after the lead-out.
                fileBaseLba += (discEnd + kSessionGapSectors) - (fileBaseLba + p.pregap + p.index1);
            }
            fileByte += int64_t(first - fileFrame) * prevBytes;
            fileFrame = first;
            prevBytes = fileSectorBytes(t.mode);
            fileBaseLba += p.pregap;
            t.silentPregapSectors = p.pregap;
            t.pregapLba = p.index0 >= 0 ? fileBaseLba + p.index0 : -1;
            t.startLba = fileBaseLba + p.index1;
            t.store = files[std::size_t(p.fileIndex)].store;
            t.storeOffset = fileByte;
            const bool lastOfFile = i + 1 == tracks.size() || tracks[i + 1].fileIndex != p.fileIndex;
            if (lastOfFile) {
                const int64_t bytes = t.store->size() - fileByte;
                const int64_t sectors = bytes / prevBytes - (p.index1 - first);
                if (sectors <= 0)
                    throw Fail{"track " + std::to_string(t.number) + " has no data in its file"};
                if (sectors > 100 * 60 * kSectorsPerSecond) throw Fail{"file of track " + std::to_string(t.number) + " is larger than a disc"};
                t.lengthSectors = int32_t(sectors);
            } else {
                const PendingTrack& n = tracks[i + 1];
                const int32_t nextFirst = n.index0 >= 0 ? n.index0 : n.index1;
                t.lengthSectors = nextFirst - p.index1;
                if (n.track.session != t.session) t.lengthSectors = nextFirst - p.index1;
                if (t.lengthSectors <= 0) throw Fail{"track " + std::to_string(t.number) + " has no sectors"};
            }
            discEnd = t.startLba + t.lengthSectors;
            disc->tracks.push_back(t);
        }
        DiscSession last;
        last.number = currentSession;
        disc->sessions.push_back(last);
        // Sessions: first and last track, lead-out after the last track.
        for (DiscSession& s : disc->sessions) {
            s.firstTrack = 0;
            for (const DiscTrack& t : disc->tracks) {
                if (t.session != s.number) continue;
                if (s.firstTrack == 0) s.firstTrack = t.number;
                s.lastTrack = t.number;
                s.leadOutLba = t.startLba + t.lengthSectors;
            }
            if (s.firstTrack == 0) throw Fail{"session " + std::to_string(s.number) + " has no track"};
        }
        if (disc->leadOutLba() > 100 * 60 * kSectorsPerSecond - kLbaOffset) throw Fail{"the disc is longer than 100 minutes"};
        const std::string problem = disc->validate();
        if (!problem.empty()) throw Fail{problem};
    } catch (const Fail& f) {
        result.error = f.message;
        return result;
    }
    result.disc = std::move(disc);
    return result;
}

CueLoadResult loadCueImage(const std::string& cuePath) {
    CueLoadResult result;
    std::ifstream in(cuePath, std::ios::binary);
    if (!in) {
        result.error = "cannot open the cue sheet \"" + cuePath + "\"";
        return result;
    }
    std::string text;
    text.resize(kMaxCueSheetBytes + 1);
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(std::size_t(in.gcount()));
    const std::size_t slash = cuePath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : cuePath.substr(0, slash + 1);
    result = parseCueSheet(text, [&](const std::string& name, std::string* error) -> std::shared_ptr<SectorStore> {
        const std::string path = !name.empty() && name[0] == '/' ? name : folder + name;
        return FileSectorStore::open(path, false, error);
    });
    if (!result.disc) result.error = cuePath + ": " + result.error;
    return result;
}

}  // namespace tallory::platform::scsi
