// Automatic configuration values, filled before validation clamps anything.
#include "encoder/config.h"
#include "encoder/int_math.h"

// Each entry from the first that is exactly 0 up to the pyramid depth becomes
// the entry before it (1.0 before the first) times the level step.
static void auto_b_ratios(internal_config *cfg)
{
    // hierarchy is clamped later; the array has three entries whatever it says.
    int32_t h = clamp_i32(cfg->hierarchy, 0, 2);
    double step = h == 0 ? 1.3 : 1.12;
    int32_t first = 0;
    while (first <= h && cfg->b_ratio[first] != 0.0f) first++;
    for (int32_t i = first; i <= h; i++) {
        double before = i == 0 ? 1.0 : (double)cfg->b_ratio[i - 1];
        cfg->b_ratio[i] = (float)(before * step);
    }
}

void config_auto(internal_config *cfg)
{
    if (cfg->mbtree < 0) cfg->mbtree = cfg->rc_mode == RC_MODE_CQP ? 0 : 1;
    if (cfg->hierarchy < 0) cfg->hierarchy = (cfg->bframes >= 1) + (cfg->bframes >= 4);
    // Wavefront rows pay only when another thread can take the next row; one
    // working thread codes whole rows in turn (and so writes other bytes).
    if (cfg->wpp < 0) cfg->wpp = cfg->working_threads > 1 ? 1 : 0;
    if (cfg->pool_threads == 0) cfg->pool_threads = cfg->working_threads;
    if (cfg->frame_instances == 0)
        cfg->frame_instances = cfg->working_threads > 8 ? 12 : clamp_i32(cfg->working_threads + 4, 5, 12);
    if (cfg->mbtree && cfg->lookahead < 20) cfg->lookahead = 20;
    if (cfg->ip_ratio == 0.0f) cfg->ip_ratio = 1.414f;
    auto_b_ratios(cfg);
}
