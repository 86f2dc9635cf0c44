// Portable bilinear quarter-sample luma interpolation: a cheap stand-in for the
// 8-tap filter when searches only compare candidate vectors. Its results are
// never coded; the chains of rounding below are what the vector forms repeat.
#include <cstddef>

#include "kernels/mc/mc.h"

namespace {

const int TILE = 64;

// Phase 1 and 3 weight the samples 3:1 and 1:3 with rounding term rq; phase 2
// is the plain average with rounding term rh.
inline uint8_t mix(int a, int b, int phase, int rq, int rh)
{
    if (phase == 2) return (uint8_t)((a + b + rh) >> 1);
    if (phase == 1) return (uint8_t)((3 * a + b + rq) >> 2);
    return (uint8_t)((a + 3 * b + rq) >> 2);
}

// Horizontal pass over th + 1 rows (rounding term 1 in both weightings), then
// the vertical pass whose rounding term grows with the number of odd phases.
void bilinear_2d_tile(uint8_t *dst, int32_t dst_stride, const uint8_t *p, int32_t stride, int fx, int fy, int tw,
                      int th)
{
    uint8_t t[(TILE + 1) * TILE];
    for (int y = 0; y <= th; y++) {
        const uint8_t *row = p + (ptrdiff_t)y * stride;
        for (int x = 0; x < tw; x++) t[y * TILE + x] = mix(row[x], row[x + 1], fx, 1, 1);
    }
    int r = (fx & 1) + (fy & 1);
    for (int y = 0; y < th; y++)
        for (int x = 0; x < tw; x++)
            dst[(ptrdiff_t)y * dst_stride + x] = mix(t[y * TILE + x], t[(y + 1) * TILE + x], fy, r, r);
}

}  // namespace

void interp_luma_bilinear_c(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride,
                            int32_t mvx, int32_t mvy, int32_t w, int32_t h)
{
    int fx = mvx & 3, fy = mvy & 3;
    const uint8_t *p = ref + (ptrdiff_t)(mvy >> 2) * ref_stride + (mvx >> 2);
    if (!fx && !fy) {
        block_copy_c(dst, dst_stride, p, ref_stride, w, h);
        return;
    }
    if (!fx || !fy) {
        ptrdiff_t step = fy ? ref_stride : 1;
        int phase = fy ? fy : fx;
        for (int32_t y = 0; y < h; y++) {
            const uint8_t *row = p + (ptrdiff_t)y * ref_stride;
            uint8_t *d = dst + (ptrdiff_t)y * dst_stride;
            for (int32_t x = 0; x < w; x++) d[x] = mix(row[x], row[x + step], phase, 2, 1);
        }
        return;
    }
    for (int32_t y0 = 0; y0 < h; y0 += TILE)
        for (int32_t x0 = 0; x0 < w; x0 += TILE) {
            int tw = w - x0 < TILE ? (int)(w - x0) : TILE;
            int th = h - y0 < TILE ? (int)(h - y0) : TILE;
            bilinear_2d_tile(dst + (ptrdiff_t)y0 * dst_stride + x0, dst_stride,
                             p + (ptrdiff_t)y0 * ref_stride + x0, ref_stride, fx, fy, tw, th);
        }
}
