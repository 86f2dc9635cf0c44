// Rate-distortion cost helpers: distortion of the work planes against the
// source CTU, the lambda-weighted rate of what the estimator adds, and the
// costs of transform units and whole CUs coded through tu_encode.
#include "analysis/mode_search.h"

uint32_t rate_term(uint32_t bits, uint32_t lambda)
{
    return (uint32_t)(((uint64_t)bits * lambda + 32768) >> 16);
}

uint32_t rd_split_flag_cost(encoder_instance *ctx, uint32_t lambda, int32_t z, int32_t depth, int32_t flag)
{
    if (depth >= 3) return 0;
    const int8_t *dm = ctx->ctu.maps.cu_depth_map;
    int32_t m = map8_index(z);
    int32_t inc = (dm[m - CTU_MAP8_STRIDE] > depth) + (dm[m - 1] > depth);
    cabac_encoder *c = &ctx->cabac;
    uint32_t before = c->est_bits;
    uint32_t s = c->ctx[ctx_split_cu_flag + inc];
    c->est_bits += cabac_bits_table[s ^ (uint32_t)flag];
    c->ctx[ctx_split_cu_flag + inc] = cabac_next_state_table[2 * s + (uint32_t)flag];
    return rate_term(c->est_bits - before, lambda);
}

uint32_t rd_luma_distortion(encoder_instance *ctx, int32_t log2_size, int32_t x, int32_t y)
{
    const ctu_context *c = &ctx->ctu;
    return ctx->metric.sse[6 - log2_size](c->source_luma + y * CTU_SOURCE_STRIDE + x, CTU_SOURCE_STRIDE,
                                          c->recon_luma + y * CTU_WORK_STRIDE + x, CTU_WORK_STRIDE);
}

// Chroma block of size index i at chroma position (cx, cy), both planes,
// weighted by the per-QP chroma weight.
static uint32_t chroma_sse_weighted(encoder_instance *ctx, int32_t cx, int32_t cy, int32_t i, int32_t qp)
{
    const ctu_context *c = &ctx->ctu;
    uint32_t sum = 0;
    for (int32_t p = 0; p < 2; p++)
        sum += ctx->metric.sse[i](c->source_chroma + p * 32 + cy * CTU_SOURCE_STRIDE + cx, CTU_SOURCE_STRIDE,
                                  c->recon_chroma + p * 64 + cy * CTU_WORK_STRIDE + cx, CTU_WORK_STRIDE);
    uint32_t w = search_state(ctx)->chroma_weight[qp < 0 ? 0 : (qp > 57 ? 57 : qp)];
    return (uint32_t)(((uint64_t)sum * w + 128) >> 8);
}

uint32_t rd_chroma_distortion(encoder_instance *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp)
{
    return chroma_sse_weighted(ctx, x / 2, y / 2, 7 - log2_size, qp);
}

uint32_t rd_cu_distortion(encoder_instance *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp)
{
    return rd_luma_distortion(ctx, log2_size, x, y) + rd_chroma_distortion(ctx, x, y, log2_size, qp);
}

uint32_t rd_luma_tu_cost(encoder_instance *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                         int32_t log2_size, int32_t predict)
{
    ctu_context *c = &ctx->ctu;
    int32_t n = node_index(z, log2_size);
    c->decision.cbf_flags[n] = 0;
    tu_encode(ctx, z, x, y, log2_size, search_state(ctx)->ctu_qp, predict, 1, TU_LUMA | TU_FINAL);
    uint32_t dist = rd_luma_distortion(ctx, log2_size, x, y);
    uint32_t before = ctx->cabac.est_bits;
    if (c->decision.cbf_flags[n] & 1) {
        int32_t mode = c->maps.pred_mode_map[map8_index(z)] == 1 ? intra_mode_entry(c->intra_modes[map4_index(z)]) : 35;
        rate_residual_block(ctx, z, log2_size, scan_idx_of(log2_size, mode), 0);
    }
    return dist + rate_term(ctx->cabac.est_bits - before, lambda);
}

uint32_t rd_chroma_tu_cost(encoder_instance *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
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
    if (cl == 2 && c->maps.pred_mode_map[map8_index(z)] == 1) {
        int32_t luma = intra_mode_entry(c->intra_modes[map4_index(zc)]);
        int32_t code = chroma_code_entry(c->intra_modes[chroma_map_index(z >> 2)]);
        static const uint8_t candidates[4] = {0, 26, 10, 1};
        int32_t m = code >= 4 ? luma : (candidates[code] == luma ? 34 : candidates[code]);
        scan = scan_idx_of(2, m);
    }
    uint8_t cbf = c->decision.cbf_flags[node_index(z, log2_size)];
    cabac_encoder *e = &ctx->cabac;
    uint32_t before = e->est_bits;
    for (int32_t p = 1; p <= 2; p++) {
        int32_t b = (cbf >> p) & 1;
        uint32_t s = e->ctx[ctx_cbf_chroma + t];
        e->est_bits += cabac_bits_table[s ^ (uint32_t)b];
        e->ctx[ctx_cbf_chroma + t] = cabac_next_state_table[2 * s + (uint32_t)b];
        if (b) rate_residual_block(ctx, zc, cl, scan, p);
    }
    return dist + rate_term(e->est_bits - before, lambda);
}

uint32_t rd_cu_cost(encoder_instance *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    ctu_context *c = &ctx->ctu;
    int32_t skip = c->maps.cu_flags_map[map8_index(z)] & 1;
    tu_encode(ctx, z, x, y, log2_size, search_state(ctx)->ctu_qp, 1, !skip,
              skip ? TU_LUMA | TU_CHROMA : TU_LUMA | TU_CHROMA | TU_FINAL);
    return rd_cu_cost_current(ctx, lambda, z, x, y, log2_size);
}

uint32_t rd_cu_cost_current(encoder_instance *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                            int32_t log2_size)
{
    uint32_t dist = rd_cu_distortion(ctx, x, y, log2_size, search_state(ctx)->ctu_qp);
    uint32_t before = ctx->cabac.est_bits;
    rate_coding_unit(ctx, z, x, y, log2_size);
    return dist + rate_term(ctx->cabac.est_bits - before, lambda);
}
