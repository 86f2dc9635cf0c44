// CU decision of B slices on the rate-distortion path: rough merge
// candidates, the best one priced as skip, an early-skip test, motion search
// per list and reference with a rough bi-prediction, an optional intra
// candidate, then the full cost of the kept leaf against skip. P pictures
// coded as B slices search list 0 only and pair its two best results.
#include "analysis/inter/inter_decide.h"
#include "analysis/speed_levels.h"

#include "analysis/motion/amvp.h"

namespace {

struct list_search {
    me_result best[2];
    uint32_t amvp[2][2];
    int32_t amvp_count[2];
    int16_t mvd[2][2];
};

void keep_result(list_search *ls, int32_t slot, const me_result &r, const pu_desc &pu)
{
    ls->best[slot] = r;
    ls->amvp[slot][0] = pu.amvp[0];
    ls->amvp[slot][1] = pu.amvp[1];
    ls->amvp_count[slot] = pu.amvp_count;
}

// True B pictures: the best vector of each list over its references.
void search_lists(inter_cu_decision *d, list_search *ls, pu_desc *pu, const int8_t parent_ref[2])
{
    for (int32_t l = 0; l < 2; l++) {
        pu->cand_count = parent_ref[l] >= 0 ? 1 : 0;
        pu->cand[0] = parent_ref[l] >= 0 ? d->parent->pu_2nx2n.mv[l] : 0;
        ls->best[l].cost = COST_INFINITE;
        for (int32_t r = 0; r < inter_searched_refs(d->ctx, l); r++) {
            me_result res = inter_search_ref(d, pu, l, r, parent_ref[l], ls->best[l].cost);
            if (res.cost < ls->best[l].cost) keep_result(ls, l, res, *pu);
        }
        mvd_best_predictor(&ls->best[l].mv, ls->amvp[l], ls->amvp_count[l], ls->mvd[l]);
    }
}

// P pictures coded as B slices: the two best list-0 results, the second
// standing in for list 1.
void search_pair(inter_cu_decision *d, list_search *ls, pu_desc *pu, const int8_t parent_ref[2])
{
    row_context *ctx = d->ctx;
    const picture *src = ctx->fi->pic.source_picture;
    pu->cand_count = 0;
    if (parent_ref[0] >= 0) {
        pu->cand_count = 1;
        pu->cand[0] = d->parent->pu_2nx2n.mv[0];
    } else if (src->ref_distance_past > 0 && src->lowres_mvs[0][src->ref_distance_past - 1]) {
        uint32_t v = src->lowres_mvs[0][src->ref_distance_past - 1][d->lowres_block];
        pu->cand_count = 1;
        pu->cand[0] = mv_pack(2 * mv_x(v), 2 * mv_y(v));
    }
    ls->best[0].cost = ls->best[1].cost = COST_INFINITE;
    for (int32_t r = 0; r < inter_searched_refs(ctx, 0); r++) {
        me_result res = inter_search_ref(d, pu, 0, r, parent_ref[0], ls->best[1].cost);
        if (res.cost < ls->best[0].cost) {
            ls->best[1] = ls->best[0];
            keep_result(ls, 0, res, *pu);
        } else if (res.cost < ls->best[1].cost) {
            keep_result(ls, 1, res, *pu);
        }
    }
    mvd_best_predictor(&ls->best[0].mv, ls->amvp[0], ls->amvp_count[0], ls->mvd[0]);
    if (ls->best[1].cost < COST_INFINITE) {
        uint32_t k = (uint32_t)d->size / 8;
        map_fill_block((uint8_t *)&ctx->ctu.motion.ref_idx[1][d->unit], k, k, 1, (uint8_t)ls->best[1].ref_idx);
        ls->amvp_count[1] = amvp_build_list(ctx, d->z, d->x, d->y, d->size, d->size, d->depth, 1, ls->amvp[1]);
        mvd_best_predictor(&ls->best[1].mv, ls->amvp[1], ls->amvp_count[1], ls->mvd[1]);
    }
}

void take_motion(cu_node *node, const me_result &r, int32_t list)
{
    node->pu_2nx2n.ref_idx[list] = r.ref_idx;
    node->pu_2nx2n.mv[list] = r.mv;
}

// Motion search, the merge with residual of P pictures coded as B, the rough
// bi-prediction and the choice of the inter prediction.
void motion_stage(inter_cu_decision *d)
{
    mode_search_state *st = d->st;
    cu_node *node = d->node;
    int8_t parent_ref[2] = {-2, -2};
    if (d->parent && d->parent->leaf_cost < COST_INFINITE) {
        parent_ref[0] = d->parent->pu_2nx2n.ref_idx[0];
        parent_ref[1] = d->parent->pu_2nx2n.ref_idx[1];
    }
    pu_desc pu{};
    pu.x = (int16_t)d->x;
    pu.y = (int16_t)d->y;
    pu.width = pu.height = (int16_t)d->size;
    pu.shape = d->depth;
    list_search ls;
    if (st->gpb) search_pair(d, &ls, &pu, parent_ref);
    else search_lists(d, &ls, &pu, parent_ref);
    node->motion.me_best[0] = ls.best[0];
    node->motion.me_best[1] = ls.best[1];
    uint32_t cost0 = ls.best[0].cost, cost1 = st->gpb ? COST_INFINITE : ls.best[1].cost;

    inter_merge_close_call(d, cost0, st->gpb != 0);

    uint32_t cost_bi = COST_INFINITE;
    if (ls.best[0].cost < COST_INFINITE && ls.best[1].cost < COST_INFINITE) {
        int8_t ref[2] = {ls.best[0].ref_idx, ls.best[1].ref_idx};
        uint32_t mv[2] = {ls.best[0].mv, ls.best[1].mv};
        cost_bi = inter_rough_metric(d, ref, mv) + inter_mvd_cost(d, ls.mvd[0]) + inter_mvd_cost(d, ls.mvd[1]);
    }

    uint32_t m = cost0 < cost1 ? cost0 : cost1;
    if (cost_bi < m) m = cost_bi;
    node->pu_2nx2n.merge_flag = 0;
    if (!st->merge_residual_tried && m > node->motion_cost) {
        inter_pu_take_merge(d, d->best, 1);
        return;
    }
    // Bi-prediction must beat both lists; equal list costs choose list 1.
    node->pu_2nx2n.ref_idx[0] = node->pu_2nx2n.ref_idx[1] = -2;
    if (cost_bi < cost0 && cost_bi < cost1) {
        node->motion_cost = cost_bi;
        take_motion(node, ls.best[0], 0);
        take_motion(node, ls.best[1], 1);
    } else if (cost0 < cost1) {
        node->motion_cost = cost0;
        take_motion(node, ls.best[0], 0);
    } else {
        node->motion_cost = cost1;
        take_motion(node, ls.best[1], 1);
    }
}

bool intra_allowed(const inter_cu_decision *d)
{
    if (!inter_intra_possible(d)) return false;
    const picture *src = d->ctx->fi->pic.source_picture;
    int32_t past = src->ref_distance_past, future = src->ref_distance_future;
    if (past >= 0 && future >= 0)
        return tries_intra_unscreened(d->st->speed_level) || inter_lowres_intra_best(d, past, future);
    return d->st->speed_level != 0 || inter_activity_low(d);
}

}  // namespace

void cu_decide_b(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    inter_cu_decision d;
    inter_cu_setup(&d, ctx, tree, z, x, y, log2_size);
    mode_search_state *st = d.st;
    cu_node *node = d.node;
    d.count = merge_build_list(ctx, z, x, y, d.size, d.size, d.depth, d.mv[0], d.mv[1], d.ref[0], d.ref[1],
                               &d.temporal_mask);
    inter_merge_fraction_temporal(&d);
    inter_merge_rough(&d);
    inter_skip_price(&d, SKIP_SECOND_B);
    node->pu_2nx2n.merge_flag = 0;
    inter_early_skip(&d, st->gpb && st->inter_search_level == 2, ctx->ctu.speed_step == 2 ? 24 : 8);
    if (inter_motion_stage_due(&d)) motion_stage(&d);
    inter_decide_finish(&d, intra_allowed(&d), !st->gpb);
}
