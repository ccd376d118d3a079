#include "formats/opus/opus_target.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "formats/ogg/vorbis_channels.h"
#include "formats/opus/opus_metadata_file.h"
#include "tallory/guids.h"

namespace tallory::formats::opus {

namespace {

constexpr size_t kFramesPerChunk = 4096;
// RFC 7845 5.1.1: mapping family 1 covers one to eight channels in Vorbis
// order; beyond that family 255 leaves the channels unassigned.
constexpr int kMaxFamilyOneChannels = 8;
constexpr int kMaxOpusChannels = 255;
constexpr int kMinKbps = 6;
constexpr int kMaxKbps = 512;

bool equalsNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

int writeCallback(void* user, const unsigned char* bytes, opus_int32 length) {
    return static_cast<OpusTarget*>(user)->onPage(bytes, length);
}

int closeCallback(void*) { return 0; }  // the target closes its file itself

std::string opeError(int code) {
    const char* text = ope_strerror(code);
    return text != nullptr ? text : "error " + std::to_string(code);
}

}  // namespace

OpusTarget::OpusTarget() : TargetBase(CLSID_OpusTarget) {}

OpusTarget::~OpusTarget() {
    // Destroying a live encoder writes nothing more: its pages must go nowhere anyway.
    file_ = nullptr;
    releaseEncoder();
    outputFile_.discard();
}

IUnknown* OpusTarget::create() { return static_cast<IConvTarget*>(new (std::nothrow) OpusTarget); }

bool OpusTarget::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_OpusTarget;
    return true;
}

int OpusTarget::bitrateKbps() const {
    if (kbps_ != 0) return kbps_;
    return std::min(kMaxKbps, kDefaultOpusKbpsPerChannel * std::max<int>(1, format_.nChannels));
}

void OpusTarget::discardOutput() {
    file_ = nullptr;
    outputFile_.discard();
}

void OpusTarget::releaseEncoder() {
    if (encoder_ != nullptr) {
        ope_encoder_destroy(encoder_);
        encoder_ = nullptr;
    }
    if (comments_ != nullptr) {
        ope_comments_destroy(comments_);
        comments_ = nullptr;
    }
    samples_.clear();
    dropPartialFrame();
}

int OpusTarget::onPage(const unsigned char* bytes, opus_int32 length) {
    if (file_ == nullptr || length < 0 ||
        std::fwrite(bytes, 1, static_cast<size_t>(length), file_) != static_cast<size_t>(length)) {
        if (!writeFailed_) writeErrno_ = errno;
        writeFailed_ = true;
        return 1;
    }
    return 0;
}

void OpusTarget::reportFailure(int rc) {
    if (reported_) return;
    reported_ = true;
    if (writeFailed_) {
        reportFileFailure(core::kMsgCannotWriteOutput, platform::FileStatus::fromErrno(writeErrno_, path_));
    } else {
        error(kMsgOpusEncodeFailed, opeError(rc).c_str());
    }
}

bool OpusTarget::Open() {
    const unsigned bits = format_.wBitsPerSample;
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        error("%s", kMsgOpusBitsPerSample);
        return false;
    }
    if (format_.nChannels < 1 || format_.nChannels > kMaxOpusChannels || format_.nSamplesPerSec < 1) {
        error(kMsgOpusSetupFailed, "Opus holds 1 to 255 channels");
        return false;
    }
    Close();
    if (!TargetBase::Open()) return false;
    writeFailed_ = false;
    writeErrno_ = 0;
    reported_ = false;

    comments_ = ope_comments_create();
    if (comments_ == nullptr) {
        error(kMsgOpusSetupFailed, "out of memory");
        return false;
    }
    const int channels = format_.nChannels;
    const int family = channels <= 2 ? 0 : channels <= kMaxFamilyOneChannels ? 1 : 255;
    // The output is an unnamed file until Close names it: whole or absent.
    file_ = createOutput(kMsgOpusCannotOpenOutput);
    if (file_ == nullptr) {
        releaseEncoder();
        return false;
    }
    const OpusEncCallbacks callbacks = {writeCallback, closeCallback};
    int rc = OPE_OK;
    encoder_ = ope_encoder_create_callbacks(&callbacks, this, comments_, static_cast<opus_int32>(format_.nSamplesPerSec),
                                            channels, family, &rc);
    if (encoder_ == nullptr || rc != OPE_OK) {
        releaseEncoder();
        discardOutput();
        error(kMsgOpusSetupFailed, opeError(rc).c_str());
        return false;
    }
    rc = ope_encoder_ctl(encoder_, OPUS_SET_BITRATE(bitrateKbps() * 1000));
    if (rc == OPE_OK) rc = ope_encoder_ctl(encoder_, OPUS_SET_VBR(vbr_ ? 1 : 0));
    // libopus constrains VBR by default, which holds every packet near the
    // target and makes it an average-bitrate mode; free VBR lets easy passages
    // take fewer bits, as opusenc does.
    if (rc == OPE_OK && vbr_) rc = ope_encoder_ctl(encoder_, OPUS_SET_VBR_CONSTRAINT(0));
    // The input's noise floor: without it the encoder spends bits on the
    // quantisation noise below 16-bit audio (libopus defaults to 24 bits).
    if (rc == OPE_OK) rc = ope_encoder_ctl(encoder_, OPUS_SET_LSB_DEPTH(std::clamp<int>(bits, 8, 24)));
    if (rc != OPE_OK) {
        releaseEncoder();
        discardOutput();
        error(kMsgOpusSetupFailed, opeError(rc).c_str());
        return false;
    }
    return true;
}

bool OpusTarget::encodeFrames(const uint8_t* pcm, size_t frames) {
    const int channels = format_.nChannels;
    const unsigned sampleBytes = format_.wBitsPerSample / 8u;
    const size_t frameBytes = sampleBytes * static_cast<size_t>(channels);
    // Family 1 takes its channels in Vorbis order.
    const int* order = channels <= kMaxFamilyOneChannels ? ogg::vorbisFromWav(channels) : nullptr;
    while (frames > 0) {
        const size_t n = std::min(frames, kFramesPerChunk);
        samples_.resize(n * static_cast<size_t>(channels));
        if (sampleBytes == 2 && order == nullptr) {
            // The common case, one straight pass: 16-bit PCM already in the encoder's order.
            const size_t count = n * static_cast<size_t>(channels);
            for (size_t i = 0; i < count; ++i) {
                samples_[i] = static_cast<int16_t>(static_cast<uint16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8)) * (1.0f / 32768.0f);
            }
        } else {
            for (size_t i = 0; i < n; ++i) {
                const uint8_t* frame = pcm + i * frameBytes;
                for (int v = 0; v < channels; ++v) {
                    const uint8_t* s = frame + static_cast<size_t>(order != nullptr ? order[v] : v) * sampleBytes;
                    float value;
                    switch (sampleBytes) {
                        case 1: value = (static_cast<int>(s[0]) - 128) / 128.0f; break;
                        case 2: value = static_cast<int16_t>(static_cast<uint16_t>(s[0] | s[1] << 8)) / 32768.0f; break;
                        case 3:
                            value = static_cast<float>(static_cast<int32_t>(static_cast<uint32_t>(s[0]) << 8 |
                                                                            static_cast<uint32_t>(s[1]) << 16 |
                                                                            static_cast<uint32_t>(s[2]) << 24) >>
                                                       8) /
                                    8388608.0f;
                            break;
                        default:
                            value = static_cast<float>(static_cast<int32_t>(
                                        static_cast<uint32_t>(s[0]) | static_cast<uint32_t>(s[1]) << 8 |
                                        static_cast<uint32_t>(s[2]) << 16 | static_cast<uint32_t>(s[3]) << 24)) /
                                    2147483648.0f;
                            break;
                    }
                    samples_[i * static_cast<size_t>(channels) + static_cast<size_t>(v)] = value;
                }
            }
        }
        const int rc = ope_encoder_write_float(encoder_, samples_.data(), static_cast<int>(n));
        if (rc != OPE_OK || writeFailed_) {
            reportFailure(rc);
            writeFailed_ = true;
            return false;
        }
        pcm += n * frameBytes;
        frames -= n;
    }
    return true;
}

bool OpusTarget::Write(uint32_t byteCount, const void* data) {
    if (encoder_ == nullptr || writeFailed_) return false;
    const size_t frameBytes = static_cast<size_t>(format_.nChannels) * (format_.wBitsPerSample / 8u);
    return writeWholeFrames(data, byteCount, frameBytes,
                            [this](const uint8_t* pcm, size_t frames) { return encodeFrames(pcm, frames); });
}

bool OpusTarget::Close() {
    bool ok = true;
    if (encoder_ != nullptr && !abandoned()) {
        // Drain writes the last pages with the end trim in their granule position.
        const int rc = writeFailed_ ? OPE_WRITE_FAIL : ope_encoder_drain(encoder_);
        if (rc != OPE_OK || writeFailed_) {
            reportFailure(rc);
            ok = false;
        }
    }
    file_ = nullptr;
    releaseEncoder();
    if (!ok) {
        outputFile_.discard();
        return false;
    }
    // Flushes, syncs and names the output, or removes it after abandonOutput.
    return finishOutput(outputFile_);
}

bool OpusTarget::OpenTag(IMetadataFile** tag) {
    if (tag == nullptr) return false;
    *tag = nullptr;
    if (path_.empty()) return false;
    auto* file = new (std::nothrow) OpusMetadataFile(path_);
    if (file == nullptr) return false;
    file->AddRef();
    *tag = file;
    return true;
}

bool OpusTarget::EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) {
    if (sourceFormat == nullptr || outputBytes == nullptr || sourceFormat->nAvgBytesPerSec == 0) return false;
    const int kbps = kbps_ != 0 ? kbps_ : std::min(kMaxKbps, kDefaultOpusKbpsPerChannel * std::max<int>(1, sourceFormat->nChannels));
    double bytes = static_cast<double>(sourceBytes) / sourceFormat->nAvgBytesPerSec * kbps * 1000.0 / 8.0;
    if (!(bytes > 0)) bytes = 0;
    if (bytes > 4294967295.0) bytes = 4294967295.0;
    *outputBytes = static_cast<uint32_t>(bytes);
    return true;
}

// There is no settings dialog: the options are set through SetOption.
bool OpusTarget::ShowSettings(HWND, IConvTarget**) { return false; }

bool OpusTarget::GetSettingsText(char* buffer, uint32_t capacity) {
    if (buffer == nullptr || capacity == 0) return false;
    core::copyTruncated((vbr_ ? "VBR " : "CBR ") + std::to_string(bitrateKbps()) + " kbps", buffer, capacity);
    return true;
}

bool OpusTarget::SetOption(const char* name, const char* value, char* errorText) {
    if (name == nullptr) {
        core::setOptionError(errorText, "");
        return false;
    }
    if (equalsNoCase(name, "opus-bitrate")) {
        char* end = nullptr;
        errno = 0;
        const long kbps = value != nullptr && std::isdigit(static_cast<unsigned char>(value[0])) ? std::strtol(value, &end, 10) : -1;
        if (kbps < kMinKbps || kbps > kMaxKbps || errno == ERANGE || end == nullptr || *end != '\0') {
            core::setOptionError(errorText, kErrOpusBitrate);
            return false;
        }
        kbps_ = static_cast<int>(kbps);
        return true;
    }
    if (equalsNoCase(name, "opus-vbr")) {
        if (value == nullptr || (value[0] != '0' && value[0] != '1') || value[1] != '\0') {
            core::setOptionError(errorText, kErrOpusVbr);
            return false;
        }
        vbr_ = value[0] == '1';
        return true;
    }
    core::setOptionError(errorText, "");
    return false;
}

}  // namespace tallory::formats::opus
