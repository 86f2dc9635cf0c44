// CTU-row rate control: the per-CTU QP sums that the frame end averages, and
// the row QPs that VBV starts every row from.
//
// Provisional: the constant-bitrate CTU statistics and the VBV row
// re-decision are not in place yet; every row keeps the frame QP.
#include "encoder/config.h"
#include "encoder/picture.h"
#include "ratecontrol/ratecontrol.h"

void rc_row_update(rc_ctu_context *ctx)
{
    ratecontrol *rc = ctx->rc;
    ctx->cbr_ctu_ratio = 1.0;
    if (rc->cbr || !rc->vbv || ctx->ctu_x != 0) return;
    if (rc->vbv_rows && rc->row_pred_current) {
        rc->vbv_rows[2 * ctx->ctu_y] = rc->row_pred_current[0];
        rc->vbv_rows[2 * ctx->ctu_y + 1] = rc->row_pred_current[1];
    }
    ctx->recon->vbv_row_qp[ctx->ctu_y] = rc->frame_qp_f;
    ctx->recon->vbv_row_qscale[ctx->ctu_y] = (float)rc_qp_to_qscale(rc->frame_qp_f);
}

namespace {

// Mean QP over the CTU's top-left (at most) 4 x 4 units of the map.
float mean_map_qp(const rc_ctu_context *ctx)
{
    const ratecontrol *rc = ctx->rc;
    int32_t h = rc->cost_rows - 4 * ctx->ctu_y, w = rc->cost_cols - 4 * ctx->ctu_x;
    h = h < 4 ? h : 4;
    w = w < 4 ? w : 4;
    if (h < 1 || w < 1) return (float)ctx->ctu_qp;
    int32_t sum = 0;
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) sum += ctx->qp_map[(1 + y) * 16 + 8 + x];
    return (float)sum / (float)(w * h);
}

float coded_qp(const rc_ctu_context *ctx)
{
    if (!ctx->qp_map || ctx->cfg->rc_mode == RC_MODE_CBR) return (float)ctx->ctu_qp;
    if (ctx->cfg->rc_mode == RC_MODE_CQP) return (float)ctx->qp_map[16 + 8];
    return mean_map_qp(ctx);
}

}  // namespace

void rc_row_vbv_adjust(rc_ctu_context *ctx, uint32_t bits)
{
    ratecontrol *rc = ctx->rc;
    ctx->qp_plan_row_sum += rc->vbv ? ctx->recon->vbv_row_qp[ctx->ctu_y] : rc->frame_qp_f;
    ctx->qp_coded_row_sum += coded_qp(ctx);
    if (!rc->vbv) return;
    picture *recon = ctx->recon;
    recon->vbv_row_bits[ctx->ctu_y] += (int32_t)bits;
    recon->vbv_ctu_bits[ctx->ctu_index] = recon->vbv_row_bits[ctx->ctu_y];
}

void rc_accumulate_ctu_qp(rc_ctu_context *ctx)
{
    ctx->rc->qp_plan_sum += ctx->qp_plan_row_sum;
    ctx->rc->qp_coded_sum += ctx->qp_coded_row_sum;
}
