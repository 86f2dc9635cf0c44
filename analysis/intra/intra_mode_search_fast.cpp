// Intra candidate of a P or B CU on the fast path: a coarse-to-fine search of
// the luma mode by rough cost (SA8D of the prediction plus a mode-bin
// estimate), then a few finalists coded whole and compared by full
// rate-distortion cost. Chroma takes the mode derived from luma; the CU is
// coded 2Nx2N with one transform unit at its root.
#include "analysis/inter_fast/inter_fast.h"

#include <cstring>

namespace {

enum {
    PLACES = 4,        // ranked places; one more takes what falls out
    COARSE_STEP = 4,   // the coarse pass tries every fourth angular mode
};

struct mode_ranking {
    uint32_t cost[PLACES + 1];
    int32_t mode[PLACES + 1];
};

// Puts a candidate in by comparing it with the places from 'start' upwards;
// it moves ahead of an entry only when strictly cheaper, and the entry pushed
// out of place 'start' (or a candidate that beats none) goes one place below.
void ranking_insert(mode_ranking *r, int32_t mode, uint32_t cost, int32_t start)
{
    int32_t p = start + 1;
    while (p > 0 && cost < r->cost[p - 1]) p--;
    for (int32_t q = start + 1; q > p; q--) {
        r->cost[q] = r->cost[q - 1];
        r->mode[q] = r->mode[q - 1];
    }
    r->cost[p] = cost;
    r->mode[p] = mode;
}

struct intra_search {
    row_context *ctx;
    cu_node *tree, *node;
    int32_t z, x, y, log2;
    int32_t mpm[3];
    uint8_t tried[INTRA_MODE_COUNT];
    pair_metric_fn metric;
    luma_mode_predictor lp;
    int32_t direct;   // -1 until the first mode sets the predictor up
};

uint32_t rough_cost(intra_search *is, int32_t mode)
{
    row_context *ctx = is->ctx;
    const ctu_context *c = &ctx->ctu;
    is->tried[mode] = 1;
    ctx->ctu.intra_modes[map4_index(is->z)] = (int8_t)mode;
    if (is->direct < 0) is->direct = luma_mode_predictor_init(ctx, is->z, is->x, is->y, is->log2, &is->lp) ? 1 : 0;
    if (is->direct) luma_mode_predict(&is->lp, mode);
    else tu_predict(ctx, is->z, is->x, is->y, is->log2, is->node->qp, TU_LUMA);
    // The references gathered for the first mode serve every other.
    search_state(ctx)->intra_ref_refresh = 0;
    uint32_t m = is->metric(c->source_luma + is->y * CTU_SOURCE_STRIDE + is->x, CTU_SOURCE_STRIDE,
                            c->recon_luma + is->y * CTU_WORK_STRIDE + is->x, CTU_WORK_STRIDE);
    return m + intra_mode_bins(is->mpm, mode) * is->node->lambda_satd;
}

void try_mode(intra_search *is, mode_ranking *r, int32_t mode, int32_t start)
{
    if (mode < 0 || mode > INTRA_MODE_LAST || is->tried[mode]) return;
    ranking_insert(r, mode, rough_cost(is, mode), start);
}

// Refines around the first n places as they stand: mode - step and mode + step
// within [lo, hi].
void refine_around(intra_search *is, mode_ranking *r, int32_t n, int32_t step, int32_t start)
{
    int32_t around[PLACES];
    std::memcpy(around, r->mode, sizeof(int32_t) * (size_t)n);
    for (int32_t k = 0; k < n; k++) {
        int32_t m = around[k];
        if (m > 2 + step) try_mode(is, r, m - step, start);
        if (m < INTRA_MODE_LAST - step) try_mode(is, r, m + step, start);
    }
}

// With the configuration's source-neighbour bit of the slice type set, the
// rough pass predicts from neighbours inside the CTU taken from the source:
// the luma array comes from the source and the smoothed copy is made from
// it, so that no mode ranks on another block's references. The full costs
// gather from the reconstruction again. Returns whether it took them.
bool source_references(intra_search *is)
{
    row_context *ctx = is->ctx;
    mode_search_state *st = search_state(ctx);
    if (!((ctx->config.intra_source_ref_mask >> st->slice_class) & 1u)) return false;
    const ctu_context *c = &ctx->ctu;
    int32_t n = 1 << is->log2;
    intra_ref_ctx r;
    r.table = &ctx->enc->intra_pred;
    r.recon_avail_map = c->recon_avail;
    r.ref_area = &st->ref_area;
    intra_fill_border_samples(&r, c->source_luma + is->y * CTU_SOURCE_STRIDE + is->x, CTU_SOURCE_STRIDE,
                              c->recon_luma + is->y * CTU_WORK_STRIDE + is->x, CTU_WORK_STRIDE, is->x, is->y, n, 0);
    ctx->enc->intra_pred.ref_filter[is->log2 - 2](st->ref_area.luma, st->ref_area.luma_smoothed);
    return true;
}

// The node as a 2Nx2N intra CU with one transform unit and the derived
// chroma mode, committed so that the predictions read its maps.
void search_set_up(intra_search *is, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2)
{
    is->ctx = ctx;
    is->tree = tree;
    is->node = &tree[node_index(z, log2)];
    is->z = z;
    is->x = x;
    is->y = y;
    is->log2 = log2;
    is->metric = ctx->enc->metric.cost_metric[6 - log2];
    is->direct = -1;
    cu_node *node = is->node;
    node->chroma_mode = chroma_mode_from_luma;
    node->tu_split = 0;
    node->pred_mode = 1;
    node->intra_mode = 0;
    cu_tree_commit(ctx, tree, z, x, y, log2);
}

// Planar and DC in order of cost take the first two places.
void ranking_start(intra_search *is, mode_ranking *r)
{
    uint32_t planar = rough_cost(is, 0), dc = rough_cost(is, 1);
    int32_t dc_first = dc < planar;
    r->mode[0] = dc_first ? 1 : 0;
    r->cost[0] = dc_first ? dc : planar;
    r->mode[1] = dc_first ? 0 : 1;
    r->cost[1] = dc_first ? planar : dc;
    for (int32_t p = 2; p <= PLACES; p++) {
        r->mode[p] = 0;
        r->cost[p] = COST_INFINITE;
    }
}

// Coarse pass: planar and DC, then every fourth angular mode, refined by 2
// around the places; the angular modes of the neighbours above and to the
// left; a refinement by 1 around the first two places.
void rough_search(intra_search *is, mode_ranking *r)
{
    ranking_start(is, r);
    for (int32_t m = 2; m <= INTRA_MODE_LAST; m += COARSE_STEP) try_mode(is, r, m, PLACES - 1);
    refine_around(is, r, PLACES, 2, PLACES - 1);
    const int8_t *modes = is->ctx->ctu.intra_modes;
    const int32_t neighbours[2] = {modes[map4_index(is->z) - CTU_MAP4_STRIDE], modes[map4_index(is->z) - 1]};
    for (int32_t m : neighbours)
        if (m > 2) try_mode(is, r, m, PLACES - 1);
    refine_around(is, r, 2, 1, 1);
}

// Full costs of the finalists: the best rough mode; the first most probable
// mode where the rough pass did not try it; at speed level 6 and above the
// first two most probable modes, tried or not, and the second rough mode.
// A most probable mode that is the best so far or the second rough mode is
// not coded twice.
void rd_stage(const intra_search *is, const mode_ranking *r)
{
    int32_t level = search_state(is->ctx)->speed_level;
    intra_finalists f;
    intra_finalists_start(&f, is->ctx, is->tree, is->z, is->x, is->y, is->log2, r->mode[0]);
    int32_t mpm_count = level < 6 ? 1 : 2;
    for (int32_t i = 0; i < mpm_count; i++) {
        int32_t m = is->mpm[i];
        if (m == f.mode || m == r->mode[1]) continue;
        if (level > 5 || !is->tried[m]) intra_finalists_try(&f, m);
    }
    if (level >= 6) intra_finalists_try(&f, r->mode[1]);
    intra_finalists_settle(&f);
}

}  // namespace

void intra_mode_search_fast(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    intra_search is{};
    search_set_up(&is, ctx, tree, z, x, y, log2_size);
    intra_mpm_modes(ctx, z, is.mpm);
    // The rough pass gathers once, with its first mode, unless the references
    // come from the source.
    st->intra_ref_refresh = source_references(&is) ? 0 : 1;
    mode_ranking r;
    rough_search(&is, &r);
    is.node->intra_rough_cost = r.cost[0];
    st->intra_ref_refresh = 1;
    st->intra_rd_flag = 1;
    rd_stage(&is, &r);
}
