#include "formats/flac/flac_target.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>

#include "formats/flac/flac_metadata_file.h"
#include "tallory/guids.h"

namespace tallory::formats::flac {

namespace {

// Frames handed to the encoder per call, so that a large block does not need
// an int32 buffer for all of it at once.
constexpr size_t kFramesPerChunk = 4096;
// One seek point per 10 seconds, as the flac command makes them.
constexpr unsigned kSeekPointSeconds = 10;
// Room left for the tags written after the audio, so that they usually fit
// without moving the audio (the flac command's default padding).
constexpr unsigned kPaddingBytes = 8192;

bool equalsNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

FLAC__StreamEncoderWriteStatus writeCallback(const FLAC__StreamEncoder*, const FLAC__byte buffer[], size_t bytes,
                                             uint32_t, uint32_t, void* client) {
    return static_cast<FlacTarget*>(client)->onWrite(buffer, bytes);
}

FLAC__StreamEncoderSeekStatus seekCallback(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* client) {
    return static_cast<FlacTarget*>(client)->onSeek(offset);
}

FLAC__StreamEncoderTellStatus tellCallback(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* client) {
    return static_cast<FlacTarget*>(client)->onTell(offset);
}

}  // namespace

FlacTarget::FlacTarget() : TargetBase(CLSID_FlacTarget) {}

FlacTarget::~FlacTarget() {
    // Deleting a live encoder finishes it: its writes must go nowhere.
    file_ = nullptr;
    releaseEncoder();
    outputFile_.discard();
}

IUnknown* FlacTarget::create() { return static_cast<IConvTarget*>(new (std::nothrow) FlacTarget); }

bool FlacTarget::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_FlacTarget;
    return true;
}

// A failed output is removed rather than left half written.
void FlacTarget::discardOutput() {
    file_ = nullptr;
    outputFile_.discard();
}

FLAC__StreamEncoderWriteStatus FlacTarget::onWrite(const FLAC__byte* bytes, size_t count) {
    if (file_ == nullptr || std::fwrite(bytes, 1, count, file_) != count) {
        if (writeErrno_ == 0) writeErrno_ = errno != 0 ? errno : EIO;
        return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

void FlacTarget::reportEncoderFailure() {
    if (writeErrno_ != 0) {
        reportFileFailure(core::kMsgCannotWriteOutput, platform::FileStatus::fromErrno(writeErrno_, path_));
    } else {
        error(kMsgFlacEncodeFailed, encoderStateText().c_str());
    }
}

FLAC__StreamEncoderSeekStatus FlacTarget::onSeek(FLAC__uint64 offset) {
    if (file_ == nullptr || fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus FlacTarget::onTell(FLAC__uint64* offset) {
    const off_t at = file_ != nullptr ? ftello(file_) : -1;
    if (at < 0) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
    *offset = static_cast<FLAC__uint64>(at);
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

void FlacTarget::releaseEncoder() {
    if (encoder_ != nullptr) {
        FLAC__stream_encoder_delete(encoder_);
        encoder_ = nullptr;
    }
    if (seekTable_ != nullptr) {
        FLAC__metadata_object_delete(seekTable_);
        seekTable_ = nullptr;
    }
    if (padding_ != nullptr) {
        FLAC__metadata_object_delete(padding_);
        padding_ = nullptr;
    }
    samples_.clear();
    dropPartialFrame();
}

std::string FlacTarget::encoderStateText() const {
    if (encoder_ == nullptr) return "no encoder";
    return FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)];
}

bool FlacTarget::Open() {
    const unsigned bits = format_.wBitsPerSample;
    // Refused before the output location is touched.
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        error("%s", kMsgFlacBitsPerSample);
        return false;
    }
    if (format_.nChannels < 1 || format_.nChannels > FLAC__MAX_CHANNELS || format_.nSamplesPerSec < 1 ||
        format_.nSamplesPerSec > FLAC__MAX_SAMPLE_RATE) {
        error(kMsgFlacSetupFailed, "FLAC holds 1 to 8 channels at up to 1048575 Hz");
        return false;
    }
    Close();
    if (!TargetBase::Open()) return false;
    failed_ = false;
    writeErrno_ = 0;

    encoder_ = FLAC__stream_encoder_new();
    if (encoder_ == nullptr) {
        error(kMsgFlacSetupFailed, "out of memory");
        return false;
    }
    uint64_t totalSamples = 0;
    uint32_t sourceBytes = 0;
    const uint32_t frameBytes = format_.nChannels * (bits / 8);
    if (source_ != nullptr && source_->GetLength(&sourceBytes, -1, -1)) totalSamples = sourceBytes / frameBytes;
    FLAC__stream_encoder_set_channels(encoder_, format_.nChannels);
    FLAC__stream_encoder_set_bits_per_sample(encoder_, bits);
    FLAC__stream_encoder_set_sample_rate(encoder_, format_.nSamplesPerSec);
    FLAC__stream_encoder_set_compression_level(encoder_, static_cast<uint32_t>(level_));
    if (totalSamples > 0) FLAC__stream_encoder_set_total_samples_estimate(encoder_, totalSamples);

    FLAC__StreamMetadata* blocks[2];
    unsigned blockCount = 0;
    if (totalSamples > 0) {
        seekTable_ = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
        if (seekTable_ == nullptr ||
            !FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
                seekTable_, format_.nSamplesPerSec * kSeekPointSeconds, totalSamples) ||
            !FLAC__metadata_object_seektable_template_sort(seekTable_, true)) {
            releaseEncoder();
            error(kMsgFlacSetupFailed, "out of memory");
            return false;
        }
        blocks[blockCount++] = seekTable_;
    }
    padding_ = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING);
    if (padding_ == nullptr) {
        releaseEncoder();
        error(kMsgFlacSetupFailed, "out of memory");
        return false;
    }
    padding_->length = kPaddingBytes;
    blocks[blockCount++] = padding_;
    FLAC__stream_encoder_set_metadata(encoder_, blocks, blockCount);

    // The output is an unnamed file until Close names it: whole or absent.
    file_ = createOutput(kMsgFlacCannotOpenOutput);
    if (file_ == nullptr) {
        releaseEncoder();
        return false;
    }
    const FLAC__StreamEncoderInitStatus status =
        FLAC__stream_encoder_init_stream(encoder_, writeCallback, seekCallback, tellCallback, nullptr, this);
    if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        const std::string why = status == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR
                                    ? encoderStateText()
                                    : FLAC__StreamEncoderInitStatusString[status];
        releaseEncoder();
        discardOutput();
        error(kMsgFlacSetupFailed, why.c_str());
        return false;
    }
    return true;
}

bool FlacTarget::encodeFrames(const uint8_t* pcm, size_t frames) {
    const unsigned channels = format_.nChannels;
    const unsigned sampleBytes = format_.wBitsPerSample / 8u;
    while (frames > 0) {
        const size_t n = std::min(frames, kFramesPerChunk);
        samples_.resize(n * channels);
        FLAC__int32* out = samples_.data();
        const size_t count = n * channels;
        switch (sampleBytes) {
            case 1:  // unsigned 8-bit WAV PCM
                for (size_t i = 0; i < count; ++i) out[i] = static_cast<int32_t>(pcm[i]) - 128;
                break;
            case 2:
                for (size_t i = 0; i < count; ++i) {
                    out[i] = static_cast<int16_t>(static_cast<uint16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8));
                }
                break;
            case 3:
                for (size_t i = 0; i < count; ++i) {
                    const uint32_t u = static_cast<uint32_t>(pcm[3 * i]) << 8 | static_cast<uint32_t>(pcm[3 * i + 1]) << 16 |
                                       static_cast<uint32_t>(pcm[3 * i + 2]) << 24;
                    out[i] = static_cast<int32_t>(u) >> 8;
                }
                break;
            default:
                for (size_t i = 0; i < count; ++i) {
                    const uint32_t u = static_cast<uint32_t>(pcm[4 * i]) | static_cast<uint32_t>(pcm[4 * i + 1]) << 8 |
                                       static_cast<uint32_t>(pcm[4 * i + 2]) << 16 |
                                       static_cast<uint32_t>(pcm[4 * i + 3]) << 24;
                    out[i] = static_cast<int32_t>(u);
                }
                break;
        }
        if (!FLAC__stream_encoder_process_interleaved(encoder_, out, static_cast<uint32_t>(n))) {
            failed_ = true;
            reportEncoderFailure();
            return false;
        }
        pcm += n * channels * sampleBytes;
        frames -= n;
    }
    return true;
}

bool FlacTarget::Write(uint32_t byteCount, const void* data) {
    if (encoder_ == nullptr || failed_) return false;
    const size_t frameBytes = static_cast<size_t>(format_.nChannels) * (format_.wBitsPerSample / 8u);
    return writeWholeFrames(data, byteCount, frameBytes,
                            [this](const uint8_t* pcm, size_t frames) { return encodeFrames(pcm, frames); });
}

bool FlacTarget::Close() {
    if (encoder_ == nullptr) {
        releaseEncoder();
        discardOutput();
        return true;
    }
    bool ok = true;
    if (abandoned()) {
        // Nothing more is written: the encoder's last frame and STREAMINFO go nowhere.
        file_ = nullptr;
    } else {
        // finish writes the last frame and goes back to fill in STREAMINFO (MD5,
        // sample count) and the seek table.
        ok = !failed_ && FLAC__stream_encoder_finish(encoder_);
        if (!ok && !failed_) reportEncoderFailure();
    }
    releaseEncoder();
    file_ = nullptr;
    if (!ok) {
        outputFile_.discard();
        return false;
    }
    // Flushes, syncs and names the output, or removes it after abandonOutput.
    return finishOutput(outputFile_);
}

bool FlacTarget::OpenTag(IMetadataFile** tag) {
    if (tag == nullptr) return false;
    *tag = nullptr;
    if (path_.empty()) return false;
    auto* file = new (std::nothrow) FlacMetadataFile(path_);
    if (file == nullptr) return false;
    file->AddRef();
    *tag = file;
    return true;
}

// There is no settings dialog: the level is set through "flac-level".
bool FlacTarget::ShowSettings(HWND, IConvTarget**) { return false; }

bool FlacTarget::GetSettingsText(char* buffer, uint32_t capacity) {
    if (buffer == nullptr || capacity == 0) return false;
    core::copyTruncated("Level " + std::to_string(level_), buffer, capacity);
    return true;
}

bool FlacTarget::SetOption(const char* name, const char* value, char* errorText) {
    if (name == nullptr || !equalsNoCase(name, "flac-level")) {
        core::setOptionError(errorText, "");
        return false;
    }
    if (value == nullptr || value[0] < '0' || value[0] > '8' || value[1] != '\0') {
        core::setOptionError(errorText, kErrFlacLevel);
        return false;
    }
    level_ = value[0] - '0';
    return true;
}

}  // namespace tallory::formats::flac
