// CU decision of P slices on the rate-distortion path: list-0 merge
// candidates priced roughly, the best coded as skip, an early-skip test,
// motion search over the list-0 references, the merge candidate with residual
// when it is close, an optional intra candidate, then the full cost of the
// kept leaf against merge with residual and skip. Only the 2Nx2N partition.
#include "analysis/inter/inter_decide.h"
#include "analysis/speed_levels.h"

#include "analysis/motion/amvp.h"

namespace {

void take_search(cu_node *node, const me_result &r)
{
    pu_motion *pu = &node->pu_2nx2n;
    pu->merge_flag = 0;
    pu->ref_idx[0] = r.ref_idx;
    pu->ref_idx[1] = -2;
    pu->mv[0] = r.mv;
}

// Motion search over the list-0 references, then the merge candidate with
// residual where merge and search are close.
void motion_stage(inter_cu_decision *d)
{
    row_context *ctx = d->ctx;
    cu_node *node = d->node;
    const picture *src = ctx->fi->pic.source_picture;
    int8_t parent_ref = -2;
    if (d->parent && d->parent->leaf_cost < COST_INFINITE) parent_ref = d->parent->pu_2nx2n.ref_idx[0];
    pu_desc pu{};
    pu.x = (int16_t)d->x;
    pu.y = (int16_t)d->y;
    pu.width = pu.height = (int16_t)d->size;
    pu.shape = d->depth;
    if (parent_ref >= 0) {
        pu.cand_count = 1;
        pu.cand[0] = d->parent->pu_2nx2n.mv[0];
    } else if (src->ref_distance_past > 0 && src->lowres_mvs[0][src->ref_distance_past - 1]) {
        uint32_t v = src->lowres_mvs[0][src->ref_distance_past - 1][d->lowres_block];
        pu.cand_count = 1;
        pu.cand[0] = mv_pack(2 * mv_x(v), 2 * mv_y(v));
    }
    me_result best;
    best.cost = COST_INFINITE;
    for (int32_t r = 0; r < inter_searched_refs(ctx, 0); r++) {
        me_result res = inter_search_ref(d, &pu, 0, r, parent_ref, best.cost);
        if (res.cost < best.cost) {
            best = res;
            node->motion.amvp[0][0] = pu.amvp[0];
            node->motion.amvp[0][1] = pu.amvp[1];
            node->motion.amvp_count[0] = pu.amvp_count;
        }
    }
    node->motion.me_best[0] = best;
    uint32_t merge = node->motion_cost, search = best.cost;
    if (inter_merge_close_call(d, search, true)) {
        node->motion_cost = merge < search ? merge : search;
        take_search(node, best);
    } else if (d->best >= 0 && merge <= search) {
        inter_pu_take_merge(d, d->best, 1);
    } else {
        node->motion_cost = best.cost;
        take_search(node, best);
    }
}

bool intra_allowed(const inter_cu_decision *d)
{
    const mode_search_state *st = d->st;
    if (!st->inter_intra || !inter_intra_possible(d)) return false;
    int32_t past = d->ctx->fi->pic.source_picture->ref_distance_past;
    if (!tries_intra_unscreened(st->speed_level) && past > 0) return inter_lowres_intra_best(d, past, 0);
    return st->speed_level >= 3 || st->pick_mode >= 9 || inter_activity_low(d);
}

}  // namespace

void cu_decide_p(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    inter_cu_decision d;
    inter_cu_setup(&d, ctx, tree, z, x, y, log2_size);
    mode_search_state *st = d.st;
    int32_t temporal = -1;
    d.count = merge_build_list_p(ctx, z, x, y, d.size, d.size, d.depth, d.mv[0], d.ref[0], &temporal);
    for (int32_t i = 0; i < MERGE_MAX_CANDIDATES; i++) d.ref[1][i] = -1;
    d.temporal_mask = temporal >= 0 ? 1u << temporal : 0;
    inter_merge_fraction_temporal(&d);
    inter_merge_rough(&d);
    inter_skip_price(&d, SKIP_SECOND_P);
    inter_early_skip(&d, st->inter_search_level == 2, 8);
    if (inter_motion_stage_due(&d)) motion_stage(&d);
    inter_decide_finish(&d, intra_allowed(&d), 0);
}
