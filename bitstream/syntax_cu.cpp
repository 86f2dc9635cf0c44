// Coding unit and prediction unit syntax: skip and merge, prediction and
// partition mode, intra luma and chroma modes with the most probable mode
// derivation, reference indices, motion vector differences and AMVP flags.
#include "analysis/mode_decision.h"
#include "bitstream/qp_predict.h"
#include "bitstream/syntax_shared.h"

const uint8_t chroma_mode_table[4] = {0, 26, 10, 1};

static void account_bits(syntax_ctu_context *inst, cabac_encoder *coder, uint32_t *counter)
{
    int64_t pos = cabac_bits_written(coder);
    *counter += (uint32_t)(pos - inst->stats_bit_mark);
    inst->stats_bit_mark = pos;
}

void cabac_write_coding_unit(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z, int32_t x,
                             int32_t y, int32_t log2_size)
{
    const int node = cu_node_index(log2_size, z);
    const int unit = zorder_to_map8[z >> 2];
    ctu_cu_maps *maps = inst->maps;
    const int size = 1 << log2_size;
    const int qp_delta_on = inst->pps->cu_qp_delta_enabled;
    const int skip = syntax_cu_sent_skipped(inst, node, unit, log2_size);

    if (qp_delta_on && (z & (inst->qg_units - 1)) == 0)
        inst->qg_delta_pending = 1;
    inst->cur_cu_z = z;
    // A CU without residual before the group's first coded delta has the
    // predicted QP, as a decoder gives it.
    if (qp_delta_on && (skip || inst->decision->cbf_flags[node] == 0) && inst->qg_delta_pending) {
        int qp = cu_qp_predict(maps->cu_qp_map, inst->qp_prev, inst->pps->diff_cu_qp_delta_depth, z);
        int units = size >> 3;
        map_fill_block((uint8_t *)&maps->cu_qp_map[unit], units, units, 1, (uint32_t)(uint8_t)qp);
    }
    if (inst->slice_type != 2) {
        int ctx = (maps->cu_flags_map[unit - 1] & cu_flag_skip) + (maps->cu_flags_map[unit - CTU_MAP8_STRIDE] & cu_flag_skip);
        cabac_encode_bin(coder, ctx_cu_skip_flag + ctx, skip);
    }
    if (skip) {
        syntax_set_residual_flag(inst, unit, log2_size, 0);
        cabac_write_merge_idx(coder, inst->motion->merge_idx_map[unit], inst->max_num_merge_cand);
        syntax_mark_available(inst, x, y, size, size);
        // A skipped CU's bits fall into the prediction span of the next coded CU.
        return;
    }
    if (inst->slice_type != 2 || log2_size == inst->sps->log2_min_cb_size)
        cabac_write_pred_part_mode(inst, coder, log2_size, node, unit);
    cabac_write_prediction_units(inst, coder, z, x, y, log2_size);
    account_bits(inst, coder, &inst->pred_bits);
    cabac_write_transform_tree(inst, coder, z, x, y, log2_size, log2_size);
    account_bits(inst, coder, &inst->residual_bits);
}

void cabac_write_pred_part_mode(syntax_ctu_context *inst, cabac_encoder *coder, int32_t log2_size,
                                int32_t node, int32_t unit8)
{
    const int intra = inst->maps->pred_mode_map[unit8] == 1;
    const uint32_t part = inst->decision->part_mode[node];
    if (inst->slice_type != 2)
        cabac_encode_bin(coder, ctx_pred_mode_flag, intra);
    if (intra) {
        if (log2_size == inst->sps->log2_min_cb_size)
            cabac_encode_bin(coder, ctx_part_mode, part == part_2Nx2N);
        return;
    }
    // Without asymmetric partitions: 2Nx2N "1", 2NxN "01", Nx2N "00".
    for (uint32_t i = 0; i < part && i < 3; i++)
        cabac_encode_bin(coder, ctx_part_mode + (int)i, 0);
    if (part < 2)
        cabac_encode_bin(coder, ctx_part_mode + (int)part, 1);
}

void cabac_write_merge_idx(cabac_encoder *coder, int32_t idx, int32_t max_num_merge_cand)
{
    if (max_num_merge_cand <= 1)
        return;
    cabac_encode_bin(coder, ctx_merge_idx, idx > 0);
    if (idx == 0)
        return;
    for (int i = 1; i < idx; i++)
        cabac_encode_bypass(coder, 1);
    if (idx < max_num_merge_cand - 1)
        cabac_encode_bypass(coder, 0);
}

void cabac_write_ref_idx(cabac_encoder *coder, int32_t ref_idx, int32_t num_ref_active)
{
    if (num_ref_active <= 1)
        return;
    cabac_encode_bin(coder, ctx_ref_idx, ref_idx > 0);
    if (ref_idx == 0 || num_ref_active == 2)
        return;
    cabac_encode_bin(coder, ctx_ref_idx + 1, ref_idx > 1);
    if (ref_idx == 1)
        return;
    for (int i = 2; i < ref_idx; i++)
        cabac_encode_bypass(coder, 1);
    if (ref_idx < num_ref_active - 1)
        cabac_encode_bypass(coder, 0);
}

void cabac_write_mvd(cabac_encoder *coder, const int16_t mvd[2])
{
    const int a[2] = {mvd[0] < 0 ? -mvd[0] : mvd[0], mvd[1] < 0 ? -mvd[1] : mvd[1]};
    cabac_encode_bin(coder, ctx_abs_mvd_greater0_flag, a[0] > 0);
    cabac_encode_bin(coder, ctx_abs_mvd_greater0_flag, a[1] > 0);
    for (int c = 0; c < 2; c++)
        if (a[c] > 0)
            cabac_encode_bin(coder, ctx_abs_mvd_greater1_flag, a[c] > 1);
    for (int c = 0; c < 2; c++) {
        if (a[c] > 1)
            cabac_encode_bypass_expgolomb(coder, 1, (uint32_t)(a[c] - 2));
        if (a[c] > 0)
            cabac_encode_bypass(coder, mvd[c] < 0);
    }
}

// ref_idx, mvd and mvp flag of one list of a non-merged PU.
static void write_list_motion(syntax_ctu_context *inst, cabac_encoder *coder, int z, int x, int y,
                              int width, int height, int depth, int list, int unit)
{
    uint32_t predictors[2] = {0, 0};
    int count = 1;
    if (inst->inter.amvp_build_list)
        count = inst->inter.amvp_build_list(inst->inter.owner, z, x, y, width, height, depth, list,
                                            predictors);
    int16_t mvd[2];
    int flag = syntax_choose_mv_predictor(inst->motion->mv[list][unit], predictors, count, mvd);
    cabac_write_ref_idx(coder, inst->motion->ref_idx[list][unit], inst->num_ref_idx_active[list]);
    cabac_write_mvd(coder, mvd);
    cabac_encode_bin(coder, ctx_mvp_flag, flag);
}

void cabac_write_prediction_unit(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                 int32_t x, int32_t y, int32_t width, int32_t height, int32_t depth)
{
    const int unit = zorder_to_map8[z >> 2];
    if (inst->motion->merge_flag_map[unit]) {
        cabac_encode_bin(coder, ctx_merge_flag, 1);
        cabac_write_merge_idx(coder, inst->motion->merge_idx_map[unit], inst->max_num_merge_cand);
    } else {
        const int r0 = inst->motion->ref_idx[0][unit];
        const int r1 = inst->motion->ref_idx[1][unit];
        const int b_slice = inst->slice_type == 0;
        // 8x4 and 4x8 PUs cannot be bi-predicted: only the list bin is sent.
        const int small = width + height == 12;
        const int bi = b_slice && !small && r0 >= 0 && r1 >= 0;
        cabac_encode_bin(coder, ctx_merge_flag, 0);
        if (b_slice && !small)
            cabac_encode_bin(coder, ctx_inter_pred_idc + depth, bi);
        if (bi) {
            write_list_motion(inst, coder, z, x, y, width, height, depth, 0, unit);
            write_list_motion(inst, coder, z, x, y, width, height, depth, 1, unit);
        } else {
            int list = (r0 >= 0 || !b_slice) ? 0 : 1;
            if (b_slice)
                cabac_encode_bin(coder, ctx_inter_pred_idc + 4, list);
            write_list_motion(inst, coder, z, x, y, width, height, depth, list, unit);
        }
    }
    // The next PU's AMVP derivation must see this one.
    syntax_mark_available(inst, x, y, width, height);
}

void cabac_write_prediction_units(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                  int32_t x, int32_t y, int32_t log2_size)
{
    const int node = cu_node_index(log2_size, z);
    const int unit = zorder_to_map8[z >> 2];
    const ctu_cu_maps *maps = inst->maps;
    if (maps->cu_flags_map[unit] & cu_flag_skip)
        return;
    const uint32_t part = inst->decision->part_mode[node];
    const int s = 1 << log2_size;
    if (maps->pred_mode_map[unit] == 1) {
        cabac_write_intra_luma_modes(inst, coder, z, log2_size, part);
        int idx = inst->intra_modes[zorder_to_map4[256 + (z >> 2)]];
        if (idx == 4) {
            cabac_encode_bin(coder, ctx_intra_chroma_pred_mode, 0);
        } else {
            cabac_encode_bin(coder, ctx_intra_chroma_pred_mode, 1);
            cabac_encode_bypass_bits(coder, 2, (uint32_t)idx);
        }
        syntax_mark_available(inst, x, y, s, s);
        return;
    }
    syntax_pu pu[4];
    const int count = syntax_pu_layout(part, z, x, y, log2_size, pu);
    for (int i = 0; i < count; i++)
        cabac_write_prediction_unit(inst, coder, pu[i].z, pu[i].x, pu[i].y, pu[i].width, pu[i].height,
                                    6 - log2_size);
}

void intra_mpm_list(const syntax_ctu_context *inst, int32_t z, int32_t out[3])
{
    const int8_t *modes = inst->intra_modes;
    const int pos = zorder_to_map4[z];
    // Unavailable, inter and above-the-CTU neighbours all count as DC.
    int left = modes[pos - 1] < 0 ? 1 : modes[pos - 1];
    int above = modes[pos - CTU_MAP4_STRIDE] < 0 ? 1 : modes[pos - CTU_MAP4_STRIDE];
    if (left != above) {
        out[0] = left;
        out[1] = above;
        if (left != 0 && above != 0)
            out[2] = 0;
        else if (left + above < 2)
            out[2] = 26;
        else
            out[2] = 1;
    } else if (left < 2) {
        out[0] = 0;
        out[1] = 1;
        out[2] = 26;
    } else {
        out[0] = left;
        out[1] = 2 + ((left + 29) % 32);
        out[2] = 2 + ((left - 1) % 32);
    }
}

void cabac_write_intra_luma_modes(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                  int32_t log2_size, uint32_t part_mode)
{
    (void)log2_size;
    const int pus = part_mode == part_NxN ? 4 : 1;
    int mode[4], mpm[4][3], hit[4];
    for (int k = 0; k < pus; k++) {
        mode[k] = inst->intra_modes[zorder_to_map4[z + k]];
        intra_mpm_list(inst, z + k, mpm[k]);
        hit[k] = -1;
        for (int i = 0; i < 3; i++)
            if (mpm[k][i] == mode[k]) {
                hit[k] = i;
                break;
            }
        cabac_encode_bin(coder, ctx_prev_intra_luma_pred_flag, hit[k] >= 0);
    }
    for (int k = 0; k < pus; k++) {
        if (hit[k] == 0) {
            cabac_encode_bypass(coder, 0);
        } else if (hit[k] > 0) {
            cabac_encode_bypass(coder, 1);
            cabac_encode_bypass(coder, hit[k] == 2);
        } else {
            int rem = mode[k];
            for (int i = 0; i < 3; i++)
                rem -= mpm[k][i] < mode[k];
            cabac_encode_bypass_bits(coder, 5, (uint32_t)rem);
        }
    }
}
