#include "core/naming_scheme.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/export_guard.h"
#include "core/settings_store.h"
#include "core/target_base.h"
#include "metadata/recording_time.h"
#include "metadata/text_codec.h"
#include "platform/files/file_system.h"
#include "tallory/batch.h"
#include "tallory/formats.h"
#include "tallory/metadata.h"

namespace tallory::core {

namespace {

// Long enough for any path the system can name.
constexpr int kPathCapacity = 4096;
// Tag texts are read in pieces of this many characters.
constexpr int kTagTextCapacity = 1024;
// Numbering stops here: a folder with this many collisions is not worth a further probe.
constexpr int kMaxCollisionCounter = 1000000;

struct Gathered {
    std::string path, directory, name;
    std::string title = "Unknown", album = "Unknown", artist = "Unknown", year = "0000", genre = "Unknown",
                track = "00";
    int framesFound = 0;
};

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

NamingResult failure(std::string text) { return {false, std::move(text)}; }

// Characters that FAT and NTFS refuse in names become spaces, so that the
// names stay valid on portable players' drives as well.
void replaceReserved(std::string& value) {
    for (char& c : value) {
        if (std::strchr("\"*/:<>?\\|", c) != nullptr && c != '\0') c = ' ';
    }
}

// A value of dots alone would name the folder itself or its parent.
void defuseDotNames(std::string& value) {
    if (!value.empty() && value.find_first_not_of('.') == std::string::npos) value.assign(value.size(), '_');
}

std::string cleanText(std::string value) {
    replaceReserved(value);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    defuseDotNames(value);
    return value;
}

std::string cleanTrack(std::string value) {
    size_t slash = value.find('/');
    if (slash != std::string::npos) value.resize(slash);
    if (value.size() == 1) value = "0" + value;
    replaceReserved(value);
    defuseDotNames(value);
    return value;
}

bool readFrame(IMetadataTag* tag, int frameId, std::string& value) {
    ITextFrame* frame = nullptr;
    if (FAILED(tag->GetFrame(frameId, IID_ITextFrame, reinterpret_cast<void**>(&frame))) || frame == nullptr) {
        return false;
    }
    // The getter leaves the buffer unterminated when the text fills it.
    std::vector<char16_t> text(kTagTextCapacity + 1, u'\0');
    frame->GetText(text.data(), kTagTextCapacity);
    frame->Release();
    // The text stops at its terminator or at the capacity, whichever comes first.
    size_t length = 0;
    while (length < kTagTextCapacity && text[length] != u'\0') ++length;
    value = tallory::metadata::utf8FromUtf16(std::u16string_view(text.data(), length));
    return true;
}

void readTagValues(IConvSource* source, Gathered& g) {
    IMetadataFile* file = nullptr;
    if (!source->GetTag(&file) || file == nullptr) return;
    IMetadataTag* tag = nullptr;
    if (SUCCEEDED(file->ReadTag(&tag)) && tag != nullptr) {
        struct {
            int id;
            std::string* value;
        } const frames[] = {{METADATA_FRAME_TIT2, &g.title}, {METADATA_FRAME_TALB, &g.album},
                            {METADATA_FRAME_TPE1, &g.artist}, {METADATA_FRAME_TYER, &g.year},
                            {METADATA_FRAME_TCON, &g.genre}, {METADATA_FRAME_TRCK, &g.track}};
        bool haveYear = false;
        for (const auto& f : frames) {
            std::string text;
            if (!readFrame(tag, f.id, text)) continue;
            ++g.framesFound;
            if (f.id == METADATA_FRAME_TYER) haveYear = true;
            *f.value = f.id == METADATA_FRAME_TRCK ? cleanTrack(text) : cleanText(text);
        }
        // An ID3v2.4 tag dates its recording in TDRC ("yyyy-MM-dd..."): its year.
        if (!haveYear) {
            const std::string recorded = metadata::recordingTimeOf(tag);
            if (recorded.size() >= 4) {
                ++g.framesFound;
                g.year = cleanText(recorded.substr(0, 4));
            }
        }
        tag->Release();
    }
    file->Release();
}

// The file-name part of the scheme becomes "<sourcename>".
std::string withOriginalFileName(const std::string& scheme) {
    size_t cut = std::string::npos;
    for (size_t i = 0; i + 1 < scheme.size(); ++i) {
        if (isSeparator(scheme[i])) cut = i;
    }
    if (cut == std::string::npos) return "<sourcename>";
    return scheme.substr(0, cut + 1) + "<sourcename>";
}

// The directory without its first n components; the root "/" is the first.
std::string skipComponents(const std::string& dir, long n) {
    if (n <= 0) return dir;
    size_t pos = 0;
    for (long k = 0; k < n && pos < dir.size(); ++k) {
        if (k == 0 && dir[0] == '/') {
            pos = 1;
        } else {
            size_t next = dir.find('/', pos);
            pos = next == std::string::npos ? dir.size() : next + 1;
        }
        while (pos < dir.size() && dir[pos] == '/') ++pos;
    }
    return dir.substr(pos);
}

// "" (n = 1) or ":" and a signed decimal number; false for anything else after ':'.
bool parseComponentCount(const std::string& rest, long& n) {
    if (rest.empty()) {
        n = 1;
        return true;
    }
    std::string digits = rest.substr(1);
    size_t i = !digits.empty() && (digits[0] == '+' || digits[0] == '-') ? 1 : 0;
    if (i >= digits.size()) return false;
    for (size_t k = i; k < digits.size(); ++k) {
        if (!std::isdigit(static_cast<unsigned char>(digits[k]))) return false;
    }
    errno = 0;
    n = std::strtol(digits.c_str(), nullptr, 10);  // saturates, which skips everything or nothing
    return true;
}

bool equalsNoCase(const std::string& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0; }

// Appends the value of element `name`; false with the reason in `error`.
bool expandElement(const std::string& name, const Gathered& g, std::string& result, std::string& error) {
    if (name.compare(0, 10, "sourcepath") == 0) {
        std::string rest = name.substr(10);
        if (!rest.empty() && rest[0] != ':') {
            error = format(kMsgUnknownElement, name.c_str());
            return false;
        }
        long n = 1;
        if (!parseComponentCount(rest, n)) {
            error = format(kMsgExpectedNumber, "sourcepath");
            return false;
        }
        if (g.directory.empty()) {
            error = format(kMsgNotWithCdTracks, "sourcepath");
            return false;
        }
        result += skipComponents(g.directory, n);
        return true;
    }
    if (equalsNoCase(name, "sourcedir")) {
        if (!result.empty()) {
            error = format(kMsgFirstPositionOnly, "sourcedir");
            return false;
        }
        if (g.directory.empty()) {
            error = format(kMsgNotWithCdTracks, "sourcedir");
            return false;
        }
        result += g.directory;
        return true;
    }
    if (equalsNoCase(name, "sourcename")) {
        if (g.name.empty()) {
            error = format(kMsgNotWithCdTracks, "sourcename");
            return false;
        }
        result += g.name;
        return true;
    }
    struct {
        const char* element;
        const std::string* value;
    } const tagElements[] = {{"artist", &g.artist}, {"album", &g.album}, {"genre", &g.genre},
                             {"title", &g.title},   {"year", &g.year},   {"tracknum", &g.track}};
    for (const auto& e : tagElements) {
        if (equalsNoCase(name, e.element)) {
            result += *e.value;
            return true;
        }
    }
    error = format(kMsgUnknownElement, name.c_str());
    return false;
}

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\n\r\v\f";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

}  // namespace

size_t extensionStart(std::string_view path) {
    size_t dot = std::string_view::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '.') {
            dot = i;
        } else if (path[i] == ' ' || isSeparator(path[i])) {
            dot = std::string_view::npos;
        }
    }
    return dot;
}

NamingResult expandOutputName(const char* schemeText, int formatIndex, IConvSource* source, const NameTaken& taken) {
    std::string scheme = schemeText != nullptr ? schemeText : "";
    Gathered g;
    if (source != nullptr) {
        std::vector<char> path(kPathCapacity, '\0');
        if (source->GetPath(path.data(), kPathCapacity)) g.path = path.data();
    }
    CLSID sourceClass{};
    // A CD track is known by its class: its path names no folder of files.
    const bool cdTrack = source != nullptr && source->GetClassId(&sourceClass) && sourceClass == CLSID_CDTrackSource;
    if (!g.path.empty() && !cdTrack) {
        // "b.wav" typed in its own folder names that folder.
        g.path = platform::absoluteFromWorkingFolder(g.path);
        g.directory = platform::directoryOf(g.path);
        g.name = platform::fileNameOf(g.path);
        size_t ext = extensionStart(g.name);
        if (ext != std::string::npos) g.name.resize(ext);
    }
    // The console device's name passes through untouched.
    if (::strcasecmp(scheme.c_str(), "CONOUT$") == 0) return {true, scheme};

    if (source != nullptr) readTagValues(source, g);
    if (g.framesFound == 0 && settings::readInt("Settings", "UseOriginalFileNameIfNoID3Tag", 1) != 0) {
        scheme = withOriginalFileName(scheme);
    }

    std::string result;
    for (size_t i = 0; i < scheme.size();) {
        char c = scheme[i];
        if (c == '<') {
            size_t close = scheme.find('>', i + 1);
            if (close == std::string::npos) return failure(format(kMsgElementNotClosed, scheme.c_str() + i + 1));
            std::string error;
            if (!expandElement(scheme.substr(i + 1, close - i - 1), g, result, error)) return failure(error);
            i = close + 1;
            continue;
        }
        // "\" is read as "/" too, so schemes written on Windows keep working; repeated separators collapse.
        if (isSeparator(c)) {
            if (result.empty() || result.back() != '/') result += '/';
        } else {
            result += c;
        }
        ++i;
    }
    result = trimmed(result);
    if (result.empty()) return failure(kMsgEmptyName);

    if (formatIndex == -1) {
        size_t ext = extensionStart(result);
        if (ext != std::string::npos) result.resize(ext);
        return {true, result + ".m3u"};
    }
    FormatInfo info;
    if (formatIndex < 0 || FAILED(ConvGetFormatAt(&info, static_cast<uint32_t>(formatIndex)))) {
        return failure(kMsgInvalidFormat);
    }
    info.extensions[sizeof info.extensions - 1] = '\0';
    std::string extension = info.extensions;
    std::string base = result;
    result += extension;
    if (settings::readInt("Settings", "RenameOnCollision", 1) != 0) {
        auto inUse = [&](const std::string& p) { return taken ? taken(p) : platform::pathExists(p); };
        for (int counter = 2; inUse(result) && counter < kMaxCollisionCounter; ++counter) {
            result = format("%s (%d)%s", base.c_str(), counter, extension.c_str());
        }
    }
    return {true, result};
}

}  // namespace tallory::core

static int suggestOutputFile(const char* scheme, int formatIndex, IConvSource* source, char* buffer,
                                             int capacity) {
    using namespace tallory::core;
    if (buffer == nullptr || capacity <= 0) return 0;
    NamingResult r;
    try {
        r = expandOutputName(scheme, formatIndex, source);
    } catch (const std::exception&) {
        r = {false, "Out of memory"};
    }
    // A cut path would name another file: refuse it whole.
    if (r.ok && r.text.size() >= static_cast<size_t>(capacity)) {
        char text[160];
        std::snprintf(text, sizeof text, kMsgNameTooLong, r.text.size(), capacity - 1);
        r = {false, text};
    }
    copyTruncated(r.text, buffer, static_cast<size_t>(capacity));
    return r.ok ? 1 : 0;
}

extern "C" TALLORY_API int SuggestOutputFile(const char* scheme, int formatIndex, IConvSource* source, char* buffer,
                                             int capacity) noexcept {
    return tallory::core::guardExport("SuggestOutputFile", 0, [&] { return suggestOutputFile(scheme, formatIndex, source, buffer, capacity); });
}
