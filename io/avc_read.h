// H.264 sequence parameter sets: loading a NAL unit without its emulation-prevention bytes, the
// SPS record, and what the demuxers derive from it (picture size, frame duration, and the
// parameter-set block behind an MPEG2VIDEOINFO).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "io/bit_reader.h"

// Fields carry the H.264 syntax element names. Fixed-width fields are 32-bit, ue(v) fields
// unsigned 64-bit and se(v) fields signed 64-bit. Only one schedule of each HRD is kept: each
// new one overwrites the last.
struct AvcHrdInfo {
    std::uint64_t cpb_cnt_minus1;
    std::uint32_t bit_rate_scale;
    std::uint32_t cpb_size_scale;
    std::uint64_t bit_rate_value_minus1;
    std::uint64_t cpb_size_value_minus1;
    std::uint32_t cbr_flag;
    std::uint32_t initial_cpb_removal_delay_length_minus1;
    std::uint32_t cpb_removal_delay_length_minus1;
    std::uint32_t dpb_output_delay_length_minus1;
    std::uint32_t time_offset_length;
};

struct AvcVuiInfo {
    std::uint32_t aspect_ratio_info_present_flag;
    std::uint32_t aspect_ratio_idc;
    std::uint32_t sar_width;
    std::uint32_t sar_height;
    std::uint32_t overscan_info_present_flag;
    std::uint32_t overscan_appropriate_flag;
    std::uint32_t video_signal_type_present_flag;
    std::uint32_t video_format;
    std::uint32_t video_full_range_flag;
    std::uint32_t colour_description_present_flag;
    std::uint32_t colour_primaries;
    std::uint32_t transfer_characteristics;
    std::uint32_t matrix_coefficients;
    std::uint32_t chroma_loc_info_present_flag;
    std::uint64_t chroma_sample_loc_type_top_field;
    std::uint64_t chroma_sample_loc_type_bottom_field;
    std::uint32_t timing_info_present_flag;
    std::uint32_t num_units_in_tick;
    std::uint32_t time_scale;
    std::uint32_t fixed_frame_rate_flag;
    std::uint32_t nal_hrd_parameters_present_flag;
    AvcHrdInfo nal_hrd;
    std::uint32_t vcl_hrd_parameters_present_flag;
    AvcHrdInfo vcl_hrd;
    std::uint32_t low_delay_hrd_flag;
    std::uint32_t pic_struct_present_flag;
    std::uint32_t bitstream_restriction_flag;
    std::uint32_t motion_vectors_over_pic_boundaries_flag;
    std::uint64_t max_bytes_per_pic_denom;
    std::uint64_t max_bits_per_mb_denom;
    std::uint64_t log2_max_mv_length_horizontal;
    std::uint64_t log2_max_mv_length_vertical;
    std::uint64_t num_reorder_frames;
    std::uint64_t max_dec_frame_buffering;
};

// A plain record; value-initialise it (AvcSpsInfo sps{}) before parsing, since fields whose
// presence flag is clear are not written.
struct AvcSpsInfo {
    std::uint32_t profile_idc;
    std::uint32_t constraint_set0_flag;
    std::uint32_t constraint_set1_flag;
    std::uint32_t constraint_set2_flag;
    std::uint32_t constraint_set3_flag;
    std::uint32_t reserved_zero_4bits;
    std::uint32_t level_idc;
    std::uint64_t seq_parameter_set_id;
    std::uint64_t chroma_format_idc;
    std::uint32_t separate_colour_plane_flag;
    std::uint64_t bit_depth_luma_minus8;
    std::uint64_t bit_depth_chroma_minus8;
    std::uint32_t qpprime_y_zero_transform_bypass_flag;
    std::uint32_t seq_scaling_matrix_present_flag;
    std::uint32_t seq_scaling_list_present_flag;
    std::uint64_t log2_max_frame_num_minus4;
    std::uint64_t pic_order_cnt_type;
    std::uint64_t log2_max_pic_order_cnt_lsb_minus4;
    std::uint32_t delta_pic_order_always_zero_flag;
    std::int64_t offset_for_non_ref_pic;
    std::int64_t offset_for_top_to_bottom_field;
    std::uint64_t num_ref_frames_in_pic_order_cnt_cycle;
    std::int64_t offset_for_ref_frame[256];
    std::uint64_t num_ref_frames;
    std::uint32_t gaps_in_frame_num_value_allowed_flag;
    std::uint64_t pic_width_in_mbs_minus1;
    std::uint64_t pic_height_in_map_units_minus1;
    std::uint32_t frame_mbs_only_flag;
    std::uint32_t mb_adaptive_frame_field_flag;
    std::uint32_t direct_8x8_inference_flag;
    std::uint32_t frame_cropping_flag;
    std::uint64_t frame_crop_left_offset;
    std::uint64_t frame_crop_right_offset;
    std::uint64_t frame_crop_top_offset;
    std::uint64_t frame_crop_bottom_offset;
    std::uint32_t vui_parameters_present_flag;
    AvcVuiInfo vui;
    std::uint32_t rbsp_stop_one_bit;
};

class CAvcRead : public CBitReader {
public:
    CAvcRead() = default;
    explicit CAvcRead(std::span<const std::uint8_t> nal) { LoadNal(nal); }

    // Loads a NAL unit without its emulation-prevention bytes (the 03 of every 00 00 03).
    void LoadNal(std::span<const std::uint8_t> nal);

    // Reads an SPS from the current position, which is the first byte after the NAL header
    // (load the NAL from its header byte, then SkipBits(8)). Fields past the end of a truncated
    // SPS read as 0.
    void ParseSPS(AvcSpsInfo* sps);

private:
    void ParseHrd(AvcHrdInfo* hrd);
    void ParseVui(AvcVuiInfo* vui);
};

// No level of H.264 or HEVC allows a picture side of more samples; a damaged SPS gives billions.
constexpr std::uint32_t kLargestPictureSide = 16888;

// What the MPEG program-stream, transport-stream and FLV demuxers take from an SPS.
struct AvcPictureFormat {
    std::int64_t width;
    std::int64_t height;
    // 100-ns units; 0 when the SPS carries no timing.
    std::int64_t averageFrameDuration;
    std::uint32_t profile;
    std::uint32_t level;
};

AvcPictureFormat AvcPictureFormatFromSps(const AvcSpsInfo& sps);

// The sequence header behind an MPEG2VIDEOINFO of subtype AVC1: the SPS and then the PPS NAL
// unit (no start codes), each behind a 16-bit big-endian length; its size is cbSequenceHeader.
// Empty when either NAL unit is too long for its length field.
std::vector<std::uint8_t> AvcParameterSetBlock(std::span<const std::uint8_t> sps,
                                               std::span<const std::uint8_t> pps);
