#include "cd/engine/iso_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "cd/engine/engine_error.h"

namespace tallory::cd::engine {

namespace {

constexpr uint8_t kJolietEscape[3] = {0x25, 0x2F, 0x40};
// ISO 9660 9.1: a record's length is one byte.
constexpr size_t kMaxRecordLength = 255;
// ISO 9660 9.4: a path table identifier, padded, within one byte's length less the record's fixed part.
constexpr size_t kMaxPathIdentifier = 247;
constexpr uint32_t kMaxPathTableBytes = 65535;
constexpr int kSelf = 1, kParent = 2;

constexpr uint32_t kFloppy12 = 1228800, kFloppy144 = 1474560, kFloppy288 = 2949120;

void le16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
void be16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
void le32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }
void be32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i)); }
void both16(uint8_t* p, uint32_t v) { le16(p, v); be16(p + 2, v); }
void both32(uint8_t* p, uint32_t v) { le32(p, v); be32(p + 4, v); }

uint32_t sectorsFor(uint64_t bytes) { return static_cast<uint32_t>((bytes + kIsoSectorSize - 1) / kIsoSectorSize); }

std::string fileIdentifier(const std::string& name, bool noVersion) {
    std::string id = name;
    if (id.find('.') == std::string::npos) id += '.';
    if (!noVersion) id += ";1";
    return id;
}

std::vector<uint8_t> ucs2(const std::u16string& s) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c >> 8));
        out.push_back(static_cast<uint8_t>(c & 0xFF));
    }
    return out;
}

std::vector<uint8_t> identifierOf(const IsoEntry& e, int tree, bool noVersion) {
    if (tree == kPrimaryTree) {
        std::string id = e.directory ? e.shortName : fileIdentifier(e.shortName, noVersion);
        return std::vector<uint8_t>(id.begin(), id.end());
    }
    std::u16string id = e.jolietName;
    if (!e.directory && !noVersion) id += u";1";
    return ucs2(id);
}

// A field of `size` bytes: the text then blanks (UCS-2 blanks in the Joliet set).
void putText(uint8_t* field, size_t size, const std::string& text, bool joliet) {
    if (!joliet) {
        std::memset(field, ' ', size);
        std::memcpy(field, text.data(), std::min(size, text.size()));
        return;
    }
    for (size_t i = 0; i + 1 < size; i += 2) {
        field[i] = 0x00;
        field[i + 1] = 0x20;
    }
    std::u16string wide;
    for (char c : text) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    std::vector<uint8_t> bytes = ucs2(wide);
    if (!bytes.empty()) std::memcpy(field, bytes.data(), std::min(size / 2 * 2, bytes.size()));
}

void putLongTime(uint8_t* p, const IsoTime* t) {
    char text[32];
    if (t == nullptr) {
        std::memcpy(p, "0000000000000000", 16);
        p[16] = 0;
        return;
    }
    std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u00", t->year, t->month, t->day, t->hour, t->minute,
                  t->second);
    std::memcpy(p, text, 16);
    p[16] = static_cast<uint8_t>(t->offset);
}

bool entryNameLess(const IsoEntry* a, const IsoEntry* b, int tree) {
    if (tree == kJolietTree) return isoNameLess(a->jolietName, b->jolietName);
    return isoNameLess(a->shortName, b->shortName);
}

// A directory's children, folders and files together, in identifier order (ISO 9660 9.3).
std::vector<const IsoEntry*> childrenOf(const IsoEntry& dir, int tree) {
    std::vector<const IsoEntry*> out;
    for (const auto& d : dir.dirs) out.push_back(d.get());
    for (const auto& f : dir.files) out.push_back(f.get());
    std::stable_sort(out.begin(), out.end(), [tree](const IsoEntry* a, const IsoEntry* b) { return entryNameLess(a, b, tree); });
    return out;
}

uint8_t readBootSystemType(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw EngineError::make(kErrOpenFile, path.c_str());
    uint8_t mbr[512];
    size_t got = std::fread(mbr, 1, sizeof mbr, f);
    std::fclose(f);
    if (got != sizeof mbr || mbr[510] != 0x55 || mbr[511] != 0xAA) {
        throw EngineError::make(kErrBootImageLength)
            .withDetail(kErrText, ("the hard disk image \"" + path + "\" has no partition table").c_str());
    }
    uint8_t type = 0;
    int used = 0;
    for (int i = 0; i < 4; ++i) {
        uint8_t t = mbr[446 + 16 * i + 4];
        if (t != 0) {
            ++used;
            type = t;
        }
    }
    // El Torito 2.0: an emulated hard disk holds exactly one partition.
    if (used != 1) {
        throw EngineError::make(kErrBootImageLength)
            .withDetail(kErrText, ("the hard disk image \"" + path + "\" has " + std::to_string(used) +
                                   " partitions; El Torito wants one").c_str());
    }
    return type;
}

}  // namespace

IsoImage::IsoImage(IsoTree& tree, IsoImageOptions options) : tree_(tree), options_(std::move(options)) {}

IsoTime IsoImage::timeOf(const IsoEntry& e) const {
    if (options_.dateMode == 2) return options_.givenTime;
    if (options_.dateMode == 1 || &e == &tree_.root()) return isoTimeFromUnix(now_);
    return e.time;
}

std::vector<uint8_t> IsoImage::recordOf(const IsoEntry& e, int tree, int special) const {
    std::vector<uint8_t> id;
    const IsoEntry* target = &e;
    if (special == kSelf) {
        id = {0};
    } else if (special == kParent) {
        id = {1};
        target = e.parent;
    } else {
        id = identifierOf(e, tree, options_.noVersionSuffix);
    }
    size_t length = 33 + id.size() + (id.size() % 2 == 0 ? 1 : 0);
    if (length > kMaxRecordLength) throw EngineError::make(kErrNameTooLong);
    std::vector<uint8_t> r(length, 0);
    r[0] = static_cast<uint8_t>(length);
    int t = target->directory ? tree : kPrimaryTree;  // files share one extent
    uint32_t dataLength = target->directory ? target->sectors[t] * kIsoSectorSize : static_cast<uint32_t>(target->size);
    both32(&r[2], target->sector[t]);
    both32(&r[10], dataLength);
    IsoTime time = timeOf(*target);
    r[18] = static_cast<uint8_t>(time.year - 1900);
    r[19] = time.month;
    r[20] = time.day;
    r[21] = time.hour;
    r[22] = time.minute;
    r[23] = time.second;
    r[24] = static_cast<uint8_t>(time.offset);
    r[25] = static_cast<uint8_t>((target->hidden ? 1 : 0) | (target->directory ? 2 : 0));
    both16(&r[28], 1);
    r[32] = static_cast<uint8_t>(id.size());
    std::memcpy(&r[33], id.data(), id.size());
    return r;
}

uint32_t IsoImage::extentSectors(const IsoEntry& dir, int tree) const {
    // ISO 9660 6.8.1.1: a record never crosses a sector boundary.
    uint32_t sectors = 1;
    size_t used = 34 + 34;
    for (const IsoEntry* c : childrenOf(dir, tree)) {
        std::vector<uint8_t> id = identifierOf(*c, tree, options_.noVersionSuffix);
        size_t length = 33 + id.size() + (id.size() % 2 == 0 ? 1 : 0);
        if (length > kMaxRecordLength) throw EngineError::make(kErrNameTooLong);
        if (used + length > kIsoSectorSize) {
            ++sectors;
            used = 0;
        }
        used += length;
    }
    return sectors;
}

std::vector<uint8_t> IsoImage::directoryExtent(const IsoEntry& dir, int tree) const {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(dir.sectors[tree]) * kIsoSectorSize);
    auto put = [&out](const std::vector<uint8_t>& r) {
        size_t inSector = out.size() % kIsoSectorSize;
        if (inSector + r.size() > kIsoSectorSize) out.resize(out.size() + (kIsoSectorSize - inSector), 0);
        out.insert(out.end(), r.begin(), r.end());
    };
    put(recordOf(dir, tree, kSelf));
    put(recordOf(dir, tree, kParent));
    for (const IsoEntry* c : childrenOf(dir, tree)) put(recordOf(*c, tree, 0));
    out.resize(static_cast<size_t>(sectorsFor(out.size())) * kIsoSectorSize, 0);
    if (out.size() != static_cast<size_t>(dir.sectors[tree]) * kIsoSectorSize) throw EngineError::make(kErrBugcheck);
    return out;
}

std::vector<uint8_t> IsoImage::pathTable(int tree, bool bigEndian) const {
    std::vector<uint8_t> out;
    for (const IsoEntry* d : tree_.directoriesInOrder(tree)) {
        std::vector<uint8_t> id = d == &tree_.root() ? std::vector<uint8_t>{0} : identifierOf(*d, tree, true);
        if (id.size() + (id.size() & 1) > kMaxPathIdentifier) throw EngineError::make(kErrNameTooLong);
        size_t at = out.size();
        out.resize(at + 8 + id.size() + (id.size() & 1), 0);
        out[at] = static_cast<uint8_t>(id.size());
        uint16_t parent = d->parent->number[tree];
        if (bigEndian) {
            be32(&out[at + 2], d->sector[tree]);
            be16(&out[at + 6], parent);
        } else {
            le32(&out[at + 2], d->sector[tree]);
            le16(&out[at + 6], parent);
        }
        std::memcpy(&out[at + 8], id.data(), id.size());
    }
    return out;
}

const IsoLayout& IsoImage::layOut() {
    now_ = options_.now >= 0 ? options_.now : static_cast<int64_t>(std::time(nullptr));
    tree_.sortAndNumber();
    IsoLayout l;
    l.first = options_.firstSector;
    uint32_t next = l.first + 16;
    l.primary = next++;
    bool boot = !options_.bootImage.empty();
    if (boot) l.bootRecord = next;
    ++next;  // the boot record or a second primary descriptor
    if (options_.joliet) l.supplementary = next++;
    l.terminator = next++;

    if (boot) {
        if (options_.bootEmulation < 0 || options_.bootEmulation > 4) throw EngineError::make(kErrBugcheck);
        struct stat st{};
        if (::stat(options_.bootImage.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            throw EngineError::make(kErrBadPath, options_.bootImage.c_str());
        }
        uint64_t size = static_cast<uint64_t>(st.st_size);
        auto emulation = static_cast<BootEmulationKind>(options_.bootEmulation);
        bool ok = emulation == BootEmulationKind::Floppy12    ? size == kFloppy12
                  : emulation == BootEmulationKind::Floppy144 ? size == kFloppy144
                  : emulation == BootEmulationKind::Floppy288 ? size == kFloppy288
                                                              : size != 0 && size % kIsoSectorSize == 0 &&
                                                                    size <= kMaxIsoFileSize;
        if (!ok) throw EngineError::make(kErrBootImageLength);
        if (emulation == BootEmulationKind::HardDisk) l.bootSystemType = readBootSystemType(options_.bootImage);
        l.bootCatalog = next++;
        l.bootImage = next;
        l.bootImageSectors = sectorsFor(size);
        next += l.bootImageSectors;
    }

    int trees = options_.joliet ? 2 : 1;
    for (int t = 0; t < trees; ++t) {
        uint32_t bytes = 0;
        for (const IsoEntry* d : tree_.directoriesInOrder(t)) {
            size_t idLength = d == &tree_.root() ? 1 : identifierOf(*d, t, true).size();
            if (idLength + (idLength & 1) > kMaxPathIdentifier) throw EngineError::make(kErrNameTooLong);
            bytes += static_cast<uint32_t>(8 + idLength + (idLength & 1));
            if (bytes > kMaxPathTableBytes) throw EngineError::make(kErrTooManyDirs);
        }
        l.pathTableBytes[t] = bytes;
        l.pathTableSectors[t] = sectorsFor(bytes);
        if (l.pathTableSectors[t] * kIsoSectorSize > kMaxPathTableBytes + 1) throw EngineError::make(kErrTooManyDirs);
    }
    for (int t = 0; t < trees; ++t) {
        l.pathTableL[t] = next;
        next += l.pathTableSectors[t];
        l.pathTableM[t] = next;
        next += l.pathTableSectors[t];
    }
    for (int t = 0; t < trees; ++t) {
        for (IsoEntry* d : tree_.directoriesInOrder(t)) {
            d->sectors[t] = extentSectors(*d, t);
            d->sector[t] = next;
            next += d->sectors[t];
        }
    }
    l.filesStart = next;
    // Counted in 64 bits: many large files must not wrap the sector numbers
    // round to an image that seems to fit.
    uint64_t end = next;
    auto tooLarge = [&](uint64_t sectors) {
        return EngineError::make(kErrImageTooLarge)
            .withDetail(kErrText, ("the image needs " + std::to_string(sectors) + " sectors from sector " +
                                   std::to_string(l.first) + "; the medium holds " + std::to_string(options_.capacity))
                                      .c_str());
    };
    for (IsoEntry* f : tree_.filesInOrder()) {
        f->sectors[0] = f->sectors[1] = sectorsFor(f->size);
        f->sector[0] = f->sector[1] = f->size == 0 ? 0 : static_cast<uint32_t>(end);
        end += f->sectors[0];  // a sector past the capacity is never used: the check below throws
    }
    uint64_t used = std::max<uint64_t>(end - l.first, options_.minimumSectors);
    uint64_t track = used + (options_.runOut ? kRunOutSectors : 0);
    if (l.first + track > options_.capacity) throw tooLarge(track);
    l.end = static_cast<uint32_t>(end);
    l.volumeSpace = static_cast<uint32_t>(l.first + used);
    l.trackLength = static_cast<uint32_t>(track);
    layout_ = l;
    laidOut_ = true;
    return layout_;
}

std::vector<uint8_t> IsoImage::volumeDescriptor(int type) const {
    std::vector<uint8_t> d(kIsoSectorSize, 0);
    d[0] = static_cast<uint8_t>(type);
    std::memcpy(&d[1], "CD001", 5);
    d[6] = 1;
    if (type == 255) return d;
    if (type == 0) {
        std::memcpy(&d[7], "EL TORITO SPECIFICATION", 23);
        le32(&d[71], layout_.bootCatalog);
        return d;
    }
    bool joliet = type == 2;
    int t = joliet ? kJolietTree : kPrimaryTree;
    putText(&d[8], 32, "", joliet);
    if (joliet) {
        std::u16string label = jolietNameOf(options_.volumeLabel.empty() ? std::string("_") : options_.volumeLabel);
        putText(&d[40], 32, "", true);
        std::vector<uint8_t> bytes = ucs2(label.substr(0, 16));
        std::memcpy(&d[40], bytes.data(), bytes.size());
        std::memcpy(&d[88], kJolietEscape, 3);
    } else {
        putText(&d[40], 32, options_.volumeLabel.substr(0, 32), false);
    }
    both32(&d[80], layout_.volumeSpace);
    both16(&d[120], 1);
    both16(&d[124], 1);
    both16(&d[128], kIsoSectorSize);
    both32(&d[132], layout_.pathTableBytes[t]);
    le32(&d[140], layout_.pathTableL[t]);
    be32(&d[148], layout_.pathTableM[t]);
    std::vector<uint8_t> root = recordOf(tree_.root(), t, kSelf);
    std::memcpy(&d[156], root.data(), root.size());
    putText(&d[190], 128, "", joliet);
    putText(&d[318], 128, "", joliet);
    putText(&d[446], 128, "", joliet);
    putText(&d[574], 128, "", joliet);
    putText(&d[702], 37, "", joliet);
    putText(&d[739], 37, "", joliet);
    putText(&d[776], 37, "", joliet);
    // The 37-byte file identifier fields of the Joliet set end in a lone byte, left zero.
    IsoTime now = isoTimeFromUnix(now_);
    putLongTime(&d[813], &now);
    putLongTime(&d[830], &now);
    putLongTime(&d[847], nullptr);
    putLongTime(&d[864], nullptr);
    d[881] = 1;
    return d;
}

std::vector<uint8_t> IsoImage::bootCatalog() const {
    std::vector<uint8_t> c(kIsoSectorSize, 0);
    c[0] = 1;     // validation entry
    c[1] = 0;     // x86
    c[30] = 0x55;
    c[31] = 0xAA;
    uint32_t sum = 0;
    for (int i = 0; i < 32; i += 2) sum += c[static_cast<size_t>(i)] | (c[static_cast<size_t>(i) + 1] << 8);
    le16(&c[28], (0x10000 - (sum & 0xFFFF)) & 0xFFFF);
    uint8_t* e = &c[32];
    e[0] = 0x88;
    e[1] = static_cast<uint8_t>(options_.bootEmulation);
    bool emulated = options_.bootEmulation != 0;
    uint16_t segment = (emulated || options_.bootLoadSegment == 0x7C0) ? 0 : options_.bootLoadSegment;
    le16(&e[2], segment);
    e[4] = layout_.bootSystemType;
    le16(&e[6], emulated ? 1 : options_.bootSectorCount);
    le32(&e[8], layout_.bootImage);
    return c;
}

// Gathers whole sectors and sends as many as one transfer holds.
class IsoImage::Writer {
public:
    Writer(IsoSectorSink& sink, uint32_t transferSize, const IsoProgressEvent& progress, const std::atomic<bool>* stop)
        : sink_(sink), progress_(progress), stop_(stop) {
        if (transferSize < kIsoSectorSize) {
            throw EngineError(kErrText, "A transfer size of " + std::to_string(transferSize) +
                                            " bytes is smaller than one 2048-byte sector");
        }
        perSend_ = transferSize / kIsoSectorSize;
        buffer_.resize(static_cast<size_t>(perSend_) * kIsoSectorSize);
    }

    void bytes(const uint8_t* data, size_t size) {
        while (size > 0) {
            size_t n = std::min(size, buffer_.size() - fill_);
            std::memcpy(buffer_.data() + fill_, data, n);
            fill_ += n;
            data += n;
            size -= n;
            if (fill_ == buffer_.size()) send();
        }
    }
    void bytes(const std::vector<uint8_t>& v) { bytes(v.data(), v.size()); }
    void zeroSectors(uint64_t count) {
        static const uint8_t zero[kIsoSectorSize] = {};
        for (uint64_t i = 0; i < count; ++i) bytes(zero, sizeof zero);
    }
    // A file's contents, sector-aligned: as much as the sink copies itself,
    // the rest read in pieces; the last sector zero-filled.
    void file(const std::string& path, uint64_t size, std::vector<uint8_t>& piece) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw EngineError::make(kErrOpenFile, path.c_str());
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{fd};
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        uint64_t done = 0;
        uint64_t whole = size / kIsoSectorSize * kIsoSectorSize;
        if (whole > 0 && fill_ % kIsoSectorSize == 0) {
            flushWhole();
            while (done < whole) {
                uint64_t n = std::min<uint64_t>(whole - done, kCopyPiece);
                uint64_t copied = sink_.copyFromFile(fd, done, n);
                if (copied == 0) break;
                if (copied % kIsoSectorSize != 0 || copied > n) throw EngineError::make(kErrBugcheck);
                done += copied;
                sent(static_cast<uint32_t>(copied / kIsoSectorSize));
                if (copied < n) break;  // the rest goes the ordinary way, which tells a short file
            }
        }
        while (done < size) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, piece.size()));
            size_t got = 0;
            while (got < want) {
                ssize_t n = ::pread(fd, piece.data() + got, want - got, static_cast<off_t>(done + got));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    throw EngineError::make(kErrReadFile)
                        .withDetail(kErrText, ("\"" + path + "\" is shorter than when it was laid out").c_str());
                }
                got += static_cast<size_t>(n);
            }
            bytes(piece.data(), want);
            done += want;
        }
        padSector();
    }
    // Pads the last partial sector with zeros.
    void padSector() {
        size_t rest = fill_ % kIsoSectorSize;
        if (rest != 0) {
            std::memset(buffer_.data() + fill_, 0, kIsoSectorSize - rest);
            fill_ += kIsoSectorSize - rest;
            if (fill_ == buffer_.size()) send();
        }
        // Counted sectors include what waits in the buffer.
    }
    void flush() {
        padSector();
        if (fill_ > 0) send();
    }
    uint64_t sectorsWritten() const { return sent_ + fill_ / kIsoSectorSize; }

private:
    // What a sink copies from a file at a time, so that progress and stop stay prompt.
    static constexpr uint64_t kCopyPiece = 8u << 20;

    void send() {
        uint32_t count = static_cast<uint32_t>(fill_ / kIsoSectorSize);
        sink_.writeSectors(buffer_.data(), count);
        fill_ = 0;
        sent(count);
    }
    // Sends the whole sectors that wait, so that the sink's own copy lands after them.
    void flushWhole() {
        if (fill_ > 0) send();
    }
    void sent(uint32_t count) {
        sent_ += count;
        if (progress_) progress_(30, count, nullptr);
        if (stop_ != nullptr && stop_->load()) throw EngineError::make(kErrUserAbort);
    }

    IsoSectorSink& sink_;
    const IsoProgressEvent& progress_;
    const std::atomic<bool>* stop_;
    uint32_t perSend_ = 0;
    std::vector<uint8_t> buffer_;
    size_t fill_ = 0;
    uint64_t sent_ = 0;
};

void IsoImage::write(IsoSectorSink& sink, const IsoProgressEvent& progress, const std::atomic<bool>* stop) {
    if (!laidOut_) layOut();
    const IsoLayout& l = layout_;
    Writer w(sink, options_.transferSize, progress, stop);
    if (progress) progress(29, l.trackLength, nullptr);
    auto at = [&](uint32_t sector) {
        if (l.first + w.sectorsWritten() != sector) throw EngineError::make(kErrBugcheck);
    };
    w.zeroSectors(16);
    at(l.primary);
    std::vector<uint8_t> primary = volumeDescriptor(1);
    w.bytes(primary);
    w.bytes(l.bootRecord != 0 ? volumeDescriptor(0) : primary);
    if (options_.joliet) {
        at(l.supplementary);
        w.bytes(volumeDescriptor(2));
    }
    at(l.terminator);
    w.bytes(volumeDescriptor(255));

    uint32_t pieceSectors = std::max<uint32_t>(1, options_.readPieceSectors);
    std::vector<uint8_t> piece(static_cast<size_t>(pieceSectors) * kIsoSectorSize);
    if (l.bootRecord != 0) {
        at(l.bootCatalog);
        w.bytes(bootCatalog());
        at(l.bootImage);
        struct stat st{};
        uint64_t size = ::stat(options_.bootImage.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
        if (sectorsFor(size) != l.bootImageSectors) throw EngineError::make(kErrBootImageLength);
        w.file(options_.bootImage, size, piece);
    }

    int trees = options_.joliet ? 2 : 1;
    for (int t = 0; t < trees; ++t) {
        for (bool big : {false, true}) {
            at(big ? l.pathTableM[t] : l.pathTableL[t]);
            w.bytes(pathTable(t, big));
            w.padSector();
        }
    }
    for (int t = 0; t < trees; ++t) {
        for (const IsoEntry* d : tree_.directoriesInOrder(t)) {
            at(d->sector[t]);
            w.bytes(directoryExtent(*d, t));
        }
    }
    for (const IsoEntry* f : tree_.filesInOrder()) {
        if (f->size == 0) continue;
        at(f->sector[0]);
        if (progress) progress(35, f->sectors[0], &f->sourcePath);
        w.file(f->sourcePath, f->size, piece);
        if (progress) progress(36, f->sectors[0], &f->sourcePath);
    }
    at(l.end);
    uint64_t written = w.sectorsWritten();
    if (written < l.trackLength) w.zeroSectors(l.trackLength - written);
    w.flush();
    if (w.sectorsWritten() != l.trackLength) throw EngineError::make(kErrBugcheck);
    if (progress) progress(31, l.trackLength, nullptr);
}

}  // namespace tallory::cd::engine
