// Function tables of the six codec libraries, in binding order. The first name a library lacks is
// the one reported, so new entries go at the end of their list to keep that report stable.
#pragma once

#include "ffmpeg.h"

#define QV_AVCODEC_FUNCTIONS(X)                                                                  \
  X(avcodec_version) X(avcodec_find_encoder_by_name) X(avcodec_find_decoder_by_name)            \
  X(avcodec_find_encoder) X(avcodec_find_decoder) X(avcodec_alloc_context3)                      \
  X(avcodec_free_context) X(avcodec_get_class) X(avcodec_open2) X(avcodec_close)                  \
  X(avcodec_parameters_from_context) X(avcodec_parameters_to_context) X(avcodec_parameters_copy) \
  X(avcodec_parameters_alloc) X(avcodec_parameters_free) X(avcodec_send_packet)                  \
  X(avcodec_receive_frame) X(avcodec_send_frame) X(avcodec_receive_packet)                       \
  X(avcodec_flush_buffers) X(avcodec_decode_subtitle2) X(avcodec_encode_subtitle)                \
  X(avsubtitle_free) X(av_packet_alloc) X(av_packet_free) X(av_packet_unref) X(av_packet_ref)    \
  X(av_packet_clone) X(av_packet_rescale_ts) X(av_packet_get_side_data) X(av_new_packet)         \
  X(av_shrink_packet) X(av_grow_packet) X(av_packet_make_writable) X(av_bsf_get_by_name)         \
  X(av_bsf_alloc) X(av_bsf_init) X(av_bsf_send_packet) X(av_bsf_receive_packet) X(av_bsf_free)   \
  X(av_bsf_iterate) X(avcodec_get_name) X(av_get_bits_per_sample)                                \
  X(av_get_exact_bits_per_sample) X(av_get_pcm_codec) X(avcodec_descriptor_get)                  \
  X(avcodec_descriptor_get_by_name) X(avcodec_string) X(av_codec_iterate) X(av_codec_is_encoder) \
  X(av_codec_is_decoder) X(av_get_audio_frame_duration) X(avcodec_get_type)                      \
  X(avcodec_find_best_pix_fmt_of_list) X(avcodec_fill_audio_frame)

#define QV_AVFILTER_FUNCTIONS(X)                                                                 \
  X(avfilter_version) X(avfilter_get_by_name) X(avfilter_graph_alloc) X(avfilter_graph_free)     \
  X(avfilter_graph_create_filter) X(avfilter_graph_parse_ptr) X(avfilter_graph_config)          \
  X(avfilter_inout_alloc) X(avfilter_inout_free) X(avfilter_link) X(avfilter_graph_alloc_filter) \
  X(avfilter_init_str) X(av_buffersrc_add_frame_flags) X(av_buffersrc_write_frame)               \
  X(av_buffersrc_close) X(av_buffersink_get_frame) X(av_buffersink_get_frame_flags)              \
  X(av_buffersink_get_w) X(av_buffersink_get_h) X(av_buffersink_get_format)                      \
  X(av_buffersink_get_time_base) X(av_buffersink_get_sample_aspect_ratio)

#define QV_AVFORMAT_FUNCTIONS(X)                                                                 \
  X(avformat_version) X(avformat_alloc_context) X(avformat_free_context) X(avformat_open_input)  \
  X(avformat_close_input) X(avformat_find_stream_info) X(av_find_input_format) X(av_guess_format)\
  X(avformat_alloc_output_context2) X(avformat_new_stream) X(av_guess_codec)                     \
  X(av_filename_number_test) X(avio_open) X(avio_open2) X(avio_closep) X(avio_close)             \
  X(avio_size) X(avio_flush) X(avformat_write_header) X(avformat_init_output)       \
  X(av_write_trailer) X(av_interleaved_write_frame) X(av_write_frame) X(av_read_frame)           \
  X(av_seek_frame) X(avformat_seek_file) X(av_dump_format) X(av_sdp_create) X(av_codec_get_id)   \
  X(av_codec_get_tag) X(av_codec_get_tag2) X(avformat_get_class) X(avformat_query_codec)         \
  X(av_new_program) X(av_pkt_dump_log2) X(av_find_best_stream) X(av_guess_frame_rate)            \
  X(av_guess_sample_aspect_ratio) X(avformat_match_stream_specifier) X(av_demuxer_iterate)       \
  X(av_muxer_iterate) X(av_find_program_from_stream) X(avio_find_protocol_name) \
  X(avio_seek) X(avio_write) X(avio_feof)

#define QV_AVUTIL_FUNCTIONS(X)                                                                   \
  X(avutil_version) X(av_log) X(av_vlog) X(av_log_set_callback) X(av_log_default_callback)       \
  X(av_log_get_level) X(av_log_set_level) X(av_log_format_line2) X(av_strlcpy) X(av_strstart)   \
  X(av_reduce) X(av_rescale_q) X(av_rescale_q_rnd) X(av_rescale) X(av_rescale_rnd)               \
  X(av_compare_ts) X(av_malloc) X(av_mallocz) X(av_realloc) X(av_free) X(av_freep) X(av_strdup) \
  X(av_gettime) X(av_gettime_relative) X(av_parse_time) X(av_parse_video_size)                   \
  X(av_parse_video_rate) X(av_parse_ratio) X(av_get_pix_fmt) X(av_get_pix_fmt_name)              \
  X(av_pix_fmt_desc_get) X(av_pix_fmt_desc_next) X(av_pix_fmt_desc_get_id) X(av_get_sample_fmt) \
  X(av_get_sample_fmt_name) X(av_get_bytes_per_sample) X(av_sample_fmt_is_planar)                \
  X(av_get_packed_sample_fmt) X(av_samples_get_buffer_size) X(av_samples_alloc)                  \
  X(av_samples_set_silence) X(av_samples_copy) X(av_frame_alloc) X(av_frame_free)                \
  X(av_frame_unref) X(av_frame_ref) X(av_frame_clone) X(av_frame_get_buffer)                     \
  X(av_frame_make_writable) X(av_frame_copy) X(av_frame_copy_props) X(av_image_alloc)            \
  X(av_image_fill_arrays) X(av_image_copy) X(av_image_get_buffer_size) X(av_image_fill_linesizes)\
  X(av_opt_find) X(av_opt_find2) X(av_opt_set) X(av_opt_get) X(av_opt_set_int) X(av_opt_get_int)\
  X(av_opt_set_q) X(av_opt_set_dict) X(av_opt_set_dict2) X(av_opt_next) X(av_opt_set_defaults)   \
  X(av_opt_child_class_iterate) X(av_opt_is_set_to_default_by_name) X(av_opt_set_bin)            \
  X(av_opt_set_pixel_fmt) X(av_opt_set_sample_fmt) X(av_opt_set_chlayout) X(av_opt_free)          \
  X(av_dict_set) X(av_dict_set_int) X(av_dict_get) X(av_dict_free) X(av_dict_copy)              \
  X(av_dict_count) X(av_dict_parse_string) X(av_fifo_alloc2) X(av_fifo_freep2) X(av_fifo_write) \
  X(av_fifo_read) X(av_fifo_peek) X(av_fifo_can_read) X(av_fifo_grow2) X(av_fifo_reset2)         \
  X(av_audio_fifo_alloc) X(av_audio_fifo_free) X(av_audio_fifo_write) X(av_audio_fifo_read)      \
  X(av_audio_fifo_size) X(av_audio_fifo_drain) X(av_strerror) X(av_channel_layout_default)       \
  X(av_channel_layout_uninit) X(av_channel_layout_copy) X(av_channel_layout_describe)            \
  X(av_channel_layout_compare) X(av_d2q) X(av_find_nearest_q_idx)            \
  X(av_get_picture_type_char) X(av_usleep) X(av_get_media_type_string) X(av_malloc_array)        \
  X(av_fast_malloc) X(av_small_strptime) X(av_timegm) X(av_get_pix_fmt_string)                   \
  X(av_get_sample_fmt_string) X(av_get_known_color_name) X(av_parse_color) X(av_mul_q)           \
  X(av_div_q) X(av_add_q) X(av_sub_q) X(av_gcd)             \
  X(av_frame_get_side_data) X(av_dict_get_string) X(av_default_item_name) X(av_log_get_flags)    \
  X(av_log_set_flags) X(av_stristr) X(av_strcasecmp)

#define QV_SWSCALE_FUNCTIONS(X)                                                                  \
  X(swscale_version) X(sws_getContext) X(sws_freeContext) X(sws_scale) X(sws_getCachedContext)   \
  X(sws_get_class) X(sws_alloc_context) X(sws_init_context) X(sws_scale_frame)                   \
  X(sws_isSupportedInput) X(sws_isSupportedOutput)

#define QV_SWRESAMPLE_FUNCTIONS(X)                                                               \
  X(swresample_version) X(swr_alloc) X(swr_alloc_set_opts2) X(swr_init) X(swr_free)              \
  X(swr_convert) X(swr_set_compensation) X(swr_get_delay) X(swr_get_out_samples)                 \
  X(swr_is_initialized) X(swr_convert_frame) X(swr_close) X(swr_get_class) X(swr_set_matrix)

#define QV_DECLARE_FUNCTION(name) decltype(&::name) name = nullptr;

namespace lib {

struct AVCodecFunctions { QV_AVCODEC_FUNCTIONS(QV_DECLARE_FUNCTION) };
struct AVFilterFunctions { QV_AVFILTER_FUNCTIONS(QV_DECLARE_FUNCTION) };
struct AVFormatFunctions { QV_AVFORMAT_FUNCTIONS(QV_DECLARE_FUNCTION) };
struct AVUtilFunctions { QV_AVUTIL_FUNCTIONS(QV_DECLARE_FUNCTION) };
struct SwScaleFunctions { QV_SWSCALE_FUNCTIONS(QV_DECLARE_FUNCTION) };
struct SwResampleFunctions { QV_SWRESAMPLE_FUNCTIONS(QV_DECLARE_FUNCTION) };

// Process-wide function variables: written only while binding on the main thread, read from any
// thread afterwards. They keep their values after unloading and must not be called then.
extern AVCodecFunctions avcodec;
extern AVFilterFunctions avfilter;
extern AVFormatFunctions avformat;
extern AVUtilFunctions avutil;
extern SwScaleFunctions swscale;
extern SwResampleFunctions swresample;

}  // namespace lib
