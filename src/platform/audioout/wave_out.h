// The wave output device: PCM buffers queued to an ALSA device and played in
// order, each one's completion told through a callback on the device's own
// thread (the way a wave-out driver reports a finished header). The preview
// player and the notification sounds both play through it.
#ifndef TALLORY_PLATFORM_AUDIOOUT_WAVE_OUT_H
#define TALLORY_PLATFORM_AUDIOOUT_WAVE_OUT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tallory/types.h"

namespace tallory::platform {

enum class WaveCloseKind {
    closed,
    stillPlaying,  // buffers are queued: play or reset them, then close again
};

class WaveOut {
public:
    virtual ~WaveOut() = default;
    // Opens the device for this PCM format; `onDone` is called once for every
    // buffer written, after its bytes went to the device or were dropped by reset.
    // False when the device or the format cannot be used.
    virtual bool open(const WAVEFORMATEX& format, std::function<void()> onDone) = 0;
    // Queues a buffer. Its bytes stay the caller's and must stay valid until
    // its completion. False if the device is not open (then nothing completes).
    virtual bool write(const uint8_t* data, size_t bytes) = 0;
    // Drops the queued buffers (each still completes) and stops the sound.
    virtual void reset() = 0;
    // Closes the device, unless buffers are still queued.
    virtual WaveCloseKind close() = 0;
};

// The ALSA device named by TALLORY_AUDIO_DEVICE ("default" when unset; "null"
// discards the samples, for tests and machines without sound).
std::string waveOutDevice();
// A wave output on an ALSA device (waveOutDevice() when `device` is empty).
std::unique_ptr<WaveOut> createAlsaWaveOut(const std::string& device = std::string());

}  // namespace tallory::platform

#endif
