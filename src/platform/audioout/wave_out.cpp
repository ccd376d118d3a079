#include "platform/audioout/wave_out.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace tallory::platform {

namespace {

// Latency asked of the device: short enough for a reset to act at once.
constexpr unsigned kLatencyMicroseconds = 200000;
// Frames handed to ALSA per call, so that a reset is seen within a buffer.
constexpr snd_pcm_uframes_t kFramesPerWrite = 2048;

// A missing device is no error worth a line on standard error: the caller
// sees open() fail.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

void silenceAlsaOnce() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(quietAlsa); });
}

bool alsaFormatOf(const WAVEFORMATEX& format, snd_pcm_format_t* out) {
    switch (format.wBitsPerSample) {
        case 8: *out = SND_PCM_FORMAT_U8; return true;
        case 16: *out = SND_PCM_FORMAT_S16_LE; return true;
        case 24: *out = SND_PCM_FORMAT_S24_3LE; return true;
        case 32: *out = SND_PCM_FORMAT_S32_LE; return true;
        default: return false;
    }
}

class AlsaWaveOut final : public WaveOut {
public:
    explicit AlsaWaveOut(std::string device) : device_(std::move(device)) {}
    ~AlsaWaveOut() override {
        reset();
        shutDown();
    }

    bool open(const WAVEFORMATEX& format, std::function<void()> onDone) override {
        if (pcm_ != nullptr) return false;
        snd_pcm_format_t sampleFormat{};
        if (format.wFormatTag != WAVE_FORMAT_PCM || format.nChannels == 0 || format.nSamplesPerSec == 0 ||
            !alsaFormatOf(format, &sampleFormat)) {
            return false;
        }
        frameBytes_ = static_cast<size_t>(format.nChannels) * (format.wBitsPerSample / 8);
        if (format.nBlockAlign != frameBytes_) return false;
        silenceAlsaOnce();
        snd_pcm_t* pcm = nullptr;
        if (snd_pcm_open(&pcm, device_.c_str(), SND_PCM_STREAM_PLAYBACK, 0) < 0) return false;
        if (snd_pcm_set_params(pcm, sampleFormat, SND_PCM_ACCESS_RW_INTERLEAVED, format.nChannels,
                               format.nSamplesPerSec, 1, kLatencyMicroseconds) < 0) {
            snd_pcm_close(pcm);
            return false;
        }
        pcm_ = pcm;
        onDone_ = std::move(onDone);
        stopping_ = false;
        thread_ = std::thread([this] { run(); });
        return true;
    }

    bool write(const uint8_t* data, size_t bytes) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pcm_ == nullptr || stopping_) return false;
        queue_.push_back({data, bytes});
        wake_.notify_all();
        return true;
    }

    void reset() override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (pcm_ == nullptr) return;
        dropping_ = true;
        wake_.notify_all();
        // The device thread completes the queued buffers and clears the flag.
        idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
        dropping_ = false;
    }

    WaveCloseKind close() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pcm_ == nullptr) return WaveCloseKind::closed;
            if (!queue_.empty() || busy_) return WaveCloseKind::stillPlaying;
        }
        shutDown();
        return WaveCloseKind::closed;
    }

private:
    struct Buffer {
        const uint8_t* data;
        size_t bytes;
    };

    void shutDown() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pcm_ == nullptr) return;
            stopping_ = true;
            wake_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
        if (!dropped_) snd_pcm_drain(pcm_);
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) {
                if (stopping_) return;
                continue;
            }
            Buffer buffer = queue_.front();
            queue_.pop_front();
            busy_ = true;
            lock.unlock();
            play(buffer);
            if (onDone_) onDone_();
            lock.lock();
            busy_ = false;
            if (queue_.empty()) idle_.notify_all();
        }
    }

    void play(const Buffer& buffer) {
        const snd_pcm_uframes_t total = buffer.bytes / frameBytes_;
        snd_pcm_uframes_t done = 0;
        while (done < total) {
            if (dropping_) {
                if (!dropped_) snd_pcm_drop(pcm_);
                dropped_ = true;
                return;
            }
            if (dropped_) {
                snd_pcm_prepare(pcm_);
                dropped_ = false;
            }
            const snd_pcm_uframes_t n = std::min(kFramesPerWrite, total - done);
            snd_pcm_sframes_t wrote = snd_pcm_writei(pcm_, buffer.data + done * frameBytes_, n);
            if (wrote < 0) wrote = snd_pcm_recover(pcm_, static_cast<int>(wrote), 1);
            // A device that fails for good still completes the buffer, so that
            // no writer waits for it forever.
            if (wrote < 0) return;
            done += static_cast<snd_pcm_uframes_t>(wrote);
        }
    }

    std::string device_;
    snd_pcm_t* pcm_ = nullptr;
    size_t frameBytes_ = 1;
    std::function<void()> onDone_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<Buffer> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::atomic<bool> dropping_{false};
    // Only the device thread and shutDown (after the join) touch this.
    bool dropped_ = false;
};

}  // namespace

std::string waveOutDevice() {
    const char* name = std::getenv("TALLORY_AUDIO_DEVICE");
    return name != nullptr && name[0] != '\0' ? name : "default";
}

std::unique_ptr<WaveOut> createAlsaWaveOut(const std::string& device) {
    return std::make_unique<AlsaWaveOut>(device.empty() ? waveOutDevice() : device);
}

}  // namespace tallory::platform
