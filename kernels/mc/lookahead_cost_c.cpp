// Portable lookahead cost kernels: the share of a block's cost that its inter
// prediction propagates to its references, and a picture's complexity per CTU
// tile for constant-bitrate rate control.
#include "kernels/mc/mc.h"

namespace {

const uint32_t COST_MASK = 0x0FFFFFFF;   // bits above are the block's list bits

}  // namespace

// out = (intra - inter) * (prop_in + weighted intra) / intra, in 64 bits. A
// block without an intra cost (one the lookahead did not cost) propagates
// nothing rather than dividing by zero.
void propagate_cost_c(uint32_t *out, const uint32_t *prop_in, const uint32_t *intra, const uint32_t *inter,
                      const uint16_t *weight, int32_t n)
{
    for (int32_t i = 0; i < n; i++) {
        if (!intra[i]) {
            out[i] = 0;
            continue;
        }
        uint64_t saved = (uint32_t)(intra[i] - (inter[i] & COST_MASK));
        uint32_t amount = (((uint32_t)weight[i] * intra[i] + 128u) >> 8) + prop_in[i];
        int64_t product = (int64_t)saved * (int64_t)(int32_t)amount;
        out[i] = (uint32_t)(product / (int64_t)intra[i]);
    }
}

namespace {

// Sum of (cost^2 >> 10) + k over the grid entries a tile covers; the outer
// ring of the grid never counts. Squares of 28-bit costs need 64 bits.
uint64_t tile_sum(const uint32_t *costs, int32_t stride, int32_t x0, int32_t x1, int32_t y0, int32_t y1,
                  uint64_t k)
{
    uint64_t sum = 0;
    for (int32_t y = y0; y <= y1; y++)
        for (int32_t x = x0; x <= x1; x++) {
            uint64_t e = costs[(int64_t)y * stride + x] & COST_MASK;
            sum += ((e * e) >> 10) + k;
        }
    return sum;
}

inline uint32_t saturate_u32(uint64_t v)
{
    return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)v;
}

inline int32_t max_i32(int32_t a, int32_t b)
{
    return a > b ? a : b;
}

inline int32_t min_i32(int32_t a, int32_t b)
{
    return a < b ? a : b;
}

}  // namespace

// Tiles of 4x4 grid entries (one CTU each) in raster order. Intra pictures add
// 100 per entry, others 1. Tile values and the total saturate instead of
// wrapping, so an extreme picture reads as very complex, never as simple.
uint32_t frame_cost_complexity_c(uint32_t *out, const uint32_t *costs, int32_t w, int32_t h, int32_t stride,
                                 int32_t picture_type)
{
    if (w < 1 || h < 1) return 0;
    uint64_t k = (picture_type >= 1 && picture_type <= 3) ? 100 : 1;
    int32_t gc = (w + 3) >> 2, gr = (h + 3) >> 2;
    uint64_t total = 0;
    for (int32_t gy = 0; gy < gr; gy++)
        for (int32_t gx = 0; gx < gc; gx++) {
            int32_t x0 = max_i32(4 * gx, 1), x1 = min_i32(4 * gx + 3, w - 2);
            int32_t y0 = max_i32(4 * gy, 1), y1 = min_i32(4 * gy + 3, h - 2);
            uint32_t v = saturate_u32(tile_sum(costs, stride, x0, x1, y0, y1, k));
            out[gy * gc + gx] = v;
            total += v;
        }
    return saturate_u32(total);
}
