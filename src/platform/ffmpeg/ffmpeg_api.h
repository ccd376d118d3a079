// FFmpeg, loaded when first needed. Its libraries pull in well over a hundred
// others, which would cost every program ~0.1 s at start even when it only
// copies PCM; so the library reaches FFmpeg through this table of functions,
// filled by dlopen on first use. Include this header instead of the FFmpeg
// headers: after it, each FFmpeg function name used here calls through the table.
#ifndef TALLORY_PLATFORM_FFMPEG_API_H
#define TALLORY_PLATFORM_FFMPEG_API_H

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <string>

namespace tallory::platform::ffmpeg {

#define TALLORY_FFMPEG_FUNCTIONS(X) \
    X(av_audio_fifo_alloc) \
    X(av_audio_fifo_free) \
    X(av_audio_fifo_read) \
    X(av_audio_fifo_size) \
    X(av_audio_fifo_write) \
    X(av_channel_layout_compare) \
    X(av_channel_layout_copy) \
    X(av_channel_layout_default) \
    X(av_channel_layout_uninit) \
    X(av_dict_free) \
    X(av_dict_set) \
    X(av_frame_alloc) \
    X(av_frame_free) \
    X(av_frame_get_buffer) \
    X(av_frame_unref) \
    X(av_interleaved_write_frame) \
    X(av_log_format_line2) \
    X(av_log_get_level) \
    X(av_log_set_callback) \
    X(av_log_set_level) \
    X(av_mallocz) \
    X(av_new_packet) \
    X(av_opt_set_int) \
    X(av_packet_alloc) \
    X(av_packet_free) \
    X(av_packet_rescale_ts) \
    X(av_packet_unref) \
    X(av_parser_close) \
    X(av_parser_init) \
    X(av_parser_parse2) \
    X(av_read_frame) \
    X(av_rescale_q) \
    X(av_samples_set_silence) \
    X(av_seek_frame) \
    X(av_strerror) \
    X(av_write_trailer) \
    X(avcodec_alloc_context3) \
    X(avcodec_find_decoder) \
    X(avcodec_find_decoder_by_name) \
    X(avcodec_find_encoder_by_name) \
    X(avcodec_flush_buffers) \
    X(avcodec_free_context) \
    X(avcodec_open2) \
    X(avcodec_parameters_from_context) \
    X(avcodec_parameters_to_context) \
    X(avcodec_receive_frame) \
    X(avcodec_receive_packet) \
    X(avcodec_send_frame) \
    X(avcodec_send_packet) \
    X(avformat_alloc_output_context2) \
    X(avformat_close_input) \
    X(avformat_find_stream_info) \
    X(avformat_free_context) \
    X(avformat_new_stream) \
    X(avformat_open_input) \
    X(avformat_seek_file) \
    X(avformat_write_header) \
    X(avio_closep) \
    X(avio_feof) \
    X(avio_open) \
    X(avio_seek) \
    X(swr_alloc_set_opts2) \
    X(swr_convert) \
    X(swr_free) \
    X(swr_get_delay) \
    X(swr_get_out_samples) \
    X(swr_init)

struct Api {
#define TALLORY_FFMPEG_POINTER(name) decltype(&::name) name = nullptr;
    TALLORY_FFMPEG_FUNCTIONS(TALLORY_FFMPEG_POINTER)
#undef TALLORY_FFMPEG_POINTER
};

// The table; loads the libraries on the first call (thread-safe). Its entries are
// null when loading failed: check available() before the first FFmpeg call.
const Api& api();
// True when every library and function was found.
bool available();
// Why loading failed; empty when it did not.
const std::string& loadError();
// The level of our log that a line of FFmpeg's level AV_LOG_* is shown at; -2 for
// lines that are never shown. FFmpeg's errors are our warnings (the conversion
// reports its own failure), its warnings our information, its notes our debug lines.
int logLevelOf(int ffmpegLevel);

}  // namespace tallory::platform::ffmpeg

#ifndef TALLORY_FFMPEG_NO_REDIRECT
#define av_audio_fifo_alloc (::tallory::platform::ffmpeg::api().av_audio_fifo_alloc)
#define av_audio_fifo_free (::tallory::platform::ffmpeg::api().av_audio_fifo_free)
#define av_audio_fifo_read (::tallory::platform::ffmpeg::api().av_audio_fifo_read)
#define av_audio_fifo_size (::tallory::platform::ffmpeg::api().av_audio_fifo_size)
#define av_audio_fifo_write (::tallory::platform::ffmpeg::api().av_audio_fifo_write)
#define av_channel_layout_compare (::tallory::platform::ffmpeg::api().av_channel_layout_compare)
#define av_channel_layout_copy (::tallory::platform::ffmpeg::api().av_channel_layout_copy)
#define av_channel_layout_default (::tallory::platform::ffmpeg::api().av_channel_layout_default)
#define av_channel_layout_uninit (::tallory::platform::ffmpeg::api().av_channel_layout_uninit)
#define av_dict_free (::tallory::platform::ffmpeg::api().av_dict_free)
#define av_dict_set (::tallory::platform::ffmpeg::api().av_dict_set)
#define av_frame_alloc (::tallory::platform::ffmpeg::api().av_frame_alloc)
#define av_frame_free (::tallory::platform::ffmpeg::api().av_frame_free)
#define av_frame_get_buffer (::tallory::platform::ffmpeg::api().av_frame_get_buffer)
#define av_frame_unref (::tallory::platform::ffmpeg::api().av_frame_unref)
#define av_interleaved_write_frame (::tallory::platform::ffmpeg::api().av_interleaved_write_frame)
#define av_log_format_line2 (::tallory::platform::ffmpeg::api().av_log_format_line2)
#define av_log_get_level (::tallory::platform::ffmpeg::api().av_log_get_level)
#define av_log_set_callback (::tallory::platform::ffmpeg::api().av_log_set_callback)
#define av_log_set_level (::tallory::platform::ffmpeg::api().av_log_set_level)
#define av_mallocz (::tallory::platform::ffmpeg::api().av_mallocz)
#define av_new_packet (::tallory::platform::ffmpeg::api().av_new_packet)
#define av_opt_set_int (::tallory::platform::ffmpeg::api().av_opt_set_int)
#define av_packet_alloc (::tallory::platform::ffmpeg::api().av_packet_alloc)
#define av_packet_free (::tallory::platform::ffmpeg::api().av_packet_free)
#define av_packet_rescale_ts (::tallory::platform::ffmpeg::api().av_packet_rescale_ts)
#define av_packet_unref (::tallory::platform::ffmpeg::api().av_packet_unref)
#define av_parser_close (::tallory::platform::ffmpeg::api().av_parser_close)
#define av_parser_init (::tallory::platform::ffmpeg::api().av_parser_init)
#define av_parser_parse2 (::tallory::platform::ffmpeg::api().av_parser_parse2)
#define av_read_frame (::tallory::platform::ffmpeg::api().av_read_frame)
#define av_rescale_q (::tallory::platform::ffmpeg::api().av_rescale_q)
#define av_samples_set_silence (::tallory::platform::ffmpeg::api().av_samples_set_silence)
#define av_seek_frame (::tallory::platform::ffmpeg::api().av_seek_frame)
#define av_strerror (::tallory::platform::ffmpeg::api().av_strerror)
#define av_write_trailer (::tallory::platform::ffmpeg::api().av_write_trailer)
#define avcodec_alloc_context3 (::tallory::platform::ffmpeg::api().avcodec_alloc_context3)
#define avcodec_find_decoder (::tallory::platform::ffmpeg::api().avcodec_find_decoder)
#define avcodec_find_decoder_by_name (::tallory::platform::ffmpeg::api().avcodec_find_decoder_by_name)
#define avcodec_find_encoder_by_name (::tallory::platform::ffmpeg::api().avcodec_find_encoder_by_name)
#define avcodec_flush_buffers (::tallory::platform::ffmpeg::api().avcodec_flush_buffers)
#define avcodec_free_context (::tallory::platform::ffmpeg::api().avcodec_free_context)
#define avcodec_open2 (::tallory::platform::ffmpeg::api().avcodec_open2)
#define avcodec_parameters_from_context (::tallory::platform::ffmpeg::api().avcodec_parameters_from_context)
#define avcodec_parameters_to_context (::tallory::platform::ffmpeg::api().avcodec_parameters_to_context)
#define avcodec_receive_frame (::tallory::platform::ffmpeg::api().avcodec_receive_frame)
#define avcodec_receive_packet (::tallory::platform::ffmpeg::api().avcodec_receive_packet)
#define avcodec_send_frame (::tallory::platform::ffmpeg::api().avcodec_send_frame)
#define avcodec_send_packet (::tallory::platform::ffmpeg::api().avcodec_send_packet)
#define avformat_alloc_output_context2 (::tallory::platform::ffmpeg::api().avformat_alloc_output_context2)
#define avformat_close_input (::tallory::platform::ffmpeg::api().avformat_close_input)
#define avformat_find_stream_info (::tallory::platform::ffmpeg::api().avformat_find_stream_info)
#define avformat_free_context (::tallory::platform::ffmpeg::api().avformat_free_context)
#define avformat_new_stream (::tallory::platform::ffmpeg::api().avformat_new_stream)
#define avformat_open_input (::tallory::platform::ffmpeg::api().avformat_open_input)
#define avformat_seek_file (::tallory::platform::ffmpeg::api().avformat_seek_file)
#define avformat_write_header (::tallory::platform::ffmpeg::api().avformat_write_header)
#define avio_closep (::tallory::platform::ffmpeg::api().avio_closep)
#define avio_feof (::tallory::platform::ffmpeg::api().avio_feof)
#define avio_open (::tallory::platform::ffmpeg::api().avio_open)
#define avio_seek (::tallory::platform::ffmpeg::api().avio_seek)
#define swr_alloc_set_opts2 (::tallory::platform::ffmpeg::api().swr_alloc_set_opts2)
#define swr_convert (::tallory::platform::ffmpeg::api().swr_convert)
#define swr_free (::tallory::platform::ffmpeg::api().swr_free)
#define swr_get_delay (::tallory::platform::ffmpeg::api().swr_get_delay)
#define swr_get_out_samples (::tallory::platform::ffmpeg::api().swr_get_out_samples)
#define swr_init (::tallory::platform::ffmpeg::api().swr_init)
#endif

#endif
