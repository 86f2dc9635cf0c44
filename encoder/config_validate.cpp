// Configuration validation: automatic values, two kinds of refusal, and
// clamping of everything else into the range the encoder stages rely on.
#include <cstdio>

#include "encoder/config.h"
#include "encoder/int_math.h"

static float clamp_f32(float v, float lo, float hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

// Thread counts feed the automatic values, so they are made sound first: a
// pool or scheduler without workers would wait forever, and the instance slots
// hold a fixed number of frame instances.
static void validate_thread_counts(internal_config *cfg)
{
    int32_t w = clamp_i32(cfg->working_threads, 1, CONFIG_MAX_WORKING_THREADS);
    if (w != cfg->working_threads)
        printf("Warning: working threads %d out of range 1..%d, using %d\n", cfg->working_threads,
               CONFIG_MAX_WORKING_THREADS, w);
    cfg->working_threads = w;
    if (cfg->frame_instances < 0) {
        printf("Warning: frame threads %d invalid, using the automatic count\n", cfg->frame_instances);
        cfg->frame_instances = 0;
    } else if (cfg->frame_instances > CONFIG_MAX_FRAME_INSTANCES) {
        printf("Warning: frame threads %d out of range 0..%d, using %d\n", cfg->frame_instances,
               CONFIG_MAX_FRAME_INSTANCES, CONFIG_MAX_FRAME_INSTANCES);
        cfg->frame_instances = CONFIG_MAX_FRAME_INSTANCES;
    }
    if (cfg->pool_threads < 0) cfg->pool_threads = 0;  // automatic
    if (cfg->pool_threads > CONFIG_MAX_WORKING_THREADS) cfg->pool_threads = CONFIG_MAX_WORKING_THREADS;
}

static void validate_aspect(internal_config *cfg)
{
    cfg->aspect_ratio_idc = clamp_i32(cfg->aspect_ratio_idc, 0, 255);
    cfg->sar_num = clamp_i32(cfg->sar_num, 0, 65535);
    cfg->sar_den = clamp_i32(cfg->sar_den, 0, 65535);
}

// Sizes that no H.265 level allows, or that would overflow the buffer sizes
// derived from them, are refused rather than left to fail later.
static int validate_picture_size(internal_config *cfg)
{
    int64_t w = cfg->width, h = cfg->height;
    if (w < CONFIG_MIN_DIMENSION || h < CONFIG_MIN_DIMENSION || w > CONFIG_MAX_DIMENSION || h > CONFIG_MAX_DIMENSION ||
        w * h > CONFIG_MAX_LUMA_SAMPLES) {
        fprintf(stderr, "Error: unsupported picture size %dx%d\n", cfg->width, cfg->height);
        return -1;
    }
    if (cfg->fps_num < 1 || cfg->fps_den < 1) {
        fprintf(stderr, "Error: invalid frame rate %d/%d\n", cfg->fps_num, cfg->fps_den);
        return -1;
    }
    // Vectors reach 64 samples further down at every size and complexity: a
    // pan drifting down 8 samples a picture moves 64 samples between a P
    // picture and its reference eight pictures back (a fast pan at 640x360
    // takes 19 % fewer bits at QP 32; reference rows lead by one row more).
    cfg->mv_margin_v += MV_MARGIN_V_EXTRA;
    return 0;
}

static void validate_latency(internal_config *cfg)
{
    if (!complexity_is_thorough(cfg->complexity)) {
        if (cfg->latency_mode == LATENCY_ZERO) cfg->bframes = 0;
        if (cfg->latency_mode == LATENCY_LOW_DELAY) cfg->bframes = clamp_i32(cfg->bframes, 1, 3);
    } else {
        cfg->latency_mode = LATENCY_NONE;
    }
}

static void validate_gop(internal_config *cfg)
{
    cfg->prefs = clamp_i32(cfg->prefs, 1, 4);
    cfg->brefs = clamp_i32(cfg->brefs, 1, cfg->prefs);
    if (cfg->idr_period < 2) cfg->idr_period = 1;
    if (cfg->min_idr < 1) {
        cfg->min_idr = cfg->idr_period >> 2;
        if (cfg->min_idr < 1) cfg->min_idr = 1;
    }
    cfg->bframes = clamp_i32(cfg->bframes, 0, 15);
    if (cfg->bframes > cfg->idr_period - 1) cfg->bframes = cfg->idr_period - 1;
    cfg->hierarchy = clamp_i32(cfg->hierarchy, 0, 2);
    if (cfg->bframes < 4 && cfg->hierarchy > 1) cfg->hierarchy = 1;
    if (cfg->idr_period == 1) cfg->open_gop = 0;
}

static void validate_rc_mode(internal_config *cfg)
{
    switch (cfg->rc_mode) {
    case RC_MODE_CQP:
        cfg->pass1 = 0;
        cfg->mbtree = 0;
        cfg->aq_mode = 0;
        cfg->pass2 = 0;
        break;
    case RC_MODE_LQP:
        cfg->mbtree = 1;
        cfg->aq_mode = 0;
        break;
    case RC_MODE_CBR:
        // The tree moves a mini-GOP's bits to its anchor, which a bucket of
        // a few pictures cannot lend: with the default 8-picture window the
        // full bucket lost them (zoom 320x180 at 100 kbit/s: 28 % under the
        // rate).
        if (cfg->cbr_window <= CBR_TREE_MIN_WINDOW) cfg->mbtree = 0;
        cfg->aq_mode = 1;
        break;
    case RC_MODE_CRF:
        cfg->pass2 = 0;
        break;
    }
}

// A QP outside 0..51 cannot be coded; the limits also index the per-QP tables.
static void validate_qp(internal_config *cfg)
{
    int32_t qp = clamp_i32(cfg->qp, 0, QP_MAX);
    if (qp != cfg->qp) printf("Warning: qp %d out of range 0..51, using %d\n", cfg->qp, qp);
    cfg->qp = qp;
    cfg->qp_min = clamp_i32(cfg->qp_min, 0, QP_MAX);
    cfg->qp_max = clamp_i32(cfg->qp_max, cfg->qp_min, QP_MAX);
    // Every picture's QP keeps to qp_min..qp_max; a constant QP beyond them
    // is coded at the nearer limit, which the user is told.
    bool constant = cfg->rc_mode == RC_MODE_CQP || cfg->rc_mode == RC_MODE_LQP || cfg->force_qp;
    if (constant && (qp < cfg->qp_min || qp > cfg->qp_max))
        printf("Warning: qp %d outside qp_min..qp_max %d..%d, limited to that range\n", qp, cfg->qp_min,
               cfg->qp_max);
}

static void validate_vbv(internal_config *cfg)
{
    if (cfg->vbv_bufsize != 0) {
        cfg->vbv_bufsize = clamp_i32(cfg->vbv_bufsize, 0, 1000000);
        cfg->vbv_maxrate = clamp_i32(cfg->vbv_maxrate, 0, 1000000);
        cfg->vbv_init = clamp_f32(cfg->vbv_init, 0.0f, (float)cfg->vbv_bufsize);
    }
    if (cfg->vbv_bufsize == 0 && cfg->vbv_maxrate != 0) {
        fprintf(stderr, "VBV buffer size invalid, ignore all VBV settings\n");
        cfg->vbv_bufsize = 0;
        cfg->vbv_maxrate = 0;
    } else if (cfg->vbv_bufsize != 0 && (cfg->rc_mode == RC_MODE_CBR || cfg->rc_mode == RC_MODE_LQP)) {
        fprintf(stderr, "VBV is not compatiable with CBR or LQP, ignore all VBV settings\n");
        cfg->vbv_bufsize = 0;
        cfg->vbv_maxrate = 0;
    }
}

static void validate_aq(internal_config *cfg)
{
    cfg->aq_mode = clamp_i32(cfg->aq_mode, 0, 2);
    cfg->aq_strength = clamp_f32(cfg->aq_strength, 0.0f, 3.0f);
    if (cfg->aq_strength == 0.0f) cfg->aq_mode = 0;
    // The macroblock-tree needs the adaptive-quantisation offsets, even flat ones.
    if (cfg->aq_mode == 0 && cfg->mbtree) {
        cfg->aq_mode = 1;
        cfg->aq_strength = 0.0f;
    }
}

static int32_t grid_limit(int32_t extent)
{
    return extent >= 640 ? 4 : (extent >= 320 ? 2 : 1);
}

static void validate_grid(internal_config *cfg)
{
    if (cfg->rc_mode == RC_MODE_CBR) {
        cfg->grid_rows = 1;
        cfg->grid_cols = 1;
        return;
    }
    cfg->grid_rows = clamp_i32(cfg->grid_rows, 1, grid_limit(cfg->height));
    cfg->grid_cols = clamp_i32(cfg->grid_cols, 1, grid_limit(cfg->width));
}

static void validate_lookahead(internal_config *cfg)
{
    if (cfg->latency_mode != LATENCY_NONE) cfg->lookahead = 2 * cfg->bframes + 2;
    cfg->lookahead = clamp_i32(cfg->lookahead, 0, 250);
    if (cfg->lookahead > cfg->idr_period) cfg->lookahead = cfg->idr_period;
}

// Row contexts needed when the frame instances' pictures occupy their per-type
// share of CTU rows at once, over the mini-GOP pattern.
static int32_t row_context_need(const internal_config *cfg)
{
    const int32_t *lim = cfg->type_row_limit;
    int32_t n = cfg->frame_instances, b = cfg->bframes, h = cfg->hierarchy;
    int32_t D = lim[PIC_TYPE_IDR], P = lim[PIC_TYPE_P], RB = lim[PIC_TYPE_BREF], B = lim[PIC_TYPE_B];
    int32_t M = D > P ? D : P;
    if (cfg->idr_period == 1) return D * n;
    if (cfg->idr_period == 2 || b == 0) return M * n;
    int32_t G = h == 0 ? b * B + P : (h == 1 ? (b - 1) * B + RB + P : 3 * RB + (b - 3) * B + P);
    int32_t q = (n + 1) / (b + 1), r = (n + 1) % (b + 1);
    if (r == 0) return M - B + q * G;
    if (r == 1) return M + q * G;
    if (h == 0) return M + (r - 2) * B + P + q * G;
    if (h == 1) return r == 2 ? M + P + q * G : M + (r - 3) * B + RB + P + q * G;
    return r <= 4 ? M + (r - 2) * RB + P + q * G : M + 3 * RB + (r - 5) * B + P + q * G;
}

static int validate_row_contexts(internal_config *cfg)
{
    if (cfg->row_contexts == 0) {
        for (int t = 0; t < PIC_TYPE_COUNT; t++) cfg->type_row_limit[t] = 0;
        return 0;
    }
    int32_t rows = (cfg->height + 63) / 64;
    for (int t = 0; t < PIC_TYPE_COUNT; t++)
        cfg->type_row_limit[t] = clamp_i32(cfg->type_row_limit[t], 0, rows - 1);
    int32_t need = row_context_need(cfg);
    if (need > cfg->row_contexts) cfg->row_contexts = need;
    if (cfg->row_contexts == 0)
        for (int t = 0; t < PIC_TYPE_COUNT; t++) cfg->type_row_limit[t] = 0;
    if ((int64_t)cfg->frame_instances + cfg->row_contexts > CONFIG_INSTANCE_SLOTS) {
        fprintf(stderr, "Error: %d frame threads need %d row contexts, more than %d in all\n",
                cfg->frame_instances, cfg->row_contexts, CONFIG_INSTANCE_SLOTS);
        return -1;
    }
    return 0;
}

static void validate_padding(internal_config *cfg)
{
    cfg->pad_w = cfg->width % 8 ? 8 - cfg->width % 8 : 0;
    cfg->width += cfg->pad_w;
    cfg->pad_h = cfg->height % 8 ? 8 - cfg->height % 8 : 0;
    cfg->height += cfg->pad_h;
}

int config_validate(internal_config *cfg)
{
    validate_thread_counts(cfg);
    config_auto(cfg);
    if ((uint32_t)cfg->interlace > 2) {
        fprintf(stderr, "Unknown interlace type %d\n", cfg->interlace);
        return -1;
    }
    // Every later step branches on the mode; one it does not know would code
    // with an unplanned mix of constant-QP and bitrate behaviour.
    if ((uint32_t)cfg->rc_mode > RC_MODE_LQP) {
        fprintf(stderr, "Unknown rate control mode %d\n", cfg->rc_mode);
        return -1;
    }
    validate_aspect(cfg);
    if (validate_picture_size(cfg) != 0) return -1;
    if (cfg->compat != 91 && cfg->compat != 100 && cfg->compat != 120) cfg->compat = 91;
    validate_latency(cfg);
    if (cfg->rc_mode == RC_MODE_CBR) {
        if (cfg->cbr_maxrate < cfg->bitrate) cfg->cbr_maxrate = cfg->bitrate;
        if (cfg->cbr_minrate > cfg->bitrate) cfg->cbr_minrate = cfg->bitrate;
        cfg->subpel_level = 5;
    }
    validate_gop(cfg);
    cfg->qcompress = clamp_f32(cfg->qcompress, 0.0f, 1.0f);
    validate_rc_mode(cfg);
    validate_qp(cfg);
    validate_vbv(cfg);
    if (cfg->idr_period == 1) cfg->mbtree = 0;
    validate_aq(cfg);
    validate_grid(cfg);
    validate_lookahead(cfg);
    cfg->complexity = clamp_i32(cfg->complexity, 0, 7);
    cfg->speed_class = cfg->complexity <= 3 ? 1 : 2;
    cfg->rd_extra_weight = clamp_i32(cfg->rd_extra_weight, 0, 128);
    if (validate_row_contexts(cfg) != 0) return -1;
    validate_padding(cfg);
    return 0;
}
