// Portable lookahead cost kernels: the share of a block's cost that its inter
// prediction propagates to its references, and a picture's complexity per CTU
// tile for constant-bitrate rate control.
#include "encoder/int_math.h"
#include "encoder/picture_types.h"
#include "kernels/mc/mc.h"

namespace {

const uint32_t COST_MASK = 0x0FFFFFFF;   // bits above are the block's list bits

}  // namespace

// out = (intra - inter) * (prop_in + weighted intra) / intra: the share of the
// block's own cost and its inherited amount that inter prediction saves. The
// weighted amount is formed in 64 bits and the product in 128, so no cost the
// lookahead can store wraps; since the saving is at most intra, the result is
// at most the amount, and saturates at the u32 limit. A block whose inter cost
// is not below its intra cost saves nothing, and a block without an intra cost
// (one the lookahead did not cost) propagates nothing rather than dividing by 0.
void propagate_cost_c(uint32_t *out, const uint32_t *prop_in, const uint32_t *intra, const uint32_t *inter,
                      const uint16_t *weight, int32_t n)
{
    for (int32_t i = 0; i < n; i++) {
        uint64_t intra_cost = intra[i], inter_cost = inter[i] & COST_MASK;
        if (!intra_cost || inter_cost >= intra_cost) {
            out[i] = 0;
            continue;
        }
        uint64_t amount = (((uint64_t)weight[i] * intra_cost + 128) >> 8) + prop_in[i];
        unsigned __int128 product = (unsigned __int128)(intra_cost - inter_cost) * amount;
        uint64_t share = (uint64_t)(product / intra_cost);
        out[i] = share > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)share;
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

}  // namespace

// Tiles of 4x4 grid entries (one CTU each) in raster order. Intra pictures add
// 100 per entry, others 1. Tile values and the total saturate instead of
// wrapping, so an extreme picture reads as very complex, never as simple.
uint32_t frame_cost_complexity_c(uint32_t *out, const uint32_t *costs, int32_t w, int32_t h, int32_t stride,
                                 int32_t picture_type)
{
    if (w < 1 || h < 1) return 0;
    uint64_t k = picture_type_is_intra(picture_type) ? 100 : 1;
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
