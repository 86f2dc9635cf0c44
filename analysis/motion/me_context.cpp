// The per-CTU motion search context, the window and start-point rounding.
#include "analysis/motion/motion_search.h"

#include "analysis/motion/quarter_window.h"

#include "encoder/encoder_instance.h"
#include "encoder/int_math.h"
#include "encoder/lambda_tables.h"

void mv_window_compute(const me_context *me, const pu_desc *pu, mv_window *w)
{
    int32_t ax = me->ctu_x + pu->x, ay = me->ctu_y + pu->y;
    w->x_lo = max_i32(me->mv_limit_min_x, -63 - ax) + 1;
    w->y_lo = max_i32(me->mv_limit_min_y, -63 - ay) + 1;
    w->x_hi = min_i32(me->mv_limit_max_x, me->pic_width - ax - 1) - 1;
    w->y_hi = min_i32(me->mv_limit_max_y, me->pic_height - ay - 1) - 1;
    w->win_lo = ((uint32_t)(-4 * w->x_lo) << 16) | ((uint32_t)(-4 * w->y_lo) & 0x7fff);
    w->win_hi = ((uint32_t)(4 * w->x_hi) << 16) | 0x8000u | ((uint32_t)(4 * w->y_hi) & 0x7fff);
}

uint32_t mv_round_to_fullpel(const mv_window *w, uint32_t mv)
{
    int32_t vx = (int16_t)(mv & 0xffff), vy = (int16_t)(mv >> 16);
    vx = min_i32(max_i32(vx, 4 * w->x_lo), 4 * w->x_hi);
    vy = min_i32(max_i32(vy, 4 * w->y_lo), 4 * w->y_hi);
    vx = ((vx + 2) >> 2) * 4;
    vy = ((vy + 2) >> 2) * 4;
    return (uint32_t)(uint16_t)vx | ((uint32_t)(uint16_t)vy << 16);
}

const uint16_t *me_cost_table(const me_context *me, int32_t qp)
{
    if (qp < 0) qp = 0;
    if (qp >= MV_COST_QPS) qp = MV_COST_QPS - 1;
    int32_t layer = me->cost_layer < 0 ? 0 : (me->cost_layer >= MV_COST_LEVELS ? MV_COST_LEVELS - 1 : me->cost_layer);
    return me->mv_cost_slots[qp * MV_COST_LEVELS + layer];
}

void me_context_init(row_context *ctx, me_context *me)
{
    const internal_config *cfg = &ctx->config;
    me->ref_stride = (uint32_t)ctx->fi->pic.recon_picture->strides[0];
    me->search_method = cfg->me_extra;
    me->pic_width = (uint16_t)ctx->enc->width;
    me->pic_height = (uint16_t)ctx->enc->height;
    me->metric = &ctx->enc->metric;
    me->mc = &ctx->enc->mc;
    me->search_range = ctx->ctu.search_range;
    me->list_count = ctx->fi->pic.sh.slice_type == slice_b ? 2 : 1;
    me->ref_count[0] = (int16_t)ctx->fi->pic.ref_count_l0;
    me->ref_count[1] = (int16_t)ctx->fi->pic.ref_count_l1;
    me->speed_level = ctx->ctu.speed_level;
    // Half- and quarter-sample refinement; no configuration word narrows it.
    me->subpel_level = 2;
    me->use_subpel_planes = cfg->me_subpel_planes;
    me->quarter = cfg->me_subpel_planes ? ctx->ctu.quarter : nullptr;
    me->subpel_bilinear = cfg->me_bilinear;
    me->coarse_refine_level = cfg->subpel_level;
    me->mv_limit_min_x = ctx->enc->mv_min_full[0];
    me->mv_limit_min_y = ctx->enc->mv_min_full[1];
    me->mv_limit_max_x = ctx->enc->mv_max_full[0];
    me->mv_limit_max_y = ctx->enc->mv_max_full[1];
    me->mv_cost_slots = ctx->enc->rd ? ctx->enc->rd->mv_cost.slot : nullptr;
    me->mv_cost_limit = ctx->enc->rd ? 4 * (ctx->enc->rd->mv_cost.reach + 2) - 1 : 0;
    me->cost_layer = ctx->fi->pic.source_picture ? ctx->fi->pic.source_picture->layer : 0;
    me->scratch = ctx->ctu.scratch;
    me->activity = nullptr;
}

void me_context_set_refs(row_context *ctx, me_context *me)
{
    me->ctu_x = ctx->ctu.x * 64;
    me->ctu_y = ctx->ctu.y * 64;
    if (me->quarter)
        quarter_window_begin(me->quarter, me->mc, (int32_t)me->ref_stride, me->ctu_x, me->ctu_y, me->pic_width,
                             me->pic_height);
    for (int l = 0; l < me->list_count && l < 2; l++) {
        picture *const *list = l == 0 ? ctx->fi->pic.list0 : ctx->fi->pic.list1;
        for (int k = 0; k < me->ref_count[l] && k < ENCODER_MAX_REFS; k++) {
            const picture *r = list[k];
            int64_t origin = (int64_t)me->ctu_y * r->strides[0] + me->ctu_x;
            me->ref_plane[l][k] = ctx->ctu.ref_planes[l][k][0];
            if (!me->use_subpel_planes) continue;
            // A reference without sub-sample planes keeps null entries, and
            // the searches then interpolate.
            me->ref_phase[l][k][0] = r->planes[0] + origin;
            for (int i = 1; i < 16; i++) me->ref_phase[l][k][i] = r->subpel_planes[i] ? r->subpel_planes[i] + origin : nullptr;
            // The quarter-sample phases of a reference with planes come from the window.
            if (me->quarter && r->subpel_planes[0]) quarter_window_add(me->quarter, l, k, r->planes[0] + origin);
        }
    }
    me->src = ctx->ctu.source_luma;
}
