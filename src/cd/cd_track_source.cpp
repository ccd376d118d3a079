#include "cd/cd_track_source.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "cd/cd_drives.h"
#include "cd/disc_id.h"
#include "cd/engine/scsi/audio_reader.h"
#include "core/export_guard.h"
#include "core/report.h"
#include "core/settings_store.h"
#include "metadata/text_codec.h"
#include "platform/cdio/audiocd.h"
#include "tallory/guids.h"

namespace tallory::cd {

using engine::scsi::EngineError;

namespace {

std::mutex optionsMutex;
CDReadOptions options{sizeof(CDReadOptions), 0, 0, 0};

// Frame identifiers of the tag model.
constexpr int kFrameTrack = 68, kFrameTitle = 47, kFrameSubtitle = 48, kFrameAlbum = 29, kFrameArtist = 61,
              kFrameGenre = 32, kFrameYear = 80, kFrameLength = 51, kFrameMedia = 53;

std::string timeOf(int32_t sectors) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d.%02d", sectors / 4500, sectors / 75 % 60, sectors % 75);
    return text;
}

}  // namespace

CDReadOptions currentReadOptions() {
    std::lock_guard lock(optionsMutex);
    return options;
}

void setReadOptions(const CDReadOptions& o) {
    std::lock_guard lock(optionsMutex);
    options = o;
    options.size = sizeof(CDReadOptions);
}

IUnknown* CDTrackSource::create() { return static_cast<IConvSource*>(new CDTrackSource()); }

CDTrackSource::CDTrackSource() {
    track_.self = this;
    tag_.self = this;
}

CDTrackSource::~CDTrackSource() { detach(); }

uint32_t CDTrackSource::Release() {
    const uint32_t left = refs_.decrement();
    if (left == 0) delete this;
    return left;
}

void* CDTrackSource::queryExtra(const IID& riid) {
    if (riid == IID_ICDTrack) return static_cast<ICDTrack*>(&track_);
    if (riid == IID_IMetadataFile) return static_cast<IMetadataFile*>(&tag_);
    return nullptr;
}

HRESULT CDTrackSource::createAttached(CDDrive* drive, const CDTrackRecord& record, ICDTrack** out) {
    auto* source = new CDTrackSource();
    source->AddRef();
    source->attach(drive, record);
    *out = &source->track_;
    return S_OK;
}

void CDTrackSource::attach(CDDrive* drive, const CDTrackRecord& record) {
    {
        std::lock_guard lock(mutex_);
        drive->AddRef();
        drive_ = drive;
        record_ = record;
    }
    drive->Advise(&track_);
}

HRESULT CDTrackSource::detach() {
    CDDrive* d;
    {
        std::lock_guard lock(mutex_);
        d = std::exchange(drive_, nullptr);
    }
    if (d != nullptr) {
        d->Unadvise(&track_);
        d->Release();
    }
    return S_OK;
}

CDDrive* CDTrackSource::heldDrive() {
    std::lock_guard lock(mutex_);
    if (drive_ != nullptr) drive_->AddRef();
    return drive_;
}

HRESULT CDTrackSource::Track::GetLength(int* minutes, int* seconds, int* frames) {
    std::lock_guard lock(self->mutex_);
    if (self->drive_ == nullptr) return E_FAIL;
    const uint32_t s = self->record_.lengthSectors;
    if (minutes != nullptr) *minutes = int(s / 4500);
    if (seconds != nullptr) *seconds = int(s / 75 % 60);
    if (frames != nullptr) *frames = int(s % 75);
    return S_OK;
}

HRESULT CDTrackSource::Track::GetDrive(ICDDrive** drive) {
    if (drive == nullptr) return E_INVALIDARG;
    *drive = self->heldDrive();
    return *drive != nullptr ? S_OK : E_FAIL;
}

HRESULT CDTrackSource::Track::GetTrackRecord(CDTrackRecord* record) {
    if (record == nullptr) return E_INVALIDARG;
    std::lock_guard lock(self->mutex_);
    if (self->drive_ == nullptr) return E_FAIL;
    *record = self->record_;
    return S_OK;
}

bool CDTrackSource::SetPath(const char* path) {
    return core::guardExport("CDTrackSource::SetPath", false, [&] {
        detach();
        if (path == nullptr) return false;
        ICDDrives* drives = nullptr;
        if (FAILED(CreateAudioCDDevices(&drives))) return false;
        CDDrive* drive = static_cast<CDDrives*>(drives)->driveForPath(path);
        bool ok = false;
        std::string root;
        int number = 0;
        if (drive != nullptr && splitTrackPath(path, &root, &number) && SUCCEEDED(drive->RefreshTOC())) {
            CDTrackRecord r{};
            if (drive->recordForTrack(number, &r)) {
                attach(drive, r);
                path_ = path;
                ok = true;
            }
        }
        drives->Release();
        return ok;
    });
}

bool CDTrackSource::GetPath(char* buffer, int capacity) {
    CDDrive* d = heldDrive();
    if (d == nullptr || buffer == nullptr || capacity <= 0) {
        if (d != nullptr) d->Release();
        return false;
    }
    char name[16];
    std::snprintf(name, sizeof name, "/Track%02d.cda", record_.trackNumber);
    const std::string p = d->root() + name;
    d->Release();
    if (p.size() >= std::size_t(capacity)) return false;
    std::memcpy(buffer, p.c_str(), p.size() + 1);
    return true;
}

bool CDTrackSource::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_CDTrackSource;
    return true;
}

bool CDTrackSource::GetFileName(char* buffer, int capacity) {
    CDDrive* d = heldDrive();
    if (d == nullptr) return false;
    int32_t leadOut = 0;
    const auto toc = d->tocTracks(&leadOut);
    const int first = toc.empty() ? 1 : toc.front().number;
    const bool ok = d->GetTrackTitle(record_.trackNumber - first, buffer, capacity);
    d->Release();
    return ok;
}

bool CDTrackSource::GetDirectory(char* buffer, int capacity) {
    CDDrive* d = heldDrive();
    if (d == nullptr) return false;
    const bool ok = SUCCEEDED(d->GetDescription(buffer, capacity));
    d->Release();
    return ok;
}

bool CDTrackSource::Open() {
    return core::guardExport("CDTrackSource::Open", false, [&] {
        CDDrive* d = heldDrive();
        if (d == nullptr) return false;
        d->Release();
        if (!SourceBase::Open()) return false;
        jitterMode_ = core::settings::readInt(kAudioCdSection, "JitterCorrection", 0);
        errorMode_ = core::settings::readInt(kAudioCdSection, "ErrorMode", 0);
        {
            std::lock_guard lock(mutex_);
            firstSector_ = int32_t(record_.startSector);
            endSector_ = int32_t(record_.startSector + record_.lengthSectors);
            totalLength_ = record_.lengthSectors * 2352u;
        }
        if (startTimeMs_ != -1) firstSector_ += int32_t(double(startTimeMs_) * 0.075);
        format_ = WAVEFORMATEX{1, 2, 44100, 176400, 4, 16, 0};
        return true;
    }, progress_);
}

bool CDTrackSource::Run(IConvSink* sink) {
    return core::guardExport("CDTrackSource::Run", false, [&] {
        if (!SourceBase::Run(sink)) return false;
        CDDrive* d = heldDrive();
        if (d == nullptr) {
            error("The track is no longer on the disc in the drive");
            return false;
        }
        const bool library = core::settings::readInt("Settings", "NoGoldenhawk", 0) != 0;
        const bool ok = library ? runLibrary(sink, d) : runEngine(sink, d);
        d->Release();
        return ok;
    }, progress_);
}

bool CDTrackSource::runEngine(IConvSink* sink, CDDrive* drive) {
    engine::scsi::Device& device = drive->device();
    // One stop flag per read, so that parallel rips never stop each other.
    std::atomic<bool> stop{false};
    try {
        device.setSpeed(core::settings::readInt(kAudioCdSection, "ReadingSpeed", -1));
    } catch (const EngineError& e) {
        core::report(progress_, "i", "Setting spindle speed failed\n");
        core::report(progress_, "i", "%s\n", e.mainText().c_str());
        core::report(progress_, "i", "%s\n", e.detailText().c_str());
    }
    const CDReadOptions o = currentReadOptions();
    int32_t leadOut = 0;
    const auto toc = drive->tocTracks(&leadOut);
    int firstAudio = 0, lastAudio = 0;
    for (const TocTrack& t : toc)
        if (t.audio) {
            if (firstAudio == 0) firstAudio = t.number;
            lastAudio = t.number;
        }
    CDTrackRecord rec;
    {
        std::lock_guard lock(mutex_);
        rec = record_;
    }
    report_ = CDRipReport{};
    report_.size = sizeof(CDRipReport);
    report_.trackNumber = rec.trackNumber;
    report_.audioTrackCount = drive->audioTrackCount();
    report_.secure = o.secure;
    report_.readOffset = o.useOffset ? o.offset : drive->readOffset();
    report_.firstSilencedSector = -1;
    report_.firstUnsureSector = -1;
    ran_ = true;
    const int32_t count = endSector_ - firstSector_;
    if (count <= 0) {
        // A start past the track's end delivers nothing.
        return true;
    }
    AccurateRipChecksum checksum(uint32_t(count) * 588u, rec.trackNumber == firstAudio && count == int32_t(rec.lengthSectors),
                                 rec.trackNumber == lastAudio);
    engine::scsi::AudioReadOptions ro;
    ro.jitterSetting = jitterMode_;
    ro.errorMode = errorMode_;
    ro.readOffset = report_.readOffset;
    ro.discEnd = leadOut;
    ro.secure = o.secure != 0;
    ro.stop = &stop;
    ro.deliver = [&](const uint8_t* data, uint32_t sectors) {
        checksum.add(data, std::size_t(sectors) * 2352);
        if (!sink->Write(data, sectors * 2352u)) stop = true;
        return true;
    };
    ro.note = [&](const std::string& line) { core::report(progress_, "i", "%s\n", line.c_str()); };
    try {
        const auto rep = engine::scsi::readAudioSectors(device, firstSector_, count, ro);
        report_.complete = count == int32_t(rec.lengthSectors);
        report_.accurateRipV1 = checksum.v1();
        report_.accurateRipV2 = checksum.v2();
        report_.jitterRereads = rep.jitterRereads;
        report_.silencedSectors = uint32_t(rep.silencedSectors.size());
        if (!rep.silencedSectors.empty()) report_.firstSilencedSector = rep.silencedSectors.front();
        report_.unsureRanges = uint32_t(rep.unsureRanges.size());
        if (!rep.unsureRanges.empty()) report_.firstUnsureSector = rep.unsureRanges.front().first;
        for (const auto& r : rep.unsureRanges)
            core::report(progress_, "i", "Track %d: %s to %s did not read the same twice\n", rec.trackNumber,
                         timeOf(r.first - int32_t(rec.startSector)).c_str(),
                         timeOf(r.second + 1 - int32_t(rec.startSector)).c_str());
        report_.accurate = o.secure && rep.secureVerified && rep.silencedSectors.empty();
        return true;
    } catch (const EngineError& e) {
        const std::string main = e.mainText(), detail = e.detailText();
        if (!main.empty()) core::report(progress_, "e", "%s\n", main.c_str());
        if (!detail.empty()) core::report(progress_, "e", "%s\n", detail.c_str());
        if (e.code() == engine::scsi::kErrBufferTooBig || e.detailCode() == engine::scsi::kErrBufferTooBig)
            core::report(progress_, "i", "Please go to File | Settings | CD Audio and reduce the ASPI buffer size\n");
        return false;
    }
}

bool CDTrackSource::runLibrary(IConvSink* sink, CDDrive* drive) {
    namespace lib = platform::cdio;
    constexpr uint32_t kBytes = lib::kLibraryFrames * 2352;
    std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[offsetof(lib::CDTrackBuffer, data) + kBytes]);
    if (!storage) {
        error("Out of memory");
        return false;
    }
    auto* buffer = reinterpret_cast<lib::CDTrackBuffer*>(storage.get());
    const auto& dev = drive->device().record();
    lib::CDDriveList list{};
    list.maxEntries = 8;
    lib::GetCDList(&list);
    const lib::CDDriveEntry* entry = nullptr;
    for (int i = 0; i < list.count && i < 8; ++i)
        if (list.entries[i].hostAdapter == dev.hostAdapter && list.entries[i].target == dev.target &&
            list.entries[i].lun == dev.lun)
            entry = &list.entries[i];
    if (entry == nullptr) {
        error("AKRIP: FindAudioCD failed");
        return false;
    }
    const lib::CDHandleRequest request{sizeof(lib::CDHandleRequest), 1, dev.hostAdapter, dev.target, dev.lun, 0, 2, 1, 3};
    auto runAtTopSpeed = [](lib::CDHandle h) {
        int top = 0;
        lib::QueryCDParms(h, lib::kParmMaxSpeed, &top);
        std::printf("maxspeed=%d\n", top);
        if (lib::ModifyCDParms(h, lib::kParmSpeed, top) == 0) std::printf("failed to set cd speed\n");
    };
    lib::CDHandle disc = lib::GetCDHandle(&request);
    lib::CDTableOfContents toc{};
    if (disc == 0 || lib::ReadTOC(disc, &toc) == 0) {
        if (disc != 0) lib::CloseCDHandle(disc);
        error("AKRIP: AudioCD::Open failed");
        return false;
    }
    runAtTopSpeed(disc);
    CDTrackRecord rec;
    {
        std::lock_guard lock(mutex_);
        rec = record_;
    }
    const int index = rec.trackNumber - toc.firstTrack;
    const int entries = toc.lastTrack - toc.firstTrack + 1;
    lib::CloseCDHandle(disc);
    if (index < 0 || index >= entries) {
        error("AKRIP: GetTrack failed");
        return false;
    }
    auto lbaOf = [&](int i) {
        const uint8_t* b = toc.entries[i].lba;
        return int32_t((uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]);
    };
    const int32_t start = lbaOf(index);
    int32_t length = lbaOf(index + 1) - start;
    // An enhanced CD's audio ends 11400 sectors before its data track, as the
    // engine way counts it.
    if (index + 1 < entries && (toc.entries[index + 1].adrControl & 0x04) != 0 && length > int32_t(kEnhancedCdGap))
        length -= int32_t(kEnhancedCdGap);
    disc = lib::GetCDHandle(&request);
    if (disc == 0) {
        error("AKRIP: Track::Open failed");
        return false;
    }
    runAtTopSpeed(disc);
    int32_t at = std::max(start, firstSector_ - int32_t(rec.startSector) + start);
    const int32_t end = start + length;
    bool ok = true;
    while (at < end) {
        buffer->startFrame = uint32_t(at);
        buffer->frameCount = uint32_t(std::min<int32_t>(int32_t(lib::kLibraryFrames), end - at));
        buffer->maxLength = kBytes;
        buffer->length = kBytes;
        buffer->status = 0;
        buffer->startOffset = 0;
        if (lib::ReadCDAudioLBA(disc, buffer) == 0 || buffer->length == 0) {
            error("AKRIP: reading sectors %d to %d failed (error %u)", at, at + int32_t(buffer->frameCount) - 1,
                  lib::GetAspiLibError());
            ok = false;
            break;
        }
        if (!sink->Write(buffer->data, buffer->length)) break;
        at += int32_t(buffer->frameCount);
    }
    std::printf("closing audiocd\n");
    lib::CloseCDHandle(disc);
    std::printf("freeing trackbuf\n");
    return ok;
}

bool CDTrackSource::GetTag(IMetadataFile** tag) {
    if (tag == nullptr) return false;
    AddRef();
    *tag = &tag_;
    return true;
}

HRESULT CDTrackSource::readTag(IMetadataTag** out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    return core::guardExport("CDTrackSource::ReadTag", E_FAIL, [&]() -> HRESULT {
        CDDrive* d = heldDrive();
        if (d == nullptr) return E_FAIL;
        IMetadataTag* tag = nullptr;
        if (FAILED(MetadataCreateTag(&tag)) || tag == nullptr) {
            d->Release();
            return E_FAIL;
        }
        auto add = [&](int id, const std::string& text) {
            if (text.empty()) return;
            ITextFrame* frame = nullptr;
            if (FAILED(MetadataCreateFrame(id, IID_ITextFrame, reinterpret_cast<void**>(&frame))) || frame == nullptr)
                return;
            frame->SetText(metadata::utf16FromUtf8(text).c_str());
            frame->AttachTo(tag);
            frame->Release();
        };
        int32_t leadOut = 0;
        const auto toc = d->tocTracks(&leadOut);
        const int first = toc.empty() ? 1 : toc.front().number;
        CDTrackRecord rec;
        {
            std::lock_guard lock(mutex_);
            rec = record_;
        }
        char buf[TALLORY_MAX_PATH];
        auto text = [&](bool ok) { return ok ? std::string(buf) : std::string(); };
        std::snprintf(buf, sizeof buf, "%d/%d", rec.trackNumber, d->audioTrackCount());
        add(kFrameTrack, buf);
        add(kFrameTitle, text(d->GetTrackTitle(rec.trackNumber - first, buf, sizeof buf)));
        add(kFrameSubtitle, text(d->GetTrackExtra(rec.trackNumber - first, buf, sizeof buf)));
        std::string album = text(d->GetTitle(buf, sizeof buf));
        if (album.empty() && d->GetDiscId() != 0) {
            std::snprintf(buf, sizeof buf, "%08X", d->GetDiscId());
            album = buf;
        }
        add(kFrameAlbum, album);
        add(kFrameArtist, text(d->GetArtist(buf, sizeof buf)));
        add(kFrameGenre, text(d->GetGenre(buf, sizeof buf)));
        int year = -1;
        d->GetYear(&year);
        if (year != -1) add(kFrameYear, std::to_string(year));
        const uint32_t s = rec.lengthSectors;
        const uint32_t ms = s / 4500 * 60000 + s / 75 % 60 * 1000 + s % 75 * 1000 / 75;
        if (ms != 0) add(kFrameLength, std::to_string(ms));
        add(kFrameMedia, "CD");
        d->Release();
        *out = tag;
        return S_OK;
    });
}

bool CDTrackSource::report(CDRipReport* out) {
    if (!ran_ || out == nullptr) return false;
    *out = report_;
    return true;
}

}  // namespace tallory::cd
