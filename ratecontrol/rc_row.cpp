// CTU-row rate control: the per-CTU QP sums that the frame end averages, the
// constant-bitrate CTU statistics, and under VBV the per-row bit books, the
// row size predictors and, so that the predicted size of the whole picture
// keeps to the buffer plan, one re-decision of each row's QP between an early
// and a late check that may only raise it.
//
// No lock: a row's entries are written only by the thread coding that row,
// and entries of other rows are read only where the wavefront order
// guarantees them final (the CTUs on the diagonal above-right, and the
// complete rows above it). The same holds for the row QPs of a reference
// picture, which may still be coded on other threads: a row's QP is read
// where the schedule guarantees it settled, and otherwise the QP the
// reference's rows all start from, so that no decision depends on timing.
#include <algorithm>
#include <cmath>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "ratecontrol/rc_cbr.h"
#include "ratecontrol/ratecontrol.h"

namespace {

// What the row predictions read of one picture.
struct row_view {
    const ratecontrol *rc;
    const picture *recon;
    const picture *ref0;
    const int32_t *row_cost;    // lookahead cost per CTU row
    const int32_t *ctu_cost;    // cost of the row up to and including each CTU
    const int32_t *intra_row;
    const int32_t *intra_ctu;
    bool intra_slice;
    int32_t w;
    int32_t h;
    int32_t x;                  // the CTU being coded
    int32_t y;
    int32_t lag;                // rows the schedule keeps behind the references
    int32_t coding_number;
    int32_t instances;
    const size_predictor *own;  // the pair that foresees the rest of row y
    bool rise_only;             // an early or late check, which may only raise the row
};

int32_t at(const int32_t *a, int32_t i)
{
    return a ? a[i] : 0;
}

row_view view_of(const rc_ctu_context *ctx)
{
    row_view v;
    v.rc = ctx->rc;
    v.recon = ctx->recon;
    v.ref0 = ctx->rc->pic.ref0;
    const picture *src = ctx->source;
    v.row_cost = src->row_costs_rc;
    v.ctu_cost = src->ctu_costs_rc;
    v.intra_row = src->row_costs[0][0];
    v.intra_ctu = src->ctu_costs[0][0];
    v.intra_slice = ctx->slice_class == slice_i;
    v.w = ctx->rc->ctu_cols;
    v.h = ctx->rc->ctu_rows;
    v.x = ctx->ctu_x;
    v.y = ctx->ctu_y;
    v.lag = config_reference_row_lag(ctx->cfg);
    v.coding_number = ctx->rc->pic.coding_number;
    v.instances = std::max(ctx->cfg->frame_instances, 1);
    v.own = &ctx->rc->vbv_rows[2 * v.y];
    v.rise_only = false;
    return v;
}

// The column after which row y's QP is re-decided.
int32_t check_column(int32_t w, int32_t h, int32_t y)
{
    return std::min(std::max((w + h) / 2 - y - 1, 0), w);
}

// The column after which an early check may raise row y's QP: a picture whose
// first CTUs come in several times over its plan has coded most of it by the
// check column. Under zero latency the mandelbrot zoom (640x360, CRF 23 under
// a 125 kbit buffer) had a P picture planned at 5.5 kbit take 4.9 kbit in its
// first row before the row's check column and 27 kbit in all, and the buffer
// ran dry 7 times in 300 pictures (no time with the early check).
int32_t early_column(int32_t w, int32_t h, int32_t y)
{
    return check_column(w, h, y) / 2;
}

// The column after which a late check may raise row y's QP once more, half
// way through what the row has left after its check column: a zoom's P
// picture under zero latency (1280x720, CRF 23 under a 500 kbit buffer),
// planned at 30 kbit, had taken 6 kbit when its last row was re-decided and
// took 90 of the 86 in the buffer, most of it in the right halves of its
// lower rows.
int32_t late_column(int32_t w, int32_t h, int32_t y)
{
    int32_t c = check_column(w, h, y);
    return c + (w - 1 - c) / 2;
}

// CTUs a row has coded when its QP is final: it is set as the row starts, may
// rise after the early column, is re-decided after the check column and may
// rise after the late column, each when that is not the last CTU.
int32_t settled_count(int32_t w, int32_t h, int32_t r)
{
    int32_t c = check_column(w, h, r), l = late_column(w, h, r);
    if (l > c && l < w - 1) return l + 1;
    return c < w - 1 ? c + 1 : 1;
}

// The fewest CTUs row r of a reference has coded while CTU (x, y) is coded.
// Row y - j above has started its CTU x + j (wavefront), which the schedule
// allowed once row min(y - j + lag, last) of the reference had coded more
// than x + j + 1 + lag; each row of the reference is a CTU ahead of the row
// below it. Rows above matter where the lagged row is clamped to the last.
int32_t reference_row_done(const row_view *v, int32_t r)
{
    int32_t done = 0;
    for (int32_t j = 0; j <= v->y; j++) {
        int32_t rr = std::min(v->y - j + v->lag, v->h - 1);
        if (r > rr) break;
        int32_t k = std::min(v->x + j, v->w - 1);
        done = std::max(done, k + 2 + v->lag + rr - r);
    }
    return done;
}

// A frame instance takes a new picture only after the one it took that many
// pictures before is coded: with one instance every reference is finished.
bool reference_row_settled(const row_view *v, const picture *ref, int32_t r)
{
    if (ref->rc_coding_number <= v->coding_number - v->instances) return true;
    return reference_row_done(v, r) >= settled_count(v->w, v->h, r);
}

float reference_row_qp(const row_view *v, const picture *ref, int32_t r)
{
    return reference_row_settled(v, ref, r) ? ref->vbv_row_qp[r] : ref->vbv_start_qp;
}

float reference_row_qscale(const row_view *v, const picture *ref, int32_t r)
{
    return reference_row_settled(v, ref, r) ? ref->vbv_row_qscale[r] : ref->vbv_start_qscale;
}

float size_of(const size_predictor *p, float cost, float units, float q)
{
    return (cost * p->coeff + units * p->offset) / (q * p->count);
}

// The intra predictor joins in where the row is coded at a finer qscale than
// the reference coded it (intra blocks become likely).
bool with_intra(const row_view *v, int32_t r, float q)
{
    if (v->intra_slice || !v->ref0 || !v->ref0->vbv_row_qscale) return false;
    return q < reference_row_qscale(v, v->ref0, r);
}

float predict_row_bits(const row_view *v, int32_t r, float q)
{
    const size_predictor *p = v->rc->row_pred_current;
    float w = (float)v->w;
    float bits = size_of(&p[0], (float)at(v->row_cost, r), w, q);
    if (with_intra(v, r, q)) bits += size_of(&p[1], (float)at(v->intra_row, r), w, q);
    return bits;
}

// The predictor pair that foresees the rest of row r. A check that may only
// raise the row reads the picture's class pair for the rows above: at an
// early check their own pairs may be learning at their check columns.
const size_predictor *rest_predictors(const row_view *v, int32_t r)
{
    if (r == v->y) return v->own;
    return v->rise_only ? v->rc->row_pred_current : &v->rc->vbv_rows[2 * r];
}

float predict_row_rest_bits(const row_view *v, int32_t x, int32_t r, int32_t i, float q)
{
    const size_predictor *p = rest_predictors(v, r);
    float n = (float)(v->w - x - 1);
    float bits = size_of(&p[0], (float)(at(v->row_cost, r) - at(v->ctu_cost, i)), n, q);
    if (with_intra(v, r, q)) bits += size_of(&p[1], (float)(at(v->intra_row, r) - at(v->intra_ctu, i)), n, q);
    return bits;
}

float predict_picture_rest_bits(const row_view *v, int32_t x, int32_t y, int32_t i, float qp)
{
    float q = (float)rc_qp_to_qscale(qp);
    float bits = 0.0f;
    for (int32_t k = 0; x + k < v->w - 1 && y - k >= 0; k++)
        bits += predict_row_rest_bits(v, x + k, y - k, i - k * (v->w - 1), q);
    for (int32_t r = y + 1; r < v->h; r++) bits += predict_row_bits(v, r, q);
    return bits;
}

// Bits of every CTU the wavefront guarantees finished when (x, y) finishes.
int64_t bits_so_far(const row_view *v, int32_t x, int32_t y, int32_t i)
{
    int64_t sum = 0;
    int32_t k = 0;
    for (; x + k < v->w && y - k >= 0; k++) sum += v->recon->vbv_ctu_bits[i - k * (v->w - 1)];
    if (x + k == v->w)
        for (int32_t r = 0; r <= y - k; r++) sum += v->recon->vbv_row_bits[r];
    return sum;
}

void set_row_qp(picture *recon, int32_t y, float qp)
{
    recon->vbv_row_qp[y] = qp;
    recon->vbv_row_qscale[y] = (float)rc_qp_to_qscale(qp);
}

// The buffer fill (a share of the buffer) that a picture's predicted size
// leaves of the planned fill, from which its rows no longer raise its QP to
// keep it within its plan. The row predictions run over what pictures take,
// and the buffer, full at most mini-GOPs' ends, lost the refill that the
// raised QPs left: P pictures planned at 90-100 kbit were raised by 0.3-1.5
// QP on their rows and took 70-78 kbit (zoom 640x360, 300 pictures, average
// bitrate 375 kbit/s under a 469 kbit buffer: 5.6 % under the rate, 2.7 %
// so). Freed whenever the fill was planned 80 % full, a picture of temporal
// noise took 767 kbit of 1219 and the buffer ran dry two pictures later
// (1280x720, CRF 23 under a 1500 kbit buffer).
constexpr double ROW_FREE_LEVEL = 0.5;
// The share of the planned size a picture must have spent before its rows
// may raise their QP.
constexpr double MIN_RISE_SHARE = 0.05;

// Whether a picture predicted at `bits` would take more than half of what
// its plan leaves in the buffer (`left`).
bool over_buffer(const ratecontrol *rc, double bits, double left)
{
    return bits > rc->vbv_fill_planned - left * 0.5;
}

// A picture whose kind no finished picture has taught yet was planned blind
// and may take several times its plan: the first intra picture of testsrc2
// at 320x180 under a 31 kbit buffer (CRF 23) was planned at 14.0 kbit, and
// its first four CTUs took 17.7 kbit at the frame QP. With its rows held to
// a QP step above the frame QP it took 29.3 kbit of the 27.9 in the buffer.
// Such a picture's rows rise past the step while it would take more than
// half of what its plan leaves. Freed so for every picture, the rows of a
// slow pan's P pictures, whose row predictions run high, rose far above
// their plans (1280x720, CRF 23 under a 500 kbit buffer: -0.87 dB).
bool unseen_kind_over_buffer(const ratecontrol *rc, double bits, double left, double frac)
{
    return rc->kind_unlearned && frac >= MIN_RISE_SHARE && over_buffer(rc, bits, left);
}

// Whether a picture predicted at `bits` would take more than the buffer holds
// before it. Its rows then rise past the step: under zero latency a P picture
// of a pan with film grain (320x180, CRF 23 under a 31 kbit buffer), planned
// at 1.6 kbit with 5.0 in the buffer, was predicted at 10.5 by its second row
// and, held to a step above the frame QP, took 4.5.
bool drains_buffer(const ratecontrol *rc, double bits, double frac)
{
    return !rc->vbv_small && frac >= MIN_RISE_SHARE && bits > (double)rc->vbv_fill_planned;
}

// Whether a picture predicted at `bits` keeps to its plan.
bool holds_plan(const ratecontrol *rc, double bits)
{
    return rc->vbv_small || (double)rc->vbv_fill_planned - bits < ROW_FREE_LEVEL * rc->vbv_size;
}

// The row's predictor pair learns from its CTUs 0..x, counted as x units (so
// that a check column of 0 teaches nothing).
void learn_row(const row_view *v, int32_t i, size_predictor *rows, float qp_row, float q_row, float bits_now)
{
    rc_update_predictor(&rows[0], q_row, (float)at(v->ctu_cost, i), bits_now, (float)v->x);
    if (!v->intra_slice && v->ref0 && v->ref0->vbv_row_qp && reference_row_qp(v, v->ref0, v->y) > qp_row)
        rc_update_predictor(&rows[1], q_row, (float)at(v->intra_ctu, i), bits_now, (float)v->x);
}

// Re-decides row y's QP after CTU x. An early or late check only raises it,
// where the buffer needs it, and learns on a copy of the row's predictors,
// which only the check column teaches.
void redecide_row(rc_ctu_context *ctx, bool rise_only)
{
    ratecontrol *rc = ctx->rc;
    const internal_config *cfg = ctx->cfg;
    row_view v = view_of(ctx);
    picture *recon = ctx->recon;
    int32_t x = ctx->ctu_x, y = ctx->ctu_y, i = ctx->ctu_index;
    float qp_row = recon->vbv_row_qp[y], q_row = recon->vbv_row_qscale[y];
    size_predictor *rows = &rc->vbv_rows[2 * y];
    size_predictor copy[2] = {rows[0], rows[1]};
    if (rise_only) {
        rows = copy;
        v.own = copy;
        v.rise_only = true;
    }
    learn_row(&v, i, rows, qp_row, q_row, (float)recon->vbv_ctu_bits[i]);
    float qp_hi = std::min(qp_row + (float)cfg->qp_step, (float)cfg->qp_max);
    float qp_lo = std::max(qp_row - (float)cfg->qp_step, (float)cfg->qp_min);
    double so_far = (double)bits_so_far(&v, x, y, i);
    double planned = rc->frame_size_planned;
    double left = std::max((double)rc->vbv_fill_planned - planned, 0.0);
    int32_t instances = cfg->frame_instances > 0 ? cfg->frame_instances : 1;
    float tol = (float)((double)((float)left / (float)instances) * rc->rate_tolerance);
    double frac = planned > 0.0 ? std::min(std::max(so_far / planned, 0.0), 1.0) : 1.0;
    float qp = qp_row;
    if (ctx->slice_class == slice_b) {
        const picture *r0 = rc->pic.ref0, *r1 = rc->pic.ref1;
        if (r0 && r0->vbv_row_qp) qp_lo = std::max(qp_lo, reference_row_qp(&v, r0, 0));
        if (r1 && r1->vbv_row_qp) qp_lo = std::max(qp_lo, reference_row_qp(&v, r1, 0));
        qp = std::max(qp_row, qp_lo);
    }
    float qp_start = qp;
    if (frac < MIN_RISE_SHARE) qp_hi = qp_row;
    if (ctx->slice_class != slice_i) tol *= 0.5f;
    float floor = std::max(qp_lo, rc->qp_novbv);
    double b1 = predict_picture_rest_bits(&v, x, y, i, qp) + so_far;
    // A check that may only raise the row guards the buffer only.
    while (qp_hi > qp &&
           ((!rise_only && holds_plan(rc, b1) && (b1 > planned + tol || (b1 > planned && rc->qp_novbv > qp))) ||
            over_buffer(rc, b1, left))) {
        qp += 0.5f;
        b1 = predict_picture_rest_bits(&v, x, y, i, qp) + so_far;
    }
    while (qp < (float)cfg->qp_max && (unseen_kind_over_buffer(rc, b1, left, frac) || drains_buffer(rc, b1, frac))) {
        qp += 0.5f;
        b1 = predict_picture_rest_bits(&v, x, y, i, qp) + so_far;
    }
    if (rise_only) {
        if (qp > qp_start) set_row_qp(recon, y, qp);
        return;
    }
    double target = b1 + (0.9 * (float)((double)rc->vbv_frame_bits - rc->vbv_size + rc->vbv_fill_planned) - b1) * frac;
    qp -= 0.5f;
    double b2 = predict_picture_rest_bits(&v, x, y, i, qp) + so_far;
    while (qp > floor) {
        if (!(qp > recon->vbv_row_qp[0] || rc->vbv_small)) break;
        if (!((b2 < 0.8 * planned && qp < qp_row) || b2 < target)) break;
        qp -= 0.5f;
        b2 = predict_picture_rest_bits(&v, x, y, i, qp) + so_far;
    }
    set_row_qp(recon, y, qp + 0.5f);
}

// At the picture's last CTU: the class predictors learn from the part of each
// row after its check column, which the row's own predictors did not see.
void update_class_predictors(rc_ctu_context *ctx)
{
    ratecontrol *rc = ctx->rc;
    row_view v = view_of(ctx);
    const picture *recon = ctx->recon;
    size_predictor *p = rc->row_pred_current;
    for (int32_t r = 0; r < v.h; r++) {
        float q = recon->vbv_row_qscale[r];
        int32_t e = check_column(v.w, v.h, r);
        float cost, intra, bits, n;
        if (e < v.w - 1) {
            int32_t j = r * v.w + e;
            cost = (float)(at(v.row_cost, r) - at(v.ctu_cost, j));
            intra = (float)(at(v.intra_row, r) - at(v.intra_ctu, j));
            bits = (float)(recon->vbv_row_bits[r] - recon->vbv_ctu_bits[j]);
            n = (float)(v.w - e - 1);
        } else {
            cost = (float)at(v.row_cost, r);
            intra = (float)at(v.intra_row, r);
            bits = (float)recon->vbv_row_bits[r];
            n = (float)v.w;
        }
        rc_update_predictor(&p[0], q, cost, bits, n);
        if (!v.intra_slice && v.ref0 && v.ref0->vbv_row_qp && reference_row_qp(&v, v.ref0, r) > rc->frame_qp_f)
            rc_update_predictor(&p[1], q, intra, bits, n);
    }
}

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

void rc_row_update(rc_ctu_context *ctx)
{
    ratecontrol *rc = ctx->rc;
    ctx->cbr_ctu_ratio = 1.0;
    if (rc->cbr && rc->rowstats) ctx->cbr_ctu_ratio = rc_rowstats_ctu_ratio(rc->rowstats, ctx->ctu_x, ctx->ctu_y);
    // Every row starts from the frame QP, also in constant bitrate: the CTU QP
    // follows the row QP whenever a buffer is configured, and a row left at
    // its cleared 0 would be coded at qp_min.
    if (!rc->vbv || ctx->ctu_x != 0) return;
    if (rc->vbv_rows && rc->row_pred_current) {
        rc->vbv_rows[2 * ctx->ctu_y] = rc->row_pred_current[0];
        rc->vbv_rows[2 * ctx->ctu_y + 1] = rc->row_pred_current[1];
    }
    set_row_qp(ctx->recon, ctx->ctu_y, rc->frame_qp_f);
}

void rc_row_vbv_adjust(rc_ctu_context *ctx, uint32_t bits)
{
    ratecontrol *rc = ctx->rc;
    int32_t x = ctx->ctu_x, y = ctx->ctu_y, i = ctx->ctu_index;
    // A constant-bitrate plan counts the tree offsets, so that the frame
    // predictors learn sizes at the mean QP that the plan aims for, and
    // the finest QP configured, which no CTU goes below: learnt at plans
    // below it, the predictor took the sizes at QP 10 for those of finer QPs.
    float plan = rc->vbv ? ctx->recon->vbv_row_qp[y] : rc->frame_qp_f;
    if (rc->cbr) plan = std::max(plan + rc_cbr_tree_offset(ctx), (float)ctx->cfg->qp_min);
    ctx->qp_plan_row_sum += plan;
    ctx->qp_coded_row_sum += coded_qp(ctx);
    if (rc->cbr && rc->rowstats) rc_rowstats_ctu_add(rc->rowstats, x, y, bits);
    if (!rc->vbv) return;
    picture *recon = ctx->recon;
    recon->vbv_row_bits[y] += (int32_t)bits;
    recon->vbv_ctu_bits[i] = recon->vbv_row_bits[y];
    int32_t w = rc->ctu_cols;
    // The re-decision steers towards the picture's planned size; constant
    // bitrate plans bits its own way and keeps its rows.
    bool planned = !rc->cbr && rc->size_planned && rc->vbv_rows && rc->row_pred_current && x < w - 1;
    int32_t check = check_column(w, rc->ctu_rows, y);
    if (planned && x == early_column(w, rc->ctu_rows, y) && x < check) redecide_row(ctx, true);
    if (planned && x == check) redecide_row(ctx, false);
    if (planned && x == late_column(w, rc->ctu_rows, y) && x > check) redecide_row(ctx, true);
    if (i == rc->ctu_count - 1 && rc->row_pred_current) update_class_predictors(ctx);
}

void rc_accumulate_ctu_qp(rc_ctu_context *ctx)
{
    ctx->rc->qp_plan_sum += ctx->qp_plan_row_sum;
    ctx->rc->qp_coded_sum += ctx->qp_coded_row_sum;
}
