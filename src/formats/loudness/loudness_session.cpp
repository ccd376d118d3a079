#include "formats/loudness/loudness_session.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/export_guard.h"
#include "metadata/id3_support.h"
#include "metadata/metadata_tag.h"
#include "metadata/text_codec.h"
#include "metadata/vorbis_comments.h"

namespace tallory::loudness {

namespace {

struct Session {
    std::mutex mutex;
    std::atomic<bool> enabled{false};
    TalloryLoudnessCallback callback = nullptr;
    void* context = nullptr;
    std::vector<CLSID> untaggable;
    int batches = 0;
    std::map<IConvTarget*, std::shared_ptr<LoudnessMeter>> tracks;
};

Session& session() {
    static Session s;
    return s;
}

bool sameName(const std::u16string& a, const char* b) {
    std::string u = metadata::utf8FromUtf16(a);
    for (char& c : u) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return u == b;
}

// Removes the TXXX frames of these names and adds one per (name, value).
void replaceUserTexts(IMetadataTag* tag, const std::vector<std::pair<const char*, std::string>>& values,
                      const std::vector<const char*>& removed) {
    metadata::MetadataTag* ours = metadata::asMetadataTag(tag);
    if (ours == nullptr) return;
    ID3_Tag& library = ours->library();
    std::vector<ID3_Frame*> doomed;
    metadata::id3::forEachFrame(library, [&](ID3_Frame& frame) {
        if (frame.GetID() != ID3FID_USERTEXT) return true;
        const std::u16string name = metadata::id3::fieldText(frame, ID3FN_DESCRIPTION).value_or(u"");
        for (const char* r : removed) {
            if (sameName(name, r)) {
                doomed.push_back(&frame);
                break;
            }
        }
        return true;
    });
    for (ID3_Frame* f : doomed) delete library.RemoveFrame(f);
    for (const auto& [name, value] : values) {
        IUserTextFrame* frame = nullptr;
        if (FAILED(MetadataCreateFrame(METADATA_FRAME_TXXX, IID_IUserTextFrame, reinterpret_cast<void**>(&frame))) ||
            frame == nullptr) {
            continue;
        }
        frame->SetDescription(metadata::utf16FromUtf8(name).c_str());
        frame->SetText(metadata::utf16FromUtf8(value).c_str());
        frame->AttachTo(tag);
        frame->Release();
    }
}

}  // namespace

bool enabled() { return session().enabled.load(); }

void notifyMeasured(const char* outputPath, const TalloryLoudness& loudness) {
    Session& s = session();
    TalloryLoudnessCallback callback;
    void* context;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        callback = s.callback;
        context = s.context;
    }
    if (callback != nullptr) callback(context, outputPath, &loudness);
}

bool firstUntaggable(const CLSID& targetClass) {
    Session& s = session();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const CLSID& c : s.untaggable) {
        if (c == targetClass) return false;
    }
    s.untaggable.push_back(targetClass);
    return true;
}

void beginBatch() {
    Session& s = session();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.batches;
}

void endBatch() {
    Session& s = session();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.batches > 0) --s.batches;
    if (s.batches == 0) s.tracks.clear();
}

void recordTrack(IConvTarget* target, std::shared_ptr<LoudnessMeter> meter) {
    Session& s = session();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.batches == 0 || target == nullptr) return;
    s.tracks[target] = std::move(meter);
}

std::shared_ptr<LoudnessMeter> takeTrack(IConvTarget* target) {
    Session& s = session();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.tracks.find(target);
    if (it == s.tracks.end()) return nullptr;
    std::shared_ptr<LoudnessMeter> meter = std::move(it->second);
    s.tracks.erase(it);
    return meter;
}

void setTrackFrames(IMetadataTag* tag, const TalloryLoudness& l, bool opus) {
    using namespace metadata;
    if (opus) {
        replaceUserTexts(tag, {{kR128TrackGainField, r128Text(l.r128GainDb)}},
                         {kR128TrackGainField, kTrackGainField, kTrackPeakField});
    } else {
        replaceUserTexts(tag, {{kTrackGainField, gainText(l.replayGainDb)}, {kTrackPeakField, peakText(l.samplePeak)}},
                         {kTrackGainField, kTrackPeakField, kR128TrackGainField});
    }
}

void setAlbumFrames(IMetadataTag* tag, const TalloryLoudness& l, bool opus) {
    using namespace metadata;
    if (opus) {
        replaceUserTexts(tag, {{kR128AlbumGainField, r128Text(l.r128GainDb)}},
                         {kR128AlbumGainField, kAlbumGainField, kAlbumPeakField});
    } else {
        replaceUserTexts(tag, {{kAlbumGainField, gainText(l.replayGainDb)}, {kAlbumPeakField, peakText(l.samplePeak)}},
                         {kAlbumGainField, kAlbumPeakField, kR128AlbumGainField});
    }
}

}  // namespace tallory::loudness

extern "C" {

TALLORY_API HRESULT ConvSetLoudnessAnalysis(int enabled, TalloryLoudnessCallback callback, void* context) noexcept {
    return tallory::core::guardExport("ConvSetLoudnessAnalysis", E_FAIL, [&] {
        auto& s = tallory::loudness::session();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.callback = callback;
        s.context = context;
        s.untaggable.clear();
        s.enabled.store(enabled != 0);
        return S_OK;
    });
}

TALLORY_API int ConvGetLoudnessAnalysis(void) noexcept {
    return tallory::core::guardExport("ConvGetLoudnessAnalysis", 0,
                                      [&] { return tallory::loudness::enabled() ? 1 : 0; });
}

}  // extern "C"
