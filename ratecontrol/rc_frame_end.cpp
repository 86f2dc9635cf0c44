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

void rc_vbv_frame_end(ratecontrol *rc, uint32_t bits)
{
    ratecontrol *first = rc_first(rc);
    int32_t c = std::min(std::max(rc->pic.slice_class, 0), 2);
    first->row_pred_shared[c][0] = rc->row_pred[c][0];
    first->row_pred_shared[c][1] = rc->row_pred[c][1];
    int64_t fill = std::max((int64_t)first->vbv_fill - (int64_t)bits, (int64_t)0) + rc->vbv_frame_bits;
    first->vbv_fill = (int32_t)std::min(fill, (int64_t)rc->vbv_size);
}

bool rc_abr_share(const ratecontrol *rc, const internal_config *cfg, double bits, double qscale, double *share)
{
    const rc_picture *pic = &rc->pic;
    // A rate equation of 0 means no estimate was made for the picture yet.
    if (rc->last_rate_eq == 0.0 || !(qscale > 0.0)) return false;
    if (pic->slice_class != slice_b) {
        *share = qscale * bits / rc->last_rate_eq;
    } else {
        int32_t layer = pic->recon ? pic->recon->layer : pic->source->layer;
        double ratio = std::fabs((double)cfg->b_ratio[std::min(std::max(layer - 1, 0), 2)]);
        if (!(ratio > 0.0)) return false;
        *share = qscale * bits / (ratio * rc->last_rate_eq);
    }
    // Pictures of the scenes before a cut join as the cuts moved the sums.
    *share *= rc_first(rc)->scene_scale / rc->scene_scale_at_start;
    return *share > 0.0;
}

namespace {

// The share of a buffer, in pictures, whose sizes may still be unknown when a
// picture takes its QP: constant bitrate (a window of 8 pictures by default)
// and a VBV buffer (30 pictures for a buffer of one second at 30 per second).
// With a dozen frame instances, a picture was otherwise planned before any
// picture of its window had finished: the plans of the pictures in flight,
// off by several times either way on natural content, let the buffer run dry
// (67 underflows over the 27 constant-bitrate encodes of the 640x360 corpus,
// 6 with a quarter of the window) and held its rate far below the target.
constexpr double CBR_BLIND_SHARE = 0.25;
constexpr double VBV_BLIND_SHARE = 0.1;
// How much of the peak of a kind of picture is left after the next picture of
// the kind: a quarter after a second of P pictures at 30 per second (with 0.8
// the peak held a slow pan 43 % under its target at 500 kbit/s).
constexpr double PEAK_FADE = 0.7;

// One-pass average bitrate starts from QPs that may be off by many steps
// either way, and over its first seconds each picture's QP moves on what the
// last finished pictures cost. With a dozen frame instances in flight, those
// were coded a mini-GOP and a half earlier: 60-picture pans stayed 15-29 %
// below their targets while the QP fell, and film grain at 4000 kbit/s ran
// 75 % over, its B pictures planned at 5 kbit coming in at 0.4-1.3 Mbit long
// after the QP had passed the size at which grain stops being skipped. Over
// its start, a picture therefore waits for all but the last few before it
// (at 720p, 60 pictures within 10 % of their targets in 17 rows of 27, 14
// before, mean error 9 % from 16 %), after which the frame instances run
// ahead freely again.
constexpr double ABR_START_SECONDS = 2.0;
constexpr int32_t ABR_START_BLIND_SPAN = 2;

// A P picture took `bits` at `qscale`: how it came out against its intra
// size where the lookahead costs it about as an intra picture (see
// rc_costs_like_intra).
void intra_like_seen(ratecontrol *rc, double qscale, double bits)
{
    double *shares = rc_first(rc)->intra_like_shares;
    bool like_intra = rc_costs_like_intra(rc);
    double intra = like_intra ? rc_frame_model_bits(rc, slice_i, rc->pic.source->frame_cost[0][0], qscale) : 0.0;
    if (!(intra > 0.0)) {
        shares[0] = shares[1] = 0.0;
        return;
    }
    shares[1] = shares[0];
    shares[0] = bits / intra;
}

// A picture of the record's kind took `bits` at `qscale`: what its kind's
// frame predictor learns and what the later decisions see of the kind.
void picture_seen(ratecontrol *rc, double qscale, double bits)
{
    int32_t index = rc_frame_pred_index(&rc->pic);
    if (rc->frame_satd >= rc->ctu_count) rc_frame_model_learn(rc, index, qscale, rc->frame_satd, bits);
    rc_kind_seen *s = &rc_first(rc)->seen[index];
    s->bits = bits;
    s->qscale = qscale;
    s->cost = rc->frame_satd;
    if (!(s->finest_qscale > 0.0) || qscale < s->finest_qscale) s->finest_qscale = qscale;
    if (index == slice_p) intra_like_seen(rc, qscale, bits);
    if (rc->frame_satd > 0) {
        // Sizes taken as climbing with the cube of the falling qscale pick
        // the picture that would grow largest where the next ones go finer.
        double peak = bits * qscale * qscale * qscale / rc->frame_satd;
        s->peak *= PEAK_FADE;
        if (peak >= s->peak) {
            s->peak = peak;
            s->peak_qscale = qscale;
        }
    }
}

// A P picture of a long constant-bitrate bucket whose rows coded it more
// than this many QP from its plan teaches its predictor at the QP coded.
constexpr double LEARN_PLAN_GAP = 2.0;

// The QP at which the picture's size teaches its kind's predictor: the plan
// (the mean QP its CTUs were planned at), which the rows move little about;
// but a P picture of a long bucket that its rows held far from the plan at
// the coded QP. Taught at the plan, the zoom's second P picture (1280x720
// at 1500 kbit/s, the first intra picture at 0.9 of the starting fill),
// held by its 25 kbit bound from its plan's QP 30.0 to a coded 34.6, showed
// 27.7 kbit at QP 30 after 10.7 kbit at 37.3 (sizes climbing with qscale^-1.1,
// where the zoom's P pictures climb with about qscale^-3), and the next P
// picture, planned at QP 22 for 81 kbit, took 396 at 26.9, after which the
// P pictures ran 1.3-3.4 times over their plans (10.4 % over the rate).
// Taught at the QP coded, the next one, planned at QP 28.8 for 94 kbit,
// took 313, and the later ones 0.46-0.8 of their plans (1.2 % over).
double learning_qp(const ratecontrol *rc, double plan, double coded)
{
    bool p_picture = rc_frame_pred_index(&rc->pic) == 1;
    bool long_bucket = rc_cbr_long_bucket(rc);
    return p_picture && long_bucket && std::fabs(coded - plan) > LEARN_PLAN_GAP ? coded : plan;
}

void abr_frame_end(ratecontrol *rc, const internal_config *cfg, uint32_t bits)
{
    if (!rc_in_rate_equation(rc)) return;
    double share = 0.0;
    if (rc_abr_share(rc, cfg, bits, rc_qp_to_qscale(rc->qp_plan_sum), &share)) rc->complexity_sum += share;
    rc->complexity_sum *= rc->decay;
    rc->wanted_bits_window = (rc->wanted_bits_window + rc->bitrate * cfg->fps_den / cfg->fps_num) * rc->decay;
}

}  // namespace

bool ratecontrol_wants_early_sizes(const ratecontrol *rc, const internal_config *cfg)
{
    return (rc->one_pass_estimate && cfg->rc_mode != RC_MODE_CRF) || rc->cbr || rc->two_pass || rc->vbv;
}

int32_t ratecontrol_blind_span(const ratecontrol *rc, const internal_config *cfg, int32_t coding_number,
                               bool anchor)
{
    // The second pass corrects its plan at anchors only (B pictures follow
    // their references), and an anchor sees the size of every picture before
    // it. Counted at their planned sizes instead, the B pictures of the last
    // mini-GOP and a half in flight came in at up to 40 times their plans
    // where the first pass had coded them nearly skipped, and 60-picture
    // streams ended up to 17 % over their targets (mandelbrot at 720p,
    // 1500 kbit/s; film grain 14 % at 4000).
    if (rc->two_pass && anchor) return 0;
    if (rc->cbr && cfg->cbr_window > 0)
        return std::max((int32_t)(cfg->cbr_window * CBR_BLIND_SHARE), 1);
    if (rc->vbv && rc->vbv_frame_bits > 0) {
        double pictures = 1000.0 * (double)cfg->vbv_bufsize / (double)rc->vbv_frame_bits;
        return std::max((int32_t)(pictures * VBV_BLIND_SHARE), 1);
    }
    // A first pass starts as one pass does: the second plans from its pictures.
    // With all its frame instances running ahead, the first pass of a cut
    // (640x360, 125 kbit/s, 60 pictures) coded its first half at QPs 47-51
    // and came out 32 % under; the second pass planned the intra picture 10
    // QPs finer, where it took 2.5 times its estimate and the stream ended
    // 25.9 % over (+2.9 % so). Two-pass mean error over both corpora: 1080p
    // 4.60 -> 3.43 %, 720p 2.10 -> 1.70, 640x360 2.68 -> 1.90, 320x180
    // 1.86 -> 1.72 (300 pictures at 640x360 0.48 -> 0.83); PSNR-Y +0.04 to
    // +0.09 dB.
    bool abr = rc->one_pass_estimate && cfg->rc_mode == RC_MODE_ABR && !rc->vbv && !rc->cbr;
    if (abr && coding_number < ABR_START_SECONDS * rc->fps) return ABR_START_BLIND_SPAN;
    return INT32_MAX;
}

void ratecontrol_size_known(ratecontrol *rc, double bits)
{
    if (!rc->in_flight || rc->size_known) return;
    rc->size_known = 1;
    rc->known_bits = bits;
    if (rc->two_pass) rc_pass2_finished(rc, bits);
    // The CTU threads have summed every CTU's planned QP by now.
    float ctus = (float)(rc->ctu_count > 0 ? rc->ctu_count : 1);
    picture_seen(rc, rc_qp_to_qscale(learning_qp(rc, rc->qp_plan_sum / ctus, rc->qp_coded_sum / ctus)), bits);
    // The constant-bitrate window and bucket count it at its size, not its
    // plan, from now on: a plan several times off (the first intra picture is
    // planned as the costliest content would code) starved the pictures
    // planned while it was in flight.
    if (rc->cbr && rc->model)
        rc_model_size_known(rc->model, rc->cbr_slot, (int32_t)std::min(bits, (double)INT32_MAX));
}

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
    // Every mode that costs its pictures teaches the frame size predictors
    // (a picture whose size was known early has taught them already).
    if (!rc->size_known) picture_seen(rc, rc_qp_to_qscale(learning_qp(rc, rc->qp_plan_sum, rc->qp_coded_sum)), bits);
    // Every planned picture teaches how plans of its kind turn out.
    if (rc->size_planned) {
        rc_plan_scale_learn(&rc_first(rc)->plan_scale[rc_frame_pred_index(&rc->pic)], bits, rc->frame_size_planned);
        if (rc->finer_planned) rc_plan_scale_learn(&rc_first(rc)->finer_scale, bits, rc->frame_size_planned);
    }
    rc->finer_planned = 0;
    if (rc->vbv) rc_vbv_frame_end(rc, bits);
    if (rc->one_pass_estimate) abr_frame_end(rc, cfg, bits);
    if (rc->cbr && rc->model) rc_cbr_frame_end(rc, cfg, totals, bits);
    if (rc->two_pass) rc_pass2_finished(rc, bits);
    rc_first(rc)->total_bits += (double)bits;
    rc_first(rc)->collected++;
    rc->in_flight = 0;
    rc->size_known = 0;
    // Later plans no longer count this picture as in flight.
    rc->size_planned = 0;
    return 0;
}
