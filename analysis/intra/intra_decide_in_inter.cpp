// Intra candidate of a CU of a P or B slice on the rate-distortion path. A
// hierarchical search over prediction costs (planar and DC, five coarse
// angles, refinements by 4, 2 and 1 around the two best) finds a luma mode,
// stopping early whenever intra is clearly worse than the CU's best inter
// cost; in P and reference-B pictures a close candidate, and a few more, are
// then coded by full rate-distortion cost. The CU is 2Nx2N with one transform
// unit and the chroma mode derived from luma.
#include "analysis/mode_search.h"
#include "encoder/int_math.h"

#include <cstring>

namespace {

struct rough_place {
    int32_t mode;
    uint32_t cost;
};

struct in_inter_search {
    row_context *ctx;
    cu_node *node;
    int32_t z, x, y, log2;
    int32_t mpm[3];
    uint8_t on[INTRA_MODE_COUNT];
    uint8_t evaluated[INTRA_MODE_COUNT];
    rough_place best[2];
    luma_mode_predictor lp;
    int32_t direct;   // -1 until the first mode sets the predictor up
};

// Inserts before the first place of strictly greater cost.
void place_insert(rough_place *list, int32_t mode, uint32_t cost)
{
    for (int32_t p = 0; p < 2; p++) {
        if (cost < list[p].cost) {
            if (p == 0) list[1] = list[0];
            list[p].mode = mode;
            list[p].cost = cost;
            return;
        }
    }
}

// The prediction of mode m against the source by SATD, plus its mode bits
// weighted by lambda_satd.
uint32_t evaluate(in_inter_search *s, int32_t m)
{
    row_context *ctx = s->ctx;
    ctu_context *c = &ctx->ctu;
    c->intra_modes[map4_index(s->z)] = (int8_t)m;
    if (s->direct < 0) s->direct = luma_mode_predictor_init(ctx, s->z, s->x, s->y, s->log2, &s->lp) ? 1 : 0;
    if (s->direct) luma_mode_predict(&s->lp, m);
    else tu_predict(ctx, s->z, s->x, s->y, s->log2, s->node->qp, TU_LUMA);
    uint32_t bins = intra_mode_bins(s->mpm, m);
    uint32_t cost = ctx->enc->metric.satd[6 - s->log2](c->source_luma + s->y * CTU_SOURCE_STRIDE + s->x, CTU_SOURCE_STRIDE,
                                                   c->recon_luma + s->y * CTU_WORK_STRIDE + s->x, CTU_WORK_STRIDE) +
                    s->node->lambda_satd * bins;
    place_insert(s->best, m, cost);
    return cost;
}

void evaluate_marked(in_inter_search *s, int32_t m)
{
    if (!s->on[m] || s->evaluated[m]) return;
    s->evaluated[m] = 1;
    evaluate(s, m);
}

// The coarse angles 2, 10, 18, 26, 34; an angle far above the inter cost
// skips its neighbour.
void coarse_angles(in_inter_search *s, uint64_t t)
{
    for (int32_t m = 2; m <= INTRA_MODE_LAST;) {
        if (!s->on[m]) {
            m += 8;
            continue;
        }
        s->evaluated[m] = 1;
        uint32_t cost = evaluate(s, m);
        m += cost > 2 * t ? 16 : 8;
    }
}

// Refinement in steps of 4, 2 and 1 around the best and the second mode, as
// they stood when each step began, while their cost stays below the step's
// limit (1.5, 1.25 and 1.125 times the inter cost).
void refine(in_inter_search *s, uint64_t t)
{
    const int32_t steps[3] = {4, 2, 1};
    const uint64_t limits[3] = {(12 * t) >> 3, (10 * t) >> 3, (9 * t) >> 3};
    for (int32_t level = 0; level < 3; level++) {
        rough_place start[2] = {s->best[0], s->best[1]};
        int32_t step = steps[level];
        for (const rough_place &p : start) {
            if (p.mode < 2 || p.cost >= limits[level]) continue;
            int32_t lo = max_i32(p.mode - step, 2), hi = min_i32(p.mode + step, INTRA_MODE_LAST);
            for (int32_t m = lo; m <= hi; m += step) evaluate_marked(s, m);
        }
    }
}

bool rd_stage_allowed(row_context *ctx, const in_inter_search *s, uint64_t t)
{
    mode_search_state *st = search_state(ctx);
    uint32_t type = ctx->fi->pic.source_picture->picture_type;
    bool picture = type == PIC_TYPE_P || (type == PIC_TYPE_BREF && s->log2 <= 4);
    bool close = s->best[0].cost < ((3 * t) >> 1) + 2 * (uint64_t)s->node->lambda_satd;
    bool level = st->speed_level >= (st->pick_mode <= 0 ? 4 : 3);
    return st->inter_search_level > 0 && picture && close && level && ctx->ctu.speed_step < 2;
}

void record_rough(in_inter_search *s)
{
    mode_search_state *st = search_state(s->ctx);
    s->node->intra_rough_cost = s->best[0].cost;
    s->node->intra_mode = s->best[0].mode;
    st->intra_ref_refresh = 1;
    st->intra_rd_flag = 0;
}

// The node as a 2Nx2N intra CU with one transform unit and the derived
// chroma mode, committed so that the predictions read its maps.
void search_set_up(in_inter_search *s, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2)
{
    s->ctx = ctx;
    s->node = &tree[node_index(z, log2)];
    s->z = z;
    s->x = x;
    s->y = y;
    s->log2 = log2;
    s->best[0] = s->best[1] = {-1, COST_INFINITE};
    s->direct = -1;
    cu_node *node = s->node;
    node->tu_split = 0;
    node->pred_mode = 1;
    node->intra_mode = 0;
    node->chroma_mode = 4;
    cu_tree_commit(ctx, tree, z, x, y, log2);
}

// Rough search against the inter cost t. It stops as soon as intra is
// clearly worse: planar above 4 t, or the better of planar and DC above 3 t.
// Returns whether it ran to the end.
bool rough_search(in_inter_search *s, uint64_t t)
{
    mode_search_state *st = search_state(s->ctx);
    intra_mpm_modes(s->ctx, s->z, s->mpm);
    int32_t representative;
    int32_t switched_on = intra_mode_preselect(s->ctx, s->on, &representative, s->log2, s->x, s->y);
    for (int32_t m : s->mpm) s->on[m] = 1;
    uint32_t planar = evaluate(s, 0);
    st->intra_ref_refresh = 0;
    if (planar > 4 * t) return false;
    evaluate(s, 1);
    if (s->best[0].cost > 3 * t) return false;
    if (switched_on > 2) {
        std::memset(s->evaluated, 0, sizeof(s->evaluated));
        coarse_angles(s, t);
        refine(s, t);
    }
    return true;
}

// The full-cost stage: the best rough mode, then with a pick mode the first
// one or two most probable modes (not the best so far nor the second rough
// mode) and, with two, the second rough mode.
void rd_stage(const in_inter_search *s, cu_node *tree)
{
    mode_search_state *st = search_state(s->ctx);
    intra_finalists f;
    int32_t second = s->best[1].mode;
    intra_finalists_start(&f, s->ctx, tree, s->z, s->x, s->y, s->log2, s->best[0].mode);
    if (st->pick_mode != 0) {
        int32_t extra = st->inter_search_level > 1 ? 2 : 1;
        for (int32_t k = 0; k < extra; k++) {
            int32_t m = s->mpm[k];
            if (m == f.mode || m == second) continue;
            intra_finalists_try(&f, m);
        }
        if (extra == 2 && second >= 0) intra_finalists_try(&f, second);
    }
    intra_finalists_settle(&f);
}

// One finalist coded whole; its full cost, and its coded-block flags
// through *cbf.
uint32_t finalist_cost(const intra_finalists *f, int32_t mode, uint8_t *cbf)
{
    row_context *ctx = f->ctx;
    cu_node *node = f->node;
    node->intra_mode = mode;
    rate_restore(ctx, 6 - f->log2);
    cu_tree_commit(ctx, f->tree, f->z, f->x, f->y, f->log2);
    uint32_t cost = rd_cu_cost(ctx, node->lambda_sse, f->z, f->x, f->y, f->log2, 0, 0);
    *cbf = ctx->ctu.decision.cbf_flags[node_index(f->z, f->log2)];
    return cost;
}

}  // namespace

void intra_finalists_start(intra_finalists *f, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                           int32_t log2_size, int32_t mode)
{
    f->ctx = ctx;
    f->tree = tree;
    f->node = &tree[node_index(z, log2_size)];
    f->z = z;
    f->x = x;
    f->y = y;
    f->log2 = log2_size;
    f->mode = mode;
    f->cost = finalist_cost(f, mode, &f->cbf);
}

void intra_finalists_try(intra_finalists *f, int32_t mode)
{
    uint8_t cbf;
    uint32_t cost = finalist_cost(f, mode, &cbf);
    if (cost > f->cost) return;
    f->cost = cost;
    f->mode = mode;
    f->cbf = cbf;
}

void intra_finalists_settle(const intra_finalists *f)
{
    f->node->intra_mode = f->mode;
    f->node->intra_cost = f->cost;
    f->node->intra_cbf = f->cbf;
}

void intra_decide_in_inter(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    in_inter_search s;
    search_set_up(&s, ctx, tree, z, x, y, log2_size);
    // The inter cost compared against; 64-bit so that multiples of an
    // unpriced (infinite) inter cost do not wrap.
    uint64_t t = s.node->motion_cost;
    bool finished = rough_search(&s, t);
    record_rough(&s);
    if (!finished || !rd_stage_allowed(ctx, &s, t)) return;
    search_state(ctx)->intra_rd_flag = 1;
    rd_stage(&s, tree);
}
