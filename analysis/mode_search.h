// Operations of the CTU search of intra pictures on the rate-distortion path:
// CU records and commits, transform-unit coding, quantisation dispatch, cost
// helpers, the intra CU decision and the quad-tree. All work on the row
// context that codes the CTU and on its search state (search_records.h).
#pragma once
#include <cstdint>

#include "analysis/mode_decision.h"
#include "analysis/rd/search_records.h"

// ---- map helpers ----
void map_fill_rect(uint8_t *first, int32_t width, int32_t height, uint8_t value);
void map_mark_available(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h);
void map_mark_unavailable(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h);

// ---- records ----
void cu_node_init(row_context *ctx, cu_node *node);
// Rate-estimation snapshots of the live coder, per depth 0..4.
void rate_snapshot(row_context *ctx, int32_t depth);
void rate_restore(row_context *ctx, int32_t depth);
void cu_tree_commit(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// Reference indices and vectors of one prediction unit over w x h units of
// the motion grid from map position m; with fill_merge also its merge flag
// and candidate. The list-1 vector is written only for a unit that uses list 1.
void pu_motion_fill(ctu_motion_grid *g, int32_t m, int32_t w, int32_t h, uint8_t merge_flag, uint8_t merge_idx,
                    const uint32_t mv[2], const int8_t ref_idx[2], int32_t fill_merge);
void cu_state_save(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void cu_state_restore(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The OR of the coded-block flags of the four children of a node (log2 size 3..6).
uint8_t cu_children_cbf(const row_context *ctx, int32_t z, int32_t log2_size);
// A leaf kept in no save slot coded again from the coder state before the
// CU, so that reconstruction and coder state are the leaf's.
void cu_leaf_recode(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The split branch of a quad-tree node: the CU's area marked unavailable, the
// coder state of the node's start put back when its leaf was coded, the
// children inside the picture searched in z-order by 'search', and
// split_cu_flag 1 priced. Returns (bottom children inside << 1) | right.
typedef void (*cu_search_fn)(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                             int32_t log2_size);
int32_t cu_children_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                           int32_t leaf_coded, cu_search_fn search);
// The start of a split branch, as cu_children_search makes it, for the
// quad-trees that search the children themselves; returns the same sides.
int32_t cu_split_begin(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                       int32_t leaf_coded);
// A split abandoned after child k: the area left to the leaf is marked
// available again, the whole CU when it stopped in the top half, else the
// bottom-right quarter.
void cu_split_stopped(row_context *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t k);
void tu_layer_save(row_context *ctx, cu_node *tree, int32_t z, int32_t log2_size, int32_t layer);
void tu_layer_restore(row_context *ctx, cu_node *tree, int32_t z, int32_t log2_size, int32_t layer);

// ---- per-CTU set-up and tests ----
void ctu_search_setup(row_context *ctx);
// Depth range from the neighbours' depths (n neighbours; deep of them deep;
// m the smallest minimum depth); the I-slice and speed-step rules follow.
int32_t split_depth_from_neighbours(int32_t n, int32_t deep, int32_t m, int32_t speed_level);
int32_t cu_split_laplacian_test(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The inter no-split threshold of a QP and depth (0..2).
int32_t inter_qp_threshold(int32_t qp, int32_t depth);
// The intra keep-bias of a CTU QP and SSE lambda, in 64 bits.
int64_t intra_keep_bias_of(int32_t ctu_qp, uint32_t lambda_sse);

// ---- transform-unit coding ----
enum { TU_LUMA = 1, TU_CHROMA = 2, TU_FINAL = 64 };
int32_t chroma_qp_of(int32_t qp);
void tu_encode(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t qp,
               int32_t predict, int32_t residual, uint32_t flags);
// The intra prediction alone of a block (flags TU_LUMA and/or TU_CHROMA), as
// tu_encode predicting without a residual leaves it, for the rough stages that
// rank many modes by their predictions: the work planes and flags end the same,
// without the per-call set-up of the full coding.
void tu_predict(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t qp, uint32_t flags);
// The luma predictions of one block mode after mode, for the rough stages:
// what tu_predict leaves in the work plane, without its per-call set-up.
struct luma_mode_predictor {
    const intra_pred_table *table;
    uint8_t *dst;
    const uint8_t *ref, *smoothed;
    int32_t n, f, s;
};
// Sets up the block's predictor, gathering the reference samples where the
// search asks for them afresh and clearing the block's flags as tu_predict
// does; false where the block takes tu_predict's general path instead.
bool luma_mode_predictor_init(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                              luma_mode_predictor *p);
static inline void luma_mode_predict(const luma_mode_predictor *p, int32_t mode)
{
    const uint8_t *ref = p->n >= 8 && (intra_smoothing_flags[mode] & p->n) ? p->smoothed : p->ref;
    p->table->pred[mode][p->f][p->s](p->dst, CTU_WORK_STRIDE, ref);
}
void cbf_clear_tree(row_context *ctx, int32_t z, int32_t log2_size, uint8_t mask);
int32_t tu_quant(row_context *ctx, int16_t *levels, const int16_t *coeff, int32_t qp, int32_t log2_size,
                 int32_t plane, int32_t mode);
int32_t tu_quant_low(row_context *ctx, int16_t *levels, const int16_t *coeff, int32_t qp,
                     int32_t log2_size, int32_t plane, int32_t mode, int32_t k);
// The rate-distortion quantiser that tu_quant (k = 0) or tu_quant_low (k > 0)
// gives a block to, with its rounding offset; null where they quantise plainly.
rdoq_fn tu_rdoq_of(const row_context *ctx, int32_t k, uint16_t *round);

// Whether the CU holding 4x4 unit z is committed as an inter CU; a unit not
// committed yet reads as intra.
static inline bool cu_is_inter(const row_context *ctx, int32_t z)
{
    return ctx->ctu.maps.pred_mode_map[map8_index(z)] == 0;
}

// ---- inter prediction of a CU from the CTU's motion grid ----
// The chroma work-plane block (plane 1 Cb, 2 Cr) of the luma position (x, y).
uint8_t *chroma_work(row_context *ctx, int32_t plane, int32_t x, int32_t y);
// Clamps a vector of the block at (x, y) so that the block starts at most 71
// samples before the picture and 7 past it.
void mv_clamp(row_context *ctx, int16_t mv[2], int32_t x, int32_t y);
// An 8-bit luma prediction of one list at quarter-sample position (X, Y)
// relative to the CTU: a pointer into a phase plane or the reference when it
// can be read in place, else an interpolation (bilinear on request) into dst
// with stride 64. *stride is set to the result's stride.
const uint8_t *mc_luma_8bit(row_context *ctx, int32_t list, int32_t ref, int32_t X, int32_t Y, int32_t w,
                            int32_t h, uint8_t *dst, int32_t *stride, int32_t bilinear);
// The same prediction written into dst: copied out of a phase plane, else
// interpolated.
void mc_luma_into(row_context *ctx, int32_t list, int32_t ref, int32_t X, int32_t Y, int32_t w, int32_t h,
                  uint8_t *dst, int32_t dst_stride);
void inter_predict_cu(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t part_mode);
void inter_predict_pu(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h);
void mc_pu_l0(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h);
void mc_pu_l1(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h);
void mc_pu_bi(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h);
void mc_pu_bi_8bit(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h);

// Rough cost of the chroma prediction in the work planes of the block at luma
// (x, y): the metric of Cb and of Cr against the source. The chroma of a 4x4
// luma block is the 4x4 chroma block of its 8x8 area, so the position is
// taken at the 8x8 unit.
uint32_t chroma_rough_cost(const ctu_context *c, int32_t x, int32_t y, pair_metric_fn metric);

// ---- rate estimation of the CTU syntax (on ctx->cabac's estimate) ----
void rate_residual_block(row_context *ctx, int32_t z, int32_t log2_size, int32_t scan, int32_t plane);
void rate_intra_luma_mode(row_context *ctx, int32_t z, int32_t log2_size);
void rate_coding_unit(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The CU without its transform tree, and the transform tree of a CU on the
// record given.
void rate_coding_unit_no_tree(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void rate_transform_tree(row_context *ctx, cabac_encoder *rec, int32_t z, int32_t x, int32_t y,
                         int32_t log2_size);
// cu_qp_delta of the quantisation group whose first CU holds 4x4 unit z.
void rate_cu_qp_delta(row_context *ctx, int32_t z);
void intra_mpm_modes(const row_context *ctx, int32_t z, int32_t out[3]);
// The rough stages' estimate of the bins of luma mode m: the first most
// probable mode codes in 2, the other two in 3, any other mode in 6.
enum { INTRA_BINS_MPM0 = 2, INTRA_BINS_MPM12 = 3, INTRA_BINS_OTHER = 6 };
static inline uint32_t intra_mode_bins(const int32_t mpm[3], int32_t m)
{
    return m == mpm[0] ? INTRA_BINS_MPM0 : (m == mpm[1] || m == mpm[2] ? INTRA_BINS_MPM12 : INTRA_BINS_OTHER);
}

// ---- cost helpers ----
uint32_t rate_term(uint32_t bits, uint32_t lambda);
uint32_t rd_split_flag_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t depth, int32_t flag);
uint32_t rd_luma_distortion(row_context *ctx, int32_t log2_size, int32_t x, int32_t y);
uint32_t rd_chroma_distortion(row_context *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp);
uint32_t rd_cu_distortion(row_context *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp);
uint32_t rd_luma_tu_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                         int32_t log2_size, int32_t predict);
uint32_t rd_chroma_tu_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                           int32_t log2_size, int32_t predict);
// Codes the CU as the node and the maps describe it (a skipped CU without
// residual) and returns distortion plus the CU's bits; variant 1 bi-predicts
// luma through 8-bit predictions. With require_residual a CU that codes no
// coefficient costs COST_INFINITE; a merged 2Nx2N CU without coefficients
// becomes a skipped one. The _predicted form keeps the prediction already in
// the work planes.
uint32_t rd_cu_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    int32_t variant, int32_t require_residual);
uint32_t rd_cu_cost_predicted(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                              int32_t log2_size, int32_t variant, int32_t require_residual);
uint32_t rd_cu_cost_current(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                            int32_t log2_size);
// Inter CUs: the cheaper of coding the residual and dropping it (the
// _predicted form starts from the prediction in the work planes, of known
// distortion), the distortion of the prediction alone, and the cost with a
// residual coded against the prediction in the work planes (COST_INFINITE
// when no coefficient is left).
uint32_t rd_cu_cost_residual_test(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y,
                                  int32_t log2_size, int32_t require_residual);
uint32_t rd_cu_cost_residual_test_predicted(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y,
                                            int32_t log2_size, int32_t require_residual,
                                            uint32_t prediction_distortion);
uint32_t rd_cu_prediction_distortion(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y,
                                     int32_t log2_size);
uint32_t rd_cu_cost_with_residual(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y,
                                  int32_t log2_size);
// Transform-tree flags of an inter node as they stand, and of a node without
// residual.
uint32_t rd_tu_flags_cost_inter(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                                int32_t log2_size);
uint32_t rd_tu_flags_cost_empty(row_context *ctx, uint32_t lambda, int32_t z, int32_t log2_size);
// The rate term of the luma mode of the prediction unit at z, written into
// the intra-mode map first.
uint32_t rd_intra_mode_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t mode);
// The decided region at (z, x, y) coded and priced whole: each leaf CU coded
// as committed, its split flags, and where QP deltas are coded the delta of
// each quantisation group with the CU that starts it. Quarters that start
// outside the picture are left out; a node at the picture edge still prices
// its split flag. The caller marks the region unavailable first, as a split
// branch does, so that each CU predicts from what precedes it.
uint32_t rd_quadtree_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size);

// ---- transform-tree search (intra nodes) ----
uint32_t rd_tu_flags_cost_intra(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                                int32_t log2_size);
void tu_tree_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    uint32_t flags, int32_t final_result);
void intra_tu_tree_code(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                        uint32_t mask, int32_t split_search);

// ---- intra decision and quad-tree ----
void intra_luma_mode_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                            int32_t log2_size);
void intra_cu_decide(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void chroma_mode_decide(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
int32_t intra_mode_preselect(row_context *ctx, uint8_t list[INTRA_MODE_COUNT], int32_t *representative,
                             int32_t log2_size, int32_t x, int32_t y);
void cu_decide_i(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void cu_mode_dispatch(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The leaf stage of a rate-distortion quad-tree node (search mode 0 or 1):
// the CU decided whole by its slice's decision, and split_cu_flag 0 priced.
void cu_leaf_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    int32_t mode);

// ---- inter decisions of the rate-distortion path ----
void cu_search_rdo_inter(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void cu_decide_b(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void cu_decide_p(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// Intra candidate of a P or B CU (log2 size 3..5): its rough cost, and, where
// allowed, its full cost (intra_rd_flag set).
void intra_decide_in_inter(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The full-cost stage of the intra candidate of a P or B CU, on both paths:
// each finalist coded whole (2Nx2N, one transform unit, chroma derived) in
// its luma mode from the depth's rate snapshot. 'start' codes the first;
// 'try' keeps a later one that costs no more, so that it wins a tie;
// 'settle' records the best in the node.
struct intra_finalists {
    row_context *ctx;
    cu_node *tree, *node;
    int32_t z, x, y, log2;
    uint32_t cost;
    int32_t mode;
    uint8_t cbf;
};
void intra_finalists_start(intra_finalists *f, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                           int32_t log2_size, int32_t mode);
void intra_finalists_try(intra_finalists *f, int32_t mode);
void intra_finalists_settle(const intra_finalists *f);
void cu_search_rdo_intra(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// I-slice CU decision with the half-resolution rough mode search (CUs of
// log2 size 3..6), and the search itself: returns 0 (log2 size below 4, or no
// half-resolution plane), 2 or 3 modes in ascending rough cost.
void cu_decide_intra_presearch(row_context *ctx, cu_node *tree, coarse_search_context *coarse, int32_t z,
                               int32_t x, int32_t y, int32_t log2_size);
int32_t intra_halfres_presearch(row_context *ctx, coarse_search_context *scratch, int32_t x, int32_t y,
                                int32_t log2_size, const uint8_t allowed[INTRA_MODE_COUNT], uint32_t out_modes[3],
                                const int32_t mpm[3], uint32_t lambda);
// Coarse motion-search variants of the P and B CU decisions (CUs of log2
// size 4..6), and their per-CTU set-up of the half-resolution search.
void coarse_search_ctu_setup(row_context *ctx, coarse_search_context *cs);
void cu_decide_p_coarse(row_context *ctx, cu_node *tree, coarse_search_context *cs, int32_t z, int32_t x,
                        int32_t y, int32_t log2_size);
void cu_decide_b_coarse(row_context *ctx, cu_node *tree, coarse_search_context *cs, int32_t z, int32_t x,
                        int32_t y, int32_t log2_size);
// Quad-tree of intra pictures on the fast speed levels.
void cu_search_fast_intra(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// packed = (mode << 2) | (bottom half inside << 1) | right half inside; mode 0
// leaf only, 1 leaf and split, 2 split only.
void cu_choose_fast_intra(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                          int32_t packed);
void ctu_texture_weights(row_context *ctx);
