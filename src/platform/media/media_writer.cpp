#include "platform/media/media_writer.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <random>

#include "platform/ffmpeg/ffmpeg_handles.h"

namespace tallory::platform::media {

namespace {

struct CodecEntry {
    const char* name;     // as the profile manager lists it
    const char* encoder;  // libavcodec's encoder
};
constexpr CodecEntry kCodecs[] = {
    {"Windows Media Audio V2", "wmav2"},
    {"Windows Media Audio V1", "wmav1"},
};
constexpr int kCodecCount = sizeof kCodecs / sizeof kCodecs[0];

// Candidates offered to the encoder. Above 4 bits per sample and channel a
// format only wastes space, so such pairs are not offered.
constexpr int kBitRatesKbps[] = {320, 256, 192, 160, 128, 96, 80, 64, 48, 40, 32, 24, 22, 20, 16, 12, 10, 8, 6, 5};
constexpr int kSampleRates[] = {48000, 44100, 32000, 22050, 16000, 11025, 8000};
constexpr int kMaxBitsPerSample = 4;

using CodecPtr = ffmpeg::CodecContextPtr;
using ffmpeg::AudioFifoPtr;
using ffmpeg::FramePtr;
using ffmpeg::OutputFormatPtr;
using ffmpeg::PacketPtr;
using ffmpeg::SwrPtr;

MediaStatus openEncoder(int codec, int bitRate, int sampleRate, int channels, CodecPtr* out) {
    if (codec < 0 || codec >= kCodecCount) return {E_INVALIDARG, "there is no codec " + std::to_string(codec)};
    const AVCodec* encoder = avcodec_find_encoder_by_name(kCodecs[codec].encoder);
    if (encoder == nullptr) return fromAvError(AVERROR_ENCODER_NOT_FOUND);
    CodecPtr ctx(avcodec_alloc_context3(encoder));
    if (!ctx) return fromAvError(AVERROR(ENOMEM));
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->sample_rate = sampleRate;
    av_channel_layout_default(&ctx->ch_layout, channels);
    ctx->bit_rate = bitRate;
    ctx->time_base = AVRational{1, sampleRate};
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int err = avcodec_open2(ctx.get(), encoder, nullptr);
    if (err < 0) return fromAvError(err);
    *out = std::move(ctx);
    return MediaStatus::ok();
}

// The encoder takes the format if it codes a block of full-scale noise, its hardest input.
bool encoderAccepts(int codec, int bitRate, int sampleRate, int channels) {
    CodecPtr ctx;
    if (!openEncoder(codec, bitRate, sampleRate, channels, &ctx)) return false;
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!frame || !packet) return false;
    frame->nb_samples = ctx->frame_size;
    frame->format = ctx->sample_fmt;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
    std::minstd_rand noise(12345);
    for (int ch = 0; ch < channels; ++ch) {
        float* p = reinterpret_cast<float*>(frame->extended_data[ch]);
        for (int i = 0; i < frame->nb_samples; ++i) p[i] = (noise() % 2 == 0) ? 1.0f : -1.0f;
    }
    for (int round = 0; round < 3; ++round) {
        frame->pts = static_cast<int64_t>(round) * ctx->frame_size;
        if (avcodec_send_frame(ctx.get(), frame.get()) < 0) return false;
        for (;;) {
            int err = avcodec_receive_packet(ctx.get(), packet.get());
            if (err == AVERROR(EAGAIN)) break;
            if (err < 0) return false;
            av_packet_unref(packet.get());
        }
    }
    return true;
}

std::vector<WmaFormat> enumerate(int codec) {
    std::vector<WmaFormat> formats;
    if (!ffmpeg::available()) return formats;
    for (int kbps : kBitRatesKbps) {
        for (int rate : kSampleRates) {
            for (int channels : {2, 1}) {
                if (static_cast<int64_t>(kbps) * 1000 > static_cast<int64_t>(rate) * channels * kMaxBitsPerSample) {
                    continue;
                }
                if (!encoderAccepts(codec, kbps * 1000, rate, channels)) continue;
                char text[64];
                std::snprintf(text, sizeof text, "%d kbps, %d kHz, %s CBR", kbps, rate / 1000,
                              channels == 1 ? "mono" : "stereo");
                formats.push_back({kbps * 1000, rate, channels, text});
            }
        }
    }
    return formats;
}

}  // namespace

int wmaCodecCount() { return kCodecCount; }

std::string wmaCodecName(int codec) {
    return codec >= 0 && codec < kCodecCount ? kCodecs[codec].name : std::string();
}

const std::vector<WmaFormat>& wmaCodecFormats(int codec) {
    static std::once_flag once[kCodecCount];
    static std::vector<WmaFormat> lists[kCodecCount];
    static const std::vector<WmaFormat> none;
    if (codec < 0 || codec >= kCodecCount) return none;
    std::call_once(once[codec], [codec] {
        // Refusals are the point of the trial; the encoder need not print them.
        int level = av_log_get_level();
        av_log_set_level(AV_LOG_QUIET);
        lists[codec] = enumerate(codec);
        av_log_set_level(level);
    });
    return lists[codec];
}

struct MediaWriter::State {
    CodecPtr codec;
    WmaFormat format;
    PcmInput input;
    SwrPtr swr;
    OutputFormatPtr output;
    AudioFifoPtr fifo;
    FramePtr frame, converted;
    PacketPtr packet;
    AVStream* stream = nullptr;
    std::string path;
    // Whole or absent: the file gets its name only when finished.
    OutputFile file;
    int64_t nextPts = 0;
    bool begun = false;  // header written, samples accepted
    std::vector<int32_t> widened;  // 24-bit input as 32-bit samples
    std::vector<uint8_t> partial;  // the start of a sample frame cut by the end of a block
};

MediaWriter::MediaWriter() = default;
MediaWriter::~MediaWriter() { abandon(); }

bool MediaWriter::writing() const { return state_ && state_->output && state_->begun; }

MediaStatus MediaWriter::setProfile(int codec, const WmaFormat& format) {
    abandon();
    if (!ffmpeg::available()) return {E_FAIL, ffmpeg::loadError()};
    auto st = std::make_unique<State>();
    if (MediaStatus s = openEncoder(codec, format.bitRate, format.sampleRate, format.channels, &st->codec); !s) {
        return s;
    }
    st->format = format;
    state_ = std::move(st);
    return MediaStatus::ok();
}

MediaStatus MediaWriter::setInput(const PcmInput& in) {
    if (!state_) return {E_UNEXPECTED, "no profile is set"};
    State& st = *state_;
    AVSampleFormat fmt = in.bitsPerSample == 8    ? AV_SAMPLE_FMT_U8
                         : in.bitsPerSample == 16 ? AV_SAMPLE_FMT_S16
                         : (in.bitsPerSample == 24 || in.bitsPerSample == 32) ? AV_SAMPLE_FMT_S32
                                                                               : AV_SAMPLE_FMT_NONE;
    if (fmt == AV_SAMPLE_FMT_NONE) {
        return {E_INVALIDARG, "PCM of " + std::to_string(in.bitsPerSample) + " bits per sample cannot be coded"};
    }
    if (in.channels < 1 || in.channels > 8) {
        return {E_INVALIDARG, "PCM with " + std::to_string(in.channels) + " channels cannot be coded"};
    }
    if (in.sampleRate < 1000 || in.sampleRate > 768000) {
        return {E_INVALIDARG, "PCM at " + std::to_string(in.sampleRate) + " Hz cannot be coded"};
    }
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, in.channels);
    SwrContext* s = nullptr;
    int err = swr_alloc_set_opts2(&s, &st.codec->ch_layout, st.codec->sample_fmt, st.codec->sample_rate, &layout, fmt,
                                  in.sampleRate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    if (err >= 0) err = swr_init(s);
    st.swr.reset(s);
    if (err < 0) return fromAvError(err);
    st.input = in;
    return MediaStatus::ok();
}

MediaStatus MediaWriter::setOutputFilename(const std::string& path) {
    if (!state_ || !state_->swr) return {E_UNEXPECTED, "no profile or input is set"};
    State& st = *state_;
    st.output.reset();
    AVFormatContext* raw = nullptr;
    int err = avformat_alloc_output_context2(&raw, nullptr, "asf", path.c_str());
    if (err < 0) return fromAvError(err);
    st.output.reset(raw);
    st.stream = avformat_new_stream(raw, nullptr);
    if (st.stream == nullptr) return fromAvError(AVERROR(ENOMEM));
    err = avcodec_parameters_from_context(st.stream->codecpar, st.codec.get());
    if (err < 0) return fromAvError(err);
    st.stream->time_base = st.codec->time_base;
    if (FileStatus f = st.file.create(path); !f) {
        st.output.reset();
        return {E_FAIL, f.message};
    }
    err = avio_open(&raw->pb, ("file:" + st.file.accessPath()).c_str(), AVIO_FLAG_WRITE);
    if (err < 0) {
        st.output.reset();
        st.file.discard();
        return fromAvError(err);
    }
    st.path = path;
    return MediaStatus::ok();
}

MediaStatus MediaWriter::beginWriting() {
    if (!state_ || !state_->output) return {E_UNEXPECTED, "no output file is set"};
    State& st = *state_;
    int err = avformat_write_header(st.output.get(), nullptr);
    if (err < 0) {
        MediaStatus s = fromAvError(err);
        abandon();
        return s;
    }
    st.fifo.reset(av_audio_fifo_alloc(st.codec->sample_fmt, st.codec->ch_layout.nb_channels, st.codec->frame_size));
    st.frame.reset(av_frame_alloc());
    st.converted.reset(av_frame_alloc());
    st.packet.reset(av_packet_alloc());
    if (!st.fifo || !st.frame || !st.converted || !st.packet) {
        abandon();
        return fromAvError(AVERROR(ENOMEM));
    }
    st.nextPts = 0;
    st.begun = true;
    return MediaStatus::ok();
}

namespace {

// Sends one frame (null: the end) and writes every packet the encoder gives back.
int encode(AVCodecContext* codec, AVFormatContext* output, AVStream* stream, AVFrame* frame, AVPacket* packet) {
    int err = avcodec_send_frame(codec, frame);
    if (err < 0) return err;
    for (;;) {
        err = avcodec_receive_packet(codec, packet);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return 0;
        if (err < 0) return err;
        av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        err = av_interleaved_write_frame(output, packet);
        if (err < 0) return err;
    }
}

// Codes one frame from the FIFO: a whole one, or at the end what is left, padded with silence.
int encodeFromFifo(AVCodecContext* codec, AVFormatContext* output, AVStream* stream, AVAudioFifo* fifo,
                   AVFrame* frame, AVPacket* packet, int64_t* nextPts) {
    int take = std::min(av_audio_fifo_size(fifo), codec->frame_size);
    av_frame_unref(frame);
    frame->nb_samples = codec->frame_size;
    frame->format = codec->sample_fmt;
    frame->sample_rate = codec->sample_rate;
    av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout);
    int err = av_frame_get_buffer(frame, 0);
    if (err < 0) return err;
    if (av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->extended_data), take) < take) return AVERROR_BUG;
    if (take < codec->frame_size) {
        av_samples_set_silence(frame->extended_data, take, codec->frame_size - take, codec->ch_layout.nb_channels,
                               codec->sample_fmt);
    }
    frame->pts = *nextPts;
    *nextPts += codec->frame_size;
    return encode(codec, output, stream, frame, packet);
}

}  // namespace

MediaStatus MediaWriter::write(const uint8_t* pcm, size_t bytes) {
    if (!writing()) return {E_UNEXPECTED, "the writer has not begun"};
    State& st = *state_;
    size_t inBytes = static_cast<size_t>(st.input.bitsPerSample / 8) * st.input.channels;
    // Blocks need not end on a sample frame: a cut frame is completed by the next block.
    if (!st.partial.empty()) {
        size_t take = std::min(inBytes - st.partial.size(), bytes);
        st.partial.insert(st.partial.end(), pcm, pcm + take);
        pcm += take;
        bytes -= take;
        if (st.partial.size() < inBytes) return MediaStatus::ok();
        std::vector<uint8_t> whole;
        whole.swap(st.partial);
        if (MediaStatus s = writeFrames(whole.data(), 1); !s) return s;
    }
    size_t count = bytes / inBytes;
    st.partial.assign(pcm + count * inBytes, pcm + bytes);
    return writeFrames(pcm, count);
}

MediaStatus MediaWriter::writeFrames(const uint8_t* pcm, size_t count) {
    State& st = *state_;
    if (count == 0) return MediaStatus::ok();
    const uint8_t* in = pcm;
    if (st.input.bitsPerSample == 24) {
        st.widened.resize(count * st.input.channels);
        for (size_t i = 0; i < st.widened.size(); ++i) {
            const uint8_t* p = pcm + i * 3;
            st.widened[i] = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                                                 static_cast<uint32_t>(p[2]) << 24);
        }
        in = reinterpret_cast<const uint8_t*>(st.widened.data());
    }
    // Converted in slices so that a huge block does not make a huge frame.
    constexpr size_t kSlice = 16384;
    for (size_t done = 0; done < count;) {
        int n = static_cast<int>(std::min(kSlice, count - done));
        int room = swr_get_out_samples(st.swr.get(), n);
        if (st.converted->nb_samples < room) {
            av_frame_unref(st.converted.get());
            st.converted->nb_samples = room;
            st.converted->format = st.codec->sample_fmt;
            av_channel_layout_copy(&st.converted->ch_layout, &st.codec->ch_layout);
            if (int err = av_frame_get_buffer(st.converted.get(), 0); err < 0) return fromAvError(err);
        }
        size_t stride = (st.input.bitsPerSample == 24 ? 4 : st.input.bitsPerSample / 8) * st.input.channels;
        const uint8_t* slice = in + done * stride;
        int got = swr_convert(st.swr.get(), st.converted->extended_data, room, &slice, n);
        if (got < 0) return fromAvError(got);
        if (got > 0 && av_audio_fifo_write(st.fifo.get(), reinterpret_cast<void**>(st.converted->extended_data), got) <
                           got) {
            return fromAvError(AVERROR(ENOMEM));
        }
        done += static_cast<size_t>(n);
        while (av_audio_fifo_size(st.fifo.get()) >= st.codec->frame_size) {
            int err = encodeFromFifo(st.codec.get(), st.output.get(), st.stream, st.fifo.get(), st.frame.get(),
                                     st.packet.get(), &st.nextPts);
            if (err < 0) return fromAvError(err);
        }
    }
    return MediaStatus::ok();
}

MediaStatus MediaWriter::end(ExistingKind existing) {
    if (!writing()) return {E_UNEXPECTED, "the writer has not begun"};
    State& st = *state_;
    MediaStatus result;
    // What the resampler holds back, then the last partial frame, then the encoder's own delay.
    int room = swr_get_out_samples(st.swr.get(), 0);
    if (room > 0) {
        if (st.converted->nb_samples < room) {
            av_frame_unref(st.converted.get());
            st.converted->nb_samples = room;
            st.converted->format = st.codec->sample_fmt;
            av_channel_layout_copy(&st.converted->ch_layout, &st.codec->ch_layout);
            (void)av_frame_get_buffer(st.converted.get(), 0);
        }
        int got = st.converted->nb_samples >= room ? swr_convert(st.swr.get(), st.converted->extended_data, room,
                                                                 nullptr, 0)
                                                   : 0;
        if (got > 0) av_audio_fifo_write(st.fifo.get(), reinterpret_cast<void**>(st.converted->extended_data), got);
    }
    int err = 0;
    while (err >= 0 && av_audio_fifo_size(st.fifo.get()) > 0) {
        err = encodeFromFifo(st.codec.get(), st.output.get(), st.stream, st.fifo.get(), st.frame.get(),
                             st.packet.get(), &st.nextPts);
    }
    if (err >= 0) err = encode(st.codec.get(), st.output.get(), st.stream, nullptr, st.packet.get());
    if (err >= 0) err = av_write_trailer(st.output.get());
    if (err >= 0) err = avio_closep(&st.output->pb);
    if (err < 0) result = fromAvError(err);
    st.output.reset();
    if (result) {
        if (FileStatus f = st.file.commit(existing); !f) result = MediaStatus(E_FAIL, f.message);
    } else {
        st.file.discard();
    }
    state_.reset();
    return result;
}

void MediaWriter::abandon() {
    if (!state_) return;
    if (state_->output) {
        state_->output.reset();
        state_->file.discard();
    }
    state_.reset();
}

}  // namespace tallory::platform::media
