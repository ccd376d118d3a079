#include "formats/ogg/ogg_target.h"

#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "core/ui_bridge.h"
#include "formats/ogg/ogg_metadata_file.h"
#include "formats/ogg/vorbis_channels.h"
#include "platform/files/file_system.h"
#include "tallory/guids.h"
#include "tallory/ui_bridge.h"

namespace tallory::formats::ogg {

namespace {

// Frames handed to the encoder per analysis buffer, so that a large block does
// not make libvorbis allocate float buffers for all of it at once.
constexpr size_t kFramesPerChunk = 4096;
// Vorbis I stores the channel count in one byte.
constexpr int kMaxVorbisChannels = 255;

constexpr const char* kErrQuality = "Value must be a number between 0 (worst) and 100 (best)";
constexpr const char* kErrBitrate = "Value must be a number ended by either kbps, bps or nothing";

bool equalsNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

// A base-10 integer (optional sign) at the start of value; `rest` points behind it.
bool leadingNumber(const char* value, long* number, const char** rest) {
    if (value == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(value, &end, 10);
    // strtol skips leading blanks; the number must start the value.
    if (end == value || std::isspace(static_cast<unsigned char>(value[0])) || errno == ERANGE) return false;
    *number = n;
    *rest = end;
    return true;
}

// "128", "128kbps" or "128000bps" as kbps; positive and fitting an int.
bool parseKbps(const char* value, int32_t* kbps) {
    long n = 0;
    const char* unit = nullptr;
    if (!leadingNumber(value, &n, &unit)) return false;
    if (*unit == '\0' || equalsNoCase(unit, "kbps")) {
    } else if (equalsNoCase(unit, "bps")) {
        n /= 1000;
    } else {
        return false;
    }
    if (n <= 0 || n > 1000000) return false;
    *kbps = static_cast<int32_t>(n);
    return true;
}

// A serial number that differs between streams, so that chained or multiplexed
// files made by this target never share one.
int streamSerial() {
    try {
        std::random_device device;
        return static_cast<int>(device());
    } catch (...) {
        auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        return static_cast<int>(ticks ^ (ticks >> 32));
    }
}

}  // namespace

OggTarget::OggTarget() : TargetBase(CLSID_OggTarget) {}

OggTarget::~OggTarget() { Close(); }

IUnknown* OggTarget::create() { return static_cast<IConvTarget*>(new (std::nothrow) OggTarget); }

void* OggTarget::queryExtra(const IID& riid) {
    if (riid == IID_IOggSettings) return static_cast<IOggSettings*>(this);
    return nullptr;
}

bool OggTarget::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_OggTarget;
    return true;
}

void OggTarget::GetSettings(OggSettings* settings) {
    if (settings != nullptr) *settings = settings_;
}

void OggTarget::PutSettings(const OggSettings* settings) {
    if (settings != nullptr) settings_ = *settings;
}

bool OggTarget::Open() {
    // Refused before the output location is touched: no directory is made and
    // no existing file is replaced for a conversion that cannot happen.
    if (format_.wBitsPerSample != 8 && format_.wBitsPerSample != 16) {
        error("%s", kMsgOggBitsPerSample);
        return false;
    }
    if (file_ != nullptr || encoderReady_) Close();
    if (!TargetBase::Open()) return false;
    working_ = settings_;
    dropPartialFrame();

    // The encoder is set up before the file is created, so that a refused
    // setting leaves no empty output file behind.
    int rc = setUpEncoder();
    if (rc != 0) {
        error(kMsgOggSetupFailed, rc);
        return false;
    }
    file_ = createOutput(kMsgOggCannotOpenOutput);
    if (file_ == nullptr) {
        clearEncoder();
        return false;
    }

    ogg_packet header, commentHeader, codeHeader;
    vorbis_analysis_headerout(&dsp_, &comment_, &header, &commentHeader, &codeHeader);
    ogg_stream_packetin(&stream_, &header);
    ogg_stream_packetin(&stream_, &commentHeader);
    ogg_stream_packetin(&stream_, &codeHeader);
    // The headers end a page of their own: audio starts on a fresh page (Vorbis I, A.2).
    ogg_page page;
    bool ok = true;
    while (ok && ogg_stream_flush(&stream_, &page) != 0) ok = writePage(page);
    if (!ok) {
        clearEncoder();
        file_ = nullptr;
        outputFile_.discard();
        return false;
    }
    return true;
}

int OggTarget::setUpEncoder() {
    const int channels = format_.nChannels;
    const long rate = static_cast<long>(format_.nSamplesPerSec);
    if (channels < 1 || channels > kMaxVorbisChannels || rate < 1) return OV_EINVAL;

    vorbis_info_init(&info_);
    int rc;
    if (working_.qualityMode != 0) {
        rc = vorbis_encode_init_vbr(&info_, channels, rate, static_cast<float>(working_.quality) / 100.0f);
    } else {
        long maximum = working_.useMaximum != 0 ? static_cast<long>(working_.maximumKbps) * 1000 : -1;
        long minimum = working_.useMinimum != 0 ? static_cast<long>(working_.minimumKbps) * 1000 : -1;
        rc = vorbis_encode_init(&info_, channels, rate, maximum, static_cast<long>(working_.averageKbps) * 1000,
                                minimum);
    }
    if (rc != 0) {
        vorbis_info_clear(&info_);
        return rc;
    }
    vorbis_comment_init(&comment_);
    vorbis_comment_add_tag(&comment_, "ENCODER", "Tallory");
    vorbis_analysis_init(&dsp_, &info_);
    vorbis_block_init(&dsp_, &block_);
    ogg_stream_init(&stream_, streamSerial());
    encoderReady_ = true;
    return 0;
}

void OggTarget::clearEncoder() {
    if (!encoderReady_) return;
    ogg_stream_clear(&stream_);
    vorbis_block_clear(&block_);
    vorbis_dsp_clear(&dsp_);
    vorbis_comment_clear(&comment_);
    vorbis_info_clear(&info_);
    encoderReady_ = false;
}

bool OggTarget::writePage(const ogg_page& page) {
    size_t headerBytes = static_cast<size_t>(page.header_len);
    size_t bodyBytes = static_cast<size_t>(page.body_len);
    if (std::fwrite(page.header, 1, headerBytes, file_) != headerBytes ||
        std::fwrite(page.body, 1, bodyBytes, file_) != bodyBytes) {
        error(kMsgOggWriteFailed, std::ferror(file_));
        return false;
    }
    return true;
}

bool OggTarget::drainPackets() {
    // Blocks go through the bitrate manager, which average-bitrate mode
    // requires and which passes packets straight through in quality mode.
    ogg_packet packet;
    ogg_page page;
    while (vorbis_analysis_blockout(&dsp_, &block_) == 1) {
        vorbis_analysis(&block_, nullptr);
        vorbis_bitrate_addblock(&block_);
        while (vorbis_bitrate_flushpacket(&dsp_, &packet) == 1) {
            ogg_stream_packetin(&stream_, &packet);
            while (ogg_stream_pageout(&stream_, &page) != 0) {
                if (!writePage(page)) return false;
            }
        }
    }
    return true;
}

bool OggTarget::encodeFrames(const uint8_t* pcm, size_t frames) {
    const int channels = format_.nChannels;
    const bool eightBit = format_.wBitsPerSample == 8;
    const size_t sampleBytes = eightBit ? 1 : 2;
    const size_t frameBytes = sampleBytes * static_cast<size_t>(channels);
    const int* order = vorbisFromWav(channels);
    while (frames > 0) {
        size_t n = frames < kFramesPerChunk ? frames : kFramesPerChunk;
        float** buffer = vorbis_analysis_buffer(&dsp_, static_cast<int>(n));
        for (int v = 0; v < channels; ++v) {
            const int w = order != nullptr ? order[v] : v;
            const uint8_t* in = pcm + static_cast<size_t>(w) * sampleBytes;
            float* out = buffer[v];
            if (eightBit) {
                // Unsigned 8-bit PCM is centred on 128.
                for (size_t i = 0; i < n; ++i, in += frameBytes) out[i] = (static_cast<int>(*in) - 128) / 128.0f;
            } else {
                for (size_t i = 0; i < n; ++i, in += frameBytes) {
                    auto sample = static_cast<int16_t>(static_cast<uint16_t>(in[0] | (in[1] << 8)));
                    out[i] = sample / 32768.0f;
                }
            }
        }
        vorbis_analysis_wrote(&dsp_, static_cast<int>(n));
        if (!drainPackets()) return false;
        pcm += n * frameBytes;
        frames -= n;
    }
    return true;
}

bool OggTarget::Write(uint32_t byteCount, const void* data) {
    if (file_ == nullptr || !encoderReady_) return false;
    // No frames must not end the stream: an empty Write encodes nothing.
    const size_t frameBytes = static_cast<size_t>(format_.nChannels) * (format_.wBitsPerSample / 8);
    return writeWholeFrames(data, byteCount, frameBytes,
                            [this](const uint8_t* pcm, size_t frames) { return encodeFrames(pcm, frames); });
}

bool OggTarget::finishStream() {
    vorbis_analysis_wrote(&dsp_, 0);
    if (!drainPackets()) return false;
    // The last packet carries end-of-stream; whatever it left in the stream goes out now.
    ogg_page page;
    while (ogg_stream_flush(&stream_, &page) != 0) {
        if (!writePage(page)) return false;
    }
    return true;
}

bool OggTarget::Close() {
    bool ok = true;
    if (file_ != nullptr) {
        if (encoderReady_ && !abandoned()) ok = finishStream();
        // The stream belongs to the output file, which flushes and closes it.
        file_ = nullptr;
        if (!ok) outputFile_.discard();
        ok = finishOutput(outputFile_) && ok;
    }
    clearEncoder();
    dropPartialFrame();
    return ok;
}

bool OggTarget::OpenTag(IMetadataFile** tag) {
    if (tag == nullptr) return false;
    *tag = nullptr;
    if (path_.empty()) return false;
    auto* file = new (std::nothrow) OggMetadataFile(path_);
    if (file == nullptr) return false;
    file->AddRef();
    *tag = file;
    return true;
}

bool OggTarget::EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) {
    if (settings_.qualityMode != 0) return false;
    if (sourceFormat == nullptr || outputBytes == nullptr || sourceFormat->nAvgBytesPerSec == 0) return false;
    double bytes = static_cast<double>(sourceBytes) / sourceFormat->nAvgBytesPerSec * settings_.averageKbps * 1000.0 /
                   8.0;
    if (!(bytes > 0)) bytes = 0;
    if (bytes > 4294967295.0) bytes = 4294967295.0;
    *outputBytes = static_cast<uint32_t>(bytes);
    return true;
}

bool OggTarget::ShowSettings(HWND parent, IConvTarget** others) {
    TalloryTargetDialogContext context{this, others, false};
    if (!core::ui::showDialog(TALLORY_DIALOG_OGG_SETTINGS, parent, &context)) return false;
    // The dialog edits this target; every other Ogg target of the list takes the same values.
    for (IConvTarget** other = others; other != nullptr && *other != nullptr; ++other) {
        IOggSettings* settings = nullptr;
        if (SUCCEEDED((*other)->QueryInterface(IID_IOggSettings, reinterpret_cast<void**>(&settings))) &&
            settings != nullptr) {
            settings->PutSettings(&settings_);
            settings->Release();
        }
    }
    return true;
}

bool OggTarget::GetSettingsText(char* buffer, uint32_t capacity) {
    char part[64];
    std::string text;
    if (settings_.qualityMode != 0) {
        std::snprintf(part, sizeof part, "VBR Quality %d%%", settings_.quality);
        text = part;
    } else {
        std::snprintf(part, sizeof part, "ABR %d kbps", settings_.averageKbps);
        text = part;
        if (settings_.useMinimum != 0) {
            std::snprintf(part, sizeof part, "; Min. %d kbps", settings_.minimumKbps);
            text += part;
        }
        if (settings_.useMaximum != 0) {
            std::snprintf(part, sizeof part, "; Max. %d kbps", settings_.maximumKbps);
            text += part;
        }
    }
    core::copyTruncated(text, buffer, capacity);
    return true;
}

bool OggTarget::SetOption(const char* name, const char* value, char* errorText) {
    if (name == nullptr) {
        core::setOptionError(errorText, "");
        return false;
    }
    if (equalsNoCase(name, "vbr-quality")) {
        long quality = 0;
        const char* rest = nullptr;
        if (!leadingNumber(value, &quality, &rest) || *rest != '\0' || quality < 0 || quality > 100) {
            core::setOptionError(errorText, kErrQuality);
            return false;
        }
        settings_.qualityMode = 1;
        settings_.quality = static_cast<int32_t>(quality);
        return true;
    }
    // A bitrate only means something in average-bitrate mode, so each of these selects it.
    int32_t* field = nullptr;
    int32_t* flag = nullptr;
    if (equalsNoCase(name, "bitrate")) {
        field = &settings_.averageKbps;
    } else if (equalsNoCase(name, "min-bitrate")) {
        field = &settings_.minimumKbps;
        flag = &settings_.useMinimum;
    } else if (equalsNoCase(name, "max-bitrate")) {
        field = &settings_.maximumKbps;
        flag = &settings_.useMaximum;
    } else {
        core::setOptionError(errorText, "");
        return false;
    }
    int32_t kbps = 0;
    if (!parseKbps(value, &kbps)) {
        core::setOptionError(errorText, kErrBitrate);
        return false;
    }
    *field = kbps;
    if (flag != nullptr) *flag = 1;
    settings_.qualityMode = 0;
    return true;
}

}  // namespace tallory::formats::ogg
