#include "cd/recording/write_speed.h"

namespace tallory::cd::recording {

namespace {

constexpr uint32_t kSpeedTable[kSpeedTableSize] = {1,  2,  4,  6,  8,  10, 12, 14, 16, 18, 20, 22,
                                                   24, 26, 28, 30, 32, 34, 36, 38, 40, 42, 52, 72};
// Sectors a minute at 1x.
constexpr uint64_t kSectorsPerMinute = 4500;
// The allowance for lead-in, lead-out and calibration, in sectors at the speed.
constexpr uint64_t kOverheadSectors = 19999;

}  // namespace

uint32_t speedFactor(int speedIndex) noexcept {
    if (speedIndex < 0 || speedIndex >= kSpeedTableSize) return 0;
    return kSpeedTable[speedIndex];
}

uint32_t estimateWriteMinutes(int speedIndex, uint32_t sectors) noexcept {
    uint64_t f = static_cast<uint64_t>(speedFactor(speedIndex)) * kSectorsPerMinute;
    if (f == 0) return 0;
    // 64-bit, so that the largest sector counts cannot wrap.
    return static_cast<uint32_t>((sectors + f + kOverheadSectors) / f);
}

}  // namespace tallory::cd::recording
