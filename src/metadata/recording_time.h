// The recording time of an ID3v2.4 tag (TDRC), which has no frame identifier
// of its own in the tag model: callers that want a year (naming) read it here
// when the tag has no year frame.
#ifndef TALLORY_METADATA_RECORDING_TIME_H
#define TALLORY_METADATA_RECORDING_TIME_H

#include <string>

#include "tallory/metadata.h"

namespace tallory::metadata {

// The frame's text as UTF-8 ("2019-05-04"), empty when the tag has none or is not ours.
std::string recordingTimeOf(IMetadataTag* tag);

}  // namespace tallory::metadata

#endif
