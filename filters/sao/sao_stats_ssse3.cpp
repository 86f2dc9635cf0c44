// SSSE3 forms of the edge-offset statistics, for whole and cut CTBs. They give
// the portable record exactly, category 2 included, for every input.
//
// Every step takes 16 samples of one row with their two class neighbours,
// each loaded afresh from the row and column the class names (a pointer
// offset per neighbour), so one loop serves all four classes and no sign row
// is carried. Counts stay in 16-bit lanes (at most 8 per lane per row, 512
// per CTB); every masked difference is widened into 32-bit sums at once
// (pmaddwd against ones), so no sum can saturate or wrap, whatever 16-bit
// differences come in. Category 2 is what remains of the totals once
// categories 0, 1, 3 and 4 are taken.
//
// Reads: the counted columns and rows and the one-sample ring the class needs,
// nothing more (widths are multiples of 16). Loads are unaligned.
#include <immintrin.h>

#include <cstddef>

#include "filters/sao/sao_stats_simd.h"

namespace {

struct eo_acc {
    __m128i count[4];   // categories 0, 1, 3, 4
    __m128i sum[4];     // 32-bit sums
    __m128i sum_all;
};

inline __m128i sign_bytes(__m128i p, __m128i n)
{
    return _mm_sub_epi8(_mm_cmpgt_epi8(n, p), _mm_cmpgt_epi8(p, n));
}

// Edge index minus 2 (-2..2) of 16 samples, as 16 signed bytes.
inline __m128i edge_bytes(const uint8_t *p, ptrdiff_t off_a, ptrdiff_t off_b)
{
    const __m128i bias = _mm_set1_epi8((char)0x80);
    __m128i v = _mm_xor_si128(_mm_loadu_si128((const __m128i *)p), bias);
    __m128i a = _mm_xor_si128(_mm_loadu_si128((const __m128i *)(p + off_a)), bias);
    __m128i b = _mm_xor_si128(_mm_loadu_si128((const __m128i *)(p + off_b)), bias);
    return _mm_add_epi8(sign_bytes(v, a), sign_bytes(v, b));
}

// Eight samples: their edge indices as 16-bit lanes and their differences.
inline void add_half(eo_acc *acc, __m128i e16, __m128i d)
{
    static const int16_t keys[4] = {-2, -1, 1, 2};
    const __m128i ones = _mm_set1_epi16(1);
    for (int k = 0; k < 4; k++) {
        __m128i m = _mm_cmpeq_epi16(e16, _mm_set1_epi16(keys[k]));
        acc->count[k] = _mm_sub_epi16(acc->count[k], m);
        acc->sum[k] = _mm_add_epi32(acc->sum[k], _mm_madd_epi16(_mm_and_si128(m, d), ones));
    }
    acc->sum_all = _mm_add_epi32(acc->sum_all, _mm_madd_epi16(d, ones));
}

inline int32_t hsum32(__m128i v)
{
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4e));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xb1));
    return _mm_cvtsi128_si32(v);
}

// The class gathering loop (eo_area_fn of sao_stats_simd.h).
void eo_area(sao_stats *s, const uint8_t *deb, ptrdiff_t stride, const int16_t *diff, int diff_stride, int w,
             int h, int ar, int ac, int br, int bc)
{
    eo_acc acc;
    for (int k = 0; k < 4; k++) acc.count[k] = acc.sum[k] = _mm_setzero_si128();
    acc.sum_all = _mm_setzero_si128();
    ptrdiff_t off_a = ar * stride + ac, off_b = br * stride + bc;
    for (int r = 0; r < h; r++) {
        const uint8_t *p = deb + stride * r;
        const int16_t *d = diff + (ptrdiff_t)diff_stride * r;
        for (int c = 0; c < w; c += 16) {
            __m128i e = edge_bytes(p + c, off_a, off_b);
            add_half(&acc, _mm_cvtepi8_epi16(e), _mm_loadu_si128((const __m128i *)(d + c)));
            add_half(&acc, _mm_cvtepi8_epi16(_mm_srli_si128(e, 8)), _mm_loadu_si128((const __m128i *)(d + c + 8)));
        }
    }
    const __m128i ones = _mm_set1_epi16(1);
    int32_t count[4], sum[4];
    for (int k = 0; k < 4; k++) {
        count[k] = hsum32(_mm_madd_epi16(acc.count[k], ones));
        sum[k] = hsum32(acc.sum[k]);
    }
    eo_store_totals(s, count, sum, w * h, hsum32(acc.sum_all));
}

} // namespace

void sao_stats_eo_hor_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                            const int16_t *diff, uint8_t *scratch)
{
    (void)scratch;
    eo_whole(eo_area, SAO_TYPE_EO_HOR, stats, deblocked, stride, is_luma, diff);
}

void sao_stats_eo_ver_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                            const int16_t *diff, uint8_t *scratch)
{
    (void)scratch;
    eo_whole(eo_area, SAO_TYPE_EO_VER, stats, deblocked, stride, is_luma, diff);
}

void sao_stats_eo_diag135_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                                const int16_t *diff, uint8_t *scratch)
{
    (void)scratch;
    eo_whole(eo_area, SAO_TYPE_EO_135, stats, deblocked, stride, is_luma, diff);
}

void sao_stats_eo_diag45_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                               const int16_t *diff, uint8_t *scratch)
{
    (void)scratch;
    eo_whole(eo_area, SAO_TYPE_EO_45, stats, deblocked, stride, is_luma, diff);
}

void sao_stats_eo_hor_partial_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                    int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                    uint8_t *scratch)
{
    (void)scratch;
    eo_partial(eo_area, SAO_TYPE_EO_HOR, stats, deblocked, stride, is_luma, diff, width, height);
}

void sao_stats_eo_ver_partial_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                    int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                    uint8_t *scratch)
{
    (void)scratch;
    eo_partial(eo_area, SAO_TYPE_EO_VER, stats, deblocked, stride, is_luma, diff, width, height);
}

void sao_stats_eo_diag135_partial_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                        int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                        uint8_t *scratch)
{
    (void)scratch;
    eo_partial(eo_area, SAO_TYPE_EO_135, stats, deblocked, stride, is_luma, diff, width, height);
}

void sao_stats_eo_diag45_partial_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                       int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                       uint8_t *scratch)
{
    (void)scratch;
    eo_partial(eo_area, SAO_TYPE_EO_45, stats, deblocked, stride, is_luma, diff, width, height);
}
