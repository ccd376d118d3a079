// CD-TEXT: the record of a disc's and its tracks' texts and the 18-byte packs
// that a recorder writes into the lead-in (block 0, one language).
#ifndef TALLORY_CD_ENGINE_CD_TEXT_H
#define TALLORY_CD_ENGINE_CD_TEXT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tallory::cd::engine {

// The seven texts every entry holds, in pack type order (0x80 to 0x85, 0x8E).
enum CdTextFieldKind : int { kCdTitle, kCdPerformer, kCdSongwriter, kCdComposer, kCdArranger, kCdMessage, kCdCode };
inline constexpr int kCdTextFieldCount = 7;
inline constexpr int kCdTextMaxTracks = 99;
// The pack's sequence number is one byte, so block 0 holds at most 256 packs.
inline constexpr int kCdTextMaxPacks = 256;
inline constexpr size_t kCdTextPackSize = 18;
inline constexpr size_t kCdTextSubcodeSize = 24;

// Character codes of the first size pack.
inline constexpr uint8_t kCdTextLatin1 = 0x00;
inline constexpr uint8_t kCdTextAscii = 0x01;
// Language code of block 0: English.
inline constexpr uint8_t kCdTextLanguageEnglish = 0x09;

using CdTextEntry = std::array<std::string, kCdTextFieldCount>;

// Texts are UTF-8; an empty text is an absent one.
struct CdTextRecord {
    // entries[0] is the disc (its code is the UPC/EAN), entries[t] track t
    // (its code is the ISRC).
    std::vector<CdTextEntry> entries{1};
    std::string discId;     // pack type 0x86
    uint16_t genreCode = 0; // pack type 0x87, only when non-zero
    std::string genreText;
    // Carried from the recording request; the packs do not depend on them.
    uint32_t reserved1 = 0;
    uint32_t reserved2 = 0;

    int trackCount() const { return static_cast<int>(entries.size()) - 1; }
    void setTrackCount(int tracks) { entries.resize(static_cast<size_t>(tracks) + 1); }
};

#pragma pack(push, 1)
struct CdTextPack {
    uint8_t type;
    uint8_t track;
    uint8_t sequence;
    uint8_t blockAndPosition;
    uint8_t text[12];
    uint8_t crc[2];  // high byte first
};
#pragma pack(pop)
static_assert(sizeof(CdTextPack) == kCdTextPackSize, "CD-TEXT pack layout");

// CRC-16 (x^16 + x^12 + x^5 + 1, initial 0) of `size` bytes, inverted.
uint16_t cdTextCrc(const uint8_t* data, size_t size) noexcept;

// The number of packs buildCdTextPacks gives, size packs included; 0 when no
// text is set. Throws EngineError -314 from 256 packs on, and -315 for a
// text that ISO 8859-1 cannot hold.
int countCdTextPacks(const CdTextRecord& record);

// The packs of block 0, type by type, then three size packs. Texts of 7-bit
// ASCII only are written under character code 01h; otherwise every text is
// written in ISO 8859-1 under code 00h. Throws EngineError as countCdTextPacks.
std::vector<CdTextPack> buildCdTextPacks(const CdTextRecord& record);

// The character code buildCdTextPacks chooses for the record.
uint8_t cdTextCharacterCode(const CdTextRecord& record);

// Spreads packs into R-W subcode: every 3 bytes become 4 six-bit symbols, high
// bits first, each in a byte of its own. `out` holds 24 bytes per pack.
void spreadCdTextToSubcode(const CdTextPack* packs, size_t count, uint8_t* out) noexcept;

}  // namespace tallory::cd::engine

#endif
