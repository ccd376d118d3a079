#include "cd/engine/dao_writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "cd/engine/engine_error.h"
#include "platform/scsi/cd_sector.h"
#include "platform/scsi/sense.h"

namespace tallory::cd::engine {

namespace scsi = platform::scsi;

namespace {

// Engine codes of the recorder operations (message table).
constexpr int32_t kErrDiscNotWritable = -300;
constexpr int32_t kErrNextWritable = -304;

// Write types and block types of page 05h.
constexpr uint8_t kWriteTao = 0x01;
constexpr uint8_t kWriteSao = 0x02;
constexpr uint8_t kBlockRaw = 0;
constexpr uint8_t kBlockMode1 = 8;
constexpr uint8_t kTrackModeData = 4;

// Cue sheet data forms of main data.
constexpr uint8_t kFormAudio = 0x00;
constexpr uint8_t kFormAudioGenerated = 0x01;
constexpr uint8_t kFormDataGenerated = 0x14;
constexpr uint8_t kFormHostSubcode = 0x40;

// One lead-in sector carries 96 bytes of R-W subcode: four packs of 24.
constexpr uint32_t kLeadInSectorBytes = 96;
constexpr int kPacksPerLeadInSector = 4;

void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
uint32_t get32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

uint8_t dataForm(TrackModeKind mode, uint16_t sectorSize) {
    switch (mode) {
        case TrackModeKind::Audio:
            if (sectorSize == kAudioSectorSize) return kFormAudio;
            break;
        case TrackModeKind::Mode1:
            if (sectorSize == 2048) return 0x10;
            if (sectorSize == 2352) return 0x11;
            break;
        case TrackModeKind::Mode2:
        case TrackModeKind::Cdi:
            if (sectorSize == 2336) return 0x30;
            if (sectorSize == 2352) return 0x31;
            break;
    }
    // CD+G (2448 bytes with subcode) needs raw writing, which this pass does not do.
    throw EngineError::make(kErrBadTrackType);
}

uint8_t controlOf(const LayoutTrack* t) {
    uint8_t c = 0x01;  // ADR 1: positions
    if (t) {
        if (t->mode != TrackModeKind::Audio) c |= 0x40;
        if (t->preEmphasis && t->mode == TrackModeKind::Audio) c |= 0x10;
        if (t->dcp) c |= 0x20;
        if (t->fourChannel) c |= 0x80;
    }
    return c;
}

}  // namespace

uint32_t sectorsPerWrite(uint32_t transferBytes, uint32_t transportMax, uint32_t sectorBytes) {
    const uint32_t bytes = transportMax > 0 ? std::min(transferBytes, transportMax) : transferBytes;
    if (sectorBytes == 0 || bytes < sectorBytes) {
        throw EngineError(kErrText, "A transfer size of " + std::to_string(bytes) + " bytes is smaller than one " +
                                        std::to_string(sectorBytes) + "-byte sector");
    }
    return bytes / sectorBytes;
}

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

const RecorderCapabilities& MmcRecorderDrive::capabilities() {
    if (caps_) return *caps_;
    RecorderCapabilities c;
    // GET CONFIGURATION, all features from 002Dh (track-at-once) on.
    std::vector<uint8_t> buf(256);
    const uint8_t gc[10] = {0x46, 0x00, 0x00, 0x2D, 0, 0, 0, 0x01, 0x00, 0};
    auto r = run("GET CONFIGURATION", gc, scsi::DataDirection::FromDevice, buf.data(), uint32_t(buf.size()), 30000, false);
    if (r.good() && r.transferred(uint32_t(buf.size())) >= 8) {
        const std::size_t end = std::min<std::size_t>(r.transferred(uint32_t(buf.size())), 4 + std::size_t(get32(buf.data())));
        for (std::size_t at = 8; at + 4 <= end;) {
            const uint16_t code = uint16_t((buf[at] << 8) | buf[at + 1]);
            const std::size_t len = buf[at + 3];
            if (at + 4 + len > end) break;
            const uint8_t flags = len > 0 ? buf[at + 4] : 0;
            if (code == 0x002D) {
                c.trackAtOnce = true;
                c.bufferUnderrunProtection |= (flags & 0x40) != 0;
                c.testWrite |= (flags & 0x04) != 0;
            } else if (code == 0x002E) {
                c.sessionAtOnce = (flags & 0x20) != 0;
                c.bufferUnderrunProtection |= (flags & 0x40) != 0;
                c.testWrite |= (flags & 0x04) != 0;
                c.cdText = (flags & 0x01) != 0;  // R-W subcode recording
            }
            at += 4 + len;
        }
    } else {
        // An older drive: MODE SENSE page 2Ah (write CD-R, test write, BUF).
        std::vector<uint8_t> page(8 + 32);
        const uint8_t ms[10] = {0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, uint8_t(page.size()), 0};
        auto m = run("MODE SENSE", ms, scsi::DataDirection::FromDevice, page.data(), uint32_t(page.size()), 30000, false);
        if (m.good() && m.transferred(uint32_t(page.size())) >= 8 + 6 && (page[8] & 0x3F) == 0x2A) {
            const uint8_t* p = page.data() + 8;
            c.sessionAtOnce = c.trackAtOnce = (p[3] & 0x01) != 0;
            c.testWrite = (p[3] & 0x04) != 0;
            c.bufferUnderrunProtection = (p[4] & 0x80) != 0;
        }
    }
    caps_ = c;
    return *caps_;
}

std::vector<uint8_t> MmcRecorderDrive::cueSheetBytes(const DiscLayout& layout, bool leadInText) {
    std::vector<uint8_t> out;
    // Lead-in, catalog, lead-out and a few entries per track: one allocation.
    out.reserve(8 * (4 + 4 * layout.tracks.size()));
    auto entry = [&](uint8_t ctlAdr, uint8_t track, uint8_t index, uint8_t form, uint8_t scms, const CuePoint& p) {
        out.insert(out.end(), {ctlAdr, track, index, form, scms, p.minutes, p.seconds, p.frames});
    };
    const LayoutTrack* first = layout.tracks.empty() ? nullptr : &layout.tracks.front();
    const LayoutTrack* last = layout.tracks.empty() ? nullptr : &layout.tracks.back();
    const bool dataFirst = first && first->mode != TrackModeKind::Audio;
    // MMC: the media catalog number in two ADR 2 entries, 7 digits and 6.
    if (layout.catalog.size() == 13) {
        const auto* digits = reinterpret_cast<const uint8_t*>(layout.catalog.data());
        const uint8_t entries[16] = {0x02,      digits[0], digits[1], digits[2],  digits[3],  digits[4],  digits[5], digits[6],
                                     0x02,      digits[7], digits[8], digits[9],  digits[10], digits[11], digits[12], 0x00};
        out.insert(out.end(), entries, entries + 16);
    }
    const uint8_t leadInForm = uint8_t((dataFirst ? kFormDataGenerated : kFormAudioGenerated) | (leadInText ? kFormHostSubcode : 0));
    entry(uint8_t(controlOf(first) & 0x40 ? 0x41 : 0x01), 0, 0, leadInForm, 0, makeCuePoint(0, 0, -kFirstPregapSectors));
    const LayoutTrack* previous = nullptr;
    for (const auto& t : layout.tracks) {
        const uint8_t scms = t.scms ? 0x80 : 0;
        const uint8_t ctl = controlOf(&t);
        const uint8_t form = dataForm(t.mode, t.sectorSize);
        if (t.isrc.size() == 12) {
            // Two ADR 3 entries before the track's first: 6 characters each.
            const uint8_t c3 = uint8_t((ctl & 0xF0) | 0x03);
            out.insert(out.end(), {c3, uint8_t(t.number)});
            out.insert(out.end(), t.isrc.begin(), t.isrc.begin() + 6);
            out.insert(out.end(), {c3, uint8_t(t.number)});
            out.insert(out.end(), t.isrc.begin() + 6, t.isrc.end());
        }
        // The first track's pregap always begins at LBA -150: its index 0 is
        // moved there (or added) and any pregap of its own follows it.
        const bool firstTrack = &t == first;
        if (firstTrack) entry(ctl, uint8_t(t.number), 0, form, scms, makeCuePoint(t.number, 0, -kFirstPregapSectors));
        for (const auto& p : t.cuePoints) {
            if (firstTrack && p.index == 0) continue;
            if (p.index == 0 && t.pregapPrevious > 0 && previous) {
                // The first part of the pregap keeps the previous track's form.
                entry(ctl, p.track, 0, dataForm(t.previousMode, t.previousSectorSize), scms, p);
                if (t.pregapOwn > 0)
                    entry(ctl, p.track, 0, form, scms,
                          makeCuePoint(t.number, 0, cuePointLba(p) + int32_t(t.pregapPrevious)));
                continue;
            }
            entry(ctl, p.track, p.index, form, scms, p);
        }
        previous = &t;
    }
    const bool dataLast = last && last->mode != TrackModeKind::Audio;
    entry(controlOf(last), 0xAA, 0x01,
          dataLast ? kFormDataGenerated : kFormAudioGenerated, 0, makeCuePoint(kLeadOutTrack, 1, layout.leadOutStart));
    return out;
}

void MmcRecorderDrive::selectWriteParameters(const char* name, uint8_t writeType, bool testMode,
                                             bool underrunProtection, uint8_t trackMode, uint8_t blockType) {
    const RecorderCapabilities& c = capabilities();
    if (testMode && !c.testWrite) throw EngineError(kErrText, "The recorder cannot write in test mode");
    // BUFE is reserved on a drive without underrun protection.
    const bool bufe = underrunProtection && c.bufferUnderrunProtection;
    // Mode parameter header (8) and write parameters page 05h (52 bytes of page data).
    uint8_t page[8 + 2 + 0x32] = {};
    uint8_t* p = page + 8;
    p[0] = 0x05;
    p[1] = 0x32;
    p[2] = uint8_t((bufe ? 0x40 : 0) | (testMode ? 0x10 : 0) | writeType);
    p[3] = trackMode;  // no multi-session: the disc is closed
    p[4] = blockType;
    p[8] = 0x00;       // session format CD-DA / CD-ROM
    p[15] = 150;       // audio pause length
    const uint8_t sel[10] = {0x55, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(sizeof page), 0};
    run(name, sel, scsi::DataDirection::ToDevice, page, sizeof page);
}

void MmcRecorderDrive::start(const DiscLayout& layout, bool testMode, bool underrunProtection,
                             std::span<const CdTextPack> cdText) {
    selectWriteParameters("MODE SELECT", kWriteSao, testMode, underrunProtection, 0x00, kBlockRaw);
    const bool text = !cdText.empty() && capabilities().cdText;
    std::vector<uint8_t> cue = cueSheetBytes(layout, text);
    const uint32_t n = uint32_t(cue.size());
    const uint8_t send[10] = {0x5D, 0, 0, 0, 0, 0, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0};
    run("SEND CUE SHEET", send, scsi::DataDirection::ToDevice, cue.data(), n);
}

int32_t MmcRecorderDrive::leadInStart() {
    uint8_t info[34] = {};
    const uint8_t cdb[10] = {0x51, 0, 0, 0, 0, 0, 0, 0, sizeof info, 0};
    auto r = run("READ DISC INFORMATION", cdb, scsi::DataDirection::FromDevice, info, sizeof info);
    if (r.transferred(sizeof info) < 20) throw EngineError::make(-302);  // Unable to read disc information
    const int m = info[17], s = info[18], f = info[19];
    if (s >= 60 || f >= 75) throw EngineError::make(-302);
    int32_t lba = (m * 60 + s) * 75 + f - 150;
    if (m >= 90) lba -= 450000;  // the lead-in counts from 90:00:00
    if (lba >= -150 || lba < -450150) throw EngineError::make(-302);
    return lba;
}

void MmcRecorderDrive::write(int32_t lba, std::span<const uint8_t> sectors, uint32_t sectorBytes) {
    const uint32_t count = uint32_t(sectors.size() / sectorBytes);
    uint8_t cdb[10] = {0x2A, 0, 0, 0, 0, 0, 0, uint8_t(count >> 8), uint8_t(count), 0};
    put32(cdb + 2, uint32_t(lba));
    run("WRITE", cdb, scsi::DataDirection::ToDevice, const_cast<uint8_t*>(sectors.data()), uint32_t(sectors.size()));
}

void MmcRecorderDrive::pollUntilReady(const char* name) {
    // The drive may still be closing the disc: long write in progress (04h/08h).
    const uint8_t tur[6] = {0x00, 0, 0, 0, 0, 0};
    for (int i = 0; i < 6000; ++i) {
        auto r = run("TEST UNIT READY", tur, scsi::DataDirection::None, nullptr, 0, 30000, false);
        if (r.good()) return;
        const auto s = scsi::parseSense(r.senseBytes());
        if (!(s.key == 0x02 && s.asc == 0x04) && s.key != 0x06) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    run(name, tur, scsi::DataDirection::None, nullptr, 0);
}

void MmcRecorderDrive::finish() {
    const uint8_t sync[10] = {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    run("FINISH DAO RECORDING", sync, scsi::DataDirection::None, nullptr, 0, 600000);
    pollUntilReady("TEST UNIT READY");
}

void MmcRecorderDrive::abort() noexcept {
    try {
        const uint8_t sync[10] = {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        run("SYNCHRONIZE CACHE", sync, scsi::DataDirection::None, nullptr, 0, 600000, false);
    } catch (...) {
    }
}

TrackInfo MmcRecorderDrive::startTrack(bool testMode, bool underrunProtection) {
    uint8_t disc[34] = {};
    const uint8_t rdi[10] = {0x51, 0, 0, 0, 0, 0, 0, 0, sizeof disc, 0};
    auto d = run("READ DISC INFORMATION", rdi, scsi::DataDirection::FromDevice, disc, sizeof disc);
    if (d.transferred(sizeof disc) < 3) throw EngineError::make(-302);
    if ((disc[2] & 0x03) == 0x02) throw EngineError::make(kErrDiscNotWritable);  // complete
    selectWriteParameters("START TAO RECORDING", kWriteTao, testMode, underrunProtection, kTrackModeData, kBlockMode1);
    // The data recording writes at the drive's highest speed (FFFFh: as fast
    // as it can); a drive without speed control keeps its own.
    const uint8_t speed[12] = {0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
    (void)run("SET CD SPEED", speed, scsi::DataDirection::None, nullptr, 0, 30000, false);
    // READ TRACK INFORMATION of the invisible track (number FFh).
    uint8_t info[36] = {};
    const uint8_t rti[10] = {0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, sizeof info, 0};
    auto r = run("READ TRACK INFORMATION", rti, scsi::DataDirection::FromDevice, info, sizeof info);
    if (r.transferred(sizeof info) < 20 || (info[7] & 0x01) == 0) throw EngineError::make(kErrNextWritable);
    TrackInfo t;
    t.number = info[2];
    t.start = int32_t(get32(info + 8));
    t.nextWritable = int32_t(get32(info + 12));
    t.freeBlocks = get32(info + 16);
    if (t.nextWritable < 0 || t.freeBlocks == 0) throw EngineError::make(kErrDiscNotWritable);
    return t;
}

void MmcRecorderDrive::finishTrack(int track) {
    const uint8_t sync[10] = {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    run("FINISH TAO RECORDING", sync, scsi::DataDirection::None, nullptr, 0, 600000);
    const uint8_t close[10] = {0x5B, 0, 0x01, 0, uint8_t(track >> 8), uint8_t(track), 0, 0, 0, 0};
    run("FINISH TAO RECORDING", close, scsi::DataDirection::None, nullptr, 0, 600000);
}

void MmcRecorderDrive::closeSession() {
    const uint8_t close[10] = {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0};
    run("CLOSE SESSION", close, scsi::DataDirection::None, nullptr, 0, 600000);
    pollUntilReady("CLOSE SESSION");
}

namespace {

class Pass {
public:
    Pass(MmcRecorderDrive& drive, const DiscLayout& layout, const DaoOptions& options)
        : drive_(drive), layout_(layout), o_(options) {
        // One buffer of the transfer size; every sector size used must fit it.
        uint32_t largest = 0;
        for (const auto& t : layout_.tracks) largest = std::max<uint32_t>({largest, t.sectorSize, t.previousSectorSize});
        if (largest == 0) largest = kAudioSectorSize;
        (void)sectorsPerWrite(o_.transferBytes, drive_.maxTransferBytes(), largest);
        transfer_ = drive_.maxTransferBytes() > 0 ? std::min(o_.transferBytes, drive_.maxTransferBytes()) : o_.transferBytes;
        buffer_.resize(transfer_);
    }

    void writeLeadIn(std::span<const CdTextPack> packs) {
        // The lead-in from its start to -151, every sector four packs as 6-bit
        // symbols, the packs repeated in order (MMC: R-W data in the lead-in).
        std::vector<uint8_t> sub(packs.size() * kCdTextSubcodeSize);
        spreadCdTextToSubcode(packs.data(), packs.size(), sub.data());
        const int32_t from = drive_.leadInStart();
        const uint32_t per = sectorsPerWrite(transfer_, 0, kLeadInSectorBytes);
        std::size_t cursor = 0;
        for (int32_t lba = from; lba < -kFirstPregapSectors;) {
            const uint32_t n = std::min<uint32_t>(per, uint32_t(-kFirstPregapSectors - lba));
            uint8_t* out = buffer_.data();
            for (uint32_t s = 0; s < n * kPacksPerLeadInSector; ++s) {
                std::copy_n(&sub[cursor * kCdTextSubcodeSize], kCdTextSubcodeSize, out);
                out += kCdTextSubcodeSize;
                cursor = (cursor + 1) % packs.size();
            }
            drive_.write(lba, std::span<const uint8_t>(buffer_.data(), std::size_t(n) * kLeadInSectorBytes),
                         kLeadInSectorBytes);
            lba += int32_t(n);
            checkStop();
        }
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
    void put(uint32_t sectors, uint32_t sectorBytes) {
        drive_.write(lba_, std::span<const uint8_t>(buffer_.data(), std::size_t(sectors) * sectorBytes), sectorBytes);
        lba_ += int32_t(sectors);
    }
    // Empty sectors of a gap. Audio and the modes the drive formats itself
    // (2048 and 2336 bytes) are zeros; a data track written as 2352-byte
    // sectors gets complete empty sectors with their own addresses.
    void fillGap(TrackModeKind mode, uint32_t sectorBytes, uint32_t n) {
        std::fill(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(n * sectorBytes), 0);
        if (mode == TrackModeKind::Audio || sectorBytes != kAudioSectorSize) return;
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t* s = buffer_.data() + std::size_t(i) * sectorBytes;
            if (mode == TrackModeKind::Mode1) scsi::encodeMode1Sector(s, lba_ + int32_t(i));
            else scsi::encodeMode2Sector(s, lba_ + int32_t(i));
        }
    }
    void gap(int kind, int track, uint32_t sectors, TrackModeKind mode, uint32_t sectorBytes) {
        if (sectors == 0) return;
        event(kEventGapStart, kind, int(sectors));
        const uint32_t per = transfer_ / sectorBytes;
        for (uint32_t left = sectors; left > 0;) {
            const uint32_t n = std::min(left, per);
            fillGap(mode, sectorBytes, n);
            put(n, sectorBytes);
            left -= n;
            event(kEventGapSectors, track, int(n));
            checkStop();
        }
        event(kEventGapEnd, track, 0);
    }
    void writeTrack(const LayoutTrack& t) {
        (void)dataForm(t.mode, t.sectorSize);  // -123 for what this pass cannot write
        const uint32_t size = t.sectorSize;
        const uint32_t per = transfer_ / size;
        // Track 1's pregap holds the two seconds from LBA -150 already.
        event(kEventTrackStart, t.number, int(t.totalSectors()));
        gap(0, t.number, t.pregapPrevious, t.previousMode, t.previousSectorSize);
        gap(1, t.number, t.pregapOwn, t.mode, size);
        const bool swap = t.mode == TrackModeKind::Audio && t.bigEndian(layout_.files);
        for (const auto& seg : t.data) {
            const LayoutFile& f = layout_.files.at(seg.file);
            std::unique_ptr<std::FILE, FileCloser> file(std::fopen(f.path.c_str(), "rb"));
            if (!file) throw EngineError::make(kErrOpenFile, f.path.c_str());
            if (fseeko(file.get(), off_t(f.dataOffset + seg.offset), SEEK_SET) != 0)
                throw EngineError::make(kErrReadFile);
            uint64_t bytesLeft = seg.bytes;
            for (uint32_t left = seg.sectors; left > 0;) {
                const uint32_t n = std::min(left, per);
                const std::size_t want = std::size_t(std::min<uint64_t>(uint64_t(n) * size, bytesLeft));
                const std::size_t got = want ? std::fread(buffer_.data(), 1, want, file.get()) : 0;
                if (want > 0 && got == 0) throw EngineError::make(kErrReadFile);
                std::fill(buffer_.begin() + std::ptrdiff_t(got), buffer_.begin() + std::ptrdiff_t(n * size), 0);
                if (swap)
                    for (std::size_t i = 0; i + 1 < got; i += 2) std::swap(buffer_[i], buffer_[i + 1]);
                bytesLeft -= got;
                put(n, size);
                left -= n;
                event(kEventTrackSectors, t.number, int(n));
                checkStop();
            }
        }
        gap(2, t.number, t.postgap, t.mode, size);
        event(kEventTrackEnd, t.number, 0);
    }

    MmcRecorderDrive& drive_;
    const DiscLayout& layout_;
    const DaoOptions& o_;
    uint32_t transfer_ = 0;
    std::vector<uint8_t> buffer_;
    int32_t lba_ = -kFirstPregapSectors;
};

}  // namespace

void writeDiscAtOnce(MmcRecorderDrive& drive, const DiscLayout& layout, const DaoOptions& options) {
    // The transfer size and the track modes are checked before the drive is touched.
    Pass pass(drive, layout, options);
    for (const auto& t : layout.tracks) (void)dataForm(t.mode, t.sectorSize);
    try {
        drive.waitReady();
        const bool text = !options.cdTextPacks.empty() && drive.capabilities().cdText;
        drive.start(layout, options.testMode, options.underrunProtection,
                    text ? std::span<const CdTextPack>(options.cdTextPacks) : std::span<const CdTextPack>{});
        if (text) pass.writeLeadIn(options.cdTextPacks);
        pass.run();
        if (options.progressEvents && options.progress) options.progress(kEventLeadOut, 0, 0);
        drive.finish();
        if (options.progressEvents && options.progress) options.progress(kEventFinished, 0, 0);
    } catch (...) {
        drive.abort();
        throw;
    }
}

}  // namespace tallory::cd::engine
