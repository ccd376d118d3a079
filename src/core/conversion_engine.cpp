#include "core/conversion_engine.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/export_guard.h"
#include "core/report.h"
#include "core/settings_store.h"
#include "core/target_base.h"
#include "core/tempo_estimator.h"
#include "core/ui_bridge.h"
#include "formats/loudness/loudness_session.h"
#include "platform/files/file_system.h"
#include "platform/files/temp_file.h"
#include "platform/priority/priority.h"
#include "tallory/formats.h"

namespace tallory::core {

namespace {

constexpr uint32_t kNoLimit = 0xFFFFFFFFu;
// Long enough for any path the system can name; a path cut to a short buffer
// would slip past the same-file check.
constexpr int kPathCapacity = 4096;

uint32_t tickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// What both sinks share: the limit, throughput timing, the envelope and progress.
struct SinkState {
    IConvProgress* progress;
    EnvelopeCollector* envelope;
    uint32_t limit;
    CLSID sourceClass;
    uint32_t written = 0;
    uint32_t lastTick = 0;
    bool limitReached = false;
    // Measures what reaches the target, when loudness tags are asked for.
    loudness::LoudnessMeter* meter = nullptr;

    // The checks before a block; false stops the source.
    bool admit(const void* data, uint32_t byteCount) {
        if (progress->IsCancelled() != 0) return false;
        // Checked before the block, so the block that crosses the limit is written whole.
        if (limit != kNoLimit && written >= limit) {
            limitReached = true;
            return false;
        }
        if (envelope != nullptr) envelope->add(data, byteCount);
        uint32_t now = tickCount();
        if (lastTick != 0) progress->Throughput(sourceClass, 1, byteCount, now - lastTick);
        return true;
    }
};

class DirectSink final : public IConvSink {
public:
    DirectSink(SinkState& state, IConvTarget* target, const CLSID& targetClass)
        : state_(state), target_(target), targetClass_(targetClass) {}

    bool Write(const void* data, uint32_t byteCount) override {
        if (state_.progress->IsCancelled() != 0) return false;
        if (byteCount == 0) return true;
        if (!state_.admit(data, byteCount)) return false;
        uint32_t start = tickCount();
        if (!target_->Write(byteCount, data)) return false;
        if (state_.meter != nullptr) state_.meter->add(data, byteCount);
        uint32_t end = tickCount();
        state_.lastTick = end;
        state_.progress->Throughput(targetClass_, 0, byteCount, end - start);
        state_.progress->Advance(byteCount);
        state_.written += byteCount;
        return true;
    }

private:
    SinkState& state_;
    IConvTarget* target_;
    CLSID targetClass_;
};

// First normalization pass: analyse each block and keep it in the temporary file.
class NormalizingSink final : public IConvSink {
public:
    NormalizingSink(SinkState& state, INormalizer* normalizer, std::FILE* temp)
        : state_(state), normalizer_(normalizer), temp_(temp) {}

    bool Write(const void* data, uint32_t byteCount) override {
        if (state_.progress->IsCancelled() != 0) return false;
        if (byteCount == 0) return true;
        if (!state_.admit(data, byteCount)) return false;
        uint32_t start = tickCount();
        normalizer_->Analyze(byteCount, data);
        if (temp_ == nullptr || std::fwrite(data, 1, byteCount, temp_) != byteCount) {
            state_.progress->Message(kMsgTempWriteFailed);
            return false;
        }
        uint32_t end = tickCount();
        state_.lastTick = end;
        state_.progress->Throughput(CLSID_Normalizer, 0, byteCount, end - start);
        state_.progress->Advance(byteCount);
        state_.written += byteCount;
        return true;
    }

private:
    SinkState& state_;
    INormalizer* normalizer_;
    std::FILE* temp_;
};

struct NormalizerDeleter {
    void operator()(INormalizer* n) const {
        if (n != nullptr) n->Destroy();
    }
};

// The same file by device and inode, so links to the source are caught too.
bool isSameFile(IConvSource* source, IConvTarget* target) {
    std::vector<char> a(kPathCapacity), b(kPathCapacity);
    if (!source->GetPath(a.data(), kPathCapacity) || !target->GetPath(b.data(), kPathCapacity)) return false;
    return platform::sameFile(a.data(), b.data());
}

bool runNormalizedPasses(const ConversionRequest& r, SinkState& state, const WAVEFORMATEX& format, uint32_t length,
                         const CLSID& targetClass) {
    IConvProgress* progress = r.progress;
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(format.nAvgBytesPerSec > 0 ? format.nAvgBytesPerSec : 1);
    } catch (const std::bad_alloc&) {
        progress->MessageEx(kMsgOutOfMemory, "e");
        return false;
    }
    progress->SetAction("Normalizing:");
    INormalizer* raw = nullptr;
    if (FAILED(CreateNormalizer(&raw)) || raw == nullptr) {
        progress->MessageEx(kMsgNoNormalizer, "e");
        return false;
    }
    std::unique_ptr<INormalizer, NormalizerDeleter> normalizer(raw);
    std::string dir = platform::temporaryDirectory(settings::readString("Settings", "TempPath", ""));
    platform::UniqueFile temp = platform::createTempFile(dir, "nrm");
    if (!temp) {
        progress->MessageEx(kMsgNoTempFile, "e");
        return false;
    }
    normalizer->SetFormat(&format);

    NormalizingSink sink(state, normalizer.get(), temp.get());
    if (!r.source->Run(&sink) && !state.limitReached) return false;

    progress->SetPos(length);
    std::rewind(temp.get());
    progress->SetAction("Converting:");
    progress->SetPos(0);
    progress->SetRange(length);
    while (progress->IsCancelled() == 0) {
        uint32_t start = tickCount();
        size_t got = std::fread(buffer.data(), 1, buffer.size(), temp.get());
        if (got == 0) break;
        uint32_t n = static_cast<uint32_t>(got);
        normalizer->Apply(n, buffer.data(), buffer.data());
        uint32_t processed = tickCount();
        progress->Throughput(CLSID_Normalizer, 1, n, processed - start);
        if (!r.target->Write(n, buffer.data())) return false;
        if (state.meter != nullptr) state.meter->add(buffer.data(), n);
        uint32_t written = tickCount();
        progress->Throughput(targetClass, 0, n, written - processed);
        progress->Advance(n);
    }
    // A read error ends the pass like the end of the file, but is not a success.
    return std::ferror(temp.get()) == 0;
}

// The track's values in the log, and once per format a note when its files hold no tags.
TalloryLoudness reportLoudness(const loudness::LoudnessMeter& meter, IConvTarget* target, IConvProgress* progress) {
    const TalloryLoudness l = meter.result();
    report(progress, "i", "Loudness: %.2f LUFS, peak %.6f; ReplayGain %s", l.integratedLufs, l.samplePeak,
           loudness::gainText(l.replayGainDb).c_str());
    IMetadataFile* file = nullptr;
    const bool taggable = target->OpenTag(&file) && file != nullptr;
    if (file != nullptr) file->Release();
    CLSID targetClass{};
    target->GetClassId(&targetClass);
    if (!taggable && loudness::firstUntaggable(targetClass)) {
        FormatInfo info{};
        const int index = target->GetFormatIndex();
        const bool named = index >= 0 && SUCCEEDED(ConvGetFormatAt(&info, static_cast<uint32_t>(index)));
        report(progress, "i", "%s files cannot hold loudness tags; the values are not stored",
               named ? info.name : "These");
    }
    return l;
}

}  // namespace

HRESULT runConversion(const ConversionRequest& r) {
    if (r.source == nullptr || r.target == nullptr || r.progress == nullptr) return E_INVALIDARG;
    IConvSource* source = r.source;
    IConvTarget* target = r.target;
    IConvProgress* progress = r.progress;

    bool ok = false, sourceOpen = false, targetOpen = false;
    std::unique_ptr<EnvelopeCollector> envelope;
    std::shared_ptr<loudness::LoudnessMeter> meter;
    // A source, target or callback that throws fails the conversion; the cleanup below still runs.
    const bool finished = guardExport("AudioConvert", false, [&] {
        source->SetProgress(progress);
        target->SetProgress(progress);
        progress->SetAction("Converting:");
        char name[TALLORY_MAX_PATH];
        if (source->GetFileName(name, sizeof name)) progress->SetItem(name, 1);
        do {
            if (isSameFile(source, target)) {
                progress->MessageEx(kMsgSameFile, "e");
                break;
            }
            if (r.startMs != -1) source->SetStartTime(r.startMs);
            // Marked first: a source whose Open throws is closed like an opened one.
            sourceOpen = true;
            if (!source->Open()) {
                sourceOpen = false;
                break;
            }
            WAVEFORMATEX format{};
            source->GetFormat(&format);
            target->SetSource(source);
            target->SetFormat(&format);
            uint32_t length = 0;
            source->GetLength(&length, r.startMs, r.endMs);
            uint32_t limit = kNoLimit;
            if (r.startMs != -1 || r.endMs != -1) {
                if (format.nBlockAlign > 0) length -= length % format.nBlockAlign;
                limit = length;
            }
            targetOpen = true;
            if (!target->Open()) {
                targetOpen = false;
                break;
            }
            ok = true;

            CLSID targetClass{}, sourceClass{};
            target->GetClassId(&targetClass);
            source->GetClassId(&sourceClass);
            progress->SetPos(0);
            progress->SetRange(length);

            int highPriority = settings::readInt("Settings", "HighPriority", 1);
            std::unique_ptr<platform::PriorityBoost> boost;
            if (highPriority > 1 || highPriority < 0 || (highPriority == 1 && sourceClass == CLSID_CDTrackSource)) {
                boost = std::make_unique<platform::PriorityBoost>();
            }
            if (settings::readInt("Settings", "BPMAnalysis", 0) != 0) envelope = EnvelopeCollector::create(length);

            if (loudness::enabled()) meter = loudness::LoudnessMeter::create(format);
            SinkState state{progress, envelope.get(), limit, sourceClass};
            state.meter = meter.get();
            if (!r.normalize) {
                DirectSink sink(state, target, targetClass);
                if (!source->Run(&sink) && !state.limitReached) ok = false;
            } else if (!runNormalizedPasses(r, state, format, length, targetClass)) {
                ok = false;
            }
            if (ok && length > 0 && state.written == 0 && !state.limitReached && progress->IsCancelled() == 0) {
                progress->MessageEx(kMsgNothingDecoded, "e");
                ok = false;
            }
        } while (false);
        return true;
    }, progress);
    if (!finished) ok = false;

    if (!guardExport("AudioConvert", false, [&] { return progress->IsCancelled() == 0; }, progress)) ok = false;
    if (sourceOpen) guardExportVoid("AudioConvert", [&] { source->Close(); }, progress);
    // Whole or absent: a failed or cancelled conversion leaves no output under its name.
    if (!ok && targetOpen) {
        if (auto* own = dynamic_cast<TargetBase*>(target)) own->abandonOutput();
    }
    if (targetOpen && !guardExport("AudioConvert", false, [&] { return target->Close(); }, progress)) ok = false;
    double bpm = 0;
    if (envelope && ok) {
        guardExportVoid("AudioConvert", [&] {
            progress->SetItem("BPM Analysis...", 0);
            bpm = envelope->estimateBpm();
            if (bpm > 0) report(progress, "i", "Tempo: %.1f BPM", bpm);
        }, progress);
    }
    envelope.reset();
    TalloryLoudness measured{};
    const bool haveLoudness = ok && meter != nullptr;
    if (haveLoudness) {
        guardExportVoid("AudioConvert", [&] { measured = reportLoudness(*meter, target, progress); }, progress);
    }
    guardExportVoid("AudioConvert", [&] { source->SetProgress(nullptr); }, progress);
    guardExportVoid("AudioConvert", [&] { target->SetProgress(nullptr); }, progress);
    guardExportVoid("AudioConvert", [&] { target->SetSource(nullptr); }, progress);

    if (ok && !guardExport("AudioConvert", false, [&] {
            writeConversionTag(source, target, bpm, haveLoudness ? &measured : nullptr);
            return true;
        }, progress)) {
        ok = false;
    }
    if (haveLoudness) {
        guardExportVoid("AudioConvert", [&] {
            std::vector<char> output(kPathCapacity, '\0');
            if (!target->GetPath(output.data(), kPathCapacity)) output[0] = '\0';
            loudness::notifyMeasured(output.data(), measured);
            loudness::recordTrack(target, std::move(meter));
        }, progress);
    }
    return ok ? S_OK : E_FAIL;
}

}  // namespace tallory::core

extern "C" TALLORY_API HRESULT AudioConvert(IConvSource* source, IConvTarget* target, IConvProgress* progress,
                                            int /*reserved*/, int normalize, int startMs, int endMs) noexcept {
    using namespace tallory::core;
    if (source == nullptr || target == nullptr || progress == nullptr) return E_INVALIDARG;
    // The worker is created inside the guard: a thread that cannot start is a failed conversion.
    return guardExport("AudioConvert", E_FAIL, [&] {
        ConversionRequest request{source, target, progress, normalize != 0, startMs, endMs};

        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        HRESULT result = E_FAIL;
        std::thread worker([&] {
            // Nothing may escape the thread; a failure inside is a failed conversion.
            HRESULT hr = guardExport("AudioConvert", E_FAIL, [&] { return runConversion(request); }, progress);
            std::lock_guard<std::mutex> lock(mutex);
            result = hr;
            done = true;
            ended.notify_all();
        });
        // Keep the caller's windows alive while the worker runs.
        const bool pump = ui::hasUi();
        std::unique_lock<std::mutex> lock(mutex);
        while (!done) {
            if (pump) {
                lock.unlock();
                ui::pumpMessages();
                lock.lock();
                ended.wait_for(lock, std::chrono::milliseconds(5), [&] { return done; });
            } else {
                ended.wait(lock, [&] { return done; });
            }
        }
        lock.unlock();
        worker.join();
        return result;
    }, progress);
}
