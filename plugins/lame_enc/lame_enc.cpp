// lame_enc.so: the encoder-library interface over libmp3lame.
#include "tallory/lame_enc.h"

#include <lame/lame.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint8_t kPluginMajor = 1;
constexpr uint8_t kPluginMinor = 32;

struct Stream {
    lame_global_flags* flags = nullptr;
    int channels = 2;
    bool writeInfoFrame = false;
    ~Stream() {
        if (flags != nullptr) lame_close(flags);
    }
};

// The info frame is written after the stream is closed, by path alone: keep the
// last closed stream of each thread until then. One conversion runs per thread,
// so concurrent conversions never see each other's stream.
thread_local std::unique_ptr<Stream> lastClosed;

Stream* streamOf(HBE_STREAM handle) { return reinterpret_cast<Stream*>(handle); }

// Accepts both record layouts; false for values the encoder cannot take.
bool configure(Stream& s, const BE_CONFIG& c) {
    lame_global_flags* f = s.flags;
    int mode;
    if (c.dwConfig == BE_CONFIG_MP3) {
        lame_set_in_samplerate(f, static_cast<int>(c.format.mp3.dwSampleRate));
        mode = c.format.mp3.byMode;
        lame_set_brate(f, c.format.mp3.wBitrate);
        lame_set_extension(f, c.format.mp3.bPrivate != 0);
        lame_set_error_protection(f, c.format.mp3.bCRC != 0);
        lame_set_copyright(f, c.format.mp3.bCopyright != 0);
        lame_set_original(f, c.format.mp3.bOriginal != 0);
        lame_set_bWriteVbrTag(f, 0);
    } else if (c.dwConfig == BE_CONFIG_LAME) {
        const auto& l = c.format.LHV1;
        lame_set_in_samplerate(f, static_cast<int>(l.dwSampleRate));
        if (l.dwReSampleRate != 0) lame_set_out_samplerate(f, static_cast<int>(l.dwReSampleRate));
        mode = l.nMode;
        lame_set_brate(f, static_cast<int>(l.dwBitrate));
        lame_set_extension(f, l.bPrivate != 0);
        lame_set_error_protection(f, l.bCRC != 0);
        lame_set_copyright(f, l.bCopyright != 0);
        lame_set_original(f, l.bOriginal != 0);
        lame_set_emphasis(f, static_cast<int>(l.dwEmphasis));
        lame_set_strict_ISO(f, l.bStrictIso != 0);
        lame_set_disable_reservoir(f, l.bNoRes != 0);
        if (l.bEnableVBR != 0) {
            lame_set_VBR(f, vbr_default);
            lame_set_VBR_q(f, l.nVBRQuality < 0 ? 0 : l.nVBRQuality > 9 ? 9 : l.nVBRQuality);
            if (l.dwBitrate != 0) lame_set_VBR_min_bitrate_kbps(f, static_cast<int>(l.dwBitrate));
            if (l.dwMaxBitrate != 0) lame_set_VBR_max_bitrate_kbps(f, static_cast<int>(l.dwMaxBitrate));
        }
        // MPEG-II: the half rates; without a resample rate pick the matching one.
        if (l.dwMpegVersion == MPEG2 && l.dwReSampleRate == 0 && l.dwSampleRate > 24000) {
            lame_set_out_samplerate(f, static_cast<int>(l.dwSampleRate / 2));
        }
        lame_set_bWriteVbrTag(f, l.bWriteVBRHeader != 0);
        s.writeInfoFrame = l.bWriteVBRHeader != 0;
    } else {
        return false;
    }
    switch (mode) {
        case BE_MP3_MODE_STEREO: lame_set_mode(f, STEREO); break;
        case BE_MP3_MODE_JSTEREO: lame_set_mode(f, JOINT_STEREO); break;
        case BE_MP3_MODE_DUALCHANNEL: lame_set_mode(f, DUAL_CHANNEL); break;
        case BE_MP3_MODE_MONO: lame_set_mode(f, MONO); break;
        default: return false;
    }
    s.channels = mode == BE_MP3_MODE_MONO ? 1 : 2;
    lame_set_num_channels(f, s.channels);
    return lame_init_params(f) >= 0;
}

}  // namespace

EXPORT BE_ERR beInitStream(BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize, HBE_STREAM* stream) noexcept {
    if (config == nullptr || samples == nullptr || bufferSize == nullptr || stream == nullptr) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (config->dwConfig != BE_CONFIG_MP3 && config->dwConfig != BE_CONFIG_LAME) return BE_ERR_INVALID_FORMAT;
    auto s = std::unique_ptr<Stream>(new (std::nothrow) Stream);
    if (!s) return BE_ERR_NO_MORE_HANDLES;
    s->flags = lame_init();
    if (s->flags == nullptr) return BE_ERR_NO_MORE_HANDLES;
    if (!configure(*s, *config)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    // One frame of every channel per chunk; the buffer is LAME's worst case for it.
    uint32_t perChannel = static_cast<uint32_t>(lame_get_framesize(s->flags));
    *samples = perChannel * static_cast<uint32_t>(s->channels);
    *bufferSize = perChannel * 5 / 4 + 7200;
    *stream = reinterpret_cast<HBE_STREAM>(s.release());
    return BE_ERR_SUCCESSFUL;
}

EXPORT BE_ERR beEncodeChunk(HBE_STREAM handle, uint32_t samples, const int16_t* pcm, uint8_t* output,
                            uint32_t* outputBytes) noexcept {
    Stream* s = streamOf(handle);
    if (s == nullptr || outputBytes == nullptr || output == nullptr) return BE_ERR_INVALID_HANDLE;
    if (samples > 0 && pcm == nullptr) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    int frames = static_cast<int>(samples / static_cast<uint32_t>(s->channels));
    // The output buffer holds at least what beInitStream asked for a full chunk.
    int capacity = frames * 5 / 4 + 7200;
    int n = s->channels == 2
                ? lame_encode_buffer_interleaved(s->flags, const_cast<short*>(pcm), frames, output, capacity)
                : lame_encode_buffer(s->flags, pcm, pcm, frames, output, capacity);
    if (n < 0) {
        *outputBytes = 0;
        return n == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    *outputBytes = static_cast<uint32_t>(n);
    return BE_ERR_SUCCESSFUL;
}

EXPORT BE_ERR beDeinitStream(HBE_STREAM handle, uint8_t* output, uint32_t* outputBytes) noexcept {
    Stream* s = streamOf(handle);
    if (s == nullptr || output == nullptr || outputBytes == nullptr) return BE_ERR_INVALID_HANDLE;
    int n = lame_encode_flush(s->flags, output, 7200);
    if (n < 0) {
        *outputBytes = 0;
        return BE_ERR_BUFFER_TOO_SMALL;
    }
    *outputBytes = static_cast<uint32_t>(n);
    return BE_ERR_SUCCESSFUL;
}

EXPORT BE_ERR beCloseStream(HBE_STREAM handle) noexcept {
    Stream* s = streamOf(handle);
    if (s == nullptr) return BE_ERR_INVALID_HANDLE;
    lastClosed.reset(s);
    return BE_ERR_SUCCESSFUL;
}

EXPORT void beVersion(BE_VERSION* version) noexcept {
    if (version == nullptr) return;
    std::memset(version, 0, sizeof *version);
    lame_version_t v{};
    get_lame_version_numerical(&v);
    version->byDLLMajorVersion = kPluginMajor;
    version->byDLLMinorVersion = kPluginMinor;
    version->byMajorVersion = static_cast<uint8_t>(v.major);
    version->byMinorVersion = static_cast<uint8_t>(v.minor);
    version->byAlphaLevel = static_cast<uint8_t>(v.alpha);
    version->byBetaLevel = static_cast<uint8_t>(v.beta);
    // The build date of this plugin.
    static const char* months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char* date = __DATE__;  // "Mmm dd yyyy"
    for (int m = 0; m < 12; ++m) {
        if (std::strncmp(date, months + 3 * m, 3) == 0) version->byMonth = static_cast<uint8_t>(m + 1);
    }
    version->byDay = static_cast<uint8_t>(std::atoi(date + 4));
    version->wYear = static_cast<uint16_t>(std::atoi(date + 7));
    std::snprintf(version->zHomepage, sizeof version->zHomepage, "%s", get_lame_url());
}

EXPORT BE_ERR beWriteVBRHeader(const char* path) noexcept {
    std::unique_ptr<Stream> s = std::move(lastClosed);
    if (!s || path == nullptr) return BE_ERR_INVALID_HANDLE;
    if (!s->writeInfoFrame) return BE_ERR_SUCCESSFUL;
    std::FILE* f = std::fopen(path, "rb+");
    if (f == nullptr) return BE_ERR_INVALID_HANDLE;
    // Rewrites the frame LAME reserved at the start of the audio (after any ID3v2 tag).
    lame_mp3_tags_fid(s->flags, f);
    bool ok = std::fclose(f) == 0;
    return ok ? BE_ERR_SUCCESSFUL : BE_ERR_INVALID_HANDLE;
}
