#include "cd/engine/iso_md5.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tallory::cd::engine {

namespace {

// RFC 1321 3.4: per-round shift amounts and the sine table.
constexpr uint8_t kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

uint32_t rotl(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

// One step of a round; the index and shift are constants, so every step
// compiles to straight-line code (the loop form runs at half the speed).
template <int I>
inline void step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, const uint32_t* m) {
    uint32_t f;
    int g;
    if constexpr (I < 16) {
        f = (b & c) | (~b & d);
        g = I;
    } else if constexpr (I < 32) {
        f = (d & b) | (~d & c);
        g = (5 * I + 1) % 16;
    } else if constexpr (I < 48) {
        f = b ^ c ^ d;
        g = (3 * I + 5) % 16;
    } else {
        f = c ^ (b | ~d);
        g = (7 * I) % 16;
    }
    a = b + rotl(a + f + kSine[I] + m[g], kShift[I]);
}

// Steps I to I + 3, rotating the roles of a, b, c and d as RFC 1321 3.4 does.
template <int I>
inline void fourSteps(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, const uint32_t* m) {
    step<I>(a, b, c, d, m);
    step<I + 1>(d, a, b, c, m);
    step<I + 2>(c, d, a, b, m);
    step<I + 3>(b, c, d, a, m);
}

template <int... Quads>
inline void allSteps(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, const uint32_t* m,
                     std::integer_sequence<int, Quads...>) {
    (fourSteps<Quads * 4>(a, b, c, d, m), ...);
}

}  // namespace

Md5::Md5() { reset(); }

void Md5::reset() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    length_ = 0;
    fill_ = 0;
}

void Md5::block(const uint8_t* p) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
               uint32_t(p[4 * i + 3]) << 24;
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    allSteps(a, b, c, d, m, std::make_integer_sequence<int, 16>{});
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::update(const uint8_t* data, size_t size) {
    length_ += size;
    if (fill_ > 0) {
        size_t n = std::min(size, sizeof pending_ - fill_);
        std::memcpy(pending_ + fill_, data, n);
        fill_ += n;
        data += n;
        size -= n;
        if (fill_ < sizeof pending_) return;
        block(pending_);
        fill_ = 0;
    }
    for (; size >= 64; data += 64, size -= 64) block(data);
    std::memcpy(pending_, data, size);
    fill_ = size;
}

Md5::Digest Md5::finish() {
    // RFC 1321 3.1-3.2: a one bit, zeros to 56 bytes mod 64, the bit length.
    uint64_t bits = length_ * 8;
    uint8_t pad[72] = {0x80};
    size_t padLength = (fill_ < 56 ? 56 : 120) - fill_;
    for (int i = 0; i < 8; ++i) pad[padLength + static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (8 * i));
    update(pad, padLength + 8);
    Digest out{};
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 4; ++k) out[static_cast<size_t>(4 * i + k)] = static_cast<uint8_t>(state_[i] >> (8 * k));
    }
    reset();
    return out;
}

std::string Md5::hex(const Digest& digest) {
    static const char* kDigits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : digest) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

}  // namespace tallory::cd::engine
