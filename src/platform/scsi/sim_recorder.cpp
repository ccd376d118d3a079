#include "platform/scsi/sim_recorder.h"

#include <cstdio>
#include <fstream>

namespace tallory::platform::scsi {

namespace {

// Sense a drive returns for a write command sent out of sequence.
constexpr uint8_t kIllegal = 0x05;

int32_t msfToLba(uint8_t m, uint8_t s, uint8_t f) { return (int32_t(m) * 60 + s) * 75 + f - kLbaOffset; }

std::string cueMsf(int32_t frames) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", frames / 4500, frames / 75 % 60, frames % 75);
    return buf;
}

// Past the 16 bytes of sync and header, one byte in every 128 inverted: an
// audio compare and a data checksum both see it.
void damageBytes(uint8_t* sector) {
    for (int i = 16; i < kRawSectorBytes; i += 128) sector[i] ^= 0xFF;
}

}  // namespace

SimulatedRecorder::SimulatedRecorder(SimulatedDrive& drive, int32_t capacitySectors)
    : drive_(drive), capacity_(capacitySectors), store_(std::make_shared<MemorySectorStore>()) {
    auto add = [this](uint8_t op, uint8_t len, const char* name, void (SimulatedRecorder::*fn)(SimCommand&)) {
        drive_.registerCommand({op, len, name, true, true, [this, fn](SimCommand& c) { (this->*fn)(c); }});
    };
    add(0x55, 10, "MODE SELECT(10)", &SimulatedRecorder::modeSelect10);
    add(0x5D, 10, "SEND CUE SHEET", &SimulatedRecorder::sendCueSheet);
    add(0x2A, 10, "WRITE(10)", &SimulatedRecorder::write10);
    add(0x35, 10, "SYNCHRONIZE CACHE", &SimulatedRecorder::synchronizeCache);
    add(0x51, 10, "READ DISC INFORMATION", &SimulatedRecorder::readDiscInformation);
    auto blank = std::make_shared<DiscModel>();
    blank->recordable = true;
    blank->capacitySectors = capacitySectors;
    drive_.loadDisc(std::move(blank));
}

void SimulatedRecorder::modeSelect10(SimCommand& c) {
    // PF must be set: the page format is the only one MMC knows.
    if ((c.cdb(1) & 0x10) == 0) return c.invalidField();
    const uint16_t length = c.cdb16(7);
    if (length == 0) return;
    std::vector<uint8_t> data;
    if (!c.receiveData(data, length)) return;
    if (length < 8 + 2) return c.fail(kIllegal, 0x1A, 0x00);
    const std::size_t page = 8 + ((std::size_t(data[6]) << 8) | data[7]);  // past the block descriptors
    if (page + 2 > data.size()) return c.fail(kIllegal, 0x26, 0x00);
    const uint8_t code = data[page] & 0x3F;
    if (code != 0x05) return c.fail(kIllegal, 0x26, 0x00);
    const std::size_t pageLength = data[page + 1];
    if (pageLength < 0x32 || page + 2 + pageLength > data.size()) return c.fail(kIllegal, 0x26, 0x00);
    const uint8_t type = data[page + 2] & 0x0F;
    // Packet (0), track-at-once (1), session-at-once (2), raw (3); this drive
    // records session-at-once and refuses what it cannot do.
    if (type > 3) return c.fail(kIllegal, 0x26, 0x00);
    if (type != 2) return c.fail(kIllegal, 0x26, 0x00);
    const uint8_t blockType = data[page + 4] & 0x0F;
    if (blockType != 0) return c.fail(kIllegal, 0x26, 0x00);  // 2352 bytes of raw audio
    if (!cue_.empty()) return c.fail(kIllegal, 0x2C, 0x00);   // not while a session is open
    writeType_ = type;
    testWrite_ = (data[page + 2] & 0x10) != 0;
    paramsSet_ = true;
}

void SimulatedRecorder::sendCueSheet(SimCommand& c) {
    if (!paramsSet_ || writeType_ != 2 || !cue_.empty() || burned_) return c.fail(kIllegal, 0x2C, 0x00);
    const uint32_t length = c.cdb24(6);
    if (length == 0 || length % 8 != 0) return c.fail(kIllegal, 0x1A, 0x00);
    std::vector<uint8_t> data;
    if (!c.receiveData(data, length)) return;
    std::vector<RecorderCueEntry> entries;
    for (std::size_t i = 0; i < data.size(); i += 8) {
        const uint8_t* e = &data[i];
        if (e[6] >= 60 || e[7] >= 75) return c.fail(kIllegal, 0x26, 0x00);
        entries.push_back({e[0], e[1], e[2], e[3], e[4], msfToLba(e[5], e[6], e[7])});
    }
    // Lead-in first, lead-out last, tracks ascending by one, indexes ascending
    // within a track (0 or 1 first), addresses never going back.
    if (entries.size() < 3 || entries.front().track != 0 || entries.back().track != 0xAA)
        return c.fail(kIllegal, 0x26, 0x00);
    if (entries[1].lba != -kLbaOffset) return c.fail(kIllegal, 0x26, 0x00);
    int track = 0, index = -1;
    int32_t last = -kLbaOffset;
    bool hasIndex1 = true;
    for (std::size_t i = 1; i + 1 < entries.size(); ++i) {
        const auto& e = entries[i];
        if (e.lba < last) return c.fail(kIllegal, 0x26, 0x00);
        if (e.track != track) {
            if (e.track != track + 1 || e.track > 99 || !hasIndex1 || e.index > 1) return c.fail(kIllegal, 0x26, 0x00);
            if (e.dataForm != 0x00 || (e.controlAdr & 0x40)) return c.fail(kIllegal, 0x26, 0x00);  // audio only
            track = e.track;
            hasIndex1 = e.index == 1;
        } else {
            if (e.index != index + 1 || e.index > 99) return c.fail(kIllegal, 0x26, 0x00);
            if (e.index == 1) hasIndex1 = true;
            if (e.lba == last) return c.fail(kIllegal, 0x26, 0x00);
        }
        index = e.index;
        last = e.lba;
    }
    const int32_t leadOut = entries.back().lba;
    if (!hasIndex1 || leadOut <= last || track == 0) return c.fail(kIllegal, 0x26, 0x00);
    if (leadOut > capacity_) return c.fail(kIllegal, 0x21, 0x00);  // past the medium's lead-out
    cue_ = std::move(entries);
    leadOut_ = leadOut;
    nextLba_ = -kLbaOffset;
}

void SimulatedRecorder::write10(SimCommand& c) {
    if (cue_.empty() || burned_) return c.fail(kIllegal, 0x2C, 0x00);
    const int32_t lba = int32_t(c.cdb32(2));
    const uint16_t count = c.cdb16(7);
    if (count == 0) return;
    // Session-at-once is written in one stream: the next address only.
    if (lba != nextLba_) return c.fail(kIllegal, 0x21, 0x02, true, uint32_t(lba));
    if (int64_t(lba) + count > leadOut_) return c.fail(kIllegal, 0x21, 0x00, true, uint32_t(lba));
    std::vector<uint8_t> data;
    if (!c.receiveData(data, std::size_t(count) * kRawSectorBytes)) return;
    for (auto it = damaged_.lower_bound(lba); it != damaged_.end() && *it < lba + count; ++it)
        damageBytes(&data[std::size_t(*it - lba) * kRawSectorBytes]);
    if (!testWrite_ && !store_->write(int64_t(lba + kLbaOffset) * kRawSectorBytes, data))
        return c.fail(0x03, 0x0C, 0x00);  // write error
    nextLba_ += count;
    ++writeCommands_;
}

void SimulatedRecorder::synchronizeCache(SimCommand& c) {
    if (cue_.empty() || burned_) return;  // nothing cached
    // A session-at-once session left short cannot be closed.
    if (nextLba_ != leadOut_) return c.fail(kIllegal, 0x2C, 0x00);
    if (testWrite_) {
        cue_.clear();
        return;
    }
    finishDisc();
}

void SimulatedRecorder::finishDisc() {
    auto disc = std::make_shared<DiscModel>();
    disc->recordable = true;
    disc->capacitySectors = capacity_;
    for (std::size_t i = 1; i + 1 < cue_.size(); ++i) {
        const auto& e = cue_[i];
        if (disc->tracks.empty() || disc->tracks.back().number != e.track) {
            DiscTrack t;
            t.number = e.track;
            t.preemphasis = (e.controlAdr & 0x10) != 0;
            t.copyPermitted = (e.controlAdr & 0x20) != 0;
            t.store = store_;
            disc->tracks.push_back(t);
        }
        DiscTrack& t = disc->tracks.back();
        if (e.index == 0 && e.lba >= 0) t.pregapLba = e.lba;
        if (e.index == 1) t.startLba = e.lba;
    }
    for (std::size_t i = 0; i < disc->tracks.size(); ++i) {
        DiscTrack& t = disc->tracks[i];
        const int32_t end = i + 1 < disc->tracks.size() ? disc->tracks[i + 1].fileFirstLba() : leadOut_;
        // Sectors between LBA 0 and the first track's index 1 are its pregap.
        if (i == 0 && t.pregapLba < 0 && t.startLba > 0) t.pregapLba = 0;
        t.lengthSectors = end - t.startLba;
        t.storeOffset = int64_t(t.fileFirstLba() + kLbaOffset) * kRawSectorBytes;
    }
    disc->sessions.push_back({1, disc->firstTrack(), disc->lastTrack(), leadOut_});
    burned_ = std::move(disc);
}

void SimulatedRecorder::damageSector(int32_t lba) {
    if (!damaged_.insert(lba).second) return;
    // Already written (and so in the store): damaged in place.
    if (lba >= -kLbaOffset && (int64_t(lba) + kLbaOffset + 1) * kRawSectorBytes <= store_->size()) damageStored(lba);
}

void SimulatedRecorder::damageStored(int32_t lba) {
    std::vector<uint8_t> sector(kRawSectorBytes);
    const int64_t at = int64_t(lba + kLbaOffset) * kRawSectorBytes;
    if (!store_->read(at, sector)) return;
    damageBytes(sector.data());
    (void)store_->write(at, sector);
}

void SimulatedRecorder::reloadBurnedDisc() {
    if (burned_) drive_.loadDisc(burned_);
}

void SimulatedRecorder::readDiscInformation(SimCommand& c) {
    if ((c.cdb(1) & 0x07) != 0) return c.invalidField();  // only the standard disc information
    uint8_t out[34] = {};
    out[1] = 32;
    out[2] = burned_ ? uint8_t((3 << 2) | 2) : 0;  // complete session, finalized disc / empty
    out[3] = 1;
    out[4] = 1;
    out[5] = 1;
    out[6] = burned_ ? uint8_t(burned_->lastTrack()) : 1;
    out[7] = 0x20;  // unrestricted use
    const Msf cap = lbaToMsf(capacity_);
    out[21] = uint8_t(cap.minutes);
    out[22] = uint8_t(cap.seconds);
    out[23] = uint8_t(cap.frames);
    if (burned_) out[20] = out[21] = out[22] = out[23] = 0xFF;  // nothing more can be written
    c.sendData(out, sizeof out, c.cdb16(7));
}

bool SimulatedRecorder::exportCueBin(const std::string& cuePath, std::string* error) const {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (!burned_) return fail("nothing has been burned");
    std::string binPath = cuePath;
    const auto dot = binPath.rfind('.');
    const auto slash = binPath.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) binPath.resize(dot);
    binPath += ".bin";
    const std::string binName = slash == std::string::npos ? binPath : binPath.substr(binPath.rfind('/') + 1);
    {
        std::ofstream bin(binPath, std::ios::binary | std::ios::trunc);
        if (!bin) return fail("cannot create " + binPath);
        const auto& bytes = store_->bytes();
        const std::size_t from = std::size_t(kLbaOffset) * kRawSectorBytes;
        const std::size_t to = std::size_t(leadOut_ + kLbaOffset) * kRawSectorBytes;
        std::vector<uint8_t> chunk(kRawSectorBytes * 75);
        for (std::size_t pos = from; pos < to; pos += chunk.size()) {
            const std::size_t n = std::min(chunk.size(), to - pos);
            std::fill(chunk.begin(), chunk.end(), 0);
            for (std::size_t i = 0; i < n && pos + i < bytes.size(); ++i) chunk[i] = bytes[pos + i];
            bin.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(n));
        }
        if (!bin.flush()) return fail("cannot write " + binPath);
    }
    std::ofstream cue(cuePath, std::ios::trunc);
    if (!cue) return fail("cannot create " + cuePath);
    cue << "FILE \"" << binName << "\" BINARY\n";
    for (const auto& t : burned_->tracks) {
        char num[8];
        std::snprintf(num, sizeof num, "%02d", t.number);
        cue << "  TRACK " << num << " AUDIO\n";
        if (t.preemphasis || t.copyPermitted)
            cue << "    FLAGS" << (t.copyPermitted ? " DCP" : "") << (t.preemphasis ? " PRE" : "") << "\n";
        if (t.pregapLba >= 0) cue << "    INDEX 00 " << cueMsf(t.pregapLba) << "\n";
        cue << "    INDEX 01 " << cueMsf(t.startLba) << "\n";
    }
    if (!cue.flush()) return fail("cannot write " + cuePath);
    return true;
}

}  // namespace tallory::platform::scsi
