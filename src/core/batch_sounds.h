// The notification sounds of a batch, named in section "Sounds" of the settings store.
#ifndef TALLORY_CORE_BATCH_SOUNDS_H
#define TALLORY_CORE_BATCH_SOUNDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "tallory/types.h"

namespace tallory::core {

inline constexpr const char* kSoundConversionDone = "ConversionDone";
inline constexpr const char* kSoundConversionError = "ConversionError";

// A sound file is decoded whole; one longer than this is cut here.
inline constexpr size_t kMaxSoundBytes = 32u << 20;

// Decodes a sound file through the source of its format; false if no source
// of its format can be made or decoding fails.
bool decodeSound(const std::string& path, WAVEFORMATEX& format, std::vector<uint8_t>& pcm);
// Starts the sound whose file "Sounds"/name names, if the value and the file
// exist, without a default sound. True if it started.
bool playNamedSound(const char* name);
// Stops the sound that is playing.
void stopSounds();
// Lets the sound that is playing end.
void waitForSounds();

}  // namespace tallory::core

#endif
