// INTERIM: see rc_interim.h. Every picture is coded in display order: the
// first and every idr_period-th one as a key picture (IDR, or CRA with open
// GOPs after the first), all others as P pictures; the QP is the configured
// constant QP.
#include "ratecontrol/rc_interim.h"

#include <cstring>

#include "encoder/encoder_instance.h"
#include "encoder/encoder_rd.h"
#include "encoder/memory.h"
#include "encoder/picture_list.h"

int lookahead_init(encoder_instance *inst, uint32_t depth)
{
    lookahead *la = (lookahead *)aligned_malloc((int32_t)sizeof(lookahead));
    if (!la) return -1;
    std::memset(la, 0, sizeof(*la));
    la->input_queue = picture_list_create((int32_t)depth + 1);
    la->output_queue = picture_list_create((int32_t)depth);
    if (!la->input_queue || !la->output_queue) {
        picture_list_destroy(la->input_queue);
        picture_list_destroy(la->output_queue);
        aligned_free(la);
        return -1;
    }
    la->last_keyframe = -inst->config.idr_period;
    la->ra_period = -1;
    la->depth = (int32_t)depth;
    for (int32_t k = 0; k < inst->frame_instance_count; k++)
        if (inst->slot_array[k]) inst->slot_array[k]->la = la;
    return 0;
}

void lookahead_delete(encoder_instance *inst)
{
    lookahead *la = inst->la;
    if (!la) return;
    picture_list_destroy(la->input_queue);
    picture_list_destroy(la->output_queue);
    aligned_free(la);
    for (int32_t k = 0; k < inst->frame_instance_count; k++)
        if (inst->slot_array[k]) inst->slot_array[k]->la = nullptr;
    inst->la = nullptr;
}

void lookahead_put_frame(encoder_instance *inst, picture *pic)
{
    picture_list_push_last(inst->la->input_queue, pic);
}

void lookahead_get_frames(encoder_instance *inst)
{
    lookahead *la = inst->la;
    const internal_config *cfg = &inst->config;
    while (la->input_queue->count > 0) {
        picture *pic = (picture *)picture_list_pop_first(la->input_queue);
        bool key = pic->frame_number - la->last_keyframe >= cfg->idr_period || la->ra_period < 0;
        if (key) {
            pic->picture_type = (cfg->open_gop && la->ra_period >= 0) ? PIC_TYPE_CRA : PIC_TYPE_IDR;
            if (pic->picture_type == PIC_TYPE_IDR) la->last_keyframe = pic->frame_number;
            la->ra_period++;
        } else {
            pic->picture_type = PIC_TYPE_P;
        }
        pic->ra_period = la->ra_period;
        pic->layer = 0;
        pic->p_layer = 0;
        pic->dts = pic->pts;
        picture_list_push_last(inst->coding_queue, pic);
    }
}

int lookahead_is_empty(encoder_instance *inst)
{
    lookahead *la = inst->la;
    mutex_lock(&la->input_queue->lock);
    int32_t a = la->input_queue->count;
    mutex_unlock(&la->input_queue->lock);
    mutex_lock(&la->output_queue->lock);
    int32_t b = la->output_queue->count;
    mutex_unlock(&la->output_queue->lock);
    return a == 0 && b == 0;
}

void adaptive_quant_frame(encoder_instance *inst, picture *pic)
{
    (void)inst, (void)pic;
}

int ratecontrol_new(encoder_instance *inst)
{
    int32_t n = inst->frame_instance_count;
    ratecontrol *rc = (ratecontrol *)aligned_malloc((int32_t)sizeof(ratecontrol) * n);
    if (!rc) return -1;
    std::memset(rc, 0, sizeof(ratecontrol) * (size_t)n);
    for (int32_t k = 0; k < n; k++) inst->slot_array[k]->rc = &rc[k];
    return 0;
}

void ratecontrol_delete(encoder_instance *inst)
{
    aligned_free(inst->rc);
    inst->rc = nullptr;
}

void ratecontrol_thread_sync(encoder_instance *dst, encoder_instance *src, encoder_instance *next)
{
    (void)dst, (void)src, (void)next;
}

int ratecontrol_start(encoder_instance *inst, int32_t a, int32_t b)
{
    (void)a, (void)b;
    int32_t qp = inst->config.qp;
    if (qp < inst->config.qp_min) qp = inst->config.qp_min;
    if (qp > inst->config.qp_max) qp = inst->config.qp_max;
    inst->rc->qp = qp;
    return 0;
}

int32_t ratecontrol_frame_qp(encoder_instance *inst)
{
    return inst->rc->qp;
}

int ratecontrol_end(encoder_instance *fi, uint32_t bits)
{
    (void)fi, (void)bits;
    return 0;
}

void rc_row_update(encoder_instance *ctx)
{
    int32_t row = ctx->slice_class == 2 ? 0 : (ctx->slice_class == 1 ? 1 : 2);
    int32_t qp = ctx->current_qp;
    ctx->ctu.qp = qp;
    ctx->ctu.lambda_sse = encoder_rd_lambda_sse(ctx->rd, row, qp);
    ctx->ctu.lambda_satd = encoder_rd_lambda_satd(ctx->rd, row, qp);
}

void rc_row_vbv_adjust(encoder_instance *ctx, int32_t bits)
{
    (void)bits;
    ctx->qp_sums[0] += (float)ctx->ctu.qp;
    ctx->qp_sums[1] += (float)ctx->ctu.qp;
}

void rc_accumulate_ctu_qp(encoder_instance *ctx)
{
    (void)ctx;
}

void ctu_collect_stats(encoder_instance *ctx)
{
    (void)ctx;
}
