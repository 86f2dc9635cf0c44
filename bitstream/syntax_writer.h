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
#include "kernels/metrics/metric.h"
#include "kernels/quant/scan_tables.h"

// ---- Decided CTU records ----

// Tree nodes of one CTU: 64x64 (1), 32x32 (4), 16x16 (16), 8x8 (64), 4x4 (256).
enum { cu_tree_nodes = 341 };

// Node index of the block of log2 size s (2..6) whose first 4x4 unit has the
// CTU z-index z.
static inline int cu_node_index(int z, int log2_size)
{
    static const int depth_offset[5] = {85, 21, 5, 1, 0};   // by log2 size 2..6
    return depth_offset[log2_size - 2] + (z >> (2 * (log2_size - 2)));
}

enum {
    part_2Nx2N = 0,
    part_2NxN = 1,
    part_Nx2N = 2,
    part_NxN = 3,
};

// Coded-block byte of a node: bit 0 luma, bit 1 Cb, bit 2 Cr. A split node
// holds the union of what lies below it; for the four 4x4 luma blocks of an
// 8x8 the chroma bits of the 8x8's two 4x4 chroma blocks sit in the fourth.
enum { cbf_luma_bit = 1, cbf_cb_bit = 2, cbf_cr_bit = 4 };

struct cu_decision_arrays {
    int32_t cu_split[cu_tree_nodes];    // 1 split; 0 at 8x8; 1 where a CU crosses the picture edge
    int32_t tu_split[cu_tree_nodes];    // 1 split; equals the decoder's inference where not sent
    uint32_t part_mode[cu_tree_nodes];  // part_2Nx2N .. part_NxN
    uint8_t cbf[cu_tree_nodes];
};

// Per-8x8 maps: 16 columns x 10 rows, the CTU's units at rows 1..8, columns
// 8..15; column 7 is the left CTU's right column, row 0 the above CTU's bottom
// row. Per-4x4 intra modes: rows of 32, the CTU at rows 1..16, columns 16..31,
// left border in column 15, row 0 always -1; the chroma mode index of each
// 8x8 unit (0..3, or 4 for the luma-derived mode) sits at columns 0..7 of
// rows 1..8, at the positions zorder_to_map4[256..319] give.
enum {
    map8_stride = 16,
    map8_size = 160,
    map4_stride = 32,
    map4_size = 17 * 32,
};

enum {
    cu_flag_skip = 1,       // skipped CU
    cu_flag_residual = 2,   // CU has coded residual (kept by the writer)
};

struct ctu_cu_maps {
    uint8_t flags[map8_size];
    int8_t depth[map8_size];       // CU depth 0..3, negative when unavailable
    uint8_t tu_size[map8_size];
    int8_t qp[map8_size];          // negative when unavailable
    int8_t pred_mode[map8_size];   // 1 intra, 0 inter, negative none
    uint8_t merge_flag[map8_size];
    int8_t merge_idx[map8_size];
    int8_t intra_mode[map4_size];  // luma modes per 4x4 (-1 unavailable), chroma indices per 8x8
};

// Motion of the PU covering each 8x8 unit, in the layout of the 8x8 maps.
// Vectors: x in the low 16 bits, y in the high 16 bits, quarter samples.
struct ctu_motion_grid {
    int8_t ref_idx[2][map8_size];  // -1 list not used
    uint32_t mv[2][map8_size];
};

// SAO parameters of one CTU and plane.
enum { sao_type_band = 4, sao_type_off = 5 };   // 0..3 are the edge classes
struct sao_param {
    int32_t type;
    int32_t band_position;
    int32_t offset[4];   // edge: [0], [1] >= 0, [2], [3] <= 0; band: -7..7
};

// z-order positions of the CTU's 8x8 units in the per-8x8 maps, and of its
// 4x4 units (entries 0..255) and chroma mode indices (256..319) in the
// per-4x4 intra mode array.
extern const uint8_t zorder_to_map8[64];
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
// Fills a width x height block of a per-8x8 map (byte elements) with value.
void map8_fill_block(uint8_t *first_unit, int32_t width, int32_t height, uint8_t value);

// ---- Transform tree, QP delta and residual coding ----
void cabac_write_transform_tree(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                int32_t x, int32_t y, int32_t log2_size, int32_t log2_cu);
void cabac_write_cu_qp_delta(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z);
// Level block of plane (0 luma, 1 Cb, 2 Cr) for the block at luma z-index z.
const int16_t *syntax_block_levels(const syntax_ctu_context *inst, int32_t z, int32_t plane);
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

// Context increments of sig_coeff_flag inside a 4x4 sub-block, by scan kind
// and pattern (0..3 = right + 2 x below coded neighbours, 4 = a 4x4 TB):
// sixteen 4-bit values in scan order, scan position 15 in the lowest nibble.
extern const uint64_t sig_ctx_pattern_table[3][5];
// Low nibble: prefix group of a last-position coordinate 0..31; high nibble:
// the suffix length.
extern const uint8_t last_pos_group_table[32];
