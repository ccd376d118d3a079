#include "platform/scsi/cd_sector.h"

#include <array>
#include <cstring>

#include "platform/scsi/disc_model.h"

namespace tallory::platform::scsi {

namespace {

uint8_t bcd(int v) { return uint8_t(((v / 10) << 4) | (v % 10)); }

// ECMA-130 14.3: EDC polynomial (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1),
// processed least significant bit first.
constexpr uint32_t kEdcPolynomialReflected = 0xD8018001u;
// Annex A: GF(2^8) with the primitive polynomial x^8 + x^4 + x^3 + x^2 + 1.
constexpr unsigned kFieldPolynomial = 0x11D;

struct Tables {
    std::array<uint32_t, 256> edc{};
    std::array<uint8_t, 256> times2{};   // multiplication by alpha
    std::array<uint8_t, 256> divide3{};  // division by (alpha + 1)
    Tables() {
        for (unsigned i = 0; i < 256; ++i) {
            uint32_t e = i;
            for (int b = 0; b < 8; ++b) e = (e >> 1) ^ ((e & 1) ? kEdcPolynomialReflected : 0);
            edc[i] = e;
            const unsigned t = (i << 1) ^ ((i & 0x80) ? kFieldPolynomial : 0);
            times2[i] = uint8_t(t);
            divide3[uint8_t(i ^ t)] = uint8_t(i);
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// One of the two parity sets over the 2340 bytes from the header on, seen as
// two interleaved byte planes (the high and low bytes of the words of Annex A).
// Each codeword takes `length` bytes; consecutive symbols `step` words apart
// (modulo the codeword area), codeword starts `startStep` words apart. The two
// parity symbols of codeword k go to parity[k] and parity[k + count].
void parity(const uint8_t* area, int count, int length, int startStep, int step, uint8_t* out) {
    const Tables& t = tables();
    const int size = count * length;
    for (int major = 0; major < count; ++major) {
        int index = (major >> 1) * startStep + (major & 1);
        uint8_t a = 0, b = 0;
        for (int minor = 0; minor < length; ++minor) {
            const uint8_t v = area[index];
            index += step;
            if (index >= size) index -= size;
            a ^= v;
            b ^= v;
            a = t.times2[a];
        }
        a = t.divide3[t.times2[a] ^ b];
        out[major] = a;
        out[major + count] = uint8_t(a ^ b);
    }
}

}  // namespace

uint32_t cdEdc(const uint8_t* data, int size) noexcept {
    const Tables& t = tables();
    uint32_t e = 0;
    for (int i = 0; i < size; ++i) e = (e >> 8) ^ t.edc[(e ^ data[i]) & 0xFF];
    return e;
}

void writeSectorHeader(uint8_t* sector, int32_t lba, uint8_t mode) noexcept {
    sector[0] = 0x00;
    std::memset(sector + 1, 0xFF, 10);
    sector[11] = 0x00;
    // Addresses before 00:00:00 do not occur on the program area; the lead-in
    // (negative past -150) wraps as MSF 90:00:00 and above.
    int32_t v = lba + kLbaOffset;
    if (v < 0) v += 450000;
    sector[12] = bcd(int(v / 4500 % 100));
    sector[13] = bcd(int(v / 75 % 60));
    sector[14] = bcd(int(v % 75));
    sector[15] = mode;
}

void encodeMode1Sector(uint8_t* sector, int32_t lba) noexcept {
    writeSectorHeader(sector, lba, 0x01);
    const uint32_t edc = cdEdc(sector, 2064);
    for (int i = 0; i < 4; ++i) sector[2064 + i] = uint8_t(edc >> (8 * i));
    std::memset(sector + 2068, 0, 8);
    // P parity: 86 codewords (43 columns per plane) of 24 symbols; Q parity:
    // 52 codewords (26 diagonals per plane) of 43 symbols, over P as well.
    parity(sector + 12, 86, 24, 2, 86, sector + 2076);
    parity(sector + 12, 52, 43, 86, 88, sector + 2248);
}

void encodeMode2Sector(uint8_t* sector, int32_t lba) noexcept { writeSectorHeader(sector, lba, 0x02); }

bool checkMode1Sector(const uint8_t* sector, int32_t lba) noexcept {
    uint8_t header[16];
    writeSectorHeader(header, lba, 0x01);
    if (std::memcmp(header, sector, 16) != 0) return false;
    const uint32_t edc = cdEdc(sector, 2064);
    for (int i = 0; i < 4; ++i)
        if (sector[2064 + i] != uint8_t(edc >> (8 * i))) return false;
    return true;
}

}  // namespace tallory::platform::scsi
