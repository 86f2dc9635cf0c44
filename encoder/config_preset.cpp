// Complexity presets and tunings.
//
// Level 0 is the fastest, 7 the most thorough. Every level starts from the
// defaults; a KEEP cell leaves the value that is already there, so a coded
// level can apply a plain level's values on top of the level-6 values.
#include <climits>

#include "encoder/config.h"

enum { KEEP = INT32_MIN };

struct level_values {
    int32_t scenecut, p_as_b, prefs, brefs, me_extra, rdoq, sao, search_range, lookahead;
    int32_t metric_selector, subpel_level, grid, me_subpel_planes, me_bilinear, halfres_intra;
    int32_t intra_flag_a;
};

// One row per level, columns in the order of level_values.
static const level_values level_table[8] = {
    {40, 0, 2, 1, 0, 0, 1, 16, KEEP, 1, 0, 4, 0, 1, 1, 0},
    {40, 0, 2, 1, 0, 0, 1, 16, KEEP, 1, 0, 4, 0, 1, 1, 0},
    {40, 0, 3, 1, 0, 0, 1, 16, KEEP, 1, 0, 4, 0, 1, 1, 1},
    {40, 1, 4, 1, 1, 1, 3, 16, KEEP, 1, 0, 2, 0, 1, KEEP, KEEP},
    {40, 1, 4, 1, 1, 1, 3, 24, 40, 1, 0, 2, 0, 1, KEEP, KEEP},
    {40, 1, 4, 1, 1, 1, 3, 32, 50, KEEP, 3, KEEP, KEEP, KEEP, KEEP, KEEP},
    {40, 1, 4, 3, 1, 1, 3, 48, 60, KEEP, KEEP, KEEP, KEEP, KEEP, KEEP, KEEP},
    {40, 1, 4, 3, 1, 1, 3, 48, 60, KEEP, KEEP, KEEP, 1, KEEP, KEEP, KEEP},
};

static void set_unless_keep(int32_t *field, int32_t value)
{
    if (value != KEEP) *field = value;
}

static void apply_level_values(internal_config *cfg, int32_t level)
{
    const level_values *v = &level_table[level];
    cfg->complexity = level;
    cfg->speed_class = 2;
    cfg->cu_option = 1;
    cfg->cu_option_b = 0;
    cfg->rd_extra_weight = 0;
    cfg->early_split_level = 0;
    cfg->scenecut = v->scenecut;
    cfg->p_as_b = v->p_as_b;
    cfg->prefs = v->prefs;
    cfg->brefs = v->brefs;
    cfg->me_extra = v->me_extra;
    cfg->rdoq = v->rdoq;
    cfg->sao = v->sao;
    cfg->search_range = v->search_range;
    set_unless_keep(&cfg->lookahead, v->lookahead);
    set_unless_keep(&cfg->metric_selector, v->metric_selector);
    set_unless_keep(&cfg->subpel_level, v->subpel_level);
    set_unless_keep(&cfg->grid_cols, v->grid);
    set_unless_keep(&cfg->grid_rows, v->grid);
    set_unless_keep(&cfg->me_subpel_planes, v->me_subpel_planes);
    set_unless_keep(&cfg->me_bilinear, v->me_bilinear);
    set_unless_keep(&cfg->halfres_intra, v->halfres_intra);
    set_unless_keep(&cfg->intra_flag_a, v->intra_flag_a);
}

static int preset_plain(internal_config *cfg, int32_t level)
{
    int result = 0;
    if (level < 0 || level > COMPLEXITY_MAX) {
        level = 6;
        result = PRESET_UNKNOWN_LEVEL;
    }
    apply_level_values(cfg, level);
    return result;
}

// Coded levels: the level-6 values with a short lookahead, then a plain
// level's values on top chosen by the code.
static int preset_coded(internal_config *cfg, int32_t code)
{
    apply_level_values(cfg, 6);
    cfg->lookahead = 2 * cfg->bframes + 2;
    switch (code) {
    case 0x12000: apply_level_values(cfg, 0); return 0;
    case 0x14000: apply_level_values(cfg, 1); return 0;
    case 0x15000: apply_level_values(cfg, 2); return 0;
    case 0x16000: apply_level_values(cfg, 3); return 0;
    case 0x18000: apply_level_values(cfg, 4); return 0;
    case 0x1A000: apply_level_values(cfg, 5); return 0;
    case 0x1C000: return 0;
    default: return PRESET_UNKNOWN_LEVEL;
    }
}

static int apply_content_tune(internal_config *cfg, uint32_t content)
{
    switch (content) {
    case 0:
    case TORVHEVCENC_TUNE_CARTOON:
    case TORVHEVCENC_TUNE_HIGHMOTION:
        return 0;
    case TORVHEVCENC_TUNE_MONITOR:
        cfg->early_split_level = 5;
        return 0;
    case TORVHEVCENC_TUNE_BROADCAST:
        cfg->open_gop = 1;
        cfg->scenecut = 0;
        return 0;
    default:
        return PRESET_UNKNOWN_TUNE;
    }
}

// Both latency tunings trade the costlier search tools for speed.
static void latency_fast_tools(internal_config *cfg)
{
    cfg->me_subpel_planes = 0;
    cfg->halfres_intra = 1;
    cfg->metric_selector = 1;
    cfg->me_bilinear = 1;
}

static int apply_latency_tune(internal_config *cfg, uint32_t latency)
{
    switch (latency) {
    case 0:
        cfg->latency_mode = LATENCY_NONE;
        return 0;
    case TORVHEVCENC_TUNE_ZEROLATENCY:
        cfg->latency_mode = LATENCY_ZERO;
        cfg->bframes = 0;
        cfg->p_as_b = 0;
        latency_fast_tools(cfg);
        return 0;
    case TORVHEVCENC_TUNE_LOWDELAY:
        cfg->latency_mode = LATENCY_LOW_DELAY;
        cfg->bframes = 1;
        latency_fast_tools(cfg);
        return 0;
    default:
        return PRESET_UNKNOWN_TUNE;
    }
}

int config_preset(internal_config *cfg, int32_t complexity, uint32_t tune)
{
    uint32_t family = (uint32_t)complexity >> 16;
    if (family > 1) return -1;
    config_defaults(cfg);
    int result = family == 0 ? preset_plain(cfg, complexity) : preset_coded(cfg, complexity);
    result |= apply_content_tune(cfg, tune & TORVHEVCENC_TUNE_CONTENT_MASK);
    result |= apply_latency_tune(cfg, tune & TORVHEVCENC_TUNE_LATENCY_MASK);
    return result;
}
