#include "platform/media/metadata_editor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/files/output_file.h"

namespace tallory::platform::media {

namespace {

// A file descriptor closed on every path.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool readFully(int fd, uint8_t* data, size_t n) {
    while (n > 0) {
        ssize_t got = ::read(fd, data, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

Attribute computedQword(const char16_t* name, uint64_t v) {
    Attribute a;
    a.name = name;
    a.type = AttributeType::Qword;
    a.value = numberValue(v, 8);
    return a;
}

bool isComputedName(std::u16string_view name) { return name == u"Duration" || name == u"FileSize"; }

}  // namespace

MediaStatus MetadataEditor::Open(const std::string& path) {
    Close();
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return fromErrno(errno, "cannot open " + path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fromErrno(errno, "cannot examine " + path);
    if (!S_ISREG(st.st_mode)) return {kInvalidInputFormat, path + " is not a regular file"};
    uint8_t first[30];
    if (st.st_size < 30 || !readFully(fd.get(), first, sizeof first)) {
        return {kInvalidInputFormat, "the file is too short for an ASF header"};
    }
    uint64_t size = 0;
    if (MediaStatus s = peekHeaderSize(first, &size); !s) return s;
    if (size > static_cast<uint64_t>(st.st_size)) {
        return {kInvalidData, "the Header Object declares " + std::to_string(size) + " bytes; the file has " +
                                  std::to_string(st.st_size)};
    }
    if (size > kMaxAsfHeaderBytes) {
        return {kInvalidData, "the Header Object declares " + std::to_string(size) + " bytes; at most " +
                                  std::to_string(kMaxAsfHeaderBytes) + " are read"};
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    std::copy(first, first + 30, bytes.begin());
    if (!readFully(fd.get(), bytes.data() + 30, bytes.size() - 30)) return fromErrno(errno, "cannot read " + path);
    AsfHeader header;
    if (MediaStatus s = parseAsfHeader(bytes, &header); !s) return s;
    header_ = std::move(header);
    headerSize_ = size;
    path_ = path;
    open_ = true;
    refreshComputed();
    return MediaStatus::ok();
}

void MetadataEditor::Close() {
    open_ = false;
    path_.clear();
    header_ = AsfHeader{};
    computed_.clear();
    headerSize_ = 0;
}

void MetadataEditor::refreshComputed() {
    computed_.clear();
    if (!header_.hasFileProperties) return;
    const AsfFileProperties& p = header_.fileProperties;
    // The play duration counts the preroll; the attribute does not.
    uint64_t preroll = p.prerollMs > UINT64_MAX / 10000 ? UINT64_MAX : p.prerollMs * 10000;
    computed_.push_back(computedQword(u"Duration", p.playDuration > preroll ? p.playDuration - preroll : 0));
    computed_.push_back(computedQword(u"FileSize", p.fileSize));
}

uint16_t MetadataEditor::GetAttributeCount(uint16_t stream) const {
    size_t n = stream == 0 ? computed_.size() : 0;
    for (const Attribute& a : header_.attributes) n += a.stream == stream ? 1 : 0;
    return static_cast<uint16_t>(std::min<size_t>(n, 0xFFFF));
}

int MetadataEditor::attributeIndex(uint16_t stream, uint16_t index) const {
    size_t skip = stream == 0 ? computed_.size() : 0;
    if (index < skip) return -1;
    size_t want = index - skip;
    for (size_t i = 0; i < header_.attributes.size(); ++i) {
        if (header_.attributes[i].stream != stream) continue;
        if (want-- == 0) return static_cast<int>(i);
    }
    return -1;
}

const Attribute* MetadataEditor::GetAttributeByIndex(uint16_t stream, uint16_t index) const {
    if (stream == 0 && index < computed_.size()) return &computed_[index];
    int i = attributeIndex(stream, index);
    return i < 0 ? nullptr : &header_.attributes[static_cast<size_t>(i)];
}

const Attribute* MetadataEditor::GetAttributeByName(uint16_t stream, std::u16string_view name) const {
    if (stream == 0) {
        for (const Attribute& a : computed_) {
            if (a.name == name) return &a;
        }
    }
    for (const Attribute& a : header_.attributes) {
        if (a.stream == stream && a.name == name) return &a;
    }
    return nullptr;
}

MediaStatus MetadataEditor::SetAttribute(uint16_t stream, std::u16string_view name, AttributeType type,
                                         std::vector<uint8_t> value) {
    if (!open_) return {E_UNEXPECTED, "no file is open"};
    for (Attribute& a : header_.attributes) {
        if (a.stream != stream || a.name != name || a.language != 0) continue;
        if (MediaStatus s = checkValue(type, value); !s) return s;
        AttributeHomeKind home = homeFor(stream, a.name, type, value.size(), 0);
        // A value stays where it is unless its new type or size does not fit there.
        bool fits = a.home == home || (a.home == AttributeHomeKind::MetadataLibrary) ||
                    (a.home == AttributeHomeKind::ExtendedContent && home == AttributeHomeKind::ContentDescription);
        if (!fits) a.home = home;
        a.type = type;
        a.value = std::move(value);
        return MediaStatus::ok();
    }
    return AddAttribute(stream, name, type, std::move(value));
}

MediaStatus MetadataEditor::AddAttribute(uint16_t stream, std::u16string_view name, AttributeType type,
                                         std::vector<uint8_t> value, uint16_t language) {
    if (!open_) return {E_UNEXPECTED, "no file is open"};
    if (name.empty() || name.size() > 0x7FFE) return {E_INVALIDARG, "an attribute name has 1 to 32766 characters"};
    if (name.find(u'\0') != std::u16string_view::npos) return {E_INVALIDARG, "an attribute name holds no NUL"};
    if (stream > 127) return {E_INVALIDARG, "streams are numbered 0 to 127"};
    if (stream == 0 && isComputedName(name)) {
        return {E_INVALIDARG, utf16To8(name) + " comes from the File Properties object and cannot be set"};
    }
    if (MediaStatus s = checkValue(type, value); !s) return s;
    if (value.size() > 0xFFFFFFFEu) return {E_INVALIDARG, "a value holds at most 4 GiB"};
    Attribute a;
    a.stream = stream;
    a.name = name;
    a.type = type;
    a.value = std::move(value);
    a.language = language;
    a.home = homeFor(stream, a.name, type, a.value.size(), language);
    // The Content Description object holds one value of each of its fields.
    if (a.home == AttributeHomeKind::ContentDescription) {
        for (const Attribute& b : header_.attributes) {
            if (b.home == AttributeHomeKind::ContentDescription && b.name == a.name) {
                a.home = AttributeHomeKind::ExtendedContent;
            }
        }
    }
    header_.attributes.push_back(std::move(a));
    return MediaStatus::ok();
}

MediaStatus MetadataEditor::DeleteAttribute(uint16_t stream, uint16_t index) {
    if (!open_) return {E_UNEXPECTED, "no file is open"};
    if (stream == 0 && index < computed_.size()) {
        return {E_INVALIDARG, utf16To8(computed_[index].name) + " comes from the File Properties object"};
    }
    int i = attributeIndex(stream, index);
    if (i < 0) return {E_INVALIDARG, "stream " + std::to_string(stream) + " has no attribute " + std::to_string(index)};
    header_.attributes.erase(header_.attributes.begin() + i);
    return MediaStatus::ok();
}

MediaStatus MetadataEditor::Flush() {
    if (!open_) return {E_UNEXPECTED, "no file is open"};
    Fd in(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return fromErrno(errno, "cannot open " + path_);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return fromErrno(errno, "cannot examine " + path_);
    uint8_t first[30];
    uint64_t size = 0;
    if (st.st_size < 30 || !readFully(in.get(), first, sizeof first) || !peekHeaderSize(first, &size) ||
        size != headerSize_ || size > static_cast<uint64_t>(st.st_size)) {
        return {kInvalidData, path_ + " changed since it was opened"};
    }
    uint64_t rest = static_cast<uint64_t>(st.st_size) - headerSize_;
    std::vector<uint8_t> header;
    if (MediaStatus s = renderAsfHeader(header_, rest, &header); !s) return s;

    // The data object and whatever follows it are copied as they are.
    platform::ReplacementPlan plan;
    plan.head = std::move(header);
    plan.keepOffset = headerSize_;
    plan.keepLength = rest;
    if (platform::FileStatus f = platform::replaceFile(path_, plan, in.get()); !f) {
        return fromErrno(f.error, "cannot write " + path_);
    }
    Close();
    return MediaStatus::ok();
}

std::vector<uint8_t> stringValue(std::u16string_view text) {
    std::vector<uint8_t> v;
    v.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        v.push_back(static_cast<uint8_t>(c));
        v.push_back(static_cast<uint8_t>(c >> 8));
    }
    v.push_back(0);
    v.push_back(0);
    return v;
}

std::u16string stringOf(const std::vector<uint8_t>& value) {
    std::u16string s;
    for (size_t i = 0; i + 1 < value.size(); i += 2) s += static_cast<char16_t>(value[i] | (value[i + 1] << 8));
    while (!s.empty() && s.back() == 0) s.pop_back();
    return s;
}

std::vector<uint8_t> numberValue(uint64_t v, size_t bytes) {
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
    return out;
}

uint64_t numberOf(const std::vector<uint8_t>& value) {
    uint64_t v = 0;
    for (size_t i = 0; i < value.size() && i < 8; ++i) v |= static_cast<uint64_t>(value[i]) << (8 * i);
    return v;
}

std::u16string utf8To16(std::string_view s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) {
            ++i;
        } else {
            cp = n == 1 ? c : c & (0x7F >> n);
            bool good = true;
            for (size_t k = 1; k < n; ++k) {
                unsigned char d = static_cast<unsigned char>(s[i + k]);
                if ((d & 0xC0) != 0x80) good = false;
                cp = (cp << 6) | (d & 0x3F);
            }
            if (!good || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
            i += good ? n : 1;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string utf16To8(std::u16string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace tallory::platform::media
