// Rate estimation of the CTU syntax for the search, on the rate part of the
// context's live coder (est_bits and the context states): the CABAC bit
// estimator prices exactly what the syntax writer sends, from the writer's
// view of the CTU context.
#include "analysis/mode_search.h"

#include "analysis/motion/me_syntax_hooks.h"
#include "bitstream/cabac_estimate.h"
#include "bitstream/syntax_writer.h"

void intra_mpm_modes(const row_context *ctx, int32_t z, int32_t out[3])
{
    intra_mpm_from_modes(ctx->ctu.intra_modes, z, out);
}

namespace {

inline syntax_ctu_context syntax_view(row_context *ctx)
{
    ctu_context *c = &ctx->ctu;
    const encoder_instance *enc = ctx->enc;
    const slice_header *sh = &ctx->fi->pic.sh;
    mode_search_state *st = search_state(ctx);
    syntax_ctu_context s{};
    s.decision = &c->decision;
    s.maps = &c->maps;
    s.motion = &c->motion;
    s.intra_modes = c->intra_modes;
    for (int p = 0; p < 3; p++) s.levels[p] = st->tu_levels[p];
    s.pic_width = enc->width;
    s.pic_height = enc->height;
    s.ctu_col = c->x;
    s.ctu_row = c->y;
    s.slice_type = sh->slice_type;
    s.max_num_merge_cand = sh->max_num_merge_cand;
    s.num_ref_idx_active[0] = sh->num_ref_idx_l0_active;
    s.num_ref_idx_active[1] = sh->num_ref_idx_l1_active;
    s.sps = &enc->sps;
    s.pps = &enc->pps;
    s.scans = enc->scans;
    s.metrics = &enc->metric;
    s.qp_prev = ctx->qp_prev;
    s.qg_units = c->qg_units;
    s.cur_cu_z = c->last_cu_z;
    // Inter slices: AMVP predictors and PU availability as the writer derives them.
    if (sh->slice_type != slice_i) me_syntax_services_fill(&s.inter, ctx);
    return s;
}

}  // namespace

// A residual block is priced from its levels, the scans and the sign-hiding
// flag alone, so the searches' most frequent estimate (one per coded
// transform block) skips making the view of the whole CTU.
void rate_residual_block(row_context *ctx, int32_t z, int32_t log2_size, int32_t scan, int32_t plane)
{
    const encoder_instance *enc = ctx->enc;
    const int16_t *levels = syntax_levels_at(search_state(ctx)->tu_levels[plane], z, plane);
    rate_est_residual(&ctx->cabac, levels, log2_size, scan, plane > 0, enc->pps.sign_data_hiding, enc->scans,
                      &enc->metric);
}

// The mode bins read only the CTU's mode map.
void rate_intra_luma_mode(row_context *ctx, int32_t z, int32_t log2_size)
{
    (void)log2_size;
    rate_est_intra_luma_mode(ctx->ctu.intra_modes, &ctx->cabac, z);
}

void rate_coding_unit(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    syntax_ctu_context s = syntax_view(ctx);
    rate_est_coding_unit(&s, &ctx->cabac, z, x, y, log2_size);
}

void rate_coding_unit_no_tree(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    syntax_ctu_context s = syntax_view(ctx);
    rate_est_coding_unit_no_tree(&s, &ctx->cabac, z, x, y, log2_size);
}

void rate_transform_tree(row_context *ctx, cabac_encoder *rec, int32_t z, int32_t x, int32_t y,
                         int32_t log2_size)
{
    syntax_ctu_context s = syntax_view(ctx);
    rate_est_transform_tree(&s, rec, z, x, y, log2_size, log2_size);
}

void rate_cu_qp_delta(row_context *ctx, int32_t z)
{
    syntax_ctu_context s = syntax_view(ctx);
    rate_est_cu_qp_delta(&s, &ctx->cabac, z);
}
