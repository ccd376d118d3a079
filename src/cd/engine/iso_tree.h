// The tree of an ISO9660 image: entries with their primary (8.3) and Joliet
// names, sorted, numbered and, once laid out, placed.
#ifndef TALLORY_CD_ENGINE_ISO_TREE_H
#define TALLORY_CD_ENGINE_ISO_TREE_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace tallory::cd::engine {

// ISO 9660 9.1.5: the seven-byte recording time.
struct IsoTime {
    uint16_t year = 1980;
    uint8_t month = 1, day = 1, hour = 0, minute = 0, second = 0;
    int8_t offset = 0;  // from Greenwich, in 15-minute units
};
IsoTime isoTimeFromUnix(int64_t seconds);  // in UTC, offset 0

// The primary tree is 0, the Joliet tree 1.
inline constexpr int kPrimaryTree = 0;
inline constexpr int kJolietTree = 1;
// Sorting more entries than this in one folder fails, as the engine always did.
inline constexpr size_t kMaxSortedEntries = 16000;
// Joliet allows 64 UCS-2 characters in a name.
inline constexpr size_t kMaxJolietName = 64;
// Level 1 records sizes in 32 bits; larger files would wrap.
inline constexpr uint64_t kMaxIsoFileSize = 0xFFFFFFFFull;

struct IsoEntry {
    bool directory = false;
    std::string shortName;     // primary tree identifier, without ";1"
    std::u16string jolietName;  // Joliet identifier, without ";1"
    std::string sourcePath;    // files only
    uint64_t size = 0;
    IsoTime time;
    bool hidden = false;
    int level = 1;  // the root is 1
    IsoEntry* parent = nullptr;
    std::vector<std::unique_ptr<IsoEntry>> dirs;
    std::vector<std::unique_ptr<IsoEntry>> files;
    // The children's names as compared for clashes (upper-cased), so that a
    // large folder is built in linear time.
    std::unordered_set<std::string> takenShortNames;
    std::unordered_set<std::u16string> takenJolietNames;

    // Laid out: extent and size in sectors per tree (files share theirs), the
    // number in each tree's path table.
    uint32_t sector[2] = {0, 0};
    uint32_t sectors[2] = {0, 0};
    uint16_t number[2] = {0, 0};
};

// Name rules of the primary tree.
bool isValidShortName(const std::string& name, bool directory);
// The made 8.3 name of `name` with counter `counter` ("MYSONG~1.MP3").
std::string makeShortName(const std::string& name, int counter, bool directory);
// UTF-8 to UCS-2 with the characters Joliet forbids (controls, * / : ; ? \)
// and those beyond the BMP replaced by '_', cut to 64 characters keeping the
// extension.
std::u16string jolietNameOf(const std::string& name);

struct IsoTreeOptions {
    bool keepCase = false;  // false: primary names upper-cased
};

class IsoTree {
public:
    IsoTree();
    // Adds a file or folder (with everything in it) under `parent`, named
    // `name`. Throws EngineError: -126 for a path that does not exist, -101
    // for a file of 4 GiB or more and for what is neither file nor folder.
    IsoEntry& addPath(IsoEntry& parent, const std::string& path, const std::string& name, const IsoTreeOptions& options);
    // Adds the contents of a folder to `parent` rather than the folder itself.
    void addContents(IsoEntry& parent, const std::string& folder, const IsoTreeOptions& options);
    // Adds an entry with given values (for callers that feed files themselves).
    IsoEntry& addEntry(IsoEntry& parent, const std::string& name, bool directory, const std::string& sourcePath,
                       uint64_t size, const IsoTime& time, const IsoTreeOptions& options);

    // Sorts every list (-127 past 16000 entries) and numbers the directories
    // level by level.
    void sortAndNumber();
    // The directories in path table order (level by level) of one tree.
    std::vector<IsoEntry*> directoriesInOrder(int tree) const;
    // Files in tree order: a folder's files, then its folders'.
    std::vector<IsoEntry*> filesInOrder() const;

    IsoEntry& root() { return *root_; }
    const IsoEntry& root() const { return *root_; }
    size_t fileCount() const;

private:
    std::unique_ptr<IsoEntry> root_;
};

// The ordering of names: character by character as they are; a name at the
// position of its last dot sorts before one that is not at its own; when one
// name ends, the shorter first.
template <class String>
bool isoNameLess(const String& a, const String& b);

}  // namespace tallory::cd::engine

#endif
