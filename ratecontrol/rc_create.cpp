// Rate-control records: creation from the configuration, deletion, the slice
// QP and the hand-over of state between frame instances.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "encoder/config.h"
#include "encoder/memory.h"
#include "ratecontrol/rc_cbr.h"
#include "ratecontrol/rc_twopass.h"
#include "ratecontrol/ratecontrol.h"

double rc_qp_to_qscale(double qp)
{
    return 0.85 * std::pow(2.0, (qp - 12.0) / 6.0);
}

double rc_qscale_to_qp(double qscale)
{
    return 12.0 + 6.0 * std::log2(qscale / 0.85);
}

namespace {

// Start values of the frame size predictors' coefficients (bits x qscale /
// lookahead cost): B pictures, then P, I and reference B pictures where the
// QP compression is 0.8 or more (the macroblock-tree), and where it is less.
// The first picture of each kind replaces its start value.
constexpr float FRAME_PRED_B = 0.5f;
constexpr float FRAME_PRED_HIGH_QCOMP[3] = {0.6f, 0.75f, 0.5f};
constexpr float FRAME_PRED_LOW_QCOMP[3] = {0.75f, 0.9f, 0.6f};
// The average-bitrate sums forget a tenth per picture: the rate equation
// follows the recent pictures, so that content that grows harder (or easier)
// does not leave a short stream 10 to 20 % off its target.
constexpr double ABR_DECAY = 0.9;
// The QP that average bitrate starts from.
constexpr double ABR_START_QP = 24.0;
// Rows of a class by their lookahead cost start as the class's pictures;
// the intra-cost share of inter rows starts small.
constexpr float ROW_PRED_INTRA_SHARE = 0.25f;

// 6 x log2(ratio) in single precision. A ratio that is not positive has no
// logarithm; it is taken as 1 (no offset) rather than letting an infinity or
// NaN reach a QP conversion.
double ratio_offset(float ratio)
{
    if (!(ratio > 0.0f) || std::isinf(ratio)) return 0.0;
    return (double)(6.0f * std::log2(ratio));
}

// trunc(v + 0.5) within 0..51; out-of-range values clamp before the conversion.
int32_t round_qp(double v)
{
    double r = v + 0.5;
    if (!(r >= 0.0)) return 0;
    if (r >= QP_MAX) return QP_MAX;
    return (int32_t)r;
}

// Bits per picture of a rate in kbit/s, truncated, in double precision and
// clamped to the 32-bit range: a rate near 2^31 kbit/s or a frame rate such as
// 1/1000 gives a per-picture budget that no longer constrains anything instead
// of an out-of-range conversion.
int32_t bits_per_picture(double kbit_rate, double fps)
{
    double bits = kbit_rate * 1000.0 / fps;
    if (!(bits > (double)INT32_MIN)) return INT32_MIN;
    if (bits >= (double)INT32_MAX) return INT32_MAX;
    return (int32_t)bits;
}

// The VBV buffer is kept in bits in 32 bits, so it holds at most this many kbit.
const int32_t vbv_max_kbit = INT32_MAX / 1000;

void set_geometry(ratecontrol *rc, const internal_config *cfg)
{
    rc->width = cfg->width;
    rc->height = cfg->height;
    rc->ctu_cols = (cfg->width + 63) / 64;
    rc->ctu_rows = (cfg->height + 63) / 64;
    rc->ctu_count = rc->ctu_cols * rc->ctu_rows;
    rc->cost_cols = (cfg->width + 15) / 16;
    rc->cost_rows = (cfg->height + 15) / 16;
    rc->frame_8x8_units = ((cfg->width + 7) / 8) * ((cfg->height + 7) / 8);
}

void set_flags(ratecontrol *rc, const internal_config *cfg)
{
    int32_t mode = cfg->rc_mode;
    rc->lqp = mode == RC_MODE_LQP;
    rc->cbr = mode == RC_MODE_CBR;
    rc->one_pass_estimate = (mode == RC_MODE_ABR || mode == RC_MODE_CRF || mode == RC_MODE_LQP) && cfg->pass2 == 0;
    rc->two_pass = mode == RC_MODE_ABR && cfg->pass2 != 0;
    rc->vbv = cfg->vbv_bufsize > 0 && cfg->vbv_maxrate > 0;
}

// The constant rate factor's calibration: the reference complexity is this
// many lookahead cost units per 8x8 block of the half-resolution picture, with
// and without B pictures. With the macroblock-tree, which lowers the QP of
// well-referenced blocks, the factor is taken CRF_MBTREE_SHIFT x
// (1 - qcompress) QP higher to offset it. The compression guard's CRF rows
// hold this calibration: a change moves them.
constexpr double CRF_BLOCK_COST_B = 120.0;
constexpr double CRF_BLOCK_COST_P = 80.0;
constexpr double CRF_MBTREE_SHIFT = 13.5;

void set_crf(ratecontrol *rc, const internal_config *cfg)
{
    double half_blocks = (double)(((cfg->width / 2) + 7) / 8) * (double)(((cfg->height / 2) + 7) / 8);
    double base = (cfg->bframes > 0 ? CRF_BLOCK_COST_B : CRF_BLOCK_COST_P) * half_blocks;
    double mbtree_shift = cfg->mbtree ? CRF_MBTREE_SHIFT * (1.0 - (double)cfg->qcompress) : 0.0;
    rc->crf_factor = std::pow(base, 1.0 - rc->qcompress) / rc_qp_to_qscale((double)cfg->crf + mbtree_shift);
}

void set_abr_start(ratecontrol *rc, const internal_config *cfg)
{
    rc->accum_p_norm = 0.01;
    rc->accum_p_qp = 0.01 * (cfg->rc_mode == RC_MODE_CRF ? (double)cfg->crf : ABR_START_QP);
    double cost_blocks = (double)rc->cost_cols * (double)rc->cost_rows;
    rc->complexity_sum = 0.004 * std::pow(700000.0, rc->qcompress) * std::sqrt(cost_blocks) * (cfg->mbtree ? 1.4 : 1.0);
    rc->wanted_bits_window = rc->bitrate / rc->fps;
    rc->last_non_b_type = slice_i;
}

int set_cbr_start(ratecontrol *rc, const internal_config *cfg)
{
    rc->cbr_cost_limit = 1700 * rc->ctu_count;
    int64_t slots = (int64_t)cfg->frame_instances * 3 * (int64_t)sizeof(double);
    if (slots <= 0 || slots > 0x7FFFFFFF) return -1;
    rc->cbr_coeff = (double *)aligned_malloc((int32_t)slots);
    rc->cbr_exp = (double *)aligned_malloc((int32_t)slots);
    if (!rc->cbr_coeff || !rc->cbr_exp) return -1;
    std::memset(rc->cbr_coeff, 0, (size_t)slots);
    std::memset(rc->cbr_exp, 0, (size_t)slots);
    double fps = rc->fps;
    int32_t span_unit = cfg->bframes + 1 > 0 ? cfg->bframes + 1 : 1;
    int32_t span = (cfg->frame_instances + cfg->bframes) / span_unit * span_unit;
    rc->model = rc_model_new(bits_per_picture((double)cfg->bitrate, fps),
                             bits_per_picture((double)cfg->cbr_maxrate, fps),
                             bits_per_picture((double)cfg->cbr_minrate, fps), cfg->cbr_window, span,
                             cfg->frame_instances, rc->ctu_count);
    return rc->model ? 0 : -1;
}

// Per-record blocks of constant bitrate: the CTU statistics and the CTU costs.
int alloc_cbr_record(ratecontrol *rc)
{
    rc->rowstats = rc_rowstats_new(rc->ctu_cols, rc->ctu_rows);
    rc->cbr_ctu_cost = (uint32_t *)aligned_malloc(rc->ctu_count * 4);
    if (!rc->rowstats || !rc->cbr_ctu_cost) return -1;
    std::memset(rc->cbr_ctu_cost, 0, (size_t)rc->ctu_count * 4);
    return 0;
}

void set_type_constants(ratecontrol *rc, const internal_config *cfg)
{
    rc->ip_offset = ratio_offset(cfg->ip_ratio);
    for (int k = 0; k < 3; k++) {
        rc->pb_offset[k] = ratio_offset(cfg->b_ratio[k]);
        rc->qp_b[k] = round_qp((double)cfg->qp + rc->pb_offset[k]);
    }
    rc->qp_p = cfg->qp;
    rc->qp_i = round_qp((double)cfg->qp - rc->ip_offset);
    rc->qscale_step = std::pow(2.0, (double)cfg->qp_step / 6.0);
    rc->last_qscale = rc_qp_to_qscale(26.0);
    double start = rc_qp_to_qscale(cfg->rc_mode == RC_MODE_CRF ? (double)cfg->crf : ABR_START_QP);
    for (int c = 0; c < 5; c++) {
        rc->last_qscale_for[c] = start;
        rc->qscale_min[c] = rc_qp_to_qscale((double)cfg->qp_min);
        rc->qscale_max[c] = rc_qp_to_qscale((double)cfg->qp_max);
    }
}

void frame_pred_init(ratecontrol *rc)
{
    const float *k = rc->qcompress >= 0.8 ? FRAME_PRED_HIGH_QCOMP : FRAME_PRED_LOW_QCOMP;
    const float coeffs[4] = {FRAME_PRED_B, k[0], k[1], k[2]};
    for (int i = 0; i < 4; i++) rc->frame_pred[i] = {coeffs[i], 1.0f, 0.5f, 0.0f};
    for (int c = 0; c < 3; c++) {
        rc->row_pred[c][0] = {coeffs[c], 1.0f, 0.5f, 0.0f};
        rc->row_pred[c][1] = {ROW_PRED_INTRA_SHARE, 1.0f, 0.5f, 0.0f};
    }
    std::memcpy(rc->row_pred_shared, rc->row_pred, sizeof(rc->row_pred));
    rc_frame_models_init(rc);
}

void set_vbv(ratecontrol *rc, internal_config *cfg)
{
    double one_frame_kbit = std::trunc((double)cfg->vbv_maxrate / rc->fps);
    int32_t one_frame = one_frame_kbit < (double)vbv_max_kbit ? (int32_t)one_frame_kbit : vbv_max_kbit;
    if (cfg->vbv_bufsize < one_frame) {
        cfg->vbv_bufsize = one_frame;
        fprintf(stderr, "VBV buffer size cannot be smaller than one frame, using %d kbit\n", one_frame);
    }
    if (cfg->vbv_bufsize > vbv_max_kbit) cfg->vbv_bufsize = vbv_max_kbit;
    rc->vbv_frame_bits = bits_per_picture((double)cfg->vbv_maxrate, rc->fps);
    rc->vbv_size = cfg->vbv_bufsize * 1000;
    rc->vbv_small = (float)rc->vbv_frame_bits * 1.1f > (float)rc->vbv_size;
    float init = cfg->vbv_init;
    if (init > 1.0f) init = std::fmin(std::fmax(init / (float)cfg->vbv_bufsize, 0.0f), 1.0f);
    // A buffer no larger than one picture's refill starts full.
    float floor_fill = (float)(rc->vbv_frame_bits / rc->vbv_size);
    init = std::fmin(std::fmax(std::fmax(init, floor_fill), 0.0f), 1.0f);
    cfg->vbv_init = init;
    rc->vbv_fill = (int32_t)((float)rc->vbv_size * init);
}

int alloc_vbv_rows(ratecontrol *rc)
{
    int64_t size = (int64_t)rc->ctu_rows * 2 * (int64_t)sizeof(size_predictor);
    if (size <= 0 || size > 0x7FFFFFFF) return -1;
    rc->vbv_rows = (size_predictor *)aligned_malloc((int32_t)size);
    if (!rc->vbv_rows) return -1;
    std::memset(rc->vbv_rows, 0, (size_t)size);
    return 0;
}

// Builds the first record; the others are copies of it.
int first_record_init(ratecontrol *rc, internal_config *cfg)
{
    set_flags(rc, cfg);
    if (cfg->fps_num < 1 || cfg->fps_den < 1) {
        fprintf(stderr, "ratecontrol : fps is not set\n");
        return -1;
    }
    rc->fps = (double)((float)cfg->fps_num / (float)cfg->fps_den);
    rc->qcompress = cfg->mbtree ? 1.0 : (double)cfg->qcompress;
    rc->bitrate = (double)cfg->bitrate * 1000.0;
    rc->rate_tolerance = cfg->rate_factor < 0.01f ? 0.01 : (double)cfg->rate_factor;
    rc->last_non_b_type = -1;
    rc->decay = ABR_DECAY;
    for (double &scale : rc->plan_scale) scale = RC_PLAN_SCALE_START;
    rc->finer_scale = 1.0;
    rc->scene_scale = 1.0;
    rc->scene_scale_at_start = 1.0;
    if (cfg->rc_mode == RC_MODE_CRF) {
        if (cfg->pass2) return -1;
        set_crf(rc, cfg);
    }
    if (rc->one_pass_estimate) set_abr_start(rc, cfg);
    if (rc->cbr && set_cbr_start(rc, cfg) != 0) return -1;
    set_type_constants(rc, cfg);
    frame_pred_init(rc);
    if (rc->vbv) set_vbv(rc, cfg);
    if (cfg->pass2) {
        if (rc_pass2_read(rc, cfg, cfg->pass2_stats) != 0) return -1;
        if (cfg->rc_mode != RC_MODE_CQP && rc_pass2_plan(rc, cfg) != 0) return -1;
    }
    if (cfg->pass1 && rc_pass1_header(rc, cfg) != 0) return -1;
    return 0;
}

}  // namespace

int ratecontrol_new(ratecontrol **out, internal_config *cfg)
{
    *out = nullptr;
    int32_t count = cfg->frame_instances < 1 ? 1 : cfg->frame_instances;
    int64_t size = (int64_t)count * (int64_t)sizeof(ratecontrol);
    if (size > 0x7FFFFFFF) return -1;
    ratecontrol *block = (ratecontrol *)aligned_malloc((int32_t)size);
    if (!block) return -1;
    std::memset(block, 0, (size_t)size);
    block->record_count = count;
    set_geometry(block, cfg);
    if (first_record_init(block, cfg) != 0) {
        ratecontrol_delete(block);
        return -1;
    }
    for (int32_t i = 1; i < count; i++) {
        block[i] = block[0];
        block[i].record_index = i;
        block[i].rowstats = nullptr;
        block[i].cbr_ctu_cost = nullptr;
    }
    if (block->cbr)
        for (int32_t i = 0; i < count; i++)
            if (alloc_cbr_record(&block[i]) != 0) {
                ratecontrol_delete(block);
                return -1;
            }
    if (block->vbv)
        for (int32_t i = 0; i < count; i++)
            if (alloc_vbv_rows(&block[i]) != 0) {
                ratecontrol_delete(block);
                return -1;
            }
    *out = block;
    return 0;
}

void ratecontrol_delete(ratecontrol *first)
{
    if (!first) return;
    // Copies share the first record's arrays; only vbv_rows is per record.
    for (int32_t i = 0; i < first->record_count; i++) {
        aligned_free(first[i].vbv_rows);
        rc_rowstats_delete(first[i].rowstats);
        aligned_free(first[i].cbr_ctu_cost);
    }
    rc_model_delete(first->model);
    aligned_free(first->cbr_coeff);
    aligned_free(first->cbr_exp);
    aligned_free(first->pass2_entries);
    aligned_free(first->pass2_order);
    aligned_free(first->stats_header);
    aligned_free(first);
}

void ratecontrol_thread_sync(ratecontrol *n, const ratecontrol *p, ratecontrol *x)
{
    if (n != p) {
        n->accum_p_qp = p->accum_p_qp;
        n->accum_p_norm = p->accum_p_norm;
        n->frame_satd = p->frame_satd;
        n->last_rate_eq = p->last_rate_eq;
        for (int c = 0; c < 5; c++) n->last_qscale_for[c] = p->last_qscale_for[c];
        n->last_non_b_type = p->last_non_b_type;
        n->short_term_cplx_sum = p->short_term_cplx_sum;
        n->short_term_cplx_count = p->short_term_cplx_count;
        n->decay = p->decay;
        n->crf_factor = p->crf_factor;
        n->bitrate = p->bitrate;
        n->vbv_size = p->vbv_size;
        n->vbv_frame_bits = p->vbv_frame_bits;
        n->vbv_small = p->vbv_small;
    }
    if (n != x) {
        x->complexity_sum = n->complexity_sum;
        x->wanted_bits_window = n->wanted_bits_window;
    }
}
