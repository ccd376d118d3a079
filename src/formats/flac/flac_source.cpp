#include "formats/flac/flac_source.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/report.h"
#include "formats/flac/flac_metadata_file.h"
#include "platform/files/file_system.h"
#include "tallory/guids.h"

namespace tallory::formats::flac {

namespace {

FLAC__StreamDecoderWriteStatus writeCallback(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                             const FLAC__int32* const buffer[], void* client) {
    return static_cast<FlacSource*>(client)->onWrite(frame, buffer);
}

void metadataCallback(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* client) {
    static_cast<FlacSource*>(client)->onMetadata(metadata);
}

void errorCallback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* client) {
    static_cast<FlacSource*>(client)->onError(status);
}

// The PCM width a stream of `bits` is delivered in: the WAV widths 8, 16 and 24.
unsigned outputBits(unsigned bits) { return bits <= 8 ? 8 : bits <= 16 ? 16 : 24; }

// An ID3v2 tag before "fLaC" is allowed (libFLAC skips it); its size is syncsafe.
bool startsLikeFlac(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    uint8_t head[10] = {};
    bool ok = false;
    if (std::fread(head, 1, sizeof head, file) == sizeof head) {
        if (std::memcmp(head, "fLaC", 4) == 0) {
            ok = true;
        } else if (std::memcmp(head, "ID3", 3) == 0) {
            const long size = (head[6] & 0x7F) << 21 | (head[7] & 0x7F) << 14 | (head[8] & 0x7F) << 7 | (head[9] & 0x7F);
            uint8_t magic[4] = {};
            ok = fseeko(file, 10 + size + ((head[5] & 0x10) != 0 ? 10 : 0), SEEK_SET) == 0 &&
                 std::fread(magic, 1, 4, file) == 4 && std::memcmp(magic, "fLaC", 4) == 0;
        }
    }
    std::fclose(file);
    return ok;
}

}  // namespace

FlacSource::FlacSource() = default;

FlacSource::~FlacSource() { Close(); }

IUnknown* FlacSource::create() { return static_cast<IConvSource*>(new (std::nothrow) FlacSource); }

bool FlacSource::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_FlacSource;
    return true;
}

std::string FlacSource::fileName() const { return platform::fileNameOf(path_); }

void FlacSource::releaseDecoder() {
    if (decoder_ == nullptr) return;
    FLAC__stream_decoder_delete(decoder_);  // finishes (and closes the file) first
    decoder_ = nullptr;
}

bool FlacSource::Open() {
    if (!SourceBase::Open()) return false;
    std::FILE* probe = std::fopen(path_.c_str(), "rb");
    if (probe == nullptr) {
        Close();
        error("%s", kMsgFlacCannotOpenSource);
        return false;
    }
    std::fclose(probe);
    if (!startsLikeFlac(path_)) {
        Close();
        error(kMsgFlacNotFlac, fileName().c_str(), "no \"fLaC\" signature");
        return false;
    }
    decoder_ = FLAC__stream_decoder_new();
    if (decoder_ == nullptr) {
        Close();
        error("Out of memory");
        return false;
    }
    FLAC__stream_decoder_set_md5_checking(decoder_, true);
    haveStreamInfo_ = false;
    streamError_.clear();
    if (FLAC__stream_decoder_init_file(decoder_, path_.c_str(), writeCallback, metadataCallback, errorCallback, this) !=
        FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        Close();
        error("%s", kMsgFlacCannotOpenSource);
        return false;
    }
    if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder_) || !haveStreamInfo_ || !streamError_.empty()) {
        const std::string why = !streamError_.empty() ? streamError_ : "no valid STREAMINFO block";
        Close();
        error(kMsgFlacNotFlac, fileName().c_str(), why.c_str());
        return false;
    }
    // FLAC streams carry 1 to 8 channels of 4 to 32 bits.
    if (streamChannels_ < 1 || streamChannels_ > FLAC__MAX_CHANNELS || streamRate_ < 1 || streamBits_ < 4 ||
        streamBits_ > 32) {
        Close();
        error(kMsgFlacBadStreamInfo, fileName().c_str(), streamChannels_, streamRate_, streamBits_);
        return false;
    }
    const unsigned bits = outputBits(streamBits_);
    const uint32_t blockAlign = streamChannels_ * (bits / 8);
    format_ = WAVEFORMATEX{};
    format_.wFormatTag = WAVE_FORMAT_PCM;
    format_.nChannels = static_cast<uint16_t>(streamChannels_);
    format_.nSamplesPerSec = streamRate_;
    format_.nBlockAlign = static_cast<uint16_t>(blockAlign);
    format_.wBitsPerSample = static_cast<uint16_t>(bits);
    format_.nAvgBytesPerSec = blockAlign * streamRate_;
    const double bytes = static_cast<double>(streamSamples_) * blockAlign;
    totalLength_ = bytes > 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
    return true;
}

void FlacSource::onMetadata(const FLAC__StreamMetadata* metadata) {
    if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
    const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
    streamChannels_ = info.channels;
    streamRate_ = info.sample_rate;
    streamBits_ = info.bits_per_sample;
    streamSamples_ = info.total_samples;
    haveStreamInfo_ = true;
}

void FlacSource::onError(FLAC__StreamDecoderErrorStatus status) {
    if (!streamError_.empty()) return;
    streamError_ = FLAC__StreamDecoderErrorStatusString[status];
    streamErrorAt_ = decodedSamples_;
}

FLAC__StreamDecoderWriteStatus FlacSource::onWrite(const FLAC__Frame* frame, const FLAC__int32* const buffer[]) {
    if (sink_ == nullptr || !streamError_.empty()) return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    const unsigned channels = frame->header.channels;
    const unsigned blocksize = frame->header.blocksize;
    // A frame that changes the stream's layout cannot travel in the announced format.
    if (channels != streamChannels_ || frame->header.bits_per_sample != streamBits_) {
        streamError_ = "a frame changes the channel count or sample size";
        streamErrorAt_ = decodedSamples_;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    const unsigned bits = outputBits(streamBits_);
    const unsigned sampleBytes = bits / 8;
    const int shift = static_cast<int>(bits) - static_cast<int>(streamBits_);
    pcm_.resize(static_cast<size_t>(blocksize) * channels * sampleBytes);
    uint8_t* out = pcm_.data();
    if (sampleBytes == 2 && shift == 0 && channels == 2 && std::endian::native == std::endian::little) {
        // 16-bit stereo, nearly every CD rip: one 32-bit store per frame, which the compiler vectorises.
        const FLAC__int32* left = buffer[0];
        const FLAC__int32* right = buffer[1];
        for (unsigned i = 0; i < blocksize; ++i) {
            const uint32_t word = static_cast<uint16_t>(left[i]) | static_cast<uint32_t>(static_cast<uint16_t>(right[i])) << 16;
            std::memcpy(out + 4 * static_cast<size_t>(i), &word, 4);
        }
    } else if (sampleBytes == 2 && shift == 0) {
        // Other 16-bit streams: one pass per channel, no per-sample branches.
        const size_t frameBytes = static_cast<size_t>(channels) * 2;
        for (unsigned c = 0; c < channels; ++c) {
            const FLAC__int32* in = buffer[c];
            uint8_t* o = out + 2 * c;
            for (unsigned i = 0; i < blocksize; ++i, o += frameBytes) {
                const auto v = static_cast<uint32_t>(in[i]);
                o[0] = static_cast<uint8_t>(v);
                o[1] = static_cast<uint8_t>(v >> 8);
            }
        }
    } else {
        for (unsigned i = 0; i < blocksize; ++i) {
            for (unsigned c = 0; c < channels; ++c) {
                int32_t v = buffer[c][i];
                v = shift >= 0 ? static_cast<int32_t>(static_cast<uint32_t>(v) << shift) : v >> -shift;
                if (sampleBytes == 1) {
                    *out++ = static_cast<uint8_t>(v + 128);  // 8-bit WAV PCM is unsigned
                } else {
                    for (unsigned b = 0; b < sampleBytes; ++b) *out++ = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * b));
                }
            }
        }
    }
    decodedSamples_ += blocksize;
    if (!sink_->Write(pcm_.data(), static_cast<uint32_t>(pcm_.size()))) {
        sinkRefused_ = true;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

bool FlacSource::Run(IConvSink* sink) {
    if (!SourceBase::Run(sink)) return false;
    if (sink == nullptr || decoder_ == nullptr) return false;
    sink_ = sink;
    sinkRefused_ = false;
    decodedSamples_ = 0;
    uint64_t expected = streamSamples_;
    bool seeked = false;
    if (startTimeMs_ > 0) {
        const uint64_t sample = static_cast<uint64_t>(startTimeMs_) * streamRate_ / 1000;
        if (streamSamples_ != 0 && sample >= streamSamples_) {
            sink_ = nullptr;
            return true;  // a start past the end delivers nothing
        }
        // The frame holding the target sample is delivered from within the seek.
        if (FLAC__stream_decoder_seek_absolute(decoder_, sample)) {
            seeked = true;
            if (expected != 0) expected -= sample;
        } else if (!sinkRefused_) {
            error("%s", kMsgFlacCannotSeek);
            streamError_.clear();
            FLAC__stream_decoder_flush(decoder_);
            decodedSamples_ = 0;
            if (!FLAC__stream_decoder_seek_absolute(decoder_, 0)) {
                sink_ = nullptr;
                error(kMsgFlacStreamError, fileName().c_str(), 0ull, "cannot return to the start");
                return false;
            }
        }
    }
    // Frame by frame, so that the first damaged frame stops the decoding.
    while (!sinkRefused_ && streamError_.empty()) {
        const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(decoder_);
        if (state == FLAC__STREAM_DECODER_END_OF_STREAM || state == FLAC__STREAM_DECODER_ABORTED) break;
        if (!FLAC__stream_decoder_process_single(decoder_)) break;
    }
    sink_ = nullptr;
    if (sinkRefused_) return false;
    if (!streamError_.empty()) {
        error(kMsgFlacStreamError, fileName().c_str(), static_cast<unsigned long long>(streamErrorAt_),
              streamError_.c_str());
        return false;
    }
    const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(decoder_);
    if (state != FLAC__STREAM_DECODER_END_OF_STREAM) {
        error(kMsgFlacStreamError, fileName().c_str(), static_cast<unsigned long long>(decodedSamples_),
              FLAC__StreamDecoderStateString[state]);
        return false;
    }
    if (expected != 0 && decodedSamples_ < expected) {
        error(kMsgFlacTruncated, fileName().c_str(), static_cast<unsigned long long>(decodedSamples_),
              static_cast<unsigned long long>(expected));
        return false;
    }
    // finish compares the MD5 of everything decoded, when the whole stream was.
    if (!FLAC__stream_decoder_finish(decoder_) && !seeked) {
        core::report(progress_, "b", kMsgFlacMd5Mismatch, fileName().c_str());
    }
    return true;
}

bool FlacSource::Close() {
    SourceBase::Close();
    releaseDecoder();
    sink_ = nullptr;
    return true;
}

bool FlacSource::GetTag(IMetadataFile** tag) {
    if (tag == nullptr) return false;
    *tag = nullptr;
    if (path_.empty()) return false;
    auto* file = new (std::nothrow) FlacMetadataFile(path_);
    if (file == nullptr) return false;
    file->AddRef();
    *tag = file;
    return true;
}

}  // namespace tallory::formats::flac
