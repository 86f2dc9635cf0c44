// What the CU decisions of P and B pictures on the fast speed levels share:
// the prediction units of a CU, the screening of merge candidates, the luma
// prediction of a candidate's motion, the motion search of one list over its
// references and the rough cost of a bi-prediction.
#pragma once
#include <cstdint>

#include "analysis/mode_search.h"

// A prediction unit inside the CTU: z-order index of its first 4x4 unit,
// luma position and size, and the shape index (6 - log2) of its CU.
struct pu_area {
    int32_t z, x, y, w, h, s;
};

// The merge candidates of a prediction unit, in H.265 order; a negative
// reference index marks a list that the candidate does not use.
struct merge_list {
    int32_t count;
    uint32_t mv[2][5];
    int8_t ref[2][5];
};

// A B picture (reference or not), as opposed to a P picture coded with B slices.
bool b_picture(const frame_instance *fi);
// The slice's active reference count of a list (0 for list 1 of a P slice).
int32_t active_ref_count(const frame_instance *fi, int32_t list);

void merge_list_build(row_context *ctx, const pu_area *pu, merge_list *m);
// Candidate i with the vectors of its used lists clamped so that the block
// stays within the CTU's candidate bounds; false when a clamped vector lies
// outside the encoder's motion-vector limits.
bool merge_candidate_clamp(row_context *ctx, const merge_list *m, int32_t i, const pu_area *pu,
                           uint32_t clamped[2]);
// Whether candidates a and b carry the same reference indices and the same
// vectors in the lists they use; lists_compared 1 looks at list 0 only.
bool merge_same_motion(const merge_list *m, int32_t a, int32_t b, int32_t lists_compared);

// The luma prediction of (ref, mv) into the work plane at the unit: one list
// from the reference's phase planes or by interpolation, two lists as the
// average of their 8-bit predictions. Vectors are clamped by the caller.
void fast_luma_predict(row_context *ctx, const pu_area *pu, const int8_t ref[2], const uint32_t mv[2]);
// The rough metric of the unit's prediction against the source.
uint32_t fast_luma_metric(row_context *ctx, const pu_area *pu, pair_metric_fn metric);

// Motion search of one list of a prediction unit over references 0 .. refs - 1.
struct list_search {
    pu_area pu;
    int32_t list;          // the list whose references and predictors are searched
    int32_t refs;
    int32_t likely_list;   // the reference-index map the likely-reference test reads
    int32_t fill_unit;     // the whole unit's reference-index entries take r, else its first one
    int32_t hint;          // the parent CU's reference index of the list, or negative
    int32_t fast;          // the fast search, else the full one
    int32_t keep_two;      // keep the best two results (a P picture coded with B slices)
    int32_t qp;
    int8_t cand_count;
    uint32_t cand[2];
};
// Fills best (and second with keep_two) with the strictly cheapest results;
// amvp and amvp_count receive the predictors of the reference that last
// improved the best. Both records start at COST_INFINITE.
void list_search_run(row_context *ctx, const list_search *ls, me_result *best, me_result *second,
                     uint32_t amvp[2], int32_t *amvp_count);
// The AMVP predictors of list 'list' for a reference written into the unit's
// first reference-index entry, and the difference of mv to the better one.
void list_predictor_diff(row_context *ctx, const pu_area *pu, int32_t list, int32_t ref, uint32_t mv,
                         int16_t diff[2]);
// Rough cost of bi-predicting the unit from a (list 0) and b (list 1): the
// metric of the averaged prediction plus the vector costs of both differences.
uint32_t bi_rough_cost(row_context *ctx, const pu_area *pu, const me_result *a, const me_result *b,
                       const int16_t d0[2], const int16_t d1[2], int32_t qp, pair_metric_fn metric);
// The 64x64 CU coded as four 32x32 transform units: its four children become
// plain transform leaves with its QP, lambdas and modes.
void cu64_transform_units(cu_node *tree);
// The reference index of 'list' of the parent of a CU below 64x64 when the
// parent's leaf was evaluated, else -2; its 2Nx2N vector through *mv.
int32_t parent_hint(const cu_node *tree, int32_t z, int32_t log2_size, int32_t list, uint32_t *mv);

// The decisions of the fast path.
void inter_pu_search_fast(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void intra_mode_search_fast(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void cu_decide_b_fast(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void cu_decide_p_fast(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void cu_search_fast_inter(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void cu_choose_fast_inter(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                          int32_t flags);
