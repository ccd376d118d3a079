// Conversion streams: PCM to PCM through libswresample, PCM to a codec and a
// codec to PCM through libavcodec. Every stream runs through one pipeline:
// input frames become interleaved 32-bit samples at the destination's rate
// and channel count (a FIFO), and the FIFO is packed or encoded.
#include "platform/acm/acm.h"

#include "platform/ffmpeg/ffmpeg_handles.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/acm/codec_table.h"

namespace tallory::platform::acm {

namespace {

using ffmpeg::CodecContextPtr;
using ffmpeg::FramePtr;
using ffmpeg::PacketPtr;
using ffmpeg::ParserPtr;
using ffmpeg::SwrPtr;

// Law codecs have no frame size of their own: encode in pieces of this many frames.
constexpr int kSampleCodecChunk = 4096;
// Frames of slack for the resampler's delay when sizing buffers.
constexpr uint64_t kResamplerSlack = 512;
// Source bytes of a stream codec read at least per block (a few MPEG frames).
constexpr uint64_t kMinStreamRead = 4096;
// The longest MPEG audio frame in samples, for sizing.
constexpr uint64_t kMpegFrameSamples = 1152;

int32_t unpackSample(const uint8_t* p, int bytes) {
    switch (bytes) {
        case 1:
            return static_cast<int32_t>((static_cast<uint32_t>(p[0]) - 128u) << 24);
        case 2:
            return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 24);
        case 3:
            return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                                        static_cast<uint32_t>(p[2]) << 24);
        default:
            return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                        static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
    }
}

void packSample(int32_t v, uint8_t* p, int bytes) {
    uint32_t u = static_cast<uint32_t>(v);
    switch (bytes) {
        case 1:
            p[0] = static_cast<uint8_t>((u >> 24) + 128u);
            break;
        case 2:
            p[0] = static_cast<uint8_t>(u >> 16);
            p[1] = static_cast<uint8_t>(u >> 24);
            break;
        case 3:
            p[0] = static_cast<uint8_t>(u >> 8);
            p[1] = static_cast<uint8_t>(u >> 16);
            p[2] = static_cast<uint8_t>(u >> 24);
            break;
        default:
            for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
            break;
    }
}

uint32_t clamp32(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

}  // namespace

class Codec {
public:
    ~Codec() { av_channel_layout_uninit(&dLayout_); }

public:
    Result init(const FormatBlob& src, const FormatBlob& dst);
    Result size(uint32_t bytes, SizeKind kind, uint32_t& out) const;
    Result convert(const uint8_t* src, uint32_t srcLength, uint8_t* dst, uint32_t dstLength, bool blockAlign,
                   uint32_t& consumed, uint32_t& produced);

private:
    Result openDecoder(const FormatBlob& src);
    Result openEncoder(const FormatBlob& dst);
    Result resample(const uint8_t* const* data, int frames, AVSampleFormat format, int rate,
                    const AVChannelLayout& layout);
    Result drainResampler();
    Result decodePacket(const uint8_t* data, int size);
    Result receiveFrames();
    Result decode(const uint8_t* src, uint32_t length, bool last, uint32_t& consumed);
    Result encodeFifo(bool last);
    Result receivePackets();
    void packFifo();
    size_t fifoFrames() const { return fifo_.size() / d_.nChannels; }

    WAVEFORMATEX s_{}, d_{};
    const CodecDescriptor* sCodec_ = nullptr;
    const CodecDescriptor* dCodec_ = nullptr;
    uint32_t sBlockFrames_ = 1, dBlockFrames_ = 1;
    bool direct_ = false;  // PCM in at the destination's rate and channels: no resampler
    CodecContextPtr dec_, enc_;
    ParserPtr parser_;
    PacketPtr packet_;
    FramePtr frame_;
    SwrPtr swr_;
    AVSampleFormat swrFormat_ = AV_SAMPLE_FMT_NONE;
    int swrRate_ = 0, swrChannels_ = 0;
    AVChannelLayout dLayout_{};
    std::vector<int32_t> fifo_;   // interleaved, destination rate and channels
    std::vector<uint8_t> out_;    // output not yet handed out
    bool finished_ = false;       // the last call has flushed everything into out_
};

Result Codec::init(const FormatBlob& src, const FormatBlob& dst) {
    if (validate(src) != kOk || validate(dst) != kOk) return kNotPossible;
    // Every stream but PCM to PCM at one rate and channel count needs FFmpeg.
    const WAVEFORMATEX a = header(src), b = header(dst);
    const bool plainPcm = a.wFormatTag == kTagPcm && b.wFormatTag == kTagPcm && a.nSamplesPerSec == b.nSamplesPerSec &&
                          a.nChannels == b.nChannels;
    if (!plainPcm && !ffmpeg::available()) return kNotPossible;
    s_ = header(src);
    d_ = header(dst);
    sCodec_ = findCodec(s_.wFormatTag);
    dCodec_ = findCodec(d_.wFormatTag);
    bool sPcm = sCodec_->kind == CodecKind::pcm, dPcm = dCodec_->kind == CodecKind::pcm;
    // One side is always PCM: codecs convert to and from PCM only.
    if (!sPcm && !dPcm) return kNotPossible;
    if (!sPcm && (sCodec_->flags & kCanDecode) == 0) return kNotPossible;
    if (!dPcm && (dCodec_->flags & kCanEncode) == 0) return kNotPossible;
    sBlockFrames_ = samplesPerBlock(src);
    dBlockFrames_ = samplesPerBlock(dst);
    av_channel_layout_default(&dLayout_, d_.nChannels);
    direct_ = sPcm && s_.nSamplesPerSec == d_.nSamplesPerSec && s_.nChannels == d_.nChannels;
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!packet_ || !frame_) return kNoMemory;
    if (!sPcm) {
        Result r = openDecoder(src);
        if (r != kOk) return r;
    }
    if (!dPcm) {
        Result r = openEncoder(dst);
        if (r != kOk) return r;
    }
    return kOk;
}

Result Codec::openDecoder(const FormatBlob& src) {
    const AVCodec* codec = avcodec_find_decoder_by_name(sCodec_->decoder);
    if (codec == nullptr) return kNotPossible;
    dec_.reset(avcodec_alloc_context3(codec));
    if (!dec_) return kNoMemory;
    dec_->sample_rate = static_cast<int>(s_.nSamplesPerSec);
    av_channel_layout_default(&dec_->ch_layout, s_.nChannels);
    dec_->block_align = s_.nBlockAlign;
    dec_->bits_per_coded_sample = s_.wBitsPerSample;
    if (s_.cbSize > 0) {
        dec_->extradata = static_cast<uint8_t*>(av_mallocz(s_.cbSize + AV_INPUT_BUFFER_PADDING_SIZE));
        if (dec_->extradata == nullptr) return kNoMemory;
        std::memcpy(dec_->extradata, src.data() + sizeof(WAVEFORMATEX), s_.cbSize);
        dec_->extradata_size = s_.cbSize;
    }
    if (avcodec_open2(dec_.get(), codec, nullptr) < 0) return kNotPossible;
    if (sCodec_->kind == CodecKind::stream) {
        parser_.reset(av_parser_init(codec->id));
        if (!parser_) return kNotPossible;
    }
    return kOk;
}

Result Codec::openEncoder(const FormatBlob&) {
    const AVCodec* codec = avcodec_find_encoder_by_name(dCodec_->encoder);
    if (codec == nullptr) return kNotPossible;
    enc_.reset(avcodec_alloc_context3(codec));
    if (!enc_) return kNoMemory;
    enc_->sample_rate = static_cast<int>(d_.nSamplesPerSec);
    av_channel_layout_default(&enc_->ch_layout, d_.nChannels);
    enc_->sample_fmt = codec->sample_fmts != nullptr ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    // Our samples are 16-bit: take that layout where the encoder offers it
    // (libmp3lame lists 32-bit planar first).
    for (const AVSampleFormat* f = codec->sample_fmts; f != nullptr && *f != AV_SAMPLE_FMT_NONE; ++f) {
        if (*f == AV_SAMPLE_FMT_S16 || *f == AV_SAMPLE_FMT_S16P) {
            enc_->sample_fmt = *f;
            break;
        }
    }
    enc_->bit_rate = int64_t{d_.nAvgBytesPerSec} * 8;
    // GSM 6.10 is defined at 8 kHz; other rates are written as the original codec did.
    enc_->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    if (dCodec_->kind == CodecKind::block && d_.wFormatTag != kTagGsm610) {
        av_opt_set_int(enc_->priv_data, "block_size", d_.nBlockAlign, 0);
    }
    if (avcodec_open2(enc_.get(), codec, nullptr) < 0) return kNotPossible;
    if (enc_->sample_fmt != AV_SAMPLE_FMT_S16 && enc_->sample_fmt != AV_SAMPLE_FMT_S16P) return kNotPossible;
    // The blocks must be the ones the format record announces, or readers misread the file.
    if (dCodec_->kind == CodecKind::block &&
        (enc_->block_align != d_.nBlockAlign || static_cast<uint32_t>(enc_->frame_size) != dBlockFrames_)) {
        return kNotPossible;
    }
    return kOk;
}

Result Codec::size(uint32_t bytes, SizeKind kind, uint32_t& out) const {
    uint64_t sRate = s_.nSamplesPerSec, dRate = d_.nSamplesPerSec;
    if (kind == SizeKind::source) {
        uint64_t in = 0;
        switch (sCodec_->kind) {
            case CodecKind::pcm:
            case CodecKind::sample:
                in = bytes / s_.nBlockAlign;
                break;
            case CodecKind::block:
                in = (uint64_t{bytes} + s_.nBlockAlign - 1) / s_.nBlockAlign * sBlockFrames_;
                break;
            case CodecKind::stream:
                // Data of a lower bitrate than declared decodes to more frames; allow 8 kbit/s.
                in = uint64_t{bytes} * sRate / 1000 + 2 * kMpegFrameSamples;
                break;
        }
        uint64_t frames = in * dRate / sRate + fifoFrames() + (direct_ ? 0 : kResamplerSlack);
        uint64_t result = dCodec_->kind == CodecKind::block ? (frames / dBlockFrames_ + 2) * d_.nBlockAlign
                                                            : (frames + 1) * d_.nBlockAlign;
        out = clamp32(result + out_.size());
        return kOk;
    }
    uint64_t frames = dCodec_->kind == CodecKind::block ? uint64_t{bytes} / d_.nBlockAlign * dBlockFrames_
                                                        : uint64_t{bytes} / d_.nBlockAlign;
    uint64_t in = frames * sRate / dRate;
    uint64_t result = 0;
    switch (sCodec_->kind) {
        case CodecKind::pcm:
        case CodecKind::sample:
            result = in * s_.nBlockAlign;
            break;
        case CodecKind::block:
            result = std::max<uint64_t>(in / sBlockFrames_, 1) * s_.nBlockAlign;
            break;
        case CodecKind::stream:
            // Never less than a few frames' worth: a record declaring a tiny byte
            // rate must not turn a file into millions of one-byte reads.
            result = std::max<uint64_t>(in * s_.nAvgBytesPerSec / sRate, kMinStreamRead);
            break;
    }
    if (result == 0) return kNotPossible;
    out = clamp32(result);
    return kOk;
}

Result Codec::resample(const uint8_t* const* data, int frames, AVSampleFormat format, int rate,
                       const AVChannelLayout& layout) {
    if (!swr_) {
        SwrContext* s = nullptr;
        if (swr_alloc_set_opts2(&s, &dLayout_, AV_SAMPLE_FMT_S32, static_cast<int>(d_.nSamplesPerSec),
                                const_cast<AVChannelLayout*>(&layout),
                                format, rate, 0, nullptr) < 0 ||
            swr_init(s) < 0) {
            swr_free(&s);
            return kNotPossible;
        }
        swr_.reset(s);
        swrFormat_ = format;
        swrRate_ = rate;
        swrChannels_ = layout.nb_channels;
    } else if (format != swrFormat_ || rate != swrRate_ || layout.nb_channels != swrChannels_) {
        // A stream whose frames change their layout midway: the odd frame is dropped.
        return kOk;
    }
    int capacity = swr_get_out_samples(swr_.get(), frames);
    if (capacity < 0) return kError;
    size_t at = fifo_.size();
    fifo_.resize(at + static_cast<size_t>(capacity) * d_.nChannels);
    uint8_t* outPtr = reinterpret_cast<uint8_t*>(fifo_.data() + at);
    int got = swr_convert(swr_.get(), &outPtr, capacity, const_cast<const uint8_t**>(data), frames);
    if (got < 0) {
        fifo_.resize(at);
        return kError;
    }
    fifo_.resize(at + static_cast<size_t>(got) * d_.nChannels);
    return kOk;
}

Result Codec::drainResampler() {
    if (!swr_) return kOk;
    for (;;) {
        int capacity = static_cast<int>(kResamplerSlack);
        size_t at = fifo_.size();
        fifo_.resize(at + static_cast<size_t>(capacity) * d_.nChannels);
        uint8_t* outPtr = reinterpret_cast<uint8_t*>(fifo_.data() + at);
        int got = swr_convert(swr_.get(), &outPtr, capacity, nullptr, 0);
        fifo_.resize(at + static_cast<size_t>(std::max(got, 0)) * d_.nChannels);
        if (got < 0) return kError;
        if (got == 0) return kOk;
    }
}

Result Codec::receiveFrames() {
    for (;;) {
        int r = avcodec_receive_frame(dec_.get(), frame_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return kOk;
        if (r < 0) return kError;
        Result res = resample(frame_->extended_data, frame_->nb_samples, static_cast<AVSampleFormat>(frame_->format),
                              frame_->sample_rate, frame_->ch_layout);
        av_frame_unref(frame_.get());
        if (res != kOk) return res;
    }
}

Result Codec::decodePacket(const uint8_t* data, int size) {
    if (data != nullptr) {
        if (av_new_packet(packet_.get(), size) < 0) return kNoMemory;
        std::memcpy(packet_->data, data, static_cast<size_t>(size));
    }
    int r = avcodec_send_packet(dec_.get(), data != nullptr ? packet_.get() : nullptr);
    av_packet_unref(packet_.get());
    // Damaged data is skipped packet by packet, as a player would.
    if (r < 0 && r != AVERROR_INVALIDDATA && r != AVERROR_EOF) return kError;
    return receiveFrames();
}

Result Codec::decode(const uint8_t* src, uint32_t length, bool last, uint32_t& consumed) {
    Result r = kOk;
    switch (sCodec_->kind) {
        case CodecKind::block: {
            uint32_t blocks = length / s_.nBlockAlign;
            for (uint32_t i = 0; i < blocks && r == kOk; ++i) {
                r = decodePacket(src + size_t{i} * s_.nBlockAlign, s_.nBlockAlign);
            }
            // A last, partial block cannot be decoded; it is taken and dropped.
            consumed = last ? length : blocks * s_.nBlockAlign;
            break;
        }
        case CodecKind::sample: {
            uint32_t whole = length / s_.nBlockAlign * s_.nBlockAlign;
            constexpr uint32_t kPiece = 65536;
            for (uint32_t at = 0; at < whole && r == kOk; at += kPiece) {
                r = decodePacket(src + at, static_cast<int>(std::min(kPiece, whole - at)));
            }
            consumed = last ? length : whole;
            break;
        }
        case CodecKind::stream: {
            uint32_t at = 0;
            // The parser keeps partial frames between calls, so everything is consumed.
            while (at < length && r == kOk) {
                uint8_t* out = nullptr;
                int outSize = 0;
                int used = av_parser_parse2(parser_.get(), dec_.get(), &out, &outSize, src + at,
                                            static_cast<int>(length - at), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
                if (used < 0) return kError;
                at += static_cast<uint32_t>(used);
                if (outSize > 0) r = decodePacket(out, outSize);
                if (used == 0 && outSize == 0) break;
            }
            if (last && r == kOk) {
                uint8_t* out = nullptr;
                int outSize = 0;
                av_parser_parse2(parser_.get(), dec_.get(), &out, &outSize, nullptr, 0, AV_NOPTS_VALUE,
                                 AV_NOPTS_VALUE, 0);
                if (outSize > 0) r = decodePacket(out, outSize);
            }
            consumed = length;
            break;
        }
        case CodecKind::pcm:
            return kError;
    }
    if (r == kOk && last) r = decodePacket(nullptr, 0);
    return r;
}

Result Codec::receivePackets() {
    for (;;) {
        int r = avcodec_receive_packet(enc_.get(), packet_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return kOk;
        if (r < 0) return kError;
        out_.insert(out_.end(), packet_->data, packet_->data + packet_->size);
        av_packet_unref(packet_.get());
    }
}

Result Codec::encodeFifo(bool last) {
    const int channels = d_.nChannels;
    // Frame-based encoders (MPEG audio) take exactly their frame size, but for the last.
    const bool framed = dCodec_->kind == CodecKind::stream && enc_->frame_size > 0;
    const int chunk = dCodec_->kind == CodecKind::block ? static_cast<int>(dBlockFrames_)
                      : framed                          ? enc_->frame_size
                                                        : kSampleCodecChunk;
    if (last && dCodec_->kind == CodecKind::block && fifoFrames() % dBlockFrames_ != 0) {
        // The last block is completed with silence.
        fifo_.resize((fifoFrames() / dBlockFrames_ + 1) * dBlockFrames_ * channels, 0);
    }
    size_t at = 0;
    while (fifoFrames() - at / channels > 0) {
        int frames = static_cast<int>(std::min<size_t>(chunk, fifoFrames() - at / channels));
        if ((dCodec_->kind == CodecKind::block || (framed && !last)) && frames < chunk) break;
        frame_->nb_samples = frames;
        frame_->format = enc_->sample_fmt;
        frame_->sample_rate = enc_->sample_rate;
        if (av_channel_layout_copy(&frame_->ch_layout, &enc_->ch_layout) < 0 || av_frame_get_buffer(frame_.get(), 0) < 0) {
            return kNoMemory;
        }
        const int32_t* in = fifo_.data() + at;
        if (enc_->sample_fmt == AV_SAMPLE_FMT_S16) {
            auto* out = reinterpret_cast<int16_t*>(frame_->data[0]);
            for (int i = 0; i < frames * channels; ++i) out[i] = static_cast<int16_t>(in[i] >> 16);
        } else {
            for (int c = 0; c < channels; ++c) {
                auto* out = reinterpret_cast<int16_t*>(frame_->extended_data[c]);
                for (int i = 0; i < frames; ++i) out[i] = static_cast<int16_t>(in[i * channels + c] >> 16);
            }
        }
        int r = avcodec_send_frame(enc_.get(), frame_.get());
        av_frame_unref(frame_.get());
        if (r < 0) return kError;
        Result res = receivePackets();
        if (res != kOk) return res;
        at += static_cast<size_t>(frames) * channels;
    }
    fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(at));
    if (last) {
        if (avcodec_send_frame(enc_.get(), nullptr) < 0) return kError;
        return receivePackets();
    }
    return kOk;
}

void Codec::packFifo() {
    const int bytes = (d_.wBitsPerSample + 7) / 8;
    size_t at = out_.size();
    out_.resize(at + fifo_.size() * static_cast<size_t>(bytes));
    for (size_t i = 0; i < fifo_.size(); ++i) packSample(fifo_[i], out_.data() + at + i * bytes, bytes);
    fifo_.clear();
}

Result Codec::convert(const uint8_t* src, uint32_t srcLength, uint8_t* dst, uint32_t dstLength, bool blockAlign,
                      uint32_t& consumed, uint32_t& produced) {
    consumed = produced = 0;
    bool last = !blockAlign;
    if (!finished_) {
        Result r = kOk;
        if (sCodec_->kind == CodecKind::pcm) {
            uint32_t frames = srcLength / s_.nBlockAlign;
            if (direct_ && blockAlign && dCodec_->kind == CodecKind::block) {
                // Only whole blocks: the caller keeps the rest for its next call.
                size_t whole = (fifoFrames() + frames) / dBlockFrames_ * dBlockFrames_;
                frames = whole > fifoFrames() ? static_cast<uint32_t>(whole - fifoFrames()) : 0;
            }
            consumed = last ? srcLength : frames * s_.nBlockAlign;
            const int bytes = (s_.wBitsPerSample + 7) / 8;
            std::vector<int32_t> samples(size_t{frames} * s_.nChannels);
            for (size_t i = 0; i < samples.size(); ++i) samples[i] = unpackSample(src + i * bytes, bytes);
            if (direct_) {
                fifo_.insert(fifo_.end(), samples.begin(), samples.end());
            } else if (frames > 0) {
                AVChannelLayout layout{};
                av_channel_layout_default(&layout, s_.nChannels);
                const uint8_t* planes[1] = {reinterpret_cast<const uint8_t*>(samples.data())};
                r = resample(planes, static_cast<int>(frames), AV_SAMPLE_FMT_S32, static_cast<int>(s_.nSamplesPerSec),
                             layout);
                av_channel_layout_uninit(&layout);
            }
        } else {
            r = decode(src, srcLength, last, consumed);
        }
        if (r == kOk && last) r = drainResampler();
        if (r == kOk) {
            if (dCodec_->kind == CodecKind::pcm) {
                packFifo();
            } else {
                r = encodeFifo(last);
            }
        }
        if (r != kOk) return r;
        finished_ = last;
    } else {
        consumed = srcLength;
    }
    produced = static_cast<uint32_t>(std::min<size_t>(dstLength, out_.size()));
    if (produced > 0) {
        std::memcpy(dst, out_.data(), produced);
        out_.erase(out_.begin(), out_.begin() + produced);
    }
    return kOk;
}

Stream::Stream(FormatBlob source, FormatBlob destination)
    : source_(std::move(source)), destination_(std::move(destination)) {}

Stream::~Stream() = default;

Result Stream::open(const FormatBlob& source, const FormatBlob& destination, std::unique_ptr<Stream>& out) {
    out.reset();
    std::unique_ptr<Stream> s(new (std::nothrow) Stream(source, destination));
    if (!s) return kNoMemory;
    s->codec_ = std::make_unique<Codec>();
    Result r = s->codec_->init(source, destination);
    if (r != kOk) return r;
    out = std::move(s);
    return kOk;
}

Result Stream::size(uint32_t bytes, SizeKind kind, uint32_t& out) const { return codec_->size(bytes, kind, out); }

Result Stream::convert(const uint8_t* src, uint32_t srcLength, uint8_t* dst, uint32_t dstLength, bool blockAlign,
                       uint32_t& consumed, uint32_t& produced) {
    if ((src == nullptr && srcLength > 0) || (dst == nullptr && dstLength > 0)) return kInvalidParam;
    return codec_->convert(src, srcLength, dst, dstLength, blockAlign, consumed, produced);
}

}  // namespace tallory::platform::acm
