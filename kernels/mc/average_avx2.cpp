// AVX2 block copies, bi-prediction and plain averages, the full-sample 16-bit
// conversion and the 2x2 downscale of the half-resolution plane. Every kernel
// reads and writes exactly the columns of its block, so narrow blocks and the
// rows of prediction scratch buffers are safe at any width.
#include <type_traits>

#include "kernels/mc/mc_avx2.h"

using namespace mc_avx2;

namespace {

// 16 16-bit values to bytes in order, with unsigned saturation.
inline __m128i pack_u8_16(__m256i v)
{
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08));
}

// Runs rows(std::integral_constant<int32_t, W>) for the widths that have
// whole-row forms (8, 16, 32, 64); false for any other width.
template <typename Rows>
bool whole_rows(int32_t w, Rows rows)
{
    switch (w) {
    case 8: rows(std::integral_constant<int32_t, 8>()); return true;
    case 16: rows(std::integral_constant<int32_t, 16>()); return true;
    case 32: rows(std::integral_constant<int32_t, 32>()); return true;
    case 64: rows(std::integral_constant<int32_t, 64>()); return true;
    default: return false;
    }
}

void copy_row(uint8_t *d, const uint8_t *s, int32_t w)
{
    if (w == 64) {
        _mm256_storeu_si256((__m256i *)d, _mm256_loadu_si256((const __m256i *)s));
        _mm256_storeu_si256((__m256i *)(d + 32), _mm256_loadu_si256((const __m256i *)(s + 32)));
    } else if (w == 32) {
        _mm256_storeu_si256((__m256i *)d, _mm256_loadu_si256((const __m256i *)s));
    } else if (w == 16) {
        _mm_storeu_si128((__m128i *)d, _mm_loadu_si128((const __m128i *)s));
    } else {
        std::memcpy(d, s, (size_t)w);
    }
}

}  // namespace

// Same widths as the portable copy: any other width copies nothing.
void block_copy_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w,
                     int32_t h)
{
    if (w != 64 && w != 32 && w != 16 && w != 8 && w != 4 && w != 2) return;
    for (int32_t y = 0; y < h; y++) copy_row(dst + at(0, y, dst_stride), src + at(0, y, src_stride), w);
}

namespace {

// The rounded average of rows W samples wide (8, 16, 32 or 64) with whole
// loads and stores: the prediction widths, which skip the partial-row
// handling of the general walk.
template <int32_t W>
void avg_rows(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
              int32_t b_stride, int32_t h)
{
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *ra = a + at(0, y, a_stride);
        const uint8_t *rb = b + at(0, y, b_stride);
        uint8_t *d = dst + at(0, y, dst_stride);
        if (W == 8) {
            const __m128i v = _mm_avg_epu8(_mm_loadl_epi64((const __m128i *)ra), _mm_loadl_epi64((const __m128i *)rb));
            _mm_storel_epi64((__m128i *)d, v);
        } else if (W == 16) {
            const __m128i v = _mm_avg_epu8(_mm_loadu_si128((const __m128i *)ra), _mm_loadu_si128((const __m128i *)rb));
            _mm_storeu_si128((__m128i *)d, v);
        } else {
            for (int32_t x = 0; x < W; x += 32)
                _mm256_storeu_si256((__m256i *)(d + x),
                                    _mm256_avg_epu8(_mm256_loadu_si256((const __m256i *)(ra + x)),
                                                    _mm256_loadu_si256((const __m256i *)(rb + x))));
        }
    }
}

}  // namespace

void avg_pixels_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                     int32_t b_stride, int32_t w, int32_t h)
{
    if (whole_rows(w, [&](auto width) { avg_rows<decltype(width)::value>(dst, dst_stride, a, a_stride, b, b_stride, h); }))
        return;
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *ra = a + at(0, y, a_stride);
        const uint8_t *rb = b + at(0, y, b_stride);
        uint8_t *d = dst + at(0, y, dst_stride);
        for (int32_t x = 0; x < w; x += 32) {
            int n = w - x < 32 ? (int)(w - x) : 32;
            store_u8_32(d + x, _mm256_avg_epu8(load_u8_32(ra + x, n), load_u8_32(rb + x, n)), n);
        }
    }
}

// The biased inputs sum to the true a + b - 16384. A saturated 16-bit sum only
// happens where the true result is below 0 or above 255 anyway, so the clip
// hides it; (s + 64) >> 7 is the rounding multiply-high by 256, and the bias
// comes back as + 128 after the shift (16384 is a multiple of 128).
namespace {

// Sixteen averages of biased intermediates, as bytes.
inline __m128i bipred_16(__m256i a, __m256i b)
{
    const __m256i v = _mm256_add_epi16(_mm256_mulhrs_epi16(_mm256_adds_epi16(a, b), _mm256_set1_epi16(256)),
                                       _mm256_set1_epi16(2 * MC_INTERMEDIATE_BIAS >> 7));
    return pack_u8_16(v);
}

// The same for rows W samples wide (8, 16, 32 or 64), with whole loads and
// stores.
template <int32_t W>
void bipred_rows(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0, const int16_t *p1, int32_t s1,
                 int32_t h)
{
    const __m256i m256 = _mm256_set1_epi16(256);
    const __m256i unbias = _mm256_set1_epi16(2 * MC_INTERMEDIATE_BIAS >> 7);
    for (int32_t y = 0; y < h; y++) {
        const int16_t *a = p0 + at(0, y, s0);
        const int16_t *b = p1 + at(0, y, s1);
        uint8_t *d = dst + at(0, y, dst_stride);
        if (W == 8) {
            __m128i sum = _mm_adds_epi16(_mm_loadu_si128((const __m128i *)a), _mm_loadu_si128((const __m128i *)b));
            __m128i v = _mm_add_epi16(_mm_mulhrs_epi16(sum, _mm256_castsi256_si128(m256)),
                                      _mm256_castsi256_si128(unbias));
            _mm_storel_epi64((__m128i *)d, _mm_packus_epi16(v, v));
            continue;
        }
        for (int32_t x = 0; x < W; x += 16)
            _mm_storeu_si128((__m128i *)(d + x), bipred_16(_mm256_loadu_si256((const __m256i *)(a + x)),
                                                           _mm256_loadu_si256((const __m256i *)(b + x))));
    }
}

}  // namespace

void bipred_avg_16bit_avx2(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0, const int16_t *p1,
                           int32_t s1, int32_t w, int32_t h)
{
    if (whole_rows(w, [&](auto width) { bipred_rows<decltype(width)::value>(dst, dst_stride, p0, s0, p1, s1, h); }))
        return;
    for (int32_t y = 0; y < h; y++) {
        const int16_t *a = p0 + at(0, y, s0);
        const int16_t *b = p1 + at(0, y, s1);
        uint8_t *d = dst + at(0, y, dst_stride);
        for (int32_t x = 0; x < w; x += 16) {
            int n = w - x < 16 ? (int)(w - x) : 16;
            store_u8_16(d + x, bipred_16(load_i16_16(a + x, n), load_i16_16(b + x, n)), n);
        }
    }
}

void interp_fullpel_16bit_avx2(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                               int32_t w, int32_t h)
{
    const __m256i bias = _mm256_set1_epi16(MC_INTERMEDIATE_BIAS);
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *s = src + at(0, y, src_stride);
        int16_t *d = dst + at(0, y, dst_stride);
        for (int32_t x = 0; x < w; x += 16) {
            int n = w - x < 16 ? (int)(w - x) : 16;
            __m256i v = _mm256_slli_epi16(_mm256_cvtepu8_epi16(load_u8_16(s + x, n)), 6);
            store_i16_16(d + x, _mm256_sub_epi16(v, bias), n);
        }
    }
}

// Rounded vertical pairs, then the truncated horizontal pair, as the portable form.
void downscale_2x2_plane_avx2(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                              int32_t w, int32_t h)
{
    const __m256i low = _mm256_set1_epi16(0xff);
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *r0 = src + at(0, 2 * y, src_stride);
        const uint8_t *r1 = r0 + src_stride;
        uint8_t *d = planes[0] + at(0, y, dst_stride);
        for (int32_t x = 0; x < w; x += 16) {
            int n = w - x < 16 ? (int)(w - x) : 16;
            __m256i v = _mm256_avg_epu8(load_u8_32(r0 + 2 * x, 2 * n), load_u8_32(r1 + 2 * x, 2 * n));
            __m256i s = _mm256_add_epi16(_mm256_and_si256(v, low), _mm256_srli_epi16(v, 8));
            store_u8_16(d + x, pack_u8_16(_mm256_srli_epi16(s, 1)), n);
        }
    }
}
