#include "cd/cd_drives.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "cd/cd_track_source.h"
#include "cd/cddb/cddb_client.h"
#include "cd/cddb/local_cache.h"
#include "cd/recording/drive_recording.h"
#include "cd/recording/write_speed.h"
#include "core/export_guard.h"
#include "core/settings_store.h"
#include "platform/cdio/audiocd.h"
#include "tallory/settings.h"

namespace tallory::cd {

using engine::scsi::DeviceRecord;
using engine::scsi::EngineError;

namespace {

std::mutex instanceMutex;
CDDrives* instance = nullptr;

// Where the "Error: " text of an engine start failure points for help.
constexpr const char* kSupportPage = "https://tallory.example/help/cd-drives";

// Digits after "/dev/sr": the N, or -1.
int nodeNumber(const std::string& node) {
    const std::string prefix = "/dev/sr";
    if (node.compare(0, prefix.size(), prefix) != 0 || node.size() == prefix.size() || node.size() > prefix.size() + 3)
        return -1;
    int n = 0;
    for (std::size_t i = prefix.size(); i < node.size(); ++i) {
        if (node[i] < '0' || node[i] > '9') return -1;
        n = n * 10 + (node[i] - '0');
    }
    return n;
}

}  // namespace

bool splitTrackPath(const std::string& path, std::string* root, int* track) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    const std::string name = path.substr(slash + 1);
    // "TrackNN.cda", case as the Windows file system shows it or lower.
    if (name.size() < 10 || name.size() > 11) return false;
    std::string lower = name;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (lower.compare(0, 5, "track") != 0 || lower.compare(lower.size() - 4, 4, ".cda") != 0) return false;
    const std::string digits = lower.substr(5, lower.size() - 9);
    if (digits.empty() || digits.size() > 2 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) return false;
    *track = std::stoi(digits);
    *root = path.substr(0, slash);
    return *track >= 1 && *track <= 99;
}

// ---- drive ----

CDDrive::CDDrive(CDDrives* owner, std::shared_ptr<engine::scsi::Device> device, int index)
    : owner_(owner), device_(std::move(device)), index_(index) {}

CDDrive::~CDDrive() {
    // The drive's end drops its disc data: edited texts go to the local cache first.
    try {
        bool store = false;
        {
            std::lock_guard lock(mutex_);
            store = modified_ && !records_.empty();
        }
        if (store) storeInCache(texts());
    } catch (...) {
    }
}

CDDrive::DiscTexts CDDrive::texts() {
    std::lock_guard lock(mutex_);
    DiscTexts t;
    t.serial = records_.empty() ? 0 : records_.front().discSerial;
    t.title = title_;
    t.artist = artist_;
    t.genre = genre_;
    t.category = category_;
    t.year = year_;
    for (const Entry& e : entries_) t.entries.emplace_back(e.title, e.extra);
    return t;
}

void CDDrive::storeInCache(const DiscTexts& t) {
    if (t.serial == 0) return;
    cddb::IniSection s{cddb::sectionName(t.serial), {}};
    s.set("EntryType", "1");
    s.set("Artist", t.artist);
    s.set("Title", t.title);
    s.set("Genre", t.category);
    s.set("ID3Genre", t.genre);
    s.set("Year", t.year == -1 ? "" : std::to_string(t.year));
    s.set("NumTracks", std::to_string(t.entries.size()));
    for (std::size_t i = 0; i < t.entries.size(); ++i) {
        s.set(std::to_string(i), t.entries[i].first);
        s.set("Ext" + std::to_string(i), t.entries[i].second);
    }
    std::string error;
    if (!cddb::storeCacheSection(s, &error)) std::fprintf(stderr, "tallory: local CD cache: %s\n", error.c_str());
}

HRESULT CDDrive::QueryInterface(const IID& riid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    *object = nullptr;
    if (riid != IID_IUnknown && riid != IID_ICDDrive) return E_NOINTERFACE;
    *object = static_cast<ICDDrive*>(this);
    AddRef();
    return S_OK;
}

uint32_t CDDrive::AddRef() {
    const uint32_t n = refs_.increment();
    if (n == 1) owner_->AddRef();
    return n;
}

uint32_t CDDrive::Release() {
    const uint32_t n = refs_.decrement();
    // The drive stays; the collection reference it lent goes back.
    if (n == 0) owner_->Release();
    return n;
}

std::string CDDrive::modelKey() const {
    const DeviceRecord& r = device_->record();
    return std::string(r.vendor) + r.product + r.revision;
}

int CDDrive::GetDriveLetter() {
    return core::guardExport("ICDDrive::GetDriveLetter", -1, [&] {
        {
            std::lock_guard lock(mutex_);
            if (letter_ != -1) return letter_;
        }
        // A drive with a node of its own is that node's N, whatever an old
        // setting of its model says (Linux numbers drives as it finds them).
        const int n = nodeNumber(root());
        if (n >= 0) {
            std::lock_guard lock(mutex_);
            letter_ = n;
            return n;
        }
        const int stored = core::settings::readInt(kAudioCdSection, modelKey().c_str(), -1);
        if (stored != -1) {
            std::lock_guard lock(mutex_);
            letter_ = stored;
            return stored;
        }
        DetectDriveLetter();
        std::lock_guard lock(mutex_);
        return letter_;
    });
}

HRESULT CDDrive::SetDriveLetter(int letter) {
    {
        std::lock_guard lock(mutex_);
        letter_ = letter;
    }
    PutProfileInt(kAudioCdSection, modelKey().c_str(), letter);
    return S_OK;
}

HRESULT CDDrive::DetectDriveLetter() {
    return core::guardExport("ICDDrive::DetectDriveLetter", E_FAIL, [&] {
        const int n = nodeNumber(root());
        // A drive without a node (an image) counts in the collection's order.
        return SetDriveLetter(n >= 0 ? n : index_);
    });
}

int CDDrive::GetCapabilities() {
    const DeviceRecord& r = device_->record();
    int caps = (r.featureFlags & engine::scsi::kFeatureReadsCdda) ? CD_CAPABILITY_READS_AUDIO : 0;
    if (r.peripheralType == engine::scsi::kDeviceRecorder) {
        if (r.featureFlags & engine::scsi::kFeatureWritesDao) caps |= CD_CAPABILITY_RECORDS;
        if (r.capabilityFlags & engine::scsi::kCapabilityBufferUnderrun) caps |= CD_CAPABILITY_BUFFER_UNDERRUN;
        if (r.capabilityFlags & engine::scsi::kCapabilityCdText) caps |= CD_CAPABILITY_CD_TEXT;
    }
    return caps;
}

HRESULT CDDrive::RefreshTOC() {
    return core::guardExport("ICDDrive::RefreshTOC", E_FAIL, [&]() -> HRESULT {
        bool store = false;
        {
            std::lock_guard lock(mutex_);
            store = modified_ && !records_.empty();
        }
        if (store) storeInCache(texts());
        {
            std::lock_guard lock(mutex_);
            records_.clear();
            entries_.clear();
            toc_.clear();
            layout_.clear();
            leadOut_ = 0;
            discId_ = 0;
            title_.clear();
            artist_.clear();
            genre_.clear();
            category_.clear();
            year_ = -1;
            modified_ = false;
        }
        uint8_t raw[804];
        uint32_t length = 0;
        std::vector<engine::scsi::TocEntry> entries;
        int first = 0, last = 0;
        try {
            device_->readToc(raw, sizeof raw, &length);
        } catch (const EngineError&) {
            return E_FAIL;
        }
        if (!engine::scsi::parseToc({raw, length}, entries, &first, &last, nullptr)) return E_FAIL;
        std::vector<TocTrack> toc;
        for (std::size_t i = 0; i + 1 < entries.size(); ++i)
            toc.push_back({entries[i].track, entries[i].lba, (entries[i].control & 0x04) == 0});
        const int32_t leadOut = entries.back().lba;
        std::vector<CDTrackRecord> records;
        std::vector<Entry> tableEntries;
        const uint32_t serial = discSerial(toc);
        for (std::size_t i = 0; i < toc.size(); ++i) {
            Entry e;
            if (toc[i].audio) {
                const int32_t next = i + 1 < toc.size() ? toc[i + 1].lba : leadOut;
                uint32_t len = uint32_t(next - toc[i].lba);
                if (i + 1 < toc.size() && !toc[i + 1].audio && len > kEnhancedCdGap) len -= kEnhancedCdGap;
                CDTrackRecord r{};
                r.version = 1;
                r.trackNumber = uint16_t(toc[i].number);
                r.discSerial = serial;
                r.startSector = uint32_t(toc[i].lba);
                r.lengthSectors = len;
                r.startMsf = packedMsf(uint32_t(toc[i].lba + 150));
                r.lengthMsf = packedMsf(len);
                e.recordIndex = int(records.size());
                records.push_back(r);
                char title[32];
                std::snprintf(title, sizeof title, "Track %d", toc[i].number);
                e.title = title;
            }
            tableEntries.push_back(std::move(e));
        }
        std::vector<ICDTrack*> detach;
        {
            std::lock_guard lock(mutex_);
            toc_ = toc;
            leadOut_ = leadOut;
            records_ = records;
            entries_ = std::move(tableEntries);
            discId_ = freedbDiscId(toc, leadOut);
            layout_.push_back(uint32_t(toc.size()));
            for (const TocTrack& t : toc) layout_.push_back(uint32_t(t.lba));
            layout_.push_back(uint32_t(leadOut));
            for (ICDTrack* t : tracks_) {
                CDTrackRecord have{};
                t->GetTrackRecord(&have);
                const bool same = std::any_of(records_.begin(), records_.end(), [&](const CDTrackRecord& r) {
                    return r.version == have.version && r.trackNumber == have.trackNumber &&
                           r.startSector == have.startSector && r.lengthSectors == have.lengthSectors &&
                           r.startMsf == have.startMsf && r.lengthMsf == have.lengthMsf;
                });
                if (!same) detach.push_back(t);
            }
        }
        // Outside the lock: Detach calls back into Unadvise.
        for (ICDTrack* t : detach) t->Detach();
        return S_OK;
    });
}

const uint32_t* CDDrive::GetDiscLayout() {
    std::lock_guard lock(mutex_);
    return layout_.empty() || layout_[0] == 0 ? nullptr : layout_.data();
}

uint32_t CDDrive::GetDiscId() {
    std::lock_guard lock(mutex_);
    return discId_;
}

HRESULT CDDrive::Advise(ICDTrack* track) {
    if (track == nullptr) return E_FAIL;
    ICDDrive* held = nullptr;
    if (FAILED(track->GetDrive(&held)) || held == nullptr) return E_FAIL;
    const bool mine = held == static_cast<ICDDrive*>(this);
    held->Release();
    if (!mine) return E_FAIL;
    std::lock_guard lock(mutex_);
    tracks_.push_back(track);
    return S_OK;
}

HRESULT CDDrive::Unadvise(ICDTrack* track) {
    std::lock_guard lock(mutex_);
    tracks_.erase(std::remove(tracks_.begin(), tracks_.end(), track), tracks_.end());
    return S_OK;
}

bool CDDrive::recordForTrack(int trackNumber, CDTrackRecord* record) {
    std::lock_guard lock(mutex_);
    for (const CDTrackRecord& r : records_)
        if (r.trackNumber == trackNumber) {
            *record = r;
            return true;
        }
    return false;
}

std::vector<CDTrackRecord> CDDrive::records() {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<TocTrack> CDDrive::tocTracks(int32_t* leadOut) {
    std::lock_guard lock(mutex_);
    if (leadOut != nullptr) *leadOut = leadOut_;
    return toc_;
}

int CDDrive::audioTrackCount() {
    std::lock_guard lock(mutex_);
    return int(records_.size());
}

int CDDrive::readOffset() {
    const int fallback = device_->record().readOffset;
    return core::settings::readInt(kAudioCdSection, (modelKey() + "Offset").c_str(), fallback);
}

HRESULT CDDrive::OpenTrack(int index, ICDTrack** track) {
    if (track == nullptr) return E_INVALIDARG;
    *track = nullptr;
    return core::guardExport("ICDDrive::OpenTrack", E_FAIL, [&]() -> HRESULT {
        CDTrackRecord r{};
        {
            std::lock_guard lock(mutex_);
            if (index < 0 || std::size_t(index) >= records_.size()) return E_INVALIDARG;
            r = records_[std::size_t(index)];
        }
        return CDTrackSource::createAttached(this, r, track);
    });
}

HRESULT CDDrive::OpenTrackByPath(const char* path, ICDTrack** track) {
    if (track == nullptr || path == nullptr) return E_INVALIDARG;
    *track = nullptr;
    return core::guardExport("ICDDrive::OpenTrackByPath", E_FAIL, [&]() -> HRESULT {
        std::string root;
        int number = 0;
        if (!splitTrackPath(path, &root, &number) || root != this->root()) return E_INVALIDARG;
        if (audioTrackCount() == 0 && FAILED(RefreshTOC())) return E_INVALIDARG;
        CDTrackRecord r{};
        if (!recordForTrack(number, &r)) return E_INVALIDARG;
        return CDTrackSource::createAttached(this, r, track);
    });
}

HRESULT CDDrive::GetTrackCount(int* count) {
    if (count == nullptr) return E_INVALIDARG;
    *count = audioTrackCount();
    return S_OK;
}

int CDDrive::GetMaxWriteSpeed() {
    // The device record gives the speed as a multiple of 1x; callers get an index into the speed table.
    if (device_->record().peripheralType != engine::scsi::kDeviceRecorder) return 0;
    return recording::speedIndexForFactor(device_->record().maxSpeedIndex);
}

int CDDrive::EstimateWriteMinutes(int speedIndex, uint32_t sectors) {
    return int(recording::estimateWriteMinutes(speedIndex, sectors));
}

HRESULT CDDrive::Record(HWND parent, IConvProgress* progress, const CDRecordRequest* request, uint32_t /*unused*/,
                        bool bufferUnderrunProtection) {
    return core::guardExport("ICDDrive::Record", E_FAIL, [&]() -> HRESULT {
        if (request == nullptr) return E_INVALIDARG;
        recording::RecordOptions options;
        options.parent = parent;
        options.underrunProtection = bufferUnderrunProtection;
        return recording::recordOnDrive(*this, progress, *request, options, nullptr);
    }, progress);
}
HRESULT CDDrive::startOperation(ICDDBCallback* callback, HRESULT (*run)(CDDrive&, ICDDBCallback*)) {
    if (callback == nullptr) return E_INVALIDARG;
    bool expected = false;
    // One operation of a drive at a time; a second is refused, not ignored.
    if (!busy_.compare_exchange_strong(expected, true)) return E_PENDING;
    AddRef();
    callback->AddRef();
    try {
        std::thread([this, callback, run] {
            HRESULT hr = E_FAIL;
            try {
                hr = run(*this, callback);
            } catch (...) {
                hr = E_FAIL;
            }
            callback->Finished(hr == S_OK);
            busy_ = false;
            callback->Release();
            Release();
        }).detach();
    } catch (const std::system_error&) {
        busy_ = false;
        callback->Release();
        Release();
        return E_FAIL;
    }
    return S_OK;
}
HRESULT CDDrive::LookupCDDB(ICDDBCallback* callback) {
    return core::guardExport("ICDDrive::LookupCDDB", E_FAIL, [&] { return startOperation(callback, cddb::runLookup); });
}
HRESULT CDDrive::SubmitCDDB(ICDDBCallback* callback) {
    return core::guardExport("ICDDrive::SubmitCDDB", E_FAIL, [&] { return startOperation(callback, cddb::runSubmit); });
}

HRESULT CDDrive::GetDescription(char* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return E_INVALIDARG;
    const DeviceRecord& r = device_->record();
    const int n = std::snprintf(buffer, std::size_t(capacity), "%s %s %s (%s)", r.vendor, r.product, r.revision,
                                root().c_str());
    return n >= 0 && n < capacity ? S_OK : S_FALSE;
}

bool CDDrive::copyText(const std::string& text, char* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return false;
    const std::size_t n = std::min(text.size(), std::size_t(capacity - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = 0;
    return !text.empty();
}

bool CDDrive::setText(std::string& field, const char* text) {
    std::lock_guard lock(mutex_);
    field = text != nullptr ? text : "";
    modified_ = true;
    return true;
}

bool CDDrive::GetTitle(char* b, int c) { std::lock_guard l(mutex_); return copyText(title_, b, c); }
bool CDDrive::GetArtist(char* b, int c) { std::lock_guard l(mutex_); return copyText(artist_, b, c); }
bool CDDrive::GetGenre(char* b, int c) { std::lock_guard l(mutex_); return copyText(genre_, b, c); }
bool CDDrive::GetCategory(char* b, int c) { std::lock_guard l(mutex_); return copyText(category_, b, c); }
bool CDDrive::GetYear(int* year) {
    if (year == nullptr) return false;
    std::lock_guard l(mutex_);
    *year = year_;
    return true;
}
bool CDDrive::GetTrackTitle(int index, char* b, int c) {
    std::lock_guard l(mutex_);
    if (index < 0 || std::size_t(index) >= entries_.size()) return false;
    return copyText(entries_[std::size_t(index)].title, b, c);
}
bool CDDrive::GetTrackExtra(int index, char* b, int c) {
    std::lock_guard l(mutex_);
    if (index < 0 || std::size_t(index) >= entries_.size()) return false;
    return copyText(entries_[std::size_t(index)].extra, b, c);
}
bool CDDrive::SetTitle(const char* t) { return setText(title_, t); }
bool CDDrive::SetArtist(const char* t) { return setText(artist_, t); }
bool CDDrive::SetGenre(const char* t) { return setText(genre_, t); }
bool CDDrive::SetCategory(const char* t) { return setText(category_, t); }
bool CDDrive::SetYear(int year) {
    std::lock_guard l(mutex_);
    year_ = year;
    return true;
}
bool CDDrive::SetTrackTitle(int index, const char* text) {
    std::lock_guard l(mutex_);
    if (index < 0 || std::size_t(index) >= entries_.size()) return false;
    entries_[std::size_t(index)].title = text != nullptr ? text : "";
    modified_ = true;
    return true;
}
bool CDDrive::SetTrackExtra(int index, const char* text) {
    std::lock_guard l(mutex_);
    if (index < 0 || std::size_t(index) >= entries_.size()) return false;
    entries_[std::size_t(index)].extra = text != nullptr ? text : "";
    modified_ = true;
    return true;
}

// ---- collection ----

CDDrives::CDDrives() {
    const int transfer = core::settings::readInt(kAudioCdSection, "ASPIBufferSize", 65000);
    try {
        layer_ = engine::scsi::ScsiLayer::start(uint32_t(std::max(transfer, 1)));
        for (const auto& device : layer_->devices()) {
            const uint8_t type = device->record().peripheralType;
            if (type != engine::scsi::kDeviceRecorder && type != engine::scsi::kDeviceReader) continue;
            if (drives_.size() >= kMaxDrives) break;
            drives_.push_back(std::make_unique<CDDrive>(this, device, int(drives_.size())));
        }
        // The CD reading library sees the same drives.
        std::vector<platform::cdio::AudioCdDevice> library;
        for (const auto& d : drives_) {
            const auto& r = d->device().record();
            library.push_back({r.hostAdapter, r.target, r.lun, d->root()});
        }
        platform::cdio::setAudioCdDevices(std::move(library));
    } catch (const EngineError& e) {
        initFailed_ = true;
        initError_ = e;
        drives_.clear();
    }
}

CDDrives::~CDDrives() = default;

bool CDDrives::exists() {
    std::lock_guard lock(instanceMutex);
    return instance != nullptr;
}

HRESULT CDDrives::get(ICDDrives** out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    std::lock_guard lock(instanceMutex);
    if (instance == nullptr) {
        try {
            instance = new CDDrives();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    instance->refs_.increment();
    *out = instance;
    return S_OK;
}

HRESULT CDDrives::QueryInterface(const IID& riid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    *object = nullptr;
    if (riid != IID_IUnknown && riid != IID_ICDDrives) return E_NOINTERFACE;
    *object = static_cast<ICDDrives*>(this);
    AddRef();
    return S_OK;
}

uint32_t CDDrives::AddRef() { return refs_.increment(); }

uint32_t CDDrives::Release() {
    uint32_t left;
    {
        // Under the instance lock, so that a concurrent CreateAudioCDDevices
        // never hands out a collection that is being destroyed.
        std::lock_guard lock(instanceMutex);
        left = refs_.decrement();
        if (left == 0 && instance == this) instance = nullptr;
    }
    if (left == 0) delete this;
    return left;
}

HRESULT CDDrives::GetDrive(int index, ICDDrive** drive) {
    if (drive == nullptr) return E_INVALIDARG;
    *drive = nullptr;
    if (index < 0 || std::size_t(index) >= drives_.size()) return E_INVALIDARG;
    drives_[std::size_t(index)]->AddRef();
    *drive = drives_[std::size_t(index)].get();
    return S_OK;
}

HRESULT CDDrives::SetDriveLetter(int index, int letter) {
    if (index < 0 || std::size_t(index) >= drives_.size()) return E_INVALIDARG;
    return drives_[std::size_t(index)]->SetDriveLetter(letter);
}

int CDDrives::GetDriveLetter(int index) {
    if (index < 0 || std::size_t(index) >= drives_.size()) return 0;
    return drives_[std::size_t(index)]->GetDriveLetter();
}

HRESULT CDDrives::GetDriveLetterTo(int index, int* letter) {
    if (letter == nullptr || index < 0 || std::size_t(index) >= drives_.size()) return E_INVALIDARG;
    *letter = drives_[std::size_t(index)]->GetDriveLetter();
    return S_OK;
}

HRESULT CDDrives::DetectDriveLetter(int index) {
    if (index < 0 || std::size_t(index) >= drives_.size()) return E_INVALIDARG;
    return drives_[std::size_t(index)]->DetectDriveLetter();
}

HRESULT CDDrives::FindDriveByLetter(int letter, ICDDrive** drive) {
    if (drive == nullptr) return E_INVALIDARG;
    *drive = nullptr;
    for (auto& d : drives_)
        if (d->GetDriveLetter() == letter) {
            d->AddRef();
            *drive = d.get();
            return S_OK;
        }
    return E_INVALIDARG;
}

HRESULT CDDrives::GetDriveDescription(int index, char* buffer, int capacity) {
    if (index < 0 || std::size_t(index) >= drives_.size()) return E_INVALIDARG;
    return drives_[std::size_t(index)]->GetDescription(buffer, capacity);
}

HRESULT CDDrives::GetInitError(char* buffer) {
    if (!initFailed_) {
        if (buffer != nullptr) buffer[0] = 0;
        return S_OK;
    }
    std::string text = "Error: " + initError_.mainText() + "\n" + initError_.detailText();
    if (initError_.code() == engine::scsi::kErrInitManager)
        text += std::string("\n\nPlease go here for more information:\n") + kSupportPage;
    if (buffer != nullptr) std::snprintf(buffer, TALLORY_MAX_PATH, "%s", text.c_str());
    return E_FAIL;
}

int CDDrives::GetDriveCapabilities(int index) {
    if (index < 0 || std::size_t(index) >= drives_.size()) return 0;
    return drives_[std::size_t(index)]->GetCapabilities();
}

int CDDrives::CountDrives(int mask) {
    int n = 0;
    for (auto& d : drives_)
        if (mask == 0 || (d->GetCapabilities() & mask) == mask) ++n;
    return n;
}

CDDrive* CDDrives::driveForPath(const std::string& path) {
    std::string root;
    int track = 0;
    if (!splitTrackPath(path, &root, &track)) return nullptr;
    for (auto& d : drives_)
        if (d->root() == root) return d.get();
    // "/dev/srN" names the drive whose letter is N.
    const int n = nodeNumber(root);
    if (n >= 0)
        for (auto& d : drives_)
            if (d->GetDriveLetter() == n) return d.get();
    return nullptr;
}

int CDDrives::indexOf(const CDDrive* drive) const {
    for (std::size_t i = 0; i < drives_.size(); ++i)
        if (drives_[i].get() == drive) return int(i);
    return -1;
}

}  // namespace tallory::cd
