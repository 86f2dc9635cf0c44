// Configuration defaults: the values every preset starts from.
#include <cstring>

#include "encoder/config.h"
#include "encoder/cpu.h"
#include "encoder/platform/platform.h"

static void defaults_threads_and_gop(internal_config *cfg)
{
    cfg->cpu_flags = cpu_detect();
    cfg->working_threads = cpu_count();
    cfg->frame_instances = 0;
    cfg->row_contexts = 1;
    // Per picture type: auto, IDR, CRA, I, P, reference B, B.
    static const int32_t row_limits[PIC_TYPE_COUNT] = {0, 10000, 10000, 0, 10000, 10000, 10000};
    memcpy(cfg->type_row_limit, row_limits, sizeof(row_limits));
    cfg->sei = 1;
    cfg->compat = 120;
    cfg->loglevel = 1;
    cfg->idr_period = 250;
    cfg->min_idr = 24;
    cfg->open_gop = 1;
    cfg->bframes = 7;
    cfg->hierarchy = -1;
    cfg->layer_count = 1;
}

static void defaults_coding_tools(internal_config *cfg)
{
    cfg->speed_class = 2;
    cfg->metric_selector = 5;
    cfg->filter_variant = 2;
    cfg->me_subpel_planes = 1;
    cfg->tmvp = 1;
    cfg->max_merge_cand = 5;
    cfg->realtime_scale = 1;
    cfg->realtime_budget_us = -1;
    cfg->fps_num = 25;
    cfg->fps_den = 1;
    cfg->ctu_option = 1;
    cfg->inter_flag_c = 1;
    cfg->intra_flag_a = 1;
    cfg->subpel_level = 5;
    cfg->grid_cols = 1;
    cfg->grid_rows = 1;
}

static void defaults_rate_control(internal_config *cfg)
{
    cfg->aq_strength = 1.0f;
    cfg->mbtree = -1;
    cfg->qp_max = QP_MAX;
    cfg->qp_min = 10;
    cfg->qp_step = 4;
    cfg->lookahead = 16;
    cfg->qcompress = 0.6f;
    cfg->rate_factor = 1.0f;
    cfg->vbv_init = 0.9f;
    cfg->cbr_window = 8;
}

static void defaults_picture_layer(internal_config *cfg)
{
    cfg->bitstream_count = 1;
    cfg->width = -1;
    cfg->height = -1;
    cfg->mv_margin_v = 56;
    cfg->qp = 32;
    cfg->crf = 23.0f;
    // Every preset sets the latency mode; "none" keeps a configuration that
    // skipped the preset from silently running in zero-latency mode.
    cfg->latency_mode = LATENCY_NONE;
    cfg->wpp = -1;
}

void config_defaults(internal_config *cfg)
{
    memset(cfg, 0, sizeof(*cfg));
    defaults_threads_and_gop(cfg);
    defaults_coding_tools(cfg);
    defaults_rate_control(cfg);
    defaults_picture_layer(cfg);
}
