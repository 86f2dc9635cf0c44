#include "kernels/mc/lowres_planes.h"

namespace {

inline uint8_t avg(int a, int b)
{
    return (uint8_t)((a + b + 1) >> 1);
}

// Average of the vertical pair at column c of rows r0 and r1.
inline int vpair(const uint8_t *r0, const uint8_t *r1, int32_t c)
{
    return avg(r0[c], r1[c]);
}

}  // namespace

void build_lowres_planes_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                           int32_t w, int32_t h)
{
    // Half-sample planes over one more row and column than the output.
    for (int32_t y = 0; y <= h; y++) {
        const uint8_t *r0 = src + (int64_t)(2 * y) * src_stride;
        const uint8_t *r1 = r0 + src_stride;
        const uint8_t *r2 = r1 + src_stride;
        int64_t o = (int64_t)y * dst_stride;
        for (int32_t x = 0; x <= w; x++) {
            planes[0][o + x] = avg(vpair(r0, r1, 2 * x), vpair(r0, r1, 2 * x + 1));
            planes[2][o + x] = avg(vpair(r0, r1, 2 * x + 1), vpair(r0, r1, 2 * x + 2));
            planes[8][o + x] = avg(vpair(r1, r2, 2 * x), vpair(r1, r2, 2 * x + 1));
            planes[10][o + x] = avg(vpair(r1, r2, 2 * x + 1), vpair(r1, r2, 2 * x + 2));
        }
    }
    // Horizontal quarter planes.
    for (int32_t y = 0; y <= h; y++) {
        int64_t o = (int64_t)y * dst_stride;
        for (int32_t x = 0; x < w; x++) {
            planes[1][o + x] = avg(planes[0][o + x], planes[2][o + x]);
            planes[3][o + x] = avg(planes[2][o + x], planes[0][o + x + 1]);
            planes[9][o + x] = avg(planes[8][o + x], planes[10][o + x]);
            planes[11][o + x] = avg(planes[10][o + x], planes[8][o + x + 1]);
        }
    }
    // Vertical quarter planes.
    for (int32_t y = 0; y < h; y++) {
        int64_t o = (int64_t)y * dst_stride, n = o + dst_stride;
        for (int32_t x = 0; x < w; x++) {
            for (int k = 0; k < 4; k++) {
                planes[4 + k][o + x] = avg(planes[k][o + x], planes[8 + k][o + x]);
                planes[12 + k][o + x] = avg(planes[8 + k][o + x], planes[k][n + x]);
            }
        }
    }
}

void downscale_2x2_plane_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                           int32_t w, int32_t h)
{
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *r0 = src + (int64_t)(2 * y) * src_stride;
        const uint8_t *r1 = r0 + src_stride;
        uint8_t *d = planes[0] + (int64_t)y * dst_stride;
        for (int32_t x = 0; x < w; x++) d[x] = (uint8_t)((vpair(r0, r1, 2 * x) + vpair(r0, r1, 2 * x + 1)) >> 1);
    }
}
