// Video, sequence and picture parameter sets (one of each, identifier 0). The
// records are filled once when an encoder opens and written before every IDR
// and CRA picture. `compat` (91, 100 or 120) selects the syntax layout: 100 and
// 120 write the final H.265 syntax, 91 the earlier layout of the VPS,
// profile_tier_level and PPS.
#pragma once
#include <cstdint>
#include "bitstream/bit_writer.h"

struct vps_params {
    int32_t vps_id;
    int32_t temporal_id_nesting_flag;
    int32_t max_sub_layers;
    // the one sub-layer entry
    int32_t profile_space;
    int32_t tier_flag;
    int32_t profile_idc;
    int32_t level_idc;      // -1: beyond every level, written as 255
    int32_t interlaced;     // 0 progressive, 1 top field first, 2 bottom field first
    int32_t max_dec_pic_buffering_minus1;
    int32_t max_num_reorder_pics;
    int32_t max_latency_increase_plus1;
};

struct sps_params {
    int32_t sps_id;
    const vps_params *vps;
    int32_t coded_width;    // multiples of 8
    int32_t coded_height;
    int32_t pad_right;      // samples added by the rounding, 0..7
    int32_t pad_bottom;
    int32_t log2_max_poc_lsb;
    int32_t log2_min_cb_size;
    int32_t log2_ctb_size;
    int32_t log2_min_tb_size;
    int32_t log2_max_tb_size;
    int32_t max_tu_depth_inter;
    int32_t max_tu_depth_intra;
    int32_t scaling_list_enabled;
    int32_t amp_enabled;
    int32_t sao_enabled;
    int32_t strong_intra_smoothing;
    int32_t temporal_mvp_enabled;
    int32_t p_refs;         // kept for the picture driver, not written
    // VUI inputs (taken from the configuration at open)
    int32_t aspect_ratio_idc;   // 0 = none, 255 = explicit sample aspect ratio
    int32_t sar_width;
    int32_t sar_height;
    int32_t fps_num;
    int32_t fps_den;
};

struct pps_params {
    int32_t pps_id;
    int32_t sps_id;
    int32_t sign_data_hiding;
    int32_t cabac_init_present;
    int32_t num_ref_idx_l0_default;
    int32_t num_ref_idx_l1_default;
    int32_t init_qp;
    int32_t constrained_intra_pred;
    int32_t transform_skip;
    int32_t cu_qp_delta_enabled;
    int32_t diff_cu_qp_delta_depth;  // -1 when cu_qp_delta_enabled is 0
    int32_t weighted_pred;
    int32_t weighted_bipred;
    int32_t entropy_coding_sync;
};

// The standard's MaxLumaPs per level and the matching general_level_idc; the
// fourteenth level entry (-1) stands for pictures larger than every level.
extern const int32_t level_max_luma_ps[13];
extern const int32_t level_idc_table[14];

// general_level_idc (or -1) for a coded luma picture size: the first level
// whose MaxLumaPs is at least the size.
int32_t level_for_luma_size(int64_t luma_samples);

// Each writer appends one complete RBSP (no NAL header) at the writer's
// position: VPS, SPS and PPS realign the writer first; all end with the RBSP
// trailing bits, leaving the cursor just behind the last byte.
void write_vps(bit_writer *bw, const vps_params *vps, int compat);
void write_sps(bit_writer *bw, const sps_params *sps, int compat);
void write_pps(bit_writer *bw, const pps_params *pps, int compat);
// The VUI inside the SPS.
void write_vui(bit_writer *bw, const sps_params *sps);
void write_profile_tier_level(bit_writer *bw, const vps_params *vps, int compat);
