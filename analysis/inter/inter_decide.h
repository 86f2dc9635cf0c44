// What the rate-distortion CU decisions of P and B slices share: the CU being
// decided, its merge candidates with their rough costs, and the stages both
// run the same way (set-up, skip pricing, the early-skip test, the leaf
// coding and the last comparison with skip).
#pragma once
#include <cstdint>

#include "analysis/mode_search.h"

enum { MERGE_MAX_CANDIDATES = 5 };

struct inter_cu_decision {
    row_context *ctx;
    mode_search_state *st;
    cu_node *tree, *node, *parent;
    int32_t z, x, y, log2, size, depth;
    int32_t unit;                      // the CU's first 8x8 unit in the CTU maps
    int32_t lowres_block;              // the lookahead block of the CU
    pair_metric_fn metric;             // rough metric of luma predictions
    int32_t bilinear;                  // rough predictions interpolate bilinearly
    // The coarse-search decisions: the skip is always priced and a 64x64 CU
    // takes no residual shortcut.
    int32_t coarse;
    // merge candidates (list 1 unused in P slices: reference index -1); a
    // candidate whose clamped vector has a fraction bit of its mask set is
    // not tried
    int32_t count;
    uint32_t mv[2][MERGE_MAX_CANDIDATES];
    int8_t ref[2][MERGE_MAX_CANDIDATES];
    uint32_t temporal_mask;
    uint8_t fraction_mask[MERGE_MAX_CANDIDATES];
    int32_t best, second, alternative; // candidate indices, -1 none
    uint32_t best_cost, second_cost;
    int32_t early_skip;
};

void inter_cu_setup(inter_cu_decision *d, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                    int32_t log2_size);
// Puts merge candidate i (unclamped motion) into the node's 2Nx2N unit.
void inter_pu_take_merge(inter_cu_decision *d, int32_t i, int32_t merge_flag);
// References a list searches: the active ones the slice has, one under time
// pressure.
int32_t inter_searched_refs(const row_context *ctx, int32_t list);
// Temporal merge candidates are tried at full-sample positions only.
void inter_merge_fraction_temporal(inter_cu_decision *d);
// Rough cost of a luma prediction of one or two lists (clamped vectors,
// bilinear previews when fast merge prediction is on): the CU's metric
// against the source. Two lists are averaged into the luma work plane.
uint32_t inter_rough_metric(inter_cu_decision *d, const int8_t ref[2], const uint32_t mv[2]);
// Rough costs of the merge candidates; the best and second-best are kept.
void inter_merge_rough(inter_cu_decision *d);
// Prices the best merge candidate as skip (or, outside the coarse search,
// records it unpriced at the lowest speed levels for a large rough cost); the
// rule says when a close second candidate is kept for a retry as skip. The
// node's unit keeps the best candidate's motion with the merge flag set.
enum { SKIP_SECOND_P = 0, SKIP_SECOND_B = 1, SKIP_SECOND_NONE = 2 };
void inter_skip_price(inter_cu_decision *d, int32_t second_rule);
// The early-skip flag from the skip cost and the co-located distortion
// bound; from speed level 3 the skip cost is compared with k lambda_sse per
// 256 samples unless skip_threshold_off.
void inter_early_skip(inter_cu_decision *d, int32_t skip_threshold_off, int32_t k);
// Intra may be tried at all: below 64x64, without an early skip, in a CTU that
// allows intra, and under time pressure at 8x8 only.
bool inter_intra_possible(const inter_cu_decision *d);
// The lookahead said intra was the block's best prediction.
bool inter_lowres_intra_best(const inter_cu_decision *d, int32_t past, int32_t future);
// The CU's activity is low against its best rough inter cost.
bool inter_activity_low(const inter_cu_decision *d);
// Clears merge with residual; whether the motion search runs (no early skip,
// and not a CU the lookahead found intra-like whose skip was priced).
bool inter_motion_stage_due(inter_cu_decision *d);
// The rest of a decision after its motion stage: the intra candidate when
// allowed, then the early skip, or the kept leaf coded against the intra
// candidate priced by full cost (true_b: the residual-free 64x64 coding of
// true B pictures), merge with residual and skip.
void inter_decide_finish(inter_cu_decision *d, bool try_intra, int32_t true_b);
// The close call of merge against an inter candidate of rough cost
// inter_cost: when the variant allows it, the CTU's decision level is above
// 1, a merge candidate and the inter candidate exist and each rough cost is
// below one and a half times the other plus two lambdas, the best merge
// candidate is coded with residual from the depth's coder state and its full
// cost kept. Sets and returns the row context's close-call flag.
bool inter_merge_close_call(inter_cu_decision *d, uint64_t inter_cost, bool allowed);
// Price of the vector difference of one list.
uint32_t inter_mvd_cost(const inter_cu_decision *d, const int16_t mvd[2]);
// The motion search of one list and reference for the CU; the AMVP
// predictors are left in pu.
me_result inter_search_ref(inter_cu_decision *d, pu_desc *pu, int32_t list, int32_t ref, int32_t parent_ref,
                           uint32_t bound);
