#include "platform/audioout/sound_player.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/audioout/wave_out.h"

namespace tallory::platform {

namespace {

// Sounds go to the device in pieces of this size, so that Stop acts within one.
constexpr size_t kPieceBytes = 16384;
// How long a close waits between tries while buffers still play.
constexpr auto kCloseRetry = std::chrono::milliseconds(16);

class Player {
public:
    ~Player() { stop(); }

    bool play(const WAVEFORMATEX& format, std::vector<uint8_t> pcm) {
        if (format.wFormatTag != WAVE_FORMAT_PCM || format.nChannels == 0 || format.nSamplesPerSec == 0 ||
            (format.wBitsPerSample != 8 && format.wBitsPerSample != 16)) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        stopLocked();
        stopping_ = false;
        played_ = 0;
        thread_ = std::thread([this, format, data = std::move(pcm)] { run(format, data); });
        return true;
    }

    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopLocked();
    }

    uint64_t wait() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable()) thread_.join();
        return played_;
    }

private:
    void stopLocked() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }

    void run(const WAVEFORMATEX& format, const std::vector<uint8_t>& pcm) {
        const size_t frameBytes = static_cast<size_t>(format.nChannels) * (format.wBitsPerSample / 8);
        WAVEFORMATEX device = format;
        device.nBlockAlign = static_cast<uint16_t>(frameBytes);
        std::mutex doneLock;
        std::condition_variable doneSignal;
        size_t completed = 0;
        // Declared after what its completion callback touches, so it goes first.
        std::unique_ptr<WaveOut> out = createAlsaWaveOut();
        if (!out->open(device, [&] {
                std::lock_guard<std::mutex> g(doneLock);
                ++completed;
                doneSignal.notify_all();
            })) {
            return;
        }
        // Whole frames only, in pieces that are a multiple of the frame.
        const size_t usable = pcm.size() - pcm.size() % frameBytes;
        const size_t piece = kPieceBytes - kPieceBytes % frameBytes;
        size_t queued = 0, pieces = 0;
        uint64_t handed = 0;
        for (size_t at = 0; at < usable && !stopping_; at += piece, ++pieces) {
            const size_t n = std::min(piece, usable - at);
            if (!out->write(pcm.data() + at, n)) break;
            queued += n;
        }
        {
            std::unique_lock<std::mutex> g(doneLock);
            while (completed < pieces && !stopping_) doneSignal.wait_for(g, kCloseRetry);
            handed = completed == pieces ? queued : completed * piece;
        }
        if (stopping_) out->reset();
        while (out->close() == WaveCloseKind::stillPlaying) std::this_thread::sleep_for(kCloseRetry);
        played_ = handed / frameBytes;
    }

    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> played_{0};
};

Player& player() {
    static Player instance;
    return instance;
}

}  // namespace

std::string soundDevice() { return waveOutDevice(); }

bool playSound(const WAVEFORMATEX& format, std::vector<uint8_t> pcm) { return player().play(format, std::move(pcm)); }

void stopSound() { player().stop(); }

uint64_t waitForSound() { return player().wait(); }

}  // namespace tallory::platform
