#include "platform/scsi/sim_recorder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/scsi/cd_sector.h"

namespace tallory::platform::scsi {

namespace {

// MMC sense values the recorder answers with (key ILLEGAL REQUEST).
constexpr uint8_t kIllegal = 0x05;
constexpr uint8_t kAscLbaOutOfRange = 0x21;       // 21h/00h; 21h/02h invalid address for write
constexpr uint8_t kAscParameterLength = 0x1A;     // parameter list length error
constexpr uint8_t kAscInvalidParameter = 0x26;    // invalid field in parameter list
constexpr uint8_t kAscSequence = 0x2C;            // command sequence error

// Write types of page 05h.
constexpr uint8_t kWriteTao = 1;
constexpr uint8_t kWriteSao = 2;
// Data block type 8: Mode 1, 2048 bytes of user data.
constexpr uint8_t kBlockMode1 = 8;
// MMC: a track-at-once track is at least 300 blocks; a drive pads a shorter one.
constexpr int32_t kMinTrackBlocks = 300;
// The pregap a drive writes before a track-at-once track that is not the first.
constexpr int32_t kTaoPregap = 150;

// Cue sheet data forms of main data (MMC SEND CUE SHEET).
constexpr uint8_t kFormAudio = 0x00;
constexpr uint8_t kFormAudioGenerated = 0x01;
constexpr uint8_t kFormMode1 = 0x10;      // host sends 2048 bytes, the drive formats
constexpr uint8_t kFormMode1Raw = 0x11;   // host sends the whole 2352-byte sector
constexpr uint8_t kFormDataGenerated = 0x14;
constexpr uint8_t kFormMode2 = 0x30;      // 2336 bytes
constexpr uint8_t kFormMode2Raw = 0x31;
// Bits 7-6 of the lead-in's data form: R-W subcode (CD-TEXT) supplied by the host.
constexpr uint8_t kFormHostSubcode = 0x40;

int32_t msfToLba(uint8_t m, uint8_t s, uint8_t f) { return (int32_t(m) * 60 + s) * 75 + f - kLbaOffset; }

void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// MSF of an LBA as READ DISC INFORMATION gives it; the lead-in counts from 90:00:00.
void putMsf(uint8_t* p, int32_t lba) {
    int32_t v = lba + kLbaOffset;
    if (v < 0) v += 450000;
    p[0] = 0;
    p[1] = uint8_t(v / 4500);
    p[2] = uint8_t(v / 75 % 60);
    p[3] = uint8_t(v % 75);
}

std::string cueMsf(int32_t frames) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", frames / 4500, frames / 75 % 60, frames % 75);
    return buf;
}

// Cue sheet readers know no escape inside a quoted text: a double quote
// would end it early, so it is written as an apostrophe (the disc's CD-TEXT
// itself keeps it).
std::string cueQuote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) out += c == '"' ? '\'' : c;
    return out + "\"";
}

// Past the 16 bytes of sync and header, one byte in every 128 inverted: an
// audio compare and a data checksum both see it.
void damageBytes(uint8_t* sector) {
    for (int i = 16; i < kRawSectorBytes; i += 128) sector[i] ^= 0xFF;
}

bool isTrackForm(uint8_t f) {
    return f == kFormAudio || f == kFormMode1 || f == kFormMode1Raw || f == kFormMode2 || f == kFormMode2Raw;
}

uint32_t formBytes(uint8_t form) {
    switch (form) {
        case kFormMode1: return kMode1UserBytes;
        case kFormMode2: return kMode2UserBytes;
        default: return kRawSectorBytes;
    }
}

bool isrcCharsOk(const std::string& s) {
    // ISRC: country (2 letters), owner (3 letters or digits), year and serial (7 digits).
    if (s.size() != 12) return false;
    for (std::size_t i = 0; i < 12; ++i) {
        const char c = s[i];
        const bool digit = c >= '0' && c <= '9', upper = c >= 'A' && c <= 'Z';
        if (i < 2 ? !upper : i < 5 ? !(upper || digit) : !digit) return false;
    }
    return true;
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
    add(0x52, 10, "READ TRACK INFORMATION", &SimulatedRecorder::readTrackInformation);
    add(0x5B, 10, "CLOSE TRACK/SESSION", &SimulatedRecorder::closeTrackSession);
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
    if (length < 8 + 2) return c.fail(kIllegal, kAscParameterLength, 0x00);
    const std::size_t page = 8 + ((std::size_t(data[6]) << 8) | data[7]);  // past the block descriptors
    if (page + 2 > data.size()) return c.fail(kIllegal, kAscInvalidParameter, 0x00);
    const uint8_t code = data[page] & 0x3F;
    if (code != 0x05) return c.fail(kIllegal, kAscInvalidParameter, 0x00);
    const std::size_t pageLength = data[page + 1];
    if (pageLength < 0x32 || page + 2 + pageLength > data.size()) return c.fail(kIllegal, kAscInvalidParameter, 0x00);
    const uint8_t* p = &data[page];
    const uint8_t type = p[2] & 0x0F;
    const bool bufe = (p[2] & 0x40) != 0;
    const uint8_t trackMode = p[3] & 0x0F;
    const uint8_t blockType = p[4] & 0x0F;
    // Packet writing (0) and raw (3) are not what this drive records.
    if (type != kWriteTao && type != kWriteSao) return c.fail(kIllegal, kAscInvalidParameter, 0x00);
    // BUFE is a reserved bit on a drive without underrun protection.
    if (bufe && !drive_.identity().bufferUnderrunProtection) return c.fail(kIllegal, kAscInvalidParameter, 0x00);
    if (type == kWriteSao && blockType != 0) return c.fail(kIllegal, kAscInvalidParameter, 0x00);  // the cue sheet rules
    // Track-at-once records Mode 1 data tracks: block type 8, track mode 4 (data) or 5 (incremental).
    if (type == kWriteTao && (blockType != kBlockMode1 || (trackMode != 4 && trackMode != 5)))
        return c.fail(kIllegal, kAscInvalidParameter, 0x00);
    // Not while a session is being written.
    if (!cue_.empty() || taoTrackOpen_ || (!taoTracks_.empty() && state_ == StateKind::SessionOpen))
        return c.fail(kIllegal, kAscSequence, 0x00);
    writeType_ = type;
    testWrite_ = (p[2] & 0x10) != 0;
    bufe_ = bufe;
    trackMode_ = trackMode;
    blockType_ = blockType;
    paramsSet_ = true;
}

bool SimulatedRecorder::parseCue(SimCommand& c, const std::vector<uint8_t>& data) {
    auto bad = [&] {
        c.fail(kIllegal, kAscInvalidParameter, 0x00);
        return false;
    };
    std::vector<RecorderCueEntry> entries;
    std::string catalog;
    std::vector<std::pair<int, std::string>> isrcs;
    int pendingIsrc = 0;  // an ISRC pair names the track whose first entry follows
    const std::size_t n = data.size() / 8;
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* e = &data[i * 8];
        const uint8_t adr = e[0] & 0x0F;
        if (adr == 2 || adr == 3) {
            if (i + 1 >= n || (data[(i + 1) * 8] & 0x0F) != adr || pendingIsrc != 0) return bad();
            const uint8_t* e2 = &data[(i + 1) * 8];
            ++i;
            if (adr == 2) {
                // MCN: 13 ASCII digits, 7 in the first entry and 6 in the second,
                // before the lead-in and once only.
                if (!entries.empty() || !catalog.empty() || e2[7] != 0) return bad();
                std::string digits(reinterpret_cast<const char*>(e + 1), 7);
                digits.append(reinterpret_cast<const char*>(e2 + 1), 6);
                for (char ch : digits)
                    if (ch < '0' || ch > '9') return bad();
                catalog = digits;
            } else {
                if (e[1] != e2[1] || e[1] < 1 || e[1] > 99 || entries.empty()) return bad();
                std::string code(reinterpret_cast<const char*>(e + 2), 6);
                code.append(reinterpret_cast<const char*>(e2 + 2), 6);
                if (!isrcCharsOk(code)) return bad();
                pendingIsrc = e[1];
                isrcs.push_back({e[1], code});
            }
            continue;
        }
        if (adr != 1 || e[6] >= 60 || e[7] >= 75) return bad();
        RecorderCueEntry r{e[0], e[1], e[2], e[3], e[4], msfToLba(e[5], e[6], e[7])};
        if (pendingIsrc != 0) {
            const bool firstOfTrack = !entries.empty() && entries.back().track != r.track;
            if (r.track != pendingIsrc || !firstOfTrack) return bad();
            pendingIsrc = 0;
        }
        entries.push_back(r);
    }
    if (pendingIsrc != 0) return bad();
    // Lead-in first, lead-out last, tracks ascending by one, indexes ascending
    // within a track (0 or 1 first), addresses never going back.
    if (entries.size() < 3 || entries.front().track != 0 || entries.back().track != 0xAA) return bad();
    const uint8_t leadInForm = entries.front().dataForm;
    const uint8_t leadInMain = leadInForm & 0x3F;
    if ((leadInMain != kFormAudioGenerated && leadInMain != kFormDataGenerated) || (leadInForm & 0x80)) return bad();
    const bool text = (leadInForm & kFormHostSubcode) != 0;
    if (text && !drive_.identity().cdTextWriting) return bad();
    if (entries[1].lba != -kLbaOffset) return bad();
    int track = 0, index = -1;
    uint8_t trackForm = 0, lastForm = 0;
    int32_t last = -kLbaOffset;
    bool hasIndex1 = true;
    for (std::size_t i = 1; i + 1 < entries.size(); ++i) {
        const auto& e = entries[i];
        if (e.lba < last || !isTrackForm(e.dataForm)) return bad();
        // The control nibble's data bit matches the data form (a pregap may
        // keep the previous track's form).
        if (e.index > 0 && ((e.controlAdr & 0x40) != 0) != (e.dataForm != kFormAudio)) return bad();
        if (e.track != track) {
            if (e.track != track + 1 || e.track > 99 || !hasIndex1 || e.index > 1) return bad();
            track = e.track;
            hasIndex1 = e.index == 1;
            if (hasIndex1) trackForm = e.dataForm;
        } else if (e.index == index && e.index == 0 && e.dataForm != lastForm && e.lba > last) {
            // A pregap in two parts: the first in the previous track's form.
        } else {
            if (e.index != index + 1 || e.index > 99 || e.lba == last) return bad();
            if (e.index == 1) {
                hasIndex1 = true;
                trackForm = e.dataForm;
            } else if (e.index > 1 && e.dataForm != trackForm) {
                return bad();
            }
        }
        index = e.index;
        last = e.lba;
        lastForm = e.dataForm;
    }
    const RecorderCueEntry& leadOut = entries.back();
    if (!hasIndex1 || leadOut.lba <= last || track == 0 || leadOut.index != 1) return bad();
    if ((leadOut.dataForm & 0x3F) != kFormAudioGenerated && (leadOut.dataForm & 0x3F) != kFormDataGenerated)
        return bad();
    if (leadOut.lba > capacity_) {
        c.fail(kIllegal, kAscLbaOutOfRange, 0x00);  // past the medium's lead-out
        return false;
    }
    cue_ = std::move(entries);
    catalog_ = catalog;
    isrcs_ = std::move(isrcs);
    leadInText_ = text;
    leadOut_ = leadOut.lba;
    return true;
}

void SimulatedRecorder::sendCueSheet(SimCommand& c) {
    // A cue sheet belongs to session-at-once on a blank disc, after the write
    // parameters and once.
    if (!paramsSet_ || writeType_ != kWriteSao || !cue_.empty() || state_ != StateKind::Blank)
        return c.fail(kIllegal, kAscSequence, 0x00);
    const uint32_t length = c.cdb24(6);
    if (length == 0 || length % 8 != 0) return c.fail(kIllegal, kAscParameterLength, 0x00);
    std::vector<uint8_t> data;
    if (!c.receiveData(data, length)) return;
    if (!parseCue(c, data)) return;
    state_ = StateKind::SessionOpen;
    leadInSubcode_.clear();
    leadInWritten_ = 0;
    nextLba_ = leadInText_ ? kSimLeadInStart : -kLbaOffset;
}

uint8_t SimulatedRecorder::saoDataForm(int32_t lba) const {
    uint8_t form = kFormAudio;
    for (std::size_t i = 1; i + 1 < cue_.size() && cue_[i].lba <= lba; ++i) form = cue_[i].dataForm;
    return form;
}

uint32_t SimulatedRecorder::saoSectorBytes(int32_t lba) const {
    if (lba < -kLbaOffset) return uint32_t(kLeadInSubcodeBytes);
    return formBytes(saoDataForm(lba));
}

void SimulatedRecorder::storeSector(int32_t lba, const uint8_t* raw) {
    if (testWrite_) return;
    (void)store_->write(int64_t(lba + kLbaOffset) * kRawSectorBytes, {raw, std::size_t(kRawSectorBytes)});
}

void SimulatedRecorder::write10(SimCommand& c) {
    if (state_ == StateKind::Complete) return c.fail(kIllegal, kAscSequence, 0x00);  // the disc is closed
    if (!paramsSet_) return c.fail(kIllegal, kAscSequence, 0x00);
    const int32_t lba = int32_t(c.cdb32(2));
    const uint16_t count = c.cdb16(7);
    if (count == 0) return;
    std::vector<uint8_t> data;
    uint8_t raw[kRawSectorBytes];
    if (writeType_ == kWriteSao) {
        if (cue_.empty()) return c.fail(kIllegal, kAscSequence, 0x00);
        // Session-at-once is written in one stream: the next address only.
        if (lba != nextLba_) return c.fail(kIllegal, kAscLbaOutOfRange, 0x02, true, uint32_t(lba));
        if (int64_t(lba) + count > leadOut_) return c.fail(kIllegal, kAscLbaOutOfRange, 0x00, true, uint32_t(lba));
        std::size_t total = 0;
        for (int32_t i = 0; i < count; ++i) total += saoSectorBytes(lba + i);
        if (!c.receiveData(data, total)) return;
        const uint8_t* in = data.data();
        for (int32_t i = 0; i < count; ++i) {
            const int32_t s = lba + i;
            if (s < -kLbaOffset) {
                leadInSubcode_.insert(leadInSubcode_.end(), in, in + kLeadInSubcodeBytes);
                ++leadInWritten_;
                in += kLeadInSubcodeBytes;
                continue;
            }
            const uint8_t form = saoDataForm(s);
            if (form == kFormMode1 || form == kFormMode2) {
                std::memset(raw, 0, sizeof raw);
                if (form == kFormMode1) {
                    std::memcpy(raw + 16, in, kMode1UserBytes);
                    in += kMode1UserBytes;
                    encodeMode1Sector(raw, s);
                } else {
                    std::memcpy(raw + 16, in, kMode2UserBytes);
                    in += kMode2UserBytes;
                    encodeMode2Sector(raw, s);
                }
            } else {
                std::memcpy(raw, in, kRawSectorBytes);
                in += kRawSectorBytes;
            }
            if (damaged_.count(s)) damageBytes(raw);
            storeSector(s, raw);
        }
    } else {
        // Track-at-once: Mode 1 blocks at the next writable address of the
        // open (or next) track, never past the medium.
        int32_t nwa = nextLba_;
        if (!taoTrackOpen_) {
            nwa = taoTracks_.empty() ? 0 : taoTracks_.back().start + taoTracks_.back().length + kTaoPregap;
        }
        if (lba != nwa) return c.fail(kIllegal, kAscLbaOutOfRange, 0x02, true, uint32_t(lba));
        if (int64_t(lba) + count > capacity_) return c.fail(kIllegal, kAscLbaOutOfRange, 0x00, true, uint32_t(lba));
        if (taoTracks_.size() >= 99 && !taoTrackOpen_) return c.fail(kIllegal, kAscLbaOutOfRange, 0x00);
        if (!c.receiveData(data, std::size_t(count) * kMode1UserBytes)) return;
        if (!taoTrackOpen_) {
            // The drive writes the pregap of a track after the first itself.
            if (!taoTracks_.empty()) {
                for (int32_t s = nwa - kTaoPregap; s < nwa; ++s) {
                    std::memset(raw, 0, sizeof raw);
                    encodeMode1Sector(raw, s);
                    storeSector(s, raw);
                }
            }
            taoTracks_.push_back({int(taoTracks_.size()) + 1, nwa, 0});
            taoTrackOpen_ = true;
            state_ = StateKind::SessionOpen;
        }
        for (int32_t i = 0; i < count; ++i) {
            std::memset(raw, 0, sizeof raw);
            std::memcpy(raw + 16, &data[std::size_t(i) * kMode1UserBytes], kMode1UserBytes);
            encodeMode1Sector(raw, lba + i);
            if (damaged_.count(lba + i)) damageBytes(raw);
            storeSector(lba + i, raw);
        }
        taoTracks_.back().length += count;
    }
    nextLba_ = lba + count;
    ++writeCommands_;
}

void SimulatedRecorder::synchronizeCache(SimCommand& c) {
    if (writeType_ != kWriteSao || cue_.empty()) return;  // track-at-once: the cache is flushed, nothing closes
    // A session-at-once session left short cannot be closed.
    if (nextLba_ != leadOut_) return c.fail(kIllegal, kAscSequence, 0x00);
    if (testWrite_) return resetSession();
    finishSao();
}

void SimulatedRecorder::closeTrackSession(SimCommand& c) {
    const uint8_t function = c.cdb(2) & 0x07;
    if ((c.cdb(1) & 0xFE) != 0 || (function != 1 && function != 2)) return c.invalidField();
    // Session-at-once closes through SYNCHRONIZE CACHE; a closed disc takes nothing.
    if (writeType_ != kWriteTao || state_ != StateKind::SessionOpen || taoTracks_.empty())
        return c.fail(kIllegal, kAscSequence, 0x00);
    auto closeTrack = [&] {
        TaoTrack& t = taoTracks_.back();
        uint8_t raw[kRawSectorBytes];
        for (; t.length < kMinTrackBlocks && t.start + t.length < capacity_; ++t.length) {
            std::memset(raw, 0, sizeof raw);
            encodeMode1Sector(raw, t.start + t.length);
            storeSector(t.start + t.length, raw);
        }
        nextLba_ = t.start + t.length;
        taoTrackOpen_ = false;
    };
    if (function == 1) {
        if (!taoTrackOpen_) return c.fail(kIllegal, kAscSequence, 0x00);
        if (c.cdb16(4) != taoTracks_.back().number) return c.invalidField();
        return closeTrack();
    }
    if (taoTrackOpen_) closeTrack();
    if (testWrite_) return resetSession();
    finishTao();
}

void SimulatedRecorder::resetSession() {
    // A test write leaves the disc blank.
    cue_.clear();
    catalog_.clear();
    isrcs_.clear();
    taoTracks_.clear();
    taoTrackOpen_ = false;
    leadInText_ = false;
    leadInSubcode_.clear();
    state_ = StateKind::Blank;
    nextLba_ = -kLbaOffset;
}

void SimulatedRecorder::finishSao() {
    auto disc = std::make_shared<DiscModel>();
    disc->recordable = true;
    disc->capacitySectors = capacity_;
    disc->catalog = catalog_;
    for (std::size_t i = 1; i + 1 < cue_.size(); ++i) {
        const auto& e = cue_[i];
        if (disc->tracks.empty() || disc->tracks.back().number != e.track) {
            DiscTrack t;
            t.number = e.track;
            t.preemphasis = (e.controlAdr & 0x10) != 0;
            t.copyPermitted = (e.controlAdr & 0x20) != 0;
            t.store = store_;
            for (const auto& [n, code] : isrcs_)
                if (n == e.track) t.isrc = code;
            disc->tracks.push_back(t);
        }
        DiscTrack& t = disc->tracks.back();
        if (e.index == 0 && e.lba >= 0 && t.pregapLba < 0) t.pregapLba = e.lba;
        if (e.index == 1) {
            t.startLba = e.lba;
            t.mode = e.dataForm == kFormAudio                             ? TrackModeKind::Audio
                     : (e.dataForm == kFormMode1 || e.dataForm == kFormMode1Raw) ? TrackModeKind::Mode1Raw
                                                                           : TrackModeKind::Mode2Raw;
        }
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
    if (leadInText_) {
        // What a reader gets back from the lead-in: one copy of the packs.
        disc->cdTextPacks = gatherCdTextPacks(leadInSubcode_);
        cdText_ = decodeCdTextPacks(disc->cdTextPacks);
        if (!cdText_.empty()) {
            disc->title = cdText_.entries[0][0];
            disc->performer = cdText_.entries[0][1];
            for (DiscTrack& t : disc->tracks) {
                if (std::size_t(t.number) >= cdText_.entries.size()) continue;
                t.title = cdText_.entries[std::size_t(t.number)][0];
                t.performer = cdText_.entries[std::size_t(t.number)][1];
            }
        }
    }
    leadInSubcode_.clear();
    leadInSubcode_.shrink_to_fit();
    burned_ = std::move(disc);
    state_ = StateKind::Complete;
}

void SimulatedRecorder::finishTao() {
    auto disc = std::make_shared<DiscModel>();
    disc->recordable = true;
    disc->capacitySectors = capacity_;
    for (std::size_t i = 0; i < taoTracks_.size(); ++i) {
        const TaoTrack& tt = taoTracks_[i];
        DiscTrack t;
        t.number = tt.number;
        t.mode = TrackModeKind::Mode1Raw;
        t.startLba = tt.start;
        t.pregapLba = i == 0 ? -1 : tt.start - kTaoPregap;
        t.lengthSectors = tt.length;
        t.store = store_;
        t.storeOffset = int64_t(t.fileFirstLba() + kLbaOffset) * kRawSectorBytes;
        disc->tracks.push_back(t);
    }
    leadOut_ = taoTracks_.back().start + taoTracks_.back().length;
    disc->sessions.push_back({1, disc->firstTrack(), disc->lastTrack(), leadOut_});
    burned_ = std::move(disc);
    state_ = StateKind::Complete;
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
    int lastTrack = 1;
    if (state_ == StateKind::Complete) {
        out[2] = uint8_t((3 << 2) | 2);  // complete session, finalized disc
        lastTrack = burned_ ? burned_->lastTrack() : 1;
    } else if (state_ == StateKind::SessionOpen && !taoTracks_.empty()) {
        out[2] = uint8_t((1 << 2) | 1);  // incomplete session on an appendable disc
        lastTrack = taoTracks_.back().number + (taoTrackOpen_ ? 0 : 1);
    }
    out[3] = 1;
    out[4] = 1;
    out[5] = 1;
    out[6] = uint8_t(lastTrack);
    out[7] = 0x20;  // unrestricted use
    if (state_ == StateKind::Complete) {
        std::memset(out + 16, 0xFF, 8);  // nothing more can be written
    } else {
        putMsf(out + 16, kSimLeadInStart);
        putMsf(out + 20, capacity_);
    }
    c.sendData(out, sizeof out, c.cdb16(7));
}

void SimulatedRecorder::readTrackInformation(SimCommand& c) {
    const uint8_t addressType = c.cdb(1) & 0x03;
    const uint32_t number = c.cdb32(2);
    if ((c.cdb(1) & 0xFC) != 0 || addressType == 3) return c.invalidField();
    struct Info {
        int number;
        int32_t start, length;
        bool invisible, blank;
        bool data;
    };
    std::vector<Info> tracks;
    if (burned_) {
        for (const DiscTrack& t : burned_->tracks)
            tracks.push_back({t.number, t.startLba, t.lengthSectors, false, false, !t.audio()});
    } else {
        for (const TaoTrack& t : taoTracks_) tracks.push_back({t.number, t.start, t.length, false, false, true});
    }
    const bool complete = state_ == StateKind::Complete;
    if (!complete) {
        if (taoTrackOpen_) {
            tracks.back().invisible = true;  // the incomplete track takes writes
        } else {
            const int32_t start = tracks.empty() ? 0 : tracks.back().start + tracks.back().length + kTaoPregap;
            tracks.push_back({int(tracks.size()) + 1, start, 0, true, true, writeType_ == kWriteTao});
        }
    }
    const Info* hit = nullptr;
    for (const Info& t : tracks) {
        if (addressType == 1 && (uint32_t(t.number) == number || (number == 0xFF && t.invisible))) hit = &t;
        if (addressType == 0 && int32_t(number) >= t.start && (t.invisible || int32_t(number) < t.start + t.length))
            hit = &t;
        if (addressType == 2 && number == 1 && hit == nullptr) hit = &t;
    }
    if (hit == nullptr) return c.invalidField();
    uint8_t out[36] = {};
    out[1] = 34;
    out[2] = uint8_t(hit->number);
    out[3] = 1;
    out[5] = hit->data ? 0x04 : 0x00;
    out[6] = uint8_t((hit->blank ? 0x40 : 0) | (hit->data ? 0x01 : 0x0F));
    put32(out + 8, uint32_t(hit->start));
    if (hit->invisible) {
        const int32_t nwa = hit->blank ? hit->start : nextLba_;
        out[7] = 0x01;  // NWA valid
        put32(out + 12, uint32_t(nwa));
        put32(out + 16, uint32_t(std::max(0, capacity_ - nwa)));
        put32(out + 24, uint32_t(std::max(0, capacity_ - hit->start)));
    } else {
        put32(out + 24, uint32_t(hit->length));
        out[7] = 0x02;  // last recorded address valid
        put32(out + 28, uint32_t(hit->start + hit->length - 1));
    }
    c.sendData(out, sizeof out, c.cdb16(7));
}

std::vector<uint8_t> SimulatedRecorder::dataTrackUserData(int track, std::string* error) const {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return std::vector<uint8_t>{};
    };
    if (!burned_) return fail("nothing has been burned");
    const DiscTrack* t = burned_->track(track);
    if (t == nullptr) return fail("the disc has no track " + std::to_string(track));
    if (t->mode != TrackModeKind::Mode1Raw) return fail("track " + std::to_string(track) + " is not a Mode 1 data track");
    std::vector<uint8_t> out(std::size_t(t->lengthSectors) * kMode1UserBytes);
    uint8_t raw[kRawSectorBytes];
    for (int32_t i = 0; i < t->lengthSectors; ++i) {
        if (!burned_->readRawSector(t->startLba + i, raw)) return fail("sector " + std::to_string(t->startLba + i) + " cannot be read");
        std::memcpy(&out[std::size_t(i) * kMode1UserBytes], raw + 16, kMode1UserBytes);
    }
    return out;
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
    const int32_t leadOut = burned_->leadOutLba();
    {
        std::ofstream bin(binPath, std::ios::binary | std::ios::trunc);
        if (!bin) return fail("cannot create " + binPath);
        const auto& bytes = store_->bytes();
        const std::size_t from = std::size_t(kLbaOffset) * kRawSectorBytes;
        const std::size_t to = std::size_t(leadOut + kLbaOffset) * kRawSectorBytes;
        std::vector<uint8_t> chunk(kRawSectorBytes * 75);
        for (std::size_t pos = from; pos < to; pos += chunk.size()) {
            const std::size_t n = std::min(chunk.size(), to - pos);
            std::fill(chunk.begin(), chunk.end(), 0);
            if (pos < bytes.size()) std::memcpy(chunk.data(), bytes.data() + pos, std::min(n, bytes.size() - pos));
            bin.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(n));
        }
        if (!bin.flush()) return fail("cannot write " + binPath);
    }
    std::ofstream cue(cuePath, std::ios::trunc);
    if (!cue) return fail("cannot create " + cuePath);
    static const char* const kTextCommands[kTextFields] = {"TITLE", "PERFORMER", "SONGWRITER", "COMPOSER",
                                                           "ARRANGER", "MESSAGE", nullptr};
    auto texts = [&](std::size_t entry, const char* indent) {
        if (entry >= cdText_.entries.size()) return;
        for (int f = 0; f < kTextFields; ++f) {
            const std::string& v = cdText_.entries[entry][std::size_t(f)];
            if (v.empty()) continue;
            if (kTextCommands[f]) cue << indent << kTextCommands[f] << " " << cueQuote(v) << "\n";
            else if (entry == 0) cue << indent << "UPC_EAN " << v << "\n";
        }
    };
    if (!burned_->catalog.empty()) cue << "CATALOG " << burned_->catalog << "\n";
    texts(0, "");
    cue << "FILE \"" << binName << "\" BINARY\n";
    for (const auto& t : burned_->tracks) {
        char num[8];
        std::snprintf(num, sizeof num, "%02d", t.number);
        cue << "  TRACK " << num << (t.audio() ? " AUDIO" : t.mode == TrackModeKind::Mode1Raw ? " MODE1/2352" : " MODE2/2352")
            << "\n";
        texts(std::size_t(t.number), "    ");
        if (t.preemphasis || t.copyPermitted)
            cue << "    FLAGS" << (t.copyPermitted ? " DCP" : "") << (t.preemphasis ? " PRE" : "") << "\n";
        if (!t.isrc.empty()) cue << "    ISRC " << t.isrc << "\n";
        if (t.pregapLba >= 0) cue << "    INDEX 00 " << cueMsf(t.pregapLba) << "\n";
        cue << "    INDEX 01 " << cueMsf(t.startLba) << "\n";
    }
    if (!cue.flush()) return fail("cannot write " + cuePath);
    return true;
}

}  // namespace tallory::platform::scsi

namespace tallory::platform::scsi {

void SimulatedRecorder::damageSectorsFromEnvironment() {
    const char* list = std::getenv("TALLORY_SIM_DAMAGE_SECTORS");
    if (list == nullptr) return;
    std::stringstream s(list);
    std::string item;
    while (std::getline(s, item, ',')) {
        char* end = nullptr;
        const long lba = std::strtol(item.c_str(), &end, 10);
        if (end != item.c_str() && lba >= -150 && lba < capacity_) damageSector(int32_t(lba));
    }
}

}  // namespace tallory::platform::scsi
