#include "formats/playback/playback.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "core/export_guard.h"
#include "platform/log/log.h"

namespace tallory::formats::playback {

namespace {

// Seconds of PCM in `bytes`; 0 for a format without a byte rate.
uint64_t secondsOf(uint64_t bytes, const WAVEFORMATEX& format) {
    return format.nAvgBytesPerSec == 0 ? 0 : bytes / format.nAvgBytesPerSec;
}

}  // namespace

Player::Player(platform::WaveOut& out, const WAVEFORMATEX& format, IPlaybackCallback* callback, uint32_t totalSeconds)
    : out_(out),
      format_(format),
      callback_(callback),
      totalMinutes_(static_cast<int>(totalSeconds / 60)),
      totalSeconds_(static_cast<int>(totalSeconds % 60)),
      memory_(kPlaybackBuffers * kPlaybackBufferBytes) {
    // A piece never ends inside a sample frame: the device plays whole frames only.
    const size_t align = format.nBlockAlign == 0 ? 1 : format.nBlockAlign;
    pieceBytes_ = align > kPlaybackBufferBytes ? kPlaybackBufferBytes : kPlaybackBufferBytes - kPlaybackBufferBytes % align;
}

bool Player::queue(const uint8_t* data, size_t bytes) {
    free_.acquire();
    lastBuffer_ = (lastBuffer_ + 1) % kPlaybackBuffers;
    uint8_t* buffer = memory_.data() + lastBuffer_ * kPlaybackBufferBytes;
    std::memcpy(buffer, data, bytes);
    if (!out_.write(buffer, bytes)) {
        // Nothing will complete this buffer.
        free_.release();
        return false;
    }
    return true;
}

bool Player::Write(const void* data, uint32_t byteCount) {
    const auto* p = static_cast<const uint8_t*>(data);
    size_t left = byteCount;
    const size_t align = format_.nBlockAlign == 0 ? 1 : format_.nBlockAlign;
    // First complete a frame the previous block cut.
    if (!carry_.empty()) {
        const size_t take = std::min(left, align - carry_.size());
        carry_.insert(carry_.end(), p, p + take);
        p += take;
        left -= take;
        if (carry_.size() == align) {
            queue(carry_.data(), carry_.size());
            carry_.clear();
        }
    }
    while (left >= align) {
        size_t n = std::min(left, pieceBytes_);
        n -= n % align;
        if (n == 0) break;  // a frame larger than a buffer: never played (see play)
        queue(p, n);
        p += n;
        left -= n;
    }
    carry_.assign(p, p + left);

    bytesPlayed_ += byteCount;
    const uint64_t position = secondsOf(bytesPlayed_, format_);
    if (position != 0 && callback_ != nullptr) {
        const HRESULT answer = callback_->OnPosition(static_cast<int>(position / 60), static_cast<int>(position % 60),
                                                     totalMinutes_, totalSeconds_);
        if (answer < 0) {
            stopped_ = true;
            return false;
        }
    }
    return true;
}

namespace {

// Everything but OnFinished.
void play(IConvSource* source, IPlaybackCallback* callback, const WaveOutFactory& makeOutput) {
    if (source == nullptr || !source->Open()) return;
    WAVEFORMATEX format{};
    uint32_t length = 0;
    if (!source->GetFormat(&format) || !source->GetLength(&length, -1, -1)) length = 0;
    const auto total = static_cast<uint32_t>(secondsOf(length, format));
    if (callback != nullptr && callback->OnPosition(0, 0, static_cast<int>(total / 60), static_cast<int>(total % 60)) < 0) {
        source->Close();
        return;
    }
    // A sample frame must fit in one buffer.
    std::unique_ptr<platform::WaveOut> out =
        makeOutput && format.nBlockAlign <= kPlaybackBufferBytes ? makeOutput() : nullptr;
    if (!out) {
        source->Close();
        return;
    }
    // The player is made before the device opens: the completion callback needs it.
    auto player = std::make_unique<Player>(*out, format, callback, total);
    if (!out->open(format, [p = player.get()] { p->bufferDone(); })) {
        // The caller's callback has no failure of its own; the log tells why nothing played.
        platform::log::write(TALLORY_LOG_ERROR, "Cannot open the sound device for " +
                                                    std::to_string(format.nSamplesPerSec) + " Hz, " +
                                                    std::to_string(format.nChannels) + " channels, " +
                                                    std::to_string(format.wBitsPerSample) + " bits");
        source->Close();
        return;
    }
    source->Run(player.get());
    source->Close();
    // A stop from the callback silences the device at once; otherwise what is
    // queued plays to its end.
    if (player->stopped()) out->reset();
    while (out->close() == platform::WaveCloseKind::stillPlaying) std::this_thread::sleep_for(kCloseRetry);
    out.reset();
    player.reset();
}

}  // namespace

void runPlayback(IConvSource* source, IPlaybackCallback* callback, const WaveOutFactory& makeOutput) {
    core::guardExportVoid("Playback", [&] { play(source, callback, makeOutput); });
    if (callback != nullptr) core::guardExportVoid("Playback", [&] { callback->OnFinished(); });
}

bool startPlayback(IConvSource* source, IPlaybackCallback* callback, WaveOutFactory makeOutput) {
    if (source == nullptr) return false;
    source->AddRef();
    try {
        std::thread([source, callback, make = std::move(makeOutput)] {
            runPlayback(source, callback, make);
            source->Release();
        }).detach();
    } catch (const std::system_error&) {
        source->Release();
        return false;
    }
    return true;
}

}  // namespace tallory::formats::playback

extern "C" TALLORY_API int Playback(IConvSource* source, IPlaybackCallback* callback) noexcept {
    return tallory::core::guardExport("Playback", 0, [&] {
        return tallory::formats::playback::startPlayback(source, callback, [] {
                   return tallory::platform::createAlsaWaveOut();
               })
                   ? 1
                   : 0;
    });
}
