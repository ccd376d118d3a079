#include "platform/media/media_reader.h"

#include <vector>

#include "platform/ffmpeg/ffmpeg_handles.h"

namespace tallory::platform::media {

namespace {

constexpr AVRational kHns = {1, 10000000};

using ffmpeg::CodecContextPtr;
using ffmpeg::FramePtr;
using ffmpeg::InputFormatPtr;
using ffmpeg::PacketPtr;
using ffmpeg::SwrPtr;

}  // namespace

struct MediaReader::State {
    InputFormatPtr format;
    CodecContextPtr codec;
    SwrPtr swr;
    int stream = -1;
    // What the resampler was set up for; a stream may change its layout midway.
    int swrFormat = -1, swrRate = 0;
    AVChannelLayout swrLayout{};
    AVChannelLayout outLayout{};
    std::vector<uint8_t> out;
    bool ran = false;  // a second run rewinds first

    ~State() {
        av_channel_layout_uninit(&swrLayout);
        av_channel_layout_uninit(&outLayout);
    }
};

MediaReader::MediaReader() = default;
MediaReader::~MediaReader() { close(); }

void MediaReader::close() {
    state_.reset();
    info_ = MediaAudioInfo{};
    stopped_ = false;
}

MediaStatus MediaReader::open(const std::string& path) {
    close();
    if (!ffmpeg::available()) return {E_FAIL, ffmpeg::loadError()};
    auto st = std::make_unique<State>();
    // A path is a local file: "http://..." or "a:b.mp3" must not reach a network or another protocol.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    int err = avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, &options);
    av_dict_free(&options);
    if (err < 0) return fromAvError(err);
    st->format.reset(raw);
    // Some files keep a stream's details from this probe and still decode, as
    // FFmpeg's own tools find; only a file without streams is given up here.
    err = avformat_find_stream_info(raw, nullptr);
    if (err < 0 && raw->nb_streams == 0) return fromAvError(err);
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            st->stream = static_cast<int>(i);
            break;
        }
    }
    if (st->stream < 0) return {kNoAudio, "the file has no audio stream"};
    AVStream* stream = raw->streams[st->stream];
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        if (static_cast<int>(i) != st->stream) raw->streams[i]->discard = AVDISCARD_ALL;
    }
    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (decoder == nullptr) return fromAvError(AVERROR_DECODER_NOT_FOUND);
    st->codec.reset(avcodec_alloc_context3(decoder));
    if (!st->codec) return fromAvError(AVERROR(ENOMEM));
    err = avcodec_parameters_to_context(st->codec.get(), stream->codecpar);
    if (err < 0) return fromAvError(err);
    // The decoder trims encoder delay and padding by timestamps in this base.
    st->codec->pkt_timebase = stream->time_base;
    err = avcodec_open2(st->codec.get(), decoder, nullptr);
    if (err < 0) return fromAvError(err);
    if (st->codec->sample_rate <= 0 || st->codec->ch_layout.nb_channels <= 0) {
        return {kInvalidInputFormat, "the audio stream has no sample rate or channel count"};
    }

    info_.sampleRate = st->codec->sample_rate;
    info_.fileChannels = st->codec->ch_layout.nb_channels;
    info_.channels = info_.fileChannels == 1 ? 1 : 2;
    info_.formatTag = stream->codecpar->codec_tag;
    info_.codecName = decoder->name;
    info_.bitRate = stream->codecpar->bit_rate;
    if (raw->duration != AV_NOPTS_VALUE && raw->duration > 0) {
        info_.durationHns = av_rescale_q(raw->duration, AV_TIME_BASE_Q, kHns);
    } else if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        info_.durationHns = av_rescale_q(stream->duration, stream->time_base, kHns);
    }
    av_channel_layout_default(&st->outLayout, info_.channels);
    state_ = std::move(st);
    return MediaStatus::ok();
}

MediaStatus MediaReader::run(int64_t startHns, const Deliver& deliver) {
    stopped_ = false;
    if (!state_) return {E_UNEXPECTED, "the reader is not open"};
    State& st = *state_;
    AVFormatContext* fmt = st.format.get();
    AVStream* stream = fmt->streams[st.stream];
    AVCodecContext* codec = st.codec.get();
    int rate = info_.sampleRate;
    int64_t origin = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    // First sample to deliver, counted from the stream's start.
    int64_t firstSample = startHns > 0 ? av_rescale_q(startHns, kHns, AVRational{1, rate}) : 0;
    int64_t nextSample = 0;  // position of the next decoded sample when frames carry no time

    if (firstSample > 0 || st.ran) {
        int64_t target = origin + av_rescale_q(startHns > 0 ? startHns : 0, kHns, stream->time_base);
        int err = av_seek_frame(fmt, st.stream, target, AVSEEK_FLAG_BACKWARD);
        // A file that cannot seek there is read from its start; the samples
        // before the start time are dropped by their time below.
        if (err < 0) err = avformat_seek_file(fmt, st.stream, INT64_MIN, origin, origin, 0);
        if (err < 0) err = avio_seek(fmt->pb, 0, SEEK_SET) < 0 ? -1 : 0;
        if (err < 0) return fromAvError(AVERROR(ESPIPE));
        avcodec_flush_buffers(codec);
        nextSample = -1;  // unknown until a frame tells
    }

    st.ran = true;
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) return fromAvError(AVERROR(ENOMEM));

    // Converts and hands on one decoded frame; false when delivery stopped or failed.
    MediaStatus failure;
    auto emit = [&](AVFrame* f) -> bool {
        int64_t pts = f->best_effort_timestamp;
        int64_t at = pts != AV_NOPTS_VALUE ? av_rescale_q(pts - origin, stream->time_base, AVRational{1, rate})
                                           : (nextSample < 0 ? 0 : nextSample);
        nextSample = at + f->nb_samples;
        int skip = 0;
        if (at < firstSample) {
            if (at + f->nb_samples <= firstSample) return true;
            skip = static_cast<int>(firstSample - at);
        }
        if (!st.swr || f->format != st.swrFormat || f->sample_rate != st.swrRate ||
            av_channel_layout_compare(&f->ch_layout, &st.swrLayout) != 0) {
            SwrContext* s = nullptr;
            AVChannelLayout in{};
            if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
                av_channel_layout_default(&in, f->ch_layout.nb_channels);
            } else {
                av_channel_layout_copy(&in, &f->ch_layout);
            }
            int err = swr_alloc_set_opts2(&s, &st.outLayout, AV_SAMPLE_FMT_S16, rate, &in,
                                          static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&in);
            if (err >= 0) err = swr_init(s);
            st.swr.reset(s);
            if (err < 0) {
                failure = fromAvError(err);
                return false;
            }
            st.swrFormat = f->format;
            st.swrRate = f->sample_rate;
            av_channel_layout_uninit(&st.swrLayout);
            av_channel_layout_copy(&st.swrLayout, &f->ch_layout);
        }
        int room = swr_get_out_samples(st.swr.get(), f->nb_samples);
        if (room <= 0) return true;
        size_t frameBytes = static_cast<size_t>(info_.channels) * 2;
        st.out.resize(static_cast<size_t>(room) * frameBytes);
        uint8_t* outPlanes[1] = {st.out.data()};
        int got = swr_convert(st.swr.get(), outPlanes, room, const_cast<const uint8_t**>(f->extended_data),
                              f->nb_samples);
        if (got < 0) {
            failure = fromAvError(got);
            return false;
        }
        if (skip >= got) return true;
        if (!deliver(st.out.data() + static_cast<size_t>(skip) * frameBytes,
                     static_cast<size_t>(got - skip) * frameBytes)) {
            stopped_ = true;
            return false;
        }
        return true;
    };

    // Takes every frame the decoder has ready; false when delivery ended.
    auto drain = [&]() -> bool {
        for (;;) {
            int err = avcodec_receive_frame(codec, frame.get());
            if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return true;
            if (err < 0) continue;  // a damaged frame is skipped, as players do
            bool go = emit(frame.get());
            av_frame_unref(frame.get());
            if (!go) return false;
        }
    };

    for (;;) {
        int err = av_read_frame(fmt, packet.get());
        if (err == AVERROR_EOF) break;
        if (err < 0) {
            if (fmt->pb != nullptr && avio_feof(fmt->pb)) break;
            return fromAvError(err);
        }
        if (packet->stream_index != st.stream) {
            av_packet_unref(packet.get());
            continue;
        }
        err = avcodec_send_packet(codec, packet.get());
        av_packet_unref(packet.get());
        if (err == AVERROR(EAGAIN)) {
            // Cannot happen with drain() after each packet; kept safe all the same.
            if (!drain()) return failure;
            continue;
        }
        // A packet the decoder refuses is damaged; the stream goes on.
        if (!drain()) return failure;
    }
    avcodec_send_packet(codec, nullptr);
    if (!drain()) return failure;
    // Whatever the resampler still holds (only when the rate changed midway).
    if (st.swr && swr_get_delay(st.swr.get(), rate) > 0) {
        int room = swr_get_out_samples(st.swr.get(), 0);
        if (room > 0) {
            size_t frameBytes = static_cast<size_t>(info_.channels) * 2;
            st.out.resize(static_cast<size_t>(room) * frameBytes);
            uint8_t* outPlanes[1] = {st.out.data()};
            int got = swr_convert(st.swr.get(), outPlanes, room, nullptr, 0);
            if (got > 0 && !deliver(st.out.data(), static_cast<size_t>(got) * frameBytes)) stopped_ = true;
        }
    }
    return MediaStatus::ok();
}

}  // namespace tallory::platform::media
