// Motion-vector predictors of a prediction unit: H.265 distance scaling, the
// AMVP list (spatial A and B candidates, the temporal candidate, zero
// padding), the merge candidate lists, and the choice of the cheaper
// predictor for a vector. Vectors are packed: x in the low, y in the high
// signed 16 bits, quarter luma samples.
#pragma once
#include <cstdint>

struct row_context;

static inline int16_t mv_x(uint32_t mv) { return (int16_t)(mv & 0xffff); }
static inline int16_t mv_y(uint32_t mv) { return (int16_t)(mv >> 16); }
static inline uint32_t mv_pack(int x, int y) { return (uint32_t)(uint16_t)x | ((uint32_t)(uint16_t)y << 16); }

// tx of H.265's scaling for td = -32 .. 32 at index td + 32 (0 for td = 0).
extern const int32_t mv_scale_reciprocal[65];

// Scales mv_in by tb / td (picture-order distances) into *out.
void mv_scale(uint32_t *out, const int16_t mv_in[2], int tb, int td);

// Spatial AMVP tests of the neighbour at grid index nb for the reference
// index stored at grid index cur of 'list'; each appends at most one vector
// at out[*count] and returns 1 when it did.
int amvp_spatial_unscaled(row_context *ctx, int list, uint32_t *out, int *count, int cur, int nb);
int amvp_spatial_scaled(row_context *ctx, int list, uint32_t *out, int *count, int cur, int nb);

// Predictors of the PU at (x, y), w x h (luma samples relative to the CTU,
// multiples of 8 apart from the 4-sample halves of 8x8 CUs) for the
// reference index already written into the motion grid of 'list' at the PU's
// top-left unit. Returns 1 or 2; a count of 1 means out[0] is the zero vector.
// zidx (z-order of the top-left 4x4 unit) and depth are accepted for the
// callers' convenience and not needed.
int amvp_build_list(row_context *ctx, int zidx, int x, int y, int w, int h, int depth, int list,
                    uint32_t out[2]);

// The difference of *mv to the better of n predictors and that predictor's
// index (predictor 1 only when strictly closer in |dx| + |dy|). Inline: the
// motion searches price every vector they measure with it.
static inline int mvd_abs_sum(int16_t a, int16_t b) { return (a < 0 ? -a : a) + (b < 0 ? -b : b); }

static inline int mvd_best_predictor(const uint32_t *mv, const uint32_t pred[2], int n, int16_t mvd_out[2])
{
    int16_t d0x = (int16_t)(mv_x(*mv) - mv_x(pred[0])), d0y = (int16_t)(mv_y(*mv) - mv_y(pred[0]));
    mvd_out[0] = d0x;
    mvd_out[1] = d0y;
    if (n < 2) return 0;
    int16_t d1x = (int16_t)(mv_x(*mv) - mv_x(pred[1])), d1y = (int16_t)(mv_y(*mv) - mv_y(pred[1]));
    if (mvd_abs_sum(d1x, d1y) < mvd_abs_sum(d0x, d0y)) {
        mvd_out[0] = d1x;
        mvd_out[1] = d1y;
        return 1;
    }
    return 0;
}

// Collocated motion for the PU scaled towards the picture of POC target_poc,
// taken for list 'list'; 1 and *out when found. Shared by AMVP and merge.
int amvp_temporal(row_context *ctx, int x, int y, int w, int h, int list, int32_t target_poc,
                  uint32_t *out);

// Merge candidates (up to 5). Returns min(count, the slice's maximum).
int merge_build_list(row_context *ctx, int zidx, int x, int y, int w, int h, int depth, uint32_t mv_l0[5],
                     uint32_t mv_l1[5], int8_t ref_l0[5], int8_t ref_l1[5], uint32_t *temporal_mask);
// List-0-only merge list of the P-slice full search path.
int merge_build_list_p(row_context *ctx, int zidx, int x, int y, int w, int h, int depth, uint32_t mv[5],
                       int8_t ref[5], int32_t *temporal_idx);

// Grid index (ctu_motion_grid, 16 x 10 units of 8x8) of the luma position
// (px, py) relative to the CTU, px from -8, py from -8.
static inline int motion_grid_index(int px, int py) { return ((py >> 3) + 1) * 16 + (px >> 3) + 8; }
