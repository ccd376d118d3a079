#include "core/batch_convert.h"

#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <locale.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/batch_sounds.h"
#include "core/console_batch_progress.h"
#include "core/export_guard.h"
#include "core/naming_scheme.h"
#include "core/settings_store.h"
#include "core/ui_bridge.h"
#include "formats/loudness/loudness_session.h"
#include "metadata/text_codec.h"
#include "platform/desktop/trash.h"
#include "platform/files/file_system.h"
#include "platform/module/module_path.h"
#include "tallory/convert.h"
#include "tallory/formats.h"
#include "tallory/library.h"
#include "tallory/playlist.h"

namespace tallory::core {

namespace {

// Source paths are read whole; a cut path would name another file.
constexpr int kPathCapacity = 4096;
constexpr int kTextCapacity = 1024;
// The parallel loop looks at the clock this often while it waits for the oldest item.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

void log(IConvProgress* progress, const std::string& text, const char* kinds = "") {
    progress->MessageEx(text.c_str(), kinds);
}

std::string schemeOf(const BatchItem& item) { return std::string(item.scheme, strnlen(item.scheme, sizeof item.scheme)); }

// What the steps before the conversion learnt about an item.
struct ItemState {
    bool named = false;
    bool cdTrack = false;
    std::string sourcePath;
    std::string output;
};

struct BatchContext {
    const BatchItem* items;
    IConvBatchProgress* progress;
    int normalize;
    int deleteSources;
    bool addTracks;
    BatchResult result{};
    std::vector<std::string> toDelete;
    // Items converted, in item order, with their outputs: the album values go to them.
    std::vector<std::pair<int, std::string>> converted;
    // The console progress, which tells a stop (no new items) from a cancel.
    ConsoleBatchProgress* console = nullptr;

    bool stopRequested() const {
        return progress->IsCancelled() != 0 || (console != nullptr && console->stopRequested());
    }
};

// The steps before the conversion: the item's log lines and its output name.
ItemState beginItem(const BatchContext& c, int i, IConvProgress* log, const NameTaken& taken) {
    const BatchItem& item = c.items[i];
    ItemState st;
    std::vector<char> path(kPathCapacity, '\0');
    if (item.source->GetPath(path.data(), kPathCapacity)) st.sourcePath = path.data();

    std::string header = "Converting to ";
    if (c.normalize != 0) header += "normalized ";
    int formatIndex = item.target->GetFormatIndex();
    FormatInfo info;
    if (formatIndex >= 0 && SUCCEEDED(ConvGetFormatAt(&info, static_cast<uint32_t>(formatIndex)))) {
        info.name[sizeof info.name - 1] = '\0';
        header += info.name;
    }
    std::vector<char> text(kTextCapacity, '\0');
    if (item.target->GetSettingsText(text.data(), kTextCapacity)) header += std::string(" (") + text.data() + ")";
    header += ":\n";
    log->MessageEx(header.c_str(), "k");

    CLSID sourceClass{};
    st.cdTrack = item.source->GetClassId(&sourceClass) && sourceClass == CLSID_CDTrackSource;
    if (st.sourcePath.empty() || st.cdTrack) {
        std::string line = item.source->GetFileName(text.data(), kTextCapacity) ? text.data() : "(no name)";
        line += " on ";
        line += item.source->GetDirectory(text.data(), kTextCapacity) ? text.data() : "(no location)";
        log->MessageEx((line + "\n").c_str(), "");
    } else {
        log->MessageEx((st.sourcePath + "\n").c_str(), "");
    }

    NamingResult name = expandOutputName(item.scheme[0] != '\0' ? schemeOf(item).c_str() : "", formatIndex,
                                         item.source, taken);
    // The name travels in a fixed path field; a longer one is refused, not cut.
    if (name.ok && name.text.size() >= TALLORY_MAX_PATH) {
        char reason[160];
        std::snprintf(reason, sizeof reason, kMsgNameTooLong, name.text.size(), TALLORY_MAX_PATH - 1);
        name = {false, reason};
    }
    if (!name.ok) {
        log->MessageEx((name.text + "\n").c_str(), "e");
        return st;
    }
    item.target->SetPath(name.text.c_str());
    log->MessageEx(("--> " + name.text + "\n").c_str(), "");
    st.output = name.text;
    st.named = true;
    return st;
}

// Adds a CD track's output to the playlist of its album, next to the tracks.
void addToAlbumPlaylist(const BatchItem& item, const std::string& output, IConvProgress* progress) {
    std::string scheme = schemeOf(item);
    size_t album = scheme.find("<album>");
    std::string listScheme;
    if (album != std::string::npos) {
        listScheme = scheme.substr(0, album + 7);
    } else {
        std::string dir = platform::directoryOf(output);
        listScheme = (dir.empty() ? std::string() : dir == "/" ? dir : dir + "/") + "<album>";
    }
    char listPath[TALLORY_MAX_PATH];
    if (SuggestOutputFile(listScheme.c_str(), -1, item.source, listPath, sizeof listPath) == 0) return;
    IPlaylist* playlist = nullptr;
    if (FAILED(PlaylistCreateFromFile(listPath, &playlist)) || playlist == nullptr) return;
    bool saved = SUCCEEDED(playlist->AddEntry(output.c_str())) && SUCCEEDED(playlist->Save(listPath));
    playlist->Destroy();
    log(progress, saved ? kMsgPlaylistAdded : kMsgPlaylistNotWritten, saved ? "i" : "e");
}

// The steps after the conversion, in item order.
void endItem(BatchContext& c, int i, const ItemState& st, HRESULT hr) {
    IConvBatchProgress* progress = c.progress;
    if (st.named && hr == S_OK) {
        // A CD track's path names no file that could be moved.
        if (c.deleteSources != 0 && !st.sourcePath.empty() && !st.cdTrack) c.toDelete.push_back(st.sourcePath);
        ++c.result.converted;
        c.converted.emplace_back(i, st.output);
        if (st.cdTrack && c.addTracks) addToAlbumPlaylist(c.items[i], st.output, progress);
    } else {
        ++c.result.failed;
    }
    log(progress, "\n");
    progress->NextItem();
}

HRESULT convertItem(const BatchContext& c, int i, IConvProgress* progress) {
    const BatchItem& item = c.items[i];
    return AudioConvert(item.source, item.target, progress, 0, c.normalize, item.startMs, item.endMs);
}

void runSequential(BatchContext& c) {
    NameTaken onDisk;  // the file system decides
    for (int i = 0; i < c.result.items && !c.stopRequested(); ++i) {
        ItemState st = beginItem(c, i, c.progress, onDisk);
        HRESULT hr = st.named ? convertItem(c, i, c.progress) : E_FAIL;
        endItem(c, i, st, hr);
    }
}

// The callback of one item among several running at once. Its log is kept
// until the items before it are done, then handed on in order; only the
// oldest unfinished item ("live") drives the progress display.
class ItemProgress final : public IConvProgress {
public:
    ItemProgress(IConvBatchProgress* batch, std::mutex& questionMutex) : batch_(batch), questionMutex_(questionMutex) {}

    // Hands on what was kept and forwards from now on.
    void goLive() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [text, kinds] : kept_) batch_->MessageEx(text.c_str(), kinds.c_str());
        kept_.clear();
        if (hasRange_) {
            batch_->SetRange(range_);
            batch_->SetPos(position_);
        }
        live_ = true;
    }

    int ConfirmOverwrite(const char* path) override {
        std::lock_guard<std::mutex> lock(questionMutex_);
        return batch_->ConfirmOverwrite(path);
    }
    void Message(const char* text) override { MessageEx(text, ""); }
    void MessageEx(const char* text, const char* kinds) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (live_) {
            batch_->MessageEx(text, kinds);
        } else {
            kept_.emplace_back(text != nullptr ? text : "", kinds != nullptr ? kinds : "");
        }
    }
    void SetRange(uint32_t total) override {
        std::lock_guard<std::mutex> lock(mutex_);
        hasRange_ = true;
        range_ = total;
        position_ = 0;
        if (live_) batch_->SetRange(total);
    }
    void SetPos(uint32_t position) override {
        std::lock_guard<std::mutex> lock(mutex_);
        position_ = position;
        if (live_) batch_->SetPos(position);
    }
    void Advance(uint32_t delta) override {
        std::lock_guard<std::mutex> lock(mutex_);
        position_ += delta;
        if (live_) batch_->Advance(delta);
    }
    void SetAction(const char* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (live_) batch_->SetAction(text);
    }
    int IsCancelled() override { return batch_->IsCancelled(); }
    void SetItem(const char* text, int isPath) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (live_) batch_->SetItem(text, isPath);
    }
    void Throughput(const CLSID& classId, int isRead, uint32_t bytes, uint32_t ms) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (live_) batch_->Throughput(classId, isRead, bytes, ms);
    }
    void Destroy() override {}
    void Cancel() override { batch_->Cancel(); }
    HWND GetWindow() override { return batch_->GetWindow(); }
    HWND GetItemControl() override { return batch_->GetItemControl(); }
    void Create(HWND) override {}
    void Finish() override {}

private:
    IConvBatchProgress* batch_;
    std::mutex& questionMutex_;
    std::mutex mutex_;
    bool live_ = false;
    bool hasRange_ = false;
    uint32_t range_ = 0, position_ = 0;
    std::vector<std::pair<std::string, std::string>> kept_;
};

struct Slot {
    std::unique_ptr<ItemProgress> progress;
    ItemState state;
    std::thread worker;
    HRESULT hr = E_FAIL;
    bool done = false;
};

void runParallel(BatchContext& c, int jobs) {
    const int n = c.result.items;
    std::vector<Slot> slots(static_cast<size_t>(n));
    std::mutex mutex, questionMutex;
    std::condition_variable finished;
    // Names given to earlier items count as taken even before their files
    // exist, so every item gets the name it would get one after another.
    std::set<std::string> reserved;
    NameTaken taken = [&reserved](const std::string& p) { return reserved.count(p) != 0 || platform::pathExists(p); };

    int started = 0, flushed = 0, running = 0;
    while (true) {
        while (started < n && running < jobs && !c.stopRequested()) {
            Slot& slot = slots[static_cast<size_t>(started)];
            slot.progress = std::make_unique<ItemProgress>(c.progress, questionMutex);
            if (started == flushed) slot.progress->goLive();
            slot.state = beginItem(c, started, slot.progress.get(), taken);
            if (slot.state.named) {
                reserved.insert(slot.state.output);
                ++running;
                int index = started;
                slot.worker = std::thread([&c, &slots, &mutex, &finished, index] {
                    Slot& s = slots[static_cast<size_t>(index)];
                    HRESULT hr = convertItem(c, index, s.progress.get());
                    std::lock_guard<std::mutex> lock(mutex);
                    s.hr = hr;
                    s.done = true;
                    finished.notify_all();
                });
            } else {
                std::lock_guard<std::mutex> lock(mutex);
                slot.done = true;
            }
            ++started;
        }
        if (flushed == started) break;
        Slot& head = slots[static_cast<size_t>(flushed)];
        {
            std::unique_lock<std::mutex> lock(mutex);
            while (!head.done) finished.wait_for(lock, kWaitSlice);
        }
        if (head.worker.joinable()) {
            head.worker.join();
            --running;
        }
        head.progress->goLive();
        endItem(c, flushed, head.state, head.hr);
        head.progress.reset();
        ++flushed;
        if (flushed < started) slots[static_cast<size_t>(flushed)].progress->goLive();
    }
}

// The text of a frame of the source's tag; empty when absent.
std::string frameText(IMetadataTag* tag, int frameId) {
    ITextFrame* frame = nullptr;
    if (FAILED(tag->GetFrame(frameId, IID_ITextFrame, reinterpret_cast<void**>(&frame))) || frame == nullptr) return "";
    std::vector<char16_t> text(kTextCapacity + 1, u'\0');
    frame->GetText(text.data(), kTextCapacity);
    frame->Release();
    return metadata::utf8FromUtf16(text.data());
}

// Album and album artist of an item's source, "" when it names no album.
std::string albumKeyOf(IConvSource* source, std::string* album) {
    IMetadataFile* file = nullptr;
    if (!source->GetTag(&file) || file == nullptr) return "";
    IMetadataTag* tag = nullptr;
    std::string key;
    if (SUCCEEDED(file->ReadTag(&tag)) && tag != nullptr) {
        *album = frameText(tag, METADATA_FRAME_TALB);
        if (!album->empty()) key = *album + '\n' + frameText(tag, METADATA_FRAME_TPE2);
        tag->Release();
    }
    file->Release();
    return key;
}

// After the last item: files of one album (same album and album artist) get
// the album's loudness, measured over all of their audio together.
void writeAlbumLoudness(BatchContext& c) {
    struct Member {
        int item;
        std::string output;
        std::shared_ptr<loudness::LoudnessMeter> meter;
    };
    std::map<std::string, std::pair<std::string, std::vector<Member>>> albums;
    std::vector<std::string> order;
    for (const auto& [i, output] : c.converted) {
        std::shared_ptr<loudness::LoudnessMeter> meter = loudness::takeTrack(c.items[i].target);
        if (meter == nullptr) continue;
        std::string album;
        const std::string key = albumKeyOf(c.items[i].source, &album);
        if (key.empty()) continue;
        auto [it, added] = albums.try_emplace(key, album, std::vector<Member>{});
        if (added) order.push_back(key);
        it->second.second.push_back({i, output, std::move(meter)});
    }
    for (const std::string& key : order) {
        auto& [album, members] = albums[key];
        std::vector<const loudness::LoudnessMeter*> meters;
        for (const Member& m : members) meters.push_back(m.meter.get());
        TalloryLoudness l = loudness::combinedResult(meters);
        l.isAlbum = 1;
        char line[kTextCapacity];
        std::snprintf(line, sizeof line, "Album \"%s\" (%zu files): %.2f LUFS, peak %.6f; ReplayGain %s\n", album.c_str(),
                      members.size(), l.integratedLufs, l.samplePeak, loudness::gainText(l.replayGainDb).c_str());
        log(c.progress, line, "i");
        for (const Member& m : members) {
            IConvTarget* target = c.items[m.item].target;
            target->SetPath(m.output.c_str());
            IMetadataFile* file = nullptr;
            if (!target->OpenTag(&file) || file == nullptr) continue;
            IMetadataTag* tag = nullptr;
            CLSID targetClass{};
            target->GetClassId(&targetClass);
            bool written = false;
            if (SUCCEEDED(file->ReadTag(&tag)) && tag != nullptr) {
                loudness::setAlbumFrames(tag, l, targetClass == CLSID_OpusTarget);
                written = SUCCEEDED(file->WriteTag(tag));
                tag->Release();
            }
            file->Release();
            if (!written) log(c.progress, "Cannot write the album loudness tags of " + m.output + "\n", "e");
        }
        loudness::notifyMeasured(members.back().output.c_str(), l);
    }
}

void logHeader(IConvProgress* progress) {
    log(progress, std::string(TALLORY_PRODUCT_NAME) + " " + TALLORY_PRODUCT_VERSION + "\n", "b");
    int64_t written = -1;
    if (!platform::lastWriteTime(platform::modulePath(), &written)) written = -1;
    log(progress, "libtallory.so last updated " + libraryDateText(written));
    log(progress, std::string("\nCheck for updates: ") + kUpdatePageUrl + updateCode(written));
    log(progress, "\n\n");
}

void finishBatch(BatchContext& c) {
    IConvBatchProgress* progress = c.progress;
    progress->SetItem("Finished", 0);
    progress->Finish();
    log(progress, std::string("Need help? mailto:") + kSupportAddress +
                      "\nPlease include the message log when you report a problem.\n");
    if (c.stopRequested()) {
        c.result.cancelled = 1;
        log(progress, kMsgAborted, "e");
        return;
    }
    playNamedSound(kSoundConversionDone);
    char text[256];
    if (c.result.failed > 0) {
        std::snprintf(text, sizeof text, kMsgDoneWithFailures, c.result.failed, c.result.items);
    } else {
        std::snprintf(text, sizeof text, kMsgDoneAll, c.result.items);
    }
    ui::messageBox(progress->GetWindow(), text, TALLORY_PRODUCT_NAME,
                   MB_OK | (c.result.failed > 0 ? MB_ICONERROR : MB_ICONINFORMATION));
    // A message box on the console does not wait for the user, so the sound may end by itself.
    if (ui::hasUi()) {
        stopSounds();
    } else {
        waitForSounds();
    }
    if (c.deleteSources != 0 && !c.toDelete.empty()) {
        for (const platform::TrashFailure& f : platform::moveToTrash(c.toDelete)) {
            char line[kPathCapacity + 256];
            std::snprintf(line, sizeof line, kMsgNotTrashed, f.path.c_str(), f.reason.c_str());
            log(progress, line, "e");
        }
    }
}

}  // namespace

std::string libraryDateText(int64_t seconds) {
    if (seconds < 0) return "(unknown)";
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (::gmtime_r(&t, &utc) == nullptr) return "(unknown)";
    char text[128];
    // Month names in the user's language, as the long date form of the locale.
    locale_t user = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (user == static_cast<locale_t>(0)) user = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    size_t n = ::strftime_l(text, sizeof text, "%B %-d, %Y", &utc, user);
    ::freelocale(user);
    return n > 0 ? std::string(text, n) : "(unknown)";
}

std::string updateCode(int64_t seconds) {
    std::string digits = "45";
    std::tm utc{};
    std::time_t t = static_cast<std::time_t>(seconds);
    char date[16] = "000000";
    if (seconds >= 0 && ::gmtime_r(&t, &utc) != nullptr) std::strftime(date, sizeof date, "%y%m%d", &utc);
    digits += date;
    long long c = std::stoll(digits);
    char check[8];
    std::snprintf(check, sizeof check, "%02lld", (c / 7 * 3) % 100);
    return digits + check;
}

BatchResult runBatch(const BatchItem* items, IConvBatchProgress* progress, int normalize, int deleteSources,
                     int jobs) {
    BatchContext c{items, progress, normalize, deleteSources,
                   settings::readInt("Settings", "AddTracksToPlaylist", 1) != 0, BatchResult{}, {}, {}};
    c.console = dynamic_cast<ConsoleBatchProgress*>(progress);
    int n = 0;
    while (items != nullptr && items[n].target != nullptr) ++n;
    c.result.items = n;
    std::vector<IConvSource*> sources;
    std::vector<IConvTarget*> targets;
    for (int i = 0; i < n; ++i) {
        // Copied out: the packed record's pointers may sit at unaligned addresses.
        IConvSource* source = items[i].source;
        IConvTarget* target = items[i].target;
        sources.push_back(source);
        targets.push_back(target);
    }
    progress->StartBatch(sources.data(), targets.data(), normalize != 0, n);
    logHeader(progress);
    // Several items at once only without a UI module: its windows belong to the calling thread alone.
    // Measured conversions leave their meters for the album values while the batch runs.
    struct LoudnessBatch {
        bool on = loudness::enabled();
        LoudnessBatch() {
            if (on) loudness::beginBatch();
        }
        ~LoudnessBatch() {
            if (on) loudness::endBatch();
        }
    } loudnessBatch;
    if (jobs > 1 && !ui::hasUi()) {
        runParallel(c, jobs);
    } else {
        runSequential(c);
    }
    if (loudnessBatch.on && c.progress->IsCancelled() == 0) writeAlbumLoudness(c);
    finishBatch(c);
    return c.result;
}

}  // namespace tallory::core

using namespace tallory::core;

extern "C" {

static HRESULT batchConvertEx(const BatchItem* items, HWND* window, int normalize, int deleteSources,
                                   const BatchOptions* options, BatchResult* result) {
    BatchOptions o{sizeof(BatchOptions), 1, BATCH_OVERWRITE_ASK, 0};
    if (options != nullptr) {
        // An older caller may pass a shorter record; take only what it has.
        size_t n = options->size < sizeof o ? options->size : sizeof o;
        std::memcpy(&o, options, n);
    }
    if (result != nullptr) *result = BatchResult{};
    IConvBatchProgress* progress = nullptr;
    try {
        progress = ui::createBatchProgress();
        if (progress == nullptr) progress = new ConsoleBatchProgress(stderr, o.overwrite, o.quiet != 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    progress->Create(nullptr);
    if (window != nullptr) *window = progress->GetWindow();
    progress->Show();
    BatchResult r{};
    try {
        r = runBatch(items, progress, normalize, deleteSources, o.jobs);
    } catch (const std::exception&) {
        r.failed = r.items > r.converted ? r.items - r.converted : 1;
    }
    // The window stays until the user closes it.
    while (ui::hasUi() && progress->GetWindow() != nullptr) {
        ui::pumpMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (window != nullptr) *window = nullptr;
    progress->Destroy();
    if (result != nullptr) *result = r;
    if (r.cancelled != 0) return E_ABORT;
    return r.failed > 0 ? S_FALSE : S_OK;
}

TALLORY_API HRESULT BatchConvertEx(const BatchItem* items, HWND* window, int normalize, int deleteSources,
                                   const BatchOptions* options, BatchResult* result) noexcept {
    return tallory::core::guardExport("BatchConvertEx", E_FAIL, [&] { return batchConvertEx(items, window, normalize, deleteSources, options, result); });
}

static int batchConvert(const BatchItem* items, HWND* window, int normalize, int deleteSources) {
    BatchConvertEx(items, window, normalize, deleteSources, nullptr, nullptr);
    return 0;
}

TALLORY_API int BatchConvert(const BatchItem* items, HWND* window, int normalize, int deleteSources) noexcept {
    return tallory::core::guardExport("BatchConvert", 0, [&] { return batchConvert(items, window, normalize, deleteSources); });
}

}  // extern "C"
