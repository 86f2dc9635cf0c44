// Intra decision of the fast intra path: the luma mode search (rough costs
// of every mode's prediction, then coded trials of a short list), the luma
// transform tree of the chosen mode, the chroma mode (Hadamard-ranked
// explicit candidates against the derived mode), and the CU's final cost.
#include "analysis/mode_search.h"
#include "bitstream/cabac_estimate.h"

namespace {

// Luma modes the fast intra decision codes whole after the rough ranking, by
// log2 CU size, a fixed tuning: eight for 4x4 and 8x8 blocks, three for 16x16
// and 32x32 (0: sizes the decision never sees).
const int32_t intra_candidate_count_table[7] = {0, 0, 8, 8, 3, 3, 0};

struct mode_place {
    int32_t mode;
    uint32_t cost;
};

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

// The block whose luma or chroma mode is searched.
struct mode_block {
    row_context *ctx;
    cu_node *tree;
    cu_node *node;
    mode_search_state *st;
    int32_t z, x, y, log2;
};

uint32_t trial_of(const mode_block *s, int32_t m)
{
    return coded_trial(s->ctx, s->tree, s->z, s->x, s->y, s->log2, m);
}

void luma_mode_settle(const mode_block *s, int32_t best_mode, uint32_t best)
{
    s->node->intra_mode = best_mode;
    s->node->intra_cost = best;
    s->st->intra_ref_refresh = 1;
}

// At the top speed levels a block of 8x8 or less tries every mode coded.
void every_mode_coded(const mode_block *s)
{
    s->node->intra_mode = 0;
    s->ctx->ctu.decision.cbf_flags[node_index(s->z, s->log2)] = 0;
    cu_tree_commit(s->ctx, s->tree, s->z, s->x, s->y, s->log2);
    uint32_t best = trial_of(s, 0);
    int32_t best_mode = 0;
    s->st->intra_ref_refresh = 0;
    for (int32_t m = 1; m < INTRA_MODE_COUNT; m++) {
        uint32_t c = trial_of(s, m);
        if (c < best) {
            best = c;
            best_mode = m;
        }
    }
    luma_mode_settle(s, best_mode, best);
}

// The rough cost of every mode's prediction. At speed levels 0..4 a mode the
// preselection leaves out takes the cost of its representative.
void rough_costs(const mode_block *s)
{
    row_context *ctx = s->ctx;
    mode_search_state *st = s->st;
    int32_t z = s->z, x = s->x, y = s->y, log2_size = s->log2, size = 1 << log2_size;
    uint8_t on[INTRA_MODE_COUNT];
    int32_t representative = -1;
    for (int32_t m = 0; m < INTRA_MODE_COUNT; m++) on[m] = 1;
    if (st->speed_level <= 4) intra_mode_preselect(ctx, on, &representative, log2_size, x, y);
    uint8_t *entry = (uint8_t *)&ctx->ctu.intra_modes[map4_index(z)];
    pair_metric_fn metric = log2_size == 2 ? ctx->enc->metric.satd[4] : ctx->enc->metric.cost_metric[6 - log2_size];
    const ctu_context *c = &ctx->ctu;
    uint32_t *rough = s->node->mode_rough_cost;
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
        else tu_predict(ctx, z, x, y, log2_size, s->node->qp, TU_LUMA);
        rough[m] = metric(c->source_luma + y * CTU_SOURCE_STRIDE + x, CTU_SOURCE_STRIDE,
                          c->recon_luma + y * CTU_WORK_STRIDE + x, CTU_WORK_STRIDE);
        st->intra_ref_refresh = 0;
    }
}

// The k cheapest evaluated modes by rough cost and mode bins, cheapest
// first; the rough costs are cleared on the way.
void rough_short_list(cu_node *node, const int32_t mpm[3], int32_t k, mode_place list[12])
{
    uint32_t *rough = node->mode_rough_cost;
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
}

// The first two most probable modes are always coded: appended when the list
// lacks them. Returns the new length.
int32_t mpm_join(mode_place list[12], int32_t places, const int32_t mpm[3])
{
    for (int32_t i = 0; i < 2; i++) {
        bool listed = false;
        for (int32_t p = 0; p < places; p++) listed |= list[p].mode == mpm[i];
        if (!listed) list[places++] = {mpm[i], COST_INFINITE};
    }
    return places;
}

void short_list_coded(const mode_block *s, const mode_place *list, int32_t places)
{
    uint32_t best = COST_INFINITE;
    int32_t best_mode = list[0].mode;
    for (int32_t p = 0; p < places; p++) {
        s->node->intra_mode = list[p].mode;
        uint32_t cost = trial_of(s, list[p].mode);
        if (cost < best) {
            best = cost;
            best_mode = list[p].mode;
        }
    }
    luma_mode_settle(s, best_mode, best);
}

// Rough costs of the four explicit chroma candidates, with the map entries
// of the block at entry (w x w) set to each in turn.
void chroma_rough_costs(const mode_block *s, uint8_t *entry, int32_t w)
{
    row_context *ctx = s->ctx;
    cu_node *node = s->node;
    int32_t log2_size = s->log2;
    pair_metric_fn metric = log2_size <= 3 ? ctx->enc->metric.satd[4] : ctx->enc->metric.cost_metric[7 - log2_size];
    const ctu_context *c = &ctx->ctu;
    int32_t cx = (s->x & ~7) / 2, cy = (s->y & ~7) / 2;
    for (int32_t k = 0; k < 4; k++) {
        node->chroma_mode = k;
        map_fill_rect(entry, w, w, (uint8_t)k);
        tu_predict(ctx, s->z, s->x, s->y, log2_size, node->qp, TU_CHROMA);
        uint32_t sum = 0;
        for (int32_t p = 0; p < 2; p++)
            sum += metric(c->source_chroma + p * 32 + cy * CTU_SOURCE_STRIDE + cx, CTU_SOURCE_STRIDE,
                          c->recon_chroma + p * 64 + cy * CTU_WORK_STRIDE + cx, CTU_WORK_STRIDE);
        node->chroma_rough_cost[k] = sum;
    }
}

// The cheapest explicit candidate once each is charged its mode bits.
int32_t chroma_rough_best(cu_node *node)
{
    uint32_t best_cost = COST_INFINITE;
    int32_t best = 0;
    for (int32_t k = 0; k < 4; k++) {
        if (node->chroma_rough_cost[k] != COST_INFINITE) node->chroma_rough_cost[k] += 3 * node->lambda_satd;
        if (node->chroma_rough_cost[k] < best_cost) {
            best_cost = node->chroma_rough_cost[k];
            best = k;
        }
    }
    return best;
}

// Full cost of chroma mode m coded through the transform tree, with the bins
// of the mode.
uint32_t chroma_coded_cost(const mode_block *s, uint8_t *entry, int32_t w, int32_t m)
{
    row_context *ctx = s->ctx;
    cu_node *node = s->node;
    cabac_encoder *cab = &ctx->cabac;
    node->chroma_mode = m;
    map_fill_rect(entry, w, w, (uint8_t)m);
    intra_tu_tree_code(ctx, s->tree, s->z, s->x, s->y, s->log2, 2, 0);
    uint32_t before = cab->rate.est_bits;
    rate_est_intra_chroma_mode(cab, m != chroma_mode_from_luma);
    uint32_t cost = node->tu_cost + rate_term(cab->rate.est_bits - before, node->lambda_sse);
    rate_restore(ctx, 6 - s->log2);
    return cost;
}

}  // namespace

void intra_luma_mode_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                            int32_t log2_size)
{
    mode_block s = {ctx, tree, &tree[node_index(z, log2_size)], search_state(ctx), z, x, y, log2_size};
    cu_node *node = s.node;
    node->pred_mode = 1;
    node->tu_split = 0;
    node->part_mode = 0;
    node->chroma_mode = 4;
    if (log2_size <= 3 && s.st->speed_level >= 7) {
        every_mode_coded(&s);
        return;
    }
    cu_tree_commit(ctx, tree, z, x, y, log2_size);
    node->intra_mode = 0;
    rough_costs(&s);
    int32_t mpm[3];
    intra_mpm_modes(ctx, z, mpm);
    int32_t k = intra_candidate_count_table[log2_size];
    mode_place list[12];
    rough_short_list(node, mpm, k, list);
    short_list_coded(&s, list, mpm_join(list, k, mpm));
}

void chroma_mode_decide(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    int32_t n = node_index(z, log2_size);
    mode_block s = {ctx, tree, &tree[n], search_state(ctx), z, x, y, log2_size};
    cu_decision_arrays *dec = &ctx->ctu.decision;
    int32_t w = log2_size >= 3 ? (1 << log2_size) / 8 : 1;
    uint8_t *entry = (uint8_t *)&ctx->ctu.intra_modes[chroma_map_index(z >> 2)];
    int32_t kept = (int8_t)dec->tu_split[n];
    dec->tu_split[n] = 0;
    chroma_rough_costs(&s, entry, w);
    int32_t best = chroma_rough_best(s.node);
    dec->tu_split[n] = kept;
    s.node->tu_split = (uint8_t)(kept == 1);
    // The derived mode against the best explicit candidate.
    uint32_t rd_dm = chroma_coded_cost(&s, entry, w, chroma_mode_from_luma);
    uint32_t rd_best = chroma_coded_cost(&s, entry, w, best);
    s.node->chroma_mode = rd_dm < rd_best ? 4 : best;
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
