#include "cd/engine/scsi/device.h"

#include <cstring>
#include <vector>

namespace tallory::cd::engine::scsi {

using platform::scsi::DataDirection;
using platform::scsi::ScsiCommand;
using platform::scsi::ScsiResult;

Device::Device(std::shared_ptr<platform::scsi::ScsiTransport> transport, DeviceRecord record, uint32_t transferSize)
    : transport_(std::move(transport)), record_(record), transferSize_(transferSize) {}

int32_t Device::tryCommand(std::span<const uint8_t> cdb, DataDirection direction, uint8_t* data, uint32_t length,
                           bool requireFull, uint32_t detail[6]) {
    if (length > transport_->maxTransferLength() || length > std::max<uint32_t>(transferSize_, 4096)) {
        if (detail != nullptr) std::memset(detail, 0, 6 * sizeof(uint32_t));
        return kErrBufferTooBig;
    }
    ScsiCommand c;
    c.cdb = cdb;
    c.direction = length > 0 ? direction : DataDirection::None;
    c.data = data;
    c.dataLength = length;
    int32_t code = 0;
    RequestStatus st;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ScsiResult r = transport_->execute(c);
        st = requestStatusOf(r);
        code = statusToCode(st);
        if (code == 0 && requireFull && (r.residue != 0 || st.adapter == 0x12)) code = kErrOverrun;
        if (code != kErrUnitAttention) break;
    }
    if (detail != nullptr) {
        detail[0] = st.request;
        detail[1] = st.adapter;
        detail[2] = st.target;
        detail[3] = st.sense.key;
        detail[4] = st.sense.asc;
        detail[5] = st.sense.ascq;
    }
    return code;
}

ScsiResult Device::command(const char* name, std::span<const uint8_t> cdb, DataDirection direction, uint8_t* data,
                           uint32_t length, bool requireFull) {
    uint32_t detail[6];
    const int32_t code = tryCommand(cdb, direction, data, length, requireFull, detail);
    if (code == kErrBufferTooBig) throw EngineError(kErrBufferTooBig);
    if (code != 0) {
        EngineError e(kErrCommandFailed, {record_.hostAdapter, record_.target, record_.lun}, name);
        e.withDetail(code, detail, 6);
        throw e;
    }
    return {};
}

void Device::readToc(uint8_t* out, uint32_t capacity, uint32_t* length) {
    const uint8_t cdb[10] = {0x43, 0, 0, 0, 0, 0, 0, uint8_t(capacity >> 8), uint8_t(capacity), 0};
    std::memset(out, 0, capacity);
    uint32_t detail[6];
    const int32_t code = tryCommand(cdb, DataDirection::FromDevice, out, capacity, false, detail);
    if (code != 0) {
        EngineError e(kErrCommandFailed, {record_.hostAdapter, record_.target, record_.lun}, "READ TOC");
        e.withDetail(code, detail, 6);
        throw e;
    }
    const uint32_t declared = ((uint32_t(out[0]) << 8) | out[1]) + 2;
    *length = std::min(declared, capacity);
}

void Device::setSpeed(int speed) {
    const uint16_t kbs = speed <= 0 ? 0xFFFF : uint16_t(std::min(speed * 176, 0xFFFE));
    const uint8_t cdb[12] = {0xBB, 0, uint8_t(kbs >> 8), uint8_t(kbs), 0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
    command("SET SPEED", cdb, DataDirection::None, nullptr, 0, false);
}

int32_t Device::readAudio(int32_t lba, uint32_t count, uint8_t* out, uint32_t detail[6]) {
    const uint8_t cdb[12] = {0xBE, 0x04, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
                             uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count), 0x10, 0, 0};
    return tryCommand(cdb, DataDirection::FromDevice, out, count * 2352u, true, detail);
}

bool Device::testUnitReady() {
    const uint8_t cdb[6] = {0, 0, 0, 0, 0, 0};
    return tryCommand(cdb, DataDirection::None, nullptr, 0, false, nullptr) == 0;
}

bool parseToc(std::span<const uint8_t> data, std::vector<TocEntry>& entries, int* first, int* last,
              std::string* reason) {
    entries.clear();
    auto fail = [&](std::string why) {
        if (reason != nullptr) *reason = std::move(why);
        entries.clear();
        return false;
    };
    if (data.size() < 4) return fail("table of contents shorter than its header");
    const std::size_t declared = ((std::size_t(data[0]) << 8) | data[1]) + 2;
    const std::size_t usable = std::min(declared, data.size());
    const int f = data[2], l = data[3];
    if (f < 1 || f > l || l > 99)
        return fail("table of contents names tracks " + std::to_string(f) + " to " + std::to_string(l));
    for (std::size_t pos = 4; pos + 8 <= usable; pos += 8) {
        TocEntry e;
        e.control = data[pos + 1] & 0x0F;
        e.track = data[pos + 2];
        e.lba = int32_t((uint32_t(data[pos + 4]) << 24) | (uint32_t(data[pos + 5]) << 16) |
                        (uint32_t(data[pos + 6]) << 8) | data[pos + 7]);
        if (e.track > 99 && e.track != 0xAA) return fail("table entry with track number " + std::to_string(e.track));
        if (!entries.empty() && e.lba <= entries.back().lba)
            return fail("track " + std::to_string(e.track) + " starts at " + std::to_string(e.lba) +
                        ", not after the entry before it");
        if (e.lba < 0 || e.lba > 100 * 60 * 75) return fail("table entry at sector " + std::to_string(e.lba));
        entries.push_back(e);
        if (e.track == 0xAA) break;
        if (entries.size() > 100) break;
    }
    if (entries.empty() || entries.back().track != 0xAA) return fail("table of contents without a lead-out");
    if (int(entries.size()) != l - f + 2) return fail("table of contents lists " + std::to_string(entries.size() - 1) +
                                                     " tracks for " + std::to_string(f) + " to " + std::to_string(l));
    for (std::size_t i = 0; i + 1 < entries.size(); ++i)
        if (entries[i].track != f + int(i)) return fail("track numbers out of order");
    *first = f;
    *last = l;
    return true;
}

}  // namespace tallory::cd::engine::scsi
