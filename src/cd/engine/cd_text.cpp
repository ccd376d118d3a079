#include "cd/engine/cd_text.h"

#include <algorithm>
#include <cstring>

#include "cd/engine/engine_error.h"

namespace tallory::cd::engine {

namespace {

constexpr uint8_t kPackTypes[] = {0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x8E};
constexpr uint8_t kSizePackType = 0x8F;
constexpr int kSizePackCount = 3;
// The character position field has four bits.
constexpr int kMaxCharacterPosition = 15;

// One byte of a type's stream: the entry it belongs to and its index in that
// entry's text (the genre code's two bytes included).
struct StreamByte {
    uint8_t value;
    uint8_t track;
    uint32_t position;
};

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool allAscii(const CdTextRecord& record) {
    for (const CdTextEntry& entry : record.entries) {
        for (const std::string& text : entry) {
            if (!isAscii(text)) return false;
        }
    }
    return isAscii(record.discId) && isAscii(record.genreText);
}

// UTF-8 to ISO 8859-1; a character beyond U+00FF or a malformed sequence is
// refused rather than written as bytes a player would show wrongly.
std::string toLatin1(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size() &&
            (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
            out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
            i += 2;
            continue;
        }
        throw EngineError::make(kErrBadCdText)
            .withDetail(kErrText, ("the text \"" + text + "\" has characters that ISO 8859-1 cannot hold").c_str());
    }
    return out;
}

std::string encode(const std::string& text, bool ascii) { return ascii ? text : toLatin1(text); }

// The byte stream of one pack type; empty when the type has no packs.
std::vector<StreamByte> typeStream(const CdTextRecord& record, uint8_t type, bool ascii) {
    std::vector<StreamByte> out;
    auto append = [&out](const std::string& text, uint8_t track, uint32_t startPosition) {
        uint32_t position = startPosition;
        for (char c : text) out.push_back({static_cast<uint8_t>(c), track, position++});
        out.push_back({0, track, position});
    };
    if (type == 0x86) {
        if (!record.discId.empty()) append(encode(record.discId, ascii), 0, 0);
        return out;
    }
    if (type == 0x87) {
        if (record.genreCode == 0) return out;
        // The code is no character: positions count the text alone.
        out.push_back({static_cast<uint8_t>(record.genreCode >> 8), 0, 0});
        out.push_back({static_cast<uint8_t>(record.genreCode & 0xFF), 0, 0});
        append(encode(record.genreText, ascii), 0, 0);
        return out;
    }
    int field = type == 0x8E ? kCdCode : type - 0x80;
    bool any = std::any_of(record.entries.begin(), record.entries.end(),
                           [field](const CdTextEntry& e) { return !e[static_cast<size_t>(field)].empty(); });
    if (!any) return out;
    for (size_t t = 0; t < record.entries.size(); ++t) {
        append(encode(record.entries[t][static_cast<size_t>(field)], ascii), static_cast<uint8_t>(t), 0);
    }
    return out;
}

void checkTrackCount(const CdTextRecord& record) {
    if (record.entries.empty() || record.trackCount() > kCdTextMaxTracks) {
        throw EngineError::make(kErrBadCdText)
            .withDetail(kErrText, ("CD-TEXT for " + std::to_string(record.trackCount()) +
                                   " tracks; a disc holds 1 to 99").c_str());
    }
}

void sealPack(CdTextPack& pack) {
    uint16_t crc = cdTextCrc(reinterpret_cast<const uint8_t*>(&pack), 16);
    pack.crc[0] = static_cast<uint8_t>(crc >> 8);
    pack.crc[1] = static_cast<uint8_t>(crc & 0xFF);
}

}  // namespace

uint16_t cdTextCrc(const uint8_t* data, size_t size) noexcept {
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
        }
    }
    return static_cast<uint16_t>(~crc);
}

uint8_t cdTextCharacterCode(const CdTextRecord& record) { return allAscii(record) ? kCdTextAscii : kCdTextLatin1; }

int countCdTextPacks(const CdTextRecord& record) {
    checkTrackCount(record);
    bool ascii = allAscii(record);
    int packs = 0;
    for (uint8_t type : kPackTypes) {
        size_t bytes = typeStream(record, type, ascii).size();
        // Each type starts a pack of its own.
        packs += static_cast<int>((bytes + 11) / 12);
    }
    if (packs == 0) return 0;
    packs += kSizePackCount;
    if (packs >= kCdTextMaxPacks) throw EngineError::make(kErrTooMuchCdText);
    return packs;
}

std::vector<CdTextPack> buildCdTextPacks(const CdTextRecord& record) {
    int expected = countCdTextPacks(record);
    std::vector<CdTextPack> packs;
    if (expected == 0) return packs;
    packs.reserve(static_cast<size_t>(expected));
    bool ascii = allAscii(record);
    uint8_t perType[16] = {};
    uint8_t sequence = 0;
    for (uint8_t type : kPackTypes) {
        std::vector<StreamByte> stream = typeStream(record, type, ascii);
        for (size_t start = 0; start < stream.size(); start += 12) {
            CdTextPack pack{};
            pack.type = type;
            pack.track = stream[start].track;
            pack.sequence = sequence++;
            pack.blockAndPosition =
                static_cast<uint8_t>(std::min<uint32_t>(stream[start].position, kMaxCharacterPosition));
            size_t end = std::min(stream.size(), start + 12);
            for (size_t i = start; i < end; ++i) pack.text[i - start] = stream[i].value;
            sealPack(pack);
            packs.push_back(pack);
            ++perType[type & 0x0F];
        }
    }
    perType[kSizePackType & 0x0F] = kSizePackCount;
    uint8_t lastSequence = static_cast<uint8_t>(expected - 1);

    CdTextPack size[kSizePackCount]{};
    for (int i = 0; i < kSizePackCount; ++i) {
        size[i].type = kSizePackType;
        size[i].track = static_cast<uint8_t>(i);
        size[i].sequence = sequence++;
    }
    size[0].text[0] = ascii ? kCdTextAscii : kCdTextLatin1;
    size[0].text[1] = 1;
    size[0].text[2] = static_cast<uint8_t>(record.trackCount());
    size[0].text[3] = 0;  // copyright flags
    std::memcpy(size[0].text + 4, perType, 8);
    std::memcpy(size[1].text, perType + 8, 8);
    size[1].text[8] = lastSequence;
    size[2].text[4] = kCdTextLanguageEnglish;  // after the last sequence numbers of blocks 4 to 7
    for (CdTextPack& pack : size) {
        sealPack(pack);
        packs.push_back(pack);
    }
    if (static_cast<int>(packs.size()) != expected) throw EngineError::make(kErrBugcheck);
    return packs;
}

void spreadCdTextToSubcode(const CdTextPack* packs, size_t count, uint8_t* out) noexcept {
    const uint8_t* in = reinterpret_cast<const uint8_t*>(packs);
    for (size_t i = 0; i < count * kCdTextPackSize; i += 3) {
        uint8_t a = in[i], b = in[i + 1], c = in[i + 2];
        *out++ = static_cast<uint8_t>(a >> 2);
        *out++ = static_cast<uint8_t>(((a & 0x03) << 4) | (b >> 4));
        *out++ = static_cast<uint8_t>(((b & 0x0F) << 2) | (c >> 6));
        *out++ = static_cast<uint8_t>(c & 0x3F);
    }
}

}  // namespace tallory::cd::engine
