// Recording speeds: the speed table that drives' speed indexes point into, and
// the estimate of a write's length.
#ifndef TALLORY_CD_RECORDING_WRITE_SPEED_H
#define TALLORY_CD_RECORDING_WRITE_SPEED_H

#include <cstdint>

namespace tallory::cd::recording {

inline constexpr int kSpeedTableSize = 24;

// The speed factor (1x = 75 sectors a second) of a speed index; 0 outside the table.
uint32_t speedFactor(int speedIndex) noexcept;

// Minutes a write of `sectors` takes at the speed index, rounded up with the
// lead-in and lead-out allowed for; 0 for an index outside the table.
uint32_t estimateWriteMinutes(int speedIndex, uint32_t sectors) noexcept;

}  // namespace tallory::cd::recording

#endif
