#include "formats/aiff/aiff_chunks.h"

#include <algorithm>
#include <cmath>

namespace tallory::formats::aiff {

namespace {

constexpr int64_t kMaxOffset = 0xFFFFFFFFll;

}  // namespace

int64_t fileSize(std::FILE* file) {
    long here = std::ftell(file);
    if (here < 0 || std::fseek(file, 0, SEEK_END) != 0) return -1;
    long end = std::ftell(file);
    if (std::fseek(file, here, SEEK_SET) != 0) return -1;
    return end;
}

uint32_t readBe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint16_t readBe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void putBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
void putBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

bool beginChunk(std::FILE* file, AiffChunk& ck) {
    uint8_t header[12];
    putBe32(header, ck.id);
    putBe32(header + 4, 0);
    putBe32(header + 8, ck.formType);
    size_t n = ck.id == kForm ? 12 : 8;
    if (std::fwrite(header, 1, n, file) != n) return false;
    long pos = std::ftell(file);
    if (pos < 0 || pos > kMaxOffset) return false;
    ck.size = 0;
    ck.dataOffset = static_cast<uint32_t>(pos);
    return true;
}

bool endChunk(std::FILE* file, AiffChunk& ck) {
    long end = std::ftell(file);
    if (end < static_cast<long>(ck.dataOffset)) return false;
    bool form = ck.id == kForm;
    int64_t size = int64_t{end} - ck.dataOffset + (form ? 4 : 0);
    if (size > kMaxOffset) return false;
    ck.size = static_cast<uint32_t>(size);
    uint8_t header[12];
    putBe32(header, ck.id);
    putBe32(header + 4, ck.size);
    putBe32(header + 8, ck.formType);
    size_t n = form ? 12 : 8;
    return std::fseek(file, static_cast<long>(ck.dataOffset - n), SEEK_SET) == 0 &&
           std::fwrite(header, 1, n, file) == n && std::fseek(file, end, SEEK_SET) == 0;
}

bool findChunk(std::FILE* file, AiffChunk& ck, const AiffChunk* parent) {
    int64_t end = fileSize(file);
    if (end < 0) return false;
    int64_t pos = 0;
    if (parent != nullptr) {
        pos = parent->dataOffset;
        end = std::min<int64_t>(end, int64_t{parent->dataOffset} + parent->size);
    }
    // Each step moves at least eight bytes on inside a bounded range.
    while (pos + 8 <= end) {
        uint8_t header[8];
        if (std::fseek(file, static_cast<long>(pos), SEEK_SET) != 0 || std::fread(header, 1, 8, file) != 8) return false;
        uint32_t id = readBe32(header), size = readBe32(header + 4);
        if (id == ck.id) {
            ck.size = size;
            ck.dataOffset = static_cast<uint32_t>(pos + 8);
            if (id == kForm) {
                uint8_t type[4];
                if (size < 4 || std::fread(type, 1, 4, file) != 4) return false;
                ck.formType = readBe32(type);
                ck.size = size - 4;
                ck.dataOffset += 4;
            }
            return true;
        }
        // IFF pads odd chunks to an even length.
        pos += 8 + int64_t{size} + (size & 1);
    }
    return false;
}

void encodeExtended(double value, uint8_t out[10]) {
    for (int i = 0; i < 10; ++i) out[i] = 0;
    if (value == 0) return;
    uint16_t sign = value < 0 ? 0x8000 : 0;
    int e = 0;
    double m = std::frexp(std::fabs(value), &e);
    if (e > 16384 || !std::isfinite(value)) {
        putBe16(out, static_cast<uint16_t>(sign | 0x7FFF));
        return;
    }
    e += 16382;
    if (e < 0) {
        m = std::ldexp(m, e);
        e = 0;
    }
    putBe16(out, static_cast<uint16_t>(sign | e));
    double hi = std::floor(std::ldexp(m, 32));
    double lo = std::floor(std::ldexp(std::ldexp(m, 32) - hi, 32));
    putBe32(out + 2, static_cast<uint32_t>(hi));
    putBe32(out + 6, static_cast<uint32_t>(lo));
}

double decodeExtended(const uint8_t in[10]) {
    int exponent = ((in[0] & 0x7F) << 8) | in[1];
    uint32_t hi = readBe32(in + 2), lo = readBe32(in + 6);
    if ((exponent == 0 && hi == 0 && lo == 0) || exponent == 0x7FFF) return 0;
    double value = std::ldexp(static_cast<double>(hi), exponent - 16383 - 31) +
                   std::ldexp(static_cast<double>(lo), exponent - 16383 - 63);
    return (in[0] & 0x80) != 0 ? -value : value;
}

}  // namespace tallory::formats::aiff
