#include "bitstream/param_sets_fill.h"
#include <cstring>

#include "encoder/config.h"
#include "encoder/int_math.h"

static int32_t round_up8(int32_t v)
{
    return (v + 7) & ~7;
}

void vps_record_init(vps_params *vps, const param_set_inputs *in)
{
    memset(vps, 0, sizeof(*vps));
    vps->vps_id = 0;
    vps->temporal_id_nesting_flag = 1;
    vps->max_sub_layers = 1;
    vps->profile_space = 0;
    vps->tier_flag = 0;
    vps->profile_idc = 1;   // Main
    int64_t luma = (int64_t)round_up8(in->width) * round_up8(in->height);
    vps->level_idc = level_for_luma_size(luma);
    vps->interlaced = in->interlace;
    vps->max_dec_pic_buffering_minus1 = in->hierarchy + in->prefs + 1;
    vps->max_num_reorder_pics = in->hierarchy + 1;
    vps->max_latency_increase_plus1 = in->bframes + 1;
}

static int32_t tu_depth_inter(int complexity)
{
    if (complexity == COMPLEXITY_MAX)
        return 2;
    return complexity_is_thorough(complexity) ? 1 : 0;
}

// Display distance, counted from the anchor before a run of nb B pictures,
// of the last reference picture that the run's mini-GOP codes: the last
// reference B of the pyramid (the right quarter, or the middle), else the
// run's own anchor.
static int32_t last_reference_distance(int32_t nb, int32_t hierarchy)
{
    int32_t m = (nb + 1) / 2 - 1;
    if (hierarchy == 2 && nb >= 4) return m + (nb - m) / 2 + 1;
    if (hierarchy != 0 && nb >= 2) return m + 1;
    return nb + 1;
}

// A decoder recovers a POC from its LSBs against the previous reference
// picture in coding order, so half the LSB range must exceed every distance
// between the two: forward from the last reference of one mini-GOP to the
// anchor of a full next one, or back from the anchor to its run's first B.
// The shortest length that covers every mini-GOP the options allow, at least 5.
static int32_t poc_lsb_bits(int32_t bframes, int32_t hierarchy)
{
    int32_t span = bframes;
    for (int32_t nb = 0; nb <= bframes; nb++) {
        int32_t forward = nb + 1 - last_reference_distance(nb, hierarchy) + bframes + 1;
        span = span > forward ? span : forward;
    }
    int32_t bits = 5;
    while (bits < 16 && (1 << (bits - 1)) <= span) bits++;
    return bits;
}

void sps_record_init(sps_params *sps, int layer, const param_set_inputs *in, const vps_params *vps)
{
    memset(sps, 0, sizeof(*sps));
    sps->sps_id = layer;
    sps->vps = vps;
    sps->coded_width = round_up8(in->width);
    sps->coded_height = round_up8(in->height);
    sps->pad_right = sps->coded_width - in->width;
    sps->pad_bottom = sps->coded_height - in->height;
    sps->log2_max_poc_lsb = poc_lsb_bits(in->bframes, in->hierarchy);
    sps->log2_min_cb_size = 3;
    sps->log2_ctb_size = 6;
    sps->log2_min_tb_size = 2;
    sps->log2_max_tb_size = 5;
    sps->max_tu_depth_inter = tu_depth_inter(in->complexity);
    sps->max_tu_depth_intra = complexity_is_thorough(in->complexity) ? 3 : 0;
    sps->scaling_list_enabled = 0;
    sps->amp_enabled = 0;
    sps->sao_enabled = in->sao != 0;
    sps->strong_intra_smoothing = in->strong_intra_smoothing != 0;
    sps->temporal_mvp_enabled = in->tmvp != 0;
    sps->p_refs = in->prefs;
    sps->aspect_ratio_idc = in->aspect_ratio_idc;
    sps->sar_width = in->sar_num;
    sps->sar_height = in->sar_den;
    sps->fps_num = in->fps_num;
    sps->fps_den = in->fps_den;
}

void pps_record_init(pps_params *pps, int layer, const param_set_inputs *in, const sps_params *sps)
{
    (void)sps;
    memset(pps, 0, sizeof(*pps));
    pps->pps_id = layer;
    pps->sps_id = layer;
    pps->sign_data_hiding = in->sign_data_hiding != 0;
    pps->cabac_init_present = 0;
    // The PPS codes this count minus 1, and the standard allows 1..15: a
    // configuration with no reference B pictures still needs a valid default.
    pps->num_ref_idx_l0_default = clamp_i32(in->brefs, 1, 15);
    pps->num_ref_idx_l1_default = 1;
    pps->init_qp = (in->rc_mode == RC_MODE_CQP || in->rc_mode == RC_MODE_LQP) ? clamp_i32(in->qp, 0, QP_MAX) : 26;
    pps->constrained_intra_pred = 0;
    pps->transform_skip = 0;
    pps->cu_qp_delta_enabled = in->rc_mode == RC_MODE_CBR || in->mbtree != 0 || in->vbv_bufsize != 0;
    pps->diff_cu_qp_delta_depth = pps->cu_qp_delta_enabled ? 0 : -1;
    pps->weighted_pred = 0;
    pps->weighted_bipred = 0;
    pps->entropy_coding_sync = in->wpp != 0;
}
