// Formatting of raw 2352-byte CD-ROM sectors (ECMA-130 14 and Annex A): sync
// pattern, header with the BCD address, EDC and the P and Q parity of the
// Reed-Solomon product code. Used by the recorder side wherever a drive or
// the host has to produce a complete data sector.
#ifndef TALLORY_PLATFORM_SCSI_CD_SECTOR_H
#define TALLORY_PLATFORM_SCSI_CD_SECTOR_H

#include <cstdint>

namespace tallory::platform::scsi {

inline constexpr int kMode1UserBytes = 2048;
inline constexpr int kMode2UserBytes = 2336;

// Writes sync and header (minutes, seconds, frames of lba + 150 in BCD, then
// `mode`) into the first 16 bytes of `sector`.
void writeSectorHeader(uint8_t* sector, int32_t lba, uint8_t mode) noexcept;

// Completes a Mode 1 sector whose user data stand at bytes 16 to 2063:
// header, EDC over bytes 0 to 2063, eight zero bytes, P and Q parity.
void encodeMode1Sector(uint8_t* sector, int32_t lba) noexcept;

// A Mode 2 (formless) sector: header only; its 2336 bytes carry no EDC/ECC.
void encodeMode2Sector(uint8_t* sector, int32_t lba) noexcept;

// The EDC of ECMA-130 14.3 over `size` bytes.
uint32_t cdEdc(const uint8_t* data, int size) noexcept;

// True when a Mode 1 sector's header names `lba` and its EDC matches.
bool checkMode1Sector(const uint8_t* sector, int32_t lba) noexcept;

}  // namespace tallory::platform::scsi

#endif
