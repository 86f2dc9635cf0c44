// Tools of the fast inter CU decisions: merge candidates screened against the
// CTU's bounds and the motion-vector limits, luma predictions of a
// candidate's motion in the work plane, the per-list motion search over the
// references with its likely-reference rule, and the rough cost of a
// bi-prediction.
#include "analysis/inter_fast/inter_fast.h"

#include <cstring>

#include "analysis/motion/amvp.h"

namespace {

uint8_t *work_luma(row_context *ctx, const pu_area *pu)
{
    return ctx->ctu.recon_luma + pu->y * CTU_WORK_STRIDE + pu->x;
}

bool within_limits(const encoder_instance *enc, const int16_t v[2])
{
    for (int32_t k = 0; k < 2; k++)
        if (v[k] < enc->mv_min_qpel[k] || v[k] > enc->mv_max_qpel[k]) return false;
    return true;
}

}  // namespace

bool b_picture(const frame_instance *fi)
{
    uint32_t type = fi->pic.source_picture->picture_type;
    return type == PIC_TYPE_BREF || type == PIC_TYPE_B;
}

int32_t active_ref_count(const frame_instance *fi, int32_t list)
{
    if (list == 1 && fi->pic.sh.slice_type != slice_b) return 0;
    int32_t n = list == 0 ? fi->pic.ref_count_l0 : fi->pic.ref_count_l1;
    int32_t active = list == 0 ? fi->pic.sh.num_ref_idx_l0_active : fi->pic.sh.num_ref_idx_l1_active;
    if (active < n) n = active;
    return n < ENCODER_MAX_REFS ? n : ENCODER_MAX_REFS;
}

void merge_list_build(row_context *ctx, const pu_area *pu, merge_list *m)
{
    uint32_t temporal = 0;
    m->count = merge_build_list(ctx, pu->z, pu->x, pu->y, pu->w, pu->h, pu->s, m->mv[0], m->mv[1], m->ref[0],
                                m->ref[1], &temporal);
}

bool merge_candidate_clamp(row_context *ctx, const merge_list *m, int32_t i, const pu_area *pu,
                           uint32_t clamped[2])
{
    for (int32_t l = 0; l < 2; l++) {
        clamped[l] = m->mv[l][i];
        if (m->ref[l][i] < 0) continue;
        int16_t v[2] = {mv_x(m->mv[l][i]), mv_y(m->mv[l][i])};
        mv_clamp(ctx, v, pu->x, pu->y);
        if (!within_limits(ctx->enc, v)) return false;
        clamped[l] = mv_pack(v[0], v[1]);
    }
    return true;
}

bool merge_same_motion(const merge_list *m, int32_t a, int32_t b, int32_t lists_compared)
{
    for (int32_t l = 0; l < lists_compared; l++) {
        if (m->ref[l][a] != m->ref[l][b]) return false;
        if (m->ref[l][a] >= 0 && m->mv[l][a] != m->mv[l][b]) return false;
    }
    return true;
}

void fast_luma_predict(row_context *ctx, const pu_area *pu, const int8_t ref[2], const uint32_t mv[2])
{
    int32_t X[2], Y[2];
    for (int32_t l = 0; l < 2; l++) {
        X[l] = mv_x(mv[l]) + 4 * pu->x;
        Y[l] = mv_y(mv[l]) + 4 * pu->y;
    }
    uint8_t *dst = work_luma(ctx, pu);
    if (ref[0] < 0 || ref[1] < 0) {
        int32_t l = ref[0] >= 0 ? 0 : 1;
        mc_luma_into(ctx, l, ref[l], X[l], Y[l], pu->w, pu->h, dst, CTU_WORK_STRIDE);
        return;
    }
    uint8_t *a = ctx->ctu.scratch, *b = a + 64 * 64;
    int32_t sa, sb;
    const uint8_t *p0 = mc_luma_8bit(ctx, 0, ref[0], X[0], Y[0], pu->w, pu->h, a, &sa, 0);
    const uint8_t *p1 = mc_luma_8bit(ctx, 1, ref[1], X[1], Y[1], pu->w, pu->h, b, &sb, 0);
    ctx->enc->mc.avg_pixels(dst, CTU_WORK_STRIDE, p0, sa, p1, sb, pu->w, pu->h);
}

uint32_t fast_luma_metric(row_context *ctx, const pu_area *pu, pair_metric_fn metric)
{
    return metric(work_luma(ctx, pu), CTU_WORK_STRIDE, ctx->ctu.source_luma + pu->y * CTU_SOURCE_STRIDE + pu->x,
                  CTU_SOURCE_STRIDE);
}

void list_search_run(row_context *ctx, const list_search *ls, me_result *best, me_result *second,
                     uint32_t amvp[2], int32_t *amvp_count)
{
    const pu_area *p = &ls->pu;
    ctu_motion_grid *g = &ctx->ctu.motion;
    int32_t unit = motion_grid_index(p->x, p->y);
    best->cost = COST_INFINITE;
    if (second) second->cost = COST_INFINITE;
    *amvp_count = 0;
    pu_desc pu{};
    pu.x = (int16_t)p->x;
    pu.y = (int16_t)p->y;
    pu.width = (int16_t)p->w;
    pu.height = (int16_t)p->h;
    pu.shape = p->s;
    pu.list = ls->list;
    pu.cand_count = ls->cand_count;
    pu.cand[0] = ls->cand[0];
    pu.cand[1] = ls->cand[1];
    const int8_t *likely_map = g->ref_idx[ls->likely_list];
    for (int32_t r = 0; r < ls->refs; r++) {
        if (ls->fill_unit)
            map_fill_block((uint8_t *)&g->ref_idx[ls->list][unit], (uint32_t)p->w / 8, (uint32_t)p->h / 8, 1, (uint32_t)r);
        else
            g->ref_idx[ls->list][unit] = (int8_t)r;
        pu.ref_idx = (int8_t)r;
        pu.amvp_count = amvp_build_list(ctx, p->z, p->x, p->y, p->w, p->h, p->s, ls->list, pu.amvp);
        int32_t likely = r == 0 || r == likely_map[unit - 1] || r == likely_map[unit - CTU_MAP8_STRIDE] ||
                         r == ls->hint;
        me_result res;
        res.cost = COST_INFINITE;
        if (ls->fast) motion_search_fast(ctx, search_state(ctx)->me, &res, &pu, ls->qp, best->cost, 0, likely);
        else motion_search_full(ctx, search_state(ctx)->me, &res, &pu, ls->qp, best->cost, 0, likely);
        if (ctx->enc->faults.motion_searches)
            __atomic_fetch_add(&ctx->enc->faults.motion_searches[ls->fast ? 0 : 1], 1, __ATOMIC_RELAXED);
        if (res.cost >= COST_INFINITE) continue;
        if (res.cost < best->cost) {
            if (ls->keep_two) *second = *best;
            *best = res;
            amvp[0] = pu.amvp[0];
            amvp[1] = pu.amvp[1];
            *amvp_count = pu.amvp_count;
        } else if (ls->keep_two && res.cost < second->cost) {
            *second = res;
        }
    }
}

void list_predictor_diff(row_context *ctx, const pu_area *pu, int32_t list, int32_t ref, uint32_t mv,
                         int16_t diff[2])
{
    ctx->ctu.motion.ref_idx[list][motion_grid_index(pu->x, pu->y)] = (int8_t)ref;
    uint32_t pred[2];
    int32_t n = amvp_build_list(ctx, pu->z, pu->x, pu->y, pu->w, pu->h, pu->s, list, pred);
    mvd_best_predictor(&mv, pred, n, diff);
}

uint32_t bi_rough_cost(row_context *ctx, const pu_area *pu, const me_result *a, const me_result *b,
                       const int16_t d0[2], const int16_t d1[2], int32_t qp, pair_metric_fn metric)
{
    const me_context *me = search_state(ctx)->me;
    int8_t ref[2] = {a->ref_idx, b->ref_idx};
    uint32_t mv[2];
    const me_result *r[2] = {a, b};
    for (int32_t l = 0; l < 2; l++) {
        int16_t v[2] = {mv_x(r[l]->mv), mv_y(r[l]->mv)};
        mv_clamp(ctx, v, pu->x, pu->y);
        mv[l] = mv_pack(v[0], v[1]);
    }
    fast_luma_predict(ctx, pu, ref, mv);
    const uint16_t *t = me_cost_table(me, qp);
    int32_t lim = me->mv_cost_limit;
    return fast_luma_metric(ctx, pu, metric) + me_component_cost(t, lim, d0[0]) + me_component_cost(t, lim, d0[1]) +
           me_component_cost(t, lim, d1[0]) + me_component_cost(t, lim, d1[1]);
}

void cu64_transform_units(cu_node *tree)
{
    tree[0].tu_split = 1;
    for (int32_t k = 0; k < 4; k++) {
        cu_node *c = &tree[node_index(64 * k, 5)];
        c->split = 0;
        c->tu_split = 0;
        c->residual_mode = 0;
        std::memcpy(&c->qp, &tree[0].qp, CU_NODE_TAIL_WORDS * 4);
    }
}

int32_t parent_hint(const cu_node *tree, int32_t z, int32_t log2_size, int32_t list, uint32_t *mv)
{
    if (log2_size >= 6) return -2;
    const cu_node *parent = &tree[node_index(z & ~((1 << (2 * (log2_size - 1))) - 1), log2_size + 1)];
    if (parent->leaf_cost >= COST_INFINITE) return -2;
    *mv = parent->pu_2nx2n.mv[list];
    return parent->pu_2nx2n.ref_idx[list];
}
