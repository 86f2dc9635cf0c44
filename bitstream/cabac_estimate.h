// CABAC bit estimation: prices the CTU syntax that the syntax writer sends
// without running the arithmetic coder. The estimators are the writer's own
// element code over a counting bin sink (bitstream/syntax_sink.h): each adds
// to est_bits (1/256 bit) of the record it is given and advances its context
// bytes as the writer would; low, range and the output buffer are never
// touched. A candidate's rate is est_bits after the estimate minus est_bits
// before; searches save and restore the record around trial estimates.
#pragma once
#include <cstdint>

#include "bitstream/cabac.h"
#include "bitstream/syntax_writer.h"

// Entry a: 2 floor(log2 a) + 1 for a >= 1, 1 for a = 0: the length of the
// order-0 Exp-Golomb string of a - 1, from which every Exp-Golomb length follows.
extern const uint8_t mvd_eg1_length_table[256];

// One context-coded bin: its table cost, then the context moves on.
static inline void rate_est_bin(cabac_encoder *rec, int slot, int bin)
{
    uint32_t s = rec->rate.ctx[slot];
    rec->rate.est_bits += cabac_bits_table[s ^ (uint32_t)bin];
    rec->rate.ctx[slot] = cabac_next_state_table[2 * s + (uint32_t)bin];
}

static inline void rate_est_bypass(cabac_encoder *rec, int count)
{
    rec->rate.est_bits += 256u * (uint32_t)count;
}

// intra_chroma_pred_mode as the searches price it: bin 0 for the mode derived
// from luma, else bin 1 and the two bypass bins of the explicit index.
static inline void rate_est_intra_chroma_mode(cabac_encoder *rec, int explicit_mode)
{
    rate_est_bin(rec, ctx_intra_chroma_pred_mode, explicit_mode);
    if (explicit_mode) rate_est_bypass(rec, 2);
}

// Bins of the k-th order Exp-Golomb string of value:
// 2 floor(log2((value >> k) + 1)) + k + 1.
static inline int expgolomb_bins(int k, uint32_t value)
{
    uint32_t n = (value >> k) + 1;
    int high = 0;
    for (; n > 255; n >>= 8)
        high += 16;
    return mvd_eg1_length_table[n] + high + k;
}

// Bins of coeff_abs_level_remaining with Rice parameter k.
static inline int rate_remaining_bins(uint32_t value, int k)
{
    const rice_code code = coeff_remaining_code(k, value);
    return code.prefix + 1 + code.suffix_bins;
}

// Whole CU as cabac_write_coding_unit sends it, without the QP-delta
// bookkeeping and without cu_qp_delta.
void rate_est_coding_unit(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                          int32_t y, int32_t log2_size);
// The same without the transform tree (callers price it themselves).
void rate_est_coding_unit_no_tree(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z,
                                  int32_t x, int32_t y, int32_t log2_size);
void rate_est_pred_part_mode(syntax_ctu_context *inst, cabac_encoder *rec, int32_t log2_size,
                             int32_t node, int32_t unit8);
void rate_est_prediction_units(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                               int32_t y, int32_t log2_size);
void rate_est_prediction_unit(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                              int32_t y, int32_t width, int32_t height, int32_t depth);
void rate_est_merge_idx(cabac_encoder *rec, int32_t idx, int32_t max_num_merge_cand);
void rate_est_ref_idx(cabac_encoder *rec, int32_t ref_idx, int32_t num_ref_active);
void rate_est_mvd(cabac_encoder *rec, const int16_t mvd[2]);
// All luma modes of an intra CU (one PU, or four for NxN).
void rate_est_intra_luma_modes(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z,
                               int32_t log2_size, uint32_t part_mode);
// One PU: the mode the CTU's 4x4 intra-mode map (the writer's intra_modes)
// holds at z.
void rate_est_intra_luma_mode(const int8_t *intra_modes, cabac_encoder *rec, int32_t z);
// Transform tree from the node (z, log2_size) of the CU of size log2_cu,
// without cu_qp_delta.
void rate_est_transform_tree(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                             int32_t y, int32_t log2_size, int32_t log2_cu);
// Residual of the CTU's level buffer of plane at luma z-index z.
void rate_est_residual_block(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z,
                             int32_t log2_size, int32_t scan, int32_t plane);
// Residual of a block given directly (N x N levels, raster); an all-zero
// block costs nothing.
void rate_est_residual(cabac_encoder *rec, const int16_t *levels, int32_t log2_size, int32_t scan,
                       int32_t is_chroma, int32_t sign_hiding, const scan_tables *scans,
                       const metric_table *metrics);
void rate_est_last_pos(cabac_encoder *rec, int32_t log2_size, int32_t x, int32_t y,
                       int32_t is_chroma);
void rate_est_cu_qp_delta(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z);
// SAO syntax of the CTU (merge flags and, unless merged, the parameters).
void rate_est_sao_merge(syntax_ctu_context *inst, cabac_encoder *rec);
// The merge flags alone for merge 0 none, 1 left, 2 up: sao_merge_left_flag
// in CTU columns > 0 and, unless merging left, sao_merge_up_flag in rows > 0.
void rate_est_sao_merge_flags(cabac_encoder *rec, int32_t ctu_col, int32_t ctu_row, int32_t merge);
void rate_est_sao_offsets(cabac_encoder *rec, const sao_param *param, int32_t plane);
