// I-slice CU decision with a half-resolution rough mode search: CUs of 16x16
// and larger whose pre-selection leaves six or more modes rank the 35 modes
// on the source picture downscaled 2:1 (reference samples halved to match),
// and only the two or three survivors are predicted at full resolution.
// Smaller CUs, and CUs already narrowed to a few modes, rank modes at full
// resolution. A short list then gets coded trials, the chroma mode follows,
// and the CU is left coded as decided.
#include "analysis/intra/ranked_modes.h"
#include "analysis/mode_search.h"
#include "analysis/speed_levels.h"
#include "encoder/int_math.h"

#include <cstring>
#include <utility>

namespace {

// Half-resolution search state of one call.
struct halfres_search {
    row_context *ctx;
    const uint8_t *source;    // half-resolution block of the CU
    int32_t source_stride;
    uint8_t *pred;            // in the scratch area, stride 128
    int32_t h, s;             // half size and its kernel size index (log2 h - 2)
    pair_metric_fn metric;
    const uint8_t *allowed;
    const int32_t *mpm;
    uint32_t lambda;
    uint8_t tried[INTRA_MODE_COUNT];
    uint8_t plain[4 * 32 + 1];     // halved reference, unfiltered
    uint8_t smoothed[4 * 32 + 1];  // halved reference, smoothed (h 8 and 16)
    ranked list[5];
    int32_t count;
};

uint32_t half_cost(halfres_search *hs, int32_t mode, int32_t filter, const uint8_t *ref)
{
    hs->ctx->enc->intra_pred.pred[mode][filter][hs->s](hs->pred, COARSE_SCRATCH_STRIDE, ref);
    return hs->metric(hs->source, hs->source_stride, hs->pred, COARSE_SCRATCH_STRIDE) +
           intra_mode_bins(hs->mpm, mode) * hs->lambda;
}

// One angular try: skipped when tried or not allowed.
void half_try(halfres_search *hs, int32_t mode, int32_t places, int32_t wide)
{
    if (mode < 2 || mode > INTRA_MODE_LAST || hs->tried[mode] || !hs->allowed[mode]) return;
    const uint8_t *ref = hs->plain;
    if (wide && (intra_smoothing_flags[mode] & hs->h)) ref = hs->smoothed;
    ranked_insert(hs->list, places, mode, half_cost(hs, mode, 1, ref));
    hs->tried[mode] = 1;
}

// Luma reference of the CU at full resolution, any size 16..64. Neighbours
// outside the CTU's own map columns and rows count as missing, which only
// the 64x64 CU's above-right and below-left reach (its pre-search is a rough
// estimate; its coding uses four gathered 32x32 references).
void gather_full_reference(row_context *ctx, int32_t x, int32_t y, int32_t n, uint8_t *ref)
{
    if (n <= 32) {
        mode_search_state *st = search_state(ctx);
        intra_ref_ctx r = {&ctx->enc->intra_pred, ctx->ctu.recon_avail, &st->ref_area};
        intra_gather_ref_samples(&r, ctx->ctu.recon_luma + y * CTU_WORK_STRIDE + x, x, y, n, 0, 0);
        std::memcpy(ref, st->ref_area.luma, (size_t)(4 * n + 1));
        return;
    }
    const uint8_t *map = ctx->ctu.recon_avail + 48 + (x >> 2) + 32 * (y >> 2);
    const uint8_t *block = ctx->ctu.recon_luma + y * CTU_WORK_STRIDE + x;
    int32_t units = n / 2, first_above = -1, first_left = -1;
    uint8_t above_ok[32], left_ok[32];
    for (int32_t k = 0; k < units; k++) {
        above_ok[k] = (x >> 2) + k < 16 && map[-32 + k] != 0;
        left_ok[k] = (y >> 2) + k < 16 && map[32 * k - 1] != 0;
        if (above_ok[k] && first_above < 0) first_above = k;
        if (left_ok[k] && first_left < 0) first_left = k;
    }
    if (map[-33]) ref[0] = block[-CTU_WORK_STRIDE - 1];
    else if (first_left >= 0) ref[0] = block[4 * first_left * CTU_WORK_STRIDE - 1];
    else if (first_above >= 0) ref[0] = block[-CTU_WORK_STRIDE + 4 * first_above];
    else ref[0] = 128;
    for (int32_t k = 0; k < units; k++)
        for (int32_t i = 0; i < 4; i++) {
            uint8_t *out = ref + 1 + 4 * k + i;
            *out = above_ok[k] ? block[-CTU_WORK_STRIDE + 4 * k + i] : out[-1];
        }
    uint8_t *left = ref + 2 * n + 1;
    for (int32_t k = 0; k < units; k++)
        for (int32_t i = 0; i < 4; i++) {
            uint8_t *out = left + 4 * k + i;
            *out = left_ok[k] ? block[(4 * k + i) * CTU_WORK_STRIDE - 1] : (4 * k + i == 0 ? ref[0] : out[-1]);
        }
}

void halve_reference(halfres_search *hs, const uint8_t *full, int32_t n)
{
    hs->plain[0] = full[0];
    // Above samples pair with above samples, left with left.
    for (int32_t i = 1; i <= 2 * n; i++) hs->plain[i] = (uint8_t)((full[2 * i - 1] + full[2 * i] + 1) >> 1);
    if (hs->h <= 16) hs->ctx->enc->intra_pred.ref_filter[hs->s](hs->plain, hs->smoothed);
    else std::memcpy(hs->smoothed, hs->plain, sizeof(hs->plain));
}

// Narrow search: grid 2, 10, 18, 26, 34, then three passes around the two
// best with steps 4, 2, 1, all into two places on the unfiltered reference.
void narrow_passes(halfres_search *hs)
{
    for (int32_t m = 2; m <= INTRA_MODE_LAST; m += 8) half_try(hs, m, 2, 0);
    for (int32_t step = 4; step >= 1; step >>= 1) {
        int32_t seeds[2] = {hs->list[0].mode, hs->list[1].mode};
        for (int32_t k = 0; k < 2; k++) {
            int32_t m0 = seeds[k];
            if (m0 < 2) continue;
            int32_t lo = max_i32(m0 - step, 2), hi = min_i32(m0 + step, INTRA_MODE_LAST);
            for (int32_t m = lo; m <= hi; m += step) half_try(hs, m, 2, 0);
        }
    }
}

// Wide search: grid every fourth angle, then steps of 2 around the four best
// and the first two most probable modes into four places, then steps of 1
// around the two best into three, on the reference the mode would use.
// Returns how many of the first grid seeded the steps of 2.
int32_t wide_passes(halfres_search *hs)
{
    hs->list[2] = hs->list[3] = hs->list[4] = {COST_INFINITE, -1};
    for (int32_t m = 2; m <= INTRA_MODE_LAST; m += 4) {
        if (hs->tried[m] || !hs->allowed[m]) continue;
        half_try(hs, m, 4, 1);
        hs->count++;
    }
    int32_t seeds_n = hs->count < 4 ? hs->count : 4;
    ranked seeds[4];
    std::memcpy(seeds, hs->list, sizeof(seeds));
    for (int32_t k = 0; k < seeds_n; k++) {
        int32_t m = seeds[k].mode;
        if (m > 4) half_try(hs, m - 2, 4, 1);
        if (m < 32) half_try(hs, m + 2, 4, 1);
    }
    half_try(hs, hs->mpm[0], 4, 1);
    half_try(hs, hs->mpm[1], 4, 1);
    std::memcpy(seeds, hs->list, 2 * sizeof(ranked));
    for (int32_t k = 0; k < 2; k++) {
        int32_t m = seeds[k].mode;
        if (m > 3) half_try(hs, m - 1, 3, 1);
        if (m < 33) half_try(hs, m + 1, 3, 1);
    }
    return seeds_n;
}

void halfres_set_up(halfres_search *hs, row_context *ctx, coarse_search_context *scratch, const picture *src,
                    int32_t x, int32_t y, int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    int32_t n = 1 << log2_size;
    hs->ctx = ctx;
    hs->h = n / 2;
    hs->s = log2_size - 3;
    int32_t shape = 7 - log2_size;
    hs->metric = ranks_by_cost_metric(st->speed_level) ? ctx->enc->metric.cost_metric[shape] : ctx->enc->metric.sa8d_sub[shape];
    hs->source_stride = src->lowres_stride;
    hs->source = src->lowres_plane + (32 * ctx->ctu.y + y / 2) * src->lowres_stride + 32 * ctx->ctu.x + x / 2;
    hs->pred = scratch->scratch + (y + 16) * COARSE_SCRATCH_STRIDE + x + 16;
}

// Planar on the smoothed reference and DC on the plain one open the list.
void planar_dc_first(halfres_search *hs)
{
    hs->list[0] = {half_cost(hs, 0, 0, hs->smoothed), 0};
    hs->list[1] = {half_cost(hs, 1, 1, hs->plain), 1};
    if (hs->list[0].cost > hs->list[1].cost) std::swap(hs->list[0], hs->list[1]);
    hs->tried[0] = hs->tried[1] = 1;
    hs->count = 2;
}

}  // namespace

int32_t intra_halfres_presearch(row_context *ctx, coarse_search_context *scratch, int32_t x, int32_t y,
                                int32_t log2_size, const uint8_t allowed[INTRA_MODE_COUNT], uint32_t out_modes[3],
                                const int32_t mpm[3], uint32_t lambda)
{
    if (log2_size < 4) return 0;
    const picture *src = ctx->fi->pic.source_picture;
    if (!src || !src->lowres_plane) return 0;
    halfres_search hs;
    halfres_set_up(&hs, ctx, scratch, src, x, y, log2_size);
    hs.allowed = allowed;
    hs.mpm = mpm;
    hs.lambda = lambda;
    std::memset(hs.tried, 0, sizeof(hs.tried));
    uint8_t full[4 * 64 + 1];
    gather_full_reference(ctx, x, y, 1 << log2_size, full);
    halve_reference(&hs, full, 1 << log2_size);
    planar_dc_first(&hs);
    // Three modes come out when the wide search had more than two seeds.
    int32_t found = 2;
    if (search_state(ctx)->speed_level < 2) narrow_passes(&hs);
    else if (wide_passes(&hs) > 2) found = 3;
    for (int32_t k = 0; k < found; k++) out_modes[k] = (uint32_t)hs.list[k].mode;
    return found;
}
