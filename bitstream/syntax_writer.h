// CABAC syntax writer of one CTU: SAO, coding quadtree, coding units,
// prediction units, transform tree, cu_qp_delta and residual coding (H.265
// clause 7.3.8, Main profile, 8-bit 4:2:0, 64x64 CTBs, CBs 8..64, TBs 4..32).
//
// The writer decides nothing: it turns the decided CTU (decision arrays, CU
// maps, motion grid, quantised levels, SAO records) into bins. It re-derives
// only what a decoder derives too (most probable intra modes, chroma mode
// numbers, the choice between two AMVP predictors) and keeps the residual
// flag and the QP map up to date for the CUs that follow.
#pragma once
#include <cstdint>

#include "bitstream/cabac.h"
#include "bitstream/param_sets.h"
#include "encoder/encoder_instance.h"
#include "filters/deblock/deblock_ctu_maps.h"
#include "filters/sao/sao.h"
#include "kernels/metrics/metric.h"
#include "kernels/quant/scan_tables.h"

// ---- Decided CTU records ----
// cu_decision_arrays, ctu_cu_maps and ctu_motion_grid are the CTU context's
// (encoder/encoder_instance.h); node indices come from cu_node_index(log2, z).
//
// Layout facts the writer relies on: the per-8x8 maps have rows of
// CTU_MAP8_STRIDE with the CTU's units at rows 1..8, columns 8..15 (column 7
// is the left CTU's right column, row 0 the above CTU's bottom row); the
// per-4x4 intra modes have rows of CTU_MAP4_STRIDE with the CTU at rows
// 1..16, columns 16..31, the left border in column 15 and row 0 always -1;
// the chroma mode index of each 8x8 unit (0..3, or 4 for the luma-derived
// mode) sits at columns 0..7 of rows 1..8, where zorder_to_map4[256..319]
// point.

enum {
    part_2Nx2N = 0,
    part_2NxN = 1,
    part_Nx2N = 2,
    part_NxN = 3,
};

// Coded-block byte of a node: bit 0 luma, bit 1 Cb, bit 2 Cr. A split node
// holds what its children send; for the four 4x4 luma blocks of an 8x8 the
// chroma bits of the 8x8's two 4x4 chroma blocks sit in the fourth.
enum { cbf_luma_bit = 1, cbf_cb_bit = 2, cbf_cr_bit = 4 };

enum {
    cu_flag_skip = 1,       // skipped CU
    cu_flag_residual = 2,   // CU has coded residual (kept by the writer)
};

// SAO parameters of a CTB and plane: sao_param of filters/sao/sao.h.

// z-order positions of the CTU's 4x4 units (entries 0..255) and chroma mode
// indices (256..319) in the per-4x4 intra mode array (the per-8x8 positions
// are zorder_to_map8 of filters/deblock/deblock_ctu_maps.h).
extern const uint16_t zorder_to_map4[320];

// Intra chroma mode of intra_chroma_pred_mode 0..3 (index 4 takes the luma mode).
extern const uint8_t chroma_mode_table[4];

// ---- Services of other stages that the writer calls ----

// The availability map and AMVP derivation belong to motion estimation; the
// writer reaches them through these hooks (null for intra-only coding, where
// the hooks are not needed). amvp_build_list fills out[] with the predictors
// a decoder derives for the PU and returns their number (1 or 2).
struct syntax_inter_services {
    void *owner;
    int32_t (*amvp_build_list)(void *owner, int32_t z, int32_t x, int32_t y, int32_t width,
                               int32_t height, int32_t depth, int32_t list, uint32_t out[2]);
    void (*map_clear)(void *owner);
    void (*map_mark_available)(void *owner, int32_t x, int32_t y, int32_t width, int32_t height);
};

// ---- The writer's view of the coding context ----

// What the writer reads and keeps for the CTU it writes; one per row context.
struct syntax_ctu_context {
    // decided CTU
    const cu_decision_arrays *decision;
    ctu_cu_maps *maps;                 // flags bit 1 and QP are written back
    const ctu_motion_grid *motion;     // inter slices only
    const int8_t *intra_modes;         // per-4x4 intra modes and chroma indices (layout above)
    const int16_t *levels[3];          // luma 64x64, Cb and Cr 32x32, z-placed
    const sao_param *sao[3];           // the picture's arrays, by CTU address
    int32_t sao_merge;                 // 0 none, 1 left, 2 up

    // picture and slice
    int32_t pic_width, pic_height;
    int32_t ctu_col, ctu_row, ctu_addr;
    int32_t slice_type;                // 0 B, 1 P, 2 I
    uint32_t sao_flags;                // bit 0 luma, bit 1 chroma
    int32_t max_num_merge_cand;
    int32_t num_ref_idx_active[2];
    const sps_params *sps;
    const pps_params *pps;
    const scan_tables *scans;
    const metric_table *metrics;
    syntax_inter_services inter;

    // state kept across CUs (and, for qp_prev, across CTUs)
    int32_t qp_prev;           // QP of the CU coded last
    int32_t qg_units;          // quantisation-group size in 4x4 units
    int32_t qg_delta_pending;  // a QP delta may still be sent in the current group
    int32_t cur_cu_z;          // z-index of the CU being written
    int64_t stats_bit_mark;
    uint32_t pred_bits;        // bits of prediction syntax (SAO, splits, modes)
    uint32_t residual_bits;    // bits of transform trees
};

// ---- CTU, SAO and coding quadtree ----
void cabac_write_ctu(syntax_ctu_context *inst, cabac_encoder *coder);
void cabac_write_sao(syntax_ctu_context *inst, cabac_encoder *coder);
void cabac_write_sao_params(cabac_encoder *coder, const sao_param *param, int32_t plane);
void cabac_write_sao_offset_abs(cabac_encoder *coder, int32_t value, int32_t cmax);
int32_t cabac_write_coding_quadtree(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                    int32_t x, int32_t y, int32_t log2_size);

// ---- Coding unit and prediction units ----
void cabac_write_coding_unit(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z, int32_t x,
                             int32_t y, int32_t log2_size);
void cabac_write_pred_part_mode(syntax_ctu_context *inst, cabac_encoder *coder, int32_t log2_size,
                                int32_t node, int32_t unit8);
void cabac_write_prediction_units(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                  int32_t x, int32_t y, int32_t log2_size);
void cabac_write_prediction_unit(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                 int32_t x, int32_t y, int32_t width, int32_t height, int32_t depth);
void cabac_write_merge_idx(cabac_encoder *coder, int32_t idx, int32_t max_num_merge_cand);
void cabac_write_ref_idx(cabac_encoder *coder, int32_t ref_idx, int32_t num_ref_active);
void cabac_write_mvd(cabac_encoder *coder, const int16_t mvd[2]);
void cabac_write_intra_luma_modes(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                  int32_t log2_size, uint32_t part_mode);
// The three most probable modes of the PU whose first 4x4 unit is z.
void intra_mpm_list(const syntax_ctu_context *inst, int32_t z, int32_t out[3]);
// The same from the per-4x4 intra mode array alone (layout above), for the
// mode searches.
void intra_mpm_from_modes(const int8_t *intra_modes, int32_t z, int32_t out[3]);

// ---- Transform tree, QP delta and residual coding ----
void cabac_write_transform_tree(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                int32_t x, int32_t y, int32_t log2_size, int32_t log2_cu);
void cabac_write_cu_qp_delta(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z);
// Level block of plane (0 luma, 1 Cb, 2 Cr) for the block at luma z-index z.
const int16_t *syntax_block_levels(const syntax_ctu_context *inst, int32_t z, int32_t plane);
// The same within the plane's level array plane_levels.
const int16_t *syntax_levels_at(const int16_t *plane_levels, int32_t z, int32_t plane);
void cabac_write_residual(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                          int32_t log2_size, int32_t scan, int32_t plane);
// The same for a block given directly (N x N levels in raster order, at least
// one non-zero); sign_hiding as the PPS's sign_data_hiding_enabled_flag.
void cabac_write_residual_block(cabac_encoder *coder, const int16_t *levels, int32_t log2_size,
                                int32_t scan, int32_t is_chroma, int32_t sign_hiding,
                                const scan_tables *scans, const metric_table *metrics);
void cabac_write_last_sig_coeff_pos(cabac_encoder *coder, int32_t log2_size, int32_t x, int32_t y,
                                    int32_t is_chroma);
void cabac_write_coeff_abs_level_remaining(cabac_encoder *coder, int32_t k, uint32_t value);

// coeff_abs_level_remaining with Rice parameter k as a bypass string: prefix
// ones, a zero, then the suffix in suffix_bins bits. Below 3 x 2^k the value
// is a Rice code; above, an Exp-Golomb escape of order k + 1 follows three
// ones. value must stay below 2^20, as every 16-bit level does.
struct rice_code {
    int prefix;
    int suffix_bins;
    uint32_t suffix;
};
static inline rice_code coeff_remaining_code(int k, uint32_t value)
{
    if (value < (3u << k))
        return {(int)(value >> k), k, value & ((1u << k) - 1u)};
    const uint32_t u = value - (3u << k);
    const int m = 31 - __builtin_clz((u >> k) + 1);
    return {3 + m, m + k, u - (((1u << m) - 1u) << k)};
}

// Context increments of sig_coeff_flag inside a 4x4 sub-block, by scan kind
// and pattern (0..3 = right + 2 x below coded neighbours, 4 = a 4x4 TB):
// sixteen 4-bit values in scan order, scan position 15 in the lowest nibble.
extern const uint64_t sig_ctx_pattern_table[3][5];
// Low nibble: prefix group of a last-position coordinate 0..31; high nibble:
// the suffix length.
extern const uint8_t last_pos_group_table[32];
