// The Audio Compression Manager stand-in: the codec table of the WAV classes
// (format tags with names, their formats with detail texts), format
// suggestion and conversion streams, over libavcodec and libswresample.
// Result codes keep the values of the original platform, because messages
// print them ("error #512").
#ifndef TALLORY_PLATFORM_ACM_ACM_H
#define TALLORY_PLATFORM_ACM_ACM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tallory/types.h"

namespace tallory::platform::acm {

enum Result : int {
    kOk = 0,
    kError = 1,           // MMSYSERR_ERROR
    kNoMemory = 7,        // MMSYSERR_NOMEM
    kInvalidParam = 11,   // MMSYSERR_INVALPARAM
    kNotPossible = 512,   // ACMERR_NOTPOSSIBLE: no codec can do this
};

// Format tags of the built-in codecs.
inline constexpr uint16_t kTagPcm = 0x0001;
inline constexpr uint16_t kTagMsAdpcm = 0x0002;
inline constexpr uint16_t kTagALaw = 0x0006;
inline constexpr uint16_t kTagMuLaw = 0x0007;
inline constexpr uint16_t kTagImaAdpcm = 0x0011;
inline constexpr uint16_t kTagGsm610 = 0x0031;
inline constexpr uint16_t kTagMpegLayer3 = 0x0055;

// The largest format record any codec here produces (18 + cbSize), like ACM_METRIC_MAX_SIZE_FORMAT.
inline constexpr size_t kMaxFormatSize = 18 + 32;

// A format record with its extra bytes: 18 + cbSize bytes.
using FormatBlob = std::vector<uint8_t>;

// The fixed part of a blob (zeros past its end when it is short).
WAVEFORMATEX header(const FormatBlob& blob);
// A blob of 18 + header.cbSize bytes: the header followed by `extra`.
FormatBlob makeBlob(const WAVEFORMATEX& header, const std::vector<uint8_t>& extra = {});
// A blob from outside bytes: at least 18, cut or zero-filled to 18 + cbSize.
FormatBlob blobFromBytes(const void* data, size_t size);

enum TagFlags : uint32_t {
    kCanDecode = 1,  // a stream from this tag to PCM opens
    kCanEncode = 2,  // a stream from PCM to this tag opens
};

struct TagDetails {
    uint16_t tag;
    std::string name;  // stable: settings strings and the settings text use it
    uint32_t flags;
};

struct FormatDetails {
    FormatBlob format;
    std::string text;  // stable detail text, unique within the tag
};

// Every format tag, in tag order.
std::vector<TagDetails> formatTags();
// The tag's details; false for a tag no codec knows.
bool formatTagDetails(uint16_t tag, TagDetails& out);
// The formats of a tag that a stream can produce; with `from`, only those a
// stream can produce from that format. Empty for an unknown or decode-only tag.
std::vector<FormatDetails> formats(uint16_t tag, const FormatBlob* from = nullptr);
// The detail text of a format ("44,100 Hz, 16 Bit, Stereo").
std::string formatText(const FormatBlob& format);
// Checks a format record from a file or a caller: sane numbers and extra bytes
// that the tag's codec needs. kOk or kNotPossible.
Result validate(const FormatBlob& format);
// A format of `tag` that a stream from `source` can produce: the same rate and
// channels where the codec allows, PCM 16-bit from a compressed source.
[[nodiscard]] Result suggest(const FormatBlob& source, uint16_t tag, FormatBlob& out);

// Frames that `bytes` of data in `format` decode to, for codecs of fixed
// blocks; false for PCM-less or variable (MPEG) data.
bool decodedFrames(const FormatBlob& format, uint32_t bytes, uint64_t& frames);

enum class SizeKind {
    source,       // given source bytes: the destination buffer that always suffices
    destination,  // given destination bytes: the source bytes whose output fits
};

class Codec;

// A conversion stream between two formats, one of them PCM (or both).
class Stream {
public:
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // A stream from `source` to `destination`; kNotPossible when no codec converts them.
    [[nodiscard]] static Result open(const FormatBlob& source, const FormatBlob& destination,
                                     std::unique_ptr<Stream>& out);
    [[nodiscard]] Result size(uint32_t bytes, SizeKind kind, uint32_t& out) const;
    // Converts src into dst. With blockAlign, only whole blocks of the codec are
    // consumed and the rest is left to the caller; without it this is the last
    // call of the stream: a partial block is completed with silence and buffered
    // output is flushed. Output that does not fit into dst stays in the stream
    // and comes out of the next call (which may pass no source bytes).
    [[nodiscard]] Result convert(const uint8_t* src, uint32_t srcLength, uint8_t* dst, uint32_t dstLength,
                                 bool blockAlign, uint32_t& consumed, uint32_t& produced);

    const FormatBlob& sourceFormat() const { return source_; }
    const FormatBlob& destinationFormat() const { return destination_; }

private:
    Stream(FormatBlob source, FormatBlob destination);
    FormatBlob source_;
    FormatBlob destination_;
    std::unique_ptr<Codec> codec_;
};

}  // namespace tallory::platform::acm

#endif
