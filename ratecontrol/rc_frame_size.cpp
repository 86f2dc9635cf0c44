// Frame size predictors: what a picture of each kind is expected to take at a
// qscale, from its lookahead cost. Each predictor holds its sizes at an
// anchor qscale (near where its pictures were coded) and moves away from it
// with a learned elasticity: how steeply sizes fall as the qscale rises. Plain
// content halves its size for a doubled qscale (elasticity 1); noise that
// goes to skip at coarse quantisers falls several times faster, and plans
// made with the plain slope at a QP far from the last pictures' miss by
// several times, which no buffer holds.
//
// The predictors live in the first record and learn from every finished
// picture on the caller's thread, in coding order.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "ratecontrol/ratecontrol.h"
#include "ratecontrol/rc_cbr.h"

namespace {

// Bounds of the elasticity, and what it starts at.
constexpr float ELASTICITY_MIN = 0.7f;
constexpr float ELASTICITY_MAX = 4.0f;
constexpr float ELASTICITY_START = 1.0f;
// The elasticity learns from pictures coded at least a QP (in log qscale)
// from the anchor, fully from six QPs on, half-way towards what it observes.
constexpr double LEARN_MIN_SPAN = 0.1155;   // ln 2 / 6
constexpr double LEARN_FULL_SPAN = 0.6931;  // ln 2
constexpr double LEARN_RATE = 1.0;
// In a bucket of a second or more, a picture moves the elasticity a third of
// the way to what it shows. Its size misses what its lookahead cost predicts
// by two or three times either way, which over a span of six QP reads as an
// elasticity off by one or more: at 1280x720, 4000 kbit/s, on a slow pan, one
// reference B picture (planned at 2.2 kbit, coded 4.4 QP below its plan at
// 31.5 kbit) set its kind's elasticity from 1.0 to 3.7 and the next ones
// swung it between 0.7 and 3.7, the P pictures' between 1.4 and 3.7; the B
// pictures in flight were expected at 2.5 times what they took. Learning a
// third of the way, the elasticities stayed within 0.9-2.2 and 1.2-2.4, the
// reference B pictures were expected at 1.8 times what they took, and the
// 42 one-second constant-bitrate encodes gained 0.07 dB at 1280x720 and 0.02
// at 640x360. Learning half or 0.7 of the way, the synthetic pattern at 720p,
// 500 kbit/s ran 10 % over; a quarter, still grain at 720p, 4000 kbit/s 7.4 %;
// a third for the B pictures only, the 1280x720 mean fell and the cut at
// 4000 kbit/s ran 11.5 % under.
constexpr double LONG_BUCKET_LEARN_RATE = 0.35;
// How far the plans of pictures in flight are scaled at most.
constexpr double PLAN_SCALE_MIN = 0.25;
constexpr double PLAN_SCALE_MAX = 4.0;
constexpr float SIZE_MAX_BITS = 2.0e9f;
// bits x qscale / lookahead cost expected under VBV of a kind not yet seen.
constexpr double VBV_START_COEFF = 2.5;
// bits x qscale / intra detail expected of an intra picture under VBV before
// one is seen. The lookahead's cost, taken at half resolution, misses what
// decides an intra picture's size: the first intra pictures of nine 720p
// clips took 0.44 (a fast pan) to 3.4 (temporal noise) times their cost over
// the qscale, and 0.54 to 1.27 times their detail. From the cost, a slow pan's
// keyframe was held to a quarter of its size and noise's took up to 1.9
// times its plan.
constexpr double VBV_START_DETAIL = 1.3;
// QP steps (qp_step each) that a picture may be coded below where pictures of
// its kind were seen, at elasticity 1.
constexpr double KNOWN_STEPS = 2.0;
// QP steps (qp_step each) that average bitrate may code a picture below the
// finest qscale at which a picture of its kind has been seen: a descent
// further than that has no measurement behind it, and with a round of
// pictures in flight, it would be seen only after several more were coded.
constexpr double SEEN_STEPS = 2.0;
// How steeply sizes are assumed at least to climb as a picture's qscale falls
// below that of the latest picture of its kind (size ~ qscale^-2); the
// elasticity its kind's predictor has learned where steeper.
constexpr double DESCENT_ELASTICITY = 2.0;
// A picture whose lookahead cost is under REFRESH_COST_SHARE of the latest
// of its kind's has found a whole-sample match in its reference that the
// latest did not: the lookahead searches whole samples only, and a pan whose
// motion over the reference distance comes to whole samples costs it a
// fraction of what the pan's other pictures do, while the coder, which
// predicts them all to the quarter sample, codes it at a much smaller saving.
// Below its reference's QP it then codes again the detail its reference lost
// (a refresh), whose bits climb steeply. Its descent is reckoned from
// REFRESH_COST_SHARE of the latest picture's size, at least as the cube of
// the falling qscale. On the slow pan at 640x360 with 3 B pictures such a P
// picture cost 0.13 of the latest P picture (77,021 against 575,239) and at
// QP 28 took 0.41 of its size (645 bytes against 1,581); under constant
// bitrate at 375 kbit/s it was planned 8 QPs under the latest, took 125 kbit
// for an upper bound of 36 and ran the 100 kbit bucket dry. The pan of 6
// samples a picture at 320x180 had one at 0.04 of the cost, planned at 8.9
// kbit, which took 29.6. With 3 B pictures the default bucket ran dry 14
// times in 72 encodes of 12 clips at 320x180 and 640x360, 4 times so (all at
// 31 kbit/s); the two pans that had run it dry came 5-12 points further
// under their rates, while the other rows and the tables with 7 B pictures
// or a one-second bucket moved by at most half a point.
constexpr double REFRESH_COST_SHARE = 0.35;
constexpr double REFRESH_ELASTICITY = 3.0;

const size_predictor *predictor_of(const ratecontrol *first, int32_t index)
{
    return &first->frame_pred[index];
}

// Bits the predictor expects at qscale q: its plain prediction, moved by the
// elasticity's extra slope away from the anchor.
double model_bits(const size_predictor *p, const frame_size_model *m, double cost, double q)
{
    double v = (double)rc_predict_size(p, (float)cost, (float)q);
    if (m->anchor_qscale > 0.0f && m->elasticity != 1.0f && q > 0.0)
        v *= std::pow((double)m->anchor_qscale / q, (double)m->elasticity - 1.0);
    return std::min(v, (double)SIZE_MAX_BITS);
}

}  // namespace

void rc_frame_models_init(ratecontrol *rc)
{
    for (frame_size_model &m : rc->frame_model) m = {0.0f, ELASTICITY_START};
}

int32_t rc_frame_pred_index(const rc_picture *pic)
{
    uint32_t type = pic->source ? pic->source->picture_type : 0;
    if (type == PIC_TYPE_P) return 1;
    if (type == PIC_TYPE_BREF) return 3;
    return std::min(std::max(pic->slice_class, 0), 2);
}

bool rc_last_of_stream(const rc_picture *pic)
{
    return pic->stream_pictures > 0 && pic->source && pic->source->frame_number == pic->stream_pictures - 1;
}

bool rc_kind_learned(const ratecontrol *rc)
{
    return rc_first(rc)->frame_model[rc_frame_pred_index(&rc->pic)].anchor_qscale > 0.0f;
}

float rc_predict_size(const size_predictor *p, float cost, float qscale)
{
    float v = (cost * p->coeff + p->offset) / (qscale * p->count);
    return v < SIZE_MAX_BITS ? v : SIZE_MAX_BITS;
}

size_predictor *rc_frame_predictors(ratecontrol *rc)
{
    return rc_first(rc)->frame_pred;
}

float rc_frame_model_bits(const ratecontrol *rc, int32_t index, double cost, double qscale)
{
    const ratecontrol *first = rc_first(rc);
    return (float)model_bits(predictor_of(first, index), &first->frame_model[index], cost, qscale);
}

namespace {

// What a picture being coded is expected to take where a buffer is at stake
// (VBV, and the window of constant bitrate): a kind not yet seen on the safe
// side, as expensive as the costliest content codes (noise and grain take
// several times what clean pictures of the same cost take). Below the finest
// qscale its kind has been seen at, the predictor's own elasticity applies:
// a steeper climb assumed there (size ~ qscale^-4) made every anchor of a
// descending QP two to three times larger than it came out, and held average
// bitrate under VBV at a third to a half of its target on natural clips.
double coded_bits(const ratecontrol *rc, int32_t index, double cost, double qscale)
{
    const ratecontrol *first = rc_first(rc);
    const frame_size_model *m = &first->frame_model[index];
    double bits = rc_frame_model_bits(rc, index, cost, qscale);
    if (!(rc->vbv || rc->cbr) || !(qscale > 0.0)) return bits;
    if (!(m->anchor_qscale > 0.0f)) {
        bool detail = index == 2 && rc->intra_detail > 0.0;
        bits = std::max(bits, (detail ? VBV_START_DETAIL * rc->intra_detail : VBV_START_COEFF * cost) / qscale);
    }
    return std::min(bits, (double)SIZE_MAX_BITS);
}

}  // namespace

double rc_intra_detail(const picture *source)
{
    const uint8_t *plane = source->planes[0];
    int32_t stride = source->strides[0], w = source->widths[0] & ~1, h = source->heights[0] & ~1;
    int64_t sum = 0;
    for (int32_t y = 0; y < h; y += 2) {
        const uint8_t *a = plane + (int64_t)y * stride, *b = a + stride;
        for (int32_t x = 0; x < w; x += 2) {
            int32_t s = a[x] + a[x + 1] + b[x] + b[x + 1];
            sum += std::abs(4 * a[x] - s) + std::abs(4 * a[x + 1] - s);
            sum += std::abs(4 * b[x] - s) + std::abs(4 * b[x + 1] - s);
        }
    }
    return (double)sum / 4.0;
}

void rc_intra_detail_start(ratecontrol *rc)
{
    rc->intra_detail = 0.0;
    if (!(rc->vbv || rc->cbr) || rc->pic.slice_class != slice_i || !rc->pic.source) return;
    if (rc_first(rc)->frame_model[2].anchor_qscale > 0.0f) return;
    rc->intra_detail = rc_intra_detail(rc->pic.source);
}

float rc_predict_frame_bits(const ratecontrol *rc, double qscale)
{
    return (float)coded_bits(rc, rc_frame_pred_index(&rc->pic), rc->frame_satd, qscale);
}

double rc_qscale_for_bits(const ratecontrol *rc, double bits)
{
    const ratecontrol *first = rc_first(rc);
    int32_t index = rc_frame_pred_index(&rc->pic);
    const size_predictor *p = predictor_of(first, index);
    const frame_size_model *m = &first->frame_model[index];
    // k / q is the plain prediction; with the elasticity e about anchor a the
    // size is k a^(e-1) / q^e.
    double k = ((double)p->coeff * rc->frame_satd + p->offset) / ((double)p->count * std::max(bits, 1.0));
    if (!(m->anchor_qscale > 0.0f) || m->elasticity == 1.0f) return k;
    double e = m->elasticity, a = m->anchor_qscale;
    if (!(k > 0.0)) return k;
    return std::exp((std::log(k) + (e - 1.0) * std::log(a)) / e);
}

void rc_frame_model_learn(ratecontrol *rc, int32_t index, double qscale, double cost, double bits)
{
    ratecontrol *first = rc_first(rc);
    size_predictor *p = &first->frame_pred[index];
    frame_size_model *m = &first->frame_model[index];
    if (cost < 10.0 || !(qscale > 0.0) || !(bits > 0.0)) return;
    if (!(m->anchor_qscale > 0.0f)) {
        // The first picture of its kind replaces the start value, which only
        // stands in until then: blended in, it would hold the predictions of
        // the next pictures several times off.
        m->anchor_qscale = (float)qscale;
        p->coeff = (float)(qscale * bits / cost);
        p->count = 1.0f;
        p->offset = 0.0f;
        return;
    }
    double a = m->anchor_qscale;
    double span = std::log(a / qscale);
    double expected = model_bits(p, m, cost, qscale);
    if (std::fabs(span) >= LEARN_MIN_SPAN && expected > 0.0) {
        double seen = (double)m->elasticity + std::log(bits / expected) / span;
        seen = std::min(std::max(seen, (double)ELASTICITY_MIN), (double)ELASTICITY_MAX);
        bool long_bucket = rc_cbr_long_bucket(rc);
        double rate = long_bucket ? LONG_BUCKET_LEARN_RATE : LEARN_RATE;
        double w = rate * std::min(std::fabs(span) / LEARN_FULL_SPAN, 1.0);
        m->elasticity = (float)((double)m->elasticity + w * (seen - (double)m->elasticity));
    }
    // The anchor moves to the mean log qscale of what the predictor has seen
    // (weighted as its coefficient weighs them); the stored sizes move with it
    // so that its predictions stay, and the picture joins at the new anchor.
    double weight = (double)p->decay * p->count;
    double moved = std::exp((weight * std::log(a) + std::log(qscale)) / (weight + 1.0));
    double e = m->elasticity;
    double f = std::pow(a / moved, e - 1.0);
    p->coeff = (float)(p->coeff * f);
    p->offset = (float)(p->offset * f);
    m->anchor_qscale = (float)moved;
    double at_anchor = bits * std::pow(qscale / moved, e);
    rc_update_predictor(p, (float)moved, (float)cost, (float)at_anchor, 1.0f);
}

double rc_frame_elasticity(const ratecontrol *rc)
{
    return rc_first(rc)->frame_model[rc_frame_pred_index(&rc->pic)].elasticity;
}

double rc_qscale_factor(const ratecontrol *rc, double size_ratio)
{
    if (!(size_ratio > 0.0)) return 1.0;
    return std::pow(size_ratio, 1.0 / rc_frame_elasticity(rc));
}

double rc_known_qscale_floor(const ratecontrol *rc)
{
    const frame_size_model *m = &rc_first(rc)->frame_model[rc_frame_pred_index(&rc->pic)];
    if (!(m->anchor_qscale > 0.0f)) return 0.0;
    // Two QP steps where sizes fall as the qscale rises, less where they
    // climb steeply: a picture grows past what its kind has shown by at most
    // what two steps give plain content.
    return m->anchor_qscale / std::pow(rc->qscale_step, KNOWN_STEPS / std::max((double)m->elasticity, 1.0));
}

void rc_plan_scale_learn(double *scale, double actual, double planned)
{
    if (!(planned > 0.0) || !(*scale > 0.0)) return;
    double r = std::min(std::max(actual / planned, PLAN_SCALE_MIN), PLAN_SCALE_MAX);
    *scale = std::sqrt(*scale * r);
}

double rc_size_descent_floor(const ratecontrol *rc, double budget)
{
    return rc_size_descent_floor_at(rc, budget, DESCENT_ELASTICITY);
}

double rc_size_descent_floor_at(const ratecontrol *rc, double budget, double min_elasticity)
{
    double q = rc_seen_budget_qscale(rc, budget, min_elasticity);
    return std::min(rc_first(rc)->seen[rc_frame_pred_index(&rc->pic)].qscale, q);
}

double rc_peak_floor(const ratecontrol *rc, double budget, double min_elasticity)
{
    const rc_kind_seen *s = &rc_first(rc)->seen[rc_frame_pred_index(&rc->pic)];
    double pq = s->peak_qscale;
    if (!(s->peak > 0.0) || !(pq > 0.0) || !(budget > 0.0)) return 0.0;
    double bits = s->peak / (pq * pq * pq) * rc->frame_satd;
    return rc_qscale_for_budget(rc, pq, bits, budget, min_elasticity);
}

double rc_seen_budget_qscale(const ratecontrol *rc, double budget, double min_elasticity)
{
    const rc_kind_seen *s = &rc_first(rc)->seen[rc_frame_pred_index(&rc->pic)];
    if (!(s->qscale > 0.0) || !(s->bits > 0.0) || !(budget > 0.0)) return 0.0;
    double expected = s->bits * std::max(rc->frame_satd, 1) / std::max(s->cost, 1.0);
    return rc_qscale_for_budget(rc, s->qscale, expected, budget, min_elasticity);
}

double rc_refresh_descent_floor(const ratecontrol *rc, double budget)
{
    const rc_kind_seen *s = &rc_first(rc)->seen[rc_frame_pred_index(&rc->pic)];
    if (!(s->qscale > 0.0) || !(s->bits > 0.0) || !(budget > 0.0)) return 0.0;
    double share = std::max(rc->frame_satd, 1) / std::max(s->cost, 1.0);
    double e = DESCENT_ELASTICITY;
    if (share < REFRESH_COST_SHARE) {
        share = REFRESH_COST_SHARE;
        e = REFRESH_ELASTICITY;
    }
    return std::min(s->qscale, rc_qscale_for_budget(rc, s->qscale, s->bits * share, budget, e));
}

double rc_qscale_for_budget(const ratecontrol *rc, double qscale, double bits, double budget, double min_elasticity)
{
    double e = std::max(min_elasticity, rc_frame_elasticity(rc));
    return qscale * std::pow(bits / budget, 1.0 / e);
}

double rc_seen_qscale_floor(const ratecontrol *rc)
{
    double finest = rc_first(rc)->seen[rc_frame_pred_index(&rc->pic)].finest_qscale;
    return finest > 0.0 ? finest / std::pow(rc->qscale_step, SEEN_STEPS) : 0.0;
}

double rc_in_flight_bits(const ratecontrol *other)
{
    if (other->size_known) return other->known_bits;
    const ratecontrol *first = rc_first(other);
    int32_t index = rc_frame_pred_index(&other->pic);
    double scaled = other->frame_size_planned * first->plan_scale[index];
    double now = coded_bits(other, index, other->frame_satd, rc_qp_to_qscale(other->frame_qp_f));
    return std::max(scaled, now);
}
