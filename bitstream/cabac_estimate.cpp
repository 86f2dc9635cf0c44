// CABAC bit estimation of the CTU syntax. Every function follows its writer
// counterpart bin for bin (same contexts, same conditions, same side effects
// on the CU flags and the availability map) so that a context state left by
// an estimate is the state the writer would leave; bypass runs and
// Exp-Golomb strings are added in closed form.
#include "bitstream/cabac_estimate.h"

#include "analysis/mode_decision.h"
#include "bitstream/qp_predict.h"
#include "bitstream/syntax_shared.h"

const uint8_t mvd_eg1_length_table[256] = {
    1,  1,  3,  3,  5,  5,  5,  5,  7,  7,  7,  7,  7,  7,  7,  7,
    9,  9,  9,  9,  9,  9,  9,  9,  9,  9,  9,  9,  9,  9,  9,  9,
    11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11,
    11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
};

// ---- Coding unit ----

static void est_cu_head(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                        int32_t y, int32_t log2_size, int *skipped)
{
    const int node = cu_node_index(log2_size, z);
    const int unit = zorder_to_map8[z >> 2];
    ctu_cu_maps *maps = inst->maps;
    const int size = 1 << log2_size;
    const int skip = syntax_cu_sent_skipped(inst, node, unit, log2_size);
    if (inst->slice_type != 2) {
        int ctx = (maps->cu_flags_map[unit - 1] & cu_flag_skip) +
                  (maps->cu_flags_map[unit - CTU_MAP8_STRIDE] & cu_flag_skip);
        rate_est_bin(rec, ctx_cu_skip_flag + ctx, skip);
    }
    *skipped = skip;
    if (skip) {
        syntax_set_residual_flag(inst, unit, log2_size, 0);
        rate_est_merge_idx(rec, inst->motion->merge_idx_map[unit], inst->max_num_merge_cand);
        syntax_mark_available(inst, x, y, size, size);
        return;
    }
    if (inst->slice_type != 2 || log2_size == inst->sps->log2_min_cb_size)
        rate_est_pred_part_mode(inst, rec, log2_size, node, unit);
    rate_est_prediction_units(inst, rec, z, x, y, log2_size);
}

void rate_est_coding_unit(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                          int32_t y, int32_t log2_size)
{
    int skipped;
    est_cu_head(inst, rec, z, x, y, log2_size, &skipped);
    if (!skipped)
        rate_est_transform_tree(inst, rec, z, x, y, log2_size, log2_size);
}

void rate_est_coding_unit_no_tree(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z,
                                  int32_t x, int32_t y, int32_t log2_size)
{
    int skipped;
    est_cu_head(inst, rec, z, x, y, log2_size, &skipped);
}

void rate_est_pred_part_mode(syntax_ctu_context *inst, cabac_encoder *rec, int32_t log2_size,
                             int32_t node, int32_t unit8)
{
    const int intra = inst->maps->pred_mode_map[unit8] == 1;
    const uint32_t part = inst->decision->part_mode[node];
    if (inst->slice_type != 2)
        rate_est_bin(rec, ctx_pred_mode_flag, intra);
    if (intra) {
        if (log2_size == inst->sps->log2_min_cb_size)
            rate_est_bin(rec, ctx_part_mode, part == part_2Nx2N);
        return;
    }
    for (uint32_t i = 0; i < part && i < 3; i++)
        rate_est_bin(rec, ctx_part_mode + (int)i, 0);
    if (part < 2)
        rate_est_bin(rec, ctx_part_mode + (int)part, 1);
}

void rate_est_merge_idx(cabac_encoder *rec, int32_t idx, int32_t max_num_merge_cand)
{
    if (max_num_merge_cand <= 1)
        return;
    rate_est_bin(rec, ctx_merge_idx, idx > 0);
    if (idx > 0)
        rate_est_bypass(rec, idx - 1 + (idx < max_num_merge_cand - 1 ? 1 : 0));
}

void rate_est_ref_idx(cabac_encoder *rec, int32_t ref_idx, int32_t num_ref_active)
{
    if (num_ref_active <= 1)
        return;
    rate_est_bin(rec, ctx_ref_idx, ref_idx > 0);
    if (ref_idx == 0 || num_ref_active == 2)
        return;
    rate_est_bin(rec, ctx_ref_idx + 1, ref_idx > 1);
    if (ref_idx >= 2)
        rate_est_bypass(rec, ref_idx == num_ref_active - 1 ? ref_idx - 2 : ref_idx - 1);
}

// Bits of abs_mvd_minus2 (order-1 Exp-Golomb of a - 2) for |v| = a > 1.
static int mvd_suffix_bins(int a)
{
    if (a >= 256)
        return mvd_eg1_length_table[a >> 8] + 16 - 1;
    return mvd_eg1_length_table[a] - 1;
}

void rate_est_mvd(cabac_encoder *rec, const int16_t mvd[2])
{
    const int a[2] = {mvd[0] < 0 ? -mvd[0] : mvd[0], mvd[1] < 0 ? -mvd[1] : mvd[1]};
    rate_est_bin(rec, ctx_abs_mvd_greater0_flag, a[0] > 0);
    rate_est_bin(rec, ctx_abs_mvd_greater0_flag, a[1] > 0);
    for (int c = 0; c < 2; c++)
        if (a[c] > 0)
            rate_est_bin(rec, ctx_abs_mvd_greater1_flag, a[c] > 1);
    for (int c = 0; c < 2; c++) {
        if (a[c] > 0)
            rate_est_bypass(rec, 1);
        if (a[c] > 1)
            rate_est_bypass(rec, mvd_suffix_bins(a[c]));
    }
}

static void est_list_motion(syntax_ctu_context *inst, cabac_encoder *rec, int z, int x, int y,
                            int width, int height, int depth, int list, int unit)
{
    uint32_t predictors[2] = {0, 0};
    int count = 1;
    if (inst->inter.amvp_build_list)
        count = inst->inter.amvp_build_list(inst->inter.owner, z, x, y, width, height, depth, list,
                                            predictors);
    int16_t mvd[2];
    int flag = syntax_choose_mv_predictor(inst->motion->mv[list][unit], predictors, count, mvd);
    rate_est_ref_idx(rec, inst->motion->ref_idx[list][unit], inst->num_ref_idx_active[list]);
    rate_est_mvd(rec, mvd);
    rate_est_bin(rec, ctx_mvp_flag, flag);
}

void rate_est_prediction_unit(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                              int32_t y, int32_t width, int32_t height, int32_t depth)
{
    const int unit = zorder_to_map8[z >> 2];
    if (inst->motion->merge_flag_map[unit]) {
        rate_est_bin(rec, ctx_merge_flag, 1);
        rate_est_merge_idx(rec, inst->motion->merge_idx_map[unit], inst->max_num_merge_cand);
    } else {
        const int r0 = inst->motion->ref_idx[0][unit];
        const int r1 = inst->motion->ref_idx[1][unit];
        const int b_slice = inst->slice_type == 0;
        const int small = width + height == 12;
        const int bi = b_slice && !small && r0 >= 0 && r1 >= 0;
        rate_est_bin(rec, ctx_merge_flag, 0);
        if (b_slice && !small)
            rate_est_bin(rec, ctx_inter_pred_idc + depth, bi);
        if (bi) {
            est_list_motion(inst, rec, z, x, y, width, height, depth, 0, unit);
            est_list_motion(inst, rec, z, x, y, width, height, depth, 1, unit);
        } else {
            int list = (r0 >= 0 || !b_slice) ? 0 : 1;
            if (b_slice)
                rate_est_bin(rec, ctx_inter_pred_idc + 4, list);
            est_list_motion(inst, rec, z, x, y, width, height, depth, list, unit);
        }
    }
    syntax_mark_available(inst, x, y, width, height);
}

void rate_est_prediction_units(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                               int32_t y, int32_t log2_size)
{
    const int node = cu_node_index(log2_size, z);
    const int unit = zorder_to_map8[z >> 2];
    const ctu_cu_maps *maps = inst->maps;
    if (maps->cu_flags_map[unit] & cu_flag_skip)
        return;
    const uint32_t part = inst->decision->part_mode[node];
    const int s = 1 << log2_size;
    if (maps->pred_mode_map[unit] == 1) {
        rate_est_intra_luma_modes(inst, rec, z, log2_size, part);
        int idx = inst->intra_modes[zorder_to_map4[256 + (z >> 2)]];
        rate_est_bin(rec, ctx_intra_chroma_pred_mode, idx != 4);
        if (idx != 4)
            rate_est_bypass(rec, 2);
        syntax_mark_available(inst, x, y, s, s);
        return;
    }
    syntax_pu pu[4];
    const int count = syntax_pu_layout(part, z, x, y, log2_size, pu);
    for (int i = 0; i < count; i++)
        rate_est_prediction_unit(inst, rec, pu[i].z, pu[i].x, pu[i].y, pu[i].width, pu[i].height,
                                 6 - log2_size);
}

// mpm_idx or rem_intra_luma_pred_mode of one PU: 1, 2 or 5 bypass bins.
static int intra_mode_suffix_bins(const syntax_ctu_context *inst, int32_t z, int *in_mpm)
{
    int mpm[3];
    intra_mpm_list(inst, z, mpm);
    const int mode = inst->intra_modes[zorder_to_map4[z]];
    *in_mpm = 1;
    if (mode == mpm[0])
        return 1;
    if (mode == mpm[1] || mode == mpm[2])
        return 2;
    *in_mpm = 0;
    return 5;
}

void rate_est_intra_luma_modes(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z,
                               int32_t log2_size, uint32_t part_mode)
{
    (void)log2_size;
    const int pus = part_mode == part_NxN ? 4 : 1;
    for (int k = 0; k < pus; k++) {
        int in_mpm;
        int bins = intra_mode_suffix_bins(inst, z + k, &in_mpm);
        rate_est_bin(rec, ctx_prev_intra_luma_pred_flag, in_mpm);
        rate_est_bypass(rec, bins);
    }
}

void rate_est_intra_luma_mode(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z,
                              int32_t log2_size)
{
    (void)log2_size;
    int in_mpm;
    int bins = intra_mode_suffix_bins(inst, z, &in_mpm);
    rate_est_bin(rec, ctx_prev_intra_luma_pred_flag, in_mpm);
    rate_est_bypass(rec, bins);
}

// ---- Transform tree ----

static void est_tu(syntax_ctu_context *inst, cabac_encoder *rec, const syntax_tt_cu *cu, int z, int log2,
                   int trafo_depth, int chroma_bits)
{
    const uint8_t cbf = inst->decision->cbf_flags[cu_node_index(log2, z)];
    const int8_t *modes = inst->intra_modes;
    const int luma_mode = modes[zorder_to_map4[z]];
    const int cbf_luma = cbf & cbf_luma_bit;

    if (cu->intra || trafo_depth > 0 || chroma_bits)
        rate_est_bin(rec, ctx_cbf_luma + (trafo_depth == 0 ? 1 : 0), cbf_luma);
    if (cbf_luma) {
        int scan = cu->intra ? scan_idx_table[log2 - 2][luma_mode] : SCAN_DIAGONAL;
        rate_est_residual_block(inst, rec, z, log2, scan, 0);
    }
    if (log2 == 2) {
        if ((z & 3) != 3)
            return;
        int scan = syntax_chroma_scan(inst, cu, z, log2);
        if (chroma_bits & cbf_cb_bit)
            rate_est_residual_block(inst, rec, z - 3, 2, scan, 1);
        if (chroma_bits & cbf_cr_bit)
            rate_est_residual_block(inst, rec, z - 3, 2, scan, 2);
        return;
    }
    int scan = syntax_chroma_scan(inst, cu, z, log2);
    if (chroma_bits & cbf_cb_bit)
        rate_est_residual_block(inst, rec, z, log2 - 1, scan, 1);
    if (chroma_bits & cbf_cr_bit)
        rate_est_residual_block(inst, rec, z, log2 - 1, scan, 2);
}

static void est_tt_node(syntax_ctu_context *inst, cabac_encoder *rec, const syntax_tt_cu *cu, int z,
                        int log2, int parent_chroma)
{
    const int node = cu_node_index(log2, z);
    const uint8_t cbf = inst->decision->cbf_flags[node];
    const int trafo_depth = cu->log2 - log2;
    int split;
    if (syntax_tu_split_sent(inst, cu, log2, trafo_depth)) {
        split = inst->decision->tu_split[node] != 0;
        rate_est_bin(rec, ctx_split_transform_flag + 5 - log2, split);
    } else {
        split = syntax_tu_split_inferred(inst, cu, log2, trafo_depth);
    }
    int chroma = parent_chroma;
    if (log2 > 2) {
        chroma = 0;
        if (parent_chroma & cbf_cb_bit) {
            rate_est_bin(rec, ctx_cbf_chroma + trafo_depth, (cbf & cbf_cb_bit) != 0);
            chroma |= cbf & cbf_cb_bit;
        }
        if (parent_chroma & cbf_cr_bit) {
            rate_est_bin(rec, ctx_cbf_chroma + trafo_depth, (cbf & cbf_cr_bit) != 0);
            chroma |= cbf & cbf_cr_bit;
        }
    }
    if (split) {
        const int q = 1 << (2 * log2 - 6);
        for (int k = 0; k < 4; k++)
            est_tt_node(inst, rec, cu, z + k * q, log2 - 1, chroma);
        return;
    }
    est_tu(inst, rec, cu, z, log2, trafo_depth, chroma);
}

void rate_est_transform_tree(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                             int32_t y, int32_t log2_size, int32_t log2_cu)
{
    (void)x;
    (void)y;
    const syntax_tt_cu cu = syntax_tt_cu_of(inst, z, log2_cu);
    const uint8_t cbf = inst->decision->cbf_flags[cu_node_index(log2_size, z)];
    int parent_chroma = cbf_cb_bit | cbf_cr_bit;
    if (log2_cu == log2_size) {
        const int merged_2Nx2N = inst->motion->merge_flag_map[cu.unit] && cu.part == part_2Nx2N;
        if (!cu.intra && !merged_2Nx2N) {
            rate_est_bin(rec, ctx_rqt_root_cbf, cbf != 0);
            if (cbf == 0) {
                syntax_set_residual_flag(inst, cu.unit, log2_cu, 0);
                return;
            }
        }
        syntax_set_residual_flag(inst, cu.unit, log2_cu, cu.intra ? cbf != 0 : 1);
    } else {
        parent_chroma =
            inst->decision->cbf_flags[cu_node_index(log2_size + 1, z)] & (cbf_cb_bit | cbf_cr_bit);
    }
    est_tt_node(inst, rec, &cu, z, log2_size, parent_chroma);
}

// ---- QP delta ----

void rate_est_cu_qp_delta(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z)
{
    const int unit = zorder_to_map8[z >> 2];
    const int qp = inst->maps->cu_qp_map[unit];
    const int pred =
        cu_qp_predict(inst->maps->cu_qp_map, inst->qp_prev, inst->pps->diff_cu_qp_delta_depth, z);
    const int d = ((qp - pred + 78) % 52) - 26;
    const int a = d < 0 ? -d : d;
    rate_est_bin(rec, ctx_cu_qp_delta_abs, a > 0);
    if (a == 0)
        return;
    const int prefix = a < 5 ? a : 5;
    for (int i = 1; i < prefix; i++)
        rate_est_bin(rec, ctx_cu_qp_delta_abs + 1, 1);
    if (prefix < 5) {
        rate_est_bin(rec, ctx_cu_qp_delta_abs + 1, 0);
    } else {
        // order-0 Exp-Golomb of a - 5: n leading ones, a zero, n suffix bits
        int n = 31 - __builtin_clz((uint32_t)(a - 5 + 1));
        rate_est_bypass(rec, 2 * n + 1);
    }
    rate_est_bypass(rec, 1);
}

// ---- Residual coding ----

void rate_est_last_pos(cabac_encoder *rec, int32_t log2_size, int32_t x, int32_t y,
                       int32_t is_chroma)
{
    int offset, shift;
    if (is_chroma) {
        offset = 15;
        shift = log2_size - 2;
    } else {
        offset = 3 * (log2_size - 2) + ((log2_size - 1) >> 2);
        shift = (log2_size + 1) >> 2;
    }
    const int max_prefix = 2 * log2_size - 1;
    const int gx = last_pos_group_table[x] & 15;
    const int gy = last_pos_group_table[y] & 15;
    for (int b = 0; b < gx; b++)
        rate_est_bin(rec, ctx_last_x_prefix + offset + (b >> shift), 1);
    if (gx < max_prefix)
        rate_est_bin(rec, ctx_last_x_prefix + offset + (gx >> shift), 0);
    for (int b = 0; b < gy; b++)
        rate_est_bin(rec, ctx_last_y_prefix + offset + (b >> shift), 1);
    if (gy < max_prefix)
        rate_est_bin(rec, ctx_last_y_prefix + offset + (gy >> shift), 0);
    rate_est_bypass(rec, (last_pos_group_table[x] >> 4) + (last_pos_group_table[y] >> 4));
}

// Only the block's first coefficient is non-zero: last position (0, 0), one
// greater-1 flag and perhaps a greater-2 flag with the first sub-block's
// contexts, the sign and the remaining level with Rice parameter 0.
static void est_dc_only(cabac_encoder *rec, int level, int log2_size, int is_chroma)
{
    const int a = level < 0 ? -level : level;
    rate_est_last_pos(rec, log2_size, 0, 0, is_chroma);
    rate_est_bin(rec, (is_chroma ? ctx_greater1_flag + 16 : ctx_greater1_flag) + 1, a > 1);
    if (a > 1)
        rate_est_bin(rec, is_chroma ? ctx_greater2_flag + 4 : ctx_greater2_flag, a > 2);
    rate_est_bypass(rec, 1);
    if (a >= 3)
        rate_est_bypass(rec, rate_remaining_bins((uint32_t)(a - 3), 0));
}

void rate_est_residual(cabac_encoder *rec, const int16_t *levels, int32_t log2_size, int32_t scan,
                       int32_t is_chroma, int32_t sign_hiding, const scan_tables *scans,
                       const metric_table *metrics)
{
    const int n_side = 1 << log2_size;
    const int w = n_side >> 2;
    const uint16_t *order = scan_order(scans, log2_size, scan);
    uint16_t signs[64], sig[64];
    uint8_t count[64];
    const int n_nz = (int)metrics->count_nonzero_coeffs(levels, log2_size);
    if (n_nz == 0)
        return;
    const int last = metrics->scan_coeff_groups(order, levels, signs, sig, count, n_nz,
                                                scan_order(scans, 2, scan), n_side);
    if (last == 0) {
        est_dc_only(rec, levels[0], log2_size, is_chroma);
        return;
    }
    const int last_sb = last >> 4;

    // Signs in one step; a group whose first and last levels lie four or
    // more positions apart hides one.
    int sign_bins = n_nz;
    if (sign_hiding)
        for (int i = 0; i <= last_sb; i++)
            if (sig[i] && (31 - __builtin_clz(sig[i])) - __builtin_ctz(sig[i]) >= 4)
                sign_bins--;
    rate_est_bypass(rec, sign_bins);

    const int last_x = order[last] & (n_side - 1);
    const int last_y = order[last] >> log2_size;
    if (scan == SCAN_VERTICAL)
        rate_est_last_pos(rec, log2_size, last_y, last_x, is_chroma);
    else
        rate_est_last_pos(rec, log2_size, last_x, last_y, is_chroma);

    uint64_t mask = 0;
    for (int i = 0; i <= last_sb; i++) {
        if (count[i] == 0)
            continue;
        int p = order[16 * i];
        mask |= 1ull << (((p >> log2_size) >> 2) * w + ((p & (n_side - 1)) >> 2));
    }
    const int sig_base = is_chroma ? ctx_sig_coeff_flag + 27 : ctx_sig_coeff_flag;
    const int csbf_base = is_chroma ? ctx_coded_sub_block_flag + 2 : ctx_coded_sub_block_flag;
    const int gt1_block = is_chroma ? ctx_greater1_flag + 16 : ctx_greater1_flag;
    const int gt2_block = is_chroma ? ctx_greater2_flag + 4 : ctx_greater2_flag;
    int c1 = 1;
    for (int i = last_sb; i >= 0; i--) {
        const int p0 = order[16 * i];
        const int xs = (p0 & (n_side - 1)) >> 2;
        const int ys = (p0 >> log2_size) >> 2;
        const int right = xs < w - 1 && ((mask >> (ys * w + xs + 1)) & 1);
        const int below = ys < w - 1 && ((mask >> ((ys + 1) * w + xs)) & 1);
        if (i < last_sb && i > 0) {
            const int coded = (int)((mask >> (ys * w + xs)) & 1);
            rate_est_bin(rec, csbf_base + (right | below), coded);
            if (!coded)
                continue;
        }
        const uint64_t pattern = sig_ctx_pattern_table[scan][log2_size == 2 ? 4 : right + 2 * below];
        const int ctx0 = sig_base + syntax_sig_ctx_offset(log2_size, scan, is_chroma, i == 0);
        const int ctx_set = (i > 0 && !is_chroma ? 2 : 0) + (c1 == 0 ? 1 : 0);
        const int gt1_base = gt1_block + 4 * ctx_set;
        const uint16_t *sb_order = order + 16 * i;
        const int top = i == last_sb ? (last & 15) : 15;
        c1 = 1;
        int k = 0;
        int coded_levels = 0;
        for (int n = top; n >= 0; n--) {
            const int v = levels[sb_order[n]];
            const int is_last = i == last_sb && n == top;
            const int inferred = n == 0 && i > 0 && i < last_sb && coded_levels == 0;
            if (!is_last && !inferred) {
                int ctx = n > 0 ? ctx0 + (int)((pattern >> (4 * (15 - n))) & 15)
                                : (i == 0 ? sig_base : ctx0 + (int)(pattern >> 60));
                rate_est_bin(rec, ctx, v != 0);
            }
            if (v == 0)
                continue;
            const int a = v < 0 ? -v : v;
            int base = 1;   // the level the flags sent so far account for
            int escape = 1; // the last flag sent was 1, or none was sent
            if (coded_levels < 8) {
                const int g1 = a > 1;
                const int had_c1 = c1 != 0;
                rate_est_bin(rec, gt1_base + c1, g1);
                if (g1) {
                    base = 2;
                    if (had_c1) {
                        rate_est_bin(rec, gt2_block + ctx_set, a > 2);
                        base = 3;
                        escape = a > 2;
                    }
                    c1 = 0;
                } else {
                    escape = 0;
                    if (c1 > 0 && c1 < 3)
                        c1++;
                }
            }
            coded_levels++;
            if (escape) {
                rate_est_bypass(rec, rate_remaining_bins((uint32_t)(a - base), k));
                if (a > (3 << k) && k < 4)
                    k++;
            }
        }
    }
}

void rate_est_residual_block(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z,
                             int32_t log2_size, int32_t scan, int32_t plane)
{
    rate_est_residual(rec, syntax_block_levels(inst, z, plane), log2_size, scan, plane > 0,
                      inst->pps->sign_data_hiding, inst->scans, inst->metrics);
}

// ---- SAO ----

static void est_sao_offset_abs(cabac_encoder *rec, int value)
{
    rate_est_bypass(rec, value + (value < 7 ? 1 : 0));
}

void rate_est_sao_offsets(cabac_encoder *rec, const sao_param *param, int32_t plane)
{
    const int type = param->type;
    if (plane < 2) {
        rate_est_bin(rec, ctx_sao_type_idx, type != SAO_TYPE_OFF);
        if (type != SAO_TYPE_OFF)
            rate_est_bypass(rec, 1);
    }
    if (type == SAO_TYPE_OFF)
        return;
    if (type != SAO_TYPE_BAND) {
        est_sao_offset_abs(rec, param->offset[0]);
        est_sao_offset_abs(rec, param->offset[1]);
        est_sao_offset_abs(rec, -param->offset[2]);
        est_sao_offset_abs(rec, -param->offset[3]);
        if (plane < 2)
            rate_est_bypass(rec, 2);
        return;
    }
    for (int i = 0; i < 4; i++) {
        int v = param->offset[i];
        est_sao_offset_abs(rec, v < 0 ? -v : v);
        if (v != 0)
            rate_est_bypass(rec, 1);
    }
    rate_est_bypass(rec, 5);
}

void rate_est_sao_merge_flags(cabac_encoder *rec, int32_t ctu_col, int32_t ctu_row, int32_t merge)
{
    if (ctu_col > 0)
        rate_est_bin(rec, ctx_sao_merge_flag, merge == 1);
    if (merge != 1 && ctu_row > 0)
        rate_est_bin(rec, ctx_sao_merge_flag, merge == 2);
}

void rate_est_sao_merge(syntax_ctu_context *inst, cabac_encoder *rec)
{
    int merge = inst->sao_merge;
    if ((merge == 1 && inst->ctu_col == 0) || (merge == 2 && inst->ctu_row == 0))
        merge = 0;
    rate_est_sao_merge_flags(rec, inst->ctu_col, inst->ctu_row, merge);
    if (merge != 0)
        return;
    if (inst->sao_flags & 1)
        rate_est_sao_offsets(rec, &inst->sao[0][inst->ctu_addr], 0);
    if (inst->sao_flags & 2) {
        rate_est_sao_offsets(rec, &inst->sao[1][inst->ctu_addr], 1);
        rate_est_sao_offsets(rec, &inst->sao[2][inst->ctu_addr], 2);
    }
}
