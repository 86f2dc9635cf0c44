// AVX2 forms of the edge-offset statistics, for whole and cut CTBs. They give
// the portable record exactly, category 2 included, for every input.
//
// Every step takes 32 samples of one row (a last group of 16 in a 128-bit
// register) with their two class neighbours, each loaded afresh from the row
// and column the class names (a pointer offset per neighbour), so one loop
// serves all four classes, whole CTBs and 16-column strips alike, and no sign
// row is carried. The edge index is formed on biased bytes (signed compares
// then order the unsigned samples) and widened to 16-bit lanes beside the
// differences. Counts stay in 16-bit lanes (at most 4 per lane per row, 256
// per CTB). Every masked difference is widened into 32-bit sums at once
// (vpmaddwd against ones): a 64x64 luma CTB of maximal differences in one
// category sums to 1,044,480, far past 16-bit lanes, and nothing here
// saturates or wraps. Category 2 is what remains of the totals once
// categories 0, 1, 3 and 4 are taken.
//
// Reads: the counted columns and rows and the one-sample ring the class needs,
// nothing more (widths are multiples of 16). Loads are unaligned.
#include <immintrin.h>

#include <cstddef>

#include "filters/sao/sao_stats_simd.h"

namespace {

struct eo_acc {
    __m256i count[4];   // categories 0, 1, 3, 4, 16-bit lanes
    __m256i sum[4];     // 32-bit lanes
    __m256i sum_all;    // every difference, 32-bit lanes
};

inline __m256i sign_bytes(__m256i p, __m256i n)
{
    return _mm256_sub_epi8(_mm256_cmpgt_epi8(n, p), _mm256_cmpgt_epi8(p, n));
}

inline __m128i sign_bytes(__m128i p, __m128i n)
{
    return _mm_sub_epi8(_mm_cmpgt_epi8(n, p), _mm_cmpgt_epi8(p, n));
}

// Sixteen samples: their edge indices minus 2 as 16-bit lanes, and their differences.
inline void add_16(eo_acc *acc, __m256i e16, __m256i d)
{
    static const int16_t keys[4] = {-2, -1, 1, 2};
    const __m256i ones = _mm256_set1_epi16(1);
    for (int k = 0; k < 4; k++) {
        __m256i m = _mm256_cmpeq_epi16(e16, _mm256_set1_epi16(keys[k]));
        acc->count[k] = _mm256_sub_epi16(acc->count[k], m);
        acc->sum[k] = _mm256_add_epi32(acc->sum[k], _mm256_madd_epi16(_mm256_and_si256(m, d), ones));
    }
    acc->sum_all = _mm256_add_epi32(acc->sum_all, _mm256_madd_epi16(d, ones));
}

inline void step_32(eo_acc *acc, const uint8_t *p, ptrdiff_t off_a, ptrdiff_t off_b, const int16_t *d)
{
    const __m256i bias = _mm256_set1_epi8((char)0x80);
    __m256i v = _mm256_xor_si256(_mm256_loadu_si256((const __m256i *)p), bias);
    __m256i a = _mm256_xor_si256(_mm256_loadu_si256((const __m256i *)(p + off_a)), bias);
    __m256i b = _mm256_xor_si256(_mm256_loadu_si256((const __m256i *)(p + off_b)), bias);
    __m256i e = _mm256_add_epi8(sign_bytes(v, a), sign_bytes(v, b));
    add_16(acc, _mm256_cvtepi8_epi16(_mm256_castsi256_si128(e)), _mm256_loadu_si256((const __m256i *)d));
    add_16(acc, _mm256_cvtepi8_epi16(_mm256_extracti128_si256(e, 1)), _mm256_loadu_si256((const __m256i *)(d + 16)));
}

inline void step_16(eo_acc *acc, const uint8_t *p, ptrdiff_t off_a, ptrdiff_t off_b, const int16_t *d)
{
    const __m128i bias = _mm_set1_epi8((char)0x80);
    __m128i v = _mm_xor_si128(_mm_loadu_si128((const __m128i *)p), bias);
    __m128i a = _mm_xor_si128(_mm_loadu_si128((const __m128i *)(p + off_a)), bias);
    __m128i b = _mm_xor_si128(_mm_loadu_si128((const __m128i *)(p + off_b)), bias);
    __m128i e = _mm_add_epi8(sign_bytes(v, a), sign_bytes(v, b));
    add_16(acc, _mm256_cvtepi8_epi16(e), _mm256_loadu_si256((const __m256i *)d));
}

inline int32_t hsum32(__m256i v)
{
    __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4e));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xb1));
    return _mm_cvtsi128_si32(x);
}

// The class gathering loop (eo_area_fn of sao_stats_simd.h).
void eo_area(sao_stats *s, const uint8_t *deb, ptrdiff_t stride, const int16_t *diff, int diff_stride, int w,
             int h, int ar, int ac, int br, int bc)
{
    eo_acc acc;
    for (int k = 0; k < 4; k++) acc.count[k] = acc.sum[k] = _mm256_setzero_si256();
    acc.sum_all = _mm256_setzero_si256();
    ptrdiff_t off_a = ar * stride + ac, off_b = br * stride + bc;
    int w32 = w & ~31;
    for (int r = 0; r < h; r++) {
        const uint8_t *p = deb + stride * r;
        const int16_t *d = diff + (ptrdiff_t)diff_stride * r;
        for (int c = 0; c < w32; c += 32) step_32(&acc, p + c, off_a, off_b, d + c);
        if (w32 < w) step_16(&acc, p + w32, off_a, off_b, d + w32);
    }
    const __m256i ones = _mm256_set1_epi16(1);
    int32_t count[4], sum[4];
    for (int k = 0; k < 4; k++) {
        count[k] = hsum32(_mm256_madd_epi16(acc.count[k], ones));
        sum[k] = hsum32(acc.sum[k]);
    }
    eo_store_totals(s, count, sum, w * h, hsum32(acc.sum_all));
}

} // namespace

void sao_stats_eo_hor_avx2(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                           const int16_t *diff, uint8_t *scratch)
{
    (void)scratch;
    eo_whole(eo_area, SAO_TYPE_EO_HOR, stats, deblocked, stride, is_luma, diff);
}

void sao_stats_eo_ver_avx2(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                           const int16_t *diff, uint8_t *scratch)
{
    (void)scratch;
    eo_whole(eo_area, SAO_TYPE_EO_VER, stats, deblocked, stride, is_luma, diff);
}

void sao_stats_eo_diag135_avx2(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                               const int16_t *diff, uint8_t *scratch)
{
    (void)scratch;
    eo_whole(eo_area, SAO_TYPE_EO_135, stats, deblocked, stride, is_luma, diff);
}

void sao_stats_eo_diag45_avx2(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                              const int16_t *diff, uint8_t *scratch)
{
    (void)scratch;
    eo_whole(eo_area, SAO_TYPE_EO_45, stats, deblocked, stride, is_luma, diff);
}

void sao_stats_eo_hor_partial_avx2(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                                   const int16_t *diff, int32_t width, int32_t height, uint8_t *scratch)
{
    (void)scratch;
    eo_partial(eo_area, SAO_TYPE_EO_HOR, stats, deblocked, stride, is_luma, diff, width, height);
}

void sao_stats_eo_ver_partial_avx2(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                                   const int16_t *diff, int32_t width, int32_t height, uint8_t *scratch)
{
    (void)scratch;
    eo_partial(eo_area, SAO_TYPE_EO_VER, stats, deblocked, stride, is_luma, diff, width, height);
}

void sao_stats_eo_diag135_partial_avx2(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                       int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                       uint8_t *scratch)
{
    (void)scratch;
    eo_partial(eo_area, SAO_TYPE_EO_135, stats, deblocked, stride, is_luma, diff, width, height);
}

void sao_stats_eo_diag45_partial_avx2(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                      int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                      uint8_t *scratch)
{
    (void)scratch;
    eo_partial(eo_area, SAO_TYPE_EO_45, stats, deblocked, stride, is_luma, diff, width, height);
}
