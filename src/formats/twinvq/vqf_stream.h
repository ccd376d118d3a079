// Reading a VQF file: the header (identifier, header chunk list, "DATA") into
// the decoder's set-up record, and the frames of the bit stream into the
// decoder's index record.
#ifndef TALLORY_FORMATS_TWINVQ_VQF_STREAM_H
#define TALLORY_FORMATS_TWINVQ_VQF_STREAM_H

#include <string>

#include "formats/twinvq/bit_file.h"
#include "platform/tvq/tvq_decoder.h"

namespace tallory::formats::twinvq {

// A header larger than this is not a VQF header: real ones hold a few text chunks.
inline constexpr uint32_t kMaxHeaderBytes = 16u << 20;

// Reads the header from the start of `file` and fills `setup`; leaves the
// cursor on the first frame. False with the reason in *why (empty for the
// quiet failures: an unknown identifier or a short file).
[[nodiscard]] bool readVqfHeader(BitFile& file, platform::tvq::TvqHeaderInfo& setup, std::string* why = nullptr);

// The frame layout of one stream, from the decoder's configuration.
class VqfFrameReader {
public:
    // False when the decoder gives no usable configuration.
    [[nodiscard]] bool init(const platform::tvq::TvqIndex& index);
    // Reads one frame into index.bits; false at the end of the stream: an
    // invalid window type, fewer bits than a frame has, or a block type whose
    // fields do not add up to the frame's bits.
    [[nodiscard]] bool readFrame(BitFile& file, platform::tvq::TvqIndex& index) const;
    // Only checks that a frame starts with a valid window type and is whole.
    [[nodiscard]] bool frameValidAt(BitFile& file) const;
    uint32_t frameBits() const { return frameBits_; }

private:
    // Bits of all fields of a frame of this block type, window type included.
    uint32_t layoutBits(int btype) const;

    uint32_t layoutBits_[3] = {};
    platform::tvq::TvqConfInfo conf_{};
    platform::tvq::TvqVectorInfo vectors_{};
    int channels_ = 0;
    uint32_t frameBits_ = 0;
};

}  // namespace tallory::formats::twinvq

#endif
