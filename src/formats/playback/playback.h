// The preview player: a source's PCM through a wave output in eight buffers
// of 16384 bytes, a counting semaphore of free buffers released by the
// device's completion of each one.
#ifndef TALLORY_FORMATS_PLAYBACK_PLAYBACK_H
#define TALLORY_FORMATS_PLAYBACK_PLAYBACK_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <semaphore>
#include <vector>

#include "platform/audioout/wave_out.h"
#include "tallory/playback.h"

namespace tallory::formats::playback {

inline constexpr size_t kPlaybackBuffers = 8;
inline constexpr size_t kPlaybackBufferBytes = 16384;
// How long the player waits between tries to close a device that still plays.
inline constexpr std::chrono::milliseconds kCloseRetry{256};

using WaveOutFactory = std::function<std::unique_ptr<platform::WaveOut>()>;

// The sink side of the player: cuts blocks into pieces, queues them and
// reports the position.
class Player final : public IConvSink {
public:
    Player(platform::WaveOut& out, const WAVEFORMATEX& format, IPlaybackCallback* callback, uint32_t totalSeconds);

    bool Write(const void* data, uint32_t byteCount) override;

    // The device's completion of one buffer.
    void bufferDone() { free_.release(); }
    // True once OnPosition answered a negative value.
    bool stopped() const { return stopped_; }
    uint64_t bytesPlayed() const { return bytesPlayed_; }
    // The piece size: the buffer size cut down to whole sample frames.
    size_t pieceBytes() const { return pieceBytes_; }

private:
    bool queue(const uint8_t* data, size_t bytes);

    platform::WaveOut& out_;
    WAVEFORMATEX format_;
    IPlaybackCallback* callback_;
    int totalMinutes_, totalSeconds_;
    std::vector<uint8_t> memory_;
    std::counting_semaphore<kPlaybackBuffers> free_{kPlaybackBuffers};
    size_t lastBuffer_ = kPlaybackBuffers - 1;
    size_t pieceBytes_;
    std::vector<uint8_t> carry_;  // the start of a sample frame cut by a block's end
    uint64_t bytesPlayed_ = 0;
    bool stopped_ = false;
};

// What the playback thread does, on the calling thread: open the source,
// report the total, play it through the output `makeOutput` gives, close the
// device (retrying while buffers play) and call OnFinished.
void runPlayback(IConvSource* source, IPlaybackCallback* callback, const WaveOutFactory& makeOutput);

// Starts runPlayback on a thread of its own holding a reference of the source;
// false when the thread could not be started.
bool startPlayback(IConvSource* source, IPlaybackCallback* callback, WaveOutFactory makeOutput);

}  // namespace tallory::formats::playback

#endif
