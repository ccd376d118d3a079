#include "platform/cdio/audiocd.h"

#include <cdio/cdio.h>
#include <cdio/track.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace tallory::platform::cdio {

namespace {

std::mutex mutex;
std::vector<AudioCdDevice> devices;
thread_local uint32_t lastError = 0;

constexpr uint32_t kErrNoDevice = 1;
constexpr uint32_t kErrOpen = 2;
constexpr uint32_t kErrRead = 3;
constexpr uint32_t kErrArgument = 4;

struct Handle {
    CdIo_t* cdio = nullptr;
    ~Handle() {
        if (cdio != nullptr) cdio_destroy(cdio);
    }
};

uint32_t failWith(uint32_t code) {
    lastError = code;
    return 0;
}

}  // namespace

void setAudioCdDevices(std::vector<AudioCdDevice> list) {
    std::lock_guard lock(mutex);
    devices = std::move(list);
}

uint32_t GetCDList(CDDriveList* list) {
    if (list == nullptr) return failWith(kErrArgument);
    std::lock_guard lock(mutex);
    const uint8_t max = std::min<uint8_t>(list->maxEntries, 8);
    list->count = 0;
    for (const AudioCdDevice& d : devices) {
        if (list->count >= max) break;
        CDDriveEntry& e = list->entries[list->count++];
        std::memset(&e, 0, sizeof e);
        e.hostAdapter = d.hostAdapter;
        e.target = d.target;
        e.lun = d.lun;
        std::strncpy(reinterpret_cast<char*>(e.rest), d.path.c_str(), sizeof e.rest - 1);
    }
    return 1;
}

CDHandle GetCDHandle(const CDHandleRequest* request) {
    if (request == nullptr || request->size != sizeof(CDHandleRequest)) return failWith(kErrArgument);
    std::string path;
    {
        std::lock_guard lock(mutex);
        for (const AudioCdDevice& d : devices)
            if (d.hostAdapter == request->hostAdapter && d.target == request->target && d.lun == request->lun) {
                path = d.path;
                break;
            }
    }
    if (path.empty()) return failWith(kErrNoDevice);
    auto h = std::make_unique<Handle>();
    const bool cue = path.size() > 4 && path.compare(path.size() - 4, 4, ".cue") == 0;
    h->cdio = cue ? cdio_open_cue(path.c_str()) : cdio_open(path.c_str(), DRIVER_DEVICE);
    if (h->cdio == nullptr) return failWith(kErrOpen);
    lastError = 0;
    return reinterpret_cast<CDHandle>(h.release());
}

void CloseCDHandle(CDHandle handle) { delete reinterpret_cast<Handle*>(handle); }

uint32_t ReadTOC(CDHandle handle, CDTableOfContents* toc) {
    Handle* h = reinterpret_cast<Handle*>(handle);
    if (h == nullptr || toc == nullptr) return failWith(kErrArgument);
    std::memset(toc, 0, sizeof *toc);
    const track_t first = cdio_get_first_track_num(h->cdio);
    const track_t count = cdio_get_num_tracks(h->cdio);
    if (first == CDIO_INVALID_TRACK || count == CDIO_INVALID_TRACK || count == 0 || count > 99) return failWith(kErrRead);
    toc->firstTrack = first;
    toc->lastTrack = uint8_t(first + count - 1);
    int n = 0;
    auto put = [&](uint8_t track, lsn_t lsn, bool data) {
        CDTocEntry& e = toc->entries[n++];
        e.adrControl = uint8_t(0x10 | (data ? 0x04 : 0));
        e.track = track;
        const uint32_t v = uint32_t(lsn);
        e.lba[0] = uint8_t(v >> 24);
        e.lba[1] = uint8_t(v >> 16);
        e.lba[2] = uint8_t(v >> 8);
        e.lba[3] = uint8_t(v);
    };
    for (track_t t = first; t < first + count && n < 99; ++t)
        put(uint8_t(t), cdio_get_track_lsn(h->cdio, t), cdio_get_track_format(h->cdio, t) != TRACK_FORMAT_AUDIO);
    put(0xAA, cdio_get_track_lsn(h->cdio, CDIO_CDROM_LEADOUT_TRACK), false);
    toc->length = uint16_t(2 + n * 8);
    return 1;
}

uint32_t QueryCDParms(CDHandle handle, int which, int* value) {
    if (handle == 0 || value == nullptr || which != kParmMaxSpeed) return failWith(kErrArgument);
    // libcdio does not tell the drive's top speed; -1 asks the drive for its maximum.
    *value = -1;
    return 1;
}

uint32_t ModifyCDParms(CDHandle handle, int which, int value) {
    Handle* h = reinterpret_cast<Handle*>(handle);
    if (h == nullptr || which != kParmSpeed) return failWith(kErrArgument);
    return cdio_set_speed(h->cdio, value) == DRIVER_OP_SUCCESS ? 1 : failWith(kErrRead);
}

uint32_t ReadCDAudioLBA(CDHandle handle, CDTrackBuffer* buffer) {
    Handle* h = reinterpret_cast<Handle*>(handle);
    if (h == nullptr || buffer == nullptr || buffer->frameCount == 0 ||
        std::size_t(buffer->frameCount) * CDIO_CD_FRAMESIZE_RAW > buffer->maxLength)
        return failWith(kErrArgument);
    if (cdio_read_audio_sectors(h->cdio, buffer->data, lsn_t(buffer->startFrame), buffer->frameCount) !=
        DRIVER_OP_SUCCESS) {
        buffer->length = 0;
        buffer->status = 1;
        return failWith(kErrRead);
    }
    buffer->length = buffer->frameCount * CDIO_CD_FRAMESIZE_RAW;
    buffer->status = 0;
    buffer->startOffset = 0;
    return 1;
}

uint32_t GetAspiLibError() { return lastError; }

}  // namespace tallory::platform::cdio
