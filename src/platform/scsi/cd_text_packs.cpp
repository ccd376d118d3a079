#include "platform/scsi/cd_text_packs.h"

#include <algorithm>
#include <map>

namespace tallory::platform::scsi {

namespace {

constexpr int kMaxTracks = 99;

bool crcOk(const uint8_t* p) { return packCrc(p) == uint16_t((p[16] << 8) | p[17]); }

std::string latin1ToUtf8(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

uint16_t packCrc(const uint8_t* pack) noexcept {
    uint16_t crc = 0;
    for (int i = 0; i < 16; ++i) {
        crc ^= uint16_t(pack[i] << 8);
        for (int b = 0; b < 8; ++b) crc = uint16_t((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return uint16_t(~crc);
}

std::vector<uint8_t> gatherCdTextPacks(std::span<const uint8_t> subcode) {
    std::map<int, std::array<uint8_t, kPackBytes>> bySequence;
    int last = -1;  // the last sequence number of block 0, from the second size pack
    for (std::size_t at = 0; at + kPackSubcodeBytes <= subcode.size(); at += kPackSubcodeBytes) {
        std::array<uint8_t, kPackBytes> p{};
        const uint8_t* s = subcode.data() + at;
        for (std::size_t i = 0, o = 0; i < kPackSubcodeBytes; i += 4, o += 3) {
            const uint8_t a = s[i] & 0x3F, b = s[i + 1] & 0x3F, c = s[i + 2] & 0x3F, d = s[i + 3] & 0x3F;
            p[o] = uint8_t((a << 2) | (b >> 4));
            p[o + 1] = uint8_t((b << 4) | (c >> 2));
            p[o + 2] = uint8_t((c << 6) | d);
        }
        if (p[0] < 0x80 || p[0] > 0x8F || (p[3] & 0x70) != 0 || !crcOk(p.data())) continue;
        bySequence.emplace(p[2], p);
        if (p[0] == 0x8F && p[1] == 1) last = p[4 + 8];  // second size pack, byte 8 of its text
    }
    std::vector<uint8_t> out;
    if (last < 0) return out;
    for (int seq = 0; seq <= last; ++seq) {
        auto it = bySequence.find(seq);
        if (it == bySequence.end()) return {};
        out.insert(out.end(), it->second.begin(), it->second.end());
    }
    return out;
}

DecodedCdText decodeCdTextPacks(std::span<const uint8_t> packs) {
    DecodedCdText d;
    // Texts of each type, entry by entry: the bytes of a type run on across
    // packs, each text ending in a zero byte.
    std::map<uint8_t, std::vector<std::pair<int, std::vector<uint8_t>>>> runs;  // type -> (first track, bytes)
    int lastTrack = kMaxTracks;
    for (std::size_t at = 0; at + kPackBytes <= packs.size(); at += kPackBytes) {
        const uint8_t* p = packs.data() + at;
        if (p[0] == 0x8F && p[1] == 0 && crcOk(p) && (p[3] & 0x70) == 0) {
            d.characterCode = p[4];
            lastTrack = std::min<int>(p[6], kMaxTracks);
        }
    }
    for (std::size_t at = 0; at + kPackBytes <= packs.size(); at += kPackBytes) {
        const uint8_t* p = packs.data() + at;
        if (!crcOk(p) || (p[3] & 0x70) != 0) continue;  // block 0 only
        const uint8_t type = p[0];
        if (type == 0x8F) continue;
        if (type < 0x80 || type > 0x8E) continue;
        auto& r = runs[type];
        if (r.empty()) r.push_back({p[1], {}});
        r.back().second.insert(r.back().second.end(), p + 4, p + 16);
    }
    auto convert = [&](const std::string& s) { return d.characterCode == 0x00 ? latin1ToUtf8(s) : s; };
    auto field = [](uint8_t type) -> int {
        if (type >= 0x80 && type <= 0x85) return type - 0x80;
        return type == 0x8E ? 6 : -1;
    };
    for (auto& [type, list] : runs) {
        const std::vector<uint8_t>& bytes = list.front().second;
        int entry = list.front().first;
        if (type == 0x86) {
            d.discId = convert(std::string(bytes.begin(), std::find(bytes.begin(), bytes.end(), 0)));
            continue;
        }
        if (type == 0x87) {
            if (bytes.size() >= 2) {
                d.genreCode = uint16_t((bytes[0] << 8) | bytes[1]);
                d.genreText = convert(std::string(bytes.begin() + 2, std::find(bytes.begin() + 2, bytes.end(), 0)));
            }
            continue;
        }
        const int f = field(type);
        if (f < 0) continue;
        // A text of a single tab means "same as the previous entry".
        std::string previous;
        for (std::size_t i = 0; i < bytes.size() && entry <= lastTrack;) {
            auto end = std::find(bytes.begin() + std::ptrdiff_t(i), bytes.end(), 0);
            if (end == bytes.end()) break;  // the padding of the last pack
            std::string text(bytes.begin() + std::ptrdiff_t(i), end);
            if (text == "\t") text = previous;
            if (d.entries.size() <= std::size_t(entry)) d.entries.resize(std::size_t(entry) + 1);
            d.entries[std::size_t(entry)][std::size_t(f)] = convert(text);
            previous = text;
            i = std::size_t(end - bytes.begin()) + 1;
            ++entry;
        }
    }
    return d;
}

}  // namespace tallory::platform::scsi
