#include "platform/scsi/sim_drive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tallory::platform::scsi {

namespace {

// MMC values the drive answers with.
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidField = 0x24;
constexpr uint8_t kAscIllegalModeForTrack = 0x64;
constexpr uint8_t kAscMediumNotPresent = 0x3A;
constexpr uint16_t kProfileCdRom = 0x0008;
constexpr uint16_t kProfileCdR = 0x0009;

void put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
void putPadded(uint8_t* p, const std::string& s, std::size_t width) {
    std::memset(p, ' ', width);
    std::memcpy(p, s.data(), std::min(width, s.size()));
}
void putAddress(uint8_t* p, int32_t lba, bool msf) {
    if (!msf) {
        put32(p, uint32_t(lba));
        return;
    }
    const Msf m = lbaToMsf(lba);
    p[0] = 0;
    p[1] = uint8_t(m.minutes);
    p[2] = uint8_t(m.seconds);
    p[3] = uint8_t(m.frames);
}

std::vector<uint8_t> feature(uint16_t code, bool current, std::initializer_list<uint8_t> data, uint8_t version = 0) {
    std::vector<uint8_t> f(4);
    f.reserve(4 + data.size());
    put16(f.data(), code);
    f[2] = uint8_t((version << 2) | (current ? 0x01 : 0x00) | (code <= 0x0001 ? 0x02 : 0x00));
    f[3] = uint8_t(data.size());
    f.insert(f.end(), data);
    return f;
}

}  // namespace

void SimCommand::fail(uint8_t key, uint8_t asc, uint8_t ascq, bool infoValid, uint32_t information) {
    failed_ = true;
    result_.status = kStatusCheckCondition;
    buildFixedSense(result_.sense.data(), key, asc, ascq, infoValid, information);
    result_.senseLength = uint8_t(kFixedSenseBytes);
}

void SimCommand::sendData(const uint8_t* bytes, std::size_t length, std::size_t allocationLength) {
    std::size_t n = std::min(length, allocationLength);
    const bool canReceive = command_.direction == DataDirection::FromDevice && command_.data != nullptr;
    const std::size_t room = canReceive ? command_.dataLength : 0;
    if (n > room) {
        // The device sent more than the host set up for: the HBA reports it.
        result_.hostStatus = HostStatus::Error;
        n = room;
    }
    if (n > 0) std::memcpy(command_.data, bytes, n);
    result_.residue = uint32_t(room - n);
}

bool SimCommand::receiveData(std::vector<uint8_t>& out, std::size_t expected) {
    const bool canSend = command_.direction == DataDirection::ToDevice && command_.data != nullptr;
    const std::size_t have = canSend ? command_.dataLength : 0;
    if (have < expected) {
        // Fewer bytes than the CDB announced: parameter list length error.
        fail(0x05, 0x1A, 0x00);
        return false;
    }
    out.assign(command_.data, command_.data + expected);
    result_.residue = uint32_t(have - expected);
    return true;
}

SimulatedDrive::SimulatedDrive(SimDriveIdentity identity, SimFaults faults)
    : identity_(std::move(identity)), faults_(std::move(faults)), rng_(faults_.seed) {
    readSpeed_ = identity_.maxReadSpeedKBs;
    writeSpeed_ = identity_.maxWriteSpeedKBs;
    using S = SimulatedDrive;
    auto add = [this](uint8_t op, uint8_t len, const char* name, bool medium, bool ua, void (S::*fn)(SimCommand&)) {
        registerCommand({op, len, name, medium, ua, [this, fn](SimCommand& c) { (this->*fn)(c); }});
    };
    add(0x00, 6, "TEST UNIT READY", true, true, &S::testUnitReady);
    add(0x03, 6, "REQUEST SENSE", false, false, &S::requestSense);
    add(0x12, 6, "INQUIRY", false, false, &S::inquiry);
    add(0x1B, 6, "START STOP UNIT", false, true, &S::startStopUnit);
    add(0x1E, 6, "PREVENT ALLOW MEDIUM REMOVAL", false, true, &S::preventAllow);
    add(0x25, 10, "READ CAPACITY", true, true, &S::readCapacity);
    add(0x28, 10, "READ(10)", true, true, &S::read10);
    add(0x42, 10, "READ SUB-CHANNEL", true, true, &S::readSubChannel);
    add(0x43, 10, "READ TOC/PMA/ATIP", true, true, &S::readToc);
    add(0x46, 10, "GET CONFIGURATION", false, false, &S::getConfiguration);
    add(0x5A, 10, "MODE SENSE(10)", false, true, &S::modeSense10);
    add(0xBB, 12, "SET CD SPEED", false, true, &S::setCdSpeed);
    add(0xBE, 12, "READ CD", true, true, &S::readCd);
    // Power on: the first command that reports it meets the reset.
    unitAttentions_.push_back({0x29, 0x00});
}

SimulatedDrive::~SimulatedDrive() = default;

void SimulatedDrive::registerCommand(SimCommandEntry entry) {
    std::lock_guard lock(mutex_);
    commands_table_[entry.opcode] = std::move(entry);
}

void SimulatedDrive::loadDisc(std::shared_ptr<DiscModel> disc) {
    std::lock_guard lock(mutex_);
    disc_ = std::move(disc);
    trayOpen_ = false;
    notReadyLeft_ = disc_ ? faults_.becomingReadyCommands : 0;
    if (disc_) unitAttentions_.push_back({0x28, 0x00});
}

void SimulatedDrive::ejectDisc() {
    std::lock_guard lock(mutex_);
    disc_.reset();
    trayOpen_ = true;
}

std::shared_ptr<DiscModel> SimulatedDrive::disc() const {
    std::lock_guard lock(mutex_);
    return disc_;
}

void SimulatedDrive::queueUnitAttention(uint8_t asc, uint8_t ascq) {
    std::lock_guard lock(mutex_);
    unitAttentions_.push_back({asc, ascq});
}

ScsiResult SimulatedDrive::execute(const ScsiCommand& command) {
    ScsiResult result;
    std::lock_guard lock(mutex_);
    ++commands_;
    if (command.cdb.empty() || command.cdb.size() > 16 || (command.dataLength > 0 && command.data == nullptr)) {
        result.transportError = EINVAL;
        return result;
    }
    if (command.dataLength > identity_.maxTransferBytes) {
        // Linux sg refuses a transfer past the queue's limit before sending it.
        result.transportError = ENOMEM;
        return result;
    }
    result.residue = command.dataLength;
    SimCommand c(*this, command, result);
    const SimCommandEntry& entry = commands_table_[command.cdb[0]];
    if (!entry.run) {
        c.fail(kSenseIllegalRequest, kAscInvalidOpcode, 0x00);
    } else if (command.cdb.size() != entry.cdbLength || (command.cdb.back() & 0x01) != 0) {
        // A CDB of the wrong length or with the obsolete LINK bit.
        c.invalidField();
    } else {
        if (faults_.unitAttentionEvery > 0 && commands_ % uint64_t(faults_.unitAttentionEvery) == 0)
            unitAttentions_.push_back({0x29, 0x00});
        if (entry.reportsUnitAttention && !unitAttentions_.empty()) {
            const auto ua = unitAttentions_.front();
            unitAttentions_.erase(unitAttentions_.begin());
            c.fail(kSenseUnitAttention, ua.first, ua.second);
        } else if (!entry.needsMedium || checkReady(c)) {
            entry.run(c);
        }
    }
    if (c.failed()) std::memcpy(lastSense_.data(), result.sense.data(), kFixedSenseBytes);
    return result;
}

bool SimulatedDrive::checkReady(SimCommand& c) {
    if (!disc_) {
        c.fail(kSenseNotReady, kAscMediumNotPresent, trayOpen_ ? 0x02 : 0x01);
        return false;
    }
    if (notReadyLeft_ > 0) {
        --notReadyLeft_;
        c.fail(kSenseNotReady, 0x04, 0x01);
        return false;
    }
    return true;
}

void SimulatedDrive::testUnitReady(SimCommand& c) {
    if (c.cdb(1) != 0 || c.cdb(2) != 0 || c.cdb(3) != 0 || c.cdb(4) != 0) c.invalidField();
}

void SimulatedDrive::requestSense(SimCommand& c) {
    if ((c.cdb(1) & 0xFE) != 0) return c.invalidField();
    std::array<uint8_t, kFixedSenseBytes> sense{};
    if (!unitAttentions_.empty()) {
        buildFixedSense(sense.data(), kSenseUnitAttention, unitAttentions_.front().first,
                        unitAttentions_.front().second);
        unitAttentions_.erase(unitAttentions_.begin());
    } else if (lastSense_[0] != 0) {
        sense = lastSense_;
    } else {
        buildFixedSense(sense.data(), kSenseNoSense, 0, 0);
    }
    lastSense_.fill(0);
    c.sendData(sense.data(), sense.size(), c.cdb(4));
}

void SimulatedDrive::inquiry(SimCommand& c) {
    const bool evpd = (c.cdb(1) & 0x01) != 0;
    if ((c.cdb(1) & 0xFE) != 0 || (!evpd && c.cdb(2) != 0)) return c.invalidField();
    const uint16_t allocation = c.cdb16(3);
    const uint8_t head = uint8_t((identity_.peripheralQualifier << 5) | (identity_.peripheralType & 0x1F));
    if (evpd) {
        std::vector<uint8_t> page;
        if (c.cdb(2) == 0x00) {
            page = {head, 0x00, 0x00, 0x02, 0x00, 0x80};
        } else if (c.cdb(2) == 0x80) {
            const std::string serial = "SIM" + std::to_string(identity_.address.host) +
                                       std::to_string(identity_.address.target);
            page = {head, 0x80, 0x00, uint8_t(serial.size())};
            page.insert(page.end(), serial.begin(), serial.end());
        } else {
            return c.invalidField();
        }
        return c.sendData(page.data(), page.size(), allocation);
    }
    uint8_t data[36] = {};
    data[0] = head;
    data[1] = 0x80;  // removable medium
    data[2] = 0x05;  // SPC-3
    data[3] = 0x02;  // response data format 2
    data[4] = sizeof data - 5;
    putPadded(data + 8, identity_.vendor, 8);
    putPadded(data + 16, identity_.product, 16);
    putPadded(data + 32, identity_.revision, 4);
    c.sendData(data, sizeof data, allocation);
}

void SimulatedDrive::startStopUnit(SimCommand& c) {
    const bool start = (c.cdb(4) & 0x01) != 0;
    const bool loadEject = (c.cdb(4) & 0x02) != 0;
    if ((c.cdb(1) & 0xFE) != 0) return c.invalidField();
    if (!loadEject) return;
    if (!start) {
        if (preventRemoval_) return c.fail(kSenseIllegalRequest, 0x53, 0x02);
        trayOpen_ = true;
        return;
    }
    if (trayOpen_) {
        trayOpen_ = false;
        if (disc_) {
            unitAttentions_.push_back({0x28, 0x00});
            notReadyLeft_ = faults_.becomingReadyCommands;
        }
    }
}

void SimulatedDrive::preventAllow(SimCommand& c) {
    if ((c.cdb(4) & 0xFC) != 0) return c.invalidField();
    preventRemoval_ = (c.cdb(4) & 0x01) != 0;
}

void SimulatedDrive::readCapacity(SimCommand& c) {
    if ((c.cdb(8) & 0x01) == 0 && c.cdb32(2) != 0) return c.invalidField();
    uint8_t data[8];
    put32(data, uint32_t(std::max<int32_t>(disc_->leadOutLba() - 1, 0)));
    put32(data + 4, 2048);
    c.sendData(data, sizeof data, sizeof data);
}

void SimulatedDrive::readToc(SimCommand& c) {
    const bool msf = (c.cdb(1) & 0x02) != 0;
    uint8_t format = c.cdb(2) & 0x0F;
    if (format == 0 && (c.cdb(9) & 0xC0) != 0) format = uint8_t(c.cdb(9) >> 6);  // the old format field
    const uint16_t allocation = c.cdb16(7);
    const DiscModel& d = *disc_;
    if (d.blank()) return c.invalidField();
    std::vector<uint8_t> out(4);
    if (format == 0) {
        const uint8_t start = c.cdb(6);
        if (start > d.lastTrack() && start != 0xAA) return c.invalidField();
        for (const DiscTrack& t : d.tracks) {
            if (t.number < start) continue;
            uint8_t e[8] = {0, uint8_t(0x10 | t.control()), uint8_t(t.number), 0};
            putAddress(e + 4, t.startLba, msf);
            out.insert(out.end(), e, e + 8);
        }
        uint8_t lo[8] = {0, uint8_t(0x10 | (d.tracks.back().control() & 0x04)), 0xAA, 0};
        putAddress(lo + 4, d.leadOutLba(), msf);
        out.insert(out.end(), lo, lo + 8);
        out[2] = uint8_t(d.firstTrack());
        out[3] = uint8_t(d.lastTrack());
    } else if (format == 1) {
        const DiscSession& last = d.sessions.back();
        const DiscTrack* first = d.track(last.firstTrack);
        uint8_t e[8] = {0, uint8_t(0x10 | first->control()), uint8_t(first->number), 0};
        putAddress(e + 4, first->startLba, msf);
        out.insert(out.end(), e, e + 8);
        out[2] = 1;
        out[3] = uint8_t(d.sessions.size());
    } else if (format == 2) {
        const uint8_t startSession = c.cdb(6);
        for (std::size_t si = 0; si < d.sessions.size(); ++si) {
            const DiscSession& s = d.sessions[si];
            if (s.number < startSession) continue;
            const DiscTrack* first = d.track(s.firstTrack);
            const DiscTrack* last = d.track(s.lastTrack);
            bool xa = false;
            for (int n = s.firstTrack; n <= s.lastTrack; ++n) xa = xa || d.track(n)->mode == TrackModeKind::Mode2Raw;
            auto point = [&](uint8_t ctl, uint8_t pt, int32_t lba, uint8_t pmin, uint8_t psec, uint8_t pframe) {
                uint8_t e[11] = {uint8_t(s.number), uint8_t(0x10 | ctl), 0, pt, 0, 0, 0, 0, pmin, psec, pframe};
                if (lba != INT32_MIN) {
                    const Msf m = lbaToMsf(lba);
                    e[8] = uint8_t(m.minutes);
                    e[9] = uint8_t(m.seconds);
                    e[10] = uint8_t(m.frames);
                }
                out.insert(out.end(), e, e + 11);
            };
            point(first->control(), 0xA0, INT32_MIN, uint8_t(s.firstTrack), xa ? 0x20 : 0x00, 0);
            point(last->control(), 0xA1, INT32_MIN, uint8_t(s.lastTrack), 0, 0);
            point(last->control(), 0xA2, s.leadOutLba, 0, 0, 0);
            for (int n = s.firstTrack; n <= s.lastTrack; ++n) {
                const DiscTrack* t = d.track(n);
                point(t->control(), uint8_t(n), t->startLba, 0, 0, 0);
            }
            if (si + 1 < d.sessions.size()) {
                // B0: where the next session's program area starts.
                const Msf next = lbaToMsf(s.leadOutLba + kSessionGapSectors);
                uint8_t e[11] = {uint8_t(s.number), 0x52, 0, 0xB0, uint8_t(next.minutes), uint8_t(next.seconds),
                                 uint8_t(next.frames), 0x02, 79, 59, 74};
                out.insert(out.end(), e, e + 11);
            }
        }
        out[2] = 1;
        out[3] = uint8_t(d.sessions.size());
    } else if (format == 5) {
        // CD-TEXT of the lead-in: the packs, or the header alone when the disc has none.
        out.insert(out.end(), d.cdTextPacks.begin(), d.cdTextPacks.end());
    } else {
        return c.invalidField();
    }
    put16(out.data(), uint32_t(out.size() - 2));
    c.sendData(out.data(), out.size(), allocation);
}

void SimulatedDrive::readSubChannel(SimCommand& c) {
    // MMC READ SUB-CHANNEL: formats 02h (media catalog number) and 03h (ISRC)
    // from the Q sub-channel's mode 2 and mode 3 frames.
    if ((c.cdb(1) & 0xFD) != 0 || (c.cdb(2) & 0xBF) != 0) return c.invalidField();
    const uint8_t format = c.cdb(3);
    const bool subQ = (c.cdb(2) & 0x40) != 0;
    std::vector<uint8_t> out(4, 0);
    out[1] = 0x15;  // no current audio status
    if (subQ) {
        out.resize(24, 0);
        out[4] = format;
        const DiscModel& d = *disc_;
        if (format == 2) {
            if (d.catalog.size() == 13) {
                out[8] = 0x80;  // MCVal
                std::memcpy(&out[9], d.catalog.data(), 13);
            }
        } else if (format == 3) {
            const DiscTrack* t = d.track(c.cdb(6));
            if (t == nullptr) return c.invalidField();
            out[5] = uint8_t((t->control() << 4) | 0x03);
            out[6] = uint8_t(t->number);
            if (t->isrc.size() == 12) {
                out[8] = 0x80;  // TCVal
                std::memcpy(&out[9], t->isrc.data(), 12);
            }
        } else {
            return c.invalidField();
        }
        put16(out.data() + 2, uint32_t(out.size() - 4));
    }
    c.sendData(out.data(), out.size(), c.cdb16(7));
}

void SimulatedDrive::readAudioSectors(SimCommand& c, int32_t lba, uint32_t count, uint32_t bytesPerSector, bool c2,
                                      int subchannel) {
    (void)subchannel;
    const DiscModel& d = *disc_;
    uint32_t deliver = count;
    uint32_t firstBad = count;  // index of the first unreadable sector
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t s = lba + int32_t(i);
        auto flaky = faults_.flakySectors.find(s);
        if (faults_.badSectors.count(s) != 0 || (flaky != faults_.flakySectors.end() && flaky->second > 0)) {
            if (flaky != faults_.flakySectors.end() && flaky->second > 0) --flaky->second;
            firstBad = i;
            deliver = i;
            break;
        }
    }
    bool shortened = false;
    if (firstBad == count && count > 1 && faults_.shortReadShare > 0 &&
        std::uniform_real_distribution<double>(0, 1)(rng_) < faults_.shortReadShare) {
        deliver = std::uniform_int_distribution<uint32_t>(0, count - 1)(rng_);
        shortened = true;
    }
    int jitter = 0;
    if (faults_.jitterShare > 0 && faults_.jitterMaxSamples > 0 &&
        std::uniform_real_distribution<double>(0, 1)(rng_) < faults_.jitterShare)
    {
        const int lo = std::min(faults_.jitterMinSamples, faults_.jitterMaxSamples);
        jitter = std::uniform_int_distribution<int>(lo, faults_.jitterMaxSamples)(rng_);
        if (std::uniform_int_distribution<int>(0, 1)(rng_) == 1) jitter = -jitter;
    }
    std::vector<uint8_t> data(std::size_t(deliver) * bytesPerSector);
    std::vector<uint8_t> audio(std::size_t(deliver) * kRawSectorBytes);
    const int64_t bytePos = int64_t(lba) * kRawSectorBytes + int64_t(jitter - faults_.readOffsetSamples) * 4;
    if (!d.readAudioBytes(bytePos, audio)) return c.fail(kSenseMediumError, 0x11, 0x00, true, uint32_t(lba));
    for (uint32_t i = 0; i < deliver; ++i) {
        uint8_t* out = data.data() + std::size_t(i) * bytesPerSector;
        if (bytesPerSector >= kRawSectorBytes || !c2)
            std::memcpy(out, audio.data() + std::size_t(i) * kRawSectorBytes,
                        std::min<uint32_t>(bytesPerSector, kRawSectorBytes));
        // C2 pointers stay zero: no sector that reads carries C2 errors.
    }
    sectorsRead_ += deliver;
    c.sendData(data.data(), data.size(), data.size());
    if (firstBad < count) {
        c.fail(kSenseMediumError, 0x11, 0x00, true, uint32_t(lba) + firstBad);
    }
    (void)shortened;
}

void SimulatedDrive::readCd(SimCommand& c) {
    const uint8_t expected = (c.cdb(1) >> 2) & 0x07;
    if ((c.cdb(1) & 0xE1) != 0 || expected > 5) return c.invalidField();
    const int32_t lba = int32_t(c.cdb32(2));
    const uint32_t count = c.cdb24(6);
    const uint8_t flags = c.cdb(9);
    const uint8_t c2Bits = (flags >> 1) & 0x03;
    const int sub = c.cdb(10) & 0x07;
    if ((flags & 0x01) != 0 || c2Bits == 3 || sub != 0 || (c.cdb(10) & 0xF8) != 0) return c.invalidField();
    if (count == 0) return;
    const DiscModel& d = *disc_;
    if (lba < 0 || int64_t(lba) + count > d.leadOutLba()) return c.fail(kSenseIllegalRequest, kAscLbaOutOfRange, 0x00);
    const DiscTrack* first = d.trackAt(lba);
    const DiscTrack* last = d.trackAt(lba + int32_t(count) - 1);
    if (first == nullptr || last == nullptr) return c.fail(kSenseIllegalRequest, kAscLbaOutOfRange, 0x00);
    bool anyData = false;
    bool anyAudio = false;
    for (const DiscTrack* t = first; t <= last; ++t) (t->audio() ? anyAudio : anyData) = true;
    if ((expected == 1 && anyData) || (expected >= 2 && anyAudio) || (anyData && anyAudio))
        return c.fail(kSenseIllegalRequest, kAscIllegalModeForTrack, 0x00);
    if (anyAudio) {
        uint32_t bytes = (flags & 0x10) != 0 ? kRawSectorBytes : 0;
        if (c2Bits == 1) bytes += 294;
        if (c2Bits == 2) bytes += 296;
        return readAudioSectors(c, lba, count, bytes, c2Bits != 0, sub);
    }
    // Data sectors: sync 12, header 4, user data, EDC/ECC (MMC-6 table 386, Mode 1).
    uint32_t bytes = 0;
    const bool sync = (flags & 0x80) != 0, header = (flags & 0x20) != 0, user = (flags & 0x10) != 0,
               edc = (flags & 0x08) != 0;
    if (sync) bytes += 12;
    if (header) bytes += 4;
    if (user) bytes += 2048;
    if (edc) bytes += 288;
    std::vector<uint8_t> data(std::size_t(count) * bytes);
    uint8_t raw[kRawSectorBytes];
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t s = lba + int32_t(i);
        if (faults_.badSectors.count(s) != 0 || !d.readRawSector(s, raw)) {
            c.sendData(data.data(), std::size_t(i) * bytes, std::size_t(i) * bytes);
            return c.fail(kSenseMediumError, 0x11, 0x00, true, uint32_t(s));
        }
        uint8_t* out = data.data() + std::size_t(i) * bytes;
        if (sync) out = std::copy(raw, raw + 12, out);
        if (header) out = std::copy(raw + 12, raw + 16, out);
        if (user) out = std::copy(raw + 16, raw + 16 + 2048, out);
        if (edc) std::copy(raw + 2064, raw + 2352, out);
    }
    sectorsRead_ += count;
    c.sendData(data.data(), data.size(), data.size());
}

void SimulatedDrive::read10(SimCommand& c) {
    if ((c.cdb(1) & 0x01) != 0) return c.invalidField();
    const int32_t lba = int32_t(c.cdb32(2));
    const uint32_t count = c.cdb16(7);
    if (count == 0) return;
    const DiscModel& d = *disc_;
    if (lba < 0 || int64_t(lba) + count > d.leadOutLba()) return c.fail(kSenseIllegalRequest, kAscLbaOutOfRange, 0x00);
    std::vector<uint8_t> data(std::size_t(count) * 2048);
    uint8_t raw[kRawSectorBytes];
    for (uint32_t i = 0; i < count; ++i) {
        const DiscTrack* t = d.trackAt(lba + int32_t(i));
        if (t == nullptr) return c.fail(kSenseIllegalRequest, kAscLbaOutOfRange, 0x00);
        if (t->mode != TrackModeKind::Mode1Cooked && t->mode != TrackModeKind::Mode1Raw)
            return c.fail(kSenseIllegalRequest, kAscIllegalModeForTrack, 0x00);
        if (faults_.badSectors.count(lba + int32_t(i)) != 0 || !d.readRawSector(lba + int32_t(i), raw)) {
            c.sendData(data.data(), std::size_t(i) * 2048, std::size_t(i) * 2048);
            return c.fail(kSenseMediumError, 0x11, 0x00, true, uint32_t(lba) + i);
        }
        std::memcpy(data.data() + std::size_t(i) * 2048, raw + 16, 2048);
    }
    sectorsRead_ += count;
    c.sendData(data.data(), data.size(), data.size());
}

void SimulatedDrive::setCdSpeed(SimCommand& c) {
    if ((c.cdb(1) & 0xFC) != 0) return c.invalidField();
    auto clamp = [](uint16_t asked, uint16_t max) -> uint16_t {
        if (asked == 0xFFFF || asked > max) return max;
        return std::max<uint16_t>(asked, std::min<uint16_t>(176, max));
    };
    readSpeed_ = clamp(c.cdb16(2), identity_.maxReadSpeedKBs);
    if (identity_.recorder) writeSpeed_ = clamp(c.cdb16(4), identity_.maxWriteSpeedKBs);
}

void SimulatedDrive::modeSense10(SimCommand& c) {
    const uint8_t control = c.cdb(2) >> 6;
    const uint8_t page = c.cdb(2) & 0x3F;
    if ((c.cdb(1) & 0xE7) != 0 || c.cdb(3) != 0 || (page != 0x2A && page != 0x3F)) return c.invalidField();
    if (control == 3) return c.fail(kSenseIllegalRequest, 0x39, 0x00);  // saving parameters not supported
    std::vector<uint8_t> out(8 + 30, 0);
    uint8_t* p = out.data() + 8;
    p[0] = 0x2A;
    p[1] = 28;
    if (control != 1) {  // changeable values: none
        p[2] = 0x03;                                  // reads CD-R, CD-RW
        p[3] = identity_.recorder ? 0x01 : 0x00;      // writes CD-R
        p[4] = uint8_t(0x01 | (identity_.bufferUnderrunProtection ? 0x80 : 0));  // audio play, BUF
        p[5] = 0x03;                                  // CD-DA commands, accurate stream
        p[6] = 0x29;                                  // lock, eject, tray loading
        put16(p + 8, identity_.maxReadSpeedKBs);
        put16(p + 10, 256);
        put16(p + 12, identity_.bufferKB);
        put16(p + 14, readSpeed_);
        put16(p + 18, identity_.maxWriteSpeedKBs);
        put16(p + 20, writeSpeed_);
    }
    put16(out.data(), uint32_t(out.size() - 2));
    c.sendData(out.data(), out.size(), c.cdb16(7));
}

void SimulatedDrive::getConfiguration(SimCommand& c) {
    const uint8_t rt = c.cdb(1) & 0x03;
    if ((c.cdb(1) & 0xFC) != 0 || rt == 3) return c.invalidField();
    const uint16_t start = c.cdb16(2);
    const bool medium = disc_ != nullptr && !trayOpen_;
    const bool recordableMedium = medium && disc_->recordable;
    const uint16_t current = !medium ? 0 : (recordableMedium && identity_.recorder ? kProfileCdR : kProfileCdRom);
    std::vector<std::vector<uint8_t>> features;
    {
        std::vector<uint8_t> profiles;
        if (identity_.recorder) profiles.insert(profiles.end(), {0x00, 0x09, uint8_t(current == kProfileCdR), 0});
        profiles.insert(profiles.end(), {0x00, 0x08, uint8_t(current == kProfileCdRom), 0});
        std::vector<uint8_t> f = feature(0x0000, true, {});
        f.insert(f.end(), profiles.begin(), profiles.end());
        f[3] = uint8_t(profiles.size());
        features.push_back(f);
    }
    features.push_back(feature(0x0001, true, {0, 0, 0, 0x02, 0, 0, 0, 0}, 1));  // core, ATAPI
    features.push_back(feature(0x0003, true, {0x29, 0, 0, 0}));                // removable: tray, eject, lock
    features.push_back(feature(0x001E, medium, {0x00, 0, 0, 0}, 2));            // CD read
    if (identity_.recorder) {
        const uint8_t buf = identity_.bufferUnderrunProtection ? 0x40 : 0;
        features.push_back(feature(0x002D, recordableMedium, {uint8_t(buf | 0x04), 0, 0, 0}, 2));  // TAO, test write
        features.push_back(feature(0x002E, recordableMedium,
                                    {uint8_t(buf | 0x20 | 0x04 | (identity_.cdTextWriting ? 0x01 : 0)), 0, 0, 0}));  // SAO, R-W
    }
    for (const auto& f : extraFeatures_) features.push_back(f);
    std::sort(features.begin(), features.end(),
              [](const auto& a, const auto& b) { return ((a[0] << 8) | a[1]) < ((b[0] << 8) | b[1]); });
    std::vector<uint8_t> out(8, 0);
    put16(out.data() + 6, current);
    for (const auto& f : features) {
        const uint16_t code = uint16_t((f[0] << 8) | f[1]);
        if (code < start) continue;
        if (rt == 1 && (f[2] & 0x01) == 0) continue;
        if (rt == 2 && code != start) continue;
        out.insert(out.end(), f.begin(), f.end());
    }
    put32(out.data(), uint32_t(out.size() - 4));
    c.sendData(out.data(), out.size(), c.cdb16(7));
}

}  // namespace tallory::platform::scsi
