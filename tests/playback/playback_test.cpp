// The preview player against an output that completes buffers on a timer
// (checking that no queued buffer is overwritten while it waits, and that at
// most eight are queued) and against ALSA's null device through the export.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "formats/playback/playback.h"
#include "memory_objects.h"
#include "tallory/ref.h"
#include "tallory/tallory.h"

namespace {

using namespace std::chrono_literals;
using tallory::formats::playback::runPlayback;
using tallory::platform::WaveCloseKind;
using tallory::platform::WaveOut;

// Completes one queued buffer every `period` on a thread of its own. At
// completion it compares the buffer's bytes with a copy taken at write time:
// a player that reuses a buffer still queued is caught.
class TimerWaveOut final : public WaveOut {
public:
    struct Log {
        std::mutex lock;
        bool opened = false;
        WAVEFORMATEX format{};
        std::vector<size_t> pieces;
        std::vector<uint8_t> played;
        size_t maxQueued = 0;
        int closeCalls = 0, stillPlayingAnswers = 0, resets = 0, corrupted = 0;
    };

    TimerWaveOut(Log& log, std::chrono::milliseconds period) : log_(log), period_(period) {}
    ~TimerWaveOut() override {
        {
            std::lock_guard<std::mutex> g(lock_);
            quit_ = true;
        }
        wake_.notify_all();
        if (timer_.joinable()) timer_.join();
    }

    bool open(const WAVEFORMATEX& format, std::function<void()> onDone) override {
        if (format.nAvgBytesPerSec == 0 || format.nBlockAlign == 0) return false;
        onDone_ = std::move(onDone);
        {
            std::lock_guard<std::mutex> g(log_.lock);
            log_.opened = true;
            log_.format = format;
        }
        timer_ = std::thread([this] { run(); });
        return true;
    }
    bool write(const uint8_t* data, size_t bytes) override {
        std::lock_guard<std::mutex> g(lock_);
        queue_.push_back({data, std::vector<uint8_t>(data, data + bytes)});
        std::lock_guard<std::mutex> l(log_.lock);
        log_.pieces.push_back(bytes);
        log_.maxQueued = std::max(log_.maxQueued, queue_.size());
        wake_.notify_all();
        return true;
    }
    void reset() override {
        std::unique_lock<std::mutex> g(lock_);
        dropping_ = true;
        wake_.notify_all();
        idle_.wait(g, [this] { return queue_.empty(); });
        dropping_ = false;
        std::lock_guard<std::mutex> l(log_.lock);
        ++log_.resets;
    }
    WaveCloseKind close() override {
        std::lock_guard<std::mutex> g(lock_);
        std::lock_guard<std::mutex> l(log_.lock);
        ++log_.closeCalls;
        if (!queue_.empty()) {
            ++log_.stillPlayingAnswers;
            return WaveCloseKind::stillPlaying;
        }
        return WaveCloseKind::closed;
    }

private:
    struct Pending {
        const uint8_t* data;
        std::vector<uint8_t> copy;
    };
    void run() {
        std::unique_lock<std::mutex> g(lock_);
        for (;;) {
            wake_.wait_for(g, dropping_ ? 0ms : period_, [this] { return quit_ || dropping_; });
            if (quit_) return;
            if (queue_.empty()) {
                wake_.wait(g, [this] { return quit_ || !queue_.empty(); });
                continue;
            }
            Pending p = std::move(queue_.front());
            {
                std::lock_guard<std::mutex> l(log_.lock);
                if (std::memcmp(p.data, p.copy.data(), p.copy.size()) != 0) ++log_.corrupted;
                if (!dropping_) log_.played.insert(log_.played.end(), p.copy.begin(), p.copy.end());
            }
            g.unlock();
            onDone_();
            g.lock();
            queue_.pop_front();
            if (queue_.empty()) idle_.notify_all();
        }
    }

    Log& log_;
    std::chrono::milliseconds period_;
    std::function<void()> onDone_;
    std::mutex lock_;
    std::condition_variable wake_, idle_;
    std::deque<Pending> queue_;
    bool quit_ = false, dropping_ = false;
    std::thread timer_;
};

// PCM of any format, delivered in blocks of chosen sizes; counts refused writes.
class BlockSource : public tallory::core::SourceBase {
public:
    WAVEFORMATEX pcmFormat{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    std::vector<uint8_t> pcm;
    uint32_t blockSize = 40000;
    bool failOpen = false;
    int writes = 0, refused = 0;
    std::atomic<bool> closed{false};

    bool GetClassId(CLSID* id) override {
        *id = CLSID_WavSource;
        return true;
    }
    bool Open() override {
        if (failOpen || !SourceBase::Open()) return false;
        format_ = pcmFormat;
        totalLength_ = static_cast<uint32_t>(pcm.size());
        return true;
    }
    bool Run(IConvSink* sink) override {
        if (!SourceBase::Run(sink)) return false;
        for (size_t at = 0; at < pcm.size(); at += blockSize) {
            ++writes;
            if (!sink->Write(pcm.data() + at, static_cast<uint32_t>(std::min<size_t>(blockSize, pcm.size() - at)))) {
                ++refused;
                return true;
            }
        }
        return true;
    }
    bool Close() override {
        closed = true;
        return SourceBase::Close();
    }
};

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    return v;
}

// Records the callback's calls; answers -1 from the position `stopAt` seconds on.
class RecordingCallback : public IPlaybackCallback {
public:
    struct Position {
        int cm, cs, tm, ts;
    };
    std::mutex lock;
    std::condition_variable finishedSignal;
    std::vector<Position> positions;
    int finished = 0;
    int stopAt = -1;
    std::thread::id thread;

    HRESULT OnPosition(int cm, int cs, int tm, int ts) override {
        std::lock_guard<std::mutex> g(lock);
        thread = std::this_thread::get_id();
        positions.push_back({cm, cs, tm, ts});
        return stopAt >= 0 && cm * 60 + cs >= stopAt ? -1 : S_OK;
    }
    void OnFinished() override {
        std::lock_guard<std::mutex> g(lock);
        ++finished;
        finishedSignal.notify_all();
    }
    bool waitFinished(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> g(lock);
        return finishedSignal.wait_for(g, limit, [this] { return finished > 0; });
    }
};

tallory::formats::playback::WaveOutFactory timerOutput(TimerWaveOut::Log& log, std::chrono::milliseconds period,
                                                       int* made = nullptr) {
    return [&log, period, made] {
        if (made != nullptr) ++*made;
        return std::make_unique<TimerWaveOut>(log, period);
    };
}

TEST(Playback, CutsBlocksIntoBufferPiecesAndPlaysEveryByte) {
    BlockSource source;
    source.pcm = pattern(40000);
    TimerWaveOut::Log log;
    RecordingCallback callback;
    runPlayback(&source, &callback, timerOutput(log, 1ms));
    EXPECT_EQ(log.pieces, (std::vector<size_t>{16384, 16384, 7232}));
    EXPECT_EQ(log.played, source.pcm);
    EXPECT_EQ(log.corrupted, 0);
    EXPECT_EQ(callback.finished, 1);
    ASSERT_FALSE(callback.positions.empty());
    // 40000 bytes at 176400 per second: the total is 0:00 and no later position is told.
    EXPECT_EQ(callback.positions.size(), 1u);
    EXPECT_EQ(callback.positions[0].ts, 0);
    EXPECT_TRUE(source.closed);
}

// Long playback: at most eight buffers out, none overwritten while queued, the
// position reported in whole seconds of the byte rate.
TEST(Playback, NeverQueuesMoreThanEightBuffers) {
    BlockSource source;
    source.pcmFormat = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    source.pcm = pattern(16000 * 3 + 2000);  // 3.125 s
    source.blockSize = 70000;
    TimerWaveOut::Log log;
    RecordingCallback callback;
    runPlayback(&source, &callback, timerOutput(log, 1ms));
    EXPECT_LE(log.maxQueued, 8u);
    EXPECT_EQ(log.corrupted, 0);
    EXPECT_EQ(log.played, source.pcm);
    ASSERT_GE(callback.positions.size(), 2u);
    EXPECT_EQ(callback.positions.front().cm, 0);
    EXPECT_EQ(callback.positions.front().ts, 3);  // total 0:03
    EXPECT_EQ(callback.positions.back().cs, 3);
    for (const auto& p : callback.positions) EXPECT_EQ(p.ts, 3);
}

// Pieces end on sample frames, also when a frame is 6 bytes and blocks end
// inside frames; the bytes reach the device in order.
TEST(Playback, PiecesAreWholeFrames) {
    BlockSource source;
    source.pcmFormat = {WAVE_FORMAT_PCM, 3, 8000, 48000, 6, 16, 0};
    source.pcm = pattern(6 * 9000);
    source.blockSize = 10001;
    TimerWaveOut::Log log;
    RecordingCallback callback;
    runPlayback(&source, &callback, timerOutput(log, 0ms));
    for (size_t piece : log.pieces) {
        EXPECT_EQ(piece % 6, 0u) << piece;
        EXPECT_LE(piece, 16384u);
    }
    EXPECT_EQ(log.played, source.pcm);
}

TEST(Playback, NegativePositionAnswerStopsAtTheNextBlock) {
    BlockSource source;
    source.pcm = pattern(176400 * 5);
    source.blockSize = 44100;  // a quarter second per block
    TimerWaveOut::Log log;
    RecordingCallback callback;
    callback.stopAt = 1;
    runPlayback(&source, &callback, timerOutput(log, 1ms));
    // The 4th block reaches 1 s: its Write answers false and the source stops there.
    EXPECT_EQ(source.writes, 4);
    EXPECT_EQ(source.refused, 1);
    EXPECT_EQ(callback.finished, 1);
    EXPECT_EQ(log.resets, 1);
    EXPECT_LE(log.played.size(), 4u * 44100);
}

TEST(Playback, ASourceThatCannotOpenStillFinishes) {
    BlockSource source;
    source.failOpen = true;
    TimerWaveOut::Log log;
    RecordingCallback callback;
    int made = 0;
    runPlayback(&source, &callback, timerOutput(log, 1ms, &made));
    EXPECT_EQ(made, 0);
    EXPECT_FALSE(log.opened);
    EXPECT_TRUE(callback.positions.empty());
    EXPECT_EQ(callback.finished, 1);
    runPlayback(nullptr, &callback, timerOutput(log, 1ms, &made));
    EXPECT_EQ(callback.finished, 2);
}

TEST(Playback, EmptyAndRatelessSources) {
    BlockSource empty;
    TimerWaveOut::Log log;
    RecordingCallback callback;
    runPlayback(&empty, &callback, timerOutput(log, 1ms));
    ASSERT_EQ(callback.positions.size(), 1u);
    EXPECT_EQ(callback.positions[0].tm, 0);
    EXPECT_EQ(callback.positions[0].ts, 0);
    EXPECT_EQ(callback.finished, 1);

    // A format with 0 bytes per second and 0 block alignment divides nothing.
    BlockSource rateless;
    rateless.pcmFormat = {WAVE_FORMAT_PCM, 2, 44100, 0, 0, 16, 0};
    rateless.pcm = pattern(50000);
    TimerWaveOut::Log log2;
    RecordingCallback callback2;
    runPlayback(&rateless, &callback2, timerOutput(log2, 1ms));
    ASSERT_EQ(callback2.positions.size(), 1u);
    EXPECT_EQ(callback2.positions[0].ts, 0);
    EXPECT_EQ(callback2.finished, 1);
    tallory::formats::playback::Player player(*std::make_unique<TimerWaveOut>(log2, 1ms), rateless.pcmFormat, nullptr, 0);
    EXPECT_EQ(player.pieceBytes(), 16384u);

    // A sample frame larger than a buffer cannot be played: no device, no hang.
    BlockSource huge;
    huge.pcmFormat = {WAVE_FORMAT_PCM, 2, 8000, 8000u * 20000, 20000, 16, 0};
    huge.pcm = pattern(60000);
    TimerWaveOut::Log log3;
    RecordingCallback callback3;
    int made = 0;
    runPlayback(&huge, &callback3, timerOutput(log3, 1ms, &made));
    EXPECT_EQ(made, 0);
    EXPECT_EQ(callback3.finished, 1);
}

// The close is retried while buffers still play; it succeeds only once the
// last one completed.
TEST(Playback, CloseIsRetriedWhileBuffersPlay) {
    BlockSource source;
    source.pcm = pattern(16384 * 6);
    TimerWaveOut::Log log;
    RecordingCallback callback;
    runPlayback(&source, &callback, timerOutput(log, 100ms));
    EXPECT_GE(log.stillPlayingAnswers, 1);
    EXPECT_EQ(log.closeCalls, log.stillPlayingAnswers + 1);
    EXPECT_EQ(log.played, source.pcm);
    EXPECT_EQ(log.corrupted, 0);
}

// The export: a thread of its own, the null ALSA device, the callback on that
// thread, the source's reference given back at the end.
TEST(Playback, ExportPlaysOnTheNullDevice) {
    setenv("TALLORY_AUDIO_DEVICE", "null", 1);
    auto* source = new BlockSource;
    source->AddRef();
    source->pcm = pattern(176400 * 2 + 1000);
    source->blockSize = 8820;
    RecordingCallback callback;
    ASSERT_NE(Playback(source, &callback), 0);
    ASSERT_TRUE(callback.waitFinished(30s));
    {
        std::lock_guard<std::mutex> g(callback.lock);
        EXPECT_NE(callback.thread, std::this_thread::get_id());
        ASSERT_FALSE(callback.positions.empty());
        EXPECT_EQ(callback.positions.back().cs, 2);
        EXPECT_EQ(callback.positions.back().ts, 2);
    }
    // The thread releases its reference right after OnFinished.
    for (int i = 0; i < 500; ++i) {
        const uint32_t count = source->AddRef();
        source->Release();
        if (count == 2) break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(source->AddRef(), 2u);
    source->Release();
    EXPECT_EQ(source->Release(), 0u);
    EXPECT_EQ(Playback(nullptr, &callback), 0);

    // A device that cannot be opened ends playback, OnFinished included.
    setenv("TALLORY_AUDIO_DEVICE", "no-such-device", 1);
    auto* second = new BlockSource;
    second->AddRef();
    second->pcm = pattern(1000);
    RecordingCallback callback2;
    ASSERT_NE(Playback(second, &callback2), 0);
    EXPECT_TRUE(callback2.waitFinished(30s));
    second->Release();
}

}  // namespace

namespace {

// The ALSA output itself, on the null device: every buffer completes exactly
// once, in order, also when a reset drops them; refusals for unplayable formats.
TEST(AlsaWaveOut, CompletesEveryBufferOnce) {
    auto out = tallory::platform::createAlsaWaveOut("null");
    std::mutex lock;
    std::condition_variable signal;
    int done = 0;
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    ASSERT_TRUE(out->open(format, [&] {
        std::lock_guard<std::mutex> g(lock);
        ++done;
        signal.notify_all();
    }));
    std::vector<uint8_t> pcm = pattern(16384 * 8);
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(out->write(pcm.data() + i * 16384, 16384));
    {
        std::unique_lock<std::mutex> g(lock);
        ASSERT_TRUE(signal.wait_for(g, 30s, [&] { return done == 8; }));
    }
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(out->write(pcm.data() + i * 16384, 16384));
    out->reset();
    {
        std::lock_guard<std::mutex> g(lock);
        EXPECT_EQ(done, 16);
    }
    EXPECT_EQ(out->close(), WaveCloseKind::closed);
    EXPECT_FALSE(out->write(pcm.data(), 4));
    EXPECT_EQ(out->close(), WaveCloseKind::closed);

    auto other = tallory::platform::createAlsaWaveOut("null");
    WAVEFORMATEX adpcm = format;
    adpcm.wFormatTag = 2;
    EXPECT_FALSE(other->open(adpcm, [] {}));
    WAVEFORMATEX oddAlign = format;
    oddAlign.nBlockAlign = 3;
    EXPECT_FALSE(other->open(oddAlign, [] {}));
    WAVEFORMATEX twelveBits = format;
    twelveBits.wBitsPerSample = 12;
    EXPECT_FALSE(other->open(twelveBits, [] {}));
    EXPECT_FALSE(tallory::platform::createAlsaWaveOut("no-such-device")->open(format, [] {}));
}

}  // namespace
