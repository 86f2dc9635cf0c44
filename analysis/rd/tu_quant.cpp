// Quantisation dispatch of transform-unit coding: plain or rate-distortion
// optimised quantisation, the rounding offset of the slice type, the forward
// scale and the coefficient scan of the block.
#include "analysis/mode_search.h"

static quant_context quant_context_of(row_context *ctx)
{
    quant_context q{};
    q.scans = ctx->enc->scans;
    q.sign_hiding = ctx->enc->pps.sign_data_hiding;
    // The rate-distortion-optimised quantisers price with the live coder.
    q.cabac = &ctx->cabac;
    q.chroma_dist_weight = search_state(ctx)->chroma_weight;
    return q;
}

int32_t tu_quant(row_context *ctx, int16_t *levels, const int16_t *coeff, int32_t qp, int32_t log2_size,
                 int32_t plane, int32_t mode)
{
    mode_search_state *st = search_state(ctx);
    quant_context q = quant_context_of(ctx);
    int32_t scan = scan_idx_of(log2_size, mode);
    uint16_t round = st->quant_round[st->slice_class == slice_i ? 1 : 0];
    int32_t scale = quant_scales[qp % 6];
    rdoq_fn f = st->use_rdoq_alt ? ctx->enc->quant.rdoq_alt : ctx->enc->quant.rdoq;
    if (ctx->ctu.rdoq && f) {
        return f(&q, st->lambda_sse, levels, coeff, qp, round, log2_size, scale, plane, scan);
    }
    return ctx->enc->quant.quant(&q, levels, coeff, qp, round, log2_size, scale, scan);
}

int32_t tu_quant_low(row_context *ctx, int16_t *levels, const int16_t *coeff, int32_t qp,
                     int32_t log2_size, int32_t plane, int32_t mode, int32_t k)
{
    mode_search_state *st = search_state(ctx);
    quant_context q = quant_context_of(ctx);
    int32_t scan = scan_idx_of(log2_size, mode);
    int32_t scale = quant_scales[qp % 6];
    if (ctx->ctu.rdoq && ctx->enc->quant.rdoq && st->slice_class != slice_i)
        return ctx->enc->quant.rdoq(&q, st->lambda_sse, levels, coeff, qp, QUANT_ROUND_INTER, log2_size, scale, plane,
                               scan);
    uint16_t round = st->quant_round[st->slice_class == slice_i ? 1 : 0];
    return ctx->enc->quant.quant_low(&q, levels, coeff, qp, round, log2_size, scale, scan, k);
}
