// 128-bit bi-prediction average of two biased 16-bit predictions and rounded
// average of two 8-bit predictions.
#include "kernels/mc/mc_ssse3.h"
#include "kernels/mc/ssse3_util.h"

using namespace mc_ssse3;

namespace {

// Eight outputs clip((a + b + 2 * bias + 64) >> 7). The sum is taken with
// signed saturation and the rounding term added with saturation too: where
// either saturates the exact result is already below 0 or above 255, and it
// stays there, so the clipped output is exact for every input.
inline __m128i bipred8(const int16_t *a, const int16_t *b)
{
    __m128i t = _mm_adds_epi16(load16(a), load16(b));
    t = _mm_adds_epi16(t, splat16(2 * MC_INTERMEDIATE_BIAS + 64));
    return _mm_srai_epi16(t, 7);
}

template <int G>
void bipred_rows(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0, const int16_t *p1, int32_t s1,
                 int32_t w, int32_t h)
{
    for (int32_t y = 0; y < h; y++) {
        const int16_t *a = p0 + at(0, y, s0), *b = p1 + at(0, y, s1);
        uint8_t *d = dst + at(0, y, dst_stride);
        for (int32_t x = 0; x < w; x += G) {
            int n = w - x < G ? (int)(w - x) : G;
            if (G == 4) {
                __m128i t = _mm_adds_epi16(_mm_loadl_epi64((const __m128i *)(a + x)),
                                           _mm_loadl_epi64((const __m128i *)(b + x)));
                t = _mm_srai_epi16(_mm_adds_epi16(t, splat16(2 * MC_INTERMEDIATE_BIAS + 64)), 7);
                store_bytes(d + x, _mm_packus_epi16(t, t), n);
            } else if (G == 8) {
                __m128i v = bipred8(a + x, b + x);
                store_bytes(d + x, _mm_packus_epi16(v, v), n);
            } else {
                __m128i lo = bipred8(a + x, b + x);
                __m128i hi = n > 8 ? bipred8(a + x + 8, b + x + 8) : lo;
                store_bytes(d + x, _mm_packus_epi16(lo, hi), n);
            }
        }
    }
}

template <int G>
void avg_rows(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
              int32_t b_stride, int32_t w, int32_t h)
{
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *ra = a + at(0, y, a_stride), *rb = b + at(0, y, b_stride);
        uint8_t *d = dst + at(0, y, dst_stride);
        for (int32_t x = 0; x < w; x += G) {
            int n = w - x < G ? (int)(w - x) : G;
            __m128i va = G == 8 ? load8(ra + x) : load16(ra + x);
            __m128i vb = G == 8 ? load8(rb + x) : load16(rb + x);
            store_bytes(d + x, _mm_avg_epu8(va, vb), n);
        }
    }
}

}  // namespace

void bipred_avg_16bit_w4_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0,
                               const int16_t *p1, int32_t s1, int32_t w, int32_t h)
{
    bipred_rows<4>(dst, dst_stride, p0, s0, p1, s1, w, h);
}

void bipred_avg_16bit_w8_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0,
                               const int16_t *p1, int32_t s1, int32_t w, int32_t h)
{
    bipred_rows<8>(dst, dst_stride, p0, s0, p1, s1, w, h);
}

void bipred_avg_16bit_w16_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0,
                                const int16_t *p1, int32_t s1, int32_t w, int32_t h)
{
    bipred_rows<16>(dst, dst_stride, p0, s0, p1, s1, w, h);
}

void bipred_avg_16bit_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0, const int16_t *p1,
                            int32_t s1, int32_t w, int32_t h)
{
    if (w < 5)
        bipred_avg_16bit_w4_ssse3(dst, dst_stride, p0, s0, p1, s1, w, h);
    else if (w > 8)
        bipred_avg_16bit_w16_ssse3(dst, dst_stride, p0, s0, p1, s1, w, h);
    else
        bipred_avg_16bit_w8_ssse3(dst, dst_stride, p0, s0, p1, s1, w, h);
}

void avg_pixels_w8_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                         int32_t b_stride, int32_t w, int32_t h)
{
    avg_rows<8>(dst, dst_stride, a, a_stride, b, b_stride, w, h);
}

void avg_pixels_w16_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride,
                          const uint8_t *b, int32_t b_stride, int32_t w, int32_t h)
{
    avg_rows<16>(dst, dst_stride, a, a_stride, b, b_stride, w, h);
}

void avg_pixels_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                      int32_t b_stride, int32_t w, int32_t h)
{
    if (w > 8)
        avg_pixels_w16_ssse3(dst, dst_stride, a, a_stride, b, b_stride, w, h);
    else
        avg_pixels_w8_ssse3(dst, dst_stride, a, a_stride, b, b_stride, w, h);
}
