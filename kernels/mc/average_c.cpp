// Portable bi-prediction averages and the block copy of full-sample predictions.
#include <cstddef>
#include <cstring>

#include "encoder/int_math.h"
#include "kernels/mc/mc.h"

// H.265 default weighted sample prediction of two lists (clause 8.5.3.3.4.2):
// (a + b + 64) >> 7 clipped, on the unbiased intermediates.
void bipred_avg_16bit_c(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0, const int16_t *p1,
                        int32_t s1, int32_t w, int32_t h)
{
    const int32_t round = 2 * MC_INTERMEDIATE_BIAS + 64;
    for (int32_t y = 0; y < h; y++) {
        const int16_t *a = p0 + (ptrdiff_t)y * s0;
        const int16_t *b = p1 + (ptrdiff_t)y * s1;
        uint8_t *d = dst + (ptrdiff_t)y * dst_stride;
        for (int32_t x = 0; x < w; x++) {
            int32_t v = (a[x] + b[x] + round) >> 7;
            d[x] = clip_pixel(v);
        }
    }
}

void avg_pixels_c(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                  int32_t b_stride, int32_t w, int32_t h)
{
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *ra = a + (ptrdiff_t)y * a_stride;
        const uint8_t *rb = b + (ptrdiff_t)y * b_stride;
        uint8_t *d = dst + (ptrdiff_t)y * dst_stride;
        for (int32_t x = 0; x < w; x++) d[x] = (uint8_t)((ra[x] + rb[x] + 1) >> 1);
    }
}

// Prediction blocks are 2 to 64 samples wide in powers of two; the vector
// forms copy whole rows of those widths, so the portable form accepts the same.
void block_copy_c(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h)
{
    if (w != 64 && w != 32 && w != 16 && w != 8 && w != 4 && w != 2) return;
    for (int32_t y = 0; y < h; y++)
        std::memcpy(dst + (ptrdiff_t)y * dst_stride, src + (ptrdiff_t)y * src_stride, (size_t)w);
}
