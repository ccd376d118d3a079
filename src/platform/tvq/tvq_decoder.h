// The TwinVQ decoder calls (Tvq*) over libavcodec's TwinVQ decoder.
//
// The container reader parses the bit stream itself, field by field, with the
// widths this layer's configuration gives; each frame's fields are kept in the
// index record and handed back to TvqDecodeFrame, which gives them to
// libavcodec as one packet. Unlike a process-wide decoder library, every
// stream has its own state in its index record, so that batches can decode
// several files at once.
#ifndef TALLORY_PLATFORM_TVQ_TVQ_DECODER_H
#define TALLORY_PLATFORM_TVQ_TVQ_DECODER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tallory::platform::tvq {

inline constexpr int kTvqKeywordBytes = 4;   // "TWIN"
inline constexpr int kTvqVersionBytes = 8;   // "97012000"
inline constexpr const char* kTvqVersionId = "TWIN97012000";
// Block types of a frame: three transform sizes and the long block's periodic peak part.
inline constexpr int kTvqBlockShort = 0;
inline constexpr int kTvqBlockMedium = 1;
inline constexpr int kTvqBlockLong = 2;
inline constexpr int kTvqBlockPeriodicPeak = 3;
inline constexpr int kTvqBlockTypes = 4;
inline constexpr int kTvqMaxChannels = 2;

// The decoder's set-up record: the version identifier and the four COMM numbers.
struct TvqHeaderInfo {
    char ID[kTvqKeywordBytes + kTvqVersionBytes + 1];
    int32_t channelMode;    // channels - 1
    int32_t bitRate;        // kbit/s for all channels
    int32_t samplingRate;   // kHz
    int32_t securityLevel;
    char textFields[3080];  // name, comment, author ... : not used by decoding
};
static_assert(sizeof(TvqHeaderInfo) == 3112, "the set-up record has a fixed size");

// Field widths and repetition counts of the frame's parameter groups.
struct TvqBlockConf {
    int subBlocks = 0;   // sub-blocks per frame
    int barkCoefs = 0;   // envelope indexes per sub-block and channel
    int barkBits = 0;    // bits per envelope index
};
struct TvqConfInfo {
    int windowTypeBits = 4;
    int gainBits = 8;
    int subGainBits = 5;
    TvqBlockConf block[3];
    int lspBits0 = 0, lspBits1 = 0, lspBits2 = 0, lspSplit = 0;
    int ppcPeriodBits = 0, ppcGainBits = 0;
    // Which optional groups a block type carries: gains per sub-block (short and
    // medium blocks) and the periodic peak part (long blocks).
    bool subGains[3] = {true, true, false};
    bool periodicPeak[3] = {false, false, true};
};

// Widths of the vector-quantisation index pairs of one block type: pair i has
// widths (first[i], second[i]).
struct TvqVectorWidths {
    std::vector<uint8_t> first, second;
};
struct TvqVectorInfo {
    TvqVectorWidths block[kTvqBlockTypes];
};

struct TvqStream;  // libavcodec's state for one stream

// The bit-stream index record: the decoder state and the fields of the frame
// the reader read last, as they stood in the stream (most significant bit first).
struct TvqIndex {
    TvqIndex();
    ~TvqIndex();
    TvqIndex(const TvqIndex&) = delete;
    TvqIndex& operator=(const TvqIndex&) = delete;

    int wtype = 0;
    int btype = 0;
    std::vector<uint8_t> bits;
    uint32_t bitCount = 0;
    // Appends the low `width` bits of value (width <= 32).
    void putBits(uint32_t value, int width);
    void clearBits();

    std::unique_ptr<TvqStream> stream;
};

// 0 for the identifier of the one version this decoder knows, -1 otherwise.
int TvqCheckVersion(const char* versionId);
// Opens the decoder for the mode of `setup`: 0 on success, non-zero for an
// unsupported mode or a missing libavcodec. showErrors != 0 writes the reason
// to standard error.
int TvqInitialize(const TvqHeaderInfo* setup, TvqIndex* index, int showErrors);
void TvqTerminate(TvqIndex* index);

void TvqGetConfInfo(const TvqIndex* index, TvqConfInfo* conf);
// Index-pair widths for the short, medium and periodic peak parts.
void TvqGetVectorInfo(const TvqIndex* index, TvqVectorInfo* info);
// Fills in the widths of a block type the table left empty (the long block).
void TvqUpdateVectorInfo(const TvqIndex* index, int btype, TvqVectorInfo* info);
// Samples per channel per frame.
int TvqGetFrameSize(const TvqIndex* index);
int TvqGetNumChannels(const TvqIndex* index);
// Bits of every frame: a frame whose fields add up to another count is invalid.
int TvqGetNumFixedBitsPerFrame(const TvqIndex* index);
// The block type of a window type; non-zero for an invalid window type.
int TvqWtypeToBtype(int wtype, int* btype);

// Decodes the frame held in `index`. The decoder holds two frames back: the
// result is 1 when a frame came out into `out` (planar, frame size floats per
// channel, in 16-bit sample units), 0 when it was kept, -1 on a decoder error.
int TvqDecodeFrame(TvqIndex* index, float* out);
// After the last frame: pushes out one of the frames held back (1), or 0 when
// none is left, -1 on a decoder error.
int TvqDecodeFlush(TvqIndex* index, float* out);

}  // namespace tallory::platform::tvq

#endif
