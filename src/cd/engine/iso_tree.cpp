#include "cd/engine/iso_tree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <deque>
#include <set>
#include <utility>

#include "cd/engine/engine_error.h"

namespace tallory::cd::engine {

namespace {

constexpr const char* kShortNameExtras = "0123456789'!#$%&()-@^_`{}~";

bool shortNameChar(char32_t c) {
    if (c < 0x80 && std::isalpha(static_cast<int>(c))) return true;
    return c != 0 && c < 0x80 && std::strchr(kShortNameExtras, static_cast<int>(c)) != nullptr;
}

// UTF-8 to code points; a malformed byte stands for itself as U+FFFD.
std::u32string decodeUtf8(const std::string& text) {
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || (extra > 0 && i + static_cast<size_t>(extra) >= text.size())) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        char32_t cp = extra == 0 ? c : (c & (0x3F >> extra));
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            unsigned char n = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((n & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (n & 0x3F);
        }
        if (!ok) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        out += cp;
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

char mapShortChar(char32_t c) {
    if (!shortNameChar(c)) return '_';
    return static_cast<char>(std::toupper(static_cast<int>(c)));
}

bool siblingHasShortName(const IsoEntry& parent, const std::string& name) {
    return parent.takenShortNames.count(upper(name)) != 0;
}

std::u16string foldAscii(std::u16string s) {
    for (char16_t& c : s) if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return s;
}

bool siblingHasJolietName(const IsoEntry& parent, const std::u16string& name) {
    return parent.takenJolietNames.count(foldAscii(name)) != 0;
}

std::u16string asciiToU16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

IsoTime isoTimeFromUnix(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    IsoTime out;
    // ISO 9660 counts years from 1900 in one byte.
    int year = std::clamp(tm.tm_year + 1900, 1900, 2155);
    out.year = static_cast<uint16_t>(year);
    out.month = static_cast<uint8_t>(tm.tm_mon + 1);
    out.day = static_cast<uint8_t>(tm.tm_mday);
    out.hour = static_cast<uint8_t>(tm.tm_hour);
    out.minute = static_cast<uint8_t>(tm.tm_min);
    out.second = static_cast<uint8_t>(std::min(tm.tm_sec, 59));
    out.offset = 0;
    return out;
}

bool isValidShortName(const std::string& name, bool directory) {
    if (name.empty()) return false;
    size_t dot = directory ? std::string::npos : name.find_last_of('.');
    size_t baseLength = dot == std::string::npos ? name.size() : dot;
    size_t extLength = dot == std::string::npos ? 0 : name.size() - dot - 1;
    if (baseLength == 0 || baseLength > 8 || extLength > 3) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (i == dot) continue;
        if (!shortNameChar(static_cast<unsigned char>(name[i]))) return false;
    }
    return true;
}

std::string makeShortName(const std::string& name, int counter, bool directory) {
    std::u32string cps = decodeUtf8(name);
    size_t start = 0;
    while (start < cps.size() && (cps[start] == U'.' || cps[start] == U' ')) ++start;
    std::u32string rest = cps.substr(start);
    size_t dot = directory ? std::u32string::npos : rest.find_last_of(U'.');
    std::string base, ext;
    for (size_t i = 0; i < rest.size() && i < dot && base.size() < 6; ++i) {
        if (rest[i] == U' ' || rest[i] == U'.') continue;
        base += mapShortChar(rest[i]);
    }
    if (base.empty()) base = "_";
    if (dot != std::u32string::npos) {
        for (size_t i = dot + 1; i < rest.size() && ext.size() < 3; ++i) {
            if (rest[i] == U' ') continue;
            ext += mapShortChar(rest[i]);
        }
        if (!ext.empty()) ext = "." + ext;
    }
    // The base shrinks by one for every extra digit of the counter.
    int n = 6;
    for (int limit = 10; counter >= limit && n > 1; limit *= 10) --n;
    return base.substr(0, static_cast<size_t>(n)) + "~" + std::to_string(counter) + ext;
}

std::u16string jolietNameOf(const std::string& name) {
    std::u16string out;
    for (char32_t c : decodeUtf8(name)) {
        bool forbidden = c < 0x20 || c == U'*' || c == U'/' || c == U':' || c == U';' || c == U'?' || c == U'\\' ||
                         c > 0xFFFF || (c >= 0xD800 && c <= 0xDFFF);
        out += forbidden ? u'_' : static_cast<char16_t>(c);
    }
    if (out.size() > kMaxJolietName) {
        size_t dot = out.find_last_of(u'.');
        std::u16string ext = (dot != std::u16string::npos && out.size() - dot <= 8) ? out.substr(dot) : u"";
        out = out.substr(0, kMaxJolietName - ext.size()) + ext;
    }
    if (out.empty()) out.push_back(u'_');  // assigning a literal here trips a false -Wrestrict in g++ 12
    return out;
}

template <class String>
bool isoNameLess(const String& a, const String& b) {
    using Char = typename String::value_type;
    size_t dotA = a.find_last_of(static_cast<Char>('.'));
    size_t dotB = b.find_last_of(static_cast<Char>('.'));
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        bool atA = i == dotA, atB = i == dotB;
        if (atA != atB) return atA;
        if (a[i] != b[i]) return a[i] < b[i];
    }
    return a.size() < b.size();
}
template bool isoNameLess<std::string>(const std::string&, const std::string&);
template bool isoNameLess<std::u16string>(const std::u16string&, const std::u16string&);

IsoTree::IsoTree() : root_(std::make_unique<IsoEntry>()) {
    root_->directory = true;
    root_->level = 1;
    root_->parent = root_.get();
}

IsoEntry& IsoTree::addEntry(IsoEntry& parent, const std::string& name, bool directory, const std::string& sourcePath,
                            uint64_t size, const IsoTime& time, const IsoTreeOptions& options) {
    auto entry = std::make_unique<IsoEntry>();
    entry->directory = directory;
    entry->sourcePath = sourcePath;
    entry->size = size;
    entry->time = time;
    entry->level = parent.level + 1;
    entry->parent = &parent;

    std::string shortName;
    if (isValidShortName(name, directory) && !siblingHasShortName(parent, name)) {
        shortName = options.keepCase ? name : upper(name);
    } else {
        int counter = 1;
        do {
            shortName = makeShortName(name, counter++, directory);
        } while (siblingHasShortName(parent, shortName));
    }
    entry->shortName = shortName;

    std::u16string joliet = jolietNameOf(name);
    if (siblingHasJolietName(parent, joliet)) {
        size_t dot = directory ? std::u16string::npos : joliet.find_last_of(u'.');
        std::u16string stem = dot == std::u16string::npos ? joliet : joliet.substr(0, dot);
        std::u16string ext = dot == std::u16string::npos ? u"" : joliet.substr(dot);
        for (int counter = 2;; ++counter) {
            std::u16string tail = asciiToU16("~" + std::to_string(counter));
            std::u16string candidate = stem.substr(0, kMaxJolietName - tail.size() - ext.size()) + tail + ext;
            if (!siblingHasJolietName(parent, candidate)) {
                joliet = candidate;
                break;
            }
        }
    }
    entry->jolietName = joliet;
    parent.takenShortNames.insert(upper(shortName));
    parent.takenJolietNames.insert(foldAscii(joliet));

    IsoEntry& ref = *entry;
    (directory ? parent.dirs : parent.files).push_back(std::move(entry));
    return ref;
}

namespace {

struct Walker {
    IsoTree& tree;
    const IsoTreeOptions& options;
    std::set<std::pair<dev_t, ino_t>> ancestors;

    void contents(IsoEntry& parent, const std::string& folder) {
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr) throw EngineError::make(kErrBadPath, folder.c_str());
        std::vector<std::string> names;
        while (dirent* d = ::readdir(dir)) {
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
            names.emplace_back(d->d_name);
        }
        ::closedir(dir);
        // A stable order makes the made short names the same on every run.
        std::sort(names.begin(), names.end());
        if (names.size() > kMaxSortedEntries) throw EngineError::make(kErrTooManyToSort);
        for (const std::string& name : names) add(parent, folder + "/" + name, name);
    }

    IsoEntry* add(IsoEntry& parent, const std::string& path, const std::string& name) {
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) throw EngineError::make(kErrBadPath, path.c_str());
        IsoTime time = isoTimeFromUnix(st.st_mtime);
        if (S_ISDIR(st.st_mode)) {
            auto key = std::make_pair(st.st_dev, st.st_ino);
            if (ancestors.count(key) != 0) {
                throw EngineError(kErrText, "Folder \"" + path + "\" contains itself through a link");
            }
            IsoEntry& dir = tree.addEntry(parent, name, true, path, 0, time, options);
            ancestors.insert(key);
            contents(dir, path);
            ancestors.erase(key);
            return &dir;
        }
        if (!S_ISREG(st.st_mode)) throw EngineError(kErrText, "\"" + path + "\" is neither a file nor a folder");
        uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size > kMaxIsoFileSize) {
            throw EngineError(kErrText, "File \"" + path + "\" holds " + std::to_string(size) +
                                            " bytes; an ISO9660 file holds less than 4 GiB");
        }
        return &tree.addEntry(parent, name, false, path, size, time, options);
    }
};

}  // namespace

IsoEntry& IsoTree::addPath(IsoEntry& parent, const std::string& path, const std::string& name,
                           const IsoTreeOptions& options) {
    Walker walker{*this, options, {}};
    return *walker.add(parent, path, name);
}

void IsoTree::addContents(IsoEntry& parent, const std::string& folder, const IsoTreeOptions& options) {
    struct stat st{};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw EngineError::make(kErrBadPath, folder.c_str());
    Walker walker{*this, options, {}};
    walker.ancestors.insert({st.st_dev, st.st_ino});
    walker.contents(parent, folder);
}

void IsoTree::sortAndNumber() {
    std::deque<IsoEntry*> pending{root_.get()};
    while (!pending.empty()) {
        IsoEntry* e = pending.front();
        pending.pop_front();
        if (e->dirs.size() > kMaxSortedEntries || e->files.size() > kMaxSortedEntries) {
            throw EngineError::make(kErrTooManyToSort);
        }
        for (auto* list : {&e->dirs, &e->files}) {
            std::stable_sort(list->begin(), list->end(),
                             [](const auto& a, const auto& b) { return isoNameLess(a->shortName, b->shortName); });
        }
        for (auto& d : e->dirs) pending.push_back(d.get());
    }
    for (int tree = 0; tree < 2; ++tree) {
        std::vector<IsoEntry*> order = directoriesInOrder(tree);
        for (size_t i = 0; i < order.size(); ++i) order[i]->number[tree] = static_cast<uint16_t>(i + 1);
    }
}

std::vector<IsoEntry*> IsoTree::directoriesInOrder(int tree) const {
    // Breadth first over each tree's own sorted order: level by level, and
    // within a level by parent number, as ISO 9660 6.9.1 orders path tables.
    std::vector<IsoEntry*> order{root_.get()};
    for (size_t i = 0; i < order.size(); ++i) {
        std::vector<IsoEntry*> children;
        for (auto& d : order[i]->dirs) children.push_back(d.get());
        if (tree == kJolietTree) {
            std::stable_sort(children.begin(), children.end(),
                             [](const IsoEntry* a, const IsoEntry* b) { return isoNameLess(a->jolietName, b->jolietName); });
        }
        order.insert(order.end(), children.begin(), children.end());
    }
    return order;
}

std::vector<IsoEntry*> IsoTree::filesInOrder() const {
    std::vector<IsoEntry*> out;
    std::vector<const IsoEntry*> stack{root_.get()};
    while (!stack.empty()) {
        const IsoEntry* e = stack.back();
        stack.pop_back();
        for (auto& f : e->files) out.push_back(f.get());
        for (auto it = e->dirs.rbegin(); it != e->dirs.rend(); ++it) stack.push_back(it->get());
    }
    return out;
}

size_t IsoTree::fileCount() const { return filesInOrder().size(); }

}  // namespace tallory::cd::engine
