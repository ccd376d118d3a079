// What a drive makes of the CD-TEXT it is given: the 18-byte packs gathered
// back from the R-W subcode written into the lead-in, and their texts
// decoded (block 0; the pack layout of the CD-TEXT format of audio CDs).
#ifndef TALLORY_PLATFORM_SCSI_CD_TEXT_PACKS_H
#define TALLORY_PLATFORM_SCSI_CD_TEXT_PACKS_H

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tallory::platform::scsi {

inline constexpr std::size_t kPackBytes = 18;
inline constexpr std::size_t kPackSubcodeBytes = 24;  // 18 bytes as 6-bit symbols
// One lead-in sector carries 96 bytes of R-W subcode: four packs.
inline constexpr std::size_t kLeadInSubcodeBytes = 96;
// A block holds at most 256 packs (one-byte sequence numbers).
inline constexpr std::size_t kMaxTextPacks = 256;

// Texts by pack type 0x80 title ... 0x85 message, then 0x8E (UPC/EAN or ISRC).
inline constexpr int kTextFields = 7;
using TextFields = std::array<std::string, kTextFields>;

struct DecodedCdText {
    std::vector<TextFields> entries;  // [0] the disc, [t] track t
    std::string discId;               // 0x86
    uint16_t genreCode = 0;           // 0x87
    std::string genreText;
    uint8_t characterCode = 0;        // size pack: 00h ISO 8859-1, 01h ASCII
    bool empty() const { return entries.empty(); }
};

// Packs from lead-in subcode (a multiple of 24 bytes, each symbol in the low
// six bits of a byte). The lead-in repeats the packs: the result is one copy
// in sequence order, those with a wrong CRC left out; empty when no complete
// block 0 (sequence 0 up to the size packs' last sequence number) is there.
std::vector<uint8_t> gatherCdTextPacks(std::span<const uint8_t> subcode);

// Texts of block 0 (UTF-8; ISO 8859-1 texts converted). Packs with a wrong
// CRC are skipped; at most 99 tracks.
DecodedCdText decodeCdTextPacks(std::span<const uint8_t> packs);

// CRC-16 of a pack's first 16 bytes as stored (x^16 + x^12 + x^5 + 1, inverted).
uint16_t packCrc(const uint8_t* pack) noexcept;

}  // namespace tallory::platform::scsi

#endif
