#include "cd/engine/dao_writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "cd/engine/engine_error.h"
#include "platform/scsi/sense.h"

namespace tallory::cd::engine {

namespace scsi = platform::scsi;

namespace {

void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

scsi::ScsiResult MmcRecorderDrive::run(const char* name, std::span<const uint8_t> cdb, scsi::DataDirection dir,
                                       uint8_t* data, uint32_t length, uint32_t timeoutMs, bool throwOnError) {
    scsi::ScsiCommand cmd{cdb, dir, data, length, timeoutMs};
    scsi::ScsiResult r = transport_.execute(cmd);
    if (!r.good() && throwOnError) {
        const auto a = transport_.address();
        std::string detail = r.transportError ? "transport error" : scsi::describeSense(scsi::parseSense(r.senseBytes()));
        throw EngineError(kErrCommandFailed,
                          EngineError::format(kErrCommandFailed, name, (unsigned long)a.host, (unsigned long)a.target,
                                              (unsigned long)a.lun),
                          0, detail);
    }
    return r;
}

void MmcRecorderDrive::waitReady(int checks) {
    const uint8_t cdb[6] = {0x00, 0, 0, 0, 0, 0};
    for (int i = 0; i < checks; ++i) {
        auto r = run("TEST UNIT READY", cdb, scsi::DataDirection::None, nullptr, 0, 30000, false);
        if (r.good()) return;
        const auto s = scsi::parseSense(r.senseBytes());
        // A unit attention (new disc, reset) is consumed by the check itself.
        if (!(s.key == 0x06 || (s.key == 0x02 && s.asc == 0x04))) break;
        if (s.key == 0x02) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    run("TEST UNIT READY", cdb, scsi::DataDirection::None, nullptr, 0);
}

std::vector<uint8_t> MmcRecorderDrive::cueSheetBytes(const DiscLayout& layout) {
    std::vector<uint8_t> out;
    auto entry = [&](uint8_t ctlAdr, uint8_t track, uint8_t index, uint8_t form, uint8_t scms, const CuePoint& p) {
        out.insert(out.end(), {ctlAdr, track, index, form, scms, p.minutes, p.seconds, p.frames});
    };
    auto control = [](const LayoutTrack* t) {
        uint8_t c = 0x01;  // ADR 1: positions
        if (t) {
            if (t->preEmphasis) c |= 0x10;
            if (t->dcp) c |= 0x20;
            if (t->fourChannel) c |= 0x80;
        }
        return c;
    };
    const LayoutTrack* first = layout.tracks.empty() ? nullptr : &layout.tracks.front();
    entry(control(first), 0, 0, 0x01, 0, makeCuePoint(0, 0, -kFirstPregapSectors));
    for (const auto& t : layout.tracks) {
        const uint8_t scms = t.scms ? 0x80 : 0;
        // The first track's pregap always begins at LBA -150: its index 0 is
        // moved there (or added) and any pregap of its own follows it.
        const bool firstTrack = &t == first;
        if (firstTrack)
            entry(control(&t), uint8_t(t.number), 0, 0x00, scms, makeCuePoint(t.number, 0, -kFirstPregapSectors));
        for (const auto& p : t.cuePoints)
            if (!(firstTrack && p.index == 0)) entry(control(&t), p.track, p.index, 0x00, scms, p);
    }
    const LayoutTrack* last = layout.tracks.empty() ? nullptr : &layout.tracks.back();
    entry(control(last), 0xAA, 0x01, 0x01, 0, makeCuePoint(kLeadOutTrack, 1, layout.leadOutStart));
    return out;
}

void MmcRecorderDrive::start(const DiscLayout& layout, bool testMode, bool underrunProtection) {
    // Mode parameter header (8) and write parameters page 05h (52 bytes of page data).
    uint8_t page[8 + 2 + 0x32] = {};
    uint8_t* p = page + 8;
    p[0] = 0x05;
    p[1] = 0x32;
    p[2] = uint8_t((underrunProtection ? 0x40 : 0) | (testMode ? 0x10 : 0) | 0x02);  // session-at-once
    p[3] = 0x00;   // no multi-session, track mode of audio
    p[4] = 0x00;   // data block type: 2352 bytes of raw audio
    p[8] = 0x00;   // session format CD-DA / CD-ROM
    p[15] = 150;   // audio pause length
    const uint8_t sel[10] = {0x55, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(sizeof page), 0};
    run("MODE SELECT", sel, scsi::DataDirection::ToDevice, page, sizeof page);

    std::vector<uint8_t> cue = cueSheetBytes(layout);
    const uint32_t n = uint32_t(cue.size());
    const uint8_t send[10] = {0x5D, 0, 0, 0, 0, 0, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0};
    run("SEND CUE SHEET", send, scsi::DataDirection::ToDevice, cue.data(), n);
}

void MmcRecorderDrive::write(int32_t lba, std::span<const uint8_t> sectors) {
    const uint32_t count = uint32_t(sectors.size() / kAudioSectorSize);
    uint8_t cdb[10] = {0x2A, 0, 0, 0, 0, 0, 0, uint8_t(count >> 8), uint8_t(count), 0};
    put32(cdb + 2, uint32_t(lba));
    run("WRITE", cdb, scsi::DataDirection::ToDevice, const_cast<uint8_t*>(sectors.data()), uint32_t(sectors.size()));
}

void MmcRecorderDrive::finish() {
    const uint8_t sync[10] = {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    run("FINISH DAO RECORDING", sync, scsi::DataDirection::None, nullptr, 0, 600000);
    // The drive may still be closing the disc: long write in progress (04h/08h).
    const uint8_t tur[6] = {0x00, 0, 0, 0, 0, 0};
    for (int i = 0; i < 6000; ++i) {
        auto r = run("TEST UNIT READY", tur, scsi::DataDirection::None, nullptr, 0, 30000, false);
        if (r.good()) return;
        const auto s = scsi::parseSense(r.senseBytes());
        if (!(s.key == 0x02 && s.asc == 0x04) && s.key != 0x06) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    run("TEST UNIT READY", tur, scsi::DataDirection::None, nullptr, 0);
}

void MmcRecorderDrive::abort() noexcept {
    try {
        const uint8_t sync[10] = {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        run("SYNCHRONIZE CACHE", sync, scsi::DataDirection::None, nullptr, 0, 600000, false);
    } catch (...) {
    }
}

namespace {

class Pass {
public:
    Pass(MmcRecorderDrive& drive, const DiscLayout& layout, const DaoOptions& options)
        : drive_(drive), layout_(layout), o_(options) {
        perWrite_ = std::max<uint32_t>(1, o_.transferBytes / kAudioSectorSize);
        buffer_.resize(std::size_t(perWrite_) * kAudioSectorSize);
    }

    void run() {
        event(kEventDiscLength, int(layout_.totalSectors() + kFirstPregapSectors), 0);
        for (const auto& t : layout_.tracks) writeTrack(t);
        event(kEventTracksDone, 0, 0);
    }

private:
    void event(int e, int a, int b) {
        if (o_.progressEvents && o_.progress) o_.progress(e, a, b);
    }
    void checkStop() {
        if (o_.stop && o_.stop->load()) throw EngineError::make(kErrUserAbort);
    }
    void put(uint32_t sectors) {
        drive_.write(lba_, std::span<const uint8_t>(buffer_.data(), std::size_t(sectors) * kAudioSectorSize));
        lba_ += int32_t(sectors);
    }
    void gap(int kind, int track, uint32_t sectors) {
        if (sectors == 0) return;
        event(kEventGapStart, kind, int(sectors));
        std::fill(buffer_.begin(), buffer_.end(), 0);
        for (uint32_t left = sectors; left > 0;) {
            const uint32_t n = std::min(left, perWrite_);
            put(n);
            left -= n;
            event(kEventGapSectors, track, int(n));
            checkStop();
        }
        event(kEventGapEnd, track, 0);
    }
    void writeTrack(const LayoutTrack& t) {
        if (t.mode != TrackModeKind::Audio || t.sectorSize != kAudioSectorSize)
            throw EngineError::make(kErrBadTrackType);
        // Track 1's pregap holds the two seconds from LBA -150 already.
        event(kEventTrackStart, t.number, int(t.totalSectors()));
        gap(0, t.number, t.pregapPrevious);
        gap(1, t.number, t.pregapOwn);
        const bool swap = t.bigEndian(layout_.files);
        for (const auto& seg : t.data) {
            const LayoutFile& f = layout_.files.at(seg.file);
            std::unique_ptr<std::FILE, FileCloser> file(std::fopen(f.path.c_str(), "rb"));
            if (!file) throw EngineError::make(kErrOpenFile, f.path.c_str());
            if (fseeko(file.get(), off_t(f.dataOffset + seg.offset), SEEK_SET) != 0)
                throw EngineError::make(kErrReadFile);
            uint64_t bytesLeft = seg.bytes;
            for (uint32_t left = seg.sectors; left > 0;) {
                const uint32_t n = std::min(left, perWrite_);
                const std::size_t want = std::size_t(std::min<uint64_t>(uint64_t(n) * kAudioSectorSize, bytesLeft));
                const std::size_t got = want ? std::fread(buffer_.data(), 1, want, file.get()) : 0;
                if (want > 0 && got == 0) throw EngineError::make(kErrReadFile);
                std::fill(buffer_.begin() + std::ptrdiff_t(got), buffer_.end(), 0);
                if (swap)
                    for (std::size_t i = 0; i + 1 < got; i += 2) std::swap(buffer_[i], buffer_[i + 1]);
                bytesLeft -= got;
                put(n);
                left -= n;
                event(kEventTrackSectors, t.number, int(n));
                checkStop();
            }
        }
        gap(2, t.number, t.postgap);
        event(kEventTrackEnd, t.number, 0);
    }

    MmcRecorderDrive& drive_;
    const DiscLayout& layout_;
    const DaoOptions& o_;
    uint32_t perWrite_;
    std::vector<uint8_t> buffer_;
    int32_t lba_ = -kFirstPregapSectors;
};

}  // namespace

void writeDiscAtOnce(MmcRecorderDrive& drive, const DiscLayout& layout, const DaoOptions& options) {
    try {
        drive.waitReady();
        drive.start(layout, options.testMode, options.underrunProtection);
        Pass(drive, layout, options).run();
        drive.finish();
    } catch (...) {
        drive.abort();
        throw;
    }
}

}  // namespace tallory::cd::engine
