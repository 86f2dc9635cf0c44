// Coding unit and prediction unit syntax: skip and merge, prediction and
// partition mode, intra luma and chroma modes with the most probable mode
// derivation, reference indices, motion vector differences and AMVP flags.
// Each element is written once over a bin sink: the cabac_write_ entry
// points code the bins, the rate_est_ entry points price them.
#include "analysis/mode_decision.h"
#include "bitstream/qp_predict.h"
#include "bitstream/syntax_shared.h"
#include "bitstream/syntax_sink.h"

const uint8_t chroma_mode_table[4] = {0, 26, 10, 1};

// ---- Indices and motion vector differences ----

template <class Sink>
static void merge_idx(Sink s, int idx, int max_num_merge_cand)
{
    if (max_num_merge_cand <= 1)
        return;
    s.bin(ctx_merge_idx, idx > 0);
    if (idx == 0)
        return;
    sink_truncated_unary(s, idx - 1, max_num_merge_cand - 2);
}

void cabac_write_merge_idx(cabac_encoder *coder, int32_t idx, int32_t max_num_merge_cand)
{
    merge_idx(syntax_bin_coder{coder}, idx, max_num_merge_cand);
}

void rate_est_merge_idx(cabac_encoder *rec, int32_t idx, int32_t max_num_merge_cand)
{
    merge_idx(syntax_bin_counter{rec}, idx, max_num_merge_cand);
}

template <class Sink>
static void ref_idx(Sink s, int ref, int num_ref_active)
{
    if (num_ref_active <= 1)
        return;
    s.bin(ctx_ref_idx, ref > 0);
    if (ref == 0 || num_ref_active == 2)
        return;
    s.bin(ctx_ref_idx + 1, ref > 1);
    if (ref == 1)
        return;
    sink_truncated_unary(s, ref - 2, num_ref_active - 3);
}

void cabac_write_ref_idx(cabac_encoder *coder, int32_t ref_idx_value, int32_t num_ref_active)
{
    ref_idx(syntax_bin_coder{coder}, ref_idx_value, num_ref_active);
}

void rate_est_ref_idx(cabac_encoder *rec, int32_t ref_idx_value, int32_t num_ref_active)
{
    ref_idx(syntax_bin_counter{rec}, ref_idx_value, num_ref_active);
}

template <class Sink>
static void mvd(Sink s, const int16_t v[2])
{
    const int a[2] = {v[0] < 0 ? -v[0] : v[0], v[1] < 0 ? -v[1] : v[1]};
    s.bin(ctx_abs_mvd_greater0_flag, a[0] > 0);
    s.bin(ctx_abs_mvd_greater0_flag, a[1] > 0);
    for (int c = 0; c < 2; c++)
        if (a[c] > 0)
            s.bin(ctx_abs_mvd_greater1_flag, a[c] > 1);
    for (int c = 0; c < 2; c++) {
        if (a[c] > 1)
            s.bypass_expgolomb(1, (uint32_t)(a[c] - 2));
        if (a[c] > 0)
            s.bypass(1, v[c] < 0);
    }
}

void cabac_write_mvd(cabac_encoder *coder, const int16_t mvd_value[2])
{
    mvd(syntax_bin_coder{coder}, mvd_value);
}

void rate_est_mvd(cabac_encoder *rec, const int16_t mvd_value[2])
{
    mvd(syntax_bin_counter{rec}, mvd_value);
}

// ---- Prediction units ----

// ref_idx, mvd and mvp flag of one list of a non-merged PU.
template <class Sink>
static void list_motion(Sink s, syntax_ctu_context *inst, int z, int x, int y, int width, int height,
                        int depth, int list, int unit)
{
    uint32_t predictors[2] = {0, 0};
    int count = 1;
    if (inst->inter.amvp_build_list)
        count = inst->inter.amvp_build_list(inst->inter.owner, z, x, y, width, height, depth, list,
                                            predictors);
    int16_t diff[2];
    int flag = syntax_choose_mv_predictor(inst->motion->mv[list][unit], predictors, count, diff);
    ref_idx(s, inst->motion->ref_idx[list][unit], inst->num_ref_idx_active[list]);
    mvd(s, diff);
    s.bin(ctx_mvp_flag, flag);
}

template <class Sink>
static void prediction_unit(Sink s, syntax_ctu_context *inst, int z, int x, int y, int width, int height,
                            int depth)
{
    const int unit = zorder_to_map8[z >> 2];
    if (inst->motion->merge_flag_map[unit]) {
        s.bin(ctx_merge_flag, 1);
        merge_idx(s, inst->motion->merge_idx_map[unit], inst->max_num_merge_cand);
    } else {
        const int r0 = inst->motion->ref_idx[0][unit];
        const int r1 = inst->motion->ref_idx[1][unit];
        const int b_slice = inst->slice_type == slice_b;
        // 8x4 and 4x8 PUs cannot be bi-predicted: only the list bin is sent.
        const int small = width + height == 12;
        const int bi = b_slice && !small && r0 >= 0 && r1 >= 0;
        s.bin(ctx_merge_flag, 0);
        if (b_slice && !small)
            s.bin(ctx_inter_pred_idc + depth, bi);
        if (bi) {
            list_motion(s, inst, z, x, y, width, height, depth, 0, unit);
            list_motion(s, inst, z, x, y, width, height, depth, 1, unit);
        } else {
            int list = (r0 >= 0 || !b_slice) ? 0 : 1;
            if (b_slice)
                s.bin(ctx_inter_pred_idc + 4, list);
            list_motion(s, inst, z, x, y, width, height, depth, list, unit);
        }
    }
    // The next PU's AMVP derivation must see this one.
    syntax_mark_available(inst, x, y, width, height);
}

void cabac_write_prediction_unit(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                 int32_t x, int32_t y, int32_t width, int32_t height, int32_t depth)
{
    prediction_unit(syntax_bin_coder{coder}, inst, z, x, y, width, height, depth);
}

void rate_est_prediction_unit(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                              int32_t y, int32_t width, int32_t height, int32_t depth)
{
    prediction_unit(syntax_bin_counter{rec}, inst, z, x, y, width, height, depth);
}

void intra_mpm_list(const syntax_ctu_context *inst, int32_t z, int32_t out[3])
{
    intra_mpm_from_modes(inst->intra_modes, z, out);
}

void intra_mpm_from_modes(const int8_t *modes, int32_t z, int32_t out[3])
{
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

// Luma modes of pus PUs starting at 4x4 unit z (PU k at z + k): every
// prev_intra_luma_pred_flag first, then each mpm_idx or remaining mode. Only
// the CTU's mode map is read.
template <class Sink>
static void intra_luma_modes(Sink s, const int8_t *intra_modes, int z, int pus)
{
    int hit[4], rem[4];
    for (int k = 0; k < pus; k++) {
        const int mode = intra_modes[zorder_to_map4[z + k]];
        int mpm[3];
        intra_mpm_from_modes(intra_modes, z + k, mpm);
        hit[k] = mode == mpm[0] ? 0 : mode == mpm[1] ? 1 : mode == mpm[2] ? 2 : -1;
        rem[k] = mode - (mpm[0] < mode) - (mpm[1] < mode) - (mpm[2] < mode);
        s.bin(ctx_prev_intra_luma_pred_flag, hit[k] >= 0);
    }
    // mpm_idx "0", "10" or "11", else the remaining mode in five bins.
    for (int k = 0; k < pus; k++)
        s.bypass(hit[k] == 0 ? 1 : hit[k] > 0 ? 2 : 5,
                 hit[k] == 0 ? 0u : hit[k] > 0 ? 2u | (uint32_t)(hit[k] == 2) : (uint32_t)rem[k]);
}

void cabac_write_intra_luma_modes(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                  int32_t log2_size, uint32_t part_mode)
{
    (void)log2_size;
    intra_luma_modes(syntax_bin_coder{coder}, inst->intra_modes, z, part_mode == part_NxN ? 4 : 1);
}

void rate_est_intra_luma_modes(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z,
                               int32_t log2_size, uint32_t part_mode)
{
    (void)log2_size;
    intra_luma_modes(syntax_bin_counter{rec}, inst->intra_modes, z, part_mode == part_NxN ? 4 : 1);
}

void rate_est_intra_luma_mode(const int8_t *intra_modes, cabac_encoder *rec, int32_t z)
{
    intra_luma_modes(syntax_bin_counter{rec}, intra_modes, z, 1);
}

template <class Sink>
static void prediction_units(Sink s, syntax_ctu_context *inst, int z, int x, int y, int log2_size)
{
    const int node = cu_node_index(log2_size, z);
    const int unit = zorder_to_map8[z >> 2];
    const ctu_cu_maps *maps = inst->maps;
    if (maps->cu_flags_map[unit] & cu_flag_skip)
        return;
    const uint32_t part = inst->decision->part_mode[node];
    const int size = 1 << log2_size;
    if (maps->pred_mode_map[unit] == 1) {
        intra_luma_modes(s, inst->intra_modes, z, part == part_NxN ? 4 : 1);
        const int idx = inst->intra_modes[zorder_to_map4[256 + (z >> 2)]];
        s.bin(ctx_intra_chroma_pred_mode, idx != chroma_mode_from_luma);
        if (idx != chroma_mode_from_luma)
            s.bypass(2, (uint32_t)idx);
        syntax_mark_available(inst, x, y, size, size);
        return;
    }
    syntax_pu pu[4];
    const int count = syntax_pu_layout(part, z, x, y, log2_size, pu);
    for (int i = 0; i < count; i++)
        prediction_unit(s, inst, pu[i].z, pu[i].x, pu[i].y, pu[i].width, pu[i].height, 6 - log2_size);
}

void cabac_write_prediction_units(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                  int32_t x, int32_t y, int32_t log2_size)
{
    prediction_units(syntax_bin_coder{coder}, inst, z, x, y, log2_size);
}

void rate_est_prediction_units(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                               int32_t y, int32_t log2_size)
{
    prediction_units(syntax_bin_counter{rec}, inst, z, x, y, log2_size);
}

// ---- Coding unit ----

template <class Sink>
static void pred_part_mode(Sink s, const syntax_ctu_context *inst, int log2_size, int node, int unit8)
{
    const int intra = inst->maps->pred_mode_map[unit8] == 1;
    const uint32_t part = inst->decision->part_mode[node];
    if (inst->slice_type != slice_i)
        s.bin(ctx_pred_mode_flag, intra);
    if (intra) {
        if (log2_size == inst->sps->log2_min_cb_size)
            s.bin(ctx_part_mode, part == part_2Nx2N);
        return;
    }
    // Without asymmetric partitions: 2Nx2N "1", 2NxN "01", Nx2N "00".
    for (uint32_t i = 0; i < part && i < 3; i++)
        s.bin(ctx_part_mode + (int)i, 0);
    if (part < 2)
        s.bin(ctx_part_mode + (int)part, 1);
}

void cabac_write_pred_part_mode(syntax_ctu_context *inst, cabac_encoder *coder, int32_t log2_size,
                                int32_t node, int32_t unit8)
{
    pred_part_mode(syntax_bin_coder{coder}, inst, log2_size, node, unit8);
}

void rate_est_pred_part_mode(syntax_ctu_context *inst, cabac_encoder *rec, int32_t log2_size,
                             int32_t node, int32_t unit8)
{
    pred_part_mode(syntax_bin_counter{rec}, inst, log2_size, node, unit8);
}

// The CU up to its transform tree: cu_skip_flag, and merge_idx of a skipped
// CU or the modes and prediction units of a coded one. Returns whether the
// CU is coded (a transform tree follows).
template <class Sink>
static int cu_prediction(Sink s, syntax_ctu_context *inst, int z, int x, int y, int log2_size, int skip)
{
    const int node = cu_node_index(log2_size, z);
    const int unit = zorder_to_map8[z >> 2];
    const ctu_cu_maps *maps = inst->maps;
    const int size = 1 << log2_size;
    if (inst->slice_type != slice_i) {
        int ctx = (maps->cu_flags_map[unit - 1] & cu_flag_skip) + (maps->cu_flags_map[unit - CTU_MAP8_STRIDE] & cu_flag_skip);
        s.bin(ctx_cu_skip_flag + ctx, skip);
    }
    if (skip) {
        syntax_set_residual_flag(inst, unit, log2_size, 0);
        merge_idx(s, inst->motion->merge_idx_map[unit], inst->max_num_merge_cand);
        syntax_mark_available(inst, x, y, size, size);
        return 0;
    }
    if (inst->slice_type != slice_i || log2_size == inst->sps->log2_min_cb_size)
        pred_part_mode(s, inst, log2_size, node, unit);
    prediction_units(s, inst, z, x, y, log2_size);
    return 1;
}

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
    const int qp_delta_on = inst->pps->cu_qp_delta_enabled;
    const int skip = syntax_cu_sent_skipped(inst, node, unit, log2_size);

    if (qp_delta_on && (z & (inst->qg_units - 1)) == 0)
        inst->qg_delta_pending = 1;
    inst->cur_cu_z = z;
    // A CU without residual before the group's first coded delta has the
    // predicted QP, as a decoder gives it.
    if (qp_delta_on && (skip || inst->decision->cbf_flags[node] == 0) && inst->qg_delta_pending) {
        ctu_cu_maps *maps = inst->maps;
        int qp = cu_qp_predict(maps->cu_qp_map, inst->qp_prev, inst->pps->diff_cu_qp_delta_depth, z);
        int units = (1 << log2_size) >> 3;
        map_fill_block((uint8_t *)&maps->cu_qp_map[unit], units, units, 1, (uint32_t)(uint8_t)qp);
    }
    // A skipped CU's bits fall into the prediction span of the next coded CU.
    if (!cu_prediction(syntax_bin_coder{coder}, inst, z, x, y, log2_size, skip))
        return;
    account_bits(inst, coder, &inst->pred_bits);
    cabac_write_transform_tree(inst, coder, z, x, y, log2_size, log2_size);
    account_bits(inst, coder, &inst->residual_bits);
}

static int est_cu_prediction(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                             int32_t y, int32_t log2_size)
{
    const int skip = syntax_cu_sent_skipped(inst, cu_node_index(log2_size, z), zorder_to_map8[z >> 2], log2_size);
    return cu_prediction(syntax_bin_counter{rec}, inst, z, x, y, log2_size, skip);
}

void rate_est_coding_unit(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                          int32_t y, int32_t log2_size)
{
    if (est_cu_prediction(inst, rec, z, x, y, log2_size))
        rate_est_transform_tree(inst, rec, z, x, y, log2_size, log2_size);
}

void rate_est_coding_unit_no_tree(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z,
                                  int32_t x, int32_t y, int32_t log2_size)
{
    est_cu_prediction(inst, rec, z, x, y, log2_size);
}
