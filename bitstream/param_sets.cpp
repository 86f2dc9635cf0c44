#include "bitstream/param_sets.h"

const int32_t level_max_luma_ps[13] = {
    36864, 122880, 245760, 552960, 983040, 2228224, 2228224,
    8912896, 8912896, 8912896, 35651584, 35651584, 35651584,
};

const int32_t level_idc_table[14] = {
    30, 60, 63, 90, 93, 120, 123, 150, 153, 156, 180, 183, 186, -1,
};

int32_t level_for_luma_size(int64_t luma_samples)
{
    // The first match wins, so the .1 and .2 levels that share a MaxLumaPs
    // with their main level are never chosen.
    int i = 0;
    while (i < 13 && level_max_luma_ps[i] < luma_samples)
        i++;
    return level_idc_table[i];
}

static void put_flag(bit_writer *bw, int32_t flag)
{
    bitwriter_put_bits(bw, 1, flag ? 1u : 0u);
}

void write_profile_tier_level(bit_writer *bw, const vps_params *vps, int compat)
{
    bitwriter_put_bits(bw, 2, (uint32_t)vps->profile_space);
    put_flag(bw, vps->tier_flag);
    bitwriter_put_bits(bw, 5, (uint32_t)vps->profile_idc);
    // general_profile_compatibility_flag[0..31]: only the flag of our profile
    bitwriter_put_bits(bw, 32, 0x80000000u >> (vps->profile_idc & 31));
    if (compat >= 100) {
        int progressive = vps->interlaced == 0;
        put_flag(bw, progressive);   // general_progressive_source_flag
        put_flag(bw, !progressive);  // general_interlaced_source_flag
        put_flag(bw, 1);             // general_non_packed_constraint_flag
        put_flag(bw, progressive);   // general_frame_only_constraint_flag
        bitwriter_put_bits(bw, 16, 0);
        bitwriter_put_bits(bw, 16, 0);
        bitwriter_put_bits(bw, 12, 0);
    } else {
        bitwriter_put_bits(bw, 16, 0);
    }
    uint32_t level = vps->level_idc < 0 ? 255u : (uint32_t)vps->level_idc;
    bitwriter_put_bits(bw, 8, level);
}

static void write_ordering_info(bit_writer *bw, const vps_params *vps)
{
    bitwriter_put_ue(bw, (uint32_t)vps->max_dec_pic_buffering_minus1);
    bitwriter_put_ue(bw, (uint32_t)vps->max_num_reorder_pics);
    bitwriter_put_ue(bw, (uint32_t)vps->max_latency_increase_plus1);
}

void write_vps(bit_writer *bw, const vps_params *vps, int compat)
{
    bitwriter_realign(bw);
    if (compat >= 100) {
        bitwriter_put_bits(bw, 4, (uint32_t)vps->vps_id);
        bitwriter_put_bits(bw, 2, 3);   // vps_reserved_three_2bits
        bitwriter_put_bits(bw, 6, 0);   // vps_max_layers_minus1
        bitwriter_put_bits(bw, 3, (uint32_t)(vps->max_sub_layers - 1));
        put_flag(bw, vps->temporal_id_nesting_flag);
        bitwriter_put_bits(bw, 16, 0xFFFF);
        write_profile_tier_level(bw, vps, compat);
        put_flag(bw, 0);                // vps_sub_layer_ordering_info_present_flag
        write_ordering_info(bw, vps);
        bitwriter_put_bits(bw, 6, 0);   // vps_max_layer_id
        bitwriter_put_ue(bw, 0);        // vps_num_layer_sets_minus1
        put_flag(bw, 0);                // vps_timing_info_present_flag
        put_flag(bw, 0);                // vps_extension_flag
    } else {
        bitwriter_put_bits(bw, 4, (uint32_t)vps->vps_id);
        put_flag(bw, vps->temporal_id_nesting_flag);
        bitwriter_put_bits(bw, 2, 3);
        bitwriter_put_bits(bw, 6, 0);
        bitwriter_put_bits(bw, 3, (uint32_t)(vps->max_sub_layers - 1));
        bitwriter_put_bits(bw, 16, 0xFFFF);
        write_profile_tier_level(bw, vps, compat);
        bitwriter_put_bits(bw, 2, 0);   // the one sub-layer's two flags
        put_flag(bw, 0);                // sub-layer ordering info present
        write_ordering_info(bw, vps);
        bitwriter_put_ue(bw, 0);
        bitwriter_put_bits(bw, 6, 0);
        put_flag(bw, 0);
    }
    bitwriter_rbsp_trailing(bw);
}

static int vui_present(const sps_params *sps)
{
    return sps->vps->interlaced != 0 || sps->aspect_ratio_idc != 0 ||
           (sps->fps_den >= 1 && sps->fps_num > 0);
}

void write_vui(bit_writer *bw, const sps_params *sps)
{
    put_flag(bw, sps->aspect_ratio_idc != 0);
    if (sps->aspect_ratio_idc != 0) {
        bitwriter_put_bits(bw, 8, (uint32_t)sps->aspect_ratio_idc & 0xFF);
        // A decoder reads the sample aspect ratio whenever the indicator is
        // 255 (EXTENDED_SAR), so it is written whenever that value is sent.
        if (sps->aspect_ratio_idc == 255) {
            bitwriter_put_bits(bw, 16, (uint32_t)sps->sar_width & 0xFFFF);
            bitwriter_put_bits(bw, 16, (uint32_t)sps->sar_height & 0xFFFF);
        }
    }
    // overscan, video signal type, chroma location, neutral chroma: absent
    bitwriter_put_bits(bw, 4, 0);
    int fields = sps->vps->interlaced != 0;
    put_flag(bw, fields);   // field_seq_flag
    put_flag(bw, fields);   // frame_field_info_present_flag
    put_flag(bw, 0);        // default_display_window_flag
    int timing = sps->fps_num >= 1 && sps->fps_den >= 1;
    put_flag(bw, timing);
    if (timing) {
        bitwriter_put_bits(bw, 32, (uint32_t)sps->fps_den);   // vui_num_units_in_tick
        bitwriter_put_bits(bw, 32, (uint32_t)sps->fps_num);   // vui_time_scale
        put_flag(bw, 0);    // vui_poc_proportional_to_timing_flag
        put_flag(bw, 0);    // vui_hrd_parameters_present_flag
    }
    put_flag(bw, 0);        // bitstream_restriction_flag
}

static void write_conformance_window(bit_writer *bw, const sps_params *sps)
{
    int crop = sps->pad_right != 0 || sps->pad_bottom != 0;
    put_flag(bw, crop);
    if (!crop)
        return;
    // offsets in chroma samples (4:2:0)
    bitwriter_put_ue(bw, 0);
    bitwriter_put_ue(bw, (uint32_t)(sps->pad_right / 2));
    bitwriter_put_ue(bw, 0);
    bitwriter_put_ue(bw, (uint32_t)(sps->pad_bottom / 2));
}

void write_sps(bit_writer *bw, const sps_params *sps, int compat)
{
    const vps_params *vps = sps->vps;
    bitwriter_realign(bw);
    bitwriter_put_bits(bw, 4, (uint32_t)vps->vps_id);
    bitwriter_put_bits(bw, 3, (uint32_t)(vps->max_sub_layers - 1));
    put_flag(bw, vps->temporal_id_nesting_flag);
    write_profile_tier_level(bw, vps, compat);
    bitwriter_put_ue(bw, (uint32_t)sps->sps_id);
    bitwriter_put_ue(bw, 1);    // chroma_format_idc 4:2:0
    bitwriter_put_ue(bw, (uint32_t)sps->coded_width);
    bitwriter_put_ue(bw, (uint32_t)sps->coded_height);
    write_conformance_window(bw, sps);
    bitwriter_put_ue(bw, 0);    // bit_depth_luma_minus8
    bitwriter_put_ue(bw, 0);    // bit_depth_chroma_minus8
    bitwriter_put_ue(bw, (uint32_t)(sps->log2_max_poc_lsb - 4));
    put_flag(bw, 0);            // sps_sub_layer_ordering_info_present_flag
    write_ordering_info(bw, vps);
    bitwriter_put_ue(bw, (uint32_t)(sps->log2_min_cb_size - 3));
    bitwriter_put_ue(bw, (uint32_t)(sps->log2_ctb_size - sps->log2_min_cb_size));
    bitwriter_put_ue(bw, (uint32_t)(sps->log2_min_tb_size - 2));
    bitwriter_put_ue(bw, (uint32_t)(sps->log2_max_tb_size - sps->log2_min_tb_size));
    bitwriter_put_ue(bw, (uint32_t)sps->max_tu_depth_inter);
    bitwriter_put_ue(bw, (uint32_t)sps->max_tu_depth_intra);
    put_flag(bw, sps->scaling_list_enabled);
    put_flag(bw, sps->amp_enabled);
    put_flag(bw, sps->sao_enabled);
    put_flag(bw, 0);            // pcm_enabled_flag
    bitwriter_put_ue(bw, 0);    // num_short_term_ref_pic_sets: every slice sends its own
    put_flag(bw, 0);            // long_term_ref_pics_present_flag
    put_flag(bw, sps->temporal_mvp_enabled);
    put_flag(bw, sps->strong_intra_smoothing);
    int vui = vui_present(sps);
    put_flag(bw, vui);
    if (vui)
        write_vui(bw, sps);
    put_flag(bw, 0);            // sps_extension_flag
    bitwriter_rbsp_trailing(bw);
}

void write_pps(bit_writer *bw, const pps_params *pps, int compat)
{
    bitwriter_realign(bw);
    bitwriter_put_ue(bw, (uint32_t)pps->pps_id);
    bitwriter_put_ue(bw, (uint32_t)pps->sps_id);
    put_flag(bw, 0);            // dependent_slice_segments_enabled_flag
    if (compat >= 100) {
        put_flag(bw, 0);        // output_flag_present_flag
        bitwriter_put_bits(bw, 3, 0);   // num_extra_slice_header_bits
    }
    put_flag(bw, pps->sign_data_hiding);
    put_flag(bw, pps->cabac_init_present);
    bitwriter_put_ue(bw, (uint32_t)(pps->num_ref_idx_l0_default - 1));
    bitwriter_put_ue(bw, (uint32_t)(pps->num_ref_idx_l1_default - 1));
    bitwriter_put_se(bw, pps->init_qp - 26);
    put_flag(bw, pps->constrained_intra_pred);
    put_flag(bw, pps->transform_skip);
    put_flag(bw, pps->cu_qp_delta_enabled);
    if (pps->cu_qp_delta_enabled)
        bitwriter_put_ue(bw, (uint32_t)pps->diff_cu_qp_delta_depth);
    bitwriter_put_se(bw, 0);    // pps_cb_qp_offset
    bitwriter_put_se(bw, 0);    // pps_cr_qp_offset
    put_flag(bw, 0);            // pps_slice_chroma_qp_offsets_present_flag
    put_flag(bw, pps->weighted_pred);
    put_flag(bw, pps->weighted_bipred);
    if (compat < 100)
        put_flag(bw, 0);
    put_flag(bw, 0);            // transquant_bypass_enabled_flag
    put_flag(bw, 0);            // tiles_enabled_flag
    put_flag(bw, pps->entropy_coding_sync);
    // loop filter across slices, deblocking control, scaling list data,
    // list modification: all absent
    bitwriter_put_bits(bw, 4, 0);
    bitwriter_put_ue(bw, 0);    // log2_parallel_merge_level_minus2
    if (compat < 100)
        bitwriter_put_bits(bw, 3, 0);
    put_flag(bw, 0);            // slice_segment_header_extension_present_flag
    put_flag(bw, 0);            // pps_extension_flag
    bitwriter_rbsp_trailing(bw);
}
