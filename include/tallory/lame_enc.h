// The MP3 encoder plugin interface: the published encoder-library calls
// (beInitStream ...) with their packed records, in fixed-width types. The MP3
// target loads a module that exports these by name.
#ifndef TALLORY_LAME_ENC_H
#define TALLORY_LAME_ENC_H

#include <cstddef>
#include <cstdint>

#define BE_CONFIG_MP3 0
#define BE_CONFIG_LAME 256

#define BE_ERR_SUCCESSFUL 0x00000000u
#define BE_ERR_INVALID_FORMAT 0x00000001u
#define BE_ERR_INVALID_FORMAT_PARAMETERS 0x00000002u
#define BE_ERR_NO_MORE_HANDLES 0x00000003u
#define BE_ERR_INVALID_HANDLE 0x00000004u
#define BE_ERR_BUFFER_TOO_SMALL 0x00000005u

#define BE_MAX_HOMEPAGE 128

#define BE_MP3_MODE_STEREO 0
#define BE_MP3_MODE_JSTEREO 1
#define BE_MP3_MODE_DUALCHANNEL 2
#define BE_MP3_MODE_MONO 3

#define MPEG1 1
#define MPEG2 0

typedef uint32_t BE_ERR;
// An opaque stream handle; wide enough for a pointer.
typedef uintptr_t HBE_STREAM;

#pragma pack(push, 1)
struct BE_CONFIG {
    uint32_t dwConfig;  // BE_CONFIG_MP3 or BE_CONFIG_LAME
    union {
        // The older layout.
        struct {
            uint32_t dwSampleRate;
            uint8_t byMode;
            uint16_t wBitrate;
            int32_t bPrivate;
            int32_t bCRC;
            int32_t bCopyright;
            int32_t bOriginal;
        } mp3;
        struct {
            uint32_t dwStructVersion;  // 1
            uint32_t dwStructSize;     // sizeof(BE_CONFIG)
            uint32_t dwSampleRate;     // input rate
            uint32_t dwReSampleRate;   // output rate, 0 for the encoder's choice
            int32_t nMode;             // BE_MP3_MODE_*
            uint32_t dwBitrate;        // kbps; the minimum with VBR
            uint32_t dwMaxBitrate;     // kbps, VBR only
            int32_t nPreset;           // -1: none
            uint32_t dwMpegVersion;    // MPEG1 or MPEG2
            uint32_t dwPsyModel;
            uint32_t dwEmphasis;
            int32_t bPrivate;
            int32_t bCRC;
            int32_t bCopyright;
            int32_t bOriginal;
            int32_t bWriteVBRHeader;
            int32_t bEnableVBR;
            int32_t nVBRQuality;  // 0 best .. 9
            uint32_t dwVbrAbr_bps;
            int32_t nVbrMethod;
            int32_t bNoRes;
            int32_t bStrictIso;
            uint16_t nQuality;
            uint8_t btReserved[255 - 4 * sizeof(uint32_t) - sizeof(uint16_t)];
        } LHV1;
    } format;
};

struct BE_VERSION {
    uint8_t byDLLMajorVersion;
    uint8_t byDLLMinorVersion;
    uint8_t byMajorVersion;
    uint8_t byMinorVersion;
    uint8_t byDay;
    uint8_t byMonth;
    uint16_t wYear;
    char zHomepage[BE_MAX_HOMEPAGE + 1];
    uint8_t byAlphaLevel;
    uint8_t byBetaLevel;
    uint8_t byMMXEnabled;
    uint8_t btReserved[125];
};
#pragma pack(pop)
static_assert(sizeof(BE_CONFIG) == 331, "the encoder configuration record is 331 bytes");
static_assert(offsetof(BE_CONFIG, format.LHV1.nQuality) == 92, "BE_CONFIG layout");
static_assert(offsetof(BE_CONFIG, format.mp3.wBitrate) == 9, "BE_CONFIG layout");

extern "C" {
// Starts a stream for the configuration; *samples is the number of 16-bit
// samples (all channels) each chunk takes, *bufferSize the output buffer a chunk needs.
typedef BE_ERR (*BEINITSTREAM)(BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize, HBE_STREAM* stream);
typedef BE_ERR (*BEENCODECHUNK)(HBE_STREAM stream, uint32_t samples, const int16_t* pcm, uint8_t* output,
                                uint32_t* outputBytes);
// Flushes the encoder's last frames.
typedef BE_ERR (*BEDEINITSTREAM)(HBE_STREAM stream, uint8_t* output, uint32_t* outputBytes);
typedef BE_ERR (*BECLOSESTREAM)(HBE_STREAM stream);
typedef void (*BEVERSION)(BE_VERSION* version);
// Writes the info frame (duration, delay and padding) into the finished file
// of the last stream closed on this thread, when its configuration asked for it.
typedef BE_ERR (*BEWRITEVBRHEADER)(const char* path);
}

#endif
