#include "cd/engine/iso_verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>

#include "cd/engine/iso_md5.h"

namespace tallory::cd::engine {

namespace {

constexpr uint32_t kSector = 2048;
// ISO 9660 9.1: the fixed part of a directory record, and the smallest record.
constexpr size_t kRecordFixed = 33;
constexpr size_t kMinRecord = 34;
constexpr uint8_t kFlagDirectory = 0x02;
constexpr uint8_t kFlagMultiExtent = 0x80;
// Source files are read in pieces this large.
constexpr size_t kSourcePiece = 1 << 20;

struct ReadFailure {
    std::string text;
};

[[noreturn]] void fail(std::string text) { throw ReadFailure{std::move(text)}; }

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint32_t be32(const uint8_t* p) { return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24; }
uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t be16(const uint8_t* p) { return uint32_t(p[1]) | uint32_t(p[0]) << 8; }

std::string where(uint32_t sector) { return " (sector " + std::to_string(sector) + ")"; }

// ISO 9660 7.3.3 / 7.2.3: both halves must agree, or the field is corrupt.
uint32_t both32(const uint8_t* p, const char* field, uint32_t sector) {
    uint32_t little = le32(p), big = be32(p + 4);
    if (little != big) {
        fail(std::string(field) + " reads " + std::to_string(little) + " little-endian but " + std::to_string(big) +
             " big-endian" + where(sector));
    }
    return little;
}
uint32_t both16(const uint8_t* p, const char* field, uint32_t sector) {
    uint32_t little = le16(p), big = be16(p + 2);
    if (little != big) {
        fail(std::string(field) + " reads " + std::to_string(little) + " little-endian but " + std::to_string(big) +
             " big-endian" + where(sector));
    }
    return little;
}

uint64_t sectorsOf(uint64_t bytes) { return (bytes + kSector - 1) / kSector; }

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The version suffix (";1") and a closing dot are not part of a name as users see it.
std::string plainName(std::string name) {
    size_t semi = name.find_last_of(';');
    if (semi != std::string::npos &&
        std::all_of(name.begin() + static_cast<long>(semi) + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        name.erase(semi);
    }
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    return name;
}

std::string decodeIdentifier(const uint8_t* id, size_t length, bool joliet, uint32_t sector) {
    std::string name;
    if (!joliet) {
        name.assign(reinterpret_cast<const char*>(id), length);
    } else {
        if (length % 2 != 0) fail("a Joliet identifier of odd length " + std::to_string(length) + where(sector));
        for (size_t i = 0; i < length; i += 2) {
            char32_t c = static_cast<char32_t>(id[i]) << 8 | id[i + 1];
            if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // UCS-2 has no surrogates
            appendUtf8(name, c);
        }
    }
    return plainName(std::move(name));
}

struct Record {
    uint32_t extent = 0;  // first sector of the data, extended attributes skipped
    uint32_t size = 0;
    uint8_t flags = 0;
    std::string name;
    bool special = false;  // the "." or ".." record
};

class Walker {
public:
    Walker(const IsoBlockReader& read, const IsoReadOptions& options) : read_(read), options_(options) {
        if (options_.sectorsPerRead == 0) options_.sectorsPerRead = 1;
    }

    void readSectors(uint32_t lba, uint64_t count, uint8_t* out) const {
        if (count == 0 || lba + count > end_) {
            fail("sectors " + std::to_string(lba) + " to " + std::to_string(lba + count - 1) +
                 " lie past the volume's end at sector " + std::to_string(end_));
        }
        while (count > 0) {
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, options_.sectorsPerRead));
            if (!read_(lba, n, out)) fail("reading " + std::to_string(n) + " sectors failed" + where(lba));
            lba += n;
            out += static_cast<size_t>(n) * kSector;
            count -= n;
        }
    }

    IsoVolumeListing run() {
        IsoVolumeListing listing;
        std::vector<uint8_t> sector(kSector);
        std::optional<Record> primaryRoot, jolietRoot;
        end_ = options_.endSector;
        uint32_t first = options_.firstSector;
        if (first > UINT32_MAX - 16 - kMaxVolumeDescriptors) fail("the first sector " + std::to_string(first) + " is too large");
        bool terminated = false;
        for (int i = 0; i < kMaxVolumeDescriptors && !terminated; ++i) {
            uint32_t at = first + 16 + static_cast<uint32_t>(i);
            readSectors(at, 1, sector.data());
            if (std::memcmp(&sector[1], "CD001", 5) != 0) {
                fail(i == 0 ? "no ISO9660 volume descriptor" + where(at)
                            : "the volume descriptors end without a terminator" + where(at));
            }
            uint8_t type = sector[0];
            if (type == 255) {
                terminated = true;
            } else if (type == 1 && !primaryRoot) {
                if (both16(&sector[128], "the logical block size", at) != kSector) {
                    fail("a logical block size of " + std::to_string(le16(&sector[128])) + " bytes" + where(at));
                }
                listing.volumeSectors = both32(&sector[80], "the volume space size", at);
                std::string label(reinterpret_cast<const char*>(&sector[40]), 32);
                while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
                listing.volumeLabel = label;
                primaryRoot = rootRecord(sector.data(), at, false);
            } else if (type == 2 && !jolietRoot && sector[88] == 0x25 && sector[89] == 0x2F &&
                       (sector[90] == 0x40 || sector[90] == 0x43 || sector[90] == 0x45)) {
                // Joliet: the UCS-2 escape sequences of levels 1 to 3.
                jolietRoot = rootRecord(sector.data(), at, true);
            }
        }
        if (!terminated) fail("more than " + std::to_string(kMaxVolumeDescriptors) + " volume descriptors");
        if (!primaryRoot) fail("no primary volume descriptor");
        if (listing.volumeSectors <= first + 16) {
            fail("the volume space size " + std::to_string(listing.volumeSectors) + " ends before the descriptors");
        }
        end_ = std::min<uint64_t>(end_, listing.volumeSectors);
        walk(*primaryRoot, false, listing.primary);
        if (jolietRoot) {
            listing.hasJoliet = true;
            walk(*jolietRoot, true, listing.joliet);
        }
        listing.ok = true;
        return listing;
    }

private:
    Record rootRecord(const uint8_t* descriptor, uint32_t at, bool joliet) {
        const uint8_t* r = descriptor + 156;
        if (r[0] < kMinRecord) fail("the root directory record is " + std::to_string(r[0]) + " bytes long" + where(at));
        Record root = parseRecord(r, r[0], at, joliet);
        if ((root.flags & kFlagDirectory) == 0) fail("the root directory record is not a directory" + where(at));
        return root;
    }

    Record parseRecord(const uint8_t* r, size_t length, uint32_t sector, bool joliet) const {
        size_t idLength = r[32];
        if (kRecordFixed + idLength > length) {
            fail("a directory record of " + std::to_string(length) + " bytes holds an identifier of " +
                 std::to_string(idLength) + where(sector));
        }
        if (idLength == 0) fail("a directory record without identifier" + where(sector));
        Record rec;
        uint32_t extent = both32(&r[2], "a record's extent", sector);
        uint8_t extended = r[1];
        if (extent > UINT32_MAX - extended) fail("a record's extent " + std::to_string(extent) + where(sector));
        rec.extent = extent + extended;  // ISO 9660 6.5.1: extended attributes come first
        rec.size = both32(&r[10], "a record's data length", sector);
        rec.flags = r[25];
        both16(&r[28], "a record's volume sequence number", sector);
        if (idLength == 1 && r[33] <= 1) {
            rec.special = true;
            return rec;
        }
        rec.name = decodeIdentifier(&r[33], idLength, joliet, sector);
        if (rec.name.empty() || rec.name.find('/') != std::string::npos || rec.name.find('\0') != std::string::npos) {
            fail("an identifier that is empty or holds '/' or a zero byte" + where(sector));
        }
        if (rec.size > 0 && rec.extent + sectorsOf(rec.size) > end_) {
            fail("\"" + rec.name + "\" lies at sectors " + std::to_string(rec.extent) + " to " +
                 std::to_string(rec.extent + sectorsOf(rec.size) - 1) + ", past the volume's end " +
                 std::to_string(end_) + where(sector));
        }
        return rec;
    }

    struct Pending {
        Record dir;
        std::string path;
        int depth;
    };

    void walk(const Record& root, bool joliet, IsoTreeListing& out) {
        std::deque<Pending> pending{{root, "", 1}};
        std::set<uint32_t> seen;
        std::vector<uint8_t> data;
        while (!pending.empty()) {
            Pending p = std::move(pending.front());
            pending.pop_front();
            const Record& dir = p.dir;
            if (!seen.insert(dir.extent).second) {
                fail("the folder \"" + p.path + "\" leads back to a folder already read" + where(dir.extent));
            }
            if (dir.size < 2 * kMinRecord || dir.size > kMaxDirectoryBytes) {
                fail("the folder \"" + (p.path.empty() ? "/" : p.path) + "\" declares " + std::to_string(dir.size) +
                     " bytes" + where(dir.extent));
            }
            uint64_t sectors = sectorsOf(dir.size);
            folderBytes_ += sectors * kSector;
            if (folderBytes_ > kMaxFolderBytesRead) {
                fail("the folders hold more than " + std::to_string(kMaxFolderBytesRead) + " bytes in all");
            }
            data.assign(static_cast<size_t>(sectors) * kSector, 0);
            readSectors(dir.extent, sectors, data.data());
            parseDirectory(data, dir, p, joliet, out, pending);
        }
    }

    void parseDirectory(const std::vector<uint8_t>& data, const Record& dir, const Pending& p, bool joliet,
                        IsoTreeListing& out, std::deque<Pending>& pending) {
        size_t pos = 0;
        size_t records = 0;
        bool continuing = false;  // the last file record had the multi-extent flag
        std::set<std::string> names;
        while (pos < dir.size) {
            uint32_t at = dir.extent + static_cast<uint32_t>(pos / kSector);
            size_t leftInSector = kSector - pos % kSector;
            size_t length = data[pos];
            if (length == 0) {  // ISO 9660 6.8.1.1: the rest of the sector is padding
                pos += leftInSector;
                continue;
            }
            if (length < kMinRecord || length > leftInSector || pos + length > dir.size) {
                fail("a directory record of " + std::to_string(length) + " bytes at byte " +
                     std::to_string(pos % kSector) + " does not fit its sector or folder" + where(at));
            }
            Record rec = parseRecord(&data[pos], length, at, joliet);
            pos += length;
            ++records;
            if (rec.special) {
                if (records > 2) fail("a \".\" or \"..\" record among the entries" + where(at));
                continue;
            }
            if (records <= 2) fail("a folder that does not start with its \".\" and \"..\" records" + where(at));
            if (++entries_ > kMaxReadEntries) fail("more than " + std::to_string(kMaxReadEntries) + " entries");
            std::string path = p.path + "/" + rec.name;
            bool directory = (rec.flags & kFlagDirectory) != 0;
            if (continuing) {
                if (directory || out.files.back().path != path) {
                    fail("the multi-extent file \"" + out.files.back().path + "\" ends without its last extent" + where(at));
                }
                IsoImageFile& f = out.files.back();
                f.size += rec.size;
                f.extents.push_back({rec.extent, rec.size});
                continuing = (rec.flags & kFlagMultiExtent) != 0;
                continue;
            }
            if (!names.insert(rec.name).second) fail("\"" + path + "\" appears twice in its folder" + where(at));
            if (directory) {
                if (p.depth + 1 > kMaxReadDepth) fail("folders nested deeper than " + std::to_string(kMaxReadDepth) + where(at));
                out.directories.push_back(path);
                pending.push_back({rec, path, p.depth + 1});
            } else {
                out.files.push_back({path, rec.size, {{rec.extent, rec.size}}});
                continuing = (rec.flags & kFlagMultiExtent) != 0;
            }
        }
        if (continuing) fail("the multi-extent file \"" + out.files.back().path + "\" ends without its last extent");
    }

    const IsoBlockReader& read_;
    IsoReadOptions options_;
    uint64_t end_ = UINT32_MAX;
    size_t entries_ = 0;
    uint64_t folderBytes_ = 0;
};

struct Digested {
    bool ok = false;
    uint64_t size = 0;
    Md5::Digest digest{};
    std::string error;
};

class Verifier {
public:
    Verifier(const IsoBlockReader& read, const IsoReadOptions& options, const IsoVerifyProgress& progress,
             const std::atomic<bool>* stop)
        : read_(read), options_(options), progress_(progress), stop_(stop) {
        if (options_.sectorsPerRead == 0) options_.sectorsPerRead = 1;
    }

    bool stopped() const { return stop_ != nullptr && stop_->load(); }

    void setTotal(uint64_t total) { total_ = total; }

    Digested source(const std::string& path) {
        Digested d;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            d.error = std::strerror(errno);
            return d;
        }
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        Md5 md5;
        std::vector<uint8_t>& buffer = sourceBuffer();
        for (;;) {
            if (stopped()) break;
            ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                d.error = std::strerror(errno);
                ::close(fd);
                return d;
            }
            if (n == 0) break;
            md5.update(buffer.data(), static_cast<size_t>(n));
            d.size += static_cast<uint64_t>(n);
            advance(static_cast<uint64_t>(n), path);
        }
        ::close(fd);
        d.digest = md5.finish();
        d.ok = true;
        return d;
    }

    const Digested& image(const IsoImageFile& file) {
        std::string key;
        for (const IsoFileExtent& e : file.extents) key += std::to_string(e.sector) + ":" + std::to_string(e.bytes) + ",";
        auto cached = imageDigests_.find(key);
        if (cached != imageDigests_.end()) return cached->second;
        Digested d;
        Md5 md5;
        std::vector<uint8_t> buffer(static_cast<size_t>(options_.sectorsPerRead) * kSector);
        d.ok = true;
        for (const IsoFileExtent& e : file.extents) {
            uint32_t lba = e.sector;
            uint64_t left = e.bytes;
            while (left > 0 && d.ok && !stopped()) {
                uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(sectorsOf(left), options_.sectorsPerRead));
                if (!read_(lba, n, buffer.data())) {
                    d.ok = false;
                    d.error = "reading " + std::to_string(n) + " sectors failed" + where(lba);
                    break;
                }
                size_t used = static_cast<size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(n) * kSector));
                md5.update(buffer.data(), used);
                d.size += used;
                left -= used;
                lba += n;
                advance(used, file.path);
            }
        }
        d.digest = md5.finish();
        return imageDigests_.emplace(key, d).first->second;
    }

private:
    std::vector<uint8_t>& sourceBuffer() {
        if (sourceBuffer_.empty()) sourceBuffer_.resize(kSourcePiece);
        return sourceBuffer_;
    }
    void advance(uint64_t bytes, const std::string& path) {
        done_ += bytes;
        if (progress_) progress_(std::min(done_, total_), total_, path);
    }

    const IsoBlockReader& read_;
    IsoReadOptions options_;
    const IsoVerifyProgress& progress_;
    const std::atomic<bool>* stop_;
    uint64_t done_ = 0, total_ = 0;
    std::vector<uint8_t> sourceBuffer_;
    std::unordered_map<std::string, Digested> imageDigests_;
};

std::string jolietUtf8(const std::u16string& name) {
    std::string out;
    for (char16_t c : name) appendUtf8(out, (c >= 0xD800 && c <= 0xDFFF) ? 0xFFFD : c);
    return out;
}

void collect(const IsoEntry& dir, const std::string& primary, const std::string& joliet, bool withJoliet,
             std::vector<IsoExpectedFile>& out) {
    for (const auto& f : dir.files) {
        IsoExpectedFile e;
        e.primaryPath = primary + "/" + plainName(f->shortName);
        if (withJoliet) e.jolietPath = joliet + "/" + plainName(jolietUtf8(f->jolietName));
        e.sourcePath = f->sourcePath;
        out.push_back(std::move(e));
    }
    for (const auto& d : dir.dirs) {
        collect(*d, primary + "/" + plainName(d->shortName), withJoliet ? joliet + "/" + plainName(jolietUtf8(d->jolietName)) : "",
                withJoliet, out);
    }
}

}  // namespace

IsoVolumeListing listIsoImage(const IsoBlockReader& read, const IsoReadOptions& options) {
    try {
        Walker walker(read, options);
        return walker.run();
    } catch (const ReadFailure& f) {
        IsoVolumeListing failed;
        failed.error = f.text;
        return failed;
    } catch (const std::bad_alloc&) {
        IsoVolumeListing failed;
        failed.error = "out of memory while reading the image";
        return failed;
    }
}

std::vector<IsoExpectedFile> expectedFilesOf(const IsoTree& tree, bool joliet) {
    std::vector<IsoExpectedFile> out;
    collect(tree.root(), "", "", joliet, out);
    return out;
}

std::string describe(const IsoDifference& d) {
    std::string text;
    switch (d.kind) {
        case IsoDifferenceKind::Missing: text = "missing from the " + d.tree + " tree: "; break;
        case IsoDifferenceKind::Extra: text = "not among the sources, in the " + d.tree + " tree: "; break;
        case IsoDifferenceKind::Differs: text = "differs from its source, in the " + d.tree + " tree: "; break;
        case IsoDifferenceKind::Unreadable: text = "could not be compared, in the " + d.tree + " tree: "; break;
    }
    text += d.imagePath.empty() ? "/" : d.imagePath;
    if (!d.sourcePath.empty()) text += " (source " + d.sourcePath + ")";
    if (!d.detail.empty()) text += ": " + d.detail;
    return text;
}

IsoVerifyResult verifyIsoImage(const IsoBlockReader& read, const std::vector<IsoExpectedFile>& expected,
                               const IsoReadOptions& options, const IsoVerifyProgress& progress,
                               const std::atomic<bool>* stop) {
    IsoVerifyResult result;
    IsoVolumeListing listing = listIsoImage(read, options);
    if (!listing.ok) {
        result.error = listing.error;
        return result;
    }
    result.readable = true;

    struct Tree {
        const char* name;
        const IsoTreeListing* listing;
        std::map<std::string, const IsoImageFile*> byPath;
        std::set<std::string> matched;
    };
    Tree trees[2] = {{"primary", &listing.primary, {}, {}}, {"Joliet", &listing.joliet, {}, {}}};
    // A tree is checked when the expectation names paths in it (or names no file at all).
    bool wantPrimary = expected.empty() ||
                       std::any_of(expected.begin(), expected.end(), [](const IsoExpectedFile& e) { return !e.primaryPath.empty(); });
    bool wantJoliet = expected.empty() ? listing.hasJoliet
                                       : std::any_of(expected.begin(), expected.end(),
                                                     [](const IsoExpectedFile& e) { return !e.jolietPath.empty(); });
    const bool wanted[2] = {wantPrimary, wantJoliet};
    for (Tree& t : trees) {
        for (const IsoImageFile& f : t.listing->files) t.byPath.emplace(f.path, &f);
    }
    if (wantJoliet && !listing.hasJoliet) {
        result.differences.push_back({IsoDifferenceKind::Missing, "Joliet", "/", "", "the image has no Joliet tree"});
    }

    Verifier verifier(read, options, progress, stop);
    uint64_t total = 0;
    for (const IsoExpectedFile& e : expected) {
        struct stat st{};
        if (::stat(e.sourcePath.c_str(), &st) == 0) total += 2 * static_cast<uint64_t>(st.st_size);
    }
    verifier.setTotal(total);

    for (const IsoExpectedFile& e : expected) {
        std::optional<Digested> src;
        bool compared = false;
        for (int t = 0; t < 2; ++t) {
            const std::string& path = t == 0 ? e.primaryPath : e.jolietPath;
            if (path.empty() || (t == 1 && !listing.hasJoliet)) continue;
            Tree& tree = trees[t];
            auto found = tree.byPath.find(path);
            if (found == tree.byPath.end()) {
                result.differences.push_back({IsoDifferenceKind::Missing, tree.name, path, e.sourcePath, ""});
                continue;
            }
            tree.matched.insert(path);
            if (verifier.stopped()) break;
            if (!src) src = verifier.source(e.sourcePath);
            if (!src->ok) {
                result.differences.push_back(
                    {IsoDifferenceKind::Unreadable, tree.name, path, e.sourcePath, "the source: " + src->error});
                continue;
            }
            const IsoImageFile& file = *found->second;
            if (file.size != src->size) {
                result.differences.push_back({IsoDifferenceKind::Differs, tree.name, path, e.sourcePath,
                                              std::to_string(file.size) + " bytes, the source " +
                                                  std::to_string(src->size)});
                continue;
            }
            const Digested& img = verifier.image(file);
            if (verifier.stopped()) break;
            if (!img.ok) {
                result.differences.push_back({IsoDifferenceKind::Unreadable, tree.name, path, e.sourcePath, img.error});
                continue;
            }
            compared = true;
            if (img.digest != src->digest) {
                result.differences.push_back({IsoDifferenceKind::Differs, tree.name, path, e.sourcePath,
                                              "MD5 " + Md5::hex(img.digest) + ", the source " + Md5::hex(src->digest)});
            }
        }
        if (verifier.stopped()) {
            result.stopped = true;
            return result;
        }
        if (compared) ++result.filesCompared;
    }
    for (int t = 0; t < 2; ++t) {
        if (!wanted[t]) continue;
        for (const IsoImageFile& f : trees[t].listing->files) {
            if (trees[t].matched.count(f.path) == 0) {
                result.differences.push_back({IsoDifferenceKind::Extra, trees[t].name, f.path, "", ""});
            }
        }
    }
    return result;
}

}  // namespace tallory::cd::engine
