#include "cd/engine/cue_sheet.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "cd/engine/audio_file_probe.h"
#include "cd/engine/engine_error.h"

namespace tallory::cd::engine {

CuePoint makeCuePoint(int track, int index, int32_t lba) {
    int32_t address = lba + kFirstPregapSectors;
    if (address < 0) address = 0;
    return CuePoint{0, static_cast<uint8_t>(track), static_cast<uint8_t>(index),
                    static_cast<uint8_t>(address / (75 * 60)), static_cast<uint8_t>((address / 75) % 60),
                    static_cast<uint8_t>(address % 75)};
}

int32_t cuePointLba(const CuePoint& p) {
    return (p.minutes * 60 + p.seconds) * 75 + p.frames - kFirstPregapSectors;
}

uint32_t LayoutTrack::dataSectors() const {
    uint32_t sum = 0;
    for (const DataSegment& s : data) sum += s.sectors;
    return sum;
}

bool LayoutTrack::bigEndian(const std::vector<LayoutFile>& files) const {
    if (data.empty()) return false;
    CueFileKind kind = files[data.front().file].kind;
    return kind == CueFileKind::Motorola || kind == CueFileKind::Aiff;
}

namespace {

const char* fileTypeWord(CueFileKind kind) {
    switch (kind) {
        case CueFileKind::Binary: return "BINARY";
        case CueFileKind::Motorola: return "MOTOROLA";
        case CueFileKind::Wave: return "WAVE";
        case CueFileKind::Aiff: return "AIFF";
    }
    return "BINARY";
}

std::string modeWord(TrackModeKind mode, uint16_t sectorSize) {
    switch (mode) {
        case TrackModeKind::Audio:
            if (sectorSize == 2352) return "AUDIO";
            if (sectorSize == 2448) return "CDG";
            return "AUDIO/" + std::to_string(sectorSize);
        case TrackModeKind::Mode1: return "MODE1/" + std::to_string(sectorSize);
        case TrackModeKind::Mode2: return "MODE2/" + std::to_string(sectorSize);
        case TrackModeKind::Cdi: return "CDI/" + std::to_string(sectorSize);
    }
    return "AUDIO";
}

std::string msf(uint32_t sectors) {
    return std::to_string(sectors / 4500) + ":" + std::to_string((sectors / 75) % 60) + ":" +
           std::to_string(sectors % 75);
}

std::string fileStem(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

struct ModeRow {
    const char* word;
    TrackModeKind mode;
    uint16_t sectorSize;
};
constexpr ModeRow kModes[] = {
    {"AUDIO", TrackModeKind::Audio, 2352},     {"CDG", TrackModeKind::Audio, 2448},
    {"MODE1/2048", TrackModeKind::Mode1, 2048}, {"MODE1/2352", TrackModeKind::Mode1, 2352},
    {"MODE2/2336", TrackModeKind::Mode2, 2336}, {"MODE2/2352", TrackModeKind::Mode2, 2352},
    {"CDI/2336", TrackModeKind::Cdi, 2336},     {"CDI/2352", TrackModeKind::Cdi, 2352},
};

// Splits a line into blank-separated fields; a quoted field may hold blanks,
// and a backslash inside quotes takes the next character as it is.
bool splitFields(const std::string& line, std::vector<std::string>& fields) {
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) ++i;
        if (i >= line.size()) break;
        std::string field;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) c = line[i++];
                field += c;
            }
            if (!closed) return false;
            if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '\n') return false;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '\n') {
                field += line[i++];
            }
        }
        fields.push_back(std::move(field));
    }
    return true;
}

bool upperEquals(const std::string& a, const char* b) {
    size_t n = std::char_traits<char>::length(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
    }
    return true;
}

// "MM:SS:FF": 0, -400 for bad syntax, -408 beyond the limits.
int parseTime(const std::string& text, uint32_t& sectors) {
    unsigned parts[3] = {0, 0, 0};
    size_t part = 0;
    size_t digits = 0;
    for (char c : text) {
        if (c == ':') {
            if (digits == 0 || ++part > 2) return kErrCueSyntax;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            if (++digits > 3) return kErrCueSyntax;
            parts[part] = parts[part] * 10 + static_cast<unsigned>(c - '0');
        } else {
            return kErrCueSyntax;
        }
    }
    if (part != 2 || digits == 0) return kErrCueSyntax;
    if (parts[0] >= 80 || parts[1] >= 60 || parts[2] > 74) return kErrTime;
    sectors = (parts[0] * 60 + parts[1]) * 75 + parts[2];
    return 0;
}

}  // namespace

std::string quoteCueText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::vector<std::string> makeCueSheetLines(const DiscInfo& disc, const std::vector<TrackListEntry>& tracks) {
    std::vector<std::string> lines;
    if (disc.catalogWanted) lines.push_back("CATALOG " + disc.catalog.substr(0, 13));
    if (!disc.title.empty()) lines.push_back("TITLE " + quoteCueText(disc.title));
    unsigned number = disc.firstTrackNumber > 0 ? static_cast<unsigned>(disc.firstTrackNumber) : 1;
    for (const TrackListEntry& t : tracks) {
        lines.push_back("FILE " + quoteCueText(t.path) + " " + fileTypeWord(t.fileType));
        lines.push_back("TRACK " + std::to_string(number++) + " " + modeWord(t.mode, t.sectorSize));
        if (!t.title.empty()) {
            lines.push_back("TITLE " + quoteCueText(t.title));
        } else if (t.titleFromFileName) {
            lines.push_back("TITLE " + quoteCueText(fileStem(t.path)));
        }
        if (t.isrcWanted) lines.push_back("ISRC " + t.isrc.substr(0, 12));
        if (t.dcp || t.fourChannel || t.preEmphasis || t.scms) {
            std::string flags = "FLAGS";
            if (t.dcp) flags += " DCP";
            if (t.fourChannel) flags += " 4CH";
            if (t.preEmphasis) flags += " PRE";
            if (t.scms) flags += " SCMS";
            lines.push_back(flags);
        }
        if (t.pregap != 0) lines.push_back("PREGAP " + msf(t.pregap));
        lines.push_back("INDEX 01 00:00:00");
        if (t.postgap != 0) lines.push_back("POSTGAP " + msf(t.postgap));
    }
    return lines;
}

struct CueSheetBuilder::State {
    DiscLayout layout;
    int error = 0;
    unsigned long line = 0;
    unsigned long failedLine = 0;
    bool finished = false;
    bool catalogSeen = false;

    // The current file.
    std::optional<size_t> file;
    bool fileHasTrack = false;
    bool fileHasIndex = false;
    uint64_t fileCursor = 0;  // bytes of the file already given to tracks
    uint32_t fileLastTime = 0;  // time of the file's last INDEX, in sectors

    // The current track and the marks of its commands.
    std::optional<size_t> track;
    bool isrcSeen = false, flagsSeen = false, pregapSeen = false, postgapSeen = false;
    int lastIndex = -1;
    // The track the file's bytes since the last INDEX belong to.
    std::optional<size_t> owner;
    // A track whose data is closed but whose postgap waits for the next track's start.
    std::optional<size_t> postgapPending;

    uint32_t pendingGap = kFirstPregapSectors;
    int32_t position = -kFirstPregapSectors;

    int handle(const std::vector<std::string>& f);
    int catalog(const std::vector<std::string>& f);
    int title(const std::vector<std::string>& f);
    int fileCommand(const std::vector<std::string>& f);
    int trackCommand(const std::vector<std::string>& f);
    int isrc(const std::vector<std::string>& f);
    int flags(const std::vector<std::string>& f);
    int pregap(const std::vector<std::string>& f);
    int index(const std::vector<std::string>& f);
    int postgap(const std::vector<std::string>& f);
    int end();

    LayoutTrack& current() { return layout.tracks[*track]; }
    bool placementAsIsrc() const { return track.has_value() && lastIndex < 0; }
    int addCuePoint(int number, int indexNumber, int32_t lba);
    void giveToOwner(uint32_t sectors, uint64_t bytes);
    int closeFile();
    void addPostgap();
};

int CueSheetBuilder::State::addCuePoint(int number, int indexNumber, int32_t lba) {
    if (layout.cuePoints.size() >= static_cast<size_t>(kMaxCuePoints)) return kErrTooManyCuePoints;
    CuePoint p = makeCuePoint(number, indexNumber, lba);
    layout.cuePoints.push_back(p);
    if (number != kLeadOutTrack) current().cuePoints.push_back(p);
    return 0;
}

void CueSheetBuilder::State::giveToOwner(uint32_t sectors, uint64_t bytes) {
    if (!owner || sectors == 0) return;
    LayoutTrack& t = layout.tracks[*owner];
    if (!t.data.empty() && t.data.back().file == *file && t.data.back().offset + t.data.back().bytes == fileCursor) {
        t.data.back().bytes += bytes;
        t.data.back().sectors += sectors;
    } else {
        t.data.push_back(DataSegment{*file, fileCursor, bytes, sectors});
    }
    fileCursor += bytes;
    position += static_cast<int32_t>(sectors);
}

// The bytes left in the file close its last track's data.
int CueSheetBuilder::State::closeFile() {
    if (!file || !owner) return 0;
    const LayoutFile& lf = layout.files[*file];
    uint64_t left = lf.dataBytes > fileCursor ? lf.dataBytes - fileCursor : 0;
    const LayoutTrack& t = layout.tracks[*owner];
    bool padded = t.mode == TrackModeKind::Audio && t.sectorSize == kAudioSectorSize;
    if (!padded && left % t.sectorSize != 0) return kErrNotBlockMultiple;
    uint32_t sectors = static_cast<uint32_t>((left + t.sectorSize - 1) / t.sectorSize);
    giveToOwner(sectors, left);
    return 0;
}

void CueSheetBuilder::State::addPostgap() {
    if (!postgapPending) return;
    position += static_cast<int32_t>(layout.tracks[*postgapPending].postgap);
    postgapPending.reset();
}

int CueSheetBuilder::State::handle(const std::vector<std::string>& f) {
    const std::string& word = f[0];
    if (upperEquals(word, "REM")) return 0;
    if (upperEquals(word, "CATALOG")) return catalog(f);
    if (upperEquals(word, "TITLE")) return title(f);
    if (upperEquals(word, "FILE")) return fileCommand(f);
    if (upperEquals(word, "TRACK")) return trackCommand(f);
    if (upperEquals(word, "ISRC")) return isrc(f);
    if (upperEquals(word, "FLAGS")) return flags(f);
    if (upperEquals(word, "PREGAP")) return pregap(f);
    if (upperEquals(word, "INDEX")) return index(f);
    if (upperEquals(word, "POSTGAP")) return postgap(f);
    return -116;
}

int CueSheetBuilder::State::catalog(const std::vector<std::string>& f) {
    if (catalogSeen) return kErrOncePerDisc;
    if (f.size() != 2) return kErrCueSyntax;
    const std::string& n = f[1];
    if (n.size() != 13 || !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return kErrCatalog;
    }
    catalogSeen = true;
    layout.catalog = n;
    return 0;
}

int CueSheetBuilder::State::title(const std::vector<std::string>& f) {
    if (f.size() != 2) return kErrCueSyntax;
    size_t entry = track ? static_cast<size_t>(current().number) : 0;
    if (entry >= layout.cdText.entries.size()) layout.cdText.entries.resize(entry + 1);
    layout.cdText.entries[entry][kCdTitle] = f[1];
    return 0;
}

int CueSheetBuilder::State::fileCommand(const std::vector<std::string>& f) {
    if (file && !fileHasTrack) return kErrFileWithoutTrack;
    if (track && lastIndex < 1) return kErrTrackWithoutIndex;
    if (f.size() != 3) return kErrCueSyntax;
    LayoutFile lf;
    lf.path = f[1];
    if (upperEquals(f[2], "BINARY")) {
        lf.kind = CueFileKind::Binary;
    } else if (upperEquals(f[2], "MOTOROLA")) {
        lf.kind = CueFileKind::Motorola;
    } else if (upperEquals(f[2], "WAVE")) {
        lf.kind = CueFileKind::Wave;
    } else if (upperEquals(f[2], "AIFF")) {
        lf.kind = CueFileKind::Aiff;
    } else {
        return kErrFileType;
    }
    std::FILE* in = std::fopen(lf.path.c_str(), "rb");
    if (in == nullptr) return kErrFindFile;
    struct stat st{};
    if (::fstat(::fileno(in), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(in);
        return kErrFindFile;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    ReadAt read = [in](uint64_t offset, void* out, size_t n) {
        return ::fseeko(in, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(out, 1, n, in) == n;
    };
    int code = 0;
    AudioDataSpan span{0, size};
    if (lf.kind == CueFileKind::Wave) code = probeWaveFile(read, size, span);
    if (lf.kind == CueFileKind::Aiff) code = probeAiffFile(read, size, span);
    std::fclose(in);
    if (code != 0) return code;
    if (span.bytes == 0) return kErrNoData;
    lf.dataOffset = span.offset;
    lf.dataBytes = span.bytes;
    if (int c = closeFile(); c != 0) return c;
    layout.files.push_back(std::move(lf));
    file = layout.files.size() - 1;
    fileHasTrack = false;
    fileHasIndex = false;
    fileCursor = 0;
    fileLastTime = 0;
    return 0;
}

int CueSheetBuilder::State::trackCommand(const std::vector<std::string>& f) {
    if (!file) return kErrNoFile;
    if (track && lastIndex < 1) return kErrTrackWithoutIndex;
    if (f.size() != 3) return kErrCueSyntax;
    const std::string& n = f[1];
    if (n.empty() || n.size() > 3 || !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return kErrCueSyntax;
    }
    int number = std::stoi(n);
    if (number < 1 || number > 99) return kErrTrackNumber;
    if (!layout.tracks.empty() && number != layout.tracks.back().number + 1) return kErrTrackOrder;
    const ModeRow* row = nullptr;
    for (const ModeRow& m : kModes) {
        if (upperEquals(f[2], m.word)) row = &m;
    }
    if (row == nullptr) return kErrBadTrackType;
    CueFileKind kind = layout.files[*file].kind;
    if ((kind == CueFileKind::Wave || kind == CueFileKind::Aiff) &&
        (row->mode != TrackModeKind::Audio || row->sectorSize != kAudioSectorSize)) {
        return kErrBadTrackType;
    }
    LayoutTrack t;
    t.number = number;
    t.mode = row->mode;
    t.sectorSize = row->sectorSize;
    layout.tracks.push_back(std::move(t));
    track = layout.tracks.size() - 1;
    fileHasTrack = true;
    isrcSeen = flagsSeen = pregapSeen = postgapSeen = false;
    lastIndex = -1;
    if (layout.cdText.entries.size() < static_cast<size_t>(number) + 1) layout.cdText.setTrackCount(number);
    return 0;
}

int CueSheetBuilder::State::isrc(const std::vector<std::string>& f) {
    if (isrcSeen) return kErrOncePerTrack;
    if (!placementAsIsrc()) return kErrPlacement;
    if (f.size() != 2) return kErrCueSyntax;
    const std::string& code = f[1];
    if (code.size() != 12) return kErrIsrc;
    for (size_t i = 0; i < code.size(); ++i) {
        char c = code[i];
        bool ok = (c >= '0' && c <= '9') || (i < 5 && c >= 'A' && c <= 'Z');
        if (!ok) return kErrIsrc;
    }
    isrcSeen = true;
    current().isrc = code;
    return 0;
}

int CueSheetBuilder::State::flags(const std::vector<std::string>& f) {
    if (flagsSeen) return kErrOncePerTrack;
    if (!placementAsIsrc()) return kErrPlacement;
    if (f.size() < 2 || f.size() > 5) return kErrCueSyntax;
    LayoutTrack& t = current();
    for (size_t i = 1; i < f.size(); ++i) {
        if (upperEquals(f[i], "DCP")) {
            t.dcp = true;
        } else if (upperEquals(f[i], "4CH")) {
            t.fourChannel = true;
        } else if (upperEquals(f[i], "PRE")) {
            t.preEmphasis = true;
        } else if (upperEquals(f[i], "SCMS")) {
            t.scms = true;
        } else {
            return kErrCueSyntax;
        }
    }
    flagsSeen = true;
    return 0;
}

int CueSheetBuilder::State::pregap(const std::vector<std::string>& f) {
    if (pregapSeen) return kErrOncePerTrack;
    if (!placementAsIsrc()) return kErrPlacement;
    if (f.size() != 2) return kErrCueSyntax;
    uint32_t sectors = 0;
    if (int c = parseTime(f[1], sectors); c != 0) return c;
    pregapSeen = true;
    pendingGap += sectors;
    return 0;
}

int CueSheetBuilder::State::index(const std::vector<std::string>& f) {
    if (!track) return kErrNoTrack;
    if (postgapSeen) return kErrPlacement;
    if (f.size() != 3) return kErrCueSyntax;
    const std::string& n = f[1];
    if (n.empty() || n.size() > 3 || !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return kErrCueSyntax;
    }
    int number = std::stoi(n);
    if (number >= 100) return kErrIndexNumber;
    uint32_t time = 0;
    if (int c = parseTime(f[2], time); c != 0) return c;
    if (lastIndex < 0 && number > 1) return kErrFirstIndex;
    if (lastIndex >= 0 && number != lastIndex + 1) return kErrIndexOrder;
    if (!fileHasIndex && time != 0) return kErrFirstIndexOfFile;
    if (fileHasIndex && time <= fileLastTime) return kErrIndexTimes;

    LayoutTrack& t = current();
    // The sectors since the file's last index belong to the index before this one.
    uint32_t sectors = time - fileLastTime;
    uint16_t ownerSize = owner ? layout.tracks[*owner].sectorSize : t.sectorSize;
    uint64_t bytes = static_cast<uint64_t>(sectors) * ownerSize;
    if (fileCursor + bytes >= layout.files[*file].dataBytes) return kErrIndexPastEnd;

    bool firstOfTrack = lastIndex < 0;
    if (firstOfTrack) {
        // A data track after a track of another mode needs a pregap of at least
        // 3 seconds, of which the first second keeps the previous mode.
        size_t me = *track;
        bool modeChange = me > 0 && layout.tracks[me - 1].mode != t.mode && t.mode != TrackModeKind::Audio;
        if (modeChange && pendingGap < 225) return kErrTwoPartPregap;
        size_t cueRoom = layout.cuePoints.size() + (pendingGap > 0 ? 1u : 0u) + 1u;
        if (cueRoom > static_cast<size_t>(kMaxCuePoints)) return kErrTooManyCuePoints;
        giveToOwner(sectors, bytes);
        addPostgap();
        if (modeChange) {
            t.pregapPrevious = 75;
            t.previousMode = layout.tracks[me - 1].mode;
            t.previousSectorSize = layout.tracks[me - 1].sectorSize;
        }
        t.pregapOwn = pendingGap - t.pregapPrevious;
        t.pregapStart = position;
        if (pendingGap > 0) {
            if (int c = addCuePoint(t.number, 0, position); c != 0) return c;
            position += static_cast<int32_t>(pendingGap);
            pendingGap = 0;
            // An INDEX 00 right after a gap marks the same place: one point.
            if (number == 0) {
                lastIndex = 0;
                owner = track;
                fileHasIndex = true;
                fileLastTime = time;
                return 0;
            }
        }
    } else {
        giveToOwner(sectors, bytes);
    }
    if (int c = addCuePoint(t.number, number, position); c != 0) return c;
    if (number == 1) t.start = position;
    lastIndex = number;
    owner = track;
    fileHasIndex = true;
    fileLastTime = time;
    return 0;
}

int CueSheetBuilder::State::postgap(const std::vector<std::string>& f) {
    if (!track || lastIndex < 0) return kErrPlacement;
    if (postgapSeen) return kErrOncePerTrack;
    if (f.size() != 2) return kErrCueSyntax;
    uint32_t sectors = 0;
    if (int c = parseTime(f[1], sectors); c != 0) return c;
    postgapSeen = true;
    current().postgap = sectors;
    postgapPending = track;
    return 0;
}

int CueSheetBuilder::State::end() {
    if (layout.tracks.empty()) return kErrNoTracks;
    if (!fileHasTrack) return kErrLastFileWithoutTrack;
    if (lastIndex < 1) return kErrLastTrackWithoutIndex;
    if (int c = closeFile(); c != 0) return c;
    addPostgap();
    if (layout.cuePoints.size() >= static_cast<size_t>(kMaxCuePoints)) return kErrTooManyCuePoints;
    layout.cuePoints.push_back(makeCuePoint(kLeadOutTrack, 1, position));
    layout.leadOutStart = position;
    // Keep CD-TEXT entries for exactly the tracks laid out.
    layout.cdText.setTrackCount(static_cast<int>(layout.tracks.size()));
    return 0;
}

CueSheetBuilder::CueSheetBuilder() : state_(std::make_unique<State>()) {}
CueSheetBuilder::~CueSheetBuilder() = default;

int CueSheetBuilder::apply(const std::string& line) {
    State& s = *state_;
    if (s.error != 0) return s.error;
    if (s.finished) return s.error = kErrPlacement;
    ++s.line;
    std::vector<std::string> fields;
    if (!splitFields(line, fields)) {
        s.failedLine = s.line;
        return s.error = kErrCueSyntax;
    }
    if (fields.empty()) return 0;
    int code = s.handle(fields);
    if (code != 0) {
        s.failedLine = s.line;
        s.error = code;
    }
    return code;
}

int CueSheetBuilder::finish() {
    State& s = *state_;
    if (s.error != 0) return s.error;
    if (s.finished) return 0;
    int code = s.end();
    if (code != 0) {
        s.failedLine = 0;
        s.error = code;
        return code;
    }
    s.finished = true;
    return 0;
}

const DiscLayout& CueSheetBuilder::layout() const { return state_->layout; }
DiscLayout CueSheetBuilder::takeLayout() { return std::move(state_->layout); }
unsigned long CueSheetBuilder::failedLine() const { return state_->failedLine; }

DiscLayout layOutDisc(const std::vector<std::string>& lines) {
    CueSheetBuilder builder;
    for (const std::string& line : lines) {
        if (int code = builder.apply(line); code != 0) {
            if (code == -116) throw EngineError::make(code, builder.failedLine());
            throw EngineError::make(code).withDetail(-116, builder.failedLine());
        }
    }
    if (int code = builder.finish(); code != 0) throw EngineError::make(code);
    return builder.takeLayout();
}

}  // namespace tallory::cd::engine
