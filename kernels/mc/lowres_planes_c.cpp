// Portable half-resolution planes of a source picture for the lookahead: the
// half-resolution luma plane alone, or with its 15 quarter-sample phase planes
// so that the low-resolution search reads sub-sample positions directly.
#include <cstddef>

#include "kernels/mc/lowres_planes.h"

namespace {

inline int avg(int a, int b)
{
    return (a + b + 1) >> 1;
}

// Rounded average of the vertical pair at column c of two source rows.
inline int vpair(const uint8_t *r0, const uint8_t *r1, int32_t c)
{
    return avg(r0[c], r1[c]);
}

// Planes 0, 2, 8 and 10 (half-sample offsets of the half-resolution grid) over
// one more row and column than the output, for the quarter planes to read.
void half_sample_planes(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                        int32_t w, int32_t h)
{
    for (int32_t y = 0; y <= h; y++) {
        const uint8_t *r0 = src + (ptrdiff_t)(2 * y) * src_stride;
        const uint8_t *r1 = r0 + src_stride;
        const uint8_t *r2 = r1 + src_stride;
        ptrdiff_t o = (ptrdiff_t)y * dst_stride;
        for (int32_t x = 0; x <= w; x++) {
            int top0 = vpair(r0, r1, 2 * x), top1 = vpair(r0, r1, 2 * x + 1), top2 = vpair(r0, r1, 2 * x + 2);
            int bot0 = vpair(r1, r2, 2 * x), bot1 = vpair(r1, r2, 2 * x + 1), bot2 = vpair(r1, r2, 2 * x + 2);
            planes[0][o + x] = (uint8_t)avg(top0, top1);
            planes[2][o + x] = (uint8_t)avg(top1, top2);
            planes[8][o + x] = (uint8_t)avg(bot0, bot1);
            planes[10][o + x] = (uint8_t)avg(bot1, bot2);
        }
    }
}

// Planes 1, 3, 9 and 11: quarter steps between horizontal neighbours.
void horizontal_quarter_planes(uint8_t *const *planes, int32_t dst_stride, int32_t w, int32_t h)
{
    for (int32_t y = 0; y <= h; y++) {
        ptrdiff_t o = (ptrdiff_t)y * dst_stride;
        for (int32_t x = 0; x < w; x++) {
            planes[1][o + x] = (uint8_t)avg(planes[0][o + x], planes[2][o + x]);
            planes[3][o + x] = (uint8_t)avg(planes[2][o + x], planes[0][o + x + 1]);
            planes[9][o + x] = (uint8_t)avg(planes[8][o + x], planes[10][o + x]);
            planes[11][o + x] = (uint8_t)avg(planes[10][o + x], planes[8][o + x + 1]);
        }
    }
}

// Planes 4 .. 7 and 12 .. 15: quarter steps between vertical neighbours.
void vertical_quarter_planes(uint8_t *const *planes, int32_t dst_stride, int32_t w, int32_t h)
{
    for (int32_t y = 0; y < h; y++) {
        ptrdiff_t o = (ptrdiff_t)y * dst_stride, next = o + dst_stride;
        for (int32_t x = 0; x < w; x++)
            for (int k = 0; k < 4; k++) {
                planes[4 + k][o + x] = (uint8_t)avg(planes[k][o + x], planes[8 + k][o + x]);
                planes[12 + k][o + x] = (uint8_t)avg(planes[8 + k][o + x], planes[k][next + x]);
            }
    }
}

}  // namespace

void build_lowres_planes_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                           int32_t w, int32_t h)
{
    if (w < 0 || h < 0) return;
    half_sample_planes(planes, dst_stride, src, src_stride, w, h);
    horizontal_quarter_planes(planes, dst_stride, w, h);
    vertical_quarter_planes(planes, dst_stride, w, h);
}

// Vertical pairs rounded, the horizontal pair truncated: this plane can be one
// below plane 0 of build_lowres_planes_c, which rounds its final average up.
void downscale_2x2_plane_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                           int32_t w, int32_t h)
{
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *r0 = src + (ptrdiff_t)(2 * y) * src_stride;
        const uint8_t *r1 = r0 + src_stride;
        uint8_t *d = planes[0] + (ptrdiff_t)y * dst_stride;
        for (int32_t x = 0; x < w; x++) d[x] = (uint8_t)((vpair(r0, r1, 2 * x) + vpair(r0, r1, 2 * x + 1)) >> 1);
    }
}
