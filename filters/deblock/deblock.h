// In-loop deblocking filter: boundary strengths and edge QPs on the 8x8 luma
// grid of each CTU, per-CTU edge filtering inside the wavefront, and the edge
// kernels behind one table of function pointers.
//
// Always on, with no beta, tc or chroma QP offsets (the PPS signals none).
#pragma once
#include <cstdint>

#include "bitstream/syntax_values.h"
#include "filters/deblock/deblock_ctu_maps.h"

// ---- Edge kernels -------------------------------------------------------------

// q0 addresses the first sample after the edge on the first line. A luma call
// covers 8 lines (lines 0..3 with tc[0], 4..7 with tc[1]); a chroma call covers
// 4 lines of Cb (tc[0]) and 4 lines of Cr (tc[1]). A tc of 0 leaves its lines
// unchanged. beta is 0..64, each tc 0..24.
typedef void (*deblock_luma_edge_fn)(uint8_t *q0, uint32_t stride, int32_t beta,
                                     const int32_t *tc);
typedef void (*deblock_chroma_edge_fn)(uint8_t *cb_q0, uint8_t *cr_q0, uint32_t stride,
                                       const int32_t *tc);

struct deblock_table {
    deblock_luma_edge_fn luma_ver_edge;      // 0
    deblock_luma_edge_fn luma_hor_edge;      // 1
    deblock_chroma_edge_fn chroma_ver_edge;  // 2
    deblock_chroma_edge_fn chroma_hor_edge;  // 3
};

// Portable kernels first, then the AVX2-flag set where the processor runs it.
void deblock_table_init(uint32_t cpu_flags, deblock_table *table);

void deblock_luma_ver_edge_c(uint8_t *q0, uint32_t stride, int32_t beta, const int32_t *tc);
void deblock_luma_hor_edge_c(uint8_t *q0, uint32_t stride, int32_t beta, const int32_t *tc);
void deblock_chroma_ver_edge_c(uint8_t *cb, uint8_t *cr, uint32_t stride, const int32_t *tc);
void deblock_chroma_hor_edge_c(uint8_t *cb, uint8_t *cr, uint32_t stride, const int32_t *tc);

// The AVX2-flag forms (128-bit vectors, SSE4.1 and SSSE3 instructions inside):
// the same samples as the portable ones. They load and store back the whole
// window (8x8 luma; p1..q1 of a vertical chroma edge), unchanged samples too.
void deblock_luma_ver_edge_avx2(uint8_t *q0, uint32_t stride, int32_t beta, const int32_t *tc);
void deblock_luma_hor_edge_avx2(uint8_t *q0, uint32_t stride, int32_t beta, const int32_t *tc);
void deblock_chroma_ver_edge_avx2(uint8_t *cb, uint8_t *cr, uint32_t stride, const int32_t *tc);
void deblock_chroma_hor_edge_avx2(uint8_t *cb, uint8_t *cr, uint32_t stride, const int32_t *tc);

// One 4-line luma half: decisions and filters of H.265 for 8-bit samples.
void deblock_luma_filter4(uint8_t *q0, intptr_t step_across, intptr_t step_along, int beta,
                          int tc);
// Strong-filter test of one decision line; dpq2 is twice the line's dpq.
bool deblock_luma_strong_decision(const uint8_t *q0, intptr_t step_across, int dpq2, int beta,
                                  int tc);
// The chroma filter of 4 lines of one plane.
void deblock_chroma_filter4(uint8_t *q0, intptr_t step_across, intptr_t step_along, int tc);

// ---- Constant tables -----------------------------------------------------------

extern const uint8_t deblock_beta_table[QP_MAX + 1];      // beta' by Q = 0..51
extern const uint8_t deblock_tc_table[54];        // tC' by Q = 0..53
extern const uint8_t deblock_chroma_qp_table[58]; // QpC by qPi = 0..57 (4:2:0)

// ---- Per-CTU state ---------------------------------------------------------------

// Boundary strengths of one CTU: 256 signed bytes.
//   0..127   vertical edges: column c (x = 8c) x 16 + segment row s x 2 + half h
//   128..255 horizontal edges: 128 + row r (y = 8r) x 16 + segment column s x 2 + half h
// Values: -1 no block edge; 0 edge not filtered (also the picture's left and
// top edges); 1 motion differs; 2 transform edge with coded luma coefficients;
// 3 transform edge inside an intra CU; 4 CU edge with an intra CU on a side.
// Luma is filtered where the value is above 0, chroma where it is 3 or more.
enum {
    DEBLOCK_BS_ENTRY = 256,
    DEBLOCK_BS_HOR = 128,
    DEBLOCK_QP_BLOCK = 128,  // 64 vertical-edge QPs, then 64 horizontal-edge QPs
};

// What the deblocking of a CTU reads and writes of its coding context (the
// encoder instance that codes the CTU's row).
struct deblock_context {
    // decisions of the CTU in hand (deblock_prepare_ctu adds flags bits 4..7)
    ctu_cu_maps *maps;
    const ctu_motion_grid *motion;
    const cu_decision_arrays *decisions;

    int32_t pic_width;
    int32_t pic_height;
    int32_t ctu_cols;
    uint32_t slice_type;    // 0 B, 1 P, 2 I
    int32_t picture_type;   // of the reconstructed picture; PIC_TYPE_P: a B slice then repeats list 0
    uint32_t cu_qp_delta_enabled;
    int32_t max_tu_depth_inter;  // transform-tree depth limits of the sequence
    int32_t max_tu_depth_intra;

    int32_t ctu_x;
    int32_t ctu_y;
    int32_t ctu_addr;
    int32_t ctu_min_block_size;  // smallest CU, PU or TU of the CTU

    // DEBLOCK_BS_ENTRY bytes per CTU of the picture, by CTU address
    int8_t *deblock_bs_map;
    // DEBLOCK_QP_BLOCK bytes per CTU column with cu_qp_delta, else one block
    int8_t *deblock_qp_table;
    // where the CTU reconstructions are stored and filtered in place; the
    // two chroma strides are equal
    uint8_t *deblock_planes[3];
    uint32_t strides[3];
    const deblock_table *table;
};

// Bytes of the QP table one context needs.
static inline int32_t deblock_qp_table_size(uint32_t cu_qp_delta_enabled, int32_t ctu_cols)
{
    return cu_qp_delta_enabled ? DEBLOCK_QP_BLOCK * ctu_cols : DEBLOCK_QP_BLOCK;
}

// ---- Boundary strengths ------------------------------------------------------------

// Edge QPs and boundary strengths of the CTU in hand (ctu_x, ctu_y, ctu_addr
// set, maps complete). Also sets flags bits 4..7 of the CTU's units.
void deblock_prepare_ctu(deblock_context *ctx);
void deblock_bs_cu_tree(deblock_context *ctx, int z, int x, int y, int log2_size);
void deblock_bs_cu(deblock_context *ctx, int z, int x, int y, int log2_size);
// A transform tree from its node of log2_size at `depth` below the CU, split
// as the syntax codes it (tu_node_splits with the CU's max_depth and
// root_split).
void deblock_bs_tu_tree(deblock_context *ctx, int z, int x, int y, int log2_size, int depth, int max_depth,
                        bool root_split);
// Left and top edges of one w x h PU or TU; edge_flags bit 0: the left edge is
// a transform edge, bit 1: the top edge is.
void deblock_bs_block(deblock_context *ctx, int z, int x, int y, int w, int h, int edge_flags);

// ---- Filtering --------------------------------------------------------------------

// Filters the CTU just stored in the deblock planes: its vertical edges, the
// deferred columns of the left CTU's horizontal edges, then its own
// horizontal edges (all columns at a row end, else all but the last 4 luma
// and 4 chroma columns, which the next CTU's job filters).
void deblock_ctu(deblock_context *ctx, int ctu_x, int ctu_y);
void deblock_ver_edges_ctu(const deblock_context *ctx, int step, const uint32_t strides[3],
                           uint8_t *const planes[3], const int8_t *entry, const int8_t *qp_block);
void deblock_hor_edges_ctu(const deblock_context *ctx, int step, const uint32_t strides[3],
                           uint8_t *const planes[3], const int8_t *entry, const int8_t *qp_hor);
void deblock_hor_edges_ctu_row_end(const deblock_context *ctx, int step,
                                   const uint32_t strides[3], uint8_t *const planes[3],
                                   const int8_t *entry, const int8_t *qp_hor);
void deblock_hor_edges_left_ctu(const deblock_context *ctx, int step, const uint32_t strides[3],
                                uint8_t *const left_planes[3], const int8_t *left_entry,
                                const int8_t *left_qp_hor);
