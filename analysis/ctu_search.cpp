// CTU search entry points. Each searches the current CTU of a row context
// between a snapshot of the rate-estimation state and its restore, so that
// the syntax writer codes the CTU from the context states that held before
// the search; the decisions are committed into the maps as they are made.
#include "analysis/mode_search.h"
#include "analysis/speed_levels.h"

#include "analysis/inter_fast/inter_fast.h"

#include <cstring>

namespace {

void rate_state_save(row_context *ctx)
{
    search_state(ctx)->search_cabac_save = ctx->cabac.rate;
}

void rate_state_load(row_context *ctx)
{
    ctx->cabac.rate = search_state(ctx)->search_cabac_save;
}

// Distortion of a CTU of a reference picture, read by the inter decisions of
// later pictures; 0 for CTUs that reach past the picture.
void store_recon_distortion(row_context *ctx)
{
    picture *rec = ctx->fi->pic.recon_picture;
    if (!rec || !rec->is_reference || !rec->ctu_recon_distortion) return;
    ctu_context *c = &ctx->ctu;
    uint32_t value = 0;
    if (ctx->enc->width >= 64 * (c->x + 1) && ctx->enc->height >= 64 * (c->y + 1)) {
        mode_search_state *st = search_state(ctx);
        uint32_t l = rd_luma_distortion(ctx, 6, 0, 0);
        uint64_t ch = 0;
        for (int32_t p = 0; p < 2; p++)
            ch += ctx->enc->metric.sse[1](c->source_chroma + 32 * p, CTU_SOURCE_STRIDE, c->recon_chroma + 64 * p,
                                     CTU_WORK_STRIDE);
        value = l + (uint32_t)((ch * st->chroma_weight[st->ctu_qp] + 128) >> 8);
    }
    rec->ctu_recon_distortion[c->address] = value;
}

// The per-CTU values the search starts from.
void search_begin(row_context *ctx, int32_t speed_level)
{
    mode_search_state_init(ctx);
    mode_search_state *st = search_state(ctx);
    st->speed_level = speed_level;
    // The slice type coded: a P picture coded with B slices is decided as B.
    st->slice_class = ctx->fi->pic.sh.slice_type;
    st->pick_mode = ctx->config.latency_mode;
    st->use_rdoq_alt = ctx->ctu.rdoq_alt_on;
    st->intra_ref_refresh = 1;
    const internal_config *cfg = &ctx->config;
    const ctu_context *c = &ctx->ctu;
    st->inter_search_level = c->speed_class;
    st->subpel_planes = cfg->me_subpel_planes;
    st->fast_merge_mc = cfg->me_bilinear;
    st->inter_intra = cfg->inter_flag_c;
    st->gpb = ctx->fi->pic.sh.slice_type == slice_b && ctx->fi->pic.source_picture->picture_type == PIC_TYPE_P;
    st->intra_rd_flag = 0;
    st->merge_residual_tried = 0;
    st->bipred_8bit_flag = 0;
    for (int32_t d = 0; d < 4; d++) {
        st->neighbour_cost_sum[d] = c->depth_cost_sum[d];
        st->neighbour_cost_count[d] = c->depth_cost_count[d];
    }
    // Every path's luma distortion reads the texture weights, so they are
    // made for each CTU searched: weights left from another CTU of the row
    // context would make the decisions depend on which CTU came before.
    st->rd_extra_weight = cfg->rd_extra_weight;
    ctu_texture_weights(ctx);
}

// The motion-search context of the CTU and the activity of its source: the
// horizontal and vertical sums, at speed levels below 3 without the diagonal
// arrays (marked not computed; the intra pre-selection computes them itself).
void inter_ctu_begin(row_context *ctx)
{
    mode_search_state *st = search_state(ctx);
    me_context_init(ctx, st->me);
    me_context_set_refs(ctx, st->me);
    if (st->speed_level >= 3) {
        ctx->enc->metric.ctu_activity_hv(ctx->ctu.source_luma, &st->activity);
    } else {
        ctx->enc->metric.ctu_activity_hv3(ctx->ctu.source_luma, &st->activity);
        st->activity.grad_diag[0] = 0xffffffffu;
    }
    st->me->activity = st->activity.grad_hv;
}

}  // namespace

void ctu_search_rdo(row_context *ctx, int32_t speed_level)
{
    search_begin(ctx, speed_level);
    mode_search_state *st = search_state(ctx);
    int32_t saved_alt = st->use_rdoq_alt, saved_level = st->speed_level, saved_qp_prev = ctx->qp_prev;
    int32_t intra = st->slice_class == slice_i;
    if (intra && st->speed_level > 0 && st->pick_mode == 0) st->speed_level--;
    st->luma_full_transform = st->speed_level >= 3;
    st->chroma_full_transform = st->pick_mode > 1;
    if (!intra) {
        inter_ctu_begin(ctx);
    } else {
        if (st->speed_level < 3) ctx->enc->metric.ctu_activity_4dir(ctx->ctu.source_luma, &st->activity);
        st->use_rdoq_alt = st->speed_level > 3;
    }
    rate_state_save(ctx);
    ctu_search_setup(ctx);
    if (!intra && st->coarse_search) coarse_search_ctu_setup(ctx, st->coarse);
    if (!intra) {
        cu_search_rdo_inter(ctx, st->tree, 0, 0, 0, 6);
    } else {
        if (takes_split_shortcuts(st->speed_level))
            st->intra_keep_bias = intra_keep_bias_of(st->ctu_qp, st->lambda_sse);
        cu_search_rdo_intra(ctx, st->tree, 0, 0, 0, 6);
    }
    rate_state_load(ctx);
    ctx->qp_prev = saved_qp_prev;
    st->use_rdoq_alt = saved_alt;
    st->speed_level = saved_level;
    store_recon_distortion(ctx);
}

// Intra pictures above speed level 4: their own quad-tree with the fast
// intra CU decision and the transform-tree search.
void ctu_search_fast_intra(row_context *ctx)
{
    search_begin(ctx, ctx->ctu.speed_level);
    mode_search_state *st = search_state(ctx);
    int32_t saved_qp_prev = ctx->qp_prev;
    rate_state_save(ctx);
    ctu_search_setup(ctx);
    st->luma_full_transform = 1;
    st->chroma_full_transform = 1;
    cu_search_fast_intra(ctx, st->tree, 0, 0, 0, 6);
    rate_state_load(ctx);
    cu_tree_commit(ctx, st->tree, 0, 0, 0, 6);
    ctx->qp_prev = saved_qp_prev;
    store_recon_distortion(ctx);
}

// P and B pictures above speed level 4: the fast inter quad-tree with the
// fast P and B CU decisions; the tree is committed once it is decided.
void ctu_search_fast_inter(row_context *ctx)
{
    search_begin(ctx, ctx->ctu.speed_level);
    mode_search_state *st = search_state(ctx);
    int32_t saved_qp_prev = ctx->qp_prev;
    st->luma_full_transform = 1;
    st->chroma_full_transform = 1;
    me_context_init(ctx, st->me);
    me_context_set_refs(ctx, st->me);
    rate_state_save(ctx);
    ctu_search_setup(ctx);
    cu_search_fast_inter(ctx, st->tree, 0, 0, 0, 6);
    rate_state_load(ctx);
    cu_tree_commit(ctx, st->tree, 0, 0, 0, 6);
    ctx->qp_prev = saved_qp_prev;
    store_recon_distortion(ctx);
}
