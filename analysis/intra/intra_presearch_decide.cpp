// I-slice CU decision of the configurations that rank intra modes on the
// half-resolution picture: the rough ranking (half or full resolution), the
// coded trials of K luma candidates, the chroma mode, and the final coding.
#include "analysis/intra/ranked_modes.h"
#include "analysis/mode_search.h"
#include "bitstream/cabac_estimate.h"
#include "analysis/speed_levels.h"
#include "encoder/int_math.h"

#include <cstring>
#include <utility>

namespace {

struct presearch_frame {
    row_context *ctx;
    mode_search_state *st;
    cu_node *node;
    int32_t z, x, y, log2, n, depth, size;
    pair_metric_fn luma_metric, chroma_metric;
    int32_t mpm[3];
    uint8_t allowed[INTRA_MODE_COUNT];
    uint8_t tried[INTRA_MODE_COUNT];
    ranked list[5];
    int32_t count;
    // Set up at the first full-resolution mode, after the half-resolution
    // ranking has used the reference area for its own samples.
    luma_mode_predictor lp;
    int32_t direct;   // -1 until then
};

// At the first slot of strictly greater cost; the last slot drops off.
void candidate_insert(ranked *slots, int32_t k, int32_t mode, uint32_t cost)
{
    for (int32_t p = 0; p < k; p++) {
        if (cost < slots[p].cost) {
            for (int32_t q = k - 1; q > p; q--) slots[q] = slots[q - 1];
            slots[p] = {cost, mode};
            return;
        }
    }
}

// Prediction of mode m over the CU at full resolution and its rough cost.
uint32_t full_rough(presearch_frame *f, int32_t m)
{
    row_context *ctx = f->ctx;
    ctu_context *c = &ctx->ctu;
    f->node->intra_mode = m;
    map_fill_rect((uint8_t *)&c->intra_modes[map4_index(f->z)], f->size / 4, f->size / 4, (uint8_t)m);
    if (f->direct < 0) f->direct = luma_mode_predictor_init(ctx, f->z, f->x, f->y, f->log2, &f->lp) ? 1 : 0;
    if (f->direct) luma_mode_predict(&f->lp, m);
    else tu_predict(ctx, f->z, f->x, f->y, f->log2, f->node->qp, TU_LUMA);
    uint32_t cost = f->luma_metric(c->source_luma + f->y * CTU_SOURCE_STRIDE + f->x, CTU_SOURCE_STRIDE,
                                   c->recon_luma + f->y * CTU_WORK_STRIDE + f->x, CTU_WORK_STRIDE) +
                    intra_mode_bins(f->mpm, m) * f->node->lambda_satd;
    f->st->intra_ref_refresh = 0;
    return cost;
}

void full_try(presearch_frame *f, int32_t m, int32_t places)
{
    if (m < 0 || m > INTRA_MODE_LAST || f->tried[m] || !f->allowed[m]) return;
    ranked_insert(f->list, places, m, full_rough(f, m));
    f->tried[m] = 1;
}

// Full-resolution rough search; returns the number of ranked entries.
int32_t full_rough_search(presearch_frame *f)
{
    std::memset(f->tried, 0, sizeof(f->tried));
    f->list[0] = {full_rough(f, 0), 0};
    f->list[1] = {full_rough(f, 1), 1};
    if (f->list[1].cost < f->list[0].cost) std::swap(f->list[0], f->list[1]);
    f->tried[0] = f->tried[1] = 1;
    if (f->st->speed_level == 0) {
        for (int32_t m = 2; m <= INTRA_MODE_LAST; m += 8) full_try(f, m, 2);
        for (int32_t step = 4; step >= 1; step >>= 1) {
            int32_t seeds[2] = {f->list[0].mode, f->list[1].mode};
            for (int32_t k = 0; k < 2; k++) {
                if (seeds[k] < 2) continue;
                int32_t lo = seeds[k] - step < 2 ? 2 : seeds[k] - step;
                int32_t hi = min_i32(seeds[k] + step, INTRA_MODE_LAST);
                for (int32_t m = lo; m <= hi; m += step) full_try(f, m, 2);
            }
        }
        return 2;
    }
    int32_t count = 2;
    f->list[2] = f->list[3] = f->list[4] = {COST_INFINITE, -1};
    for (int32_t m = 2; m <= INTRA_MODE_LAST; m += 4) {
        if (f->tried[m] || !f->allowed[m]) continue;
        full_try(f, m, 4);
        count++;
    }
    if (count > 4) count = 4;
    ranked seeds[4];
    std::memcpy(seeds, f->list, sizeof(seeds));
    for (int32_t k = 0; k < count; k++) {
        if (seeds[k].mode > 4) full_try(f, seeds[k].mode - 2, 4);
        if (seeds[k].mode < 32) full_try(f, seeds[k].mode + 2, 4);
    }
    full_try(f, f->mpm[0], 4);
    full_try(f, f->mpm[1], 4);
    std::memcpy(seeds, f->list, 2 * sizeof(ranked));
    for (int32_t k = 0; k < 2; k++) {
        if (seeds[k].mode > 3) full_try(f, seeds[k].mode - 1, 2);
        if (seeds[k].mode < 33) full_try(f, seeds[k].mode + 1, 2);
    }
    return count;
}

// Coded trials of the luma candidates from the back, so that ties go to the
// better-ranked one; returns the best mode and leaves its cost in *best.
int32_t luma_rd_check(presearch_frame *f, const ranked *cand, int32_t k, uint32_t *best)
{
    row_context *ctx = f->ctx;
    int32_t best_mode = cand[0].mode;
    *best = COST_INFINITE;
    for (int32_t i = k - 1; i >= 0; i--) {
        if (i > 0 && cand[i].mode < 0) continue;
        rate_restore(ctx, f->depth);
        f->node->intra_mode = cand[i].mode;
        map_fill_rect((uint8_t *)&ctx->ctu.intra_modes[map4_index(f->z)], f->size / 4, f->size / 4,
                      (uint8_t)cand[i].mode);
        uint32_t d = rd_luma_tu_cost(ctx, f->node->lambda_sse, f->z, f->x, f->y, f->log2, 1);
        uint32_t before = ctx->cabac.rate.est_bits;
        rate_intra_luma_mode(ctx, f->z, f->log2);
        uint32_t total = d + rate_term(ctx->cabac.rate.est_bits - before, f->node->lambda_sse);
        if (total <= *best) {
            *best = total;
            best_mode = cand[i].mode;
        }
    }
    f->node->intra_cbf |= ctx->ctu.decision.cbf_flags[f->n] & 1;
    return best_mode;
}

uint32_t chroma_trial(presearch_frame *f, int32_t j)
{
    row_context *ctx = f->ctx;
    rate_restore(ctx, f->depth);
    f->node->chroma_mode = j;
    map_fill_rect((uint8_t *)&ctx->ctu.intra_modes[chroma_map_index(f->z >> 2)], f->size / 8, f->size / 8,
                  (uint8_t)j);
    uint32_t d = rd_chroma_tu_cost(ctx, f->node->lambda_sse, f->z, f->x, f->y, f->log2, 1);
    cabac_encoder *c = &ctx->cabac;
    uint32_t before = c->rate.est_bits;
    rate_est_intra_chroma_mode(c, j != chroma_mode_from_luma);
    return d + rate_term(c->rate.est_bits - before, f->node->lambda_sse);
}

// Hadamard-ranked best of the explicit modes against the derived mode, which
// wins a tie.
int32_t chroma_decide(presearch_frame *f)
{
    row_context *ctx = f->ctx;
    int32_t best_j = 0;
    uint32_t best_rough = COST_INFINITE;
    for (int32_t j = 0; j < chroma_mode_from_luma; j++) {
        f->node->chroma_mode = j;
        map_fill_rect((uint8_t *)&ctx->ctu.intra_modes[chroma_map_index(f->z >> 2)], f->size / 8, f->size / 8,
                      (uint8_t)j);
        tu_predict(ctx, f->z, f->x, f->y, f->log2, f->node->qp, TU_CHROMA);
        uint32_t r = chroma_rough_cost(&ctx->ctu, f->x, f->y, f->chroma_metric);
        f->node->chroma_rough_cost[j] = r;
        if (r < best_rough) {
            best_rough = r;
            best_j = j;
        }
        f->st->intra_ref_refresh = 0;
    }
    int32_t chosen = 4;
    uint32_t best = COST_INFINITE;
    uint32_t t = chroma_trial(f, best_j);
    if (t < best) {
        best = t;
        chosen = best_j;
    }
    if (chroma_trial(f, 4) <= best) {
        chosen = 4;
        f->node->intra_cbf |= ctx->ctu.decision.cbf_flags[f->n] & 6;
    }
    f->st->intra_ref_refresh = 1;
    return chosen;
}

void frame_set_up(presearch_frame *f, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                  int32_t log2)
{
    f->ctx = ctx;
    f->st = search_state(ctx);
    f->z = z;
    f->x = x;
    f->y = y;
    f->log2 = log2;
    f->n = node_index(z, log2);
    f->node = &tree[f->n];
    f->depth = 6 - log2;
    f->size = 1 << log2;
    f->direct = -1;
    const metric_table *mt = &ctx->enc->metric;
    int32_t i = f->depth;
    f->luma_metric = ranks_by_cost_metric(f->st->speed_level) ? mt->cost_metric[i] : mt->sa8d_sub[i];
    if (log2 == 3) f->chroma_metric = mt->satd[4];
    else f->chroma_metric = ranks_by_cost_metric(f->st->speed_level) ? mt->cost_metric[i + 1] : mt->sa8d_sub[i + 1];
}

// The CU as an unsplit intra CU of its depth, committed to the maps.
void node_start(presearch_frame *f, cu_node *tree)
{
    row_context *ctx = f->ctx;
    cu_node *node = f->node;
    map_fill_block((uint8_t *)&ctx->ctu.maps.cu_depth_map[map8_index(f->z)], f->size / 8, f->size / 8, 1,
                   (uint32_t)f->depth);
    node->split = 0;
    node->tu_split = 0;
    node->pred_mode = 1;
    node->part_mode = 0;
    node->chroma_mode = chroma_mode_from_luma;
    node->node_cbf = 7;
    node->intra_cbf = 0;
    node->state_stale = 0;
    cu_tree_commit(ctx, tree, f->z, f->x, f->y, f->log2);
}

// The k luma candidates by rough cost: from the half-resolution ranking when
// it yields modes (their costs taken again at full resolution), else from the
// full-resolution search.
void rough_candidates(presearch_frame *f, coarse_search_context *coarse, ranked cand[3], int32_t k)
{
    row_context *ctx = f->ctx;
    cu_node *node = f->node;
    intra_mpm_modes(ctx, f->z, f->mpm);
    int32_t hint = -1;
    int32_t count = intra_mode_preselect(ctx, f->allowed, &hint, f->log2, f->x, f->y);
    for (int32_t i = 0; i < 3; i++) f->allowed[f->mpm[i]] = 1;
    uint32_t half_modes[3];
    int32_t got = 0;
    if (f->log2 >= 4 && count >= 6)
        got = intra_halfres_presearch(ctx, coarse, f->x, f->y, f->log2, f->allowed, half_modes, f->mpm,
                                      node->lambda_satd);
    if (got > 0) {
        for (int32_t i = 0; i < got; i++) {
            int32_t m = (int32_t)half_modes[i];
            uint32_t cost = full_rough(f, m);
            node->mode_rough_cost[m] = cost;
            candidate_insert(cand, k, m, cost);
        }
        return;
    }
    int32_t ranked_count = full_rough_search(f);
    int32_t take = k < ranked_count ? k : ranked_count;
    for (int32_t i = 0; i < take; i++) {
        cand[i] = f->list[i];
        if (cand[i].mode >= 0) node->mode_rough_cost[cand[i].mode] = cand[i].cost;
    }
}

// The luma mode: the best coded trial, or the best-ranked candidate when the
// trials are off (its cost then unknown).
int32_t luma_mode_choose(presearch_frame *f, const ranked cand[3], int32_t k)
{
    mode_search_state *st = f->st;
    uint32_t best = COST_INFINITE;
    int32_t best_mode = cand[0].mode;
    if (st->intra_rd_check) best_mode = luma_rd_check(f, cand, k, &best);
    st->intra_ref_refresh = 1;
    f->node->intra_cost = best;
    f->node->intra_mode = best_mode;
    map_fill_rect((uint8_t *)&f->ctx->ctu.intra_modes[map4_index(f->z)], f->size / 4, f->size / 4,
                  (uint8_t)best_mode);
    return best_mode;
}

int32_t chroma_mode_choose(presearch_frame *f)
{
    row_context *ctx = f->ctx;
    int32_t chroma = f->st->intra_rd_check ? chroma_decide(f) : 4;
    f->node->chroma_mode = chroma;
    rate_restore(ctx, f->depth);
    map_fill_rect((uint8_t *)&ctx->ctu.intra_modes[chroma_map_index(f->z >> 2)], f->size / 8, f->size / 8,
                  (uint8_t)chroma);
    return chroma;
}

// The CU's final cost. The last trials code the best-ranked luma candidate
// and the derived chroma mode: when those were chosen, with the quantiser
// the final coding uses, their coded state stands and is only priced;
// otherwise the CU is coded again.
void final_cost(presearch_frame *f, bool trials_stand)
{
    row_context *ctx = f->ctx;
    mode_search_state *st = f->st;
    cu_node *node = f->node;
    cu_decision_arrays *dec = &ctx->ctu.decision;
    int32_t old = st->use_rdoq_alt;
    st->use_rdoq_alt = old | intra_wants_rdoq_alt(st->speed_level, st->pick_mode);
    if (st->intra_rd_check && st->use_rdoq_alt == old && trials_stand) {
        dec->cbf_flags[f->n] = node->intra_cbf;
        node->intra_cost = rd_cu_cost_current(ctx, node->lambda_sse, f->z, f->x, f->y, f->log2);
    } else {
        node->intra_cost = rd_cu_cost(ctx, node->lambda_sse, f->z, f->x, f->y, f->log2, 0, 0);
        node->intra_cbf = dec->cbf_flags[f->n];
    }
    st->use_rdoq_alt = old;
}

}  // namespace

void cu_decide_intra_presearch(row_context *ctx, cu_node *tree, coarse_search_context *coarse, int32_t z,
                               int32_t x, int32_t y, int32_t log2_size)
{
    presearch_frame f;
    frame_set_up(&f, ctx, tree, z, x, y, log2_size);
    mode_search_state *st = f.st;
    node_start(&f, tree);
    int32_t k = !st->intra_rd_check ? 1 : (st->speed_level <= 1 ? 2 : 3);
    ranked cand[3] = {{COST_INFINITE, -1}, {COST_INFINITE, -1}, {COST_INFINITE, -1}};
    rough_candidates(&f, coarse, cand, k);
    int32_t best_mode = luma_mode_choose(&f, cand, k);
    int32_t chroma = chroma_mode_choose(&f);
    final_cost(&f, best_mode == cand[0].mode && chroma == chroma_mode_from_luma);
}
