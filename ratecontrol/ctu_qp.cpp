// The QP and Lagrange multipliers of a CTU, fixed before its search, and the
// macroblock-tree offsets of a picture's CTUs taken together.
#include <algorithm>
#include <cmath>

#include "encoder/config.h"
#include "encoder/lambda_tables.h"
#include "encoder/picture.h"
#include "ratecontrol/ratecontrol.h"

namespace {

// How strongly the pictures after a picture lean on it: not below a mean
// tree offset of -1 QP (grain, whose noise nothing predicts: a larger intra
// picture cost 0.3 dB there under constant bitrate), fully from -4 QP (the
// pans and the zoom).
constexpr double TREE_LEAN_FLOOR = 1.0;
constexpr double TREE_LEAN_SPAN = 3.0;

// The AQ / macroblock-tree offset of the CTU's top-left 16x16 block (0
// without adaptive quantisation).
float block_offset(const rc_ctu_context *ctx)
{
    if (ctx->cfg->aq_mode == 0) return 0.0f;
    const picture *src = ctx->source;
    int32_t block = 4 * ctx->ctu_y * ctx->block_stride + 4 * ctx->ctu_x;
    const float *offsets = src->mbtree_offsets_apply ? src->mbtree_qp_offset : src->aq_qp_offset;
    return offsets ? offsets[block] : 0.0f;
}

// The unrounded QP: the VBV row QP plus the CTU's offset, the
// constant-bitrate ratio with the tree offset, or the frame QP plus the
// CTU's offset.
float unrounded_ctu_qp(const rc_ctu_context *ctx)
{
    const ratecontrol *rc = ctx->rc;
    const internal_config *cfg = ctx->cfg;
    // Under a buffer the row QP takes the frame QP's place and the offsets
    // still move the CTUs about it: dropped, they left the anchors that the
    // tree says later pictures lean on at the B pictures' level.
    if (rc->vbv) return ctx->recon->vbv_row_qp[ctx->ctu_y] + block_offset(ctx);
    if (cfg->rc_mode == RC_MODE_CBR) {
        float q = rc->frame_qp_f - 6.0f * (float)(std::log(ctx->cbr_ctu_ratio) * 1.4426950408889634);
        return q + rc_cbr_tree_offset(ctx);
    }
    return rc->frame_qp_f + block_offset(ctx);
}

}  // namespace

double rc_tree_offset(const ratecontrol *rc, const internal_config *cfg, const picture *src)
{
    if (!cfg->mbtree || !src->mbtree_offsets_apply || !src->mbtree_qp_offset || rc->ctu_count <= 0) return 0.0;
    double sum = 0.0;
    for (int32_t y = 0; y < rc->ctu_rows; y++)
        for (int32_t x = 0; x < rc->ctu_cols; x++) sum += src->mbtree_qp_offset[16 * y * rc->ctu_cols + 4 * x];
    return sum / rc->ctu_count;
}

double rc_tree_lean(const ratecontrol *rc, const internal_config *cfg, const picture *src)
{
    return std::min(std::max((-rc_tree_offset(rc, cfg, src) - TREE_LEAN_FLOOR) / TREE_LEAN_SPAN, 0.0), 1.0);
}

float rc_cbr_tree_offset(const rc_ctu_context *ctx)
{
    const picture *src = ctx->source;
    if (!ctx->cfg->mbtree || !src->mbtree_offsets_apply || !src->mbtree_qp_offset) return 0.0f;
    return src->mbtree_qp_offset[4 * ctx->ctu_y * ctx->block_stride + 4 * ctx->ctu_x];
}

void rc_ctu_qp(rc_ctu_context *ctx)
{
    const internal_config *cfg = ctx->cfg;
    float q = (float)((double)unrounded_ctu_qp(ctx) + 0.5);
    // Round half up, clamp in single precision, convert toward zero; a NaN
    // (an unusable ratio or offset) takes the lower limit.
    float lo = (float)cfg->qp_min, hi = (float)cfg->qp_max;
    if (!(q >= lo)) q = lo;
    if (q > hi) q = hi;
    int32_t qp = (int32_t)q;
    ctx->ctu_qp = qp;

    int32_t row = 0;
    if (ctx->slice_class == slice_i) {
        row = 0;
    } else if (ctx->source->picture_type == PIC_TYPE_P) {
        row = 1;
    } else {
        row = ctx->source->layer + 1;
        if (row > LAMBDA_ROWS - 1) row = LAMBDA_ROWS - 1;
    }
    ctx->lambda_satd = ctx->lambdas->satd[row][qp];
    ctx->lambda_sse = ctx->lambdas->sse[row][qp];
    if (ctx->recon && ctx->recon->ctu_qps) ctx->recon->ctu_qps[ctx->ctu_index] = (uint8_t)qp;
}
