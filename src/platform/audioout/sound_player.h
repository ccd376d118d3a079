// Notification sounds: PCM played once, asynchronously, through the wave
// output (platform/audioout/wave_out.h).
// The device is named by TALLORY_AUDIO_DEVICE ("default" when unset; "null"
// discards the samples, for tests and machines without sound).
#ifndef TALLORY_PLATFORM_AUDIOOUT_SOUND_PLAYER_H
#define TALLORY_PLATFORM_AUDIOOUT_SOUND_PLAYER_H

#include <cstdint>
#include <string>
#include <vector>

#include "tallory/types.h"

namespace tallory::platform {

// The ALSA device sounds go to.
std::string soundDevice();
// Stops the sound that is playing and starts this one (8- or 16-bit PCM).
// False if the format cannot be played; a device that cannot be opened ends
// the sound silently.
bool playSound(const WAVEFORMATEX& format, std::vector<uint8_t> pcm);
// Stops the sound that is playing, if any, and waits until the device is closed.
void stopSound();
// Waits until the current sound has played to its end; the frames it handed
// to the device (0 when the device could not be opened).
uint64_t waitForSound();

}  // namespace tallory::platform

#endif
