// What is on a disc, for the simulated drive: sessions, tracks and the bytes
// of every sector. Loaded from a cue/bin image (cue_image.h) or built by a
// caller (an empty recordable disc that a simulated recorder writes).
#ifndef TALLORY_PLATFORM_SCSI_DISC_MODEL_H
#define TALLORY_PLATFORM_SCSI_DISC_MODEL_H

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tallory::platform::scsi {

inline constexpr int kRawSectorBytes = 2352;       // ECMA-130: one CD frame of user data
inline constexpr int kSamplesPerSector = 588;      // stereo 16-bit samples in one audio sector
inline constexpr int kSectorsPerSecond = 75;
inline constexpr int kLbaOffset = 150;             // MSF 00:02:00 is LBA 0
// Between the lead-out start of one session and the first track of the next:
// lead-out 6750 + lead-in 4500 + pregap 150 sectors (the Blue Book layout).
inline constexpr int kSessionGapSectors = 11400;

// Bytes behind a disc: an image file, memory, or whatever a recorder writes to.
class SectorStore {
public:
    virtual ~SectorStore() = default;
    // Reads out.size() bytes at byteOffset; bytes past the end read as zero.
    // False on an I/O error.
    virtual bool read(int64_t byteOffset, std::span<uint8_t> out) = 0;
    // False when the store is read-only or the write failed.
    virtual bool write(int64_t byteOffset, std::span<const uint8_t> in) = 0;
    virtual int64_t size() const = 0;
};

// A file read with pread (and written with pwrite when opened writable).
class FileSectorStore final : public SectorStore {
public:
    // Null with `error` set when the file cannot be opened.
    static std::shared_ptr<FileSectorStore> open(const std::string& path, bool writable, std::string* error);
    ~FileSectorStore() override;
    bool read(int64_t byteOffset, std::span<uint8_t> out) override;
    bool write(int64_t byteOffset, std::span<const uint8_t> in) override;
    int64_t size() const override;

private:
    FileSectorStore(int fd, bool writable) : fd_(fd), writable_(writable) {}
    int fd_;
    bool writable_;
};

// Growable bytes in memory.
class MemorySectorStore final : public SectorStore {
public:
    explicit MemorySectorStore(std::vector<uint8_t> bytes = {}) : bytes_(std::move(bytes)) {}
    bool read(int64_t byteOffset, std::span<uint8_t> out) override;
    bool write(int64_t byteOffset, std::span<const uint8_t> in) override;
    int64_t size() const override { return int64_t(bytes_.size()); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

enum class TrackModeKind : uint8_t {
    Audio,       // 2352 bytes of 16-bit little-endian stereo samples
    Mode1Cooked, // 2048 bytes of user data in the file
    Mode1Raw,    // 2352 bytes: sync, header, data, EDC/ECC
    Mode2Raw,    // 2352 bytes
};

// Bytes of one sector of `mode` in an image file.
int fileSectorBytes(TrackModeKind mode);

struct DiscTrack {
    int number = 1;                  // 1..99
    int session = 1;
    TrackModeKind mode = TrackModeKind::Audio;
    int32_t startLba = 0;            // INDEX 01
    int32_t pregapLba = -1;          // INDEX 00 when the image has one, else -1
    int32_t lengthSectors = 0;       // from startLba to the next track's pregap / the session's lead-out
    int32_t silentPregapSectors = 0; // PREGAP: sectors before pregapLba/startLba not in the file
    bool preemphasis = false;
    bool copyPermitted = false;
    std::string isrc;
    std::string title;               // CD-TEXT / cue TITLE
    std::string performer;
    // Where this track's sectors live: store, byte offset of the first sector
    // that the file holds (pregapLba if set, else startLba).
    std::shared_ptr<SectorStore> store;
    int64_t storeOffset = 0;
    bool audio() const { return mode == TrackModeKind::Audio; }
    // Q sub-channel control nibble: 4 data, 2 copy permitted, 1 pre-emphasis.
    uint8_t control() const;
    int32_t fileFirstLba() const { return pregapLba >= 0 ? pregapLba : startLba; }
};

struct DiscSession {
    int number = 1;
    int firstTrack = 1;
    int lastTrack = 1;
    int32_t leadOutLba = 0;
};

class DiscModel {
public:
    // Tracks in order; sessions in order; both checked by validate().
    std::vector<DiscTrack> tracks;
    std::vector<DiscSession> sessions;
    std::string catalog;   // MCN, 13 digits or empty
    std::string title;     // disc CD-TEXT title / cue TITLE
    std::string performer;
    // CD-TEXT of the lead-in as READ TOC format 5 returns it: 18-byte packs
    // of block 0 in sequence order (empty: none).
    std::vector<uint8_t> cdTextPacks;
    bool recordable = false;        // CD-R medium (profile 0009h) rather than pressed
    int32_t capacitySectors = 0;    // recordable: the ATIP lead-out start; else 0

    bool blank() const { return tracks.empty(); }
    int firstTrack() const { return tracks.empty() ? 0 : tracks.front().number; }
    int lastTrack() const { return tracks.empty() ? 0 : tracks.back().number; }
    // The lead-out of the last session (what READ TOC format 0 reports as AAh).
    int32_t leadOutLba() const { return sessions.empty() ? 0 : sessions.back().leadOutLba; }
    // The track holding lba (pregap included), or null (gaps between sessions, outside the disc).
    const DiscTrack* trackAt(int32_t lba) const;
    const DiscTrack* track(int number) const;
    // Fills one raw 2352-byte sector: file bytes, silence for a PREGAP; a
    // Mode1Cooked sector gets its sync and header around the 2048 bytes.
    // False for an LBA no track holds or a store read error.
    bool readRawSector(int32_t lba, uint8_t* out) const;
    // Audio as a byte stream: the bytes from byte position `bytePos` (which may
    // be negative or past the end: silence there), as a drive reading audio a
    // few samples off position delivers them.
    bool readAudioBytes(int64_t bytePos, std::span<uint8_t> out) const;
    // Structural checks: 1 <= first <= last <= 99, numbers consecutive, starts
    // increasing, sessions covering the tracks. Empty string when sound.
    std::string validate() const;
};

// MSF of lba + 150 as minutes, seconds, frames.
struct Msf {
    int minutes;
    int seconds;
    int frames;
};
Msf lbaToMsf(int32_t lba);

}  // namespace tallory::platform::scsi

#endif
