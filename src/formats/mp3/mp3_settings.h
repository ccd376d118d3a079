// The MP3 encoder settings record: its stored default, the settings-string keys
// and the one-line description.
#ifndef TALLORY_FORMATS_MP3_SETTINGS_H
#define TALLORY_FORMATS_MP3_SETTINGS_H

#include <cstdint>
#include <string>

namespace tallory::formats::mp3 {

enum EncoderKind : int32_t { kEncoderBladeEnc = 1, kEncoderLame = 2, kEncoderCodec = 3 };

// Twelve 32-bit integers; also the 48-byte stored layout.
struct Mp3Settings {
    int32_t encoder = kEncoderLame;
    int32_t bitrate = 128;     // kbps; the minimum with VBR
    int32_t sampleRate = 0;    // Hz, 0 = automatic
    int32_t original = 0;
    int32_t copyright = 0;
    int32_t privateFlag = 0;
    int32_t crc = 0;
    int32_t channelMode = 0;   // see describe() for its meaning per encoder
    int32_t mpeg2 = 0;
    int32_t vbr = 0;
    int32_t maxBitrate = 320;  // kbps, VBR only
    int32_t vbrQuality = 5;    // 0 best .. 9
};
static_assert(sizeof(Mp3Settings) == 48, "the stored MP3 settings are 48 bytes");

// The stored default ("MP3"/"General"), or the built-in defaults.
Mp3Settings loadDefaultSettings();
bool storeDefaultSettings(const Mp3Settings& settings);

// Applies one settings-string key. False with the reason in `error` (empty for
// an unknown key).
bool applyOption(Mp3Settings& settings, const char* name, const char* value, std::string& error);

// "L.A.M.E.; 128 kbps; auto kHz; CRC off" and the like.
std::string describe(const Mp3Settings& settings);

}  // namespace tallory::formats::mp3

#endif
