// MD5 (RFC 1321), for comparing the files of an image with their sources.
// Not for security: only a strong check that two byte streams are the same.
#ifndef TALLORY_CD_ENGINE_ISO_MD5_H
#define TALLORY_CD_ENGINE_ISO_MD5_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tallory::cd::engine {

class Md5 {
public:
    using Digest = std::array<uint8_t, 16>;

    Md5();
    void update(const uint8_t* data, size_t size);
    // The digest of everything given; the object is reset afterwards.
    Digest finish();

    static std::string hex(const Digest& digest);

private:
    void reset();
    void block(const uint8_t* p);

    uint32_t state_[4];
    uint64_t length_ = 0;  // bytes
    uint8_t pending_[64];
    size_t fill_ = 0;
};

}  // namespace tallory::cd::engine

#endif
