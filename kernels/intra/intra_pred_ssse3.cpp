// SSSE3 / SSE4.1 planar and DC predictors, and the installer of the SSSE3-flag
// set. Each kernel writes exactly the samples of its portable form.
#include <immintrin.h>

#include <cstring>

#include "kernels/intra/intra_pred_kernels.h"

static __m128i load4(const uint8_t *p)
{
    int32_t v;
    memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

static void store4(uint8_t *p, __m128i v)
{
    int32_t x = _mm_cvtsi128_si32(v);
    memcpy(p, &x, 4);
}

// Sum of all bytes of v, by sum of absolute differences against zero.
static int byte_sum(__m128i v)
{
    __m128i s = _mm_sad_epu8(v, _mm_setzero_si128());
    s = _mm_add_epi32(s, _mm_srli_si128(s, 8));
    return _mm_cvtsi128_si32(s);
}

static __m128i splat_byte(int v)
{
    return _mm_shuffle_epi8(_mm_cvtsi32_si128(v), _mm_setzero_si128());
}

// ---- DC ----------------------------------------------------------------------

// (s + 4) >> 3 as a rounding high multiply by 2^12.
static int dc_4x4(const uint8_t *ref)
{
    __m128i both = _mm_unpacklo_epi32(load4(ref + 1), load4(ref + 9));
    __m128i s = _mm_sad_epu8(both, _mm_setzero_si128());
    return _mm_cvtsi128_si32(_mm_mulhrs_epi16(s, _mm_set1_epi16(4096)));
}

static int dc_8x8(const uint8_t *ref)
{
    __m128i above = _mm_loadl_epi64((const __m128i *)(ref + 1));
    __m128i left = _mm_loadl_epi64((const __m128i *)(ref + 17));
    return (byte_sum(_mm_unpacklo_epi64(above, left)) + 8) >> 4;
}

static int dc_16x16(const uint8_t *ref)
{
    __m128i above = _mm_loadu_si128((const __m128i *)(ref + 1));
    __m128i left = _mm_loadu_si128((const __m128i *)(ref + 33));
    __m128i s = _mm_add_epi32(_mm_sad_epu8(above, _mm_setzero_si128()),
                              _mm_sad_epu8(left, _mm_setzero_si128()));
    s = _mm_add_epi32(s, _mm_srli_si128(s, 8));
    return (_mm_cvtsi128_si32(s) + 16) >> 5;
}

static void fill4(uint8_t *dst, int stride, __m128i v)
{
    for (int y = 0; y < 4; y++) store4(dst + y * stride, v);
}

static void fill8(uint8_t *dst, int stride, __m128i v)
{
    for (int y = 0; y < 8; y++) _mm_storel_epi64((__m128i *)(dst + y * stride), v);
}

static void fill16(uint8_t *dst, int stride, __m128i v)
{
    for (int y = 0; y < 16; y++) _mm_storeu_si128((__m128i *)(dst + y * stride), v);
}

void intra_pred_dc_4x4_ssse3(INTRA_KERNEL_ARGS) { fill4(dst, dst_stride, splat_byte(dc_4x4(ref))); }
void intra_pred_dc_8x8_ssse3(INTRA_KERNEL_ARGS) { fill8(dst, dst_stride, splat_byte(dc_8x8(ref))); }
void intra_pred_dc_16x16_ssse3(INTRA_KERNEL_ARGS)
{
    fill16(dst, dst_stride, splat_byte(dc_16x16(ref)));
}

// DC boundary filter: top row (above[x] + 3 dc + 2) >> 2 for 8 samples at x0.
static __m128i dc_filt_top8(const uint8_t *above, int dc3)
{
    __m128i a = _mm_cvtepu8_epi16(_mm_loadl_epi64((const __m128i *)above));
    __m128i v = _mm_srli_epi16(_mm_add_epi16(a, _mm_set1_epi16((int16_t)(dc3 + 2))), 2);
    return _mm_packus_epi16(v, v);
}

// Left column (left[y] + 3 dc + 2) >> 2 for rows 1..n-1 and the corner
// (left[0] + 2 dc + above[0] + 2) >> 2, written over the filled block.
static void dc_filt_edges(uint8_t *dst, int stride, const uint8_t *ref, int n, int dc)
{
    const uint8_t *above = ref + 1;
    const uint8_t *left = ref + 2 * n + 1;
    __m128i bias = _mm_set1_epi16((int16_t)(3 * dc + 2));
    __m128i l0 = _mm_cvtepu8_epi16(_mm_loadl_epi64((const __m128i *)left));
    __m128i c0 = _mm_srli_epi16(_mm_add_epi16(l0, bias), 2);
    __m128i col = _mm_packus_epi16(c0, c0);
    if (n == 16) {
        __m128i l1 = _mm_cvtepu8_epi16(_mm_loadl_epi64((const __m128i *)(left + 8)));
        __m128i c1 = _mm_srli_epi16(_mm_add_epi16(l1, bias), 2);
        col = _mm_packus_epi16(c0, c1);
    }
    uint8_t c[16];
    _mm_storeu_si128((__m128i *)c, col);
    for (int y = 1; y < n; y++) dst[y * stride] = c[y];
    dst[0] = (uint8_t)((left[0] + 2 * dc + above[0] + 2) >> 2);
}

void intra_pred_dc_filt_4x4_sse41(INTRA_KERNEL_ARGS)
{
    int dc = dc_4x4(ref);
    fill4(dst, dst_stride, splat_byte(dc));
    // Eight lanes are formed, four stored: the loads stay inside the array.
    __m128i a = _mm_cvtepu8_epi16(load4(ref + 1));
    __m128i v = _mm_srli_epi16(_mm_add_epi16(a, _mm_set1_epi16((int16_t)(3 * dc + 2))), 2);
    store4(dst, _mm_packus_epi16(v, v));
    __m128i l = _mm_cvtepu8_epi16(load4(ref + 9));
    __m128i c = _mm_srli_epi16(_mm_add_epi16(l, _mm_set1_epi16((int16_t)(3 * dc + 2))), 2);
    c = _mm_packus_epi16(c, c);
    dst[dst_stride] = (uint8_t)_mm_extract_epi8(c, 1);
    dst[2 * dst_stride] = (uint8_t)_mm_extract_epi8(c, 2);
    dst[3 * dst_stride] = (uint8_t)_mm_extract_epi8(c, 3);
    dst[0] = (uint8_t)((ref[9] + 2 * dc + ref[1] + 2) >> 2);
}

void intra_pred_dc_filt_8x8_sse41(INTRA_KERNEL_ARGS)
{
    int dc = dc_8x8(ref);
    fill8(dst, dst_stride, splat_byte(dc));
    _mm_storel_epi64((__m128i *)dst, dc_filt_top8(ref + 1, 3 * dc));
    dc_filt_edges(dst, dst_stride, ref, 8, dc);
}

void intra_pred_dc_filt_16x16_sse41(INTRA_KERNEL_ARGS)
{
    int dc = dc_16x16(ref);
    fill16(dst, dst_stride, splat_byte(dc));
    __m128i lo = dc_filt_top8(ref + 1, 3 * dc);
    __m128i hi = dc_filt_top8(ref + 9, 3 * dc);
    _mm_storeu_si128((__m128i *)dst, _mm_unpacklo_epi64(lo, hi));
    dc_filt_edges(dst, dst_stride, ref, 16, dc);
}

// ---- Planar ------------------------------------------------------------------

// One row per step in 16-bit lanes: acc[x] = (x+1) tr + N + bl + (N-1) above[x]
// at row 0; row y adds (N-1-x) left[y] and shifts; acc then grows by
// bl - above[x]. Every intermediate is below 2^15 at these sizes.
void intra_pred_planar_4x4_sse41(INTRA_KERNEL_ARGS)
{
    const uint8_t *left = ref + 9;
    int tr = ref[5], bl = ref[13];
    __m128i above = _mm_cvtepu8_epi16(load4(ref + 1));
    __m128i x1 = _mm_setr_epi16(1, 2, 3, 4, 0, 0, 0, 0);
    __m128i wl = _mm_setr_epi16(3, 2, 1, 0, 0, 0, 0, 0);
    __m128i acc = _mm_add_epi16(_mm_mullo_epi16(x1, _mm_set1_epi16((int16_t)tr)),
                                _mm_mullo_epi16(above, _mm_set1_epi16(3)));
    acc = _mm_add_epi16(acc, _mm_set1_epi16((int16_t)(4 + bl)));
    __m128i step = _mm_sub_epi16(_mm_set1_epi16((int16_t)bl), above);
    for (int y = 0; y < 4; y++) {
        __m128i v = _mm_add_epi16(acc, _mm_mullo_epi16(wl, _mm_set1_epi16(left[y])));
        v = _mm_srai_epi16(v, 3);
        store4(dst + y * dst_stride, _mm_packus_epi16(v, v));
        acc = _mm_add_epi16(acc, step);
    }
}

void intra_pred_planar_8x8_sse41(INTRA_KERNEL_ARGS)
{
    const uint8_t *left = ref + 17;
    int tr = ref[9], bl = ref[25];
    __m128i above = _mm_cvtepu8_epi16(_mm_loadl_epi64((const __m128i *)(ref + 1)));
    __m128i x1 = _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8);
    __m128i wl = _mm_setr_epi16(7, 6, 5, 4, 3, 2, 1, 0);
    __m128i acc = _mm_add_epi16(_mm_mullo_epi16(x1, _mm_set1_epi16((int16_t)tr)),
                                _mm_mullo_epi16(above, _mm_set1_epi16(7)));
    acc = _mm_add_epi16(acc, _mm_set1_epi16((int16_t)(8 + bl)));
    __m128i step = _mm_sub_epi16(_mm_set1_epi16((int16_t)bl), above);
    for (int y = 0; y < 8; y++) {
        __m128i v = _mm_add_epi16(acc, _mm_mullo_epi16(wl, _mm_set1_epi16(left[y])));
        v = _mm_srai_epi16(v, 4);
        _mm_storel_epi64((__m128i *)(dst + y * dst_stride), _mm_packus_epi16(v, v));
        acc = _mm_add_epi16(acc, step);
    }
}

// ---- Installer ---------------------------------------------------------------

void intra_pred_table_fill_ssse3(intra_pred_table *t)
{
    // References of 4x4 blocks are never smoothed: that entry stays portable.
    t->ref_filter[1] = intra_ref_filter_8x8_sse41;
    t->ref_filter[2] = intra_ref_filter_16x16_sse41;
    t->ref_filter[3] = intra_ref_filter_32x32_sse41;

    t->pred[INTRA_MODE_PLANAR][0][0] = intra_pred_planar_4x4_sse41;
    t->pred[INTRA_MODE_PLANAR][1][0] = intra_pred_planar_4x4_sse41;
    t->pred[INTRA_MODE_PLANAR][0][1] = intra_pred_planar_8x8_sse41;
    t->pred[INTRA_MODE_PLANAR][1][1] = intra_pred_planar_8x8_sse41;

    t->pred[INTRA_MODE_DC][0][0] = intra_pred_dc_4x4_ssse3;
    t->pred[INTRA_MODE_DC][0][1] = intra_pred_dc_8x8_ssse3;
    t->pred[INTRA_MODE_DC][0][2] = intra_pred_dc_16x16_ssse3;
    t->pred[INTRA_MODE_DC][1][0] = intra_pred_dc_filt_4x4_sse41;
    t->pred[INTRA_MODE_DC][1][1] = intra_pred_dc_filt_8x8_sse41;
    t->pred[INTRA_MODE_DC][1][2] = intra_pred_dc_filt_16x16_sse41;
}
