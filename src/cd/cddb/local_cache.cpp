#include "cd/cddb/local_cache.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

namespace tallory::cd::cddb {

namespace {

constexpr const char* kFileName = "cdplayer.ini";
// A cache larger than this is not ours to read whole; it is left alone.
constexpr std::streamoff kMaxFileBytes = 16 << 20;

std::mutex fileMutex;

std::string trim(const std::string& s) {
    std::size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
    return s.substr(a, b - a);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool makeFolders(const std::string& dir) {
    for (std::size_t p = 1; p <= dir.size(); ++p) {
        if (p != dir.size() && dir[p] != '/') continue;
        const std::string part = dir.substr(0, p);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Holds an flock on "<file>.lock" so that two processes never interleave
// their read-modify-write of the cache.
class FileLock {
public:
    explicit FileLock(const std::string& path) {
        fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

bool readFile(const std::string& path, std::string& text) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    f.seekg(0, std::ios::end);
    const std::streamoff size = f.tellg();
    if (size < 0 || size > kMaxFileBytes) return false;
    f.seekg(0);
    text.assign(std::size_t(size), '\0');
    f.read(text.data(), size);
    return bool(f);
}

}  // namespace

const std::string* IniSection::find(const std::string& key) const {
    for (const auto& [k, v] : keys)
        if (strcasecmp(k.c_str(), key.c_str()) == 0) return &v;
    return nullptr;
}

void IniSection::set(const std::string& key, const std::string& value) {
    for (auto& [k, v] : keys)
        if (strcasecmp(k.c_str(), key.c_str()) == 0) {
            v = value;
            return;
        }
    keys.emplace_back(key, value);
}

std::string escapeIniValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (u < 32 || u == 127) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string unescapeIniValue(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 >= value.size()) {
            out += value[i];
            continue;
        }
        const char c = value[++i];
        if (c == 'n') out += '\n';
        else if (c == 'r') out += '\r';
        else if (c == 't') out += '\t';
        else if (c == 'x' && i + 2 < value.size() && hexDigit(value[i + 1]) >= 0 && hexDigit(value[i + 2]) >= 0) {
            out += char(hexDigit(value[i + 1]) * 16 + hexDigit(value[i + 2]));
            i += 2;
        } else {
            out += c;  // "\\" and anything a hand edit left: the character itself
        }
    }
    return out;
}

std::vector<IniSection> parseIni(const std::string& text) {
    std::vector<IniSection> sections;
    IniSection* current = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string t = trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') {
            const std::size_t close = t.find(']');
            if (close == std::string::npos) {
                current = nullptr;  // a broken header: its keys belong nowhere
                continue;
            }
            const std::string name = trim(t.substr(1, close - 1));
            current = nullptr;
            for (auto& s : sections)
                if (strcasecmp(s.name.c_str(), name.c_str()) == 0) current = &s;
            if (current == nullptr) {
                sections.push_back({name, {}});
                current = &sections.back();
            }
            continue;
        }
        const std::size_t eq = line.find('=');
        if (current == nullptr || eq == std::string::npos) continue;
        const std::string key = trim(line.substr(0, eq));
        if (key.empty()) continue;
        // The first value of a key counts, as with the Windows profile functions.
        if (current->find(key) == nullptr) current->keys.emplace_back(key, unescapeIniValue(line.substr(eq + 1)));
    }
    return sections;
}

std::string writeIni(const std::vector<IniSection>& sections) {
    std::string out;
    for (const IniSection& s : sections) {
        out += "[" + s.name + "]\r\n";
        for (const auto& [k, v] : s.keys) out += k + "=" + escapeIniValue(v) + "\r\n";
    }
    return out;
}

std::string cacheFilePath() {
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/Veshna/Tallory/" + kFileName;
}

std::string sectionName(uint32_t serial) {
    char name[16];
    std::snprintf(name, sizeof name, "%X", serial);
    return name;
}

std::optional<IniSection> readCacheSection(uint32_t serial) {
    const std::string path = cacheFilePath();
    std::string text;
    {
        std::lock_guard lock(fileMutex);
        if (!readFile(path, text)) return std::nullopt;
    }
    const std::string name = sectionName(serial);
    for (IniSection& s : parseIni(text))
        if (strcasecmp(s.name.c_str(), name.c_str()) == 0) return std::move(s);
    return std::nullopt;
}

bool storeCacheSection(const IniSection& section, std::string* error) {
    const std::string path = cacheFilePath();
    const std::string dir = path.substr(0, path.rfind('/'));
    auto failWith = [&](const std::string& why) {
        if (error != nullptr) *error = path + ": " + why + ": " + std::strerror(errno);
        return false;
    };
    std::lock_guard lock(fileMutex);
    if (!makeFolders(dir)) return failWith("cannot create the folder");
    FileLock fileLock(path);
    std::string text;
    std::vector<IniSection> sections;
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) {
        // A file we cannot read whole is left as it is rather than replaced by a part.
        if (!readFile(path, text)) {
            errno = EFBIG;
            return failWith("cannot read the cache whole");
        }
        sections = parseIni(text);
    } else if (errno != ENOENT) {
        return failWith("cannot read the cache");
    }
    IniSection* target = nullptr;
    for (auto& s : sections)
        if (strcasecmp(s.name.c_str(), section.name.c_str()) == 0) target = &s;
    if (target == nullptr) {
        sections.push_back({section.name, {}});
        target = &sections.back();
    }
    for (const auto& [k, v] : section.keys) target->set(k, v);
    const std::string out = writeIni(sections);
    std::ostringstream tmpName;
    tmpName << path << ".new." << ::getpid() << "." << std::this_thread::get_id();
    const std::string tmp = tmpName.str();
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return failWith("cannot create " + tmp);
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            errno = saved;
            return failWith("cannot write");
        }
        done += std::size_t(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return failWith("cannot write");
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return failWith("cannot replace");
    }
    return true;
}

}  // namespace tallory::cd::cddb
