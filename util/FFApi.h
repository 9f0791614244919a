// The process-wide function tables of the media libraries.
//
// The FFmpeg libraries are never linked: medialib/FFLoad resolves every
// function below at run time and fills FF. An entry is null while its
// library is not loaded. Call the libraries only through FF, e.g.
//   FF.avformat_open_input(&ctx, url, nullptr, &opts);
// Header inlines that call exported functions (avio_tell,
// av_make_error_string, av_opt_set_int_list) must not be used directly; use
// the helpers of medialib instead.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/avfft.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/fifo.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

// clang-format off
#define SONDEL_AVUTIL_FUNCS(X) \
  X(avutil_version) X(av_log) X(av_vlog) X(av_log_default_callback) X(av_log_get_level) \
  X(av_log_set_callback) X(av_log_set_level) X(av_log_set_flags) X(av_log_format_line2) X(av_default_item_name) \
  X(av_malloc) X(av_mallocz) X(av_realloc) X(av_free) X(av_freep) X(av_strdup) X(av_fast_malloc) X(av_fast_realloc) \
  X(av_strlcpy) X(av_strstart) X(av_strerror) \
  X(av_compare_ts) X(av_find_nearest_q_idx) X(av_gcd) X(av_reduce) X(av_rescale) X(av_rescale_q) X(av_rescale_rnd) \
  X(av_rescale_q_rnd) X(av_rescale_delta) X(av_d2q) X(av_mul_q) X(av_div_q) X(av_add_q) X(av_sub_q) \
  X(av_get_pix_fmt) X(av_get_pix_fmt_name) X(av_get_pix_fmt_string) X(av_pix_fmt_desc_get) \
  X(av_pix_fmt_desc_next) X(av_pix_fmt_desc_get_id) \
  X(av_pix_fmt_get_chroma_sub_sample) X(av_get_bits_per_pixel) X(av_get_picture_type_char) \
  X(av_get_sample_fmt) X(av_get_sample_fmt_name) X(av_get_sample_fmt_string) X(av_get_bytes_per_sample) \
  X(av_sample_fmt_is_planar) X(av_get_packed_sample_fmt) X(av_get_planar_sample_fmt) X(av_get_alt_sample_fmt) \
  X(av_samples_get_buffer_size) X(av_samples_alloc) X(av_samples_alloc_array_and_samples) X(av_samples_copy) \
  X(av_samples_set_silence) X(av_samples_fill_arrays) \
  X(av_channel_layout_default) X(av_channel_layout_from_mask) X(av_channel_layout_from_string) \
  X(av_channel_layout_copy) X(av_channel_layout_uninit) X(av_channel_layout_compare) X(av_channel_layout_describe) \
  X(av_channel_layout_check) X(av_channel_layout_channel_from_index) X(av_channel_name) \
  X(av_image_copy) X(av_image_alloc) X(av_image_fill_arrays) X(av_image_get_buffer_size) X(av_image_fill_black) \
  X(av_image_copy_to_buffer) X(av_image_check_size) X(av_image_get_linesize) \
  X(av_parse_video_rate) X(av_parse_video_size) X(av_parse_time) X(av_parse_ratio) X(av_gettime) X(av_gettime_relative) \
  X(av_dict_get) X(av_dict_set) X(av_dict_set_int) X(av_dict_copy) X(av_dict_free) X(av_dict_count) \
  X(av_dict_parse_string) \
  X(av_opt_find) X(av_opt_find2) X(av_opt_set) X(av_opt_set_int) X(av_opt_set_double) X(av_opt_set_q) \
  X(av_opt_set_bin) X(av_opt_set_sample_fmt) X(av_opt_set_pixel_fmt) X(av_opt_set_chlayout) X(av_opt_set_dict) \
  X(av_opt_set_dict2) X(av_opt_get) X(av_opt_get_int) X(av_opt_get_double) X(av_opt_next) X(av_opt_set_defaults) \
  X(av_opt_child_class_iterate) X(av_opt_show2) X(av_int_list_length_for_size) \
  X(av_frame_alloc) X(av_frame_free) X(av_frame_unref) X(av_frame_ref) X(av_frame_move_ref) X(av_frame_clone) \
  X(av_frame_get_buffer) X(av_frame_make_writable) X(av_frame_copy_props) X(av_frame_copy) \
  X(av_audio_fifo_alloc) X(av_audio_fifo_free) X(av_audio_fifo_write) X(av_audio_fifo_read) \
  X(av_audio_fifo_size) X(av_audio_fifo_drain) X(av_audio_fifo_reset) X(av_audio_fifo_realloc) \
  X(av_fifo_alloc2) X(av_fifo_freep2) X(av_fifo_read) X(av_fifo_write) X(av_fifo_peek) X(av_fifo_can_read) \
  X(av_fifo_can_write) X(av_fifo_grow2) X(av_fifo_reset2) X(av_fifo_drain2) \
  X(av_get_media_type_string) X(av_get_time_base_q) X(av_cpu_count) X(av_get_cpu_flags)

#define SONDEL_SWRESAMPLE_FUNCS(X) \
  X(swresample_version) X(swr_alloc) X(swr_alloc_set_opts2) X(swr_init) X(swr_is_initialized) X(swr_convert) \
  X(swr_convert_frame) X(swr_config_frame) X(swr_free) X(swr_close) X(swr_get_out_samples) X(swr_get_delay) \
  X(swr_set_compensation) X(swr_next_pts) X(swr_get_class) X(swr_drop_output) X(swr_inject_silence)

#define SONDEL_SWSCALE_FUNCS(X) \
  X(swscale_version) X(sws_getContext) X(sws_getCachedContext) X(sws_freeContext) X(sws_scale) \
  X(sws_get_class) X(sws_isSupportedInput) X(sws_isSupportedOutput)

#define SONDEL_AVCODEC_FUNCS(X) \
  X(avcodec_version) X(av_codec_iterate) X(av_codec_is_encoder) X(av_codec_is_decoder) \
  X(avcodec_find_decoder) X(avcodec_find_decoder_by_name) X(avcodec_find_encoder) X(avcodec_find_encoder_by_name) \
  X(avcodec_alloc_context3) X(avcodec_free_context) X(avcodec_open2) X(avcodec_close) X(avcodec_get_class) \
  X(avcodec_parameters_alloc) X(avcodec_parameters_free) X(avcodec_parameters_copy) \
  X(avcodec_parameters_from_context) X(avcodec_parameters_to_context) \
  X(avcodec_send_packet) X(avcodec_receive_frame) X(avcodec_send_frame) X(avcodec_receive_packet) \
  X(avcodec_flush_buffers) X(avcodec_decode_subtitle2) X(avcodec_encode_subtitle) X(avsubtitle_free) \
  X(avcodec_string) X(avcodec_get_name) X(avcodec_get_type) X(avcodec_descriptor_get) \
  X(avcodec_descriptor_get_by_name) X(avcodec_align_dimensions2) X(avcodec_default_get_buffer2) \
  X(avcodec_get_hw_config) X(av_get_bits_per_sample) X(av_get_exact_bits_per_sample) X(av_get_audio_frame_duration) \
  X(av_get_profile_name) X(avcodec_profile_name) \
  X(av_packet_alloc) X(av_packet_free) X(av_packet_unref) X(av_packet_ref) X(av_packet_move_ref) X(av_packet_clone) \
  X(av_packet_make_refcounted) X(av_packet_make_writable) X(av_packet_rescale_ts) X(av_new_packet) \
  X(av_shrink_packet) X(av_grow_packet) X(av_packet_copy_props) X(av_packet_get_side_data) \
  X(av_bsf_get_by_name) X(av_bsf_alloc) X(av_bsf_init) X(av_bsf_send_packet) X(av_bsf_receive_packet) \
  X(av_bsf_free) X(av_bsf_flush) X(av_bsf_list_parse_str) X(av_bsf_get_null_filter) X(av_bsf_iterate) \
  X(av_parser_init) X(av_parser_parse2) X(av_parser_close) X(av_parser_iterate) \
  X(av_rdft_init) X(av_rdft_calc) X(av_rdft_end)

#define SONDEL_AVFORMAT_FUNCS(X) \
  X(avformat_version) X(avformat_alloc_context) X(avformat_free_context) X(avformat_alloc_output_context2) \
  X(avformat_open_input) X(avformat_close_input) X(avformat_find_stream_info) X(avformat_new_stream) \
  X(avformat_write_header) X(avformat_init_output) X(avformat_query_codec) X(avformat_get_class) \
  X(avformat_seek_file) X(avformat_match_stream_specifier) X(avformat_flush) \
  X(av_find_best_stream) X(av_find_input_format) X(av_guess_format) X(av_guess_codec) X(av_guess_frame_rate) \
  X(av_guess_sample_aspect_ratio) X(av_codec_get_id) X(av_codec_get_tag) X(av_codec_get_tag2) \
  X(av_filename_number_test) X(av_get_frame_filename) X(av_get_packet) X(av_append_packet) \
  X(av_read_frame) X(av_read_pause) X(av_read_play) X(av_seek_frame) \
  X(av_write_frame) X(av_interleaved_write_frame) X(av_write_trailer) X(av_dump_format) X(av_pkt_dump_log2) \
  X(av_sdp_create) X(av_demuxer_iterate) X(av_muxer_iterate) X(av_new_program) X(av_program_add_stream_index) \
  X(av_stream_get_parser) X(av_format_inject_global_side_data) X(av_stream_add_side_data) \
  X(av_stream_get_side_data) X(av_url_split) X(avformat_network_init) X(avformat_network_deinit) \
  X(avio_open) X(avio_open2) X(avio_close) X(avio_closep) X(avio_alloc_context) X(avio_context_free) \
  X(avio_read) X(avio_write) X(avio_seek) X(avio_skip) X(avio_size) X(avio_feof) X(avio_flush) X(avio_r8) \
  X(avio_w8) X(avio_printf) X(avio_enum_protocols) X(avio_find_protocol_name) X(avio_check) X(avio_open_dyn_buf) \
  X(avio_close_dyn_buf) X(avio_get_str) X(avio_rl32) X(avio_wl32) X(avio_handshake) X(avio_accept)

#define SONDEL_AVFILTER_FUNCS(X) \
  X(avfilter_version) X(avfilter_get_by_name) X(av_filter_iterate) X(avfilter_graph_alloc) \
  X(avfilter_graph_create_filter) X(avfilter_graph_alloc_filter) X(avfilter_init_str) X(avfilter_init_dict) \
  X(avfilter_graph_config) X(avfilter_graph_free) X(avfilter_graph_parse_ptr) X(avfilter_graph_parse2) \
  X(avfilter_graph_get_filter) X(avfilter_graph_send_command) X(avfilter_link) X(avfilter_free) \
  X(avfilter_inout_alloc) X(avfilter_inout_free) X(avfilter_pad_get_name) X(avfilter_pad_get_type) \
  X(avfilter_get_class) X(av_buffersrc_add_frame_flags) X(av_buffersrc_add_frame) X(av_buffersrc_write_frame) \
  X(av_buffersrc_get_nb_failed_requests) X(av_buffersrc_parameters_alloc) X(av_buffersrc_parameters_set) \
  X(av_buffersink_get_frame) X(av_buffersink_get_frame_flags) X(av_buffersink_get_samples) \
  X(av_buffersink_get_time_base) X(av_buffersink_get_w) X(av_buffersink_get_h) X(av_buffersink_get_format) \
  X(av_buffersink_get_frame_rate) X(av_buffersink_get_sample_aspect_ratio) X(av_buffersink_get_sample_rate) \
  X(av_buffersink_get_ch_layout) X(av_buffersink_set_frame_size)

#define SONDEL_AVDEVICE_FUNCS(X) \
  X(avdevice_version) X(avdevice_register_all) X(av_input_audio_device_next) X(av_input_video_device_next) \
  X(av_output_audio_device_next) X(av_output_video_device_next)
// clang-format on

#define SONDEL_FF_DECLARE(name) decltype(&::name) name = nullptr;

// One table per library; TFFFunctions holds them all flat so that call sites
// read FF.av_malloc(...) whatever library a function lives in.
struct TFFFunctions {
  SONDEL_AVUTIL_FUNCS(SONDEL_FF_DECLARE)
  SONDEL_SWRESAMPLE_FUNCS(SONDEL_FF_DECLARE)
  SONDEL_SWSCALE_FUNCS(SONDEL_FF_DECLARE)
  SONDEL_AVCODEC_FUNCS(SONDEL_FF_DECLARE)
  SONDEL_AVFORMAT_FUNCS(SONDEL_FF_DECLARE)
  SONDEL_AVFILTER_FUNCS(SONDEL_FF_DECLARE)
  SONDEL_AVDEVICE_FUNCS(SONDEL_FF_DECLARE)
};

extern TFFFunctions FF;
