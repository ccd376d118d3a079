// The process-wide loudness switch and callback, the measurements a batch
// collects for its album values, and the tag frames the values become.
#ifndef TALLORY_FORMATS_LOUDNESS_LOUDNESS_SESSION_H
#define TALLORY_FORMATS_LOUDNESS_LOUDNESS_SESSION_H

#include <memory>

#include "formats/loudness/loudness_meter.h"
#include "tallory/conv.h"
#include "tallory/loudness.h"
#include "tallory/metadata.h"

namespace tallory::loudness {

bool enabled();
// Hands a measurement to the front end's callback, if one is set.
void notifyMeasured(const char* outputPath, const TalloryLoudness& loudness);
// True the first time per enabling that a target class without tags is met,
// so that the log says it once.
bool firstUntaggable(const CLSID& targetClass);

// While a batch runs, each measured conversion leaves its meter under its target.
void beginBatch();
void endBatch();
void recordTrack(IConvTarget* target, std::shared_ptr<LoudnessMeter> meter);
std::shared_ptr<LoudnessMeter> takeTrack(IConvTarget* target);

// Replaces the track (or album) frames of `tag` by those of `loudness`: R128_*
// for Opus (RFC 7845), REPLAYGAIN_* TXXX frames for every other format.
void setTrackFrames(IMetadataTag* tag, const TalloryLoudness& loudness, bool opus);
void setAlbumFrames(IMetadataTag* tag, const TalloryLoudness& loudness, bool opus);

}  // namespace tallory::loudness

#endif
