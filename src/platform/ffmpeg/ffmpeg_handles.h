// Owning handles of FFmpeg objects: each kind freed by its own FFmpeg call, in
// one place for every user of FFmpeg (the codec manager, the media reader and
// writer), so that no two copies of a deleter drift apart.
#ifndef TALLORY_PLATFORM_FFMPEG_FFMPEG_HANDLES_H
#define TALLORY_PLATFORM_FFMPEG_FFMPEG_HANDLES_H

#include <memory>

#include "platform/ffmpeg/ffmpeg_api.h"

namespace tallory::platform::ffmpeg {

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ParserFree {
    void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct AudioFifoFree {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
// A demuxer opened with avformat_open_input.
struct InputFormatClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
// A muxer made with avformat_alloc_output_context2, with the file it opened.
struct OutputFormatFree {
    void operator()(AVFormatContext* f) const {
        if (f->pb != nullptr) avio_closep(&f->pb);
        avformat_free_context(f);
    }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoFree>;
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatClose>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFree>;

}  // namespace tallory::platform::ffmpeg

#endif
