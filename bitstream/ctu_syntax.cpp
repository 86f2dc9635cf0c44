// The CTU job's entry to the syntax writer: the writer's view of the coding
// context is taken from the row context, and what the writer carries from CU
// to CU and CTU to CTU (previous QP, quantisation-group state, statistics
// bit counts) is handed back to it.
#include "bitstream/ctu_syntax.h"

#include "analysis/motion/me_syntax_hooks.h"

#include "bitstream/syntax_writer.h"
#include "encoder/encoder_instance.h"

void cabac_write_ctu(row_context *ctx)
{
    ctu_context *c = &ctx->ctu;
    syntax_ctu_context s{};
    s.decision = &c->decision;
    s.maps = &c->maps;
    s.motion = &c->motion;
    s.intra_modes = c->intra_modes;
    for (int p = 0; p < 3; p++) {
        s.levels[p] = c->tu_levels[p];
        s.sao[p] = ctx->fi->tables.sao_params[p];
    }
    s.sao_merge = ctx->sao_merge;
    s.pic_width = ctx->enc->width;
    s.pic_height = ctx->enc->height;
    s.ctu_col = c->x;
    s.ctu_row = c->y;
    s.ctu_addr = c->address;
    s.slice_type = ctx->fi->pic.sh.slice_type;
    s.sao_flags = ctx->fi->pic.sh.sao_flags;
    s.max_num_merge_cand = ctx->fi->pic.sh.max_num_merge_cand;
    s.num_ref_idx_active[0] = ctx->fi->pic.sh.num_ref_idx_l0_active;
    s.num_ref_idx_active[1] = ctx->fi->pic.sh.num_ref_idx_l1_active;
    s.sps = ctx->fi->pic.sh.sps;   // the context's own copies: other pictures' instances rewrite theirs
    s.pps = ctx->fi->pic.sh.pps;
    s.scans = ctx->enc->scans;
    s.metrics = &ctx->enc->metric;
    s.qp_prev = ctx->qp_prev;
    s.qg_units = c->qg_units;
    s.qg_delta_pending = (int32_t)c->qg_delta_pending;
    s.cur_cu_z = c->last_cu_z;
    s.pred_bits = 0;
    // Inter slices: the writer derives AMVP predictors and PU availability
    // through motion estimation's routines.
    if (ctx->fi->pic.sh.slice_type != slice_i) me_syntax_services_fill(&s.inter, ctx);
    s.residual_bits = 0;

    cabac_write_ctu(&s, &ctx->cabac);

    ctx->qp_prev = s.qp_prev;
    c->qg_delta_pending = (uint32_t)s.qg_delta_pending;
    c->last_cu_z = s.cur_cu_z;
    ctx->row_stats.bit_mark = s.stats_bit_mark;
    ctx->row_stats.bits[0] += s.residual_bits;
    ctx->row_stats.bits[1] += s.pred_bits;
}
