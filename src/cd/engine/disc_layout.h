// The disc that the cue sheet handling lays out and the disc-at-once writer
// writes: tracks with their data in files, gaps, and the cue points sent to
// the recorder.
#ifndef TALLORY_CD_ENGINE_DISC_LAYOUT_H
#define TALLORY_CD_ENGINE_DISC_LAYOUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "cd/engine/cd_text.h"

namespace tallory::cd::engine {

inline constexpr int kLeadOutTrack = 170;
inline constexpr int kMaxCuePoints = 1000;
// Track 1's pregap: LBA -150 to -1.
inline constexpr int32_t kFirstPregapSectors = 150;
inline constexpr uint32_t kAudioSectorSize = 2352;
// 74 minutes at 75 sectors a second.
inline constexpr uint32_t kRedBookSectors = 333000;

// File type bytes of a track list entry and of the layout.
enum class CueFileKind : uint8_t { Binary = 2, Motorola = 3, Wave = 4, Aiff = 6 };
// Track mode bytes.
enum class TrackModeKind : uint8_t { Audio = 0, Mode1 = 1, Mode2 = 2, Cdi = 3 };

#pragma pack(push, 1)
struct CuePoint {
    uint8_t zero;
    uint8_t track;  // 170 for the lead-out
    uint8_t index;
    uint8_t minutes;  // of the position + 150
    uint8_t seconds;
    uint8_t frames;
};
#pragma pack(pop)
static_assert(sizeof(CuePoint) == 6, "cue point layout");

// Sectors of a position on the disc (LBA) as the cue point's address.
CuePoint makeCuePoint(int track, int index, int32_t lba);
int32_t cuePointLba(const CuePoint& point);

// Bytes of one file that belong to a track.
struct DataSegment {
    size_t file;          // index into DiscLayout::files
    uint64_t offset = 0;  // first byte in the file
    uint64_t bytes = 0;   // bytes taken from the file
    uint32_t sectors = 0; // sectors written for them (the last one zero-filled)
};

struct LayoutFile {
    std::string path;
    CueFileKind kind = CueFileKind::Binary;
    uint64_t dataOffset = 0;  // where the samples start (past the WAVE or AIFF header)
    uint64_t dataBytes = 0;
};

struct LayoutTrack {
    int number = 0;
    TrackModeKind mode = TrackModeKind::Audio;
    uint16_t sectorSize = kAudioSectorSize;
    // The pregap's two parts: the one that keeps the previous track's mode and
    // sector size, then the one in the track's own.
    uint32_t pregapPrevious = 0;
    TrackModeKind previousMode = TrackModeKind::Audio;
    uint16_t previousSectorSize = kAudioSectorSize;
    uint32_t pregapOwn = 0;
    uint32_t postgap = 0;
    int32_t pregapStart = 0;  // LBA where the pregap begins (the index 0 point)
    int32_t start = 0;        // LBA of index 1
    std::vector<DataSegment> data;
    std::vector<CuePoint> cuePoints;  // this track's, index 0 first when there is a pregap
    bool dcp = false, fourChannel = false, preEmphasis = false, scms = false;
    std::string isrc;

    uint32_t pregapSectors() const { return pregapPrevious + pregapOwn; }
    uint32_t dataSectors() const;
    uint32_t totalSectors() const { return pregapSectors() + dataSectors() + postgap; }
    bool bigEndian(const std::vector<LayoutFile>& files) const;
};

struct DiscLayout {
    std::vector<LayoutFile> files;
    std::vector<LayoutTrack> tracks;
    std::vector<CuePoint> cuePoints;  // all of them, the lead-out last
    int32_t leadOutStart = 0;         // LBA of the lead-out: the disc's total sectors
    std::string catalog;              // 13 digits or empty
    CdTextRecord cdText;              // titles from TITLE lines

    uint32_t totalSectors() const { return static_cast<uint32_t>(leadOutStart); }
};

}  // namespace tallory::cd::engine

#endif
