// Intra decision of the fast intra path: the luma mode search (rough costs
// of every mode's prediction, then coded trials of a short list), the luma
// transform tree of the chosen mode, the chroma mode (Hadamard-ranked
// explicit candidates against the derived mode), and the CU's final cost.
#include "analysis/mode_search.h"

namespace {

// Luma modes the fast intra decision codes whole after the rough ranking, by
// log2 CU size, a fixed tuning: eight for 4x4 and 8x8 blocks, three for 16x16
// and 32x32 (0: sizes the decision never sees).
const int32_t intra_candidate_count_table[7] = {0, 0, 8, 8, 3, 3, 0};

struct mode_place {
    int32_t mode;
    uint32_t cost;
};

void price_bin(cabac_encoder *c, int32_t slot, int32_t bin)
{
    uint32_t s = c->rate.ctx[slot];
    c->rate.est_bits += cabac_bits_table[s ^ (uint32_t)bin];
    c->rate.ctx[slot] = cabac_next_state_table[2 * s + (uint32_t)bin];
}

// One coded trial of mode m on the block; the block is one transform unit.
uint32_t coded_trial(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                     int32_t m)
{
    int32_t size = 1 << log2_size, d = 6 - log2_size;
    cu_node *node = &tree[node_index(z, log2_size)];
    uint8_t *entry = (uint8_t *)&ctx->ctu.intra_modes[map4_index(z)];
    map_fill_rect(entry, size / 4, size / 4, (uint8_t)m);
    intra_tu_tree_code(ctx, tree, z, x, y, log2_size, log2_size == 2 ? 33 : 1, 0);
    uint32_t before = ctx->cabac.rate.est_bits;
    *entry = (uint8_t)m;
    rate_intra_luma_mode(ctx, z, log2_size);
    uint32_t cost = node->tu_cost + rate_term(ctx->cabac.rate.est_bits - before, node->lambda_sse);
    rate_restore(ctx, d);
    map_mark_unavailable(ctx, x, y, size, size);
    return cost;
}

}  // namespace

void intra_luma_mode_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                            int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    cu_node *node = &tree[node_index(z, log2_size)];
    int32_t size = 1 << log2_size;
    node->pred_mode = 1;
    node->tu_split = 0;
    node->part_mode = 0;
    node->chroma_mode = 4;
    if (log2_size <= 3 && st->speed_level >= 7) {
        node->intra_mode = 0;
        ctx->ctu.decision.cbf_flags[node_index(z, log2_size)] = 0;
        cu_tree_commit(ctx, tree, z, x, y, log2_size);
        uint32_t best = coded_trial(ctx, tree, z, x, y, log2_size, 0);
        int32_t best_mode = 0;
        st->intra_ref_refresh = 0;
        for (int32_t m = 1; m < INTRA_MODE_COUNT; m++) {
            uint32_t c = coded_trial(ctx, tree, z, x, y, log2_size, m);
            if (c < best) {
                best = c;
                best_mode = m;
            }
        }
        node->intra_mode = best_mode;
        node->intra_cost = best;
        st->intra_ref_refresh = 1;
        return;
    }
    cu_tree_commit(ctx, tree, z, x, y, log2_size);
    node->intra_mode = 0;
    uint8_t on[INTRA_MODE_COUNT];
    int32_t representative = -1;
    for (int32_t m = 0; m < INTRA_MODE_COUNT; m++) on[m] = 1;
    if (st->speed_level <= 4) intra_mode_preselect(ctx, on, &representative, log2_size, x, y);
    uint8_t *entry = (uint8_t *)&ctx->ctu.intra_modes[map4_index(z)];
    pair_metric_fn metric = log2_size == 2 ? ctx->enc->metric.satd[4] : ctx->enc->metric.cost_metric[6 - log2_size];
    const ctu_context *c = &ctx->ctu;
    uint32_t *rough = node->mode_rough_cost;
    luma_mode_predictor lp;
    int32_t direct = -1;   // set up at the first mode predicted
    for (int32_t m = 0; m < INTRA_MODE_COUNT; m++) {
        if (st->speed_level <= 4 && !on[m]) {
            rough[m] = representative >= 0 ? rough[representative] : COST_INFINITE;
            continue;
        }
        map_fill_rect(entry, size / 4, size / 4, (uint8_t)m);
        if (direct < 0) direct = luma_mode_predictor_init(ctx, z, x, y, log2_size, &lp) ? 1 : 0;
        if (direct) luma_mode_predict(&lp, m);
        else tu_predict(ctx, z, x, y, log2_size, node->qp, TU_LUMA);
        rough[m] = metric(c->source_luma + y * CTU_SOURCE_STRIDE + x, CTU_SOURCE_STRIDE,
                          c->recon_luma + y * CTU_WORK_STRIDE + x, CTU_WORK_STRIDE);
        st->intra_ref_refresh = 0;
    }
    int32_t mpm[3];
    intra_mpm_modes(ctx, z, mpm);
    int32_t k = intra_candidate_count_table[log2_size];
    mode_place list[12];
    for (int32_t p = 0; p < 12; p++) list[p] = {0, COST_INFINITE};
    for (int32_t m = 0; m < INTRA_MODE_COUNT; m++) {
        uint32_t w = intra_mode_bins(mpm, m);
        bool evaluated = rough[m] != COST_INFINITE;
        uint32_t t = rough[m] + w * node->lambda_satd;
        rough[m] = COST_INFINITE;
        if (!evaluated || k == 0 || !(t < list[k - 1].cost)) continue;
        int32_t p = k - 1;
        while (p > 0 && t < list[p - 1].cost) {
            list[p] = list[p - 1];
            p--;
        }
        list[p] = {m, t};
    }
    int32_t places = k;
    for (int32_t i = 0; i < 2; i++) {
        bool listed = false;
        for (int32_t p = 0; p < places; p++) listed |= list[p].mode == mpm[i];
        if (!listed) list[places++] = {mpm[i], COST_INFINITE};
    }
    uint32_t best = COST_INFINITE;
    int32_t best_mode = list[0].mode;
    for (int32_t p = 0; p < places; p++) {
        node->intra_mode = list[p].mode;
        uint32_t cost = coded_trial(ctx, tree, z, x, y, log2_size, list[p].mode);
        if (cost < best) {
            best = cost;
            best_mode = list[p].mode;
        }
    }
    node->intra_mode = best_mode;
    node->intra_cost = best;
    st->intra_ref_refresh = 1;
}

void chroma_mode_decide(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    int32_t n = node_index(z, log2_size), d = 6 - log2_size;
    cu_node *node = &tree[n];
    cu_decision_arrays *dec = &ctx->ctu.decision;
    int32_t w = log2_size >= 3 ? (1 << log2_size) / 8 : 1;
    uint8_t *entry = (uint8_t *)&ctx->ctu.intra_modes[chroma_map_index(z >> 2)];
    int32_t kept = (int8_t)dec->tu_split[n];
    dec->tu_split[n] = 0;
    pair_metric_fn metric = log2_size <= 3 ? ctx->enc->metric.satd[4] : ctx->enc->metric.cost_metric[7 - log2_size];
    const ctu_context *c = &ctx->ctu;
    int32_t cx = (x & ~7) / 2, cy = (y & ~7) / 2;
    for (int32_t k = 0; k < 4; k++) {
        node->chroma_mode = k;
        map_fill_rect(entry, w, w, (uint8_t)k);
        tu_predict(ctx, z, x, y, log2_size, node->qp, TU_CHROMA);
        uint32_t sum = 0;
        for (int32_t p = 0; p < 2; p++)
            sum += metric(c->source_chroma + p * 32 + cy * CTU_SOURCE_STRIDE + cx, CTU_SOURCE_STRIDE,
                          c->recon_chroma + p * 64 + cy * CTU_WORK_STRIDE + cx, CTU_WORK_STRIDE);
        node->chroma_rough_cost[k] = sum;
    }
    uint32_t best_cost = COST_INFINITE;
    int32_t best = 0;
    for (int32_t k = 0; k < 4; k++) {
        if (node->chroma_rough_cost[k] != COST_INFINITE) node->chroma_rough_cost[k] += 3 * node->lambda_satd;
        if (node->chroma_rough_cost[k] < best_cost) {
            best_cost = node->chroma_rough_cost[k];
            best = k;
        }
    }
    dec->tu_split[n] = kept;
    node->tu_split = (uint8_t)(kept == 1);
    cabac_encoder *cab = &ctx->cabac;
    // Derived mode.
    node->chroma_mode = 4;
    map_fill_rect(entry, w, w, 4);
    intra_tu_tree_code(ctx, tree, z, x, y, log2_size, 2, 0);
    uint32_t before = cab->rate.est_bits;
    price_bin(cab, ctx_intra_chroma_pred_mode, 0);
    uint32_t rd_dm = node->tu_cost + rate_term(cab->rate.est_bits - before, node->lambda_sse);
    rate_restore(ctx, d);
    // Best explicit candidate.
    node->chroma_mode = best;
    map_fill_rect(entry, w, w, (uint8_t)best);
    intra_tu_tree_code(ctx, tree, z, x, y, log2_size, 2, 0);
    before = cab->rate.est_bits;
    price_bin(cab, ctx_intra_chroma_pred_mode, 1);
    cab->rate.est_bits += 512;
    uint32_t rd_best = node->tu_cost + rate_term(cab->rate.est_bits - before, node->lambda_sse);
    rate_restore(ctx, d);
    node->chroma_mode = rd_dm < rd_best ? 4 : best;
}

void intra_cu_decide(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    ctu_context *c = &ctx->ctu;
    int32_t size = 1 << log2_size, n = node_index(z, log2_size), d = 6 - log2_size;
    cu_node *node = &tree[n];
    if (size >= 8) map_fill_block((uint8_t *)&c->maps.cu_depth_map[map8_index(z)], size / 8, size / 8, 1, (uint32_t)d);
    else if ((z & 3) == 0) c->maps.cu_depth_map[map8_index(z)] = 3;
    intra_luma_mode_search(ctx, tree, z, x, y, log2_size);
    node->split = 0;
    cu_tree_commit(ctx, tree, z, x, y, log2_size);
    c->decision.cbf_flags[n] = 0;
    if (size == 4) {
        intra_tu_tree_code(ctx, tree, z, x, y, 2, 33, 0);
    } else {
        intra_tu_tree_code(ctx, tree, z, x, y, log2_size, 1, 1);
        rate_restore(ctx, d);
    }
    if (size >= 8) {
        map_mark_unavailable(ctx, x, y, size, size);
        chroma_mode_decide(ctx, tree, z, x, y, log2_size);
        map_mark_unavailable(ctx, x, y, size, size);
    } else if ((z & 3) == 3) {
        map_mark_unavailable(ctx, x, y, 4, 4);
        chroma_mode_decide(ctx, tree, z, x, y, 2);
    }
    cu_tree_commit(ctx, tree, z, x, y, log2_size);
    tu_layer_save(ctx, tree, z, log2_size, d);
    if (log2_size >= 3) node->intra_cost = rd_cu_cost(ctx, node->lambda_sse, z, x, y, log2_size, 0, 0);
}
