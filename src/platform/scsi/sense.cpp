#include "platform/scsi/sense.h"

#include <cstdio>
#include <cstring>

namespace tallory::platform::scsi {

SenseInfo parseSense(std::span<const uint8_t> bytes) noexcept {
    SenseInfo info;
    if (bytes.empty()) return info;
    const uint8_t code = bytes[0] & 0x7F;
    if (code == 0x70 || code == 0x71) {
        if (bytes.size() < 3) return info;
        info.valid = true;
        info.deferred = code == 0x71;
        info.key = bytes[2] & 0x0F;
        info.endOfMedium = (bytes[2] & 0x40) != 0;
        info.illegalLength = (bytes[2] & 0x20) != 0;
        // Byte 7 tells how many bytes follow; never trust it past the buffer.
        std::size_t end = bytes.size();
        if (bytes.size() >= 8) end = std::min<std::size_t>(end, 8u + bytes[7]);
        if (end >= 7) {
            info.infoValid = (bytes[0] & 0x80) != 0;
            info.information = (uint32_t(bytes[3]) << 24) | (uint32_t(bytes[4]) << 16) | (uint32_t(bytes[5]) << 8) | bytes[6];
        }
        if (end >= 13) info.asc = bytes[12];
        if (end >= 14) info.ascq = bytes[13];
        return info;
    }
    if (code == 0x72 || code == 0x73) {
        if (bytes.size() < 4) return info;
        info.valid = true;
        info.deferred = code == 0x73;
        info.key = bytes[1] & 0x0F;
        info.asc = bytes[2];
        info.ascq = bytes[3];
        if (bytes.size() < 8) return info;
        const std::size_t end = std::min<std::size_t>(bytes.size(), 8u + bytes[7]);
        // Walk the descriptors (SPC-4 4.5.2.1); each names its own length.
        std::size_t pos = 8;
        while (pos + 2 <= end) {
            const uint8_t type = bytes[pos];
            const std::size_t len = bytes[pos + 1];
            if (pos + 2 + len > end) break;
            if (type == 0x00 && len >= 10) {  // information descriptor
                info.infoValid = (bytes[pos + 2] & 0x80) != 0;
                uint64_t v = 0;
                for (int i = 0; i < 8; ++i) v = (v << 8) | bytes[pos + 4 + i];
                info.information = v;
            } else if (type == 0x04 && len >= 2) {  // stream commands: EOM, ILI
                info.endOfMedium = (bytes[pos + 3] & 0x40) != 0;
                info.illegalLength = (bytes[pos + 3] & 0x20) != 0;
            }
            pos += 2 + len;
        }
        return info;
    }
    return info;
}

void buildFixedSense(uint8_t* out, uint8_t key, uint8_t asc, uint8_t ascq, bool infoValid,
                     uint32_t information) noexcept {
    std::memset(out, 0, kFixedSenseBytes);
    out[0] = 0x70 | (infoValid ? 0x80 : 0);
    out[2] = key & 0x0F;
    out[3] = uint8_t(information >> 24);
    out[4] = uint8_t(information >> 16);
    out[5] = uint8_t(information >> 8);
    out[6] = uint8_t(information);
    out[7] = kFixedSenseBytes - 8;
    out[12] = asc;
    out[13] = ascq;
}

std::string describeSense(const SenseInfo& sense) {
    static const char* const names[16] = {"NO SENSE",        "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
                                          "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
                                          "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
                                          "RESERVED",        "VOLUME OVERFLOW", "MISCOMPARE",     "COMPLETED"};
    if (!sense.valid) return "no valid sense data";
    char text[80];
    std::snprintf(text, sizeof text, "%s %02Xh/%02Xh", names[sense.key & 0x0F], sense.asc, sense.ascq);
    return text;
}

}  // namespace tallory::platform::scsi
