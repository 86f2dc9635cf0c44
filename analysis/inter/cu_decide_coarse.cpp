// Coarse motion-search variants of the rate-distortion CU decisions of P and
// B slices, for CUs of 16x16 and larger when the configuration asks for
// them: the motion of a CU is searched on the half-resolution luma planes of
// the picture and of its references, with half the search range, and the
// result, scaled back to full resolution, stands in for a full-resolution
// search. Merge candidates, skip, merge with residual, intra and the leaf
// coding are priced at full resolution as in the ordinary decisions.
#include "analysis/inter/inter_decide.h"
#include "analysis/speed_levels.h"

#include <cstring>

#include "analysis/motion/amvp.h"
#include "encoder/picture.h"

namespace {

// The half-resolution sample of a picture at the CTU's origin.
const uint8_t *halfres_at_ctu(const picture *pic, const ctu_context *c)
{
    return pic->lowres_plane + (int64_t)32 * c->y * pic->lowres_stride + 32 * c->x;
}

// A coarse cost word in full-resolution units (four samples per sample
// searched); what was not evaluated stays so.
uint32_t full_resolution_cost(uint32_t cost)
{
    if (cost >= COST_INFINITE) return COST_INFINITE;
    uint64_t scaled = 4 * (uint64_t)cost;
    return scaled < COST_INFINITE ? (uint32_t)scaled : COST_INFINITE - 1;
}

// The decision's set-up: the ordinary one, with the rough metric of the
// speed level, predictions interpolated with the standard filter, and the
// merge-with-residual trial not yet made.
void coarse_cu_setup(inter_cu_decision *d, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                     int32_t log2_size)
{
    inter_cu_setup(d, ctx, tree, z, x, y, log2_size);
    d->coarse = 1;
    d->bilinear = 0;
    const metric_table *mt = &ctx->enc->metric;
    d->metric = ranks_by_cost_metric(d->st->speed_level) ? mt->cost_metric[d->depth] : mt->satd[d->depth];
    d->st->merge_residual_tried = 0;
    d->node->best_merge_cost = COST_INFINITE;
}

// Merge candidates at fractional positions are tried only as far as the
// sub-sample search level goes: none at level 0, half samples at level 1.
void merge_rough_costs(inter_cu_decision *d)
{
    int32_t level = d->ctx->ctu.filter_variant;
    uint8_t mask = level >= 2 ? 0 : (level == 1 ? 1 : 3);
    std::memset(d->fraction_mask, mask, sizeof(d->fraction_mask));
    inter_merge_rough(d);
}

// The best coarse result of one list over its references, the vectors in
// full-resolution quarter samples (of half-sample precision) and clamped
// into the CU's motion window, so that the prediction never reads past the
// reference's margins; COST_INFINITE when nothing was searched.
me_result coarse_list_search(inter_cu_decision *d, coarse_search_context *cs, int32_t list)
{
    row_context *ctx = d->ctx;
    me_context *me = &cs->me;
    pu_desc *pu = &cs->pu;
    std::memset(pu, 0, sizeof(*pu));
    pu->x = (int16_t)(d->x / 2);
    pu->y = (int16_t)(d->y / 2);
    pu->width = pu->height = (int16_t)(d->size / 2);
    pu->shape = d->depth + 1;
    pu->list = list;
    me_result *best = &cs->best;
    best->cost = best->cost2 = COST_INFINITE;
    best->mv = 0;
    best->ref_idx = -2;
    uint32_t units = (uint32_t)d->size / 8;
    for (int32_t r = 0; r < inter_searched_refs(ctx, list); r++) {
        const picture *ref = list == 0 ? ctx->fi->pic.list0[r] : ctx->fi->pic.list1[r];
        if (!ref->lowres_plane) continue;
        cs->reference = ref;
        me->ref_plane[list][r] = me->ref_phase[list][r][0] = halfres_at_ctu(ref, &ctx->ctu);
        map_fill_block((uint8_t *)&ctx->ctu.motion.ref_idx[list][d->unit], units, units, 1, (uint32_t)r);
        uint32_t amvp[2] = {0, 0};
        pu->amvp_count = amvp_build_list(ctx, d->z, d->x, d->y, d->size, d->size, d->depth, list, amvp);
        for (int32_t i = 0; i < 2; i++) pu->amvp[i] = mv_pack(mv_x(amvp[i]) >> 1, mv_y(amvp[i]) >> 1);
        pu->ref_idx = (int8_t)r;
        me_result res;
        motion_search_fast(ctx, me, &res, pu, d->node->qp, best->cost, 0, 1);
        if (res.cost < best->cost) *best = res;
    }
    me_result out = *best;
    out.cost = full_resolution_cost(best->cost);
    out.cost2 = full_resolution_cost(best->cost2);
    int16_t v[2] = {(int16_t)(2 * mv_x(best->mv)), (int16_t)(2 * mv_y(best->mv))};
    mv_clamp(ctx, v, d->x, d->y);
    out.mv = mv_pack(v[0], v[1]);
    d->node->motion.me_best[list] = out;
    return out;
}

// The difference of a list's result to its better AMVP predictor, with the
// list's reference-index map set to the result's reference.
void list_predictor(inter_cu_decision *d, int32_t list, const me_result &r, int16_t mvd[2])
{
    row_context *ctx = d->ctx;
    uint32_t units = (uint32_t)d->size / 8, amvp[2] = {0, 0};
    map_fill_block((uint8_t *)&ctx->ctu.motion.ref_idx[list][d->unit], units, units, 1, (uint8_t)r.ref_idx);
    int32_t n = amvp_build_list(ctx, d->z, d->x, d->y, d->size, d->size, d->depth, list, amvp);
    mvd_best_predictor(&r.mv, amvp, n, mvd);
}

struct inter_choice {
    uint32_t cost;
    int8_t ref[2];
    uint32_t mv[2];
};

void take_inter(cu_node *node, const inter_choice &c)
{
    pu_motion *pu = &node->pu_2nx2n;
    pu->merge_flag = 0;
    for (int32_t l = 0; l < 2; l++) {
        pu->ref_idx[l] = c.ref[l];
        pu->mv[l] = c.ref[l] >= 0 ? c.mv[l] : 0;
    }
}

// The inter candidate against the best merge candidate. On a close call
// (allowed by the variant and the CTU's decision level) the merge candidate
// is also coded with residual and the inter candidate stays the leaf's
// motion; otherwise the cheaper rough cost decides, a tie going to inter
// when ties_to_inter.
void inter_or_merge(inter_cu_decision *d, const inter_choice &inter, bool close_call_allowed, bool ties_to_inter)
{
    cu_node *node = d->node;
    uint32_t merge = node->motion_cost, cost = inter.cost;
    if (inter_merge_close_call(d, cost, close_call_allowed)) {
        node->motion_cost = merge < cost ? merge : cost;
        take_inter(node, inter);
        return;
    }
    if (d->best < 0 || (ties_to_inter ? cost <= merge : cost < merge)) {
        node->motion_cost = inter.cost;
        take_inter(node, inter);
    } else {
        inter_pu_take_merge(d, d->best, 1);
    }
}

// Intra is tried when the variant's switch allows it, the best rough inter
// or merge cost is not small for the CU's size, below 64x64, and under time
// pressure at 8x8 only.
bool intra_check_due(const inter_cu_decision *d, int32_t intra_switch)
{
    const ctu_context *c = &d->ctx->ctu;
    uint64_t small = ((uint64_t)d->node->lambda_satd << 4) << (2 * d->log2 - 6);
    return (intra_switch & 1) && c->intra_enabled && d->node->motion_cost > small && d->log2 < 6 &&
           (c->speed_step < 2 || d->log2 < 4);
}

}  // namespace

void coarse_search_ctu_setup(row_context *ctx, coarse_search_context *cs)
{
    const mode_search_state *st = search_state(ctx);
    const ctu_context *c = &ctx->ctu;
    const picture *src = ctx->fi->pic.source_picture;
    me_context *me = &cs->me;
    // The settings of the CTU's own search, on the half-resolution planes.
    *me = *st->me;
    std::memset(me->ref_plane, 0, sizeof(me->ref_plane));
    std::memset(me->ref_phase, 0, sizeof(me->ref_phase));
    me->quarter = nullptr;
    me->list_count = 2;
    me->ref_count[0] = ctx->fi->pic.ref_count_l0;
    me->ref_count[1] = ctx->fi->pic.ref_count_l1;
    me->search_method = 0;
    me->search_range = (c->search_range + 1) >> 1;
    me->ref_stride = (uint32_t)src->lowres_stride;
    me->pic_width = (uint16_t)src->lowres_width;
    me->pic_height = (uint16_t)src->lowres_height;
    me->ctu_x = 32 * c->x;
    me->ctu_y = 32 * c->y;
    // Half the limits, so that a vector scaled back stays inside them (and
    // inside the reach of the references' rows coded ahead).
    me->mv_limit_min_x = st->me->mv_limit_min_x / 2;
    me->mv_limit_min_y = st->me->mv_limit_min_y / 2;
    me->mv_limit_max_x = st->me->mv_limit_max_x / 2;
    me->mv_limit_max_y = st->me->mv_limit_max_y / 2;
    me->activity = nullptr;
    me->src = cs->source_block;
    cs->source = src;
    cs->reference = nullptr;
    ctx->enc->mc.block_copy(cs->source_block, 64, halfres_at_ctu(src, c), src->lowres_stride, 32, 32);
}

void cu_decide_p_coarse(row_context *ctx, cu_node *tree, coarse_search_context *cs, int32_t z, int32_t x,
                        int32_t y, int32_t log2_size)
{
    inter_cu_decision d;
    coarse_cu_setup(&d, ctx, tree, z, x, y, log2_size);
    int32_t temporal = -1;
    d.count = merge_build_list_p(ctx, z, x, y, d.size, d.size, d.depth, d.mv[0], d.ref[0], &temporal);
    for (int32_t i = 0; i < MERGE_MAX_CANDIDATES; i++) d.ref[1][i] = -1;
    merge_rough_costs(&d);
    inter_skip_price(&d, SKIP_SECOND_P);
    me_result r = coarse_list_search(&d, cs, 0);
    inter_choice inter = {r.cost, {r.ref_idx, -2}, {r.mv, 0}};
    inter_or_merge(&d, inter, true, false);
    inter_decide_finish(&d, intra_check_due(&d, d.st->inter_intra), 0);
}

void cu_decide_b_coarse(row_context *ctx, cu_node *tree, coarse_search_context *cs, int32_t z, int32_t x,
                        int32_t y, int32_t log2_size)
{
    inter_cu_decision d;
    coarse_cu_setup(&d, ctx, tree, z, x, y, log2_size);
    mode_search_state *st = d.st;
    d.count = merge_build_list(ctx, z, x, y, d.size, d.size, d.depth, d.mv[0], d.mv[1], d.ref[0], d.ref[1],
                               &d.temporal_mask);
    merge_rough_costs(&d);
    inter_skip_price(&d, SKIP_SECOND_NONE);
    // A P picture coded with B slices searches list 0 only, as the P decision
    // does; its list-1 and bi-predicted candidates stay unevaluated.
    me_result r[2] = {};
    int16_t mvd[2][2] = {{0, 0}, {0, 0}};
    r[1].cost = COST_INFINITE;
    r[1].ref_idx = -2;
    for (int32_t l = 0; l < (st->gpb ? 1 : 2); l++) {
        r[l] = coarse_list_search(&d, cs, l);
        if (r[l].cost < COST_INFINITE) list_predictor(&d, l, r[l], mvd[l]);
    }
    inter_choice bi = {COST_INFINITE, {r[0].ref_idx, r[1].ref_idx}, {r[0].mv, r[1].mv}};
    if (r[0].cost < COST_INFINITE && r[1].cost < COST_INFINITE)
        bi.cost = inter_rough_metric(&d, bi.ref, bi.mv) + inter_mvd_cost(&d, mvd[0]) + inter_mvd_cost(&d, mvd[1]);
    inter_choice inter = bi;
    if (!(bi.cost < r[0].cost && bi.cost < r[1].cost)) {
        int32_t l = r[0].cost < r[1].cost ? 0 : 1;
        inter = {r[l].cost, {-2, -2}, {0, 0}};
        inter.ref[l] = r[l].ref_idx;
        inter.mv[l] = r[l].mv;
    }
    inter_or_merge(&d, inter, st->gpb != 0, true);
    inter_decide_finish(&d, intra_check_due(&d, ctx->ctu.intra_enabled), 0);
}
