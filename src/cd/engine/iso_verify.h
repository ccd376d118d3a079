// Reading an ISO9660 image back and checking it against the files it was made
// from. The image comes through a block reader, so that the same code checks
// an image file and a data track read back from a disc. The image is outside
// input: every field is bounds-checked before it is used.
#ifndef TALLORY_CD_ENGINE_ISO_VERIFY_H
#define TALLORY_CD_ENGINE_ISO_VERIFY_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cd/engine/iso_tree.h"

namespace tallory::cd::engine {

// Reads `count` 2048-byte sectors from sector `lba` into `out`; false on failure.
using IsoBlockReader = std::function<bool(uint32_t lba, uint32_t count, uint8_t* out)>;

// Limits on what an image may ask of the reader.
// A descriptor set has a handful of descriptors; a longer run is not a volume.
inline constexpr int kMaxVolumeDescriptors = 64;
// ISO 9660 allows 8 levels; readers accept more, but a walk must end.
inline constexpr int kMaxReadDepth = 128;
// A folder of 16000 Joliet entries of the longest names needs about 2.7 MB.
inline constexpr uint32_t kMaxDirectoryBytes = 32u << 20;
// Entries over the whole walk, so that crafted trees cannot exhaust memory.
inline constexpr size_t kMaxReadEntries = 1000000;
// Folder bytes read over the whole walk: folders that overlap cannot make a
// small image read for ever. 16000-entry folders of long names by the hundred fit.
inline constexpr uint64_t kMaxFolderBytesRead = 1ull << 30;

struct IsoReadOptions {
    uint32_t firstSector = 0;            // the track's or session's first sector; descriptors at +16
    uint32_t endSector = UINT32_MAX;     // one past the last readable sector, when known
    uint32_t sectorsPerRead = 32;        // the largest read asked of the reader
};

struct IsoFileExtent {
    uint32_t sector = 0;
    uint32_t bytes = 0;
};

// A file as one tree of the image shows it.
struct IsoImageFile {
    std::string path;  // "/DIR/NAME.EXT": version suffix and a closing dot dropped; Joliet names in UTF-8
    uint64_t size = 0;
    std::vector<IsoFileExtent> extents;  // more than one for a multi-extent file
};

struct IsoTreeListing {
    std::vector<IsoImageFile> files;
    std::vector<std::string> directories;
};

struct IsoVolumeListing {
    bool ok = false;
    std::string error;  // why the image could not be read, with the sector
    uint32_t volumeSectors = 0;
    std::string volumeLabel;
    IsoTreeListing primary;
    bool hasJoliet = false;
    IsoTreeListing joliet;
};

// Reads the descriptors and walks the primary tree and, when present, the
// Joliet tree. Never throws; a malformed image gives ok == false.
IsoVolumeListing listIsoImage(const IsoBlockReader& read, const IsoReadOptions& options = {});

// A file of the tree that an image should hold.
struct IsoExpectedFile {
    std::string primaryPath;  // as IsoImageFile::path
    std::string jolietPath;   // empty when the image has no Joliet tree
    std::string sourcePath;
};
// Every file of a laid-out or built tree, with the paths its two trees give it.
std::vector<IsoExpectedFile> expectedFilesOf(const IsoTree& tree, bool joliet);

enum class IsoDifferenceKind { Missing, Extra, Differs, Unreadable };

struct IsoDifference {
    IsoDifferenceKind kind = IsoDifferenceKind::Differs;
    std::string tree;        // "primary" or "Joliet"
    std::string imagePath;
    std::string sourcePath;  // empty for an extra file
    std::string detail;      // sizes or digests, or why it could not be read
};
// "differs from its source: /A.TXT (source /home/a.txt): 10 bytes, the source 12"
std::string describe(const IsoDifference& difference);

struct IsoVerifyResult {
    bool readable = false;  // the image's structures could be read
    bool stopped = false;
    std::string error;
    std::vector<IsoDifference> differences;
    uint32_t filesCompared = 0;  // files whose contents were compared
    bool identical() const { return readable && !stopped && differences.empty(); }
};

// Bytes of file data compared so far, of the total, and the file at hand.
using IsoVerifyProgress = std::function<void(uint64_t done, uint64_t total, const std::string& path)>;

// Compares the image with `expected`: every file is looked up in the primary
// tree and, where a Joliet path is given, in the Joliet tree; its contents are
// compared by MD5 with its source as it is now. Files the image holds beyond
// `expected` are reported as extra. `stop` is checked between reads.
IsoVerifyResult verifyIsoImage(const IsoBlockReader& read, const std::vector<IsoExpectedFile>& expected,
                               const IsoReadOptions& options = {}, const IsoVerifyProgress& progress = {},
                               const std::atomic<bool>* stop = nullptr);

}  // namespace tallory::cd::engine

#endif
