// Frame-end update: QP averages, the first-pass statistics line, the VBV
// predictors and buffer fill, the average-bitrate sums, the constant-bitrate
// model and the second pass's expected bits, once the picture's access unit
// size is known.
#include <algorithm>
#include <cmath>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "ratecontrol/rc_cbr.h"
#include "ratecontrol/rc_twopass.h"
#include "ratecontrol/ratecontrol.h"

namespace {

// How far the plans of pictures in flight are scaled at most.
constexpr double PLAN_SCALE_MIN = 0.25;
constexpr double PLAN_SCALE_MAX = 4.0;

}  // namespace

void rc_update_predictor(size_predictor *p, float q, float cost, float bits, float divisor)
{
    if (cost < 10.0f || divisor <= 0.0f) return;
    float old = p->coeff / p->count;
    float n = q * bits / cost;
    float nc = std::min(std::max(n, old / 2.0f), 2.0f * old);
    float off = (q * bits - nc * cost) / divisor;
    float coeff = nc;
    if (off < 0.0f) {
        off = 0.0f;
        coeff = n;
    }
    p->count = p->decay * p->count + 1.0f;
    p->coeff = p->decay * p->coeff + coeff;
    p->offset = p->decay * p->offset + off;
}

void rc_plan_scale_learn(double *scale, double actual, double planned)
{
    if (!(planned > 0.0) || !(*scale > 0.0)) return;
    double r = std::min(std::max(actual / planned, PLAN_SCALE_MIN), PLAN_SCALE_MAX);
    *scale = std::sqrt(*scale * r);
}

int32_t rc_frame_pred_index(const rc_picture *pic)
{
    uint32_t type = pic->source ? pic->source->picture_type : 0;
    if (type == PIC_TYPE_P) return 1;
    if (type == PIC_TYPE_BREF) return 3;
    return std::min(std::max(pic->slice_class, 0), 2);
}

float rc_predict_size(const size_predictor *p, float cost, float qscale)
{
    float v = (cost * p->coeff + p->offset) / (qscale * p->count);
    return v < 2.0e9f ? v : 2.0e9f;
}

size_predictor *rc_frame_predictors(ratecontrol *rc)
{
    return rc_first(rc)->frame_pred;
}

float rc_predict_frame_bits(const ratecontrol *rc, double qscale)
{
    const size_predictor *p = &rc_first(rc)->frame_pred[rc_frame_pred_index(&rc->pic)];
    return rc_predict_size(p, (float)rc->frame_satd, (float)qscale);
}

double rc_qscale_for_bits(const ratecontrol *rc, double bits)
{
    const size_predictor *p = &rc_first(rc)->frame_pred[rc_frame_pred_index(&rc->pic)];
    return ((double)p->coeff * rc->frame_satd + p->offset) / (std::max(bits, 1.0) * p->count);
}

double rc_in_flight_bits(const ratecontrol *other)
{
    const ratecontrol *first = rc_first(other);
    int32_t index = rc_frame_pred_index(&other->pic);
    double scaled = other->frame_size_planned * first->plan_scale[index];
    double now = rc_predict_size(&first->frame_pred[index], (float)other->frame_satd,
                                 (float)rc_qp_to_qscale(other->frame_qp_f));
    return std::max(scaled, now);
}

void rc_vbv_frame_end(ratecontrol *rc, uint32_t bits)
{
    ratecontrol *first = rc_first(rc);
    int32_t c = std::min(std::max(rc->pic.slice_class, 0), 2);
    first->row_pred_shared[c][0] = rc->row_pred[c][0];
    first->row_pred_shared[c][1] = rc->row_pred[c][1];
    int64_t fill = std::max((int64_t)first->vbv_fill - (int64_t)bits, (int64_t)0) + rc->vbv_frame_bits;
    first->vbv_fill = (int32_t)std::min(fill, (int64_t)rc->vbv_size);
}

namespace {

void abr_frame_end(ratecontrol *rc, const internal_config *cfg, uint32_t bits)
{
    const rc_picture *pic = &rc->pic;
    double s = rc_qp_to_qscale(rc->qp_plan_sum);
    // A rate equation of 0 means no estimate was made for the picture yet.
    if (rc->last_rate_eq != 0.0) {
        if (pic->slice_class != 0) {
            rc->complexity_sum += s * bits / rc->last_rate_eq;
        } else {
            int32_t layer = pic->recon ? pic->recon->layer : pic->source->layer;
            double ratio = std::fabs((double)cfg->b_ratio[std::min(std::max(layer - 1, 0), 2)]);
            if (ratio > 0.0) rc->complexity_sum += s * bits / (ratio * rc->last_rate_eq);
        }
    }
    rc->complexity_sum *= rc->decay;
    rc->wanted_bits_window = (rc->wanted_bits_window + rc->bitrate * cfg->fps_den / cfg->fps_num) * rc->decay;
}

}  // namespace

int ratecontrol_end(ratecontrol *rc, const internal_config *cfg, const rc_frame_totals *totals, uint32_t bits)
{
    float ctus = (float)(rc->ctu_count > 0 ? rc->ctu_count : 1);
    rc->qp_plan_sum = rc->qp_plan_sum / ctus;
    rc->qp_coded_sum = rc->qp_coded_sum / ctus;
    if (rc->pic.recon) {
        rc->pic.recon->qp_plan_avg = rc->qp_plan_sum;
        rc->pic.recon->qp_coded_avg = rc->qp_coded_sum;
    }
    if (cfg->pass1) rc_pass1_write_line(rc, totals, cfg->pass1_stats_buffer);
    // Every mode that costs its pictures teaches the frame size predictors.
    if (rc->frame_satd >= rc->ctu_count)
        rc_update_predictor(&rc_frame_predictors(rc)[rc_frame_pred_index(&rc->pic)],
                            (float)rc_qp_to_qscale(rc->qp_plan_sum),
                            (float)rc->frame_satd, (float)bits, 1.0f);
    // Every planned picture teaches how plans of its kind turn out.
    if (rc->size_planned)
        rc_plan_scale_learn(&rc_first(rc)->plan_scale[rc_frame_pred_index(&rc->pic)], bits, rc->frame_size_planned);
    if (rc->vbv) rc_vbv_frame_end(rc, bits);
    if (rc->abr) abr_frame_end(rc, cfg, bits);
    if (rc->cbr && rc->model) rc_cbr_frame_end(rc, cfg, totals, bits);
    if (rc->two_pass && rc->pass2_current)
        rc->expected_bits_sum += rc_entry_bits(rc->pass2_current, rc_qp_to_qscale(rc->pass2_current->pass2_qp));
    rc_first(rc)->total_bits += (double)bits;
    rc->in_flight = 0;
    // Later plans no longer count this picture as in flight.
    rc->size_planned = 0;
    return 0;
}
