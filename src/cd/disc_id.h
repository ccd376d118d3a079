// Identifiers computed from a table of contents: the freedb disc id, the
// disc serial of the ".cda" records, the AccurateRip disc ids, and the
// AccurateRip v1/v2 checksums of a track's samples.
#ifndef TALLORY_CD_DISC_ID_H
#define TALLORY_CD_DISC_ID_H

#include <cstdint>
#include <vector>

namespace tallory::cd {

struct TocTrack {
    int number = 0;
    int32_t lba = 0;
    bool audio = true;
};

// The freedb algorithm: digit sums of the start seconds (LBA + 150, seconds
// truncated) of every track, mod 255; the lead-out's and first track's
// seconds truncated before they are subtracted; the track count. The
// lead-out is not an entry.
uint32_t freedbDiscId(const std::vector<TocTrack>& tracks, int32_t leadOut);
// minutes << 16 | seconds << 8 | frames of a sector count.
uint32_t packedMsf(uint32_t sectors);
// Sum over the audio tracks of the packed start (LBA + 150).
uint32_t discSerial(const std::vector<TocTrack>& tracks);

struct AccurateRipIds {
    uint32_t id1 = 0;
    uint32_t id2 = 0;
    uint32_t freedb = 0;
    int audioTracks = 0;
};
// Offsets of the audio tracks and the disc's true lead-out (an enhanced
// CD's data track counts in the freedb id only).
AccurateRipIds accurateRipIds(const std::vector<TocTrack>& tracks, int32_t leadOut);

// The track checksums over stereo samples as they arrive; the first track
// skips its first 2939 samples, the last its last 2940.
class AccurateRipChecksum {
public:
    AccurateRipChecksum(uint32_t totalSamples, bool firstTrack, bool lastTrack);
    void add(const uint8_t* pcm, std::size_t bytes);
    uint32_t v1() const { return v1_; }
    uint32_t v2() const { return v2_; }
    uint32_t samples() const { return position_; }

private:
    uint32_t from_;
    uint32_t to_;
    uint32_t position_ = 0;  // samples seen
    uint32_t v1_ = 0;
    uint32_t v2_ = 0;
    uint8_t partial_[4] = {};
    std::size_t partialBytes_ = 0;
};

}  // namespace tallory::cd

#endif
