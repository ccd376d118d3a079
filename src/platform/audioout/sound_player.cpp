#include "platform/audioout/sound_player.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace tallory::platform {

namespace {

// Latency asked of the device: short enough for Stop to act at once.
constexpr unsigned kLatencyMicroseconds = 200000;
// Frames handed to the device per write, so that Stop is checked often.
constexpr snd_pcm_uframes_t kFramesPerWrite = 4096;

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
        snd_pcm_t* pcmHandle = nullptr;
        std::string device = soundDevice();
        if (snd_pcm_open(&pcmHandle, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0) < 0) return;
        snd_pcm_format_t sampleFormat = format.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
        if (snd_pcm_set_params(pcmHandle, sampleFormat, SND_PCM_ACCESS_RW_INTERLEAVED, format.nChannels,
                               format.nSamplesPerSec, 1, kLatencyMicroseconds) < 0) {
            snd_pcm_close(pcmHandle);
            return;
        }
        size_t frameBytes = static_cast<size_t>(format.nChannels) * (format.wBitsPerSample / 8);
        snd_pcm_uframes_t total = pcm.size() / frameBytes, done = 0;
        while (done < total && !stopping_) {
            snd_pcm_uframes_t n = std::min(kFramesPerWrite, total - done);
            snd_pcm_sframes_t wrote = snd_pcm_writei(pcmHandle, pcm.data() + done * frameBytes, n);
            if (wrote < 0) wrote = snd_pcm_recover(pcmHandle, static_cast<int>(wrote), 1);
            if (wrote < 0) break;
            done += static_cast<snd_pcm_uframes_t>(wrote);
        }
        played_ = done;
        if (stopping_) {
            snd_pcm_drop(pcmHandle);
        } else {
            snd_pcm_drain(pcmHandle);
        }
        snd_pcm_close(pcmHandle);
    }

    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> played_{0};
};

// A missing device is no error worth a line on standard error: the sound is simply not played.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

Player& player() {
    static Player instance;
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(quietAlsa); });
    return instance;
}

}  // namespace

std::string soundDevice() {
    const char* name = std::getenv("TALLORY_AUDIO_DEVICE");
    return name != nullptr && name[0] != '\0' ? name : "default";
}

bool playSound(const WAVEFORMATEX& format, std::vector<uint8_t> pcm) { return player().play(format, std::move(pcm)); }

void stopSound() { player().stop(); }

uint64_t waitForSound() { return player().wait(); }

}  // namespace tallory::platform
