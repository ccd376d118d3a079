// CD-TEXT packs against an independent encoder (libburn) and decoder (libcdio).
#include <gtest/gtest.h>

#include <cdio/cdtext.h>
#include <libburn/libburn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cd/engine/cd_text.h"
#include "cd/engine/engine_error.h"

using namespace tallory::cd::engine;
using namespace std::string_literals;
using namespace burn;

namespace {

constexpr int kPackTypeOfField[kCdTextFieldCount] = {0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x8E};

// The bytes libburn produces for the same texts, given `charCode`. Texts are
// handed over already encoded (ISO 8859-1 where charCode is 0).
std::vector<uint8_t> libburnPacks(const std::vector<std::array<std::string, kCdTextFieldCount>>& encoded,
                                  int charCode, const std::string& discId = {}, int genre = 0,
                                  const std::string& genreText = {}) {
    burn_session* session = burn_session_create();
    int codes[8] = {charCode, 0, 0, 0, 0, 0, 0, 0};
    int copyrights[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int languages[8] = {kCdTextLanguageEnglish, 0, 0, 0, 0, 0, 0, 0};
    burn_session_set_cdtext_par(session, codes, copyrights, languages, 0);
    std::vector<burn_track*> tracks;
    for (size_t t = 1; t < encoded.size(); ++t) {
        burn_track* track = burn_track_create();
        burn_session_add_track(session, track, BURN_POS_END);
        tracks.push_back(track);
    }
    for (size_t t = 0; t < encoded.size(); ++t) {
        for (int f = 0; f < kCdTextFieldCount; ++f) {
            const std::string& text = encoded[t][static_cast<size_t>(f)];
            // libburn writes a type only when the disc has it: give the disc
            // an empty text of every type some track uses.
            bool used = std::any_of(encoded.begin(), encoded.end(),
                                    [f](const auto& e) { return !e[static_cast<size_t>(f)].empty(); });
            if (text.empty() && !(t == 0 && used)) continue;
            std::vector<unsigned char> payload(text.begin(), text.end());
            payload.push_back(0);
            if (t == 0) {
                burn_session_set_cdtext(session, 0, kPackTypeOfField[f], nullptr, payload.data(),
                                        static_cast<int>(payload.size()), 0);
            } else {
                burn_track_set_cdtext(tracks[t - 1], 0, kPackTypeOfField[f], nullptr, payload.data(),
                                      static_cast<int>(payload.size()), 0);
            }
        }
    }
    if (!discId.empty()) {
        std::vector<unsigned char> payload(discId.begin(), discId.end());
        payload.push_back(0);
        burn_session_set_cdtext(session, 0, 0x86, nullptr, payload.data(), static_cast<int>(payload.size()), 0);
    }
    if (genre != 0) {
        std::vector<unsigned char> payload{static_cast<unsigned char>(genre >> 8),
                                           static_cast<unsigned char>(genre & 0xFF)};
        payload.insert(payload.end(), genreText.begin(), genreText.end());
        payload.push_back(0);
        burn_session_set_cdtext(session, 0, 0x87, nullptr, payload.data(), static_cast<int>(payload.size()), 0);
    }
    unsigned char* packs = nullptr;
    int count = 0;
    int ok = burn_cdtext_from_session(session, &packs, &count, 0);
    std::vector<uint8_t> out;
    if (ok > 0 && packs != nullptr) out.assign(packs, packs + count * 18);
    std::free(packs);
    for (burn_track* t : tracks) burn_track_free(t);
    burn_session_free(session);
    return out;
}

std::vector<uint8_t> bytesOf(const std::vector<CdTextPack>& packs) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(packs.data());
    return std::vector<uint8_t>(p, p + packs.size() * sizeof(CdTextPack));
}

// Compares pack by pack, naming the first pack and byte that differ.
::testing::AssertionResult samePacks(const std::vector<uint8_t>& ours, const std::vector<uint8_t>& theirs) {
    if (ours == theirs) return ::testing::AssertionSuccess();
    auto hex = [](const std::vector<uint8_t>& v, size_t pack) {
        std::string out;
        char b[4];
        for (size_t i = pack * 18; i < std::min(v.size(), pack * 18 + 18); ++i) {
            std::snprintf(b, sizeof b, "%02X ", v[i]);
            out += b;
        }
        return out;
    };
    size_t i = 0;
    while (i < ours.size() && i < theirs.size() && ours[i] == theirs[i]) ++i;
    return ::testing::AssertionFailure() << "sizes " << ours.size() / 18 << " and " << theirs.size() / 18
                                         << " packs; first difference in pack " << i / 18 << " byte " << i % 18
                                         << "\n ours:   " << hex(ours, i / 18) << "\n theirs: " << hex(theirs, i / 18);
}

CdTextRecord sampleRecord() {
    CdTextRecord r;
    r.setTrackCount(4);
    r.entries[0][kCdTitle] = "Songs for a Long Evening";
    r.entries[0][kCdPerformer] = "The Quartet";
    r.entries[1][kCdTitle] = "Intro";
    r.entries[2][kCdTitle] = "A title of exactly twenty";  // crosses pack borders mid-text
    r.entries[3][kCdTitle] = "ABCDEFGHIJK";                // its terminator ends a pack
    r.entries[4][kCdTitle] = "Coda";
    r.entries[2][kCdPerformer] = "Guest Singer";
    r.entries[1][kCdCode] = "USABC0400001";
    r.entries[4][kCdMessage] = "Recorded live";
    return r;
}

std::vector<std::array<std::string, kCdTextFieldCount>> entriesOf(const CdTextRecord& r) {
    return {r.entries.begin(), r.entries.end()};
}

struct CdioText {
    cdtext_t* text = cdtext_init();
    ~CdioText() { cdtext_destroy(text); }
    int parse(std::vector<uint8_t> bytes) { return cdtext_data_init(text, bytes.data(), bytes.size()); }
    std::string get(cdtext_field_t field, track_t track) const {
        const char* v = cdtext_get_const(text, field, track);
        return v ? v : "";
    }
};

TEST(CdTextPacks, IdenticalToLibburnForAsciiTexts) {
    CdTextRecord r = sampleRecord();
    std::vector<CdTextPack> ours = buildCdTextPacks(r);
    std::vector<uint8_t> theirs = libburnPacks(entriesOf(r), kCdTextAscii);
    ASSERT_FALSE(theirs.empty());
    EXPECT_TRUE(samePacks(bytesOf(ours), theirs));
    EXPECT_EQ(static_cast<int>(ours.size()), countCdTextPacks(r));
}

TEST(CdTextPacks, GenreAndDiscIdIdenticalToLibburn) {
    CdTextRecord r;
    r.setTrackCount(2);
    r.entries[0][kCdTitle] = "Disc";
    r.discId = "XY-12345";
    r.genreCode = 0x0E;  // jazz
    r.genreText = "Late night jazz";
    std::vector<uint8_t> theirs = libburnPacks(entriesOf(r), kCdTextAscii, r.discId, r.genreCode, r.genreText);
    EXPECT_TRUE(samePacks(bytesOf(buildCdTextPacks(r)), theirs));

    // A genre code of 0 writes no genre pack, whatever the text.
    r.genreCode = 0;
    std::vector<CdTextPack> packs = buildCdTextPacks(r);
    for (const CdTextPack& p : packs) EXPECT_NE(p.type, 0x87);
    EXPECT_EQ(packs.back().type, 0x8F);
}

TEST(CdTextPacks, LatinTextIsWrittenAsIso88591UnderCodeZero) {
    CdTextRecord r;
    r.setTrackCount(2);
    r.entries[0][kCdTitle] = "Caf\xC3\xA9 M\xC3\xBCller";  // UTF-8 "Café Müller"
    r.entries[1][kCdTitle] = "\xC3\x80 la claire fontaine";
    r.entries[2][kCdTitle] = "Plain";
    EXPECT_EQ(cdTextCharacterCode(r), kCdTextLatin1);
    std::vector<std::array<std::string, kCdTextFieldCount>> latin = entriesOf(r);
    latin[0][kCdTitle] = "Caf\xE9 M\xFCller";
    latin[1][kCdTitle] = "\xC0 la claire fontaine";
    std::vector<CdTextPack> ours = buildCdTextPacks(r);
    EXPECT_TRUE(samePacks(bytesOf(ours), libburnPacks(latin, kCdTextLatin1)));

    // libcdio decodes ISO 8859-1 back to the same UTF-8 texts.
    CdioText cdio;
    ASSERT_EQ(cdio.parse(bytesOf(ours)), 0);
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_TITLE, 0), r.entries[0][kCdTitle]);
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_TITLE, 1), r.entries[1][kCdTitle]);
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_TITLE, 2), "Plain");
}

TEST(CdTextPacks, TextsBeyondLatin1AreRefused) {
    CdTextRecord r;
    r.setTrackCount(1);
    r.entries[1][kCdTitle] = "\xE6\x97\xA5\xE6\x9C\xAC";  // Japanese
    try {
        (void)buildCdTextPacks(r);
        FAIL() << "no error";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrBadCdText);
        EXPECT_NE(e.detailText().find("ISO 8859-1"), std::string::npos);
    }
    r.entries[1][kCdTitle] = "bad \xC3";  // cut UTF-8 sequence
    EXPECT_THROW((void)buildCdTextPacks(r), EngineError);
}

TEST(CdTextPacks, LibcdioReadsEveryTextBack) {
    CdTextRecord r = sampleRecord();
    r.entries[3][kCdTitle] = "Say \"hello\" twice";  // double quotes stay intact
    CdioText cdio;
    ASSERT_EQ(cdio.parse(bytesOf(buildCdTextPacks(r))), 0);
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_TITLE, 0), "Songs for a Long Evening");
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_PERFORMER, 0), "The Quartet");
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_TITLE, 2), "A title of exactly twenty");
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_TITLE, 3), "Say \"hello\" twice");
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_PERFORMER, 2), "Guest Singer");
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_ISRC, 1), "USABC0400001");
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_MESSAGE, 4), "Recorded live");
    EXPECT_EQ(cdio.get(CDTEXT_FIELD_TITLE, 4), "Coda");
    EXPECT_EQ(cdtext_get_first_track(cdio.text), 1);
    EXPECT_EQ(cdtext_get_last_track(cdio.text), 4);
}

TEST(CdTextPacks, CountsEachTypeFromAPackOfItsOwn) {
    // Title of three characters on a 10-track disc: 4 + 10 text bytes, 2 packs.
    CdTextRecord r;
    r.setTrackCount(10);
    r.entries[0][kCdTitle] = "Abc";
    std::vector<CdTextPack> packs = buildCdTextPacks(r);
    ASSERT_EQ(packs.size(), 5u);
    EXPECT_EQ(packs[0].type, 0x80);
    EXPECT_EQ(packs[1].type, 0x80);
    EXPECT_EQ(packs[2].type, 0x8F);
    EXPECT_EQ(packs[2].text[4], 2);  // packs of type 0x80
    EXPECT_EQ(packs[3].text[7], 3);  // size packs
    EXPECT_EQ(packs[3].text[8], 4);  // last sequence number

    // Two types of 13 bytes each need two packs apiece, not ceil(26 / 12) = 3 together.
    CdTextRecord two;
    two.setTrackCount(1);
    two.entries[0][kCdTitle] = "ABCDEF";
    two.entries[1][kCdTitle] = "12345";
    two.entries[0][kCdPerformer] = "abcdef";
    two.entries[1][kCdPerformer] = "67890";
    EXPECT_EQ(countCdTextPacks(two), 2 + 2 + 3);
    EXPECT_TRUE(samePacks(bytesOf(buildCdTextPacks(two)), libburnPacks(entriesOf(two), kCdTextAscii)));

    // Nothing to say: no packs at all.
    CdTextRecord none;
    none.setTrackCount(3);
    EXPECT_EQ(countCdTextPacks(none), 0);
    EXPECT_TRUE(buildCdTextPacks(none).empty());
}

TEST(CdTextPacks, CharacterPositionCountsEarlierCharacters) {
    CdTextRecord r;
    r.setTrackCount(1);
    r.entries[0][kCdTitle] = "Disc";                    // 5 bytes
    r.entries[1][kCdTitle] = "Twenty characters...";    // starts at byte 5 of pack 0
    ASSERT_EQ(r.entries[1][kCdTitle].size(), 20u);
    std::vector<CdTextPack> packs = buildCdTextPacks(r);
    EXPECT_EQ(packs[0].track, 0);
    EXPECT_EQ(packs[0].blockAndPosition, 0);
    EXPECT_EQ(packs[1].track, 1);
    EXPECT_EQ(packs[1].blockAndPosition, 7);  // 7 characters stood in pack 0
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(packs[1].text), 12), "characters.."s);

    // A long text caps the position at 15.
    r.entries[1][kCdTitle] = std::string(40, 'x');
    packs = buildCdTextPacks(r);
    EXPECT_EQ(packs[2].blockAndPosition, 15);
    EXPECT_TRUE(samePacks(bytesOf(packs), libburnPacks(entriesOf(r), kCdTextAscii)));
}

TEST(CdTextPacks, LimitIs255Packs) {
    // 84 tracks: titles of 85 x 34 + 27 = 2917 bytes (244 packs) and one
    // performer making 2 + 84 = 86 bytes (8 packs): 252 text packs + 3 size
    // packs = 255, the most block 0 holds.
    CdTextRecord r;
    r.setTrackCount(84);
    for (size_t t = 0; t <= 84; ++t) r.entries[t][kCdTitle] = std::string(t < 27 ? 34 : 33, char('a' + t % 26));
    r.entries[0][kCdPerformer] = "p";
    EXPECT_EQ(countCdTextPacks(r), 255);
    std::vector<CdTextPack> packs = buildCdTextPacks(r);
    ASSERT_EQ(packs.size(), 255u);
    EXPECT_EQ(packs.back().sequence, 254);
    EXPECT_EQ(packs[packs.size() - 2].text[8], 254);
    EXPECT_TRUE(samePacks(bytesOf(packs), libburnPacks(entriesOf(r), kCdTextAscii)));

    // One more type: 253 text packs or more fail with -314 before any is built.
    r.entries[0][kCdSongwriter] = "x";
    try {
        (void)buildCdTextPacks(r);
        FAIL() << "no error";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrTooMuchCdText);
        EXPECT_EQ(e.mainText(), "Too much CD-TEXT information has been specified");
    }
}

TEST(CdTextPacks, CrcMatchesTheMmcExample) {
    // Every pack's CRC verifies: the CRC of all 18 bytes, un-inverted, is the
    // CRC-16 residue 0 when the stored value is inverted back.
    std::vector<CdTextPack> packs = buildCdTextPacks(sampleRecord());
    for (CdTextPack p : packs) {
        p.crc[0] ^= 0xFF;
        p.crc[1] ^= 0xFF;
        EXPECT_EQ(static_cast<uint16_t>(~cdTextCrc(reinterpret_cast<const uint8_t*>(&p), 18)), 0);
    }
    // A flipped bit is caught by libcdio, which checks the CRC.
    std::vector<uint8_t> bytes = bytesOf(packs);
    bytes[4] ^= 0x01;
    CdioText cdio;
    cdio.parse(bytes);
    EXPECT_NE(cdio.get(CDTEXT_FIELD_TITLE, 0), "Songs for a Long Evening");
}

TEST(CdTextPacks, SpreadsIntoSixBitSubcode) {
    std::vector<CdTextPack> packs = buildCdTextPacks(sampleRecord());
    std::vector<uint8_t> sub(packs.size() * kCdTextSubcodeSize);
    spreadCdTextToSubcode(packs.data(), packs.size(), sub.data());
    std::vector<uint8_t> bytes = bytesOf(packs);
    std::vector<uint8_t> back;
    for (size_t i = 0; i < sub.size(); i += 4) {
        for (int k = 0; k < 4; ++k) EXPECT_EQ(sub[i + static_cast<size_t>(k)] & 0xC0, 0);
        uint32_t v = (uint32_t(sub[i]) << 18) | (uint32_t(sub[i + 1]) << 12) | (uint32_t(sub[i + 2]) << 6) | sub[i + 3];
        back.push_back(static_cast<uint8_t>(v >> 16));
        back.push_back(static_cast<uint8_t>(v >> 8));
        back.push_back(static_cast<uint8_t>(v));
    }
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(sub[0], 0x80 >> 2);
}

TEST(CdTextPacks, TooManyTracksIsRefused) {
    CdTextRecord r;
    r.setTrackCount(100);
    r.entries[0][kCdTitle] = "x";
    EXPECT_THROW((void)countCdTextPacks(r), EngineError);
}

}  // namespace
