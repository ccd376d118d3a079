#include "platform/scsi/disc_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tallory::platform::scsi {

std::shared_ptr<FileSectorStore> FileSectorStore::open(const std::string& path, bool writable, std::string* error) {
    const int fd = ::open(path.c_str(), (writable ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error != nullptr) *error = "cannot open \"" + path + "\": " + std::strerror(errno);
        return nullptr;
    }
    return std::shared_ptr<FileSectorStore>(new FileSectorStore(fd, writable));
}

FileSectorStore::~FileSectorStore() { ::close(fd_); }

bool FileSectorStore::read(int64_t byteOffset, std::span<uint8_t> out) {
    std::size_t done = 0;
    if (byteOffset < 0) return false;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, off_t(byteOffset + int64_t(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        done += std::size_t(n);
    }
    std::fill(out.begin() + std::ptrdiff_t(done), out.end(), uint8_t(0));
    return true;
}

bool FileSectorStore::write(int64_t byteOffset, std::span<const uint8_t> in) {
    if (!writable_ || byteOffset < 0) return false;
    std::size_t done = 0;
    while (done < in.size()) {
        const ssize_t n = ::pwrite(fd_, in.data() + done, in.size() - done, off_t(byteOffset + int64_t(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

int64_t FileSectorStore::size() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? int64_t(st.st_size) : 0;
}

bool MemorySectorStore::read(int64_t byteOffset, std::span<uint8_t> out) {
    if (byteOffset < 0) return false;
    std::fill(out.begin(), out.end(), uint8_t(0));
    if (byteOffset >= size()) return true;
    const std::size_t n = std::min<std::size_t>(out.size(), bytes_.size() - std::size_t(byteOffset));
    std::memcpy(out.data(), bytes_.data() + byteOffset, n);
    return true;
}

bool MemorySectorStore::write(int64_t byteOffset, std::span<const uint8_t> in) {
    if (byteOffset < 0) return false;
    const std::size_t end = std::size_t(byteOffset) + in.size();
    if (end > bytes_.size()) bytes_.resize(end);
    std::memcpy(bytes_.data() + byteOffset, in.data(), in.size());
    return true;
}

int fileSectorBytes(TrackModeKind mode) { return mode == TrackModeKind::Mode1Cooked ? 2048 : kRawSectorBytes; }

uint8_t DiscTrack::control() const {
    uint8_t c = 0;
    if (!audio()) c |= 0x04;
    if (copyPermitted) c |= 0x02;
    if (preemphasis && audio()) c |= 0x01;
    return c;
}

Msf lbaToMsf(int32_t lba) {
    const int32_t v = lba + kLbaOffset;
    return Msf{v / (60 * kSectorsPerSecond), (v / kSectorsPerSecond) % 60, v % kSectorsPerSecond};
}

const DiscTrack* DiscModel::trackAt(int32_t lba) const {
    for (const DiscTrack& t : tracks) {
        const int32_t first = t.fileFirstLba() - t.silentPregapSectors;
        if (lba >= first && lba < t.startLba + t.lengthSectors) return &t;
    }
    return nullptr;
}

const DiscTrack* DiscModel::track(int number) const {
    for (const DiscTrack& t : tracks)
        if (t.number == number) return &t;
    return nullptr;
}

namespace {

uint8_t bcd(int v) { return uint8_t(((v / 10) << 4) | (v % 10)); }

}  // namespace

bool DiscModel::readRawSector(int32_t lba, uint8_t* out) const {
    const DiscTrack* t = trackAt(lba);
    if (t == nullptr) return false;
    if (lba < t->fileFirstLba() || !t->store) {
        std::memset(out, 0, kRawSectorBytes);
        return true;
    }
    const int bytes = fileSectorBytes(t->mode);
    const int64_t offset = t->storeOffset + int64_t(lba - t->fileFirstLba()) * bytes;
    if (t->mode != TrackModeKind::Mode1Cooked) return t->store->read(offset, {out, std::size_t(kRawSectorBytes)});
    // ECMA-130 14: sync pattern, header with BCD address and mode 1; EDC/ECC left zero.
    std::memset(out, 0, kRawSectorBytes);
    out[0] = 0x00;
    std::memset(out + 1, 0xFF, 10);
    out[11] = 0x00;
    const Msf m = lbaToMsf(lba);
    out[12] = bcd(m.minutes);
    out[13] = bcd(m.seconds);
    out[14] = bcd(m.frames);
    out[15] = 0x01;
    return t->store->read(offset, {out + 16, 2048});
}

bool DiscModel::readAudioBytes(int64_t bytePos, std::span<uint8_t> out) const {
    std::size_t done = 0;
    uint8_t sector[kRawSectorBytes];
    while (done < out.size()) {
        const int64_t pos = bytePos + int64_t(done);
        const int64_t lba = pos >= 0 ? pos / kRawSectorBytes : -((-pos + kRawSectorBytes - 1) / kRawSectorBytes);
        const int64_t within = pos - lba * kRawSectorBytes;
        const std::size_t n = std::min<std::size_t>(out.size() - done, std::size_t(kRawSectorBytes - within));
        const DiscTrack* t = trackAt(int32_t(lba));
        if (t == nullptr || !t->audio()) {
            std::memset(out.data() + done, 0, n);
        } else {
            if (!readRawSector(int32_t(lba), sector)) return false;
            std::memcpy(out.data() + done, sector + within, n);
        }
        done += n;
    }
    return true;
}

std::string DiscModel::validate() const {
    if (tracks.empty()) return sessions.empty() || recordable ? "" : "a disc with sessions but no track";
    if (tracks.size() > 99) return "more than 99 tracks";
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const DiscTrack& t = tracks[i];
        if (t.number < 1 || t.number > 99) return "track number " + std::to_string(t.number) + " outside 1..99";
        if (i > 0 && t.number != tracks[i - 1].number + 1)
            return "track " + std::to_string(t.number) + " does not follow track " + std::to_string(tracks[i - 1].number);
        if (t.lengthSectors <= 0) return "track " + std::to_string(t.number) + " has no sectors";
        if (i > 0 && t.fileFirstLba() - t.silentPregapSectors < tracks[i - 1].startLba + tracks[i - 1].lengthSectors)
            return "track " + std::to_string(t.number) + " overlaps the track before it";
    }
    if (sessions.empty()) return "no session";
    for (const DiscSession& s : sessions) {
        const DiscTrack* last = track(s.lastTrack);
        if (track(s.firstTrack) == nullptr || last == nullptr || s.firstTrack > s.lastTrack)
            return "session " + std::to_string(s.number) + " names tracks the disc does not have";
        if (s.leadOutLba < last->startLba + last->lengthSectors)
            return "session " + std::to_string(s.number) + " ends before its last track";
    }
    return "";
}

}  // namespace tallory::platform::scsi
