// SAO stages of the CTU job: the parameter decision of the CTU just deblocked
// and the application of the CTUs that have become final. The decision prices
// its syntax with the row's own CABAC coder, so the rates follow the contexts
// the syntax writer will really code with; every trial puts the coder back.
#include "analysis/sao/sao_decide.h"
#include "bitstream/cabac_estimate.h"
#include "encoder/encoder_instance.h"
#include "encoder/int_math.h"
#include "encoder/lambda_tables.h"

namespace {

// What a trial changes on the coder: the estimate and the two SAO contexts.
struct coder_mark {
    uint32_t est_bits;
    uint8_t merge_ctx, type_ctx;
};

coder_mark coder_note(const cabac_encoder *c)
{
    return coder_mark{c->rate.est_bits, c->rate.ctx[ctx_sao_merge_flag], c->rate.ctx[ctx_sao_type_idx]};
}

// Restores the coder and returns the bits the trial cost (1/256 bit).
int32_t coder_restore(cabac_encoder *c, const coder_mark &m)
{
    int32_t bits = (int32_t)(c->rate.est_bits - m.est_bits);
    c->rate.est_bits = m.est_bits;
    c->rate.ctx[ctx_sao_merge_flag] = m.merge_ctx;
    c->rate.ctx[ctx_sao_type_idx] = m.type_ctx;
    return bits;
}

int32_t price_merge_flags(void *state, int32_t merge)
{
    row_context *ctx = (row_context *)state;
    cabac_encoder *c = &ctx->cabac;
    coder_mark m = coder_note(c);
    rate_est_sao_merge_flags(c, ctx->ctu.x, ctx->ctu.y, merge);
    return coder_restore(c, m);
}

int32_t price_offsets(void *state, const sao_param *const records[3], int32_t first, int32_t last)
{
    row_context *ctx = (row_context *)state;
    cabac_encoder *c = &ctx->cabac;
    coder_mark m = coder_note(c);
    for (int32_t p = first; p <= last; p++) rate_est_sao_offsets(c, records[p], p);
    return coder_restore(c, m);
}

int32_t chroma_weight_of(const row_context *ctx)
{
    int32_t qp = ctx->rcc.ctu_qp;
    qp = qp < 0 ? 0 : qp > CHROMA_WEIGHT_QPS - 1 ? CHROMA_WEIGHT_QPS - 1 : qp;
    return ctx->enc->rd->chroma_dist_weight[qp];
}

void decide_context_fill(row_context *ctx, sao_decide_context *d)
{
    const internal_config *cfg = &ctx->config;
    const picture *rec = ctx->fi->pic.recon_picture, *src = ctx->fi->pic.source_picture;
    d->table = &ctx->enc->sao;
    ctu_sao_rate_estimator(ctx, &d->rate);
    d->sao_flags = ctx->fi->pic.sh.sao_flags;
    d->ctu_x = (uint32_t)ctx->ctu.x;
    d->ctu_y = (uint32_t)ctx->ctu.y;
    d->ctu_columns = (uint32_t)ctx->enc->ctu_cols;
    d->ctu_rows = (uint32_t)ctx->enc->ctu_rows;
    d->width = (uint32_t)ctx->enc->width;
    d->height = (uint32_t)ctx->enc->height;
    int32_t complexity = cfg->complexity & 0xffff;
    d->complexity = min_i32(complexity, COMPLEXITY_MAX);
    d->pick_mode = cfg->latency_mode;   // 9 without a latency tune, 0 zero latency, 1 low delay
    d->speed_step = ctx->ctu.speed_step;
    d->picture_type = (int32_t)src->picture_type;
    d->lambda_sse = (int32_t)ctx->rcc.lambda_sse;
    d->chroma_weight = chroma_weight_of(ctx);
    for (int p = 0; p < 3; p++) {
        d->deblock_planes[p] = rec->deblock_planes[p];
        d->deblock_stride[p] = rec->strides[p];
        d->source_planes[p] = src->planes[p];
        d->source_stride[p] = src->strides[p];
        d->sao_params[p] = ctx->fi->tables.sao_params[p];
    }
    d->diff = ctx->sao_diff;
    d->scratch = ctx->ctu.scratch;
    d->sao_merge = SAO_MERGE_NONE;
}

void apply_context_fill(row_context *ctx, sao_ctu_context *a)
{
    picture *rec = ctx->fi->pic.recon_picture;
    a->sao_flags = ctx->fi->pic.sh.sao_flags;
    a->ctu_columns = (uint32_t)ctx->enc->ctu_cols;
    a->ctu_rows = (uint32_t)ctx->enc->ctu_rows;
    a->width = (uint32_t)ctx->enc->width;
    a->height = (uint32_t)ctx->enc->height;
    for (int p = 0; p < 3; p++) {
        a->stride[p] = rec->strides[p];
        a->planes[p] = rec->planes[p];
        a->deblock_planes[p] = rec->deblock_planes[p];
        a->sao_params[p] = ctx->fi->tables.sao_params[p];
    }
    a->scratch = ctx->ctu.scratch;
}

}  // namespace

void ctu_sao_rate_estimator(row_context *ctx, sao_rate_estimator *out)
{
    out->state = ctx;
    out->merge_flags = price_merge_flags;
    out->offsets = price_offsets;
}

void ctu_sao_decide(row_context *ctx)
{
    sao_decide_context *d = &ctx->sao_decide_ctx;
    decide_context_fill(ctx, d);
    sao_decide_ctu(d);
    ctx->sao_merge = d->sao_merge;
}

void ctu_sao_apply(row_context *ctx, int32_t x, int32_t y)
{
    sao_ctu_context *a = &ctx->sao_apply_ctx;
    apply_context_fill(ctx, a);
    sao_apply_ctu(&ctx->enc->sao, a, (uint32_t)x, (uint32_t)y);
}
