// Motion search of one 8x8 block of a half-resolution source picture into the
// half-resolution plane of one reference, for the lookahead's frame costs.
#pragma once
#include <cstdint>

#include "analysis/motion/me_context.h"

struct mv_cost_table;

// What the search reads of its encoder besides the context: the vector-cost
// tables and the full-sample vector limits (set once when the encoder opens).
struct lowres_search_env {
    const mv_cost_table *mv_cost;
    int32_t mv_limit_min_x, mv_limit_min_y;
    int32_t mv_limit_max_x, mv_limit_max_y;
};

// Best whole-sample vector of the block at (ctx->ctu_x + pu->x, ctx->ctu_y +
// pu->y) towards pu->list, reference pu->ref_idx, priced as the 8x8 SATD plus
// twice the vector cost of the QP's layer-1 table. Start points are the
// predictors (rounded to whole samples) and the zero vector; with method 2 an
// iterated small diamond follows. A block reaching past the picture's right
// or bottom edge is not searched: both costs stay ME_COST_INFINITE and the
// vector is the first predictor.
void motion_search_lowres(const lowres_search_env *env, const me_context *ctx, me_result *out,
                          const pu_desc *pu, int32_t qp);
