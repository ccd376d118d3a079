#include "formats/mp3/mp3_settings.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tallory/settings.h"

namespace tallory::formats::mp3 {

namespace {

constexpr const char* kSection = "MP3";
constexpr const char* kValue = "General";

constexpr const char* kOnOffError = "Value either 'on' or 'off'. If no value is specified, 'on' will be used";
constexpr const char* kBitrateError = "Value must be a number ended by either kbps, bps or nothing";
constexpr const char* kRateError = "Value must be a number ended by either kHz, Hz or nothing";

bool equalsNoCase(const char* a, const char* b) { return ::strcasecmp(a, b) == 0; }

// "on", "off" or no value (on).
bool parseOnOff(const char* value, int32_t& out) {
    if (value == nullptr || value[0] == '\0' || equalsNoCase(value, "on")) {
        out = 1;
        return true;
    }
    if (equalsNoCase(value, "off")) {
        out = 0;
        return true;
    }
    return false;
}

// A base-10 integer at the start of value, then exactly one of the units (or
// nothing); the unit follows the digits directly.
bool parseNumberWithUnit(const char* value, const char* unitA, long factorA, const char* unitB, long divisorB,
                         int32_t& out) {
    if (value == nullptr) return false;
    errno = 0;
    char* end = nullptr;
    long n = std::strtol(value, &end, 10);
    if (end == value || errno != 0) return false;
    if (*end == '\0') {
        // nothing after the number
    } else if (equalsNoCase(end, unitA)) {
        n *= factorA;
    } else if (equalsNoCase(end, unitB)) {
        n /= divisorB;
    } else {
        return false;
    }
    if (n < INT32_MIN || n > INT32_MAX) return false;
    out = static_cast<int32_t>(n);
    return true;
}

const char* modeName(const Mp3Settings& s) {
    if (s.encoder == kEncoderLame) {
        switch (s.channelMode) {
            case 0: return "stereo";
            case 1: return "joined stereo";
            case 2: return "dual channel";
            default: return "mono";
        }
    }
    return s.channelMode == 1 ? "mono" : "stereo";
}

}  // namespace

Mp3Settings loadDefaultSettings() {
    Mp3Settings s;
    Mp3Settings stored;
    uint32_t size = sizeof stored;
    // Only a record of exactly the stored size is taken.
    if (GetProfileBinary(kSection, kValue, &stored, &size) && size == sizeof stored) s = stored;
    if (s.encoder < kEncoderBladeEnc || s.encoder > kEncoderCodec) s.encoder = kEncoderCodec;
    return s;
}

bool storeDefaultSettings(const Mp3Settings& settings) {
    return PutProfileBinary(kSection, kValue, &settings, sizeof settings);
}

bool applyOption(Mp3Settings& s, const char* name, const char* value, std::string& error) {
    error.clear();
    if (name == nullptr) return false;
    if (equalsNoCase(name, "encoder")) {
        if (value != nullptr && equalsNoCase(value, "LAME")) {
            s.encoder = kEncoderLame;
        } else if (value != nullptr && equalsNoCase(value, "BladeEnc")) {
            s.encoder = kEncoderBladeEnc;
        } else if (value != nullptr && equalsNoCase(value, "Codec")) {
            s.encoder = kEncoderCodec;
        } else {
            error = "Value must be either LAME, BladeEnc or Codec";
            return false;
        }
        return true;
    }
    struct Flag {
        const char* key;
        int32_t Mp3Settings::*field;
    };
    static const Flag flags[] = {{"mpeg-ii", &Mp3Settings::mpeg2},      {"enable-vbr", &Mp3Settings::vbr},
                                 {"crc", &Mp3Settings::crc},            {"original", &Mp3Settings::original},
                                 {"copyright", &Mp3Settings::copyright}, {"private", &Mp3Settings::privateFlag}};
    for (const Flag& f : flags) {
        if (!equalsNoCase(name, f.key)) continue;
        if (!parseOnOff(value, s.*f.field)) {
            error = kOnOffError;
            return false;
        }
        return true;
    }
    if (equalsNoCase(name, "channels")) {
        // Interpreted by the encoder in force now, so "encoder" must come first.
        if (s.encoder == kEncoderLame) {
            static const struct { const char* text; int32_t mode; } modes[] = {
                {"mono", 3}, {"stereo", 0}, {"joined-stereo", 1}, {"dual-channel", 2}};
            for (const auto& m : modes) {
                if (value != nullptr && equalsNoCase(value, m.text)) {
                    s.channelMode = m.mode;
                    return true;
                }
            }
            error = "Value must be either Mono, Dual-Channel, Joined-Stereo or Stereo";
            return false;
        }
        if (value != nullptr && equalsNoCase(value, "mono")) {
            s.channelMode = 1;
        } else if (value != nullptr && equalsNoCase(value, "stereo")) {
            s.channelMode = 2;
        } else {
            error = "Value must be either Mono or Stereo (when L.A.M.E encoder is not used)";
            return false;
        }
        return true;
    }
    if (equalsNoCase(name, "bitrate") || equalsNoCase(name, "max-bitrate")) {
        int32_t kbps = 0;
        if (!parseNumberWithUnit(value, "kbps", 1, "bps", 1000, kbps)) {
            error = kBitrateError;
            return false;
        }
        (equalsNoCase(name, "bitrate") ? s.bitrate : s.maxBitrate) = kbps;
        return true;
    }
    if (equalsNoCase(name, "sample-rate")) {
        if (!parseNumberWithUnit(value, "kHz", 1000, "Hz", 1, s.sampleRate)) {
            error = kRateError;
            return false;
        }
        return true;
    }
    if (equalsNoCase(name, "vbr-quality")) {
        errno = 0;
        char* end = nullptr;
        long q = value != nullptr ? std::strtol(value, &end, 10) : 0;
        if (value == nullptr || end == value || *end != '\0' || errno != 0 || q < INT32_MIN || q > INT32_MAX) {
            error = "Value must be a number between 0 (best) and 9 (worse)";
            return false;
        }
        s.vbrQuality = static_cast<int32_t>(q);
        return true;
    }
    return false;
}

std::string describe(const Mp3Settings& s) {
    const char* encoder = s.encoder == kEncoderBladeEnc ? "BladeEnc" : s.encoder == kEncoderLame ? "L.A.M.E." : "MP3 Codec";
    char maxPart[32] = "", qualityPart[32] = "", ratePart[64];
    if (s.vbr != 0) {
        std::snprintf(maxPart, sizeof maxPart, " - %d", s.maxBitrate);
        std::snprintf(qualityPart, sizeof qualityPart, "; VBR quality %d", s.vbrQuality);
    }
    if (s.sampleRate == 0) {
        std::snprintf(ratePart, sizeof ratePart, "auto kHz");
    } else {
        std::snprintf(ratePart, sizeof ratePart, "%i kHz / %s", s.sampleRate / 1000, modeName(s));
    }
    std::string flagList;
    if (s.mpeg2 != 0) flagList += "MPEG-II; ";
    if (s.original != 0) flagList += "org; ";
    if (s.copyright != 0) flagList += "cpy; ";
    if (s.privateFlag != 0) flagList += "priv; ";
    char text[256];
    std::snprintf(text, sizeof text, "%s; %i%s kbps%s; %s; %sCRC %s", encoder, s.bitrate, maxPart, qualityPart, ratePart,
                  flagList.c_str(), s.crc != 0 ? "on" : "off");
    return text;
}

}  // namespace tallory::formats::mp3
