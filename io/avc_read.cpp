#include "io/avc_read.h"

#include <algorithm>
#include <cstddef>

namespace {

// Damaged counts run for at most the legal number of iterations, so that a huge ue value cannot
// keep the parser spinning on reads that all return 0.
constexpr std::uint64_t kMaxRefFramesInPocCycle = 255;
constexpr std::uint64_t kMaxCpbCount = 32;

bool HasChromaFields(std::uint32_t profileIdc)
{
    switch (profileIdc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86:
        return true;
    default:
        return false;
    }
}

// The list's values are not kept; it is read only to stay in step with the stream.
void SkipScalingList(CBitReader& reader, int entries)
{
    std::int64_t lastScale = 8;
    std::int64_t nextScale = 8;
    for (int j = 0; j < entries; ++j) {
        if (nextScale != 0) {
            const std::int64_t delta = reader.GetSE();
            // Modulo that stays in 0..255 whatever sign or size a damaged delta has.
            nextScale = ((lastScale + delta % 256) + 512) % 256;
        }
        if (nextScale != 0)
            lastScale = nextScale;
    }
}

// Exp-Golomb values from a damaged stream can exceed anything the arithmetic below can hold.
std::int64_t Clamp32(std::uint64_t value)
{
    return static_cast<std::int64_t>(std::min<std::uint64_t>(value, 0xFFFFFFFFu));
}

}  // namespace

void CAvcRead::LoadNal(std::span<const std::uint8_t> nal)
{
    std::vector<std::uint8_t> unescaped;
    unescaped.reserve(nal.size());
    std::size_t i = 0;
    while (i < nal.size()) {
        if (i + 2 < nal.size() && nal[i] == 0 && nal[i + 1] == 0 && nal[i + 2] == 3) {
            unescaped.push_back(0);
            unescaped.push_back(0);
            i += 3;
        } else {
            unescaped.push_back(nal[i]);
            ++i;
        }
    }
    Load(unescaped);
}

void CAvcRead::ParseHrd(AvcHrdInfo* hrd)
{
    hrd->cpb_cnt_minus1 = GetUE();
    hrd->bit_rate_scale = GetBits(4);
    hrd->cpb_size_scale = GetBits(4);
    const std::uint64_t schedules = std::min(hrd->cpb_cnt_minus1, kMaxCpbCount - 1) + 1;
    for (std::uint64_t i = 0; i < schedules; ++i) {
        hrd->bit_rate_value_minus1 = GetUE();
        hrd->cpb_size_value_minus1 = GetUE();
        hrd->cbr_flag = GetBits(1);
    }
    hrd->initial_cpb_removal_delay_length_minus1 = GetBits(5);
    hrd->cpb_removal_delay_length_minus1 = GetBits(5);
    hrd->dpb_output_delay_length_minus1 = GetBits(5);
    hrd->time_offset_length = GetBits(5);
}

void CAvcRead::ParseVui(AvcVuiInfo* vui)
{
    vui->aspect_ratio_info_present_flag = GetBits(1);
    if (vui->aspect_ratio_info_present_flag) {
        vui->aspect_ratio_idc = GetBits(8);
        if (vui->aspect_ratio_idc == 255) {  // Extended_SAR: the ratio follows explicitly
            vui->sar_width = GetBits(16);
            vui->sar_height = GetBits(16);
        }
    }
    vui->overscan_info_present_flag = GetBits(1);
    if (vui->overscan_info_present_flag)
        vui->overscan_appropriate_flag = GetBits(1);
    vui->video_signal_type_present_flag = GetBits(1);
    if (vui->video_signal_type_present_flag) {
        vui->video_format = GetBits(3);
        vui->video_full_range_flag = GetBits(1);
        vui->colour_description_present_flag = GetBits(1);
        if (vui->colour_description_present_flag) {
            vui->colour_primaries = GetBits(8);
            vui->transfer_characteristics = GetBits(8);
            vui->matrix_coefficients = GetBits(8);
        }
    }
    vui->chroma_loc_info_present_flag = GetBits(1);
    if (vui->chroma_loc_info_present_flag) {
        vui->chroma_sample_loc_type_top_field = GetUE();
        vui->chroma_sample_loc_type_bottom_field = GetUE();
    }
    vui->timing_info_present_flag = GetBits(1);
    if (vui->timing_info_present_flag) {
        vui->num_units_in_tick = GetBits(32);
        vui->time_scale = GetBits(32);
        vui->fixed_frame_rate_flag = GetBits(1);
    }
    vui->nal_hrd_parameters_present_flag = GetBits(1);
    if (vui->nal_hrd_parameters_present_flag)
        ParseHrd(&vui->nal_hrd);
    vui->vcl_hrd_parameters_present_flag = GetBits(1);
    if (vui->vcl_hrd_parameters_present_flag)
        ParseHrd(&vui->vcl_hrd);
    if (vui->nal_hrd_parameters_present_flag || vui->vcl_hrd_parameters_present_flag)
        vui->low_delay_hrd_flag = GetBits(1);
    vui->pic_struct_present_flag = GetBits(1);
    vui->bitstream_restriction_flag = GetBits(1);
    if (vui->bitstream_restriction_flag) {
        vui->motion_vectors_over_pic_boundaries_flag = GetBits(1);
        vui->max_bytes_per_pic_denom = GetUE();
        vui->max_bits_per_mb_denom = GetUE();
        vui->log2_max_mv_length_horizontal = GetUE();
        vui->log2_max_mv_length_vertical = GetUE();
        vui->num_reorder_frames = GetUE();
        vui->max_dec_frame_buffering = GetUE();
    }
}

void CAvcRead::ParseSPS(AvcSpsInfo* sps)
{
    sps->profile_idc = GetBits(8);
    sps->constraint_set0_flag = GetBits(1);
    sps->constraint_set1_flag = GetBits(1);
    sps->constraint_set2_flag = GetBits(1);
    sps->constraint_set3_flag = GetBits(1);
    sps->reserved_zero_4bits = GetBits(4);
    sps->level_idc = GetBits(8);
    sps->seq_parameter_set_id = GetUE();

    if (HasChromaFields(sps->profile_idc)) {
        sps->chroma_format_idc = GetUE();
        if (sps->chroma_format_idc == 3)
            sps->separate_colour_plane_flag = GetBits(1);
        sps->bit_depth_luma_minus8 = GetUE();
        sps->bit_depth_chroma_minus8 = GetUE();
        sps->qpprime_y_zero_transform_bypass_flag = GetBits(1);
        sps->seq_scaling_matrix_present_flag = GetBits(1);
        if (sps->seq_scaling_matrix_present_flag) {
            // 4:4:4 adds the chroma 8x8 lists to the six 4x4 and two luma 8x8 ones.
            const int lists = sps->chroma_format_idc == 3 ? 12 : 8;
            for (int i = 0; i < lists; ++i) {
                sps->seq_scaling_list_present_flag = GetBits(1);
                if (sps->seq_scaling_list_present_flag)
                    SkipScalingList(*this, i < 6 ? 16 : 64);
            }
        }
    }

    sps->log2_max_frame_num_minus4 = GetUE();
    sps->pic_order_cnt_type = GetUE();
    if (sps->pic_order_cnt_type == 0) {
        sps->log2_max_pic_order_cnt_lsb_minus4 = GetUE();
    } else if (sps->pic_order_cnt_type == 1) {
        sps->delta_pic_order_always_zero_flag = GetBits(1);
        sps->offset_for_non_ref_pic = GetSE();
        sps->offset_for_top_to_bottom_field = GetSE();
        sps->num_ref_frames_in_pic_order_cnt_cycle = GetUE();
        const std::uint64_t cycle = std::min(sps->num_ref_frames_in_pic_order_cnt_cycle, kMaxRefFramesInPocCycle);
        for (std::uint64_t i = 0; i < cycle; ++i)
            sps->offset_for_ref_frame[i] = GetSE();
    }

    sps->num_ref_frames = GetUE();
    sps->gaps_in_frame_num_value_allowed_flag = GetBits(1);
    sps->pic_width_in_mbs_minus1 = GetUE();
    sps->pic_height_in_map_units_minus1 = GetUE();
    sps->frame_mbs_only_flag = GetBits(1);
    if (!sps->frame_mbs_only_flag)
        sps->mb_adaptive_frame_field_flag = GetBits(1);
    sps->direct_8x8_inference_flag = GetBits(1);
    sps->frame_cropping_flag = GetBits(1);
    if (sps->frame_cropping_flag) {
        sps->frame_crop_left_offset = GetUE();
        sps->frame_crop_right_offset = GetUE();
        sps->frame_crop_top_offset = GetUE();
        sps->frame_crop_bottom_offset = GetUE();
    }

    sps->vui_parameters_present_flag = GetBits(1);
    if (sps->vui_parameters_present_flag)
        ParseVui(&sps->vui);

    sps->rbsp_stop_one_bit = GetBits(1);
    AlignByte();
}

AvcPictureFormat AvcPictureFormatFromSps(const AvcSpsInfo& sps)
{
    AvcPictureFormat format{};
    // Crop offsets count chroma samples of 4:2:0: two luma columns, and two luma rows per frame
    // or four when each map unit is a field pair.
    const std::int64_t fieldPairs = sps.frame_mbs_only_flag ? 1 : 2;
    format.width = 16 * (Clamp32(sps.pic_width_in_mbs_minus1) + 1);
    format.height = 16 * fieldPairs * (Clamp32(sps.pic_height_in_map_units_minus1) + 1);
    if (sps.frame_cropping_flag) {
        format.width -= 2 * (Clamp32(sps.frame_crop_left_offset) + Clamp32(sps.frame_crop_right_offset));
        format.height -= 2 * fieldPairs * (Clamp32(sps.frame_crop_top_offset) + Clamp32(sps.frame_crop_bottom_offset));
    }
    // time_scale counts half frames (fields), hence the 2; a zero time_scale means no timing.
    if (sps.vui_parameters_present_flag && sps.vui.timing_info_present_flag && sps.vui.time_scale != 0) {
        const double duration = 2e7 * sps.vui.num_units_in_tick / static_cast<double>(static_cast<float>(sps.vui.time_scale));
        format.averageFrameDuration = static_cast<std::int64_t>(static_cast<float>(duration));
    }
    format.profile = sps.profile_idc;
    format.level = sps.level_idc;
    return format;
}

std::vector<std::uint8_t> AvcParameterSetBlock(std::span<const std::uint8_t> sps,
                                               std::span<const std::uint8_t> pps)
{
    if (sps.size() > 0xFFFF || pps.size() > 0xFFFF)
        return {};
    std::vector<std::uint8_t> block;
    block.reserve(sps.size() + pps.size() + 4);
    for (std::span<const std::uint8_t> nal : {sps, pps}) {
        block.push_back(static_cast<std::uint8_t>(nal.size() >> 8));
        block.push_back(static_cast<std::uint8_t>(nal.size()));
        block.insert(block.end(), nal.begin(), nal.end());
    }
    return block;
}
