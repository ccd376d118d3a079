// AudioConvert: one source into one target on a worker thread.
#ifndef TALLORY_CORE_CONVERSION_ENGINE_H
#define TALLORY_CORE_CONVERSION_ENGINE_H

#include "tallory/convert.h"
#include "tallory/loudness.h"

namespace tallory::core {

inline constexpr const char* kMsgSameFile = "The source file is equal to the destination file\n";
inline constexpr const char* kMsgOutOfMemory = "Out of memory\n";
inline constexpr const char* kMsgNoNormalizer = "Cannot create normalizer\n";
// The misspelling is the message callers have always matched.
inline constexpr const char* kMsgNoTempFile = "Cannot create temorary file\n";
inline constexpr const char* kMsgTempWriteFailed = "Failed to write temporary file\n";
inline constexpr const char* kMsgTempReadFailed = "Cannot read temporary file\n";
// A source that promised audio and delivered none could not decode its data.
inline constexpr const char* kMsgNothingDecoded = "The source delivered no audio: its data could not be decoded\n";

struct ConversionRequest {
    IConvSource* source;
    IConvTarget* target;
    IConvProgress* progress;
    bool normalize;
    int startMs;
    int endMs;
};

// The conversion itself, on the calling thread; AudioConvert runs it on a worker.
HRESULT runConversion(const ConversionRequest& request);

// Writes the source's tag (or an empty one) with the encoder-settings frame and,
// when bpm is not 0, the tempo frame, and with `loudness` the track's loudness
// frames, into the target's tag file, if it has one.
void writeConversionTag(IConvSource* source, IConvTarget* target, double bpm, const TalloryLoudness* loudness = nullptr);

}  // namespace tallory::core

#endif
