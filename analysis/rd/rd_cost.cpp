// Rate-distortion cost helpers: distortion of the work planes against the
// source CTU, the lambda-weighted rate of what the estimator adds, and the
// costs of transform units and whole CUs coded through tu_encode.
#include "analysis/mode_search.h"

#include <cstring>

#include "kernels/quant/quant.h"

uint32_t rate_term(uint32_t bits, uint32_t lambda)
{
    return (uint32_t)(((uint64_t)bits * lambda + 32768) >> 16);
}

uint32_t chroma_rough_cost(const ctu_context *c, int32_t x, int32_t y, pair_metric_fn metric)
{
    int32_t cx = (x & ~7) / 2, cy = (y & ~7) / 2;
    uint32_t sum = 0;
    for (int32_t p = 0; p < 2; p++)
        sum += metric(c->source_chroma + p * 32 + cy * CTU_SOURCE_STRIDE + cx, CTU_SOURCE_STRIDE,
                      c->recon_chroma + p * 64 + cy * CTU_WORK_STRIDE + cx, CTU_WORK_STRIDE);
    return sum;
}

uint32_t rd_split_flag_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t depth, int32_t flag)
{
    if (depth >= 3) return 0;
    const int8_t *dm = ctx->ctu.maps.cu_depth_map;
    int32_t m = map8_index(z);
    int32_t inc = (dm[m - CTU_MAP8_STRIDE] > depth) + (dm[m - 1] > depth);
    cabac_encoder *c = &ctx->cabac;
    uint32_t before = c->rate.est_bits;
    uint32_t s = c->rate.ctx[ctx_split_cu_flag + inc];
    c->rate.est_bits += cabac_bits_table[s ^ (uint32_t)flag];
    c->rate.ctx[ctx_split_cu_flag + inc] = cabac_next_state_table[2 * s + (uint32_t)flag];
    return rate_term(c->rate.est_bits - before, lambda);
}

// The texture term: each 4x4 unit's SSE scaled by its texture weight and the
// configured strength, a quarter of the sum added to the plain SSE. The sum
// is signed: textured units lower the distortion (by at most half their SSE,
// so the result never goes below half the plain SSE), flat units raise it.
static int64_t texture_weighted_sse(row_context *ctx, int32_t log2_size, int32_t x, int32_t y)
{
    const ctu_context *c = &ctx->ctu;
    const mode_search_state *st = search_state(ctx);
    int32_t units = 1 << (log2_size - 2);
    int64_t sum = 0;
    for (int32_t by = 0; by < units; by++) {
        int32_t py = y + 4 * by;
        for (int32_t bx = 0; bx < units; bx++) {
            int32_t px = x + 4 * bx;
            uint32_t sse = ctx->enc->metric.sse[4](c->source_luma + py * CTU_SOURCE_STRIDE + px, CTU_SOURCE_STRIDE,
                                              c->recon_luma + py * CTU_WORK_STRIDE + px, CTU_WORK_STRIDE);
            int64_t weight = (int64_t)st->rd_extra_weight * st->dist_weight_map[(py / 4) * 16 + px / 4];
            sum += (weight * sse + 32768) >> 16;
        }
    }
    return sum;
}

uint32_t rd_luma_distortion(row_context *ctx, int32_t log2_size, int32_t x, int32_t y)
{
    const ctu_context *c = &ctx->ctu;
    uint32_t sse = ctx->enc->metric.sse[6 - log2_size](c->source_luma + y * CTU_SOURCE_STRIDE + x, CTU_SOURCE_STRIDE,
                                                  c->recon_luma + y * CTU_WORK_STRIDE + x, CTU_WORK_STRIDE);
    if (search_state(ctx)->rd_extra_weight == 0) return sse;
    return (uint32_t)((int64_t)sse + (texture_weighted_sse(ctx, log2_size, x, y) >> 2));
}

// Chroma block of size index i at chroma position (cx, cy), both planes,
// weighted by the per-QP chroma weight.
static uint32_t chroma_sse_weighted(row_context *ctx, int32_t cx, int32_t cy, int32_t i, int32_t qp)
{
    const ctu_context *c = &ctx->ctu;
    uint32_t sum = 0;
    for (int32_t p = 0; p < 2; p++)
        sum += ctx->enc->metric.sse[i](c->source_chroma + p * 32 + cy * CTU_SOURCE_STRIDE + cx, CTU_SOURCE_STRIDE,
                                  c->recon_chroma + p * 64 + cy * CTU_WORK_STRIDE + cx, CTU_WORK_STRIDE);
    uint32_t w = search_state(ctx)->chroma_weight[qp < 0 ? 0 : (qp > 57 ? 57 : qp)];
    return (uint32_t)(((uint64_t)sum * w + 128) >> 8);
}

uint32_t rd_chroma_distortion(row_context *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp)
{
    return chroma_sse_weighted(ctx, x / 2, y / 2, 7 - log2_size, qp);
}

uint32_t rd_cu_distortion(row_context *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp)
{
    return rd_luma_distortion(ctx, log2_size, x, y) + rd_chroma_distortion(ctx, x, y, log2_size, qp);
}

uint32_t rd_luma_tu_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                         int32_t log2_size, int32_t predict)
{
    ctu_context *c = &ctx->ctu;
    int32_t n = node_index(z, log2_size);
    c->decision.cbf_flags[n] = 0;
    tu_encode(ctx, z, x, y, log2_size, search_state(ctx)->ctu_qp, predict, 1, TU_LUMA | TU_FINAL);
    uint32_t dist = rd_luma_distortion(ctx, log2_size, x, y);
    uint32_t before = ctx->cabac.rate.est_bits;
    if (c->decision.cbf_flags[n] & 1) {
        int32_t mode = cu_is_inter(ctx, z) ? (int32_t)TRANSFORM_MODE_NONE
                                           : intra_mode_entry(c->intra_modes[map4_index(z)]);
        rate_residual_block(ctx, z, log2_size, scan_idx_of(log2_size, mode), 0);
    }
    return dist + rate_term(ctx->cabac.rate.est_bits - before, lambda);
}

uint32_t rd_chroma_tu_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                           int32_t log2_size, int32_t predict)
{
    ctu_context *c = &ctx->ctu;
    if (log2_size == 2 && (z & 3) < 3) {
        map_mark_available(ctx, x, y, 4, 4);
        return 0;
    }
    mode_search_state *st = search_state(ctx);
    int32_t t = 6 - log2_size - c->maps.cu_depth_map[map8_index(z)];
    tu_encode(ctx, z, x, y, log2_size, st->ctu_qp, predict, 1, TU_CHROMA | TU_FINAL);
    int32_t cqp = st->ctu_qp;
    uint32_t dist = chroma_sse_weighted(ctx, (x & ~7) / 2, (y & ~7) / 2, log2_size == 2 ? 4 : 7 - log2_size, cqp);
    int32_t zc = log2_size == 2 ? z & ~3 : z;
    int32_t cl = log2_size == 2 ? 2 : log2_size - 1;
    int32_t scan = 0;
    if (cl == 2 && !cu_is_inter(ctx, z)) {
        int32_t luma = intra_mode_entry(c->intra_modes[map4_index(zc)]);
        int32_t code = chroma_code_entry(c->intra_modes[chroma_map_index(z >> 2)]);
        static const uint8_t candidates[4] = {0, 26, 10, 1};
        int32_t m = code >= chroma_mode_from_luma ? luma
                    : candidates[code] == luma      ? (int32_t)INTRA_MODE_LAST
                                                    : candidates[code];
        scan = scan_idx_of(2, m);
    }
    uint8_t cbf = c->decision.cbf_flags[node_index(z, log2_size)];
    cabac_encoder *e = &ctx->cabac;
    uint32_t before = e->rate.est_bits;
    for (int32_t p = 1; p <= 2; p++) {
        int32_t b = (cbf >> p) & 1;
        uint32_t s = e->rate.ctx[ctx_cbf_chroma + t];
        e->rate.est_bits += cabac_bits_table[s ^ (uint32_t)b];
        e->rate.ctx[ctx_cbf_chroma + t] = cabac_next_state_table[2 * s + (uint32_t)b];
        if (b) rate_residual_block(ctx, zc, cl, scan, p);
    }
    return dist + rate_term(e->rate.est_bits - before, lambda);
}

namespace {

// A merged 2Nx2N inter CU that coded no coefficient is the same CU as a
// skipped one with that candidate: it becomes one (merge flags cleared, skip
// bit set, the node skipped with its merge candidate).
void skip_conversion(row_context *ctx, int32_t z, int32_t log2_size)
{
    ctu_context *c = &ctx->ctu;
    int32_t n = node_index(z, log2_size), m = map8_index(z), k = (1 << log2_size) / 8;
    if (c->decision.part_mode[n] != 0 || !cu_is_inter(ctx, z) || !c->motion.merge_flag_map[m] ||
        (c->maps.cu_flags_map[m] & 1) || c->decision.cbf_flags[n] != 0)
        return;
    map_fill_block(&c->motion.merge_flag_map[m], (uint32_t)k, (uint32_t)k, 1, 0);
    map_fill_block(&c->maps.cu_flags_map[m], (uint32_t)k, (uint32_t)k, 1, c->maps.cu_flags_map[m] | 1u);
    cu_node *node = &search_state(ctx)->tree[n];
    node->skip_flag = 1;
    // A later commit of the node writes this candidate as the skip's.
    node->skip_merge_idx = node->pu_2nx2n.merge_idx;
}

// Codes the CU (predicting it or not) and prices it: distortion of the
// reconstruction plus the CU's syntax.
uint32_t cu_cost_coded(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                       int32_t variant, int32_t require_residual, int32_t predict)
{
    mode_search_state *st = search_state(ctx);
    ctu_context *c = &ctx->ctu;
    int32_t skip = c->maps.cu_flags_map[map8_index(z)] & 1;
    st->bipred_8bit_flag = variant != 0;
    tu_encode(ctx, z, x, y, log2_size, st->ctu_qp, predict, !skip,
              skip ? TU_LUMA | TU_CHROMA : TU_LUMA | TU_CHROMA | TU_FINAL);
    st->bipred_8bit_flag = 0;
    if (require_residual && c->decision.cbf_flags[node_index(z, log2_size)] == 0) return COST_INFINITE;
    skip_conversion(ctx, z, log2_size);
    uint32_t dist = rd_cu_distortion(ctx, x, y, log2_size, st->ctu_qp);
    if (predict) st->cu_last_distortion = dist;
    uint32_t before = ctx->cabac.rate.est_bits;
    rate_coding_unit(ctx, z, x, y, log2_size);
    return dist + rate_term(ctx->cabac.rate.est_bits - before, lambda);
}

}  // namespace

uint32_t rd_cu_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    int32_t variant, int32_t require_residual)
{
    return cu_cost_coded(ctx, lambda, z, x, y, log2_size, variant, require_residual, 1);
}

uint32_t rd_cu_cost_predicted(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                              int32_t log2_size, int32_t variant, int32_t require_residual)
{
    return cu_cost_coded(ctx, lambda, z, x, y, log2_size, variant, require_residual, 0);
}

uint32_t rd_cu_cost_current(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                            int32_t log2_size)
{
    uint32_t dist = rd_cu_distortion(ctx, x, y, log2_size, search_state(ctx)->ctu_qp);
    uint32_t before = ctx->cabac.rate.est_bits;
    rate_coding_unit(ctx, z, x, y, log2_size);
    return dist + rate_term(ctx->cabac.rate.est_bits - before, lambda);
}

uint32_t rd_cu_prediction_distortion(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y,
                                     int32_t log2_size)
{
    tu_encode(ctx, z, x, y, log2_size, node->qp, 1, 0, TU_LUMA | TU_CHROMA);
    return rd_cu_distortion(ctx, x, y, log2_size, node->qp);
}

uint32_t rd_cu_cost_with_residual(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y,
                                  int32_t log2_size)
{
    ctu_context *c = &ctx->ctu;
    tu_encode(ctx, z, x, y, log2_size, node->qp, 0, 1, TU_LUMA | TU_CHROMA | TU_FINAL);
    if (c->decision.cbf_flags[node_index(z, log2_size)] == 0) return COST_INFINITE;
    uint32_t dist = rd_cu_distortion(ctx, x, y, log2_size, node->qp);
    uint32_t before = ctx->cabac.rate.est_bits;
    rate_coding_unit(ctx, z, x, y, log2_size);
    return dist + rate_term(ctx->cabac.rate.est_bits - before, node->lambda_sse);
}

namespace {

// The cheaper of coding an inter CU without residual and with it; the
// prediction is in the work planes and its distortion known. The rate of the
// CU's syntax without the transform tree is shared by both.
uint32_t residual_test(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                       uint32_t prediction_distortion)
{
    ctu_context *c = &ctx->ctu;
    cabac_encoder *e = &ctx->cabac;
    int32_t n = node_index(z, log2_size);
    uint32_t b0 = e->rate.est_bits;
    rate_coding_unit_no_tree(ctx, z, x, y, log2_size);
    cabac_encoder local = *e;
    rate_transform_tree(ctx, &local, z, x, y, log2_size);
    uint32_t c0 = rate_term(local.rate.est_bits - b0, node->lambda_sse) + prediction_distortion;
    c->decision.residual_mode[n] = 0;
    tu_encode(ctx, z, x, y, log2_size, node->qp, 0, 1, TU_LUMA | TU_CHROMA | TU_FINAL);
    if (c->decision.cbf_flags[n] != 0) {
        uint32_t dist = rd_cu_distortion(ctx, x, y, log2_size, node->qp);
        rate_transform_tree(ctx, e, z, x, y, log2_size);
        uint32_t c1 = dist + rate_term(e->rate.est_bits - b0, node->lambda_sse);
        if (c1 <= c0) return c1;
        // The residual costs more than it gains: put the prediction back.
        c->decision.residual_mode[n] = 3;
        tu_encode(ctx, z, x, y, log2_size, node->qp, 1, 0, TU_LUMA | TU_CHROMA);
    } else {
        c->decision.residual_mode[n] = 3;
        // The coded pass marked the area reconstructed; it is the prediction.
    }
    node->residual_mode = 3;
    e->rate = local.rate;
    return c0;
}

// Required residual or an intra node: the CU coded as it stands. Intra nodes
// quantise with the alternative RDOQ from speed level 4 (3 without the
// zero-latency tuning).
uint32_t residual_test_direct(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y,
                              int32_t log2_size, int32_t require_residual, int32_t predict)
{
    mode_search_state *st = search_state(ctx);
    if (node->pred_mode != 1) {
        return cu_cost_coded(ctx, node->lambda_sse, z, x, y, log2_size, 0, require_residual, predict);
    }
    int32_t kept = st->use_rdoq_alt;
    if (st->speed_level >= (st->pick_mode <= 0 ? 4 : 3)) st->use_rdoq_alt = 1;
    uint32_t cost = cu_cost_coded(ctx, node->lambda_sse, z, x, y, log2_size, 0, require_residual, predict);
    st->use_rdoq_alt = kept;
    return cost;
}

}  // namespace

uint32_t rd_cu_cost_residual_test(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y,
                                  int32_t log2_size, int32_t require_residual)
{
    if (require_residual || node->pred_mode == 1)
        return residual_test_direct(ctx, node, z, x, y, log2_size, require_residual, 1);
    ctx->ctu.decision.residual_mode[node_index(z, log2_size)] = 3;
    tu_encode(ctx, z, x, y, log2_size, node->qp, 1, 0, TU_LUMA | TU_CHROMA);
    return residual_test(ctx, node, z, x, y, log2_size, rd_cu_distortion(ctx, x, y, log2_size, node->qp));
}

uint32_t rd_cu_cost_residual_test_predicted(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y,
                                            int32_t log2_size, int32_t require_residual,
                                            uint32_t prediction_distortion)
{
    if (require_residual || node->pred_mode == 1)
        return residual_test_direct(ctx, node, z, x, y, log2_size, require_residual, 0);
    ctx->ctu.decision.residual_mode[node_index(z, log2_size)] = 3;
    return residual_test(ctx, node, z, x, y, log2_size, prediction_distortion);
}

namespace {

void price_flag(cabac_encoder *c, int32_t slot, int32_t bin)
{
    uint32_t s = c->rate.ctx[slot];
    c->rate.est_bits += cabac_bits_table[s ^ (uint32_t)bin];
    c->rate.ctx[slot] = cabac_next_state_table[2 * s + (uint32_t)bin];
}

struct tu_flag_view {
    int32_t t;          // transform depth
    int32_t in_range;   // split_transform_flag can be sent at this size
    int32_t split, cbf_luma, merged;
};

tu_flag_view tu_flag_view_of(const row_context *ctx, int32_t z, int32_t log2_size)
{
    const ctu_context *c = &ctx->ctu;
    int32_t n = node_index(z, log2_size), m = map8_index(z);
    tu_flag_view v;
    v.t = 6 - log2_size - c->maps.cu_depth_map[m];
    v.in_range = log2_size <= ctx->enc->sps.log2_max_tb_size && log2_size > ctx->enc->sps.log2_min_tb_size;
    v.split = c->decision.tu_split[n] == 1;
    v.cbf_luma = c->decision.cbf_flags[n] & 1;
    v.merged = c->motion.merge_flag_map[m] != 0;
    return v;
}

}  // namespace

uint32_t rd_tu_flags_cost_inter(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                                int32_t log2_size)
{
    (void)x;
    (void)y;
    tu_flag_view v = tu_flag_view_of(ctx, z, log2_size);
    int32_t max_depth = ctx->enc->sps.max_tu_depth_inter;
    cabac_encoder *c = &ctx->cabac;
    uint32_t before = c->rate.est_bits;
    if (v.t > 0) {
        if (v.in_range && v.t < max_depth) price_flag(c, ctx_split_transform_flag + 5 - log2_size, v.split);
        if (!v.split) price_flag(c, ctx_cbf_luma, v.cbf_luma);
    } else {
        if (!v.merged) price_flag(c, ctx_rqt_root_cbf, 1);
        if (v.in_range && max_depth >= 1) price_flag(c, ctx_split_transform_flag + 5 - log2_size, v.split);
        if (v.merged && !v.split) price_flag(c, ctx_cbf_luma + 1, v.cbf_luma);
    }
    return rate_term(c->rate.est_bits - before, lambda);
}

uint32_t rd_tu_flags_cost_empty(row_context *ctx, uint32_t lambda, int32_t z, int32_t log2_size)
{
    tu_flag_view v = tu_flag_view_of(ctx, z, log2_size);
    cabac_encoder *c = &ctx->cabac;
    uint32_t before = c->rate.est_bits;
    if (v.t > 0) {
        if (v.in_range) price_flag(c, ctx_split_transform_flag + 5 - log2_size, 0);
        if (!v.split) price_flag(c, ctx_cbf_luma, 0);
    } else if (!v.merged) {
        price_flag(c, ctx_rqt_root_cbf, 0);
    } else if (!v.split) {
        price_flag(c, ctx_cbf_luma + 1, 0);
    }
    return rate_term(c->rate.est_bits - before, lambda);
}

uint32_t rd_intra_mode_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t mode)
{
    ctx->ctu.intra_modes[map4_index(z)] = (int8_t)mode;
    uint32_t before = ctx->cabac.rate.est_bits;
    rate_intra_luma_mode(ctx, z, 2);   // one prediction unit; its size does not change the bins
    return rate_term(ctx->cabac.rate.est_bits - before, lambda);
}

uint32_t rd_quadtree_cost(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    ctu_context *c = &ctx->ctu;
    // An 8x8 node is one CU whatever its partition: the decided tree never
    // splits below it, and the syntax carries no split flag there.
    int32_t split = log2_size > 3 && c->decision.cu_split[node_index(z, log2_size)] != 0;
    // The node's split_cu_flag before what lies under it, as the stream
    // carries it: its contexts are shared with the flags of the children.
    uint32_t total = rd_split_flag_cost(ctx, lambda, z, 6 - log2_size, split);
    if (split) {
        int32_t half = 1 << (log2_size - 1), q = 1 << (2 * (log2_size - 3));
        bool right = x + half < ctx->enc->width - 64 * c->x;
        bool below = y + half < ctx->enc->height - 64 * c->y;
        total += rd_quadtree_cost(ctx, lambda, z, x, y, log2_size - 1);
        if (right) total += rd_quadtree_cost(ctx, lambda, z + q, x + half, y, log2_size - 1);
        if (below) total += rd_quadtree_cost(ctx, lambda, z + 2 * q, x, y + half, log2_size - 1);
        if (right && below) total += rd_quadtree_cost(ctx, lambda, z + 3 * q, x + half, y + half, log2_size - 1);
        return total;
    }
    int32_t units = (1 << log2_size) / 8;
    map_fill_block((uint8_t *)&c->maps.cu_depth_map[map8_index(z)], (uint32_t)units, (uint32_t)units, 1,
                   (uint32_t)(6 - log2_size));
    // cu_qp_delta once per quantisation group, with the CU that starts it.
    if (ctx->enc->pps.cu_qp_delta_enabled && (z & (c->qg_units - 1)) == 0) {
        uint32_t before = ctx->cabac.rate.est_bits;
        rate_cu_qp_delta(ctx, z);
        total += rate_term(ctx->cabac.rate.est_bits - before, lambda);
    }
    // RDOQ of the CU starts from the contexts as they now stand.
    rdoq_state_seed(&ctx->cabac);
    return total + rd_cu_cost(ctx, lambda, z, x, y, log2_size, 0, 0);
}
