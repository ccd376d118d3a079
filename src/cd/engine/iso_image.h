// An ISO9660 image over an IsoTree: laid out first (every structure's place),
// then streamed sector by sector to a sink without ever being stored.
#ifndef TALLORY_CD_ENGINE_ISO_IMAGE_H
#define TALLORY_CD_ENGINE_ISO_IMAGE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cd/engine/iso_tree.h"

namespace tallory::cd::engine {

inline constexpr uint32_t kIsoSectorSize = 2048;
// A track-at-once data track is at least 300 sectors, and 150 run-out sectors follow.
inline constexpr uint32_t kMinimumTrackSectors = 300;
inline constexpr uint32_t kRunOutSectors = 150;
// Files are read in pieces of at most this many sectors.
inline constexpr uint32_t kFilePieceSectors = 31;
// An image file is written and read in pieces this large: fewer system calls,
// and still well inside the page cache's read-ahead.
inline constexpr uint32_t kImageFileTransferSize = 1u << 20;
// The capacity assumed when the recorder does not tell: 74 minutes.
inline constexpr uint32_t kDefaultCapacity = 333000;
// An image file holds less than 4 GiB.
inline constexpr uint32_t kImageFileCapacity = (1u << 21) - 1;  // sectors, 4 GiB less one sector
inline constexpr uint32_t kDefaultTransferSize = 65000;

// El Torito emulation types.
enum class BootEmulationKind : int { None = 0, Floppy12 = 1, Floppy144 = 2, Floppy288 = 3, HardDisk = 4 };

struct IsoImageOptions {
    std::string volumeLabel;  // at most 32 characters
    bool joliet = false;      // the UTF-16 supplementary descriptor set
    bool noVersionSuffix = false;
    int dateMode = 0;         // 0 each entry's time, 1 the current time, 2 givenTime
    IsoTime givenTime;
    int64_t now = -1;         // the current time in seconds since 1970; -1 asks the clock
    std::string bootImage;    // empty: not bootable
    int bootEmulation = 0;
    uint16_t bootLoadSegment = 0;
    uint16_t bootSectorCount = 4;  // 512-byte sectors loaded without emulation
    bool runOut = true;
    uint32_t minimumSectors = kMinimumTrackSectors;
    uint32_t firstSector = 0;  // the first writable sector of the disc
    uint32_t capacity = kDefaultCapacity;  // the disc's last writable sector + 1
    uint32_t transferSize = kDefaultTransferSize;
    // Sectors read from a file at a time; a recorder's engine keeps to 31, an image file may read more.
    uint32_t readPieceSectors = kFilePieceSectors;
};

// Where each structure lies, in sectors of the disc.
struct IsoLayout {
    uint32_t first = 0;
    uint32_t primary = 0;
    uint32_t bootRecord = 0;  // 0: none (a second primary descriptor instead)
    uint32_t supplementary = 0;
    uint32_t terminator = 0;
    uint32_t bootCatalog = 0;
    uint32_t bootImage = 0;
    uint32_t bootImageSectors = 0;
    uint8_t bootSystemType = 0;
    uint32_t pathTableL[2] = {0, 0};
    uint32_t pathTableM[2] = {0, 0};
    uint32_t pathTableBytes[2] = {0, 0};
    uint32_t pathTableSectors[2] = {0, 0};
    uint32_t filesStart = 0;
    uint32_t end = 0;           // one past the last sector of the last file
    uint32_t volumeSpace = 0;   // the descriptors' volume space size
    uint32_t trackLength = 0;   // sectors written from `first`, run-out included
};

// Receives whole sectors; throws EngineError on failure.
class IsoSectorSink {
public:
    virtual ~IsoSectorSink() = default;
    virtual void writeSectors(const uint8_t* data, uint32_t count) = 0;
    // Appends `bytes` (whole sectors) of the open file `fd` from `offset`
    // without passing them through memory, when the sink can (an image file:
    // copy_file_range). Returns the bytes appended, a multiple of 2048; the
    // writer sends the rest through writeSectors. Throws EngineError on failure.
    virtual uint64_t copyFromFile(int fd, uint64_t offset, uint64_t bytes) {
        (void)fd, (void)offset, (void)bytes;
        return 0;
    }
};

// Progress events: 29 track length, 30 sectors sent, 35 file opened and 36
// closed (path and sectors), 31 the end.
using IsoProgressEvent = std::function<void(int event, uint32_t sectors, const std::string* path)>;

class IsoImage {
public:
    IsoImage(IsoTree& tree, IsoImageOptions options);

    // Sorts the tree and places every structure. Throws EngineError: -127,
    // -149, -125, -130, -102, -128, -108.
    const IsoLayout& layOut();
    const IsoLayout& layout() const { return layout_; }
    // Streams the laid-out image. `stop` is checked after every send (-100).
    void write(IsoSectorSink& sink, const IsoProgressEvent& progress = {}, const std::atomic<bool>* stop = nullptr);

private:
    class Writer;
    std::vector<uint8_t> directoryExtent(const IsoEntry& dir, int tree) const;
    std::vector<uint8_t> pathTable(int tree, bool bigEndian) const;
    std::vector<uint8_t> volumeDescriptor(int type) const;
    std::vector<uint8_t> bootCatalog() const;
    std::vector<uint8_t> recordOf(const IsoEntry& e, int tree, int special) const;
    uint32_t extentSectors(const IsoEntry& dir, int tree) const;
    IsoTime timeOf(const IsoEntry& e) const;

    IsoTree& tree_;
    IsoImageOptions options_;
    IsoLayout layout_;
    int64_t now_ = 0;
    bool laidOut_ = false;
};

}  // namespace tallory::cd::engine

#endif
