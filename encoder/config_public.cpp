// Moving values between the public parameter record and the configuration.
// A record field is read or written only when the record's size covers it
// whole, so callers built against a shorter record get defaults past its end.
#include <cstdio>

#include "encoder/config.h"

#define COVERS(param_size, field) \
    ((param_size) >= offsetof(public_param, field) + sizeof(((public_param *)0)->field))

// The fields that pass one-to-one between the record and the configuration.
#define PUBLIC_FIELD_PAIRS(X)                 \
    X(width, width)                           \
    X(height, height)                         \
    X(compat, compat)                         \
    X(frame_threads, frame_instances)         \
    X(idr_period, idr_period)                 \
    X(min_idr, min_idr)                       \
    X(rc_mode, rc_mode)                       \
    X(qp, qp)                                 \
    X(bitrate, bitrate)                       \
    X(fps_num, fps_num)                       \
    X(fps_den, fps_den)                       \
    X(loglevel, loglevel)                     \
    X(sei, sei)                               \
    X(working_threads, working_threads)       \
    X(maxrate, cbr_maxrate)                   \
    X(minrate, cbr_minrate)                   \
    X(bufsize, cbr_window)                    \
    X(bframes, bframes)                       \
    X(hierarchy, hierarchy)                   \
    X(interlace, interlace)                   \
    X(sar_num, sar_num)                       \
    X(sar_den, sar_den)                       \
    X(crf, crf)                               \
    X(vbv_bufsize, vbv_bufsize)               \
    X(vbv_maxrate, vbv_maxrate)               \
    X(pass2, pass2)                           \
    X(pass1, pass1)                           \
    X(pass2_stats, pass2_stats)               \
    X(pass1_stats_buffer, pass1_stats_buffer) \
    X(brefs, brefs)                           \
    X(prefs, prefs)                           \
    X(scenecut, scenecut)                     \
    X(lookahead, lookahead)

int config_copy_public_param(const public_param *param, internal_config *cfg)
{
    uint32_t size = param ? param->size : 0;
    int32_t complexity = COVERS(size, complexity) ? param->complexity : COMPLEXITY_DEFAULT;
    uint32_t tune = COVERS(size, tune) ? param->tune : 0;
    // Negative levels mean "default", as torvhevcenc_default_param treats them.
    if (complexity < 0) complexity = COMPLEXITY_DEFAULT;
    if (config_preset(cfg, complexity, tune) < 0) {
        fprintf(stderr, "Error: unknown complexity %d\n", complexity);
        return -1;
    }
#define COPY_IN(pub, conf) \
    if (COVERS(size, pub)) cfg->conf = param->pub;
    PUBLIC_FIELD_PAIRS(COPY_IN)
#undef COPY_IN
    if (cfg->sar_num > 0 && cfg->sar_den > 0) cfg->aspect_ratio_idc = 255;
    return 0;
}

void config_write_back(public_param *param, const internal_config *cfg)
{
    if (!param) return;
    if (COVERS(param->size, compat)) param->compat = cfg->compat;
    if (COVERS(param->size, frame_threads)) param->frame_threads = cfg->frame_instances;
}

void config_to_public_param(const internal_config *cfg, public_param *param)
{
    uint32_t size = param->size;
#define COPY_OUT(pub, conf) \
    if (COVERS(size, pub)) param->pub = cfg->conf;
    PUBLIC_FIELD_PAIRS(COPY_OUT)
#undef COPY_OUT
    // The reported size is fixed; the record carries no pointers by default.
    if (COVERS(size, width)) param->width = 1920;
    if (COVERS(size, height)) param->height = 1080;
    if (COVERS(size, wpp)) param->wpp = cfg->type_row_limit[PIC_TYPE_IDR];
    if (COVERS(size, pass2_stats)) param->pass2_stats = nullptr;
    if (COVERS(size, pass1_stats_buffer)) param->pass1_stats_buffer = nullptr;
}
