// Motion of the two prediction units of a 2NxN or Nx2N CU on the fast path.
// Per unit, in order: the best merge candidate by rough cost, a motion search
// per list and reference, one bi-prediction of the best two results, and the
// cheapest of uni-list 0, uni-list 1, bi-prediction and merge. Each unit's
// motion is committed into the motion grid before the next unit is searched,
// so that the second unit's candidate lists see the first. Rough costs only:
// the caller prices the whole partition afterwards.
#include "analysis/inter_fast/inter_fast.h"

#include "analysis/motion/amvp.h"

namespace {

enum { MERGE_IDX_MAX_BINS = 4 };

struct unit_merge {
    merge_list list;
    int32_t best;      // index into the list, -1 none
    uint32_t cost;
};

// The merge candidate of the unit with the strictly lowest rough cost: the
// metric of its prediction plus lambda for each bin of its index. Only the
// current best is compared for duplicates.
void unit_merge_search(row_context *ctx, const cu_node *node, const pu_area *pu, pair_metric_fn metric,
                       unit_merge *um)
{
    merge_list_build(ctx, pu, &um->list);
    um->best = -1;
    um->cost = COST_INFINITE;
    const merge_list *m = &um->list;
    for (int32_t i = 0; i < m->count; i++) {
        uint32_t clamped[2];
        if (!merge_candidate_clamp(ctx, m, i, pu, clamped)) continue;
        if (um->best >= 0 && merge_same_motion(m, i, um->best, 2)) continue;
        const int8_t ref[2] = {m->ref[0][i], m->ref[1][i]};
        fast_luma_predict(ctx, pu, ref, clamped);
        uint32_t bins = (uint32_t)(i + 1 < MERGE_IDX_MAX_BINS ? i + 1 : MERGE_IDX_MAX_BINS);
        uint32_t cost = fast_luma_metric(ctx, pu, metric) + bins * node->lambda_satd;
        if (cost < um->cost) {
            um->cost = cost;
            um->best = i;
        }
    }
}

// The motion a unit ends with.
struct unit_choice {
    uint8_t merge;
    int8_t ref[2];
    uint32_t mv[2];
};

// The search of list l for a unit, seeded by the best merge candidate's
// vector of that list.
void unit_list_search_set_up(list_search *ls, row_context *ctx, cu_node *tree, const cu_node *node,
                             const pu_area *pu, int32_t l, int32_t pair, int32_t log2_size, const unit_merge *um)
{
    ls->pu = *pu;
    ls->list = l;
    ls->refs = active_ref_count(ctx->fi, l);
    ls->likely_list = 0;
    ls->fill_unit = 0;
    uint32_t unused;
    ls->hint = parent_hint(tree, pu->z, log2_size, l, &unused);
    ls->fast = 1;
    ls->keep_two = pair;
    ls->qp = node->qp;
    if (um->best >= 0 && um->list.ref[l][um->best] >= 0) {
        ls->cand[0] = um->list.mv[l][um->best];
        ls->cand_count = 1;
    }
}

// The vector differences bi-prediction is priced with, against the best
// predictor of each list; when list 1 repeats list 0, its record holds list
// 0's second result, priced against list 1's own predictors.
void unit_mvds(row_context *ctx, const pu_area *pu, me_result *const rec[2], int32_t pair,
               const uint32_t amvp[2][2], const int32_t amvp_count[2], int16_t d[2][2])
{
    if (rec[0]->cost < COST_INFINITE) mvd_best_predictor(&rec[0]->mv, amvp[0], amvp_count[0], d[0]);
    if (rec[1]->cost < COST_INFINITE) {
        if (pair) list_predictor_diff(ctx, pu, 1, rec[1]->ref_idx, rec[1]->mv, d[1]);
        else mvd_best_predictor(&rec[1]->mv, amvp[1], amvp_count[1], d[1]);
    }
}

// The cheapest of uni-list 0, uni-list 1, bi-prediction and merge, in that
// order on ties.
unit_choice unit_choice_of(me_result *const rec[2], uint32_t u0, uint32_t u1, uint32_t bi, const unit_merge *um)
{
    uint32_t m = u0 < u1 ? u0 : u1;
    if (bi < m) m = bi;
    if (um->cost < m) m = um->cost;
    unit_choice c{};
    c.ref[0] = c.ref[1] = -2;
    if (m >= COST_INFINITE) {
        // Nothing found: the zero vector of the first list-0 reference.
        c.ref[0] = 0;
    } else if (u0 == m) {
        c.ref[0] = rec[0]->ref_idx;
        c.mv[0] = rec[0]->mv;
    } else if (u1 == m) {
        c.ref[1] = rec[1]->ref_idx;
        c.mv[1] = rec[1]->mv;
    } else if (bi == m) {
        c.ref[0] = rec[0]->ref_idx;
        c.ref[1] = rec[1]->ref_idx;
        c.mv[0] = rec[0]->mv;
        c.mv[1] = rec[1]->mv;
    } else {
        c.merge = 1;
        for (int32_t l = 0; l < 2; l++) {
            c.ref[l] = um->list.ref[l][um->best];
            c.mv[l] = um->list.mv[l][um->best];
        }
    }
    return c;
}

// Searches unit p and returns its choice; records 2p and 2p + 1 of the node
// keep the search results.
unit_choice unit_search(row_context *ctx, cu_node *tree, cu_node *node, const pu_area *pu, int32_t p,
                        pair_metric_fn metric, pu_pair_motion *area, int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    int32_t pair = st->gpb, lists = b_picture(ctx->fi) ? 2 : 1;
    unit_merge um;
    unit_merge_search(ctx, node, pu, metric, &um);
    area->merge_idx[p] = (uint8_t)um.best;
    me_result *rec[2] = {&node->pu_search[2 * p], &node->pu_search[2 * p + 1]};
    rec[1]->cost = COST_INFINITE;
    uint32_t amvp[2][2] = {{0, 0}, {0, 0}};
    int32_t amvp_count[2] = {0, 0};
    for (int32_t l = 0; l < lists; l++) {
        list_search ls{};
        unit_list_search_set_up(&ls, ctx, tree, node, pu, l, pair, log2_size, &um);
        list_search_run(ctx, &ls, rec[l], pair ? rec[1] : nullptr, amvp[l], &amvp_count[l]);
    }
    int16_t d[2][2] = {{0, 0}, {0, 0}};
    unit_mvds(ctx, pu, rec, pair, amvp, amvp_count, d);
    uint32_t u0 = rec[0]->cost, u1 = lists == 2 ? rec[1]->cost : COST_INFINITE, bi = COST_INFINITE;
    if (rec[0]->cost < COST_INFINITE && rec[1]->cost < COST_INFINITE)
        bi = bi_rough_cost(ctx, pu, rec[0], rec[1], d[0], d[1], node->qp, metric);
    return unit_choice_of(rec, u0, u1, bi, &um);
}

}  // namespace

void inter_pu_search_fast(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    cu_node *node = &tree[node_index(z, log2_size)];
    int32_t size = 1 << log2_size, s = 6 - log2_size;
    int32_t wide = node->part_mode == 1;
    pu_pair_motion *area = wide ? &node->pu_2nxn : &node->pu_nx2n;
    pair_metric_fn metric = wide ? ctx->enc->metric.sa8d_wide[s] : ctx->enc->metric.sa8d_tall[s];
    pu_area pu = {z, x, y, wide ? size : size / 2, wide ? size / 2 : size, s};
    for (int32_t p = 0; p < 2; p++) {
        unit_choice c = unit_search(ctx, tree, node, &pu, p, metric, area, log2_size);
        area->merge_flag[p] = c.merge;
        for (int32_t l = 0; l < 2; l++) {
            area->ref_idx[p][l] = c.ref[l];
            area->mv[p][l] = c.mv[l];
        }
        pu_motion_fill(&ctx->ctu.motion, motion_grid_index(pu.x, pu.y), pu.w / 8, pu.h / 8, 0, 0, area->mv[p],
                       area->ref_idx[p], 0);
        map_mark_available(ctx, pu.x, pu.y, pu.w, pu.h);
        if (wide) {
            pu.y += size / 2;
            pu.z += size * size / 32;
        } else {
            pu.x += size / 2;
            pu.z += size * size / 64;
        }
    }
}
